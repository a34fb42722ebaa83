// Any bytes as an archive for both dividers: the header, the scenario
// block, the block sizes and the blocks. Files are created only inside a
// scratch folder, which is emptied after every input.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "FuzzSupport.h"
#include "tools/Divider.h"

void exitProcess(int status) { throwFatal(status); }

namespace {

const char kArchive[] = "input.archive";
std::string scratch;

void emptyScratch() {
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    if (entry.path().filename() != kArchive) std::filesystem::remove_all(entry.path());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  silenceConsole();
  // Corpus folders named relative to the starting folder must be given
  // as absolute paths, since this changes the current folder.
  scratch = std::filesystem::temp_directory_path().string() + "/kerv-fuzz-XXXXXX";
  if (mkdtemp(scratch.data()) == nullptr || chdir(scratch.c_str()) != 0) abort();
  std::atexit([] { std::filesystem::remove_all(scratch); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* f = std::fopen(kArchive, "wb");
  if (f == nullptr) abort();
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  char program[] = "div", archive[] = "input.archive", scenario[] = "out.scenario";
  char* argv[] = {program, archive, scenario, nullptr};
  for (const Programs* programs : {&kervPrograms, &pkervPrograms}) {
    try {
      divide(*programs, 3, argv);
    } catch (const FatalExit&) {
    }
    emptyScratch();
  }
  return 0;
}
