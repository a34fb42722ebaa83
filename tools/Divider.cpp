#include "tools/Divider.h"

#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "archive/Container.h"
#include "archive/Exit.h"
#include "archive/FileName.h"
#include "archive/KervOutputStream.h"
#include "archive/System.h"
#include "scenario/ConsoleText.h"
#include "scenario/NativeName.h"
#include "tools/Reports.h"

void writeScenarioFile(const char* name, const char* bytes, int length) {
  KervOutputStream file(name, std::ios_base::out);
  if (file.fail()) {
    reportCannotCreate(name);
    return;
  }
  file.write(bytes, length);
  file.close();
  if (file.fail()) reportCannotWrite(name);
}

void extractDataFiles(Scenario& scenario, KervInputStream& archive, int raw) {
  while (char* name = scenario.nextFileName()) {
    std::cout << "creating \"";
    writeText(std::cout, name, static_cast<int>(std::strlen(name)), raw) << "\"." << std::endl;

    // The size is checked against the archive before the file is created.
    int size = archive.get32();
    if (size < 0) {
      std::cerr << "bad block size for " << name << "." << std::endl << "Is file broken?" << std::endl;
      exitProcess(-1);
    }
    archive.require(size);

    if (leavesCurrentDirectory(name)) {
      std::cerr << "can not create " << name << " : name leads outside the current directory" << std::endl;
      archive.copyTo(nullptr, size);
      continue;
    }
    std::string native;
    std::optional<KervOutputStream> file;
    if (nativeFileName(name, native)) file.emplace(native.c_str(), std::ios_base::out);
    if (!file || file->fail()) {
      reportCannotCreate(name);
      archive.copyTo(nullptr, size);  // the archive stays in step with the list
      continue;
    }
    archive.copyTo(&*file, size);
    file->close();
    if (file->fail()) reportCannotWrite(name);  // a partly written file stays
  }
}

int divide(const Programs& programs, int argc, char** argv) {
  const Dialect& dialect = programs.dialect;
  prepareProcess();
  argv = commandLineArguments(argc, argv);
  std::string derivedName;
  const char* scenarioName = outputName(argc, argv, dialect.scenarioSuffix, programs.dividerUsage, derivedName);
  const char* archiveName = argv[1];

  KervInputStream archive(archiveName, std::ios_base::in);
  char header[container::kHeaderSize];
  archive.read(header, container::kHeaderSize);
  if (dialectOfArchive(header, container::kHeaderSize) != &dialect) {
    std::cerr << programs.wrongArchive << std::endl << "Is file broken?" << std::endl;
    exitProcess(-1);
  }

  std::cout << "now creating scenario file.:";
  writeText(std::cout, scenarioName, static_cast<int>(std::strlen(scenarioName)), 0) << std::endl;
  int length = archive.get16();
  std::unique_ptr<char[]> block(new char[static_cast<std::size_t>(length)]);
  archive.read(block.get(), length);
  // Written from the block as read: the scenario object blanks comments in
  // its own copy, the file keeps the original bytes.
  writeScenarioFile(scenarioName, block.get(), length);

  std::unique_ptr<Scenario> scenario = dialect.makeScenario(block.get(), length);
  block.reset();
  scenario->printInfo();
  std::cout << "now creating data(.qvd or .zpt)." << std::endl;
  extractDataFiles(*scenario, archive, 0);
  archive.close();
  return 0;
}
