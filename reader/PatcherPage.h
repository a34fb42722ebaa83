// A patcher page: the page built for players (kerv-patcher.html), with a
// patch and what it needs put inside it, one HTML file a modder hands out.
// Opened from disk it asks for the archive the patch was made from, checks
// and patches it, and offers the result. The patch goes in as base64, what
// it says of the files as JSON that no text can break out of.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PatcherInfo {
  std::string oldName, newName;  // the archives' names (UTF-8)
  int64_t oldSize = 0, newSize = 0;
  std::string title, note;       // the modder's, shown as text; may be empty
};

// The page `page` (the built kerv-patcher.html) with `patch` and `info`
// put in; empty when `page` is no patcher page (it lacks the places).
std::string fillPatcherPage(const std::string& page, const std::string& patch, const PatcherInfo& info);

// The built patcher page, where one is at hand: the file the environment
// variable KERV_PATCHER_PAGE names, else the first of `candidates` that
// exists. False, with *why saying where it was looked for, when none is.
bool readPatcherPage(const std::vector<std::string>& candidates, std::string* page, std::string* why);
