// copy_attempt.h - one copy attempt: check and measure the source, then copy it whole
// into a new destination or resume behind the last byte of an existing one.
#ifndef ZOBRET_COPY_COPY_ATTEMPT_H
#define ZOBRET_COPY_COPY_ATTEMPT_H

#include <cstdint>
#include <string>

namespace zobret {

// Attempt results: the job is finished, or another attempt is due.
constexpr int attempt_finished = 0;
constexpr int attempt_failed = -1;

constexpr std::uint64_t nothing_to_rewrite = UINT64_MAX;

// What one run knows between its attempts beyond the files on disk. The destination's
// length stays the resume point; this only says which of its bytes deserve a second look.
// A new run knows nothing yet.
struct run_memory {
  // The destination's bytes before this offset have had their second look in this run;
  // bytes an attempt wrote behind it get theirs from the next attempt, should a failure
  // come first.
  std::uint64_t checked_until = 0;
  // Bytes before this offset are on disk: a sync that succeeded came after them.
  std::uint64_t synced_until = 0;
  // After a failure on the destination's side (a write, a sync or a close): where the
  // bytes that may be lost begin. Everything from here to the destination's end is
  // written again from the source before the next sync.
  std::uint64_t rewrite_from = nothing_to_rewrite;
};

// One attempt over the two paths: reports every step as a log line, opens and closes
// its own files, and returns attempt_finished or attempt_failed. It finishes only after a
// sync of the destination that succeeded. memory carries what earlier attempts of the
// same run learned; without it the attempt acts as the first of a run.
int copy_attempt(const char* source, const char* destination, run_memory* memory = nullptr);

// A network file system that loses its server mid-read can hand over zero-filled pages
// before it reports the failure, and the attempt that wrote them cannot tell. The next
// attempt looks again at the destination's last check_window bytes that no attempt has
// looked at yet (and a run's first attempt at those of a destination it finds): every page
// ending in a zero byte, the mark such a page leaves, is compared with the source and
// written again where they differ. Wider than the source's bytes that the copy loop can
// have asked for ahead of the last byte it wrote.
constexpr std::uint64_t check_window = 8 * 1024 * 1024;

}  // namespace zobret

#endif  // ZOBRET_COPY_COPY_ATTEMPT_H
