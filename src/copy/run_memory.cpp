// run_memory.cpp - the steps by which a run learns between its attempts.
#include "copy/run_memory.h"

#include <algorithm>
#include <utility>

namespace zobret {

void note_unsure(unsure_pages* pages, stretch s) {
  if (pages->bytes + (s.to - s.from) > unsure_limit) return;
  pages->bytes += s.to - s.from;
  if (!pages->runs.empty() && pages->runs.back().to == s.from) pages->runs.back().to = s.to;
  else pages->runs.push_back(s);
}

void forget_unsure(run_memory* memory) {
  memory->unsure_found = unsure_pages{};
  memory->unsure_written = unsure_pages{};
}

std::uint64_t compare_restart(std::uint64_t at) { return at - std::min(at, check_window); }

void note_source(run_memory* memory, const file_facts& facts) {
  if (memory->source && !same_file(*memory->source, facts)) memory->source_changed = true;
  memory->source = facts;
}

void note_created(run_memory* memory) {
  run_memory fresh;
  fresh.judged = true;
  fresh.source = memory->source;
  *memory = std::move(fresh);
}

void note_written(run_memory* memory, std::uint64_t to) {
  memory->furthest = std::max(memory->furthest, to);
}

void note_synced(run_memory* memory, std::uint64_t to) {
  memory->synced_until = std::max(memory->synced_until, to);
}

void note_lost_writes(run_memory* memory) {
  memory->rewrite_from = std::min(memory->rewrite_from.value_or(UINT64_MAX), memory->synced_until);
}

void note_rewritten(run_memory* memory, std::uint64_t to) { memory->rewrite_from = to; }

void note_rewrite_done(run_memory* memory) { memory->rewrite_from.reset(); }

void note_checked(run_memory* memory, std::uint64_t k) {
  memory->judged = true;
  memory->checked_until = k;
}

void start_comparison(run_memory* memory, compare_reason why, std::uint64_t differs_at) {
  std::optional<held_page> held;
  if (memory->compare) held = std::move(memory->compare->held);
  memory->compare = comparison{why, differs_at, 0, false, 0, std::move(held)};
  memory->judged = true;
  forget_unsure(memory);
}

void answer_source_change(run_memory* memory, std::uint64_t k) {
  if (memory->source_changed && k > 0) start_comparison(memory, compare_reason::source_changed, 0);
  memory->source_changed = false;
}

void note_held(run_memory* memory, held_page page, bool out_of_place) {
  comparison& c = *memory->compare;
  if (!c.held || c.held->at != page.at) c.held = std::move(page);
  c.marked = out_of_place;
}

void note_comparison_rewrote(run_memory* memory, std::uint64_t bytes) {
  memory->compare->rewritten += bytes;
}

void note_compared(run_memory* memory, std::uint64_t at) {
  note_synced(memory, at);
  memory->compare->from = std::max(memory->compare->from, compare_restart(at));
}

std::uint64_t finish_comparison(run_memory* memory, stretch last_page,
                                std::uint64_t last_rewritten) {
  const comparison& c = *memory->compare;
  std::uint64_t rewritten = c.rewritten;
  if (!c.marked) rewritten += last_rewritten;
  else if (c.held && c.held->differs) rewritten += last_page.to - last_page.from;
  memory->compare.reset();
  note_synced(memory, last_page.to);
  // A source that went away near the end may have handed over zeros the comparison wrote:
  // after a failure the next attempt's second look covers them.
  memory->checked_until = compare_restart(last_page.to);
  return rewritten;
}

void drop_comparison(run_memory* memory) { memory->compare.reset(); }

}  // namespace zobret
