// console.cpp - checked-but-ignored writes to the console streams.
#include "report/console.h"

#include "report/platform.h"  // console_write_unicode

namespace zobret {

void console_write(std::ostream& os, const std::string& text) {
  if (console_write_unicode(os, text) == 0) return;
  os.write(text.data(), static_cast<std::streamsize>(text.size()));
  os.flush();
  os.clear();  // a vanished reader or a full disk must not silence later lines
}

void console_line(std::ostream& os, const std::string& text) { console_write(os, text + '\n'); }

}  // namespace zobret
