// destination_check.cpp - the looks at the bytes a destination already holds, and the
// comparison of the whole destination with the source. Leans on the platform layer
// (file_io.h), the loops' pace (copy_loop.h) and report/ for its lines and marks.
//
// The resume takes the destination's first k bytes to be the source's. They may not be: a
// share that went away can leave zero-filled pages, a run killed while it was away a lost
// write inside the file, and the file itself may be another one (an older version, a file
// of the same name, a source replaced or edited since). So:
// - the run's first look at a destination it found weighs cheap evidence: the source's
//   modification time against the destination's, then a few blocks spread over the
//   destination and its last stretch compared with the source, and every page near its end
//   that ends in a zero byte;
// - after a failure, the second look compares the pages ending in a zero byte among the
//   last bytes an attempt of the run wrote, and writes them again where they differ;
// - where the first look finds a difference, the source is suspect, or the source changed
//   within the run, the whole destination is compared with the source block by block and
//   every block that differs written again at its offset, with a log line and a display of
//   its own. A run killed meanwhile leaves a last page that differs from the source, so
//   that the next run compares again;
// - a page that a look finds equal only where both files end it in a zero byte, which is
//   what a dropping share hands over for either of them, is compared again by the next
//   attempt should this one fail.
#include "copy/destination_check.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "copy/copy_loop.h"
#include "copy/file_io.h"
#include "report/messages.h"
#include "report/progress.h"
#include "report/watch.h"

