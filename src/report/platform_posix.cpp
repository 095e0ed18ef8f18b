// platform_posix.cpp - local time and console set-up on POSIX systems.
#include "report/platform.h"

#include <csignal>  // std::signal, SIGPIPE
#include <ctime>    // tzset, localtime_r

namespace zobret {

int local_time_now(std::tm* out) {
  const std::time_t now = std::time(nullptr);
  if (now == static_cast<std::time_t>(-1)) return -1;
  tzset();  // localtime_r does not re-read TZ by itself
  return localtime_r(&now, out) != nullptr ? 0 : -1;
}

void console_init() {
  // A reader that went away must not end a copy: the write fails with EPIPE instead,
  // and console write failures are ignored.
  std::signal(SIGPIPE, SIG_IGN);
}

// A terminal takes UTF-8 as it is.
int console_write_unicode(std::ostream&, const std::string&) { return -1; }

}  // namespace zobret
