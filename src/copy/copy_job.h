// copy_job.h - what the parts of one copy attempt hand each other: the two open files, the
// source's size, how a stretch of the copy ended, and what the run remembers between its
// attempts.
#ifndef ZOBRET_COPY_COPY_JOB_H
#define ZOBRET_COPY_COPY_JOB_H

#include <cstdint>
#include <string>
#include <vector>

#include "copy/file_io.h"
#include "report/messages.h"  // compare_reason

namespace zobret {

// How a stretch of the copy (or of a check) ended. Read and write failures end alike (the
// attempt fails), but only a failure on the destination's side can have cost bytes already
// written.
enum class copy_result {
  done,
  read_failed,   // a file read failed, or the source ended early or changed
  write_failed,  // the destination failed to take, or to sync, a byte
};

// The bytes of a file from `from` to `to`-1.
struct stretch {
  std::uint64_t from, to;
};

// Pages of the destination that a look found to hold the source's bytes, where those bytes
// end in a zero byte: what a dropping share hands over in place of either file's own. Such
// a match proves nothing where a failure follows, so the attempt after a failure compares
// them again, once, through handles of its own. At most unsure_limit bytes are kept.
struct unsure_pages {
  std::vector<stretch> runs;  // in the order found, touching pages merged
  std::uint64_t bytes = 0;
};

constexpr std::uint64_t nothing_to_rewrite = UINT64_MAX;
constexpr std::uint64_t nothing_to_compare = UINT64_MAX;

// What one run knows between its attempts beyond the files on disk. The destination's
// length stays the resume point; this only says which of its bytes deserve a look, and
// what the source was. A new run knows nothing yet.
struct run_memory {
  // The run has judged the destination it found (or made it): later looks at it are
  // second looks at what a failure of this run may have spoiled.
  bool judged = false;
  // What the source was at the run's first attempt (or when a later one found it changed).
  bool source_known = false;
  file_facts source;
  // An attempt found the source changed; the next look compares the destination whole.
  bool source_changed = false;
  // The destination's bytes before this offset have had their second look in this run;
  // bytes an attempt wrote behind it get theirs from the next attempt, should a failure
  // come first.
  std::uint64_t checked_until = 0;
  // The furthest the run has copied: no attempt has written a byte at or behind this
  // offset. An attempt that raises it has moved the copy forward.
  std::uint64_t furthest = 0;
  // Bytes before this offset are on disk: a sync that succeeded came after them.
  std::uint64_t synced_until = 0;
  // After a failure on the destination's side (a write, a sync or a close): where the
  // bytes that may be lost begin. Everything from here to the destination's end is
  // written again from the source before the next sync.
  std::uint64_t rewrite_from = nothing_to_rewrite;
  // The destination is being compared whole with the source: from this offset on it is
  // still to be done (nothing_to_compare: no comparison is due), and why.
  std::uint64_t compare_from = nothing_to_compare;
  compare_reason compare_why = compare_reason::differs;
  std::uint64_t differs_at = 0;         // the first byte found to differ (differs)
  bool compare_marked = false;          // its last page was put out of place (see
                                        // destination_check.cpp)
  std::uint64_t compare_rewritten = 0;  // bytes it has written again so far
  // What the page put out of place held before, at held_at (empty: none is held), to be
  // put back should the comparison never end; and whether it differed from the source.
  std::string held_page;
  std::uint64_t held_at = 0;
  bool held_differs = false;
  // Unsure matches (see unsure_pages) of the run's first look, which call for the whole
  // comparison should they differ after all, and of its second looks, which are healed.
  unsure_pages unsure_found;
  unsure_pages unsure_written;
};

// A file the copy has open: its path (which serves only the error lines), its handle,
// whether it was opened for writing, and its facts as the attempt's lookup found them.
// The attempt that opened it also closes it.
struct open_file {
  const char* path;
  owned_handle handle;
  bool writable;
  file_facts facts;
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
// looked at yet: every page ending in a zero byte, the mark such a page leaves, is
// compared with the source and written again where they differ. Wider than the source's
// bytes that a block loop can have asked for ahead of the last byte it wrote.
constexpr std::uint64_t check_window = 8 * 1024 * 1024;

}  // namespace zobret

#endif  // ZOBRET_COPY_COPY_JOB_H
