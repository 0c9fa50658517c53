#include "tests/support/run_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

namespace testutil {

namespace {
constexpr auto kRunLimit = std::chrono::seconds(30);

// The programs the tests run never meet the user's own settings or data folder: this process,
// and so every program it starts, gets an empty home of its own, removed as the process ends.
struct TestHome {
  TestHome() : owner(::getpid()) {
    std::string made = (std::filesystem::temp_directory_path() / "orbisk-home-XXXXXX").string();
    if (::mkdtemp(made.data()) == nullptr) std::abort();
    path = made;
    ::setenv("HOME", path.c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
  }
  ~TestHome() {
    std::error_code ec;
    if (::getpid() == owner) std::filesystem::remove_all(path, ec);
  }
  pid_t owner;
  std::string path;
};
const TestHome test_home;
}  // namespace

Outcome run_process(const std::string& program, const std::vector<std::string>& args,
                    const std::string& cwd, bool stderr_terminal) {
  Outcome run;
  int out_pipe[2];
  int err_pipe[2];  // [0] read by the test, [1] the child's standard error
  if (::pipe(out_pipe) != 0) {
    ADD_FAILURE() << "pipe failed";
    return run;
  }
  const int made = stderr_terminal ? ::openpty(&err_pipe[0], &err_pipe[1], nullptr, nullptr,
                                               nullptr)
                                   : ::pipe(err_pipe);
  if (made != 0) {
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    ADD_FAILURE() << (stderr_terminal ? "openpty failed" : "pipe failed");
    return run;
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null_in = ::open("/dev/null", O_RDONLY);
    ::dup2(null_in, 0);
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (pid < 0) {
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    ADD_FAILURE() << "fork failed";
    return run;
  }

  const auto deadline = std::chrono::steady_clock::now() + kRunLimit;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open_fds = 2;
  bool timed_out = false;
  while (open_fds > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      break;
    }
    if (::poll(fds, 2, static_cast<int>(left.count())) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<std::size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  for (const pollfd& p : fds) {
    if (p.fd >= 0) ::close(p.fd);
  }
  if (timed_out) ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (timed_out) {
    ADD_FAILURE() << program << " did not finish within " << kRunLimit.count() << " s";
  } else if (WIFEXITED(status)) {
    run.code = WEXITSTATUS(status);
  } else {
    ADD_FAILURE() << program << " ended by signal " << WTERMSIG(status) << "\n" << run.err;
  }
  return run;
}

}  // namespace testutil
