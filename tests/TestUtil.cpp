#include "TestUtil.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "archive/System.h"

namespace {

// Standard streams as the programs have them (on Windows: in binary mode,
// so that what a death test's process writes reads the same everywhere).
[[maybe_unused]] const bool streamsPrepared = (prepareStandardStreams(), true);

}  // namespace

ScratchDir::ScratchDir() {
  std::random_device random;
  for (;;) {
    std::filesystem::path p = std::filesystem::temp_directory_path() / ("kerv-test-" + std::to_string(random()));
    if (std::filesystem::create_directory(p)) {
      dir = p.string();
      return;
    }
  }
}
ScratchDir::~ScratchDir() { std::filesystem::remove_all(dir); }

void ScratchDir::write(const std::string& name, const std::string& bytes) const {
  std::ofstream(path(name), std::ios::binary) << bytes;
}

std::string ScratchDir::read(const std::string& name) const {
  std::ifstream in(path(name), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
