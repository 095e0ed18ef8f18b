// platform_posix.cpp - local time and console set-up on POSIX systems.
#include "report/platform.h"

#include <fcntl.h>   // fcntl, open
#include <unistd.h>  // STDIN_FILENO, STDERR_FILENO

#include <cerrno>
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
  // A standard descriptor that was closed when the program started would be handed out
  // by the next open: the destination could become standard output and take the
  // progress display. The null device holds those numbers instead.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // open takes the lowest free number, which is fd: every lower one is open by now.
    open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
  }
  // A reader that went away must not end a copy: the write fails with EPIPE instead,
  // and console write failures are ignored.
  std::signal(SIGPIPE, SIG_IGN);
}

// A terminal takes UTF-8 as it is.
int console_write_unicode(std::ostream&, const std::string&) { return -1; }

}  // namespace zobret
