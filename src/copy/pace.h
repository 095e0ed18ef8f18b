// pace.h - the pace of the block loops: how large a block they move, how far ahead of it
// they ask for the files they read, and in hints of what size, all from the rate they
// measure. Pure functions of what they are given (the clock included), tested by tables.
// Why these numbers: doc/performance.md (the copy loop's choices).
#ifndef ZOBRET_COPY_PACE_H
#define ZOBRET_COPY_PACE_H

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "copy/file_io.h"     // read_sizes, stretch
#include "copy/run_memory.h"  // check_window

namespace zobret {

constexpr std::uint64_t kib = 1024;
constexpr std::uint64_t mib = 1024 * kib;

// Bytes moved per read and write, between these: a share delivering 100 KB/s still shows
// a mark within a second, and the buffer keeps the whole process under 4 MiB.
constexpr std::size_t min_block = 64 * kib;
constexpr std::size_t max_block = 256 * kib;
// The reach is counted in these, and no hint is smaller (a FUSE share's sequential window).
constexpr std::uint64_t hint_unit = 256 * kib;
// The kernel reads a hint in pieces of at most this, each a request of its own.
constexpr std::uint64_t widest_hint = 2 * mib;
// At most this far ahead of the next byte to write. A share that drops can hand over
// zero-filled pages for everything it was asked for, and the copy writes them on until a
// read fails; the next attempt's second look (check_window) must reach back over all of
// them, and over the block being read.
constexpr std::uint64_t widest_reach = (check_window - max_block) / hint_unit * hint_unit;
static_assert(widest_reach + max_block <= check_window,
              "the second look must reach back over every byte read ahead");
// Most files are asked for at most this far ahead, half as far: more gains nothing on a
// local disk, NFS or FUSE, and a wider reach on a local source slowed uploads to cifs.
constexpr std::uint64_t usual_reach = (check_window / 2 - max_block) / hint_unit * hint_unit;

using clock_time = std::chrono::steady_clock::time_point;

// Seconds from start to end.
double seconds_between(clock_time start, clock_time end);

// The block for a measured rate (bytes per second): the largest power of two from 64 to
// 256 KiB that arrives within half a second, at most twice the current block.
std::size_t block_for(double rate, std::size_t block);
// How far ahead of the next byte to write the files are asked for: whole hint units of
// what arrives within a few seconds, at most limit (reach_limit); at most halving per
// sample. Near, none below a rate that brings a unit within half a second, so that a slow
// share hands over each block as it arrives; far (a link whose rate its round trip bounds,
// see pace), never less than a unit, since only what is asked ahead raises the rate there.
std::uint64_t reach_for(double rate, std::uint64_t reach, bool far, std::uint64_t limit);
// The largest hint the kernel takes whole for a file of these read sizes: 256 KiB to 2 MiB.
std::uint64_t hint_limit(read_sizes sizes);
// How far ahead a file of these read sizes is asked for at most: usual_reach, or
// widest_reach for a file that shows no read-ahead window and prefers requests of a MiB or
// more (cifs, whose own read-ahead keeps 12 to 16 MiB on the way to a distant server).
std::uint64_t reach_limit(read_sizes sizes);
// The size of the next hints: a power of two times 256 KiB, up to limit, to half the
// reach, and to what arrives within half a second at the rate.
std::uint64_t hint_for(double rate, std::uint64_t reach, std::uint64_t limit);

// Where a loop stands: what it moves, what it has asked for, and where and when it last
// measured its rate. A loop starts with pace_start, asks next_hint before each block and
// takes one pace_step after it.
//
// A rate too low for hints may be a slow share or a distant one, whose every block (read,
// or written to a share that takes one write per round trip) waits a round trip however
// much the link carries: 64 KiB per 300 ms is 0.2 MB/s on a link of megabytes. The two
// tell apart by the round trip, which the loop's first block measures: a single page, which
// takes a round trip and hardly more on any link. A link whose blocks then take at most
// far_round_trips of it is far, gets the largest blocks, and is asked ahead as far as its
// rate calls for, never less than a unit. A slow share nearby takes many times longer for
// a block than for a page, and is paced by its rate alone.
struct pace {
  std::size_t block;            // bytes per read
  std::uint64_t reach;          // how far ahead of the next byte the files are asked for
  std::uint64_t hint;           // in hints of this size
  std::uint64_t largest_hint;   // at most this (hint_limit)
  std::uint64_t largest_reach;  // and asked for at most this far ahead (reach_limit)
  std::uint64_t asked_to;       // the files are asked for up to here
  std::uint64_t rate_from;      // the rate is measured from this byte on...
  clock_time rate_start;        // ...and from this time
  bool measured;                // the first block has been measured (alone)
  double round_trip;            // seconds, as the first block (one page) took
  bool far;                     // a block takes about a round trip
};

// A block that takes at most this many round trips waited for the distance, not the rate.
constexpr double far_round_trips = 3;

// A loop's first block: one page, whose time is the round trip.
constexpr std::size_t first_block = 4 * kib;

// A loop that starts at byte at, with the first block and no read-ahead until its rate is
// known, for a file of these read sizes.
pace pace_start(std::uint64_t at, read_sizes sizes, clock_time now);
// The next hint due before a block at the start of rest, the stretch still to be read:
// true with the bytes it asks for in *hint, or false when the reach holds no whole hint
// more. The first one also holds the bytes about to be read, so that a share sends them
// first.
bool next_hint(pace* p, stretch rest, stretch* hint);
// One step after a block that ended at byte at: the rate is sampled once it has been
// measured over a tenth of a second (the first block alone), and whether the link is
// far, block, reach and hint follow it.
void pace_step(pace* p, std::uint64_t at, clock_time now);

}  // namespace zobret

#endif  // ZOBRET_COPY_PACE_H
