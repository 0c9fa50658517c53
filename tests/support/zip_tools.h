// Python 3 run from the tests, to make and read ZIP archives with its zipfile module (installed
// by scripts/setup).
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
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

}  // namespace testutil
