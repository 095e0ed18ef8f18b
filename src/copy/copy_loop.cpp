// copy_loop.cpp - the block loop: moves the source's bytes to the same offsets of the
// destination, in the kernel where it can, else through one buffer. Leans on the platform
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
  if (sync_file(job.destination.handle.get(), job.destination.writable) != 0)
    return fail_writing(job.destination.path);
  return copy_result::done;
}

pace start_pace(int handle, int other, std::uint64_t at) {
  for (const int h : {handle, other})
    if (h >= 0) hints_only(h);
  std::uint64_t preferred = 0, readahead = 0;
  source_read_sizes(handle, &preferred, &readahead);
  return pace_start(at, hint_limit(preferred, readahead), std::chrono::steady_clock::now());
}

void ask_ahead(pace* p, std::uint64_t at, std::uint64_t to, int handle, int other) {
  std::uint64_t offset = 0, len = 0;
  while (next_hint(p, at, to, &offset, &len))
    for (const int h : {handle, other})
      if (h >= 0) prefetch(h, offset, len);
}

namespace {

// The destination's new bytes are handed on for writing every this many bytes, while the
// copy goes on, instead of all at once by the sync at the end; a client that sends them in
// the calling process holds the loop up meanwhile, which keeps what a killed run leaves in
// its cache within reach of the next run's first look.
constexpr std::uint64_t writeback_bytes = 8 * mib;

// What keeps the copy durable: where the bytes not yet handed on for writing begin, and
// when the last sync was.
struct durability {
  std::uint64_t unflushed_from;
  clock_time last_sync;
};

// After a block that ended at byte at: hands the bytes since the last writeback on for
// writing every writeback_bytes, and syncs every sync_seconds, raising the run's
// synced_until to what a good sync covered.
copy_result keep_durable(const copy_job& job, durability* d, std::uint64_t at, clock_time now) {
  const int handle = job.destination.handle.get();
  if (at - d->unflushed_from >= writeback_bytes) {
    watch_call(job.destination.path);
    start_writeback(handle, d->unflushed_from, at - d->unflushed_from);
    d->unflushed_from = at;
  }
  if (seconds_between(d->last_sync, now) < sync_seconds) return copy_result::done;
  if (sync_destination(job) != copy_result::done) return copy_result::write_failed;
  job.memory->synced_until = std::max(job.memory->synced_until, at);
  d->last_sync = std::chrono::steady_clock::now();  // the sync itself may have taken long
  return copy_result::done;
}

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
      copy_block_in_kernel(source, destination, want, at, written) == io_result::done)
    return copy_result::done;
  // Through the buffer: where the kernel cannot copy between the two files, and to redo a
  // block it failed on, so that the error line names the file that failed. A source that
  // ends before the size it had when measured is a failed read too.
  m->in_kernel = false;
  std::size_t got = 0;
  if (read_block(source, m->buf, want, &got) != io_result::done)
    return fail_reading(job.source.path);
  watch_call(job.destination.path);
  const int status = m->positioned ? write_block_at(destination, m->buf, got, at, written)
                                   : write_block(destination, m->buf, got, written);
  return status == 0 ? copy_result::done : copy_result::write_failed;
}

}  // namespace

copy_result copy_blocks(const copy_job& job, std::uint64_t from, std::uint64_t to,
                        std::uint64_t shown_from, std::uint64_t* reached) {
  std::uint64_t i = from;
  *reached = i;
  if (i >= to) return copy_result::done;
  const std::unique_ptr<char[]> buf(new char[max_block]);
  // A pipe or a terminal takes its bytes in order; everything else at their offsets.
  const bool positioned = has_offsets(job.destination.handle.get()) != 0;
  mover m{positioned, positioned, buf.get()};
  pace p = start_pace(job.source.handle.get(), -1, i);
  durability d{i, p.rate_start};
  while (i < to) {
    watch_call(job.source.path);
    ask_ahead(&p, i, to, job.source.handle.get(), -1);
    std::size_t written = 0;
    const copy_result moved =
        move_block(job, &m, i, static_cast<std::size_t>(std::min<std::uint64_t>(to - i, p.block)),
                   &written);
    // Marks for what reached the file, then (on failure) the error on the same line.
    if (written > 0 && i + written > shown_from)
      progress_block(std::max(i, shown_from), i + written - 1, job.n);
    i += written;
    *reached = i;
    job.memory->furthest = std::max(job.memory->furthest, i);
    if (moved == copy_result::write_failed) return fail_writing(job.destination.path);
    if (moved != copy_result::done) return moved;
    const clock_time now = std::chrono::steady_clock::now();
    pace_step(&p, i, now);
    if (keep_durable(job, &d, i, now) != copy_result::done) return copy_result::write_failed;
  }
  return copy_result::done;
}

}  // namespace zobret
