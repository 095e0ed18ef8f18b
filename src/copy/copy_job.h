// copy_job.h - what the parts of one copy attempt hand each other: the two open files, the
// source's size, and what the run remembers between its attempts.
#ifndef ZOBRET_COPY_COPY_JOB_H
#define ZOBRET_COPY_COPY_JOB_H

#include <cstdint>

namespace zobret {

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

// A file the copy has open: its handle, its path (which serves only the error lines), and
// whether it was opened for writing. The attempt that opened it also closes it.
struct open_file {
  const char* path;
  int handle;
  bool writable;
};

// The job of one attempt: the source's bytes up to n (its size when the attempt measured
// it) into the destination at the same offsets, and what the run remembers.
struct copy_job {
  open_file source;
  open_file destination;
  std::uint64_t n;
  run_memory* memory;
};

// A network file system that loses its server mid-read can hand over zero-filled pages
// before it reports the failure, and the attempt that wrote them cannot tell. The next
// attempt looks again at the destination's last check_window bytes that no attempt has
// looked at yet (and a run's first attempt at those of a destination it finds): every page
// ending in a zero byte, the mark such a page leaves, is compared with the source and
// written again where they differ. Wider than the source's bytes that the copy loop can
// have asked for ahead of the last byte it wrote.
constexpr std::uint64_t check_window = 8 * 1024 * 1024;
// A run's first look at a destination it finds reaches back this far (and further where it
// finds spoiled pages, or a trailing run of pages ending in a zero byte): an earlier run
// killed while the share was away may have lost a write in flight before bytes that
// arrived (see copy_attempt.cpp).
constexpr std::uint64_t first_look_window = 2 * check_window;

}  // namespace zobret

#endif  // ZOBRET_COPY_COPY_JOB_H
