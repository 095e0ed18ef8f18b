// copy_loop.h - the block loop over the two files that the copy and the comparison share
// (it owns the pace and the durability), and the copy's own step: the source's bytes to
// the same offsets of the destination, for the fresh copy, the resume and the bytes a
// resume copies again.
#ifndef ZOBRET_COPY_COPY_LOOP_H
#define ZOBRET_COPY_COPY_LOOP_H

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "copy/copy_job.h"
#include "copy/pace.h"
#include "report/watch.h"

namespace zobret {

// The error lines of a failed read (naming the file read) and of a failed write (naming
// the destination); each returns the matching result.
copy_result fail_reading(const char* path);
copy_result fail_writing(const char* destination);
// Syncs the job's destination: done, or a failed write after its error line.
copy_result sync_destination(const copy_job& job);

// Marks drawn for no byte: for bytes that are copied again behind the display.
constexpr std::uint64_t no_marks = UINT64_MAX;

// Copies the job's bytes in span (the source's handle positioned at its start) to the same
// offsets of the destination, drawing the progress marks for bytes shown_from and up, and
// notes in the run what reached the destination and what a sync made durable. Returns
// done, or a failure after its error line (naming the file that failed). *reached receives
// the offset up to which bytes reached the destination, also on failure. The handles stay
// open.
copy_result copy_blocks(const copy_job& job, run_memory* memory, stretch span,
                        std::uint64_t shown_from, std::uint64_t* reached);

// The pace for a loop over these files from byte at on: the kernel's own read-ahead off
// for each (a handle of -1 is left out), hints as large as the source takes whole.
pace start_pace(int handle, int other, std::uint64_t at);
// Asks for the hints due before a block at the start of rest, the stretch still to be
// read, of both handles alike.
void ask_ahead(pace* p, stretch rest, int handle, int other);

// How often a long loop makes what it has written durable, so that a failure on the
// destination's side costs at most the bytes of the last stretch.
constexpr double sync_seconds = 10;

// What keeps a loop's writes durable: where the bytes not yet handed on for writing begin,
// and when the last sync was.
struct durability {
  std::uint64_t unflushed_from;
  clock_time last_sync;
};
// After a block that ended at byte at: hands the bytes since the last writeback on for
// writing every few MiB, and syncs every sync_seconds (*synced then true). Done, or a
// failed write after its error line.
copy_result keep_durable(const copy_job& job, durability* d, std::uint64_t at, clock_time now,
                         bool* synced);

// The loop over the blocks of span: asks the source ahead (and the destination where the
// step reads it too: Step::reads_destination), sizes each block by the pace, and keeps
// what was written durable. step->block(at, want, &done) handles the block at `at` of at
// most want bytes and says how many it finished, also on failure; step->synced(at) learns
// of each sync that held. *reached receives where the loop got to, also on failure.
template <typename Step>
copy_result drive_blocks(const copy_job& job, stretch span, Step* step, std::uint64_t* reached) {
  const int source = job.source.handle.get();
  const int other = Step::reads_destination ? job.destination.handle.get() : -1;
  std::uint64_t at = span.from;
  *reached = at;
  pace p = start_pace(source, other, at);
  durability d{at, p.rate_start};
  while (at < span.to) {
    watch_call(job.source.path);
    ask_ahead(&p, {at, span.to}, source, other);
    std::size_t done = 0;
    const copy_result result =
        step->block(at, static_cast<std::size_t>(std::min<std::uint64_t>(span.to - at, p.block)),
                    &done);
    at += done;
    *reached = at;
    if (result != copy_result::done) return result;
    const clock_time now = std::chrono::steady_clock::now();
    pace_step(&p, at, now);
    bool synced = false;
    if (keep_durable(job, &d, at, now, &synced) != copy_result::done)
      return copy_result::write_failed;
    if (synced) step->synced(at);
  }
  return copy_result::done;
}

}  // namespace zobret

#endif  // ZOBRET_COPY_COPY_LOOP_H
