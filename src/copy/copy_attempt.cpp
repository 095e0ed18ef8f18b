// copy_attempt.cpp - one copy attempt in the order of its steps: the checks and measuring
// of the source, the fresh copy or the resume of the destination it finds, what the run
// learned of both, and the durable finish. Leans on the platform layer (file_io.h), the
// block loop (copy_loop.h), the checks of the destination's bytes (destination_check.h)
// and report/.
//
// Every block is written at its own offset, a fresh destination is created exclusively and
// never truncated, and a failure ends the attempt at once, so the next one resumes behind
// the last byte that reached the file. " Complete." follows only a sync of the destination
// that succeeded, and only while the source is still the file it was.
#include "copy/copy_attempt.h"

#include <algorithm>
#include <string>

#include "copy/copy_loop.h"
#include "copy/destination_check.h"
#include "copy/file_io.h"
#include "report/messages.h"
#include "report/progress.h"
#include "report/watch.h"

namespace zobret {
namespace {

// Reports a failure that names a file, for the attempt.
int fail(file_error what, const char* path) {
  say_error(what, path);
  return attempt_failed;
}

// After the last byte: the source must still be the file it was when the attempt began
// (same size, time stamp and identity), as its file system tells past every cache. A share
// that came back may have handed over bytes of a file that replaced it, or a source cut
// short the zeros it never had.
copy_result check_source_unchanged(const copy_job& job) {
  file_facts now;
  watch_call(job.source.path);
  const path_kind kind = file_size(job.source.path, &now, true);
  if (kind == path_kind::missing) say_error(file_error::missing, job.source.path);
  else if (kind != path_kind::file) say_error(file_error::unmeasurable, job.source.path);
  else if (!same_file(now, job.source.facts)) say_error(file_error::changed, job.source.path);
  else return copy_result::done;
  return copy_result::read_failed;
}

// Positions the source at the start of span and copies it into the open destination,
// drawing marks from shown_from on.
copy_result seek_and_copy(const copy_job& job, run_memory* memory, stretch span,
                          std::uint64_t shown_from, std::uint64_t* reached) {
  *reached = span.from;
  if (!seek_source(job.source.handle.get(), span.from)) {
    // The line names the destination, as it always has.
    say_error(file_error::no_seek, job.destination.path);
    return copy_result::read_failed;
  }
  return copy_blocks(job, memory, span, shown_from, reached);
}

// Copies the source's bytes from k on into the open destination and makes them durable.
copy_result copy_to_end(const copy_job& job, run_memory* memory, std::uint64_t k) {
  std::uint64_t reached = k;
  copy_result result = seek_and_copy(job, memory, {k, job.n}, k, &reached);
  if (result == copy_result::done) result = check_source_unchanged(job);
  // A share may report a lost write only now: the copy counts only once it is on disk.
  if (result != copy_result::done) return result;
  if (sync_destination(job) != copy_result::done) return copy_result::write_failed;
  note_synced(memory, job.n);
  return copy_result::done;
}

// The copy into a destination of k bytes (k <= n; 0 for a fresh one): first what a
// failure of this run may have cost is copied again, then what the destination holds is
// checked, then the rest is copied.
copy_result resume(const copy_job& job, run_memory* memory, std::uint64_t k) {
  // Bytes a failed sync or write may have cost are written again, behind the display.
  if (memory->rewrite_from && *memory->rewrite_from < k) {
    std::uint64_t to = k;
    copy_result result = prepare_rewrite(job, memory, k, &to);
    if (result != copy_result::done) return result;
    std::uint64_t reached = *memory->rewrite_from;
    if (reached < to) result = seek_and_copy(job, memory, {reached, to}, no_marks, &reached);
    if (result != copy_result::done) {
      note_rewritten(memory, reached);
      return result;
    }
  }
  note_rewrite_done(memory);
  const copy_result checked = check_destination(job, memory, k);
  if (checked != copy_result::done) return checked;
  // What is there goes to disk before new bytes follow, so that a later failure costs
  // only those.
  if (k < job.n && memory->synced_until < k) {
    if (sync_destination(job) != copy_result::done) return copy_result::write_failed;
    note_synced(memory, k);
  }
  return copy_to_end(job, memory, k);
}

// The one way out of an attempt that opened the destination: the destination is closed
// here, and a failure on its side, including a close that fails, may have cost any byte
// written since the last good sync: those are written again before the next sync.
int end_attempt(copy_job* job, run_memory* memory, copy_result result) {
  bool lost_writes = result == copy_result::write_failed;
  watch_call(job->destination.path);
  if (!job->destination.handle.close_now()) {
    if (result == copy_result::done) fail_writing(job->destination.path);
    lost_writes = true;
  }
  if (lost_writes) note_lost_writes(memory);
  return result == copy_result::done && !lost_writes ? attempt_finished : attempt_failed;
}

// Where the attempt writes: the destination named, or, when it names an existing folder,
// the source's file name inside it, into *path; its kind, and its facts into the job, as
// file_size finds them.
path_kind find_destination(copy_job* job, std::string* path) {
  *path = job->destination.path;
  const path_kind kind = file_size(path->c_str(), &job->destination.facts);
  if (kind != path_kind::directory || path->empty()) return kind;
  const std::string from = job->source.path;
  std::size_t start = from.size();
  while (start > 0 && !is_path_separator(from[start - 1])) --start;
  if (!is_path_separator(path->back())) *path += path_separator();
  *path += from.substr(start);
  return file_size(path->c_str(), &job->destination.facts);
}

// The destination longer than the source, where a comparison of this run holds a page out
// of place: what the page held goes back, and the attempt ends.
int put_back(copy_job* job, run_memory* memory) {
  job->destination.handle = owned_handle(open_destination(job->destination.path));
  if (job->destination.handle.get() < 0)
    return fail(file_error::no_open_for_writing, job->destination.path);
  return end_attempt(job, memory, put_back_held_page(*job, memory));
}

// The source must exist, be readable, and be a file, measured once: the attempt copies up
// to that size. A pipe or a device has no size to measure, and a copy of it could never
// resume. Each path is looked up as few times as it can be: on a distant share every
// lookup is a round trip. Only "no such file" means missing: a lookup that fails for
// another reason (a share that does not answer) says so, and the next attempt looks again.
// Opens the job's source, sets its facts and n, and notes them in the run's memory.
int open_checked_source(copy_job* job, run_memory* memory) {
  const char* source = job->source.path;
  watch_call(source);
  const path_kind kind = file_size(source, &job->source.facts);
  if (kind == path_kind::missing) return fail(file_error::missing, source);
  if (kind == path_kind::unknown) return fail(file_error::unmeasurable, source);
  if (!file_access(source, access_read)) return fail(file_error::no_read_access, source);
  if (kind == path_kind::directory) return fail(file_error::directory, source);
  if (kind != path_kind::file) return fail(file_error::unmeasurable, source);
  job->n = job->source.facts.size;
  say_source(source, job->n);
  job->source.handle = owned_handle(open_source(source));
  if (job->source.handle.get() < 0) return fail(file_error::no_open_for_reading, source);
  note_source(memory, job->source.facts);
  return attempt_finished;
}

// A fresh copy: the destination created exclusively, so that a file another run created
// in between is resumed by the next attempt, never truncated.
int create_fresh(copy_job* job, run_memory* memory) {
  const char* destination = job->destination.path;
  say_destination(destination, 0, job->n);
  say_to_go(job->n);
  progress_start(0);
  job->destination.handle = owned_handle(create_destination(destination));
  if (job->destination.handle.get() < 0) return fail(file_error::no_open_for_writing, destination);
  note_created(memory);
  return attempt_finished;
}

// A resume of the existing destination of kind `kind`; its length into *k. A destination
// that exists but cannot be measured, or cannot even be looked up (a share that does not
// answer), is never written to: the next attempt looks again.
int open_existing(copy_job* job, run_memory* memory, path_kind kind, std::uint64_t* k) {
  const char* destination = job->destination.path;
  const std::uint64_t n = job->n;
  if (kind == path_kind::unknown) return fail(file_error::unmeasurable, destination);
  *k = job->destination.facts.size;
  say_destination(destination, *k, n);
  // A destination longer than the source shows the difference wrapped to 32 bits, as it
  // always has; the size error follows, and the file is left as it is.
  say_to_go(*k <= n ? n - *k : static_cast<std::uint32_t>(n - *k));
  if (*k > n) {
    // A comparison this run began may hold a page of it out of place: put back first.
    if (memory->compare && memory->compare->held && put_back(job, memory) != attempt_finished)
      return attempt_failed;
    say_size_conflict();
    return attempt_refused;
  }
  if (*k < n) {
    progress_start(*k);
    if (!file_access(destination, access_read_write))
      return fail(file_error::no_write_access, destination);
  }
  job->destination.handle = owned_handle(open_destination(destination));
  // A complete destination that may not be written can still be looked at and synced;
  // should a block need writing again, that write fails and says so.
  if (job->destination.handle.get() < 0 && *k == n)
    job->destination.handle = owned_handle(open_source(destination));
  if (job->destination.handle.get() < 0) return fail(file_error::no_open_for_writing, destination);
  return attempt_finished;
}

}  // namespace

int copy_attempt(const char* source, const char* destination_arg, run_memory* memory_arg) {
  run_memory first_attempt;
  run_memory* memory = memory_arg != nullptr ? memory_arg : &first_attempt;
  copy_job job{{source, owned_handle(), {}}, {destination_arg, owned_handle(), {}}, 0};
  watch_files(source, destination_arg);
  int result = open_checked_source(&job, memory);
  if (result != attempt_finished) return result;

  // The destination is looked at only now, after the source has been opened.
  std::string destination_text;
  watch_call(destination_arg);
  const path_kind kind = find_destination(&job, &destination_text);
  const char* destination = job.destination.path = destination_text.c_str();
  watch_files(source, destination);
  watch_call(destination);
  if (kind == path_kind::directory) return fail(file_error::directory, destination);
  // The source itself, by its own path, a link or a folder that holds it, is never written
  // to. (A file system that tells no file index, 0, tells nothing here.)
  if (kind == path_kind::file && job.destination.facts.index != 0 &&
      same_identity(job.source.facts, job.destination.facts)) {
    say_same_file(source, destination);
    return attempt_refused;
  }
  std::uint64_t k = 0;
  result = kind == path_kind::missing ? create_fresh(&job, memory)
                                      : open_existing(&job, memory, kind, &k);
  if (result != attempt_finished) return result;
  return end_attempt(&job, memory, resume(job, memory, k));
}

}  // namespace zobret
