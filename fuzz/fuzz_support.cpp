#include "fuzz/fuzz_support.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fuzzing {

namespace {

struct Scratch {
  std::string path;
  Scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orbisk-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path = pattern;
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

}  // namespace

const std::string& scratch() {
  static const Scratch folder;
  return folder.path;
}

std::string put(const std::string& name, const std::uint8_t* data, std::size_t n) {
  const std::string path = scratch() + "/" + name;
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n));
  return path;
}

void drop(const std::string& name) {
  std::error_code ec;
  std::filesystem::remove(scratch() + "/" + name, ec);
}

}  // namespace fuzzing
