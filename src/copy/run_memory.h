// run_memory.h - what one run knows between its attempts beyond the files on disk, and the
// named steps by which it learns. The destination's length stays the resume point; this
// only says which of its bytes deserve a look, which must be written again, and what the
// source was. A new run knows nothing yet. Nothing else changes a run_memory.
#ifndef ZOBRET_COPY_RUN_MEMORY_H
#define ZOBRET_COPY_RUN_MEMORY_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "copy/file_io.h"     // file_facts, stretch
#include "report/messages.h"  // compare_reason

namespace zobret {

// A network file system that loses its server mid-read can hand over zero-filled pages
// before it reports the failure, and the attempt that wrote them cannot tell. The next
// attempt looks again at the destination's last check_window bytes that no attempt has
// looked at yet: every page ending in a zero byte, the mark such a page leaves, is
// compared with the source and written again where they differ. Wider than the source's
// bytes that a block loop can have asked for ahead of the last byte it wrote; 16 MiB,
// since a distant cifs share keeps its link busy only with more than 8 MiB asked for (its
// client's own read-ahead keeps 12 to 16 MiB on the way).
constexpr std::uint64_t check_window = 16 * 1024 * 1024;

// Pages of the destination that a look found to hold the source's bytes, where those bytes
// end in a zero byte: what a dropping share hands over in place of either file's own. Such
// a match proves nothing where a failure follows, so the attempt after a failure compares
// them again, once, through handles of its own.
struct unsure_pages {
  std::vector<stretch> runs;  // in the order found, touching pages merged
  std::uint64_t bytes = 0;
};

// The destination's last page while a comparison holds it out of place (see
// destination_check.cpp): what it held before, at `at`, to be put back should the
// comparison never end, and whether that differed from the source.
struct held_page {
  std::string bytes;
  std::uint64_t at = 0;
  bool differs = false;
};

// The comparison of the whole destination with the source, while one is due.
struct comparison {
  compare_reason why = compare_reason::differs;
  std::uint64_t differs_at = 0;  // the first byte found to differ (why: differs)
  std::uint64_t from = 0;        // done before this offset: it goes on from here
  bool marked = false;           // the last page is out of place now
  std::uint64_t rewritten = 0;   // the bytes it has written again so far
  std::optional<held_page> held;
};

struct run_memory {
  // The run has judged the destination it found (or made it): later looks at it are
  // second looks at what a failure of this run may have spoiled.
  bool judged = false;
  // What the source was at the run's first attempt (or when a later one found it changed),
  // and whether an attempt found it changed, which the next look answers with a comparison.
  std::optional<file_facts> source;
  bool source_changed = false;
  // The destination's bytes before this offset have had their second look in this run;
  // bytes an attempt wrote behind it get theirs from the next attempt, should a failure
  // come first.
  std::uint64_t checked_until = 0;
  // The furthest the run has copied: no attempt has written a byte at or behind this
  // offset. An attempt that raises it has moved the copy forward.
  std::uint64_t furthest = 0;
  // Bytes before this offset are on disk: a sync that succeeded came after them.
  std::uint64_t synced_until = 0;
  // After a failure on the destination's side (a write, a sync or a close): where the
  // bytes that may be lost begin. Everything from here to the destination's end is
  // written again from the source before the next sync.
  std::optional<std::uint64_t> rewrite_from;
  std::optional<comparison> compare;
  // Unsure matches of the run's first look, which call for the comparison should they
  // differ after all, and of its second looks, which are healed.
  unsure_pages unsure_found;
  unsure_pages unsure_written;
};

// Notes the pages in s as unsure, touching pages merged, while the list holds at most
// unsure_limit bytes (what one first look and a few second looks can find on a file of
// zeros, so that an attempt after a failure reads little again).
constexpr std::uint64_t unsure_limit = 32 * 1024 * 1024;
void note_unsure(unsure_pages* pages, stretch s);
// Forgets every unsure match: they were compared again, or a comparison covers them.
void forget_unsure(run_memory* memory);

// Where a comparison may go on after a sync that covered its blocks up to at: a source
// that went away can have handed over zero-filled blocks for everything the loop asked for
// ahead, and those would have been written as the source's, so the last window is
// compared again.
std::uint64_t compare_restart(std::uint64_t at);

// The source as an attempt found it at its start; a source other than the one noted
// before (another size, time stamp or identity) is noted as changed.
void note_source(run_memory* memory, const file_facts& facts);
// The attempt created the destination: nothing of it is looked at or on disk yet, and the
// run made it, so it is judged.
void note_created(run_memory* memory);
// Bytes reached the destination up to `to`.
void note_written(run_memory* memory, std::uint64_t to);
// A sync that covered the bytes up to `to` succeeded.
void note_synced(run_memory* memory, std::uint64_t to);
// A failure on the destination's side: what the last good sync did not cover may be lost.
void note_lost_writes(run_memory* memory);
// The bytes that may be lost were written again up to `to`: the rest are due from there.
void note_rewritten(run_memory* memory, std::uint64_t to);
// All of them were written again (a page a comparison holds out of place is the
// comparison's to write).
void note_rewrite_done(run_memory* memory);
// The destination's first k bytes have had their look: the run has judged it.
void note_checked(run_memory* memory, std::uint64_t k);
// A comparison of the whole destination is due, for why (the first differing byte at
// differs_at). One already due starts over, keeping the page it holds (its bytes from
// before the first); the unsure matches are forgotten, since the comparison covers them.
void start_comparison(run_memory* memory, compare_reason why, std::uint64_t differs_at);
// A destination of k bytes, where the source changed since it was noted: the comparison is
// due from the start. The change is answered either way.
void answer_source_change(run_memory* memory, std::uint64_t k);
// The comparison put the destination's last page out of place (out_of_place: the write
// and its sync held), after noting what it held before: a page it holds already at the
// same offset keeps its bytes from before the first.
void note_held(run_memory* memory, held_page page, bool out_of_place);
// The comparison wrote blocks that differed again (bytes of them).
void note_comparison_rewrote(run_memory* memory, std::uint64_t bytes);
// The comparison's blocks up to `at` are compared, written where they differed, and synced.
void note_compared(run_memory* memory, std::uint64_t at);
// The comparison of a destination of m bytes ended, synced, its last page from last_page
// on compared last (last_rewritten bytes of it written again): none is due any more, and
// the bytes of its last window get their second look after a failure. Returns the bytes
// that differed in all, where the page put out of place counts only as far as what it
// held before differed.
std::uint64_t finish_comparison(run_memory* memory, stretch last_page,
                                std::uint64_t last_rewritten);
// The page a comparison held out of place was put back, synced: the comparison cannot end
// and is no longer due.
void drop_comparison(run_memory* memory);

}  // namespace zobret

#endif  // ZOBRET_COPY_RUN_MEMORY_H
