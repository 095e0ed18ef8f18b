// platform_win32.cpp - what the console reporting needs from Windows: local time with
// TZ read afresh, and console streams whose failures never stop the process.
#include "report/platform.h"

#include <stdlib.h>  // _set_invalid_parameter_handler
#include <time.h>    // _tzset, localtime_s

#include <cstdint>
#include <ctime>
#include <cwchar>

namespace zobret {

namespace {

// The C runtime calls this instead of ending the process when a call gets an invalid
// argument, such as a write to a standard stream that was closed before start. The
// call then just fails, and console write failures are ignored anyway.
void ignore_invalid_parameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int,
                              std::uintptr_t) {}

}  // namespace

int local_time_now(std::tm* out) {
  _tzset();  // re-read TZ, which may have changed since the last line
  const std::time_t now = std::time(nullptr);
  if (now == static_cast<std::time_t>(-1)) return -1;
  return localtime_s(out, &now) == 0 ? 0 : -1;
}

void console_init() {
  // The console streams stay in text mode, so each '\n' reaches the console as "\r\n";
  // a write to a vanished reader fails with an error code and raises no signal.
  _set_invalid_parameter_handler(ignore_invalid_parameter);
}

}  // namespace zobret
