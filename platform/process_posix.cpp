// POSIX process services: interrupts and local time.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace platform {

namespace {

std::atomic<std::atomic<bool>*> interrupt_flag{nullptr};

extern "C" void on_interrupt(int) {
  std::atomic<bool>* flag = interrupt_flag.load();
  if (flag != nullptr) flag->store(true);
}

}  // namespace

void set_flag_on_interrupt(std::atomic<bool>* flag) {
  interrupt_flag = flag;
  struct sigaction action = {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool process_alive(long pid) {
  if (pid <= 0) return false;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

namespace {

// When the system started, in seconds since 1970, from /proc/stat; -1 when unknown.
std::int64_t boot_time() {
  std::FILE* f = std::fopen("/proc/stat", "re");
  if (f == nullptr) return -1;
  char line[256];
  long long btime = -1;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::sscanf(line, "btime %lld", &btime) == 1) break;
  }
  std::fclose(f);
  return btime;
}

// When the process `pid` started, in seconds since 1970; -1 when unknown.
std::int64_t start_time(long pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  std::FILE* f = std::fopen(path.c_str(), "re");
  if (f == nullptr) return -1;
  char text[1024];
  const std::size_t n = std::fread(text, 1, sizeof text - 1, f);
  std::fclose(f);
  text[n] = '\0';
  // The command name (field 2) is in brackets and may hold anything; field 22, the start in
  // clock ticks since boot, is the 20th after its closing bracket.
  const char* p = std::strrchr(text, ')');
  if (p == nullptr) return -1;
  unsigned long long ticks = 0;
  for (int field = 3; field <= 22; ++field) {
    while (*p != '\0' && *p != ' ') ++p;
    while (*p == ' ') ++p;
    if (*p == '\0') return -1;
    if (field == 22 && std::sscanf(p, "%llu", &ticks) != 1) return -1;
  }
  const long per_second = ::sysconf(_SC_CLK_TCK);
  const std::int64_t boot = boot_time();
  if (per_second <= 0 || boot < 0) return -1;
  return boot + static_cast<std::int64_t>(ticks / static_cast<unsigned long long>(per_second));
}

}  // namespace

bool process_alive_since(long pid, std::int64_t since) {
  if (!process_alive(pid)) return false;
  const std::int64_t started = start_time(pid);
  // Two seconds of slack: the boot time is rounded, and the clock may have been set.
  return started < 0 || started <= since + 2;
}

long current_process_id() { return static_cast<long>(::getpid()); }

LocalTime local_time() {
  const time_t now = ::time(nullptr);
  struct tm parts;
  LocalTime t;
  if (::localtime_r(&now, &parts) == nullptr) return t;
  t.year = parts.tm_year + 1900;
  t.month = parts.tm_mon + 1;
  t.day = parts.tm_mday;
  t.hour = parts.tm_hour;
  t.minute = parts.tm_min;
  t.second = parts.tm_sec;
  return t;
}

}  // namespace platform
