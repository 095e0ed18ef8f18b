// console.h - the two console streams and the timestamped log line.
// Informational lines go to std::cout, error lines to std::cerr, which stays tied to
// std::cout so that an error line follows everything written before it.
#ifndef ZOBRET_REPORT_CONSOLE_H
#define ZOBRET_REPORT_CONSOLE_H

#include <ostream>
#include <sstream>
#include <string>

#include "report/timestamp.h"

namespace zobret {

// Writes text and flushes. A failed write is ignored: the stream's error state is
// cleared so that the next line is tried again. On a Windows console window, text beyond
// ASCII goes through the console's Unicode API instead (console_write_unicode).
void console_write(std::ostream& os, const std::string& text);

// Whether the last text written to the console ended a line (both streams show on one
// screen); true before anything is written.
bool console_at_line_start();

// Writes one plain line (text, line break) and flushes.
void console_line(std::ostream& os, const std::string& text);

// "[", the timestamp, "]", the pieces in order, a line break; built whole and written
// with one flush. Every message passed begins with a space (" Try #", " ERROR: ...").
template <typename... Pieces>
void log_line(std::ostream& os, const Pieces&... pieces) {
  std::ostringstream line;
  line << '[' << timestamp_now() << ']';
  (line << ... << pieces);
  line << '\n';
  console_write(os, line.str());
}

}  // namespace zobret

#endif  // ZOBRET_REPORT_CONSOLE_H
