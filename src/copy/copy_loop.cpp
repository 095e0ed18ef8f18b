// copy_loop.cpp - the block loop's pace and durability, and the copy's step: the source's
// bytes to the same offsets of the destination, in the kernel where it can, else through
// one buffer. Leans on the platform
// layer (file_io.h), on its pace (pace.h) and on report/ for the marks and error lines.
// What the kernel's clients do with the loop's hints and writeback: doc/performance.md.
#include "copy/copy_loop.h"

#include <algorithm>
#include <memory>

#include "copy/file_io.h"
#include "report/messages.h"
#include "report/progress.h"
#include "report/watch.h"

namespace zobret {

copy_result fail_reading(const char* path) {
  say_error(file_error::read, path);
  return copy_result::read_failed;
}

copy_result fail_writing(const char* destination) {
  say_error(file_error::write, destination);
  return copy_result::write_failed;
}

copy_result sync_destination(const copy_job& job) {
  watch_call(job.destination.path);
  if (!sync_file(job.destination.handle.get())) return fail_writing(job.destination.path);
  return copy_result::done;
}

pace start_pace(int handle, int other, std::uint64_t at) {
  for (const int h : {handle, other})
    if (h >= 0) hints_only(h);
  return pace_start(at, source_read_sizes(handle), std::chrono::steady_clock::now());
}

void ask_ahead(pace* p, stretch rest, int handle, int other) {
  stretch hint{};
  while (next_hint(p, rest, &hint))
    for (const int h : {handle, other})
      if (h >= 0) prefetch(h, hint.from, hint.to - hint.from);
}

namespace {

// The destination's new bytes are handed on for writing every this many bytes, while the
// copy goes on, instead of all at once by the sync at the end; a client that sends them in
// the calling process holds the loop up meanwhile, which keeps what a killed run leaves in
// its cache within reach of the next run's first look.
constexpr std::uint64_t writeback_bytes = 8 * mib;

// How the loop moves its blocks: in the kernel until it cannot or did not copy a block
// itself, else through buf; positioned unless the destination takes bytes only in order.
struct mover {
  bool positioned;
  bool in_kernel;
  char* buf;
};

// Moves up to want bytes of the source (positioned at byte at) to the destination; how
// many reached it into *written, also on failure (after the failure's error line).
copy_result move_block(const copy_job& job, mover* m, std::uint64_t at, std::size_t want,
                       std::size_t* written) {
  const int source = job.source.handle.get(), destination = job.destination.handle.get();
  *written = 0;
  if (m->in_kernel &&
      copy_block_in_kernel(source, destination, {at, at + want}, written) == io_result::done)
    return copy_result::done;
  // Through the buffer: where the kernel cannot copy between the two files, and to redo a
  // block it failed on, so that the error line names the file that failed. A source that
  // ends before the size it had when measured is a failed read too.
  m->in_kernel = false;
  std::size_t got = 0;
  if (read_block(source, m->buf, want, &got) != io_result::done)
    return fail_reading(job.source.path);
  watch_call(job.destination.path);
  const bool all = m->positioned ? write_block_at(destination, m->buf, got, at, written)
                                 : write_block(destination, m->buf, got, written);
  return all ? copy_result::done : copy_result::write_failed;
}

// The copy's step in the block loop: a block moved, its marks drawn, and the run told
// what reached the destination and what a sync made durable.
struct copy_step {
  static constexpr bool reads_destination = false;
  const copy_job& job;
  run_memory* memory;
  mover m;
  std::uint64_t shown_from;

  copy_result block(std::uint64_t at, std::size_t want, std::size_t* done) {
    const copy_result moved = move_block(job, &m, at, want, done);
    // Marks for what reached the file, then (on failure) the error on the same line.
    if (*done > 0 && at + *done > shown_from)
      progress_block(std::max(at, shown_from), at + *done - 1, job.n);
    note_written(memory, at + *done);
    return moved == copy_result::write_failed ? fail_writing(job.destination.path) : moved;
  }
  void synced(std::uint64_t at) { note_synced(memory, at); }
};

}  // namespace

copy_result keep_durable(const copy_job& job, durability* d, std::uint64_t at, clock_time now,
                         bool* synced) {
  const int handle = job.destination.handle.get();
  *synced = false;
  if (at - d->unflushed_from >= writeback_bytes) {
    watch_call(job.destination.path);
    start_writeback(handle, d->unflushed_from, at - d->unflushed_from);
    d->unflushed_from = at;
  }
  if (seconds_between(d->last_sync, now) < sync_seconds) return copy_result::done;
  if (sync_destination(job) != copy_result::done) return copy_result::write_failed;
  *synced = true;
  d->last_sync = std::chrono::steady_clock::now();  // the sync itself may have taken long
  return copy_result::done;
}

copy_result copy_blocks(const copy_job& job, run_memory* memory, stretch span,
                        std::uint64_t shown_from, std::uint64_t* reached) {
  *reached = span.from;
  if (span.from >= span.to) return copy_result::done;
  const std::unique_ptr<char[]> buf(new char[max_block]);
  // A pipe or a terminal takes its bytes in order; everything else at their offsets.
  const bool positioned = has_offsets(job.destination.handle.get());
  copy_step step{job, memory, {positioned, positioned, buf.get()}, shown_from};
  return drive_blocks(job, span, &step, reached);
}

}  // namespace zobret
