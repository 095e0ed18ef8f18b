// watch.cpp - the watchdog thread and what the copy tells it (see watch.h).
#include "report/watch.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "report/messages.h"
#include "report/progress.h"  // progress_interrupted

namespace zobret {
namespace {

// Written by the copying thread alone, read by the watchdog.
std::atomic<std::uint64_t> calls_made{0};
std::atomic<const char*> asked{nullptr};

// The named files, and the watchdog's own state; guarded by the mutex.
std::mutex guard;
std::condition_variable wake;
bool stopping = false;
struct named_file {
  const char* pointer = nullptr;
  std::string path;
};
named_file named[2];
std::thread thread;

void watch_loop() {
  using clock = std::chrono::steady_clock;
  const clock::time_point start = clock::now();
  silence s;
  std::unique_lock<std::mutex> lock(guard);
  while (!stopping) {
    wake.wait_for(lock, std::chrono::seconds(1));
    if (stopping) break;
    const double now = std::chrono::duration<double>(clock::now() - start).count();
    const char* pointer = asked.load(std::memory_order_relaxed);
    const std::int64_t seconds =
        silence_step(&s, calls_made.load(std::memory_order_relaxed), pointer != nullptr, now);
    if (seconds == 0) continue;
    // The watchdog's own copy of the path, taken under the lock it holds.
    std::string path;
    for (const named_file& f : named)
      if (f.pointer == pointer) path = f.path;
    if (path.empty()) continue;
    lock.unlock();
    progress_interrupted();
    say_waiting(path.c_str(), seconds);
    lock.lock();
  }
}

}  // namespace

void watch_files(const char* source, const char* destination) {
  std::lock_guard<std::mutex> lock(guard);
  named[0] = {source, source};
  named[1] = {destination, destination};
}

void watch_call(const char* path) {
  // One writer: a plain load and store, no locked instruction.
  calls_made.store(calls_made.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  asked.store(path, std::memory_order_relaxed);
}

void watch_idle() { watch_call(nullptr); }

std::int64_t waiting_line_due(int lines) {
  static const std::int64_t first[] = {60, 300, 900};
  if (lines < 3) return first[lines];
  return std::int64_t{3600} * (lines - 2);
}

std::int64_t silence_step(silence* s, std::uint64_t calls, bool asking, double now) {
  const bool stopped = now - s->looked > stopped_seconds;
  s->looked = now;
  if (calls != s->calls || !asking || stopped) {
    *s = silence{calls, now, 0, now};
    return 0;
  }
  const std::int64_t due = waiting_line_due(s->lines);
  if (now - s->since < static_cast<double>(due)) return 0;
  ++s->lines;
  return due;
}

watchdog::watchdog() {
  stopping = false;
  thread = std::thread(watch_loop);
}

watchdog::~watchdog() {
  {
    std::lock_guard<std::mutex> lock(guard);
    stopping = true;
  }
  wake.notify_all();
  if (thread.joinable()) thread.join();
  watch_idle();
}

}  // namespace zobret
