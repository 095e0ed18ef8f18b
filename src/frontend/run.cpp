// run.cpp - banner, help text and the retry loop. The loop owns nothing but the try
// counter; every attempt works out the rest from the files on disk.
#include "frontend/run.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "copy/copy_attempt.h"
#include "report/console.h"  // console_write
#include "report/messages.h"

namespace zobret {
namespace {

// The longest pause between attempts that ZOBRET_RETRY_PAUSE may ask for: one day.
constexpr double longest_pause_seconds = 86400;

// Reads a pause in seconds: digits with an optional fraction ("2", "0.5", ".25"), at most
// longest_pause_seconds. 0 and *seconds, or -1 for anything else.
int parse_seconds(const std::string& text, double* seconds) {
  std::size_t digits = 0, points = 0;
  for (const char c : text) {
    if (c >= '0' && c <= '9') ++digits;
    else if (c == '.') ++points;
    else return -1;
  }
  if (digits == 0 || points > 1) return -1;
  *seconds = std::strtod(text.c_str(), nullptr);  // only digits and one point: no surprises
  return *seconds <= longest_pause_seconds ? 0 : -1;
}

}  // namespace

int run(int argc, const char* const* argv) {
  show_banner();
  if (argc != 3) {
    show_help(argc > 0 && argv[0] != nullptr ? argv[0] : "zobret");
    return -1;
  }
  // By default no pause: every failed attempt is answered by the next one at once. A
  // long outage may ask for a pause between failed attempts instead.
  double pause = 0;
  const char* pause_text = std::getenv("ZOBRET_RETRY_PAUSE");
  if (pause_text != nullptr && *pause_text != '\0' && parse_seconds(pause_text, &pause) != 0) {
    say_bad_pause(pause_text, static_cast<long>(longest_pause_seconds));
    return -1;
  }
  // No limit. Between attempts the run keeps nothing but the try counter and what it
  // learned about the destination's bytes (see run_memory).
  run_memory memory;
  std::uint64_t tries = 1;
  for (;;) {
    say_try(tries);
    ++tries;
    const int result = copy_attempt(argv[1], argv[2], &memory);
    if (result == attempt_finished) break;
    // A destination that is the source itself, or longer than it: its error line has said
    // so, the file is left as it is, and no " Complete." follows.
    if (result == attempt_refused) return attempt_refused;
    if (pause > 0) std::this_thread::sleep_for(std::chrono::duration<double>(pause));
  }
  // Ends an open progress line, or leaves an empty one.
  console_write(std::cout, "\n");
  say_complete();
  return 0;
}

}  // namespace zobret
