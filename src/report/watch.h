// watch.h - every long silence explained. The copy names the file of each call it is
// about to make; a watchdog thread notices when no call has returned for a minute and
// says in the log which file the run is waiting for, again after 5 and 15 minutes and
// then every hour. A call that answers costs two plain stores, no lock and no system call.
#ifndef ZOBRET_REPORT_WATCH_H
#define ZOBRET_REPORT_WATCH_H

#include <cstdint>

namespace zobret {

// The files the calls of an attempt are made on, by the path pointers the calls will name
// (copied: the waiting line never reads the caller's memory).
void watch_files(const char* source, const char* destination);
// A call on the file at path is about to be made; whatever was asked before has answered.
void watch_call(const char* path);
// Nothing is asked of any file (the run pauses between attempts, or has ended).
void watch_idle();

// The silence the watchdog follows, as a pure step that tests drive with their own clock.
struct silence {
  std::uint64_t calls = 0;  // the count of calls made when the silence began
  double since = 0;         // when it began, in seconds on the caller's clock
  int lines = 0;            // waiting lines written for it so far
  double looked = 0;        // when the last look was
};
// A look this long after the one before found the process stopped (Ctrl+Z, a machine
// asleep) rather than waiting: the silence starts over.
constexpr double stopped_seconds = 5;
// Seconds of silence after which the waiting line numbered `lines` (from 0) is due: 60,
// 300, 900, 3600, then every hour.
std::int64_t waiting_line_due(int lines);
// One look at the run at time now (about once a second): calls made so far, and whether a
// call is being waited for. The seconds a waiting line is to report now (its due time),
// or 0 for none.
std::int64_t silence_step(silence* s, std::uint64_t calls, bool asking, double now);

// Keeps the watchdog thread running for its lifetime (one per run).
class watchdog {
 public:
  watchdog();
  ~watchdog();
  watchdog(const watchdog&) = delete;
  watchdog& operator=(const watchdog&) = delete;
};

}  // namespace zobret

#endif  // ZOBRET_REPORT_WATCH_H
