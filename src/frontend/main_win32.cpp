// main_win32.cpp - entry point of zobret.exe: takes the command line as Windows holds it,
// in UTF-16 (wmain; MinGW links it with -municode), so no character is lost to the ANSI
// code page, and hands it to run() as UTF-8, the form every path has inside the program.
#include <windows.h>  // WideCharToMultiByte

#include <string>
#include <vector>

#include "frontend/run.h"
#include "report/platform.h"

namespace {

// A UTF-16 argument as UTF-8 (a lone surrogate, which UTF-8 cannot carry, becomes U+FFFD).
std::string to_utf8(const wchar_t* arg) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, arg, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<std::size_t>(n), '\0');  // n counts the terminating NUL
  WideCharToMultiByte(CP_UTF8, 0, arg, -1, &out[0], n, nullptr, nullptr);
  out.pop_back();
  return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  zobret::console_init();
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(to_utf8(argv[i]));
  std::vector<const char*> pointers;
  for (const std::string& arg : args) pointers.push_back(arg.c_str());
  pointers.push_back(nullptr);
  return zobret::run(argc, pointers.data());
}
