// Where a data file goes when an archive is extracted into a folder under
// readable names, and which names are refused, so that nothing is created
// outside that folder or under a name other than the one checked.
#pragma once

#include <string>
#include <string_view>

#include "scenario/Problem.h"

struct ExtractName {
  std::string path;     // relative to the folder, its folders separated by '/'; empty when refused
  std::string refusal;  // why the name is refused (problem's English); empty when it is not
  Problem problem;      // the same as a code
};

// The path for the file-list entry `stored` (Shift_JIS bytes): its
// characters in UTF-8, split into folders at '/' and '\' after decoding
// (so the second byte of a character is never a separator); or, with
// `raw`, its bytes as they stand, split at '/' only, as the kernel splits
// them. Empty and '.' components are dropped. Refused: an empty name, an
// absolute one, a '..' component, a control character (U+0000 to U+001F,
// U+007F to U+009F; with `raw`, the bytes 0x00 to 0x1F and 0x7F), a byte
// with no character (unless `raw`), and with `windowsRules` also a ':'
// and the components Windows drops letters of or takes for a device.
ExtractName extractName(std::string_view stored, bool raw, bool windowsRules);

// Why `part`, one component of a path, is refused on Windows ("..", a
// device name, a dot or a blank at its end); code none when it is not.
Problem windowsComponent(const std::string& part);

// Why the file-list entry `stored` may not be read when a scenario is
// packed from a folder: absolute (on Windows also drive-relative, "C:x"),
// or with a '..' component, after decoding (leniently: a byte with no
// character is no separator) and splitting at '/' and '\' as extractName
// does. A name that passes stays beneath the folder. `code` none when it
// may be read.
Problem packNameProblem(std::string_view stored);
