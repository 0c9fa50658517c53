// A command's wall time and peak resident memory, measured from a small parent.
//
//   build/peak_rss COMMAND [ARG...]
// runs COMMAND as a child, its standard output and error thrown away, and prints
// "SECONDS PEAK_BYTES EXIT_CODE" (the peak from wait4's ru_maxrss; EXIT_CODE -1 when a signal
// ended it). A child's ru_maxrss keeps the peak of the memory it was forked with, so measured
// from a large parent (a Python script) a small command would show the parent's size instead of
// its own. Exit 0 when the command ran.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: peak_rss COMMAND [ARG...]\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execvp(argv[1], argv + 1);
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  if (child < 0 || ::wait4(child, &status, 0, &usage) != child) return 1;
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
  std::printf("%.3f %lld %d\n", seconds.count(), static_cast<long long>(usage.ru_maxrss) * 1024,
              WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return 0;
}
