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
constexpr std::uint64_t first_look_window = 16 * mib;
// Of which the last tail_stretch bytes are compared whole, and sample_count blocks of
// sample_bytes spread over the whole destination: an older or another file of the same
// name differs there, and a true prefix costs these reads of the source alone (2 MiB).
constexpr std::uint64_t tail_stretch = mib;
constexpr std::uint64_t sample_count = 16;
constexpr std::uint64_t sample_bytes = 64 * kib;
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
  std::vector<stretch> runs;
  std::size_t used = 0;
  unsure_pages* unsure = nullptr;  // where the looks note their unsure matches, if anywhere
  std::uint64_t differs_at = nothing_differs;  // the first byte found to differ
};

// The pages of the run s that the destination now holds as the source's bytes theirs,
// where those end in a zero byte, are noted as unsure.
void note_zero_ending(unsure_pages* u, const char* theirs, stretch s) {
  const auto len = static_cast<std::size_t>(s.to - s.from);
  for (std::size_t page = 0; page < len; page += page_size) {
    const std::size_t end = std::min<std::size_t>(page + page_size, len);
    if (theirs[end - 1] == 0) note_unsure(u, {s.from + page, s.from + end});
  }
}

// Compares the gathered run s (ours: the destination's bytes of it) with the source's,
// read into the batch: its first differing byte into *differs (nothing_differs when
// none), or a failure after its error line.
copy_result compare_run(const copy_job& job, batch* b, stretch s, const char* ours,
                        std::uint64_t* differs) {
  const auto len = static_cast<std::size_t>(s.to - s.from);
  *differs = nothing_differs;
  if (!read_exactly_at(job.source, b->theirs.get(), len, s.from))
    return fail_reading(job.source.path);
  if (std::memcmp(ours, b->theirs.get(), len) != 0)
    *differs = s.from + first_difference(ours, b->theirs.get(), len);
  return copy_result::done;
}

// Compares every gathered run with the source: the first differing byte lowers the
// batch's differs_at, and the unsure matches are noted.
copy_result compare_runs(const copy_job& job, batch* b) {
  const char* ours = b->ours.get();
  for (const stretch& s : b->runs) {
    std::uint64_t differs = nothing_differs;
    const copy_result result = compare_run(job, b, s, ours, &differs);
    if (result != copy_result::done) return result;
    b->differs_at = std::min(b->differs_at, differs);
    if (b->unsure != nullptr && differs == nothing_differs)
      note_zero_ending(b->unsure, b->theirs.get(), s);
    ours += s.to - s.from;
  }
  return copy_result::done;
}

// Compares every gathered run with the source and writes one that differs again from the
// source, noting the unsure matches it leaves.
copy_result heal_runs(const copy_job& job, batch* b) {
  const char* ours = b->ours.get();
  for (const stretch& s : b->runs) {
    std::uint64_t differs = nothing_differs;
    copy_result result = compare_run(job, b, s, ours, &differs);
    if (result == copy_result::done && differs != nothing_differs) {
      std::size_t written = 0;
      watch_call(job.destination.path);
      if (!write_block_at(job.destination.handle.get(), b->theirs.get(),
                          static_cast<std::size_t>(s.to - s.from), s.from, &written))
        result = fail_writing(job.destination.path);
    }
    if (result != copy_result::done) return result;
    if (b->unsure != nullptr) note_zero_ending(b->unsure, b->theirs.get(), s);
    ours += s.to - s.from;
  }
  return copy_result::done;
}

using settle_runs = copy_result (*)(const copy_job&, batch*);

// Reads the destination's bytes in span once and gathers every page that ends in a zero
// byte or meets one of the stretches in always, as runs of such pages, for settle to
// compare with the source; ends where settle found a difference or failed. Reads the
// source only for those pages, and asks for the zero-ending ones ahead (the caller asks
// for the stretches). The buffers are the batch's.
copy_result gather_pages(const copy_job& job, stretch span, const std::vector<stretch>& always,
                         batch* buffers, settle_runs settle) {
  const std::uint64_t from = span.from, to = span.to;
  batch& b = *buffers;
  b.runs.reserve(look_batch / page_size);
  const auto settle_and_empty = [&] {
    const copy_result result = settle(job, &b);
    b.runs.clear();
    b.used = 0;
    return result;
  };
  const char* ours = b.chunk.get();
  // The destination is asked for ahead as the copy asks for its source: a distant share
  // sends its bytes side by side instead of one chunk per round trip.
  const int destination = job.destination.handle.get();
  pace p = start_pace(destination, -1, page_start(from));
  for (std::uint64_t at = page_start(from); at < to;) {
    const std::size_t len = static_cast<std::size_t>(std::min<std::uint64_t>(to - at, check_chunk));
    ask_ahead(&p, {at, to}, destination, -1);
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
        const copy_result result = settle_and_empty();
        if (result != copy_result::done || b.differs_at != nothing_differs) return result;
      }
      std::memcpy(b.ours.get() + b.used, ours + start, run);
      b.runs.push_back({at + start, at + end});
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
  return settle_and_empty();
}