namespace zobret {
namespace {

constexpr std::uint64_t page_size = 4096;  // the smallest page any file system fills
constexpr std::size_t check_chunk = 64 * page_size;
constexpr std::uint64_t nothing_differs = UINT64_MAX;

// A run's first look at a destination it finds reads back its last first_look_window
// bytes: a run killed while the destination's share was away can have lost a write in
// flight (a request of the mount's size, several MiB, up to an early-writeback stretch
// before the file's end) while the bytes behind it reached the server once it was back.
constexpr std::uint64_t first_look_window = 2 * check_window;
// Of which the last tail_stretch bytes are compared whole, and sample_count blocks of
// sample_bytes spread over the whole destination: an older or another file of the same
// name differs there, and a true prefix costs these reads of the source alone (2 MiB).
constexpr std::uint64_t tail_stretch = mib;
constexpr std::uint64_t sample_count = 16;
constexpr std::uint64_t sample_bytes = 64 * kib;
// The unsure matches a run keeps of each kind: what one first look and a few second looks
// can find on a file of zeros, so that an attempt after a failure reads little again.
constexpr std::uint64_t unsure_limit = 32 * mib;
// A source modified later than this before the destination's last write is suspect: the
// two time stamps may come from two machines' clocks.
constexpr std::int64_t clock_allowance_ns = 120LL * 1000 * 1000 * 1000;

std::uint64_t page_start(std::uint64_t offset) { return offset / page_size * page_size; }

// Reads len bytes of file at offset whole: true, or false when the file fails or ends first.
bool read_exactly_at(const open_file& file, char* buf, std::size_t len, std::uint64_t offset) {
  watch_call(file.path);
  for (std::size_t total = 0; total < len;) {
    std::size_t got = 0;
    if (read_block_at(file.handle.get(), buf + total, len - total, offset + total, &got) !=
        io_result::done)
      return false;
    total += got;
  }
  return true;
}

// The first byte at which a and b (len bytes each, known to differ) differ.
std::size_t first_difference(const char* a, const char* b, std::size_t len) {
  std::size_t i = 0;
  while (i < len && a[i] == b[i]) ++i;
  return i;
}

bool meets(const std::vector<stretch>& stretches, std::uint64_t from, std::uint64_t to) {
  for (const stretch& s : stretches)
    if (s.from < to && from < s.to) return true;
  return false;
}

// The pages of a look that are to be compared with the source, gathered so that the
// source is asked for all of them at once: a distant share sends them side by side, in
// about one round trip, where one read after another would cost a round trip each.
constexpr std::size_t look_batch = 2 * check_chunk;
struct batch {
  std::unique_ptr<char[]> chunk{new char[check_chunk]};  // the destination's, as read
  std::unique_ptr<char[]> ours{new char[look_batch]};    // its gathered runs, in turn
  std::unique_ptr<char[]> theirs{new char[check_chunk]};
  struct run {
    std::uint64_t offset;
    std::size_t len;
  };
  std::vector<run> runs;
  std::size_t used = 0;
  unsure_pages* unsure = nullptr;  // where the looks note their unsure matches, if anywhere
  bool heal = false;  // whether a look writes a run that differs again (else it ends there)
};

void note_unsure(unsure_pages* u, std::uint64_t from, std::uint64_t to) {
  if (u->bytes + (to - from) > unsure_limit) return;
  u->bytes += to - from;
  if (!u->runs.empty() && u->runs.back().to == from) u->runs.back().to = to;
  else u->runs.push_back({from, to});
}

// The pages of a run at offset that the destination now holds as the source's bytes
// theirs (len of them), where those end in a zero byte, are noted as unsure.
void note_zero_ending(unsure_pages* u, const char* theirs, std::size_t len, std::uint64_t offset) {
  for (std::size_t page = 0; page < len; page += page_size) {
    const std::size_t end = std::min<std::size_t>(page + page_size, len);
    if (theirs[end - 1] == 0) note_unsure(u, offset + page, offset + end);
  }
}

// Compares every gathered run with the source, and with heal writes a run that differs
// again from the source; the first differing byte lowers *differs_at. Empties the batch.
copy_result settle(const copy_job& job, batch* b, std::uint64_t* differs_at) {
  const bool heal = b->heal;
  const char* ours = b->ours.get();
  for (const batch::run& r : b->runs) {
    if (!read_exactly_at(job.source, b->theirs.get(), r.len, r.offset))
      return fail_reading(job.source.path);
    const bool same = std::memcmp(ours, b->theirs.get(), r.len) == 0;
    if (!same) {
      *differs_at =
          std::min(*differs_at, r.offset + first_difference(ours, b->theirs.get(), r.len));
      std::size_t written = 0;
      watch_call(job.destination.path);
      if (heal && write_block_at(job.destination.handle.get(), b->theirs.get(), r.len, r.offset,
                                 &written) != 0)
        return fail_writing(job.destination.path);
    }
    if (b->unsure != nullptr && (same || heal))
      note_zero_ending(b->unsure, b->theirs.get(), r.len, r.offset);
    ours += r.len;
  }
  b->runs.clear();
  b->used = 0;
  return copy_result::done;
}

// Reads the destination's bytes in span once and compares with the source every page that
// ends in a zero byte or meets one of the stretches in always, as runs of such pages; where
// the batch heals, a run that differs is written again from the source. The first
// differing byte into *differs_at (nothing_differs when none); a look that does not heal
// ends there. Reads the source only for those pages, and asks for the zero-ending ones
// ahead (the caller asks for the stretches). The buffers are the batch's.
copy_result look_at(const copy_job& job, stretch span, const std::vector<stretch>& always,
                    batch* buffers, std::uint64_t* differs_at) {
  const std::uint64_t from = span.from, to = span.to;
  *differs_at = nothing_differs;
  batch& b = *buffers;
  b.runs.reserve(look_batch / page_size);
  const char* ours = b.chunk.get();
  // The destination is asked for ahead as the copy asks for its source: a distant share
  // sends its bytes side by side instead of one chunk per round trip.
  const int destination = job.destination.handle.get();
  pace p = start_pace(destination, -1, page_start(from));
  for (std::uint64_t at = page_start(from); at < to;) {
    const std::size_t len = static_cast<std::size_t>(std::min<std::uint64_t>(to - at, check_chunk));
    ask_ahead(&p, at, to, destination, -1);
    if (!read_exactly_at(job.destination, b.chunk.get(), len, at))
      return fail_reading(job.destination.path);
    pace_step(&p, at + len, std::chrono::steady_clock::now());
    auto wanted = [&](std::size_t start) {
      const std::size_t end =
          static_cast<std::size_t>(std::min<std::uint64_t>(start + page_size, len));
      return ours[end - 1] == 0 || meets(always, at + start, at + end);
    };
    for (std::size_t start = 0; start < len;) {
      std::size_t end = start;
      bool zero_ending = false;
      while (end < len && wanted(end)) {
        end = static_cast<std::size_t>(std::min<std::uint64_t>(end + page_size, len));
        zero_ending = zero_ending || ours[end - 1] == 0;
      }
      if (end == start) {
        start += page_size;
        continue;
      }
      const std::size_t run = end - start;
      if (b.used + run > look_batch) {
        const copy_result result = settle(job, &b, differs_at);
        if (result != copy_result::done || (!b.heal && *differs_at != nothing_differs))
          return result;
      }
      std::memcpy(b.ours.get() + b.used, ours + start, run);
      b.runs.push_back({at + start, run});
      b.used += run;
      // The system may still cache zero-filled pages of the source that a share handed
      // over, which would match such pages: they are read from the file system again.
      if (zero_ending) {
        forget_cached(job.source.handle.get(), at + start, run);
        prefetch(job.source.handle.get(), at + start, run);
      }
      start = end;
    }
    at += len;
  }
  return settle(job, &b, differs_at);
}

// The run's first look at a destination of k bytes it found, which writes nothing: its
// sampled blocks, its last tail_stretch, and the pages ending in a zero byte of its last
// first_look_window, compared with the source in one read of each. The first byte found
// to differ into *differs_at (nothing_differs when none); its unsure matches into the
// run's memory.
copy_result first_look(const copy_job& job, std::uint64_t k, std::uint64_t* differs_at) {
  const int source = job.source.handle.get(), destination = job.destination.handle.get();
  const std::uint64_t window_from = page_start(k - std::min(k, first_look_window));
  std::vector<stretch> always{{k - std::min(k, tail_stretch), k}}, below;
  for (std::uint64_t j = 0; j < sample_count; ++j) {
    const std::uint64_t from = page_start(k / sample_count * j);
    const stretch sample{from, std::min(from + sample_bytes, k)};
    if (sample.from < window_from) below.push_back({sample.from, std::min(sample.to, window_from)});
    if (sample.to > window_from) always.push_back(sample);
  }
  // The source's bytes behind k, which the copy reads next, come from its file system
  // again, not from what an earlier run's dropped share may have left in the cache. The
  // stretches compared are asked for at once, so that a distant share sends them side by
  // side.
  forget_cached(source, k, check_window);
  for (const stretch& s : below) {
    prefetch(source, s.from, s.to - s.from);
    prefetch(destination, s.from, s.to - s.from);
  }
  for (const stretch& s : always) prefetch(source, s.from, s.to - s.from);
  batch b;
  job.memory->unsure_found = unsure_pages{};
  b.unsure = &job.memory->unsure_found;
  for (const stretch& s : below) {
    const copy_result result = look_at(job, s, {s}, &b, differs_at);
    if (result != copy_result::done || *differs_at != nothing_differs) return result;
  }
  return look_at(job, {window_from, k}, always, &b, differs_at);
}

// Whether the source's time stamps make the destination suspect: a source modified after
// the destination was last written, or less than the allowance for two clocks before.
// Never proof that the two agree: the first look still compares.
bool source_newer(const copy_job& job) {
  const std::int64_t destination = job.destination.facts.modified;
  return destination < INT64_MIN + clock_allowance_ns ||
         job.source.facts.modified > destination - clock_allowance_ns;
}

// Writes len bytes of buf at offset of the job's destination and syncs it: done, or a
// failed write after its error line.
copy_result write_durably(const copy_job& job, const char* buf, std::size_t len,
                          std::uint64_t offset) {
  std::size_t written = 0;
  watch_call(job.destination.path);
  if (write_block_at(job.destination.handle.get(), buf, len, offset, &written) != 0)
    return fail_writing(job.destination.path);
  return sync_destination(job);
}

// Before the comparison writes its first block, and before bytes a failure may have cost
// are written again while it is due: the destination's last page (of m bytes) is put out
// of place, so that a run killed before the comparison ends, or whose written blocks a
// share lost, leaves the next run a difference that its first look finds. The page is
// written again last of all. Its bytes become the source's as read, inverted, whatever the
// destination held: a read that a dropping share filled with zeros can make the two pages
// look different where they are not, never the inverted page equal to the source's own.
// What the page held is kept, to be put back should the comparison never end. Synced;
// once held, the page stays held until the comparison ends. A comparison that writes
// nothing leaves the page alone: another run copying the same file meanwhile never meets
// a page out of place.
copy_result hold_last_page(const copy_job& job, std::uint64_t m) {
  run_memory* memory = job.memory;
  if (memory->compare_marked) return copy_result::done;
  const std::uint64_t at = page_start(m - 1);
  const std::size_t len = static_cast<std::size_t>(m - at);
  char ours[page_size], theirs[page_size];
  if (!read_exactly_at(job.destination, ours, len, at)) return fail_reading(job.destination.path);
  if (!read_exactly_at(job.source, theirs, len, at)) return fail_reading(job.source.path);
  // A page held already (by a comparison the source's change started again) keeps what
  // the destination held before the first.
  if (memory->held_page.empty() || memory->held_at != at) {
    memory->held_page.assign(ours, len);
    memory->held_at = at;
    memory->held_differs = std::memcmp(ours, theirs, len) != 0;
  }
  for (std::size_t i = 0; i < len; ++i) theirs[i] = static_cast<char>(~theirs[i]);
  const copy_result held = write_durably(job, theirs, len, at);
  memory->compare_marked = held == copy_result::done;
  return held;
}

// Where a comparison may go on after a sync that covered its blocks up to at: a source
// that went away can have handed over zero-filled blocks for everything the loop asked for
// ahead, and those would have been written as the source's, so the last window is
// compared again.
std::uint64_t compare_restart(std::uint64_t at) { return at - std::min(at, check_window); }

// Compares the destination's bytes in span with the source's, block by block, writes
// every block that differs again at its offset and draws the marks of a display of m bytes.
// Syncs every sync_seconds, after which the run's comparison goes on behind the last
// window. The bytes written again are added to *rewritten. With hold, the last page is
// held out of place (hold_last_page) before the first block is written.
copy_result compare_stretch(const copy_job& job, stretch span, std::uint64_t m,
                            std::uint64_t* rewritten, bool hold) {
  const std::uint64_t from = span.from, to = span.to;
  const int source = job.source.handle.get(), destination = job.destination.handle.get();
  const std::unique_ptr<char[]> ours(new char[max_block]);
  const std::unique_ptr<char[]> theirs(new char[max_block]);
  pace p = start_pace(source, destination, from);
  clock_time last_sync = p.rate_start;
  for (std::uint64_t at = from; at < to;) {
    ask_ahead(&p, at, to, source, destination);
    const std::size_t len = static_cast<std::size_t>(std::min<std::uint64_t>(to - at, p.block));
    if (!read_exactly_at(job.destination, ours.get(), len, at))
      return fail_reading(job.destination.path);
    if (!read_exactly_at(job.source, theirs.get(), len, at)) return fail_reading(job.source.path);
    if (std::memcmp(ours.get(), theirs.get(), len) != 0) {
      if (hold) {
        const copy_result held = hold_last_page(job, m);
        if (held != copy_result::done) return held;
      }
      std::size_t written = 0;
      watch_call(job.destination.path);
      if (write_block_at(destination, theirs.get(), len, at, &written) != 0)
        return fail_writing(job.destination.path);
      *rewritten += len;
    }
    progress_block(at, at + len - 1, m);
    at += len;
    const clock_time now = std::chrono::steady_clock::now();
    pace_step(&p, at, now);
    if (seconds_between(last_sync, now) >= sync_seconds) {
      if (sync_destination(job) != copy_result::done) return copy_result::write_failed;
      job.memory->synced_until = std::max(job.memory->synced_until, at);
      job.memory->compare_from = std::max(job.memory->compare_from, compare_restart(at));
      last_sync = std::chrono::steady_clock::now();
    }
  }
  return copy_result::done;
}

// The comparison of the destination's first m bytes with the source, from where the run's
// memory says it is due; the last page last, after a sync of all the others.
copy_result compare_whole(const copy_job& job, std::uint64_t m) {
  run_memory* memory = job.memory;
  const std::uint64_t from = memory->compare_from;
  say_comparing(memory->compare_why, memory->differs_at, from, m);
  progress_open(from);
  const std::uint64_t last_page = page_start(m - 1);
  copy_result result =
      compare_stretch(job, {from, std::max(from, last_page)}, m, &memory->compare_rewritten, true);
  if (result != copy_result::done) return result;
  if (sync_destination(job) != copy_result::done) return copy_result::write_failed;
  memory->synced_until = std::max(memory->synced_until, last_page);
  memory->compare_from = std::max(from, compare_restart(last_page));
  // The page that was put out of place counts as a difference only where what it held
  // before differed.
  std::uint64_t last_rewritten = 0;
  result = compare_stretch(job, {std::max(from, last_page), m}, m, &last_rewritten, false);
  if (result != copy_result::done) return result;
  if (sync_destination(job) != copy_result::done) return copy_result::write_failed;
  if (!memory->compare_marked) memory->compare_rewritten += last_rewritten;
  else if (memory->held_differs) memory->compare_rewritten += m - last_page;
  say_compared(m, memory->compare_rewritten);
  memory->compare_from = nothing_to_compare;
  memory->compare_marked = false;
  memory->compare_rewritten = 0;
  memory->held_page.clear();
  memory->synced_until = std::max(memory->synced_until, m);
  // A source that went away near the end may have handed over zeros the comparison wrote:
  // after a failure the next attempt's second look covers them.
  memory->checked_until = compare_restart(m);
  return copy_result::done;
}

// A comparison of the whole destination is due. A page already held out of place (see
// hold_last_page) is held again from the source as it is now; the comparison covers every
// unsure match.
void compare_from_start(run_memory* memory, compare_reason why, std::uint64_t differs_at) {
  memory->compare_from = 0;
  memory->compare_why = why;
  memory->differs_at = differs_at;
  memory->compare_marked = false;
  memory->compare_rewritten = 0;
  memory->unsure_found = unsure_pages{};
  memory->unsure_written = unsure_pages{};
}

// A source that changed within the run makes the whole destination unverified.
void compare_if_source_changed(run_memory* memory, std::uint64_t k) {
  if (memory->source_changed && k > 0)
    compare_from_start(memory, compare_reason::source_changed, 0);
  memory->source_changed = false;
}

// After a failure: the unsure matches of the run's looks (below k) are compared again,
// read from the file systems once more through this attempt's own handles. One of the
// first look that differs now makes the whole comparison due; one of a second look is
// written again. Each gets this one look more, so that what is kept stays as small as
// what one attempt's looks found.
copy_result look_again(const copy_job& job, std::uint64_t k) {
  run_memory* memory = job.memory;
  for (const unsure_pages* list : {&memory->unsure_found, &memory->unsure_written})
    for (const stretch& s : list->runs)
      if (s.from < k) prefetch(job.destination.handle.get(), s.from, std::min(k, s.to) - s.from);
  batch b;
  for (const bool heal : {false, true}) {
    for (const stretch& s : (heal ? memory->unsure_written : memory->unsure_found).runs) {
      if (s.from >= k) continue;
      const std::uint64_t to = std::min(k, s.to);
      std::uint64_t differs_at = nothing_differs;
      b.heal = heal;
      const copy_result result = look_at(job, {s.from, to}, {{s.from, to}}, &b, &differs_at);
      if (result != copy_result::done) return result;
      if (!heal && differs_at != nothing_differs) {
        compare_from_start(memory, compare_reason::differs, differs_at);
        return copy_result::done;
      }
    }
  }
  memory->unsure_found = unsure_pages{};
  memory->unsure_written = unsure_pages{};
  return copy_result::done;
}

// The second look at the bytes from the last one the run looked at (at most check_window
// back) to k-1: zero-filled pages written again.
copy_result second_look(const copy_job& job, std::uint64_t k) {
  run_memory* memory = job.memory;
  const std::uint64_t window_start = k - std::min(k, check_window);
  // A destination shorter than what was looked at has lost bytes: look at its end again.
  const std::uint64_t from =
      k < memory->checked_until ? window_start : std::max(window_start, memory->checked_until);
  if (from < k) {
    // The system may still cache zero-filled pages of the source, behind k and read ahead
    // of it: they are dropped first, so that its bytes come from its file system again.
    forget_cached(job.source.handle.get(), from, k - from + check_window);
    std::uint64_t differs_at = nothing_differs;
    batch b;
    b.unsure = &memory->unsure_written;
    b.heal = true;
    const copy_result result = look_at(job, {from, k}, {}, &b, &differs_at);
    if (result != copy_result::done) return result;
  }
  memory->checked_until = k;
  return copy_result::done;
}

}  // namespace

copy_result prepare_rewrite(const copy_job& job, std::uint64_t k, std::uint64_t* to) {
  run_memory* memory = job.memory;
  compare_if_source_changed(memory, k);
  *to = k;
  if (memory->compare_from == nothing_to_compare || k == 0) return copy_result::done;
  const copy_result held = hold_last_page(job, k);
  if (held == copy_result::done) *to = std::min(k, memory->held_at);
  return held;
}

copy_result put_back_held_page(const copy_job& job) {
  run_memory* memory = job.memory;
  if (memory->held_page.empty()) return copy_result::done;
  const copy_result put =
      write_durably(job, memory->held_page.data(), memory->held_page.size(), memory->held_at);
  if (put != copy_result::done) return put;
  memory->held_page.clear();
  memory->compare_marked = false;
  memory->compare_from = nothing_to_compare;
  return copy_result::done;
}

copy_result check_destination(const copy_job& job, std::uint64_t k) {
  run_memory* memory = job.memory;
  compare_if_source_changed(memory, k);
  if (memory->judged && memory->compare_from == nothing_to_compare) {
    const copy_result result = look_again(job, k);
    if (result != copy_result::done) return result;
  }
  if (!memory->judged && k > 0 && memory->compare_from == nothing_to_compare) {
    std::uint64_t differs_at = nothing_differs;
    if (source_newer(job)) {
      compare_from_start(memory, compare_reason::source_newer, 0);
    } else {
      const copy_result result = first_look(job, k, &differs_at);
      if (result != copy_result::done) return result;
      if (differs_at != nothing_differs)
        compare_from_start(memory, compare_reason::differs, differs_at);
      else memory->checked_until = k;
    }
  }
  memory->judged = true;
  if (memory->compare_from == nothing_to_compare || k == 0) {
    memory->compare_from = nothing_to_compare;
    return second_look(job, k);
  }
  // The comparison has a display of its own: the copy's, opened for k < n, is ended here
  // and opened again afterwards.
  progress_close();
  const copy_result result = compare_whole(job, k);
  if (result == copy_result::done && k < job.n) progress_start(k);
  return result;
}

}  // namespace zobret
