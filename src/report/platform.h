// platform.h - what the console reporting needs from the platform: local time with the
// time-zone setting read afresh, console streams that survive a vanished reader, and
// text in any script shown on a console window.
// One implementation per platform (platform_posix.cpp, platform_win32.cpp).
#ifndef ZOBRET_REPORT_PLATFORM_H
#define ZOBRET_REPORT_PLATFORM_H

#include <ctime>
#include <ostream>
#include <string>

namespace zobret {

// Fills *out with the current local time, re-reading the TZ setting first; 0 or -1.
int local_time_now(std::tm* out);

// Prepares the console streams once at start: a closed standard output must neither
// stop the process nor disturb a copy (on POSIX, SIGPIPE is ignored).
void console_init();

// Shows text (UTF-8) on the console window when os writes straight to this process's
// standard output or error and that is a console, in a form that every console code page
// shows (Windows: UTF-16 through the console API), after what os holds; 0 when it did.
// -1 when the caller is to write the bytes as they are: always on POSIX; on Windows for
// a file or a pipe (which get UTF-8), a swapped stream buffer, and ASCII text.
int console_write_unicode(std::ostream& os, const std::string& text);

}  // namespace zobret

#endif  // ZOBRET_REPORT_PLATFORM_H
