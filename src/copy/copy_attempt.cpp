// copy_attempt.cpp - the fresh copy, the resume, and the block loop they share.
// Leans on the platform layer (file_io.h) for files and on report/ for every line shown.
//
// The destination only ever holds a prefix of the source: every block is written at its
// own offset, a fresh destination is created exclusively and never truncated, and a
// failure ends the attempt at once, so the next one resumes behind the last byte that
// reached the file.
#include "copy/copy_attempt.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>
#include <memory>

#include "copy/file_io.h"
#include "report/console.h"
#include "report/progress.h"

namespace zobret {
namespace {

int fail_reading(const char* source) {
  log_line(std::cerr, " ERROR: An erorr occured while reading the file ", source, ".");
  return attempt_failed;
}

int fail_writing(const char* destination) {
  log_line(std::cerr, " ERROR: An erorr occured while writing the file ", destination, ".");
  return attempt_failed;
}

// A file whose size cannot be read is never taken to be empty: for the source that
// would report an empty copy as complete, for the destination append behind its bytes.
int fail_measuring(const char* path, int source_handle) {
  log_line(std::cerr, " ERROR: Unable to get the size of the file ", path, ".");
  if (source_handle >= 0) close_file(source_handle);
  return attempt_failed;
}

int fail_opening_for_writing(const char* destination, int source_handle) {
  log_line(std::cerr, " ERROR: Unable to open the file ", destination, " for writing.");
  close_file(source_handle);
  return attempt_failed;
}

// Reads len bytes whole unless the file ends or fails first: the count, or -1.
long long read_exactly(int handle, char* buf, std::size_t len) {
  std::size_t total = 0;
  while (total < len) {
    const long long got = read_block(handle, buf + total, len - total);
    if (got < 0) return -1;
    if (got == 0) break;
    total += static_cast<std::size_t>(got);
  }
  return static_cast<long long>(total);
}

// Compares bytes from to n-1 of the two files: 0 when they match, 1 when they differ,
// -1 (its error line written) when either cannot be read.
int compare_tail(const char* source, int source_handle, const char* destination,
                 std::uint64_t from, std::uint64_t n) {
  if (from == n) return 0;
  const int destination_handle = open_source(destination);
  if (destination_handle < 0) {
    log_line(std::cerr, " ERROR: Unable to open the file ", destination, " for reading.");
    return -1;
  }
  const std::unique_ptr<char[]> ours(new char[copy_block_size]);
  const std::unique_ptr<char[]> theirs(new char[copy_block_size]);
  int result = 0;
  if (seek_source(source_handle, from) != 0) result = fail_reading(source);
  else if (seek_source(destination_handle, from) != 0) result = fail_reading(destination);
  for (std::uint64_t i = from; result == 0 && i < n;) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(n - i, copy_block_size));
    if (read_exactly(source_handle, ours.get(), want) != static_cast<long long>(want))
      result = fail_reading(source);
    else if (read_exactly(destination_handle, theirs.get(), want) != static_cast<long long>(want))
      result = fail_reading(destination);
    else if (std::memcmp(ours.get(), theirs.get(), want) != 0)
      result = 1;
    i += want;
  }
  close_file(destination_handle);
  return result;
}

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

// Moves bytes i to n-1, drawing marks for bytes shown_from and up; 0 when all reached
// the destination, else the failure's line has been written and -1 comes back.
int move_blocks(const char* source, int source_handle, const char* destination,
                int destination_handle, std::uint64_t i, std::uint64_t shown_from,
                std::uint64_t n) {
  const std::unique_ptr<char[]> buf(new char[copy_block_size]);
  bool in_kernel = true;  // until the kernel cannot or did not copy a block itself
  bool readahead = false;
  source_readahead(source_handle, readahead);
  std::uint64_t unflushed_from = i;  // the first byte not yet handed on for writing
  while (i < n) {
    const std::uint64_t left = n - i;
    const std::size_t want = left < copy_block_size ? static_cast<std::size_t>(left)
                                                    : copy_block_size;
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
      status = write_block_at(destination_handle, buf.get(), static_cast<std::size_t>(got), i,
                              &written);
    }
    if (readahead ? waited > slow_block_seconds : waited < quick_block_seconds) {
      readahead = !readahead;
      source_readahead(source_handle, readahead);
    }
    // Marks for what reached the file, then (on failure) the error on the same line.
    if (written > 0 && i + written > shown_from)
      progress_block(std::max(i, shown_from), i + written - 1, n);
    if (status != 0) return fail_writing(destination);
    i += written;
    if (i - unflushed_from >= writeback_bytes) {
      start_writeback(destination_handle, unflushed_from, i - unflushed_from);
      unflushed_from = i;
    }
  }
  return 0;
}

}  // namespace

