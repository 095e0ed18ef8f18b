// copy_attempt.cpp - the fresh copy and the resume: the checks before the copy, the second
// look at bytes a failure may have spoiled, and the durable finish.
// Leans on the platform layer (file_io.h), the block loop (copy_loop.h) and report/.
//
// The destination only ever holds a prefix of the source: every block is written at its
// own offset, a fresh destination is created exclusively and never truncated, and a
// failure ends the attempt at once, so the next one resumes behind the last byte that
// reached the file. " Complete." follows only a sync of the destination that succeeded.
#include "copy/copy_attempt.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <memory>

#include "copy/copy_loop.h"
#include "copy/file_io.h"
#include "report/console.h"
#include "report/progress.h"

namespace zobret {
namespace {

// A file whose size cannot be read is never taken to be empty: for the source that
// would report an empty copy as complete, for the destination append behind its bytes.
int fail_measuring(const char* path) {
  log_line(std::cerr, " ERROR: Unable to get the size of the file ", path, ".");
  return attempt_failed;
}

int fail_opening_for_writing(const char* destination) {
  log_line(std::cerr, " ERROR: Unable to open the file ", destination, " for writing.");
  return attempt_failed;
}

// Ends an attempt after a failure (its line written) or a finish, closing the destination.
// A failure on the destination's side, including a close that fails, may have cost any
// byte written since the last good sync: those are written again before the next sync.
int end_attempt(const copy_job& job, int result, owned_handle* destination_handle) {
  run_memory* memory = job.memory;
  bool lost_writes = result == copy_write_failed;
  if (destination_handle->close_now() != 0) {
    if (result == copy_done) fail_writing(job.destination.path);
    lost_writes = true;
  }
  if (lost_writes) memory->rewrite_from = std::min(memory->rewrite_from, memory->synced_until);
  return result == copy_done && !lost_writes ? attempt_finished : attempt_failed;
}

// Reads len bytes of file at offset whole: 0, or -1 when the file fails or ends first.
int read_exactly_at(const open_file& file, char* buf, std::size_t len, std::uint64_t offset) {
  for (std::size_t total = 0; total < len;) {
    const long long got = read_block_at(file.handle, buf + total, len - total, offset + total);
    if (got <= 0) return -1;
    total += static_cast<std::size_t>(got);
  }
  return 0;
}

constexpr std::size_t page_size = 4096;  // the smallest page any file system fills
constexpr std::size_t check_chunk = 64 * page_size;

constexpr std::uint64_t nothing_differs = UINT64_MAX;

// The second look at destination bytes from to to-1 (see check_window): every page whose
// last byte is zero is compared with the source and written again where they differ; the
// first byte of the first such stretch into *differs_from (nothing_differs when none).
// Costs reads of the destination, and of the source only for such pages.
int check_pages(const copy_job& job, std::uint64_t from, std::uint64_t to,
                std::uint64_t* differs_from) {
  *differs_from = nothing_differs;
  const std::unique_ptr<char[]> ours(new char[check_chunk]);
  const std::unique_ptr<char[]> theirs(new char[check_chunk]);
  for (std::uint64_t at = from - from % page_size; at < to;) {
    const std::size_t len = static_cast<std::size_t>(std::min<std::uint64_t>(to - at, check_chunk));
    if (read_exactly_at(job.destination, ours.get(), len, at) != 0)
      return fail_reading(job.destination.path);
    // Runs of suspect pages, each compared and written again as one stretch.
    for (std::size_t start = 0; start < len;) {
      std::size_t end = start;
      while (end < len && ours[std::min(end + page_size, len) - 1] == 0)
        end = std::min(end + page_size, len);
      if (end == start) {
        start += page_size;
        continue;
      }
      const std::size_t run = end - start;
      if (read_exactly_at(job.source, theirs.get(), run, at + start) != 0)
        return fail_reading(job.source.path);
      std::size_t written = 0;
      if (std::memcmp(ours.get() + start, theirs.get(), run) != 0) {
        *differs_from = std::min(*differs_from, at + start);
        if (write_block_at(job.destination.handle, theirs.get(), run, at + start, &written) != 0)
          return fail_writing(job.destination.path);
      }
      start = end;
    }
    at += len;
  }
  return copy_done;
}

// Where the destination's trailing run of pages ending in a zero byte begins, the first k
// bytes counted (k itself when its last page ends in another byte), into *start; 0, or
// -1 when a read fails. On ordinary data the run is at most a page or two; behind an
// outage of the destination's server it can be the whole stretch that never arrived.
int zero_run_start(const open_file& destination, std::uint64_t k, std::uint64_t* start) {
  const std::unique_ptr<char[]> buf(new char[check_chunk]);
  for (std::uint64_t at = k; at > 0;) {
    // A chunk of whole pages before at (the first one ends at k, which may end a partial page).
    const std::uint64_t from = at > check_chunk ? (at - check_chunk + page_size - 1) / page_size * page_size : 0;
    if (read_exactly_at(destination, buf.get(), static_cast<std::size_t>(at - from), from) != 0)
      return -1;
    for (std::uint64_t end = at; end > from; end = (end - 1) / page_size * page_size) {
      if (buf[static_cast<std::size_t>(end - 1 - from)] != 0) {
        *start = end;
        return 0;
      }
    }
    at = from;
  }
  *start = 0;
  return 0;
}

// Where the second look at a destination of k bytes begins (see check_window).
int check_start(const copy_job& job, std::uint64_t k, std::uint64_t* start) {
  const run_memory& memory = *job.memory;
  if (memory.checked_until != 0) {
    const std::uint64_t window_start = k - std::min(k, check_window);
    // A destination shorter than what was looked at has lost bytes: look at its end again.
    *start = k < memory.checked_until ? window_start : std::max(window_start, memory.checked_until);
    return 0;
  }
  // The first look at a destination reaches back further. A run killed while the
  // destination's share was away can have lost a write in flight (one request of the
  // mount's size, several MiB), while the bytes behind it reached the server once it was
  // back: then the file holds zeros inside, up to an early-writeback stretch and such a
  // request before its end, and nothing tells how far back. It also reaches back over
  // the destination's whole trailing run of pages ending in a zero byte, where a client
  // left the file longer than the bytes that reached it.
  *start = k - std::min(k, first_look_window);
  std::uint64_t run_start = k;
  if (zero_run_start(job.destination, k, &run_start) != 0) return fail_reading(job.destination.path);
  *start = std::min(*start, run_start);
  return 0;
}

// Positions the source at byte from and copies it up to byte to-1 into the open
// destination, drawing marks from shown_from on.
int seek_and_copy(const copy_job& job, std::uint64_t from, std::uint64_t to,
                  std::uint64_t shown_from, std::uint64_t* reached) {
  *reached = from;
  if (seek_source(job.source.handle, from) != 0) {
    // The line names the destination, as it always has.
    log_line(std::cerr, " ERROR: Unable to seek to position in the file ", job.destination.path,
             " for writing.");
    return copy_read_failed;
  }
  return copy_blocks(job, from, to, shown_from, reached);
}

// Copies the source's bytes from k on into the open destination and finishes: the
// destination is synced and closed.
int copy_to_end(const copy_job& job, owned_handle* destination_handle, std::uint64_t k) {
  std::uint64_t reached = k;
  int result = seek_and_copy(job, k, job.n, k, &reached);
  // A share may report a lost write only now: the copy counts only once it is on disk.
  if (result == copy_done) {
    if (sync_file(job.destination.handle, job.destination.writable) != 0)
      result = fail_writing(job.destination.path);
    else job.memory->synced_until = job.n;
  }
  return end_attempt(job, result, destination_handle);
}

// The resume of a destination of k bytes (k <= n), opened as handle: first what a failure
// of this run may have spoiled is copied again, then the rest.
int resume(const copy_job& job, owned_handle* destination_handle, std::uint64_t k) {
  run_memory* memory = job.memory;
  int result = copy_done;
  // Bytes a failed sync or write may have cost are written again, behind the display.
  std::uint64_t checked_to = k;
  if (memory->rewrite_from < k) {
    checked_to = memory->rewrite_from;
    std::uint64_t reached = checked_to;
    result = seek_and_copy(job, checked_to, k, no_marks, &reached);
    memory->rewrite_from = reached;
    if (result != copy_done) return end_attempt(job, result, destination_handle);
  }
  memory->rewrite_from = nothing_to_rewrite;
  // The second look at what the last failure may have spoiled. The system may still cache
  // zero-filled pages of the source, behind k and read ahead of it: they are dropped first,
  // so that the source's bytes come from its file system again.
  std::uint64_t check_from = k;
  result = check_start(job, k, &check_from);
  for (std::uint64_t check_to = checked_to; result == copy_done && check_from < check_to;) {
    source_forget(job.source.handle, check_from, check_to - check_from + check_window);
    std::uint64_t differs_from = nothing_differs;
    result = check_pages(job, check_from, check_to, &differs_from);
    // Spoiled pages near the start of the look may have company further back (a write lost
    // in flight, bytes that arrived behind it): look on until a whole window below the
    // first one spoiled holds none.
    if (differs_from == nothing_differs) break;
    check_to = check_from;
    check_from = differs_from - std::min(differs_from, check_window);
  }
  if (result != copy_done) return end_attempt(job, result, destination_handle);
  memory->checked_until = k;
  // What is there goes to disk before new bytes follow, so that a later failure costs
  // only those.
  if (k < job.n && memory->synced_until < k) {
    if (sync_file(job.destination.handle, job.destination.writable) != 0)
      return end_attempt(job, fail_writing(job.destination.path), destination_handle);
    memory->synced_until = k;
  }
  return copy_to_end(job, destination_handle, k);
}

// Where the attempt writes: destination itself, or, when it names an existing folder, the
// source's file name inside it. Its kind and size (k) as file_size finds them.
int find_destination(const char* source, const char* destination, std::string* path,
                     std::uint64_t* k) {
  *path = destination;
  const int kind = file_size(destination, k);
  if (kind != path_is_directory || path->empty()) return kind;
  const std::string from = source;
  std::size_t start = from.size();
  while (start > 0 && !is_path_separator(from[start - 1])) --start;
  if (!is_path_separator(path->back())) *path += path_separator();
  *path += from.substr(start);
  return file_size(path->c_str(), k);
}

}  // namespace

int copy_attempt(const char* source, const char* destination_arg, run_memory* memory) {
  run_memory first_attempt;
  if (memory == nullptr) memory = &first_attempt;
  // The source must exist, be readable, and be a file, measured once: the attempt copies
  // up to that size. A pipe or a device has no size to measure, and a copy of it could
  // never resume. Each path is looked up as few times as it can be: on a distant share
  // every lookup is a round trip. Only "no such file" means missing: a lookup that fails
  // for another reason (a share that does not answer) says so, and the next attempt looks
  // again.
  std::uint64_t n = 0;
  const int source_kind = file_size(source, &n);
  if (source_kind == path_is_missing) {
    log_line(std::cerr, " ERROR: The file ", source, " doesn't seem to be existant.");
    return attempt_failed;
  }
  if (source_kind == path_is_unknown) return fail_measuring(source);
  if (file_access(source, access_read) != 0) {
    log_line(std::cerr, " ERROR: Unable to get reading access to the file ", source, ".");
    return attempt_failed;
  }
  if (source_kind == path_is_directory) {
    log_line(std::cerr, " ERROR: The file ", source, " is a directory.");
    return attempt_failed;
  }
  if (source_kind != path_is_file) return fail_measuring(source);
  log_line(std::cout, " Source file: ", source, " (", n, " bytes).");
  const owned_handle source_handle(open_source(source));
  if (source_handle.get() < 0) {
    log_line(std::cerr, " ERROR: Unable to open the file ", source, " for reading.");
    return attempt_failed;
  }

  // The destination is looked at only now, after the source has been opened.
  std::string destination_text;
  std::uint64_t k = 0;
  const int kind = find_destination(source, destination_arg, &destination_text, &k);
  const char* destination = destination_text.c_str();
  if (kind == path_is_directory) {
    log_line(std::cerr, " ERROR: The file ", destination, " is a directory.");
    return attempt_failed;
  }
  if (kind == path_is_missing) {
    // Fresh copy.
    log_line(std::cout, " Destination file: ", destination, " (", 0, " of ", n, " bytes).");
    log_line(std::cout, " Total ", n, " bytes to go.");
    progress_start(0);
    // Exclusive: a file another run created in between is resumed by the next attempt,
    // never truncated.
    owned_handle destination_handle(create_destination(destination));
    if (destination_handle.get() < 0) return fail_opening_for_writing(destination);
    *memory = run_memory{};  // a new file: nothing of it is looked at or on disk yet
    const copy_job job{{source, source_handle.get(), false},
                       {destination, destination_handle.get(), true}, n, memory};
    return copy_to_end(job, &destination_handle, 0);
  }

  // Resume. A destination that exists but cannot be measured, or cannot even be looked up
  // (a share that does not answer), is never written to: the next attempt looks again.
  if (kind == path_is_unknown) return fail_measuring(destination);
  log_line(std::cout, " Destination file: ", destination, " (", k, " of ", n, " bytes).");
  // A destination longer than the source shows the difference wrapped to 32 bits, as it
  // always has; the size error follows.
  const std::uint64_t to_go = k <= n ? n - k : static_cast<std::uint32_t>(n - k);
  log_line(std::cout, " Total ", to_go, " bytes to go.");
  if (k > n) {
    log_line(std::cerr, " ERROR: Destination file size is bigger than source file size.");
    return attempt_finished;
  }
  if (k < n) {
    progress_start(k);
    if (file_access(destination, access_read_write) != 0) {
      log_line(std::cerr, " ERROR: Unable to get writing access to the file ", destination,
               ".");
      return attempt_failed;
    }
  }
  int handle = open_destination(destination);
  const bool writable = handle >= 0;
  // A complete destination that may not be written can still be looked at and synced;
  // should a page need writing again, that write fails and says so.
  if (!writable && k == n) handle = open_source(destination);
  owned_handle destination_handle(handle);
  if (handle < 0) return fail_opening_for_writing(destination);
  const copy_job job{{source, source_handle.get(), false}, {destination, handle, writable}, n,
                     memory};
  return resume(job, &destination_handle, k);
}

}  // namespace zobret
