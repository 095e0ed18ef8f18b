// copy_loop.cpp - the block loop: moves the source's bytes to the same offsets of the
// destination, in the kernel where it can, else through one buffer. Leans on the platform
// layer (file_io.h) for the files and on report/ for the marks and error lines.
#include "copy/copy_loop.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <iostream>
#include <memory>

#include "copy/file_io.h"
#include "report/console.h"
#include "report/progress.h"

namespace zobret {

int fail_reading(const char* path) {
  log_line(std::cerr, " ERROR: An erorr occured while reading the file ", path, ".");
  return copy_read_failed;
}

int fail_writing(const char* destination) {
  log_line(std::cerr, " ERROR: An erorr occured while writing the file ", destination, ".");
  return copy_write_failed;
}

namespace {

// The loop paces itself by the rate it measures: blocks grow and the source is asked for
// further ahead as far as it keeps up, and both shrink when it slows down. A local disk
// gets the largest blocks and the widest reach within a tenth of a second; a distant share
// gets there within a few of its round trips; a slow share keeps small blocks and no
// read-ahead, so that its marks still come well within a second.

// Bytes moved per read and write, between these. 64 KiB at the start: a share delivering
// 100 KB/s still shows a mark within a second. Up to 256 KiB: two requests of a FUSE share
// (128 KiB each) per block, and a buffer that keeps the whole process under 4 MiB.
constexpr std::size_t min_block = 64 * 1024;
constexpr std::size_t max_block = 256 * 1024;

// Reading ahead. The kernel's own read-ahead stays off for the whole copy (a read asks for
// its block alone), and the bytes ahead of the copy are asked for with hints
// (source_prefetch), so that the loop alone decides how far ahead the source is read and
// how large each request is. The kernel's own window is fixed by the mount: FUSE reads
// 256 KiB ahead at most, one or two requests per round trip; cifs 4 to 8 MiB in requests
// of 4 MiB, which a slow share takes seconds to deliver, and no file shows how far.

// The reach is counted in these, and no hint is smaller: a FUSE share's sequential window
// (twice its 128 KiB read-ahead size), which it reads as two requests at once.
constexpr std::uint64_t hint_unit = 256 * 1024;
// The kernel reads a hint in pieces of at most 2 MiB, each a request of its own.
constexpr std::uint64_t widest_hint = 2 * 1024 * 1024;
// At most this far ahead of the next byte to write. A share that drops can hand over
// zero-filled pages for everything it had been asked for, and the copy writes them on until
// a read fails. The next attempt takes a second look at the destination's last
// check_window bytes, which must cover all of them: every byte the hints reached ahead of
// the next byte to write, and the block being read. With the kernel's read-ahead off
// nothing else is read.
constexpr std::uint64_t prefetch_reach = (check_window - max_block) / hint_unit * hint_unit;
static_assert(prefetch_reach + max_block <= check_window,
              "the second look must reach back over every byte read ahead");

// The pace: a block should take at most block_seconds at the measured rate, and so should a
// hint (a block waits for the hint that holds it), so hints start once the rate brings a
// hint_unit within piece_seconds. How far ahead: what arrives within ahead_seconds at the
// measured rate, which, on a distant share whose rate is bound by its round trip, grows
// many times over per round trip until the reach is whole. The rate is measured over at
// least rate_seconds.
constexpr double block_seconds = 0.5;
constexpr double piece_seconds = 0.5;
constexpr double ahead_seconds = 4;
constexpr double rate_seconds = 0.1;

// The destination's new bytes are handed on for writing to disk every this many bytes,
// while the copy goes on, instead of all at once by the sync at the end. A client that
// sends them to its server in the calling process (cifs does) holds the loop up meanwhile,
// and that is wanted: a run killed while the share is away leaves no more than this much
// behind in the client's cache, within reach of the next run's first look. Left to the
// kernel, a whole file's bytes can wait there, and a write the client loses on the way
// back leaves zeros far below the destination's end.
constexpr std::uint64_t writeback_bytes = 8 * 1024 * 1024;

using clock_time = std::chrono::steady_clock::time_point;

double seconds_between(clock_time start, clock_time end) {
  return std::chrono::duration<double>(end - start).count();
}

}  // namespace

std::size_t block_for(double rate, std::size_t block) {
  std::size_t next = min_block;
  while (next < max_block && next < 2 * block &&
         2.0 * static_cast<double>(next) <= rate * block_seconds)
    next *= 2;
  return next;
}

std::uint64_t reach_for(double rate, std::uint64_t reach) {
  // A sample that waited for a round trip reads low: the reach halves at most per sample.
  const std::uint64_t halved = reach / 2 / hint_unit * hint_unit;
  if (rate * piece_seconds < static_cast<double>(hint_unit)) return halved;
  const double bytes = std::min(rate * ahead_seconds, static_cast<double>(prefetch_reach));
  const auto units = static_cast<std::uint64_t>(bytes / static_cast<double>(hint_unit));
  return std::max(units * hint_unit, halved);
}

std::uint64_t hint_limit(std::uint64_t preferred, std::uint64_t readahead) {
  // The kernel takes a hint whole up to the file's sequential window, twice the mount's
  // read-ahead size (more where the mount's largest request is larger, as on NFS); where
  // the system does not show the read-ahead size, the file's preferred request size.
  std::uint64_t limit = std::max(preferred, hint_unit);
  if (readahead > 0) limit = std::min(limit, std::max(2 * readahead, hint_unit));
  return std::min(limit, widest_hint);
}

std::uint64_t hint_for(double rate, std::uint64_t reach, std::uint64_t limit) {
  // Doubling from hint_unit: at most half the reach, so that more than one is always on
  // the way, and what arrives within piece_seconds.
  std::uint64_t hint = hint_unit;
  while (2 * hint <= limit && 2 * hint <= reach / 2 &&
         static_cast<double>(2 * hint) <= rate * piece_seconds)
    hint *= 2;
  return hint;
}

int copy_blocks(const copy_job& job, std::uint64_t from, std::uint64_t to,
                std::uint64_t shown_from, std::uint64_t* reached) {
  const int source_handle = job.source.handle, destination_handle = job.destination.handle;
  const std::uint64_t n = job.n;
  std::uint64_t i = from;
  *reached = i;
  if (i >= to) return copy_done;
  const std::unique_ptr<char[]> buf(new char[max_block]);
  // A pipe or a terminal takes its bytes in order; everything else at their offsets.
  const bool positioned = has_offsets(destination_handle) != 0;
  bool in_kernel = positioned;  // until the kernel cannot or did not copy a block itself
  // No read-ahead at the start: a read asks for just its block, until the rate is known.
  std::size_t block = min_block;
  std::uint64_t ahead = 0;        // how far ahead of i the source is asked for
  std::uint64_t hint = hint_unit;  // in hints of this size
  std::uint64_t prefetched = i;   // the source is asked for up to here
  source_hints_only(source_handle);
  std::uint64_t preferred = 0, readahead = 0;
  source_read_sizes(source_handle, &preferred, &readahead);
  const std::uint64_t largest_hint = hint_limit(preferred, readahead);
  std::uint64_t unflushed_from = i;  // the first byte not yet handed on for writing
  std::uint64_t rate_from = i;       // the rate is measured from this byte on...
  auto rate_start = std::chrono::steady_clock::now();  // ...and from this time
  auto last_sync = rate_start;
  bool last_byte_zero = true;  // as far as the loop can tell: the kernel's blocks it never sees
  while (i < to) {
    // The hints that fell into the reach since the last block, the first one also
    // holding the bytes about to be read, so that the share sends them first.
    prefetched = std::max(prefetched, i);
    const std::uint64_t ahead_to = std::min(to, i + ahead);
    while (prefetched < ahead_to) {
      const std::uint64_t piece = std::min(hint, to - prefetched);
      if (prefetched + piece > ahead_to && ahead_to < to) break;  // whole hints only
      source_prefetch(source_handle, prefetched, piece);
      prefetched += piece;
    }
    const std::uint64_t left = to - i;
    const std::size_t want = left < block ? static_cast<std::size_t>(left) : block;
    std::size_t written = 0;
    int status = 0;
    long long copied = 0;
    if (in_kernel) copied = copy_block_in_kernel(source_handle, destination_handle, want, i);
    if (copied > 0) {
      written = static_cast<std::size_t>(copied);
      last_byte_zero = true;
    } else {
      // Through our buffer: where the kernel cannot copy between the two files, and to
      // redo a block it failed on, so that the error line names the file that failed.
      in_kernel = false;
      const long long got = read_block(source_handle, buf.get(), want);
      // A source that ends before the size it had when measured is a failed read too.
      if (got <= 0) return fail_reading(job.source.path);
      const std::size_t len = static_cast<std::size_t>(got);
      last_byte_zero = buf[len - 1] == 0;
      status = positioned ? write_block_at(destination_handle, buf.get(), len, i, &written)
                          : write_block(destination_handle, buf.get(), len, &written);
    }
    // Marks for what reached the file, then (on failure) the error on the same line.
    if (written > 0 && i + written > shown_from)
      progress_block(std::max(i, shown_from), i + written - 1, n);
    i += written;
    *reached = i;
    if (status != 0) return fail_writing(job.destination.path);
    // The first block is measured alone, so that a distant share leaves the smallest
    // block after one round trip.
    const clock_time now = std::chrono::steady_clock::now();
    const double measured = seconds_between(rate_start, now);
    if (measured >= rate_seconds || rate_from == from) {
      const double rate = static_cast<double>(i - rate_from) / measured;
      block = block_for(rate, block);
      ahead = reach_for(rate, ahead);
      hint = hint_for(rate, ahead, largest_hint);
      rate_from = i;
      rate_start = now;
    }
    if (i - unflushed_from >= writeback_bytes) {
      start_writeback(destination_handle, unflushed_from, i - unflushed_from);
      unflushed_from = i;
    }
    if (seconds_between(last_sync, now) >= sync_seconds) {
      if (sync_file(destination_handle, job.destination.writable) != 0)
        return fail_writing(job.destination.path);
      job.memory->synced_until = std::max(job.memory->synced_until, i);
      last_sync = std::chrono::steady_clock::now();  // the sync itself may have taken long
    }
  }
  // A source that lost its server may have been cut short after handing over zeros for
  // its last bytes, and such zeros reach up to its end: then it must still be as long as
  // it was measured. (Asking costs round trips on a share, so only then.)
  std::uint64_t size_now = 0;
  if (to == n && last_byte_zero && (handle_size(source_handle, &size_now) != 0 || size_now < n))
    return fail_reading(job.source.path);
  return copy_done;
}

}  // namespace zobret
