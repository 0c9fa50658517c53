// ZIP archives for the tests, made while they run by real tools: Info-ZIP's zip and Python's
// zipfile module (both installed by scripts/setup).
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace testutil {

// Runs `command` through the shell. Returns its exit status, or -1 when it could not run or
// ended by a signal.
inline int shell(const std::string& command) {
  const int status = std::system(command.c_str());
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// `text` as one shell word.
inline std::string quoted(const std::string& text) {
  std::string word = "'";
  for (const char c : text) {
    if (c == '\'') {
      word += "'\\''";
    } else {
      word.push_back(c);
    }
  }
  return word + "'";
}

// Runs a Python 3 program with `args` as sys.argv[1:]. Returns its exit status.
inline int python(const std::string& program, const std::vector<std::string>& args = {}) {
  std::string command = "python3 -c " + quoted(program);
  for (const std::string& arg : args) command += " " + quoted(arg);
  return shell(command);
}

// zipfile's compression methods.
inline constexpr int kStored = 0;
inline constexpr int kDeflated = 8;
inline constexpr int kBzip2 = 12;

struct ZipSource {
  std::string name;    // the member's name in the archive
  int method;          // kStored, kDeflated or kBzip2
  std::string source;  // the file whose contents it gets
};

// Writes `zip` with Python's zipfile, members in the order given. Returns its exit status.
inline int python_zip(const std::string& zip, const std::vector<ZipSource>& members) {
  std::vector<std::string> args = {zip};
  for (const ZipSource& m : members) {
    args.push_back(m.name);
    args.push_back(std::to_string(m.method));
    args.push_back(m.source);
  }
  return python(
      "import sys, zipfile\n"
      "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
      "    a = sys.argv[2:]\n"
      "    for i in range(0, len(a), 3):\n"
      "        z.write(a[i + 2], a[i], compress_type=int(a[i + 1]))\n",
      args);
}

// A member as zipfile reads it from the archive's central directory.
struct ZipEntry {
  int method = 0;
  long compressed = 0;
  long regular = 0;
  std::string name;
};

// The members of `zip` in the order they are stored, as zipfile lists them; empty when it
// cannot read the archive.
inline std::vector<ZipEntry> zip_entries(const std::string& zip) {
  const std::string listing = zip + ".entries";
  std::vector<ZipEntry> entries;
  if (python("import sys, zipfile\n"
             "with zipfile.ZipFile(sys.argv[1]) as z, open(sys.argv[2], 'w') as out:\n"
             "    for i in sorted(z.infolist(), key=lambda i: i.header_offset):\n"
             "        out.write('%d %d %d %s\\n' % (i.compress_type, i.compress_size,\n"
             "                                     i.file_size, i.filename))\n",
             {zip, listing}) != 0) {
    return entries;
  }
  std::ifstream in(listing);
  ZipEntry e;
  while (in >> e.method >> e.compressed >> e.regular) {
    in.get();  // the space before the name
    std::getline(in, e.name);
    entries.push_back(e);
  }
  std::remove(listing.c_str());
  return entries;
}

}  // namespace testutil
