// run.cpp - banner, help text and the retry loop. The loop owns the try counter, the
// pause between failed attempts and the watchdog; every attempt works out the rest from
// the files on disk and what the run remembers (run_memory).
#include "frontend/run.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "copy/copy_attempt.h"
#include "frontend/retry.h"
#include "report/messages.h"
#include "report/progress.h"
#include "report/watch.h"

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

// Where the run stands, to tell whether an attempt moved it forward: the furthest byte
// copied, and where a comparison goes on (none: none is due).
struct standing {
  std::uint64_t furthest;
  std::optional<std::uint64_t> compare_from;
};

standing standing_of(const run_memory& memory) {
  if (!memory.compare) return {memory.furthest, std::nullopt};
  return {memory.furthest, memory.compare->from};
}

bool moved_forward(const standing& before, const standing& after) {
  return after.furthest > before.furthest || after.compare_from != before.compare_from;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int run(int argc, const char* const* argv) {
  show_banner();
  if (argc != 3) {
    show_help(argc > 0 && argv[0] != nullptr ? argv[0] : "zobret");
    return -1;
  }
  // By default the pause is paced (see retry.h); a number is a fixed pause after every
  // failed attempt, and 0 none at all.
  double pause = -1;
  const char* pause_text = std::getenv("ZOBRET_RETRY_PAUSE");
  if (pause_text != nullptr && *pause_text != '\0' && parse_seconds(pause_text, &pause) != 0) {
    say_bad_pause(pause_text, static_cast<long>(longest_pause_seconds));
    return -1;
  }
  // No limit. Between attempts the run keeps nothing but the try counter and what it
  // learned about the destination's bytes (see run_memory).
  run_memory memory;
  retry_pace pace;
  const watchdog watching;
  std::uint64_t tries = 1;
  for (;;) {
    say_try(tries);
    ++tries;
    const standing before = standing_of(memory);
    const auto start = std::chrono::steady_clock::now();
    const int result = copy_attempt(argv[1], argv[2], &memory);
    watch_idle();
    if (result == attempt_finished) break;
    // A destination that is the source itself, or longer than it: its error line has said
    // so, the file is left as it is, and no " Complete." follows.
    if (result == attempt_refused) return attempt_refused;
    const double wait =
        retry_pause(&pace, moved_forward(before, standing_of(memory)), seconds_since(start), pause);
    // A signal (Ctrl+C) ends the process, and with it the pause, at once.
    if (wait > 0) std::this_thread::sleep_for(std::chrono::duration<double>(wait));
  }
  progress_end();
  say_complete();
  return 0;
}

}  // namespace zobret
