// copy_loop.h - the block loop that moves the source's bytes to the same offsets of the
// destination, for the fresh copy, the resume and the bytes a resume copies again.
#ifndef ZOBRET_COPY_COPY_LOOP_H
#define ZOBRET_COPY_COPY_LOOP_H

#include <cstddef>
#include <cstdint>

#include "copy/copy_job.h"

namespace zobret {

// How a copy of a stretch of bytes ended. Read and write failures end alike (the attempt
// fails), but only a failure on the destination's side can have cost bytes already written.
constexpr int copy_done = 0;
constexpr int copy_read_failed = -1;   // the source failed, or ended early
constexpr int copy_write_failed = -2;  // the destination failed to take, or to sync, a byte

// The error lines of a failed read (naming the file read) and of a failed write (naming
// the destination); each returns the matching result above.
int fail_reading(const char* path);
int fail_writing(const char* destination);

// Marks drawn for no byte: for bytes that are copied again behind the display.
constexpr std::uint64_t no_marks = UINT64_MAX;

// Copies the job's bytes from to to-1 (the source's handle positioned at byte from) to the
// same offsets of the destination, drawing the progress marks for bytes shown_from and up.
// A copy up to the source's size also makes sure that a source whose last bytes may have
// been zeros of a dropped share has not shrunk. On the way it syncs the destination now
// and then (every sync_seconds), raising the run's synced_until to what each good sync
// covered. Returns copy_done, or a failure after its error line (naming the file that
// failed) has been written. *reached receives the offset up to which bytes reached the
// destination, also on failure. The handles stay open.
int copy_blocks(const copy_job& job, std::uint64_t from, std::uint64_t to,
                std::uint64_t shown_from, std::uint64_t* reached);

// The pace of the block loop, as pure functions of what it measures (rates in bytes per
// second), declared here for the tests.

// The block for a measured rate: the largest power of two from 64 to 256 KiB that arrives
// within half a second, at most twice the current block (a block twice as large takes at
// most three times as long, latency included).
std::size_t block_for(double rate, std::size_t block);
// How far ahead of the next byte to write the source is asked for, from a measured rate
// and the current reach: whole hint units (256 KiB) of what arrives within a few seconds,
// at most the widest reach the second look covers; none below a rate that brings a unit
// within half a second; at most halving per sample.
std::uint64_t reach_for(double rate, std::uint64_t reach);
// The largest hint the kernel takes whole for a source of these read sizes (see
// source_read_sizes): 256 KiB to 2 MiB.
std::uint64_t hint_limit(std::uint64_t preferred, std::uint64_t readahead);
// The size of the next hints: a power of two times 256 KiB, up to limit, to half the
// reach, and to what arrives within half a second at the rate.
std::uint64_t hint_for(double rate, std::uint64_t reach, std::uint64_t limit);

// How often a long copy makes what it has written durable, so that a failure on the
// destination's side costs at most the bytes of the last stretch.
constexpr double sync_seconds = 10;

}  // namespace zobret

#endif  // ZOBRET_COPY_COPY_LOOP_H
