// The translator's files on any bytes: read as PO and as CSV and put into a
// scenario, never read outside a buffer; and any bytes as a scenario, whose
// lines written out as PO and CSV read back as the same entries and put
// back the same scenario.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "scenario/Strings.h"

namespace {

const std::string kScenario = "KERV 1.2 30.5\r\n\x8F\x74\r\n.15\r\na.qvd\r\n.\r\n.\r\nR1 ; \x8A\x43\r\nbad \x85\x40\r\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  for (const bool po : {true, false}) {
    std::vector<strings::Entry> entries;
    std::vector<strings::Error> errors;
    const bool read = po ? strings::readPo(bytes, &entries, &errors) : strings::readCsv(bytes, &entries, &errors);
    for (const strings::Entry& e : entries) {
      // Every character of a translation has its place in the file.
      std::size_t characters = 0;
      for (char c : e.translation) characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
      if (characters != e.places.size()) abort();
    }
    std::string out;
    if (read) strings::applyTranslations(kScenario, entries, &out, &errors);
  }
  const std::vector<strings::Line> lines = strings::translatableLines(bytes);
  for (const bool po : {true, false}) {
    const std::string file = po ? strings::toPo(lines, "s.ker", "1") : strings::toCsv(lines);
    std::vector<strings::Entry> entries;
    std::vector<strings::Error> errors;
    if (!(po ? strings::readPo(file, &entries, &errors) : strings::readCsv(file, &entries, &errors))) abort();
    if (entries.size() != lines.size()) abort();
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (entries[i].line != lines[i].number || entries[i].source != lines[i].text) abort();
    }
    std::string out;
    if (strings::applyTranslations(bytes, entries, &out, &errors) && out != bytes) abort();
  }
  return 0;
}
