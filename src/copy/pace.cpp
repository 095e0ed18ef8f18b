// pace.cpp - the pace of the block loops, as pure functions of the rate they measure.
#include "copy/pace.h"

#include <algorithm>

namespace zobret {
namespace {

// A block should take at most block_seconds at the measured rate, and so should a hint (a
// block waits for the hint that holds it), so hints start once the rate brings a
// hint_unit within piece_seconds. How far ahead: what arrives within ahead_seconds, which
// on a distant share, whose rate its round trip bounds, grows many times over per round
// trip until the reach is whole. The rate is measured over at least rate_seconds.
constexpr double block_seconds = 0.5;
constexpr double piece_seconds = 0.5;
constexpr double ahead_seconds = 4;
constexpr double rate_seconds = 0.1;

// cifs: no file shows its read-ahead window, and files prefer requests of a MiB or more.
bool reads_like_cifs(read_sizes sizes) { return sizes.readahead == 0 && sizes.preferred >= mib; }

}  // namespace

double seconds_between(clock_time start, clock_time end) {
  return std::chrono::duration<double>(end - start).count();
}

std::size_t block_for(double rate, std::size_t block) {
  std::size_t next = min_block;
  while (next < max_block && next < 2 * block &&
         2.0 * static_cast<double>(next) <= rate * block_seconds)
    next *= 2;
  return next;
}

std::uint64_t reach_for(double rate, std::uint64_t reach, bool far, std::uint64_t limit) {
  // A sample that waited for a round trip reads low: the reach halves at most per sample.
  const std::uint64_t halved = reach / 2 / hint_unit * hint_unit;
  if (!far && rate * piece_seconds < static_cast<double>(hint_unit)) return halved;
  const double bytes = std::min(rate * ahead_seconds, static_cast<double>(limit));
  const auto units = static_cast<std::uint64_t>(bytes / static_cast<double>(hint_unit));
  return std::max({units * hint_unit, halved, far ? hint_unit : 0});
}

std::uint64_t hint_limit(read_sizes sizes) {
  // Taken whole up to the file's sequential window, twice the mount's read-ahead size;
  // where the system does not show that, the file's preferred request size, and from a
  // preference of a MiB on, the kernel's pieces of 2 MiB. That is cifs, whose window no
  // file shows (4 MiB, 8 MiB with sequential advice): it takes such a hint whole, in half
  // as many requests as hints of 1 MiB, which near shares feel.
  std::uint64_t limit = std::max(sizes.preferred, hint_unit);
  if (sizes.readahead > 0) limit = std::min(limit, std::max(2 * sizes.readahead, hint_unit));
  else if (reads_like_cifs(sizes)) limit = widest_hint;
  return std::min(limit, widest_hint);
}

std::uint64_t reach_limit(read_sizes sizes) {
  return reads_like_cifs(sizes) ? widest_reach : usual_reach;
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

pace pace_start(std::uint64_t at, read_sizes sizes, clock_time now) {
  const std::uint64_t hint = hint_limit(sizes), reach = reach_limit(sizes);
  return pace{first_block, 0, hint_unit, hint, reach, at, at, now, false, 0, false};
}

bool next_hint(pace* p, stretch rest, stretch* hint) {
  const std::uint64_t at = rest.from, to = rest.to;
  p->asked_to = std::max(p->asked_to, at);
  const std::uint64_t ahead_to = std::min(to, at + p->reach);
  if (p->asked_to >= ahead_to) return false;
  const std::uint64_t piece = std::min(p->hint, to - p->asked_to);
  if (p->asked_to + piece > ahead_to && ahead_to < to) return false;  // whole hints only
  *hint = {p->asked_to, p->asked_to + piece};
  p->asked_to += piece;
  return true;
}

void pace_step(pace* p, std::uint64_t at, clock_time now) {
  const double measured = seconds_between(p->rate_start, now);
  if (measured < rate_seconds && p->measured) return;
  const double rate = static_cast<double>(at - p->rate_from) / measured;
  // Once far, far for the loop: the distance stays, and a block's time follows the reach.
  if (!p->measured) p->round_trip = measured;
  else p->far = p->far || static_cast<double>(p->block) <= rate * far_round_trips * p->round_trip;
  // A far link takes a block of any size in about a round trip: the largest.
  p->block = p->far ? max_block : block_for(rate, p->block);
  p->reach = reach_for(rate, p->reach, p->far, p->largest_reach);
  p->hint = hint_for(rate, p->reach, p->largest_hint);
  p->rate_from = at;
  p->rate_start = now;
  p->measured = true;
}

}  // namespace zobret
