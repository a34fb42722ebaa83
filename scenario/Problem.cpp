#include "scenario/Problem.h"

#include <cstdio>

#include "archive/Container.h"
#include "scenario/Cp932.h"

namespace {

std::string plural(int64_t n, const char* what) { return std::to_string(n) + " " + what + (n == 1 ? "" : "s"); }

std::string shown(const std::string& name) { return cp932::toUtf8(name, cp932::Undecodable::escape); }

std::string format(const char* f, int64_t a, int64_t b = 0) {
  char text[64];
  std::snprintf(text, sizeof text, f, static_cast<unsigned>(a), static_cast<long long>(b));
  return text;
}

}  // namespace

const char* Problem::id() const {
  switch (code) {
    case Code::none: return "none";
    case Code::emptyName: return "emptyName";
    case Code::absoluteName: return "absoluteName";
    case Code::outsideFolder: return "outsideFolder";
    case Code::controlCharacter: return "controlCharacter";
    case Code::noCharacter: return "noCharacter";
    case Code::windowsColon: return "windowsColon";
    case Code::windowsDevice: return "windowsDevice";
    case Code::windowsDropped: return "windowsDropped";
    case Code::scenarioName: return "scenarioName";
    case Code::fileFolderClash: return "fileFolderClash";
    case Code::notAScenario: return "notAScenario";
    case Code::scenarioTooLong: return "scenarioTooLong";
    case Code::bareLineFeed: return "bareLineFeed";
    case Code::bareCarriageReturn: return "bareCarriageReturn";
    case Code::notAnArchive: return "notAnArchive";
    case Code::cutInHeader: return "cutInHeader";
    case Code::cutInScenario: return "cutInScenario";
    case Code::wrongScenario: return "wrongScenario";
    case Code::bytesAfterBlocks: return "bytesAfterBlocks";
    case Code::blocksMissing: return "blocksMissing";
    case Code::endsInSizeField: return "endsInSizeField";
    case Code::badBlockSize: return "badBlockSize";
    case Code::blockRunsPast: return "blockRunsPast";
    case Code::noBlock: return "noBlock";
    case Code::archiveDamaged: return "archiveDamaged";
    case Code::newScenarioWrong: return "newScenarioWrong";
    case Code::newScenarioDialect: return "newScenarioDialect";
    case Code::givenTwice: return "givenTwice";
    case Code::dataFileTooLarge: return "dataFileTooLarge";
    case Code::listedNotGiven: return "listedNotGiven";
    case Code::noDataFile: return "noDataFile";
    case Code::missingDataFile: return "missingDataFile";
    case Code::linkLeadsOutside: return "linkLeadsOutside";
    case Code::namesCollide: return "namesCollide";
    case Code::differentDialects: return "differentDialects";
    case Code::cannotRead: return "cannotRead";
  }
  return "none";
}

std::string Problem::english() const {
  const std::string at = offset >= 0 ? "offset " + std::to_string(offset) + ": " : "";
  switch (code) {
    case Code::none: return "";
    case Code::emptyName: return "empty name";
    case Code::absoluteName: return "absolute name";
    case Code::outsideFolder: return "'..' leads outside the folder";
    case Code::controlCharacter: return format("control character U+%04X", n[0]);
    case Code::noCharacter: return format("byte 0x%02X at offset %lld has no character", n[0], n[1]);
    case Code::windowsColon: return "':' names a drive or a stream on Windows";
    case Code::windowsDevice: return "a device name on Windows";
    case Code::windowsDropped: return "a name that ends in a dot or a blank, which Windows drops";
    case Code::scenarioName: return "the scenario file has that name";
    case Code::fileFolderClash: return "a file and a folder have the same name";
    case Code::notAScenario: return "not a KERV or P-KERV scenario: it does not start with KERV or PKERV";
    case Code::scenarioTooLong:
      return "a scenario file holds at most " + std::to_string(container::kMaxScenarioSize) + " bytes, this one " +
             std::to_string(n[0]);
    case Code::bareLineFeed:
      return "line " + std::to_string(n[0]) + " ends in LF alone; save the scenario with CR LF line ends";
    case Code::bareCarriageReturn:
      return "line " + std::to_string(n[0]) + " ends in CR alone; save the scenario with CR LF line ends";
    case Code::notAnArchive: return "not a KERV or P-KERV archive: it does not start with KRV or PKV";
    case Code::cutInHeader:
      return "cut short in its header: " + plural(n[0], "byte") + ", where the header has " +
             std::to_string(container::kHeaderSize + 2);
    case Code::cutInScenario:
      return "cut short in its scenario: " + plural(n[0], "byte") + " at offset " +
             std::to_string(container::kHeaderSize + 2) + ", where the scenario has " + std::to_string(n[1]);
    case Code::wrongScenario: return at + "the scenario is not for " + name + ": it does not start with " + other;
    case Code::bytesAfterBlocks: return at + plural(n[0], "byte") + " after the last data block";
    case Code::blocksMissing:
      return at + std::to_string(n[0]) + " of " + plural(n[1], "data block") + " missing: the archive ends after " +
             plural(n[2], "block");
    case Code::endsInSizeField:
      return at + "the archive ends inside the size of data block " + std::to_string(n[0]) + "; " +
             std::to_string(n[1]) + " of " + plural(n[2], "data block") + " missing";
    case Code::badBlockSize:
      return at + "data block " + std::to_string(n[0]) + " has a bad size, " + std::to_string(n[1]) +
             " (its top bit is set)";
    case Code::blockRunsPast:
      return at + "data block " + std::to_string(n[0]) + " of " + plural(n[1], "byte") + " runs " +
             plural(n[2], "byte") + " past the end of the archive";
    case Code::noBlock:
      return shown(name) + ": no block (" +
             (n[1] > 0 ? "data block " + std::to_string(n[1]) + " has a bad size"
                       : "the archive ends at offset " + std::to_string(n[0])) +
             ")";
    case Code::archiveDamaged: return "the archive is damaged: " + name;
    case Code::newScenarioWrong: return "the new scenario is " + name;
    case Code::newScenarioDialect: return "the new scenario is not for " + name + ": it does not start with " + other;
    case Code::givenTwice: return shown(name) + " is given twice";
    case Code::dataFileTooLarge:
      return shown(name) + ": a data file holds at most 2147483647 bytes, this one " + std::to_string(n[0]);
    case Code::listedNotGiven:
      return shown(name) + " is listed in the new scenario, but is neither in the archive nor given";
    case Code::noDataFile:
      return "no data file " + shown(name) + (n[0] != 0 ? " in the new scenario's file list" : " in the archive");
    case Code::missingDataFile: return shown(name) + ": no such data file in " + other;
    case Code::linkLeadsOutside:
      return shown(name) + ": not packed: a symbolic link that leads outside " + other;
    case Code::namesCollide:
      return shown(name) + " and " + shown(other) + " are two names of the list that find one file; rename one";
    case Code::differentDialects: return "the archives are of two dialects, " + name + " and " + other;
    case Code::cannotRead: return "cannot be read: " + name;
  }
  return "";
}
