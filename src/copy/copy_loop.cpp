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

// Bytes moved per read and write. Small enough that a share delivering 100 KB/s still
// shows a mark well within a second, large enough to keep up with a local disk.
constexpr std::size_t block_size = 64 * 1024;

// Read-ahead follows the source's pace. It starts off, so a slow share hands over each
// block as soon as it has arrived (with read-ahead on, marks would come only once per
// read-ahead window of several blocks); it goes on once a block arrives quickly, as from a
// local disk, and off again when one keeps the copy waiting.
constexpr double quick_block_seconds = 0.1;
constexpr double slow_block_seconds = 0.5;

// The destination's new bytes are handed on for writing to disk every this many bytes,
// while the copy goes on, instead of all at once by the sync at the end.
constexpr std::uint64_t writeback_bytes = 8 * 1024 * 1024;

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int copy_blocks(const char* source, int source_handle, const char* destination,
                int destination_handle, std::uint64_t from, std::uint64_t to,
                std::uint64_t shown_from, std::uint64_t n, std::uint64_t* reached,
                std::uint64_t* synced_until) {
  std::uint64_t i = from;
  *reached = i;
  if (i >= to) return copy_done;
  const std::unique_ptr<char[]> buf(new char[block_size]);
  // A pipe or a terminal takes its bytes in order; everything else at their offsets.
  const bool positioned = has_offsets(destination_handle) != 0;
  bool in_kernel = positioned;  // until the kernel cannot or did not copy a block itself
  bool readahead = false;
  source_readahead(source_handle, readahead);
  std::uint64_t unflushed_from = i;  // the first byte not yet handed on for writing
  auto last_sync = std::chrono::steady_clock::now();
  while (i < to) {
    const std::uint64_t left = to - i;
    const std::size_t want = left < block_size ? static_cast<std::size_t>(left) : block_size;
    std::size_t written = 0;
    int status = 0;
    double waited = 0;  // how long this block kept the copy waiting for the source
    long long copied = 0;
    if (in_kernel) {
      const auto started = std::chrono::steady_clock::now();
      copied = copy_block_in_kernel(source_handle, destination_handle, want, i);
      waited = seconds_since(started);
    }
    if (copied > 0) {
      written = static_cast<std::size_t>(copied);
    } else {
      // Through our buffer: where the kernel cannot copy between the two files, and to
      // redo a block it failed on, so that the error line names the file that failed.
      in_kernel = false;
      const auto started = std::chrono::steady_clock::now();
      const long long got = read_block(source_handle, buf.get(), want);
      // A source that ends before the size it had when measured is a failed read too.
      if (got <= 0) return fail_reading(source);
      waited = seconds_since(started);
      const std::size_t len = static_cast<std::size_t>(got);
      status = positioned ? write_block_at(destination_handle, buf.get(), len, i, &written)
                          : write_block(destination_handle, buf.get(), len, &written);
    }
    if (readahead ? waited > slow_block_seconds : waited < quick_block_seconds) {
      readahead = !readahead;
      source_readahead(source_handle, readahead);
    }
    // Marks for what reached the file, then (on failure) the error on the same line.
    if (written > 0 && i + written > shown_from)
      progress_block(std::max(i, shown_from), i + written - 1, n);
    i += written;
    *reached = i;
    if (status != 0) return fail_writing(destination);
    if (i - unflushed_from >= writeback_bytes) {
      start_writeback(destination_handle, unflushed_from, i - unflushed_from);
      unflushed_from = i;
    }
    if (seconds_since(last_sync) >= sync_seconds) {
      if (sync_file(destination_handle) != 0) return fail_writing(destination);
      *synced_until = std::max(*synced_until, i);
      last_sync = std::chrono::steady_clock::now();
    }
  }
  return copy_done;
}

}  // namespace zobret
