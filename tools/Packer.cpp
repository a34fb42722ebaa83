#include "tools/Packer.h"

#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "archive/Container.h"
#include "archive/Exit.h"
#include "archive/KervInputStream.h"
#include "archive/System.h"
#include "scenario/ConsoleText.h"
#include "scenario/LineEnds.h"
#include "scenario/NativeName.h"
#include "tools/Reports.h"

namespace {

[[noreturn]] void failWrite(KervOutputStream& archive, const char* archiveName) {
  reportCannotWrite(archiveName);
  archive.close();
  exitProcess(-1);
}

}  // namespace

void appendDataFiles(KervOutputStream& archive, Scenario& scenario, const char* archiveName, int raw) {
  while (char* name = scenario.nextFileName()) {
    // Put every block so far on disk first: if this file cannot be opened
    // the run ends at once, and the archive must hold the blocks before it.
    archive.flush();
    if (archive.fail()) failWrite(archive, archiveName);

    std::string native;
    if (!nativeFileName(name, native)) KervInputStream::cannotOpen(name);
    KervInputStream data(native.c_str(), std::ios_base::in, name);
    int size = data.getRemaining();
    std::cout << "now adding ";
    writeText(std::cout, name, static_cast<int>(std::strlen(name)), raw) << " size=" << size << std::endl;
    archive.put32(size);
    data.copyTo(&archive, size);
    if (archive.fail()) failWrite(archive, archiveName);
    data.close();
  }
}

int pack(const Programs& programs, int argc, char** argv) {
  const Dialect& dialect = programs.dialect;
  prepareProcess();
  argv = commandLineArguments(argc, argv);
  std::string derivedName;
  const char* archiveName = outputName(argc, argv, dialect.archiveSuffix, programs.packerUsage, derivedName);
  const char* scenarioName = argv[1];

  // The scenario is read whole and closed before the archive is created.
  KervInputStream scenarioFile(scenarioName, std::ios_base::in);
  int size = scenarioFile.getRemaining();
  if (size > container::kMaxScenarioSize) {
    std::cerr << "can not pack " << scenarioName << " : a scenario file holds at most "
              << container::kMaxScenarioSize << " bytes" << std::endl;
    exitProcess(-1);
  }
  std::unique_ptr<char[]> bytes(new char[static_cast<std::size_t>(size)]);
  scenarioFile.read(bytes.get(), size);
  scenarioFile.close();
  std::unique_ptr<Scenario> scenario = dialect.makeScenario(bytes.get(), size);
  if (bareLineFeedLine(*scenario) != 0) {
    std::cerr << "warning: " << scenarioName << " has lines that end in LF alone; a scenario needs CR LF line "
              << "ends, so its header and file list may not have been found." << std::endl;
  }

  KervOutputStream archive(archiveName, std::ios_base::out);
  if (archive.fail()) {
    reportCannotCreate(archiveName);
    exitProcess(-1);
  }
  std::cout << "now creating ";
  writeText(std::cout, archiveName, static_cast<int>(std::strlen(archiveName)), 0) << "." << std::endl;

  char header[container::kHeaderSize] = {};
  std::memcpy(header, dialect.archiveMagic, container::kMagicLength);
  archive.write(header, container::kHeaderSize);
  archive.put16(size);
  archive.write(bytes.get(), size);
  archive.flush();  // on disk before the magic test, which may end the run
  if (archive.fail()) failWrite(archive, archiveName);

  bytes.reset();
  scenario->printInfo();
  appendDataFiles(archive, *scenario, archiveName, 0);

  // A run never says "completed" over an archive that did not reach the disk.
  archive.close();
  if (archive.fail()) {
    reportCannotWrite(archiveName);
    exitProcess(-1);
  }
  std::cout << "completed" << std::endl;
  return 0;
}
