// platform.h - what the console reporting needs from the platform: local time with the
// time-zone setting read afresh, and console streams that survive a vanished reader.
// One implementation per platform (platform_posix.cpp, platform_win32.cpp).
#ifndef ZOBRET_REPORT_PLATFORM_H
#define ZOBRET_REPORT_PLATFORM_H

#include <ctime>

namespace zobret {

// Fills *out with the current local time, re-reading the TZ setting first; 0 or -1.
int local_time_now(std::tm* out);

// Prepares the console streams once at start: a closed standard output must neither
// stop the process nor disturb a copy (on POSIX, SIGPIPE is ignored).
void console_init();

}  // namespace zobret

#endif  // ZOBRET_REPORT_PLATFORM_H