// Looks at the destination's bytes in span (see gather_pages) and writes nothing: the
// first byte found to differ into *differs_at (nothing_differs when none).
copy_result look_at(const copy_job& job, stretch span, const std::vector<stretch>& always, batch* b,
                    std::uint64_t* differs_at) {
  b->differs_at = nothing_differs;
  const copy_result result = gather_pages(job, span, always, b, compare_runs);
  *differs_at = b->differs_at;
  return result;
}

// Looks at the destination's bytes in span (see gather_pages) and writes every run that
// differs again from the source.
copy_result heal_at(const copy_job& job, stretch span, const std::vector<stretch>& always,
                    batch* b) {
  b->differs_at = nothing_differs;
  return gather_pages(job, span, always, b, heal_runs);
}

// The run's first look at a destination of k bytes it found, which writes nothing: its
// sampled blocks, its last tail_stretch, and the pages ending in a zero byte of its last
// first_look_window, compared with the source in one read of each. The first byte found
// to differ into *differs_at (nothing_differs when none); its unsure matches into the
// run's memory.
copy_result first_look(const copy_job& job, run_memory* memory, std::uint64_t k,
                       std::uint64_t* differs_at) {
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
  forget_unsure(memory);
  b.unsure = &memory->unsure_found;
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
  if (!write_block_at(job.destination.handle.get(), buf, len, offset, &written))
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
copy_result hold_last_page(const copy_job& job, run_memory* memory, std::uint64_t m) {
  if (memory->compare->marked) return copy_result::done;
  const std::uint64_t at = page_start(m - 1);
  const std::size_t len = static_cast<std::size_t>(m - at);
  char ours[page_size], theirs[page_size];
  if (!read_exactly_at(job.destination, ours, len, at)) return fail_reading(job.destination.path);
  if (!read_exactly_at(job.source, theirs, len, at)) return fail_reading(job.source.path);
  held_page page{std::string(ours, len), at, std::memcmp(ours, theirs, len) != 0};
  for (std::size_t i = 0; i < len; ++i) theirs[i] = static_cast<char>(~theirs[i]);
  const copy_result held = write_durably(job, theirs, len, at);
  note_held(memory, std::move(page), held == copy_result::done);
  return held;
}

// The comparison's step in the block loop: the destination's block and the source's
// compared, and written again where they differ (the first time after the last page is
// held out of place, where hold says so), with the marks of a display of m bytes.
struct compare_step {
  static constexpr bool reads_destination = true;
  const copy_job& job;
  run_memory* memory;
  std::uint64_t m;
  bool hold;
  std::uint64_t rewritten = 0;  // the bytes written again
  std::unique_ptr<char[]> ours{new char[max_block]};
  std::unique_ptr<char[]> theirs{new char[max_block]};

  copy_result block(std::uint64_t at, std::size_t len, std::size_t* done) {
    if (!read_exactly_at(job.destination, ours.get(), len, at))
      return fail_reading(job.destination.path);
    if (!read_exactly_at(job.source, theirs.get(), len, at)) return fail_reading(job.source.path);
    if (std::memcmp(ours.get(), theirs.get(), len) != 0) {
      if (hold) {
        const copy_result held = hold_last_page(job, memory, m);
        if (held != copy_result::done) return held;
      }
      std::size_t written = 0;
      watch_call(job.destination.path);
      if (!write_block_at(job.destination.handle.get(), theirs.get(), len, at, &written))
        return fail_writing(job.destination.path);
      rewritten += len;
    }
    progress_block(at, at + len - 1, m);
    *done = len;
    return copy_result::done;
  }
  // A sync covered the blocks up to at: the comparison goes on behind the last window.
  void synced(std::uint64_t at) { note_compared(memory, at); }
};

// The comparison of the destination's first m bytes with the source, from where the run's
// memory says it is due; the last page last, after a sync of all the others.
copy_result compare_whole(const copy_job& job, run_memory* memory, std::uint64_t m) {
  const comparison& due = *memory->compare;
  const std::uint64_t from = due.from;
  say_comparing(due.why, due.differs_at, from, m);
  progress_open(from);
  const std::uint64_t last_page = page_start(m - 1);
  std::uint64_t reached = from;
  compare_step most{job, memory, m, true};
  copy_result result = drive_blocks(job, {from, std::max(from, last_page)}, &most, &reached);
  note_comparison_rewrote(memory, most.rewritten);
  if (result != copy_result::done) return result;
  if (sync_destination(job) != copy_result::done) return copy_result::write_failed;
  note_compared(memory, last_page);
  compare_step last{job, memory, m, false};
  result = drive_blocks(job, {std::max(from, last_page), m}, &last, &reached);
  if (result != copy_result::done) return result;
  if (sync_destination(job) != copy_result::done) return copy_result::write_failed;
  say_compared(m, finish_comparison(memory, {last_page, m}, last.rewritten));
  return copy_result::done;
}

// After a failure: the unsure matches of the run's looks (below k) are compared again,
// read from the file systems once more through this attempt's own handles. One of the
// first look that differs now makes the whole comparison due; one of a second look is
// written again. Each gets this one look more, so that what is kept stays as small as
// what one attempt's looks found.
copy_result look_again(const copy_job& job, run_memory* memory, std::uint64_t k) {
  for (const unsure_pages* list : {&memory->unsure_found, &memory->unsure_written})
    for (const stretch& s : list->runs)
      if (s.from < k) prefetch(job.destination.handle.get(), s.from, std::min(k, s.to) - s.from);
  batch b;
  for (const stretch& s : memory->unsure_found.runs) {
    if (s.from >= k) continue;
    const stretch below{s.from, std::min(k, s.to)};
    std::uint64_t differs_at = nothing_differs;
    const copy_result result = look_at(job, below, {below}, &b, &differs_at);
    if (result != copy_result::done) return result;
    if (differs_at != nothing_differs) {
      start_comparison(memory, compare_reason::differs, differs_at);
      return copy_result::done;
    }
  }
  for (const stretch& s : memory->unsure_written.runs) {
    if (s.from >= k) continue;
    const stretch below{s.from, std::min(k, s.to)};
    const copy_result result = heal_at(job, below, {below}, &b);
    if (result != copy_result::done) return result;
  }
  forget_unsure(memory);
  return copy_result::done;
}

// The second look at the bytes from the last one the run looked at (at most check_window
// back) to k-1: zero-filled pages written again.
copy_result second_look(const copy_job& job, run_memory* memory, std::uint64_t k) {
  const std::uint64_t window_start = k - std::min(k, check_window);
  // A destination shorter than what was looked at has lost bytes: look at its end again.
  const std::uint64_t from =
      k < memory->checked_until ? window_start : std::max(window_start, memory->checked_until);
  if (from < k) {
    // The system may still cache zero-filled pages of the source, behind k and read ahead
    // of it: they are dropped first, so that its bytes come from its file system again.
    forget_cached(job.source.handle.get(), from, k - from + check_window);
    batch b;
    b.unsure = &memory->unsure_written;
    const copy_result result = heal_at(job, {from, k}, {}, &b);
    if (result != copy_result::done) return result;
  }
  note_checked(memory, k);
  return copy_result::done;
}

}  // namespace

