// What the library finds wrong, as a code and its values rather than a
// sentence, so that each surface can word it in its own language: english()
// is the wording of the programs (kervls, kerv, the Python module), and the
// web page has an English and a Japanese sentence for every code.
#pragma once

#include <cstdint>
#include <string>

struct Problem {
  // The values each code carries are given after it: n[0], n[1], n[2] are
  // numbers, `name` and `other` stored names (Shift_JIS) or texts.
  enum class Code {
    none,
    // A name of a file to create, or to read when packing.
    emptyName,         //
    absoluteName,      //
    outsideFolder,     // a '..' component
    controlCharacter,  // n[0] the character
    noCharacter,       // n[0] the byte, n[1] its offset in the name
    windowsColon,      //
    windowsDevice,     //
    windowsDropped,    // a component ending in a dot or a blank
    scenarioName,      // an extracted data file would take the scenario file's name
    fileFolderClash,   // one name is a file, and for another name a folder
    // A scenario to pack.
    notAScenario,     //
    scenarioTooLong,  // n[0] its length
    bareLineFeed,     // n[0] the line (from 1)
    bareCarriageReturn,  // n[0] the line (from 1)
    // An archive that cannot be used at all.
    notAnArchive,   //
    cutInHeader,    // n[0] the archive's size
    cutInScenario,  // n[0] bytes after the header, n[1] the scenario's length
    // Damage: `offset` is that of the first byte it concerns.
    wrongScenario,       // name the archive's dialect, other its scenario magic
    bytesAfterBlocks,    // n[0] the bytes
    blocksMissing,       // n[0] missing, n[1] listed, n[2] present
    endsInSizeField,     // n[0] the block (from 1), n[1] missing, n[2] listed
    badBlockSize,        // n[0] the block, n[1] the size
    blockRunsPast,       // n[0] the block, n[1] its size, n[2] the bytes past the end
    noBlock,             // name a listed data file without a block; n[0] where the archive ends, n[1] the
                         // block with a bad size, or 0 when it is cut
    // A plan that cannot be made.
    archiveDamaged,       // the first damage, as `name` (its English)
    newScenarioWrong,     // the new scenario's problem, as `name` (its English)
    newScenarioDialect,   // name the archive's dialect, other its scenario magic
    givenTwice,           // name
    dataFileTooLarge,     // name, n[0] its size
    listedNotGiven,       // name: in the new scenario, neither in the archive nor given
    noDataFile,           // name; n[0] 1 when looked for in a new scenario's list
    missingDataFile,      // name, other the folder looked in
    linkLeadsOutside,  // name, other the folder: the data file is a symbolic link that leads outside it
    namesCollide,         // name and other, two list names that found one file
    // Two archives compared: `other` is "old" or "new" where one of them is meant.
    differentDialects,    // name the old archive's dialect, other the new one's
    cannotRead,           // name: why
  };

  Code code = Code::none;
  int64_t offset = -1;  // in the archive, where it concerns a place there
  int64_t n[3] = {0, 0, 0};
  std::string name;
  std::string other;

  static Problem of(Code code, int64_t a = 0, int64_t b = 0, int64_t c = 0) {
    Problem p;
    p.code = code;
    p.n[0] = a, p.n[1] = b, p.n[2] = c;
    return p;
  }
  static Problem named(Code code, std::string name, std::string other = {}, int64_t a = 0) {
    Problem p = of(code, a);
    p.name = std::move(name);
    p.other = std::move(other);
    return p;
  }

  explicit operator bool() const { return code != Code::none; }
  // The code's identifier ("bareLineFeed"), for the web page.
  const char* id() const;
  // The programs' wording, names in UTF-8 (a byte with no character as \xNN).
  std::string english() const;
};
