// console.cpp - checked-but-ignored writes to the console streams.
#include "report/console.h"

#include <atomic>

#include "report/platform.h"  // console_write_unicode

namespace zobret {
namespace {

// Written by the copying thread and the watchdog alike.
std::atomic<bool> at_line_start{true};

}  // namespace

bool console_at_line_start() { return at_line_start.load(std::memory_order_relaxed); }

void console_write(std::ostream& os, const std::string& text) {
  if (!text.empty()) at_line_start.store(text.back() == '\n', std::memory_order_relaxed);
  if (console_write_unicode(os, text) == 0) return;
  os.write(text.data(), static_cast<std::streamsize>(text.size()));
  os.flush();
  os.clear();  // a vanished reader or a full disk must not silence later lines
}

void console_line(std::ostream& os, const std::string& text) { console_write(os, text + '\n'); }

}  // namespace zobret
