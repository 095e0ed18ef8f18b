// platform_win32.cpp - what the console reporting needs from Windows: local time with
// TZ read afresh, console streams whose failures never stop the process, and text in any
// script on a console window, whatever its code page.
#include "report/platform.h"

#include <windows.h>  // GetConsoleMode, WriteConsoleW, MultiByteToWideChar

#include <io.h>      // _get_osfhandle
#include <stdlib.h>  // _set_invalid_parameter_handler
#include <time.h>    // _tzset, localtime_s

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <cwchar>
#include <iostream>

namespace zobret {

namespace {

// The C runtime calls this instead of ending the process when a call gets an invalid
// argument, such as a write to a standard stream that was closed before start. The
// call then just fails, and console write failures are ignored anyway.
void ignore_invalid_parameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int,
                              std::uintptr_t) {}

// The buffers of std::cout and std::cerr as console_init found them: a stream still
// writing through one of them writes to descriptor 1 or 2 (tests swap them for strings).
std::streambuf* standard_output = nullptr;
std::streambuf* standard_error = nullptr;

// UTF-8 text as the console takes it: UTF-16, each "\n" as "\r\n" as the C runtime's text
// mode writes it; a byte that is not UTF-8 shows as U+FFFD.
std::wstring console_text(const std::string& text) {
  const int size = static_cast<int>(text.size());  // one line or one block of marks
  std::wstring wide(static_cast<std::size_t>(
                        MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0)),
                    L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, &wide[0], static_cast<int>(wide.size()));
  std::wstring out;
  for (const wchar_t c : wide) {
    if (c == L'\n') out += L'\r';
    out += c;
  }
  return out;
}

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
  standard_output = std::cout.rdbuf();
  standard_error = std::cerr.rdbuf();
  // Descriptors 0, 1 and 2 are never handed out for a file, even when the process starts
  // without standard handles: the C runtime (msvcrt, the UCRT and Wine's msvcrt alike)
  // marks all three open at start, with the value -2 ("no console") where no handle stands
  // behind one, and writes to them just fail. So the destination can never become
  // descriptor 1, and there is no need to open NUL onto them.
}

int console_write_unicode(std::ostream& os, const std::string& text) {
  // ASCII shows alike in every code page: its bytes go out as they are.
  if (std::none_of(text.begin(), text.end(), [](char c) { return (c & 0x80) != 0; })) return -1;
  const std::streambuf* const buffer = os.rdbuf();
  if (buffer == nullptr || (buffer != standard_output && buffer != standard_error)) return -1;
  const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(buffer == standard_output ? 1 : 2));
  DWORD mode = 0;
  if (h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode)) return -1;  // a file or a pipe
  const std::wstring wide = console_text(text);
  // What either stream holds goes first (std::cerr is tied to std::cout).
  if (os.tie() != nullptr) os.tie()->flush();
  os.flush();
  os.clear();
  for (std::size_t done = 0; done < wide.size();) {
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(wide.size() - done);  // one line: far below 4 Gi
    if (!WriteConsoleW(h, wide.data() + done, want, &n, nullptr) || n == 0) break;  // ignored
    done += n;
  }
  return 0;
}

}  // namespace zobret
