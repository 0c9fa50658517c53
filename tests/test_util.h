// Helpers shared by the database tests: a scratch folder per test, whole-file bytes, and random
// callsigns.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace testutil {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orbisk-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The bytes of a literal with embedded zero bytes, without its final terminator.
template <std::size_t N>
std::string bytes_of(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

inline std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::uint32_t word_at(const std::string& bytes, std::size_t offset) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + offset);
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void put_word(std::string* bytes, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[offset + i] = static_cast<char>(value >> (8 * i));
}

// A US callsign of 1 to 6 characters: first A, K, N or W, then digits and capital letters.
inline std::string random_us_call(std::mt19937& rng) {
  static const char kFirst[] = "AKNW";
  static const char kRest[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string call(1, kFirst[rng() % 4]);
  const int len = 1 + static_cast<int>(rng() % 6);
  while (static_cast<int>(call.size()) < len) call.push_back(kRest[rng() % 36]);
  return call;
}

// A random text of printable capitals and spaces.
inline std::string random_text(std::mt19937& rng, std::size_t max_len) {
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ ,.-0123456789";
  std::string text(rng() % (max_len + 1), ' ');
  for (char& c : text) c = kChars[rng() % (sizeof kChars - 1)];
  return text;
}

}  // namespace testutil