int copy_bytes(const char* source, int source_handle, const char* destination,
               int destination_handle, std::uint64_t from, std::uint64_t i, std::uint64_t n) {
  int moved = move_blocks(source, source_handle, destination, destination_handle, from, i, n);
  // A source that lost its server may have been cut short after handing over zeros for
  // its last bytes: it must still be as long as it was measured.
  std::uint64_t now = 0;
  if (moved == 0 && (handle_size(source_handle, &now) != 0 || now < n))
    moved = fail_reading(source);
  if (moved != 0) {
    // The attempt has failed already; what reached the file stays as the resume point.
    close_file(destination_handle);
    close_file(source_handle);
    return attempt_failed;
  }
  // A share may report a lost write only now: the copy counts only once it is on disk.
  const int synced = sync_file(destination_handle);
  const int closed = close_file(destination_handle);
  close_file(source_handle);
  if (synced != 0 || closed != 0) return fail_writing(destination);
  return attempt_finished;
}

namespace {

// Opens the existing destination and copies the source into it from byte from on,
// drawing marks for bytes shown_from and up.
int rewrite_from(const char* source, int source_handle, const char* destination,
                 std::uint64_t from, std::uint64_t shown_from, std::uint64_t n) {
  const int destination_handle = open_destination(destination);
  if (destination_handle < 0) return fail_opening_for_writing(destination, source_handle);
  if (seek_source(source_handle, from) != 0) {
    // The line names the destination, as it always has.
    log_line(std::cerr, " ERROR: Unable to seek to position in the file ", destination,
             " for writing.");
    close_file(destination_handle);
    close_file(source_handle);
    return attempt_failed;
  }
  return copy_bytes(source, source_handle, destination, destination_handle, from, shown_from, n);
}

}  // namespace

std::string destination_path(const char* source, const char* destination) {
  std::string path = destination;
  if (path.empty() || is_directory(destination) == 0) return path;
  const std::string from = source;
  std::size_t start = from.size();
  while (start > 0 && !is_path_separator(from[start - 1])) --start;
  if (!is_path_separator(path.back())) path += path_separator();
  return path + from.substr(start);
}

int copy_attempt(const char* source, const char* destination_arg) {
  // The source must exist, be readable, and be a file.
  if (file_access(source, access_exists) != 0) {
    log_line(std::cerr, " ERROR: The file ", source, " doesn't seem to be existant.");
    return attempt_failed;
  }
  if (file_access(source, access_read) != 0) {
    log_line(std::cerr, " ERROR: Unable to get reading access to the file ", source, ".");
    return attempt_failed;
  }
  if (is_directory(source) != 0) {
    log_line(std::cerr, " ERROR: The file ", source, " is a directory.");
    return attempt_failed;
  }

  // Measure the source once: the attempt copies up to that size. A pipe or a device has no size to measure, and a copy of it could never resume.
  std::uint64_t n = 0;
  if (is_regular_file(source) == 0 || file_size(source, &n) != 0)
    return fail_measuring(source, -1);
  log_line(std::cout, " Source file: ", source, " (", n, " bytes).");
  const int source_handle = open_source(source);
  if (source_handle < 0) {
    log_line(std::cerr, " ERROR: Unable to open the file ", source, " for reading.");
    return attempt_failed;
  }

  // The destination is looked at only now, after the source has been opened.
  const std::string destination_text = destination_path(source, destination_arg);
  const char* destination = destination_text.c_str();
  if (is_directory(destination) != 0) {
    log_line(std::cerr, " ERROR: The file ", destination, " is a directory.");
    close_file(source_handle);
    return attempt_failed;
  }

  if (file_access(destination, access_exists) != 0) {
    // Fresh copy.
    log_line(std::cout, " Destination file: ", destination, " (", 0, " of ", n, " bytes).");
    log_line(std::cout, " Total ", n, " bytes to go.");
    progress_start(0);
    // Exclusive: a file another run created in between is resumed by the next attempt,
    // never truncated.
    const int destination_handle = create_destination(destination);
    if (destination_handle < 0) return fail_opening_for_writing(destination, source_handle);
    return copy_bytes(source, source_handle, destination, destination_handle, 0, 0, n);
  }

  // Resume.
  std::uint64_t k = 0;
  if (file_size(destination, &k) != 0) return fail_measuring(destination, source_handle);
  log_line(std::cout, " Destination file: ", destination, " (", k, " of ", n, " bytes).");
  // A destination longer than the source shows the difference wrapped to 32 bits, as it
  // always has; the size error follows.
  const std::uint64_t to_go = k <= n ? n - k : static_cast<std::uint32_t>(n - k);
  log_line(std::cout, " Total ", to_go, " bytes to go.");
  if (k > n) {
    log_line(std::cerr, " ERROR: Destination file size is bigger than source file size.");
    close_file(source_handle);
    return attempt_finished;
  }
  // The tail an earlier attempt wrote last is read again (see recheck_bytes).
  const std::uint64_t from = k - std::min(k, recheck_bytes);
  if (k == n) {
    const int differs = compare_tail(source, source_handle, destination, from, n);
    if (differs <= 0) {
      close_file(source_handle);
      return differs == 0 ? attempt_finished : attempt_failed;
    }
    // Zeros where the source has data: write the source's bytes over them, silently.
    return rewrite_from(source, source_handle, destination, from, n, n);
  }

  progress_start(k);
  if (file_access(destination, access_read_write) != 0) {
    log_line(std::cerr, " ERROR: Unable to get writing access to the file ", destination, ".");
    close_file(source_handle);
    return attempt_failed;
  }
  return rewrite_from(source, source_handle, destination, from, k, n);
}

}  // namespace zobret