copy_result prepare_rewrite(const copy_job& job, run_memory* memory, std::uint64_t k,
                            std::uint64_t* to) {
  answer_source_change(memory, k);
  *to = k;
  if (!memory->compare || k == 0) return copy_result::done;
  const copy_result held = hold_last_page(job, memory, k);
  if (held == copy_result::done) *to = std::min(k, memory->compare->held->at);
  return held;
}

copy_result put_back_held_page(const copy_job& job, run_memory* memory) {
  if (!memory->compare || !memory->compare->held) return copy_result::done;
  const held_page& page = *memory->compare->held;
  const copy_result put = write_durably(job, page.bytes.data(), page.bytes.size(), page.at);
  if (put == copy_result::done) drop_comparison(memory);
  return put;
}

copy_result check_destination(const copy_job& job, run_memory* memory, std::uint64_t k) {
  answer_source_change(memory, k);
  if (memory->judged && !memory->compare) {
    const copy_result result = look_again(job, memory, k);
    if (result != copy_result::done) return result;
  }
  if (!memory->judged && k > 0 && !memory->compare) {
    std::uint64_t differs_at = nothing_differs;
    if (source_newer(job)) {
      start_comparison(memory, compare_reason::source_newer, 0);
    } else {
      const copy_result result = first_look(job, memory, k, &differs_at);
      if (result != copy_result::done) return result;
      if (differs_at != nothing_differs)
        start_comparison(memory, compare_reason::differs, differs_at);
      else note_checked(memory, k);
    }
  }
  if (!memory->compare || k == 0) {
    drop_comparison(memory);
    return second_look(job, memory, k);
  }
  // The comparison has a display of its own: the copy's, opened for k < n, is ended here
  // and opened again afterwards.
  progress_close();
  const copy_result result = compare_whole(job, memory, k);
  if (result == copy_result::done && k < job.n) progress_start(k);
  return result;
}

}  // namespace zobret
