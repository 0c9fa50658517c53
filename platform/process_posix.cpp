// POSIX process services: interrupts and local time.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

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
