// Runs a program the way its users do and collects what it prints, for the command-line tests.
#pragma once

#include <string>
#include <vector>

namespace testutil {

struct Outcome {
  int code = -1;  // the exit code; -1 when the program did not exit on its own
  std::string out;
  std::string err;
};

// Runs `program` with `args`, standard input from /dev/null, in folder `cwd` ("" for the
// test's own). A program that runs past 30 s is killed; that and an end by signal are test
// failures. With `stderr_terminal`, standard error is a terminal (a pseudo-terminal, which
// also turns its line ends into "\r\n") and Outcome::err is what appeared on it.
Outcome run_process(const std::string& program, const std::vector<std::string>& args,
                    const std::string& cwd = "", bool stderr_terminal = false);

}  // namespace testutil
