#include "reader/PatcherPage.h"

#include <cstdlib>

#include "archive/SystemFile.h"

namespace {

constexpr char kPatchPlace[] = "@KERV_PATCH@";
constexpr char kInfoPlace[] = "@KERV_PATCH_INFO@";

std::string base64(const std::string& bytes) {
  static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const uint32_t a = static_cast<unsigned char>(bytes[i]);
    const uint32_t b = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0;
    const uint32_t c = i + 2 < bytes.size() ? static_cast<unsigned char>(bytes[i + 2]) : 0;
    const uint32_t v = a << 16 | b << 8 | c;
    out += digits[v >> 18 & 63];
    out += digits[v >> 12 & 63];
    out += i + 1 < bytes.size() ? digits[v >> 6 & 63] : '=';
    out += i + 2 < bytes.size() ? digits[v & 63] : '=';
  }
  return out;
}

// A JSON string of `text`, in which no '<', '>' or '&' stands as itself,
// so that it cannot end the element it is in.
std::string json(const std::string& text) {
  static const char digits[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c == '<' || c == '>' || c == '&') {
      out += "\\u00";
      out += digits[c >> 4];
      out += digits[c & 15];
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

bool replaceOnce(std::string& page, const std::string& place, const std::string& with) {
  const std::size_t at = page.find(place);
  if (at == std::string::npos || page.find(place, at + 1) != std::string::npos) return false;
  page.replace(at, place.size(), with);
  return true;
}

}  // namespace

std::string fillPatcherPage(const std::string& page, const std::string& patch, const PatcherInfo& info) {
  std::string out = page;
  const std::string text = "{\"oldName\":" + json(info.oldName) + ",\"oldSize\":" + std::to_string(info.oldSize) +
                           ",\"newName\":" + json(info.newName) + ",\"newSize\":" + std::to_string(info.newSize) +
                           ",\"title\":" + json(info.title) + ",\"note\":" + json(info.note) + "}";
  if (!replaceOnce(out, kInfoPlace, text) || !replaceOnce(out, kPatchPlace, base64(patch))) return {};
  return out;
}

bool readPatcherPage(const std::vector<std::string>& candidates, std::string* page, std::string* why) {
  std::vector<std::string> places;
  if (const char* named = std::getenv("KERV_PATCHER_PAGE"); named != nullptr && *named != '\0') {
    places.push_back(named);
  } else {
    places = candidates;
  }
  for (const std::string& place : places) {
    SystemFile file;
    int64_t size = 0;
    if (!file.openForReading(place.c_str(), &size)) continue;
    page->assign(static_cast<std::size_t>(size), '\0');
    int64_t at = 0;
    for (int64_t n; at < size && (n = file.read(page->data() + at, size - at)) > 0;) at += n;
    if (at == size) return true;
  }
  *why = "the patcher page is not built here (looked for";
  for (const std::string& place : places) *why += " " + place;
  *why += "; build with emscripten installed, or set KERV_PATCHER_PAGE)";
  return false;
}
