#include "TestUtil.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>

ScratchDir::ScratchDir() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/kerv-test-XXXXXX";
  dir = mkdtemp(pattern.data());
}

ScratchDir::~ScratchDir() { std::filesystem::remove_all(dir); }

void ScratchDir::write(const std::string& name, const std::string& bytes) const {
  std::ofstream(path(name), std::ios::binary) << bytes;
}

std::string ScratchDir::read(const std::string& name) const {
  std::ifstream in(path(name), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
