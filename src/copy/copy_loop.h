// copy_loop.h - the block loop that moves the source's bytes to the same offsets of the
// destination, for the fresh copy, the resume and the bytes a resume copies again.
#ifndef ZOBRET_COPY_COPY_LOOP_H
#define ZOBRET_COPY_COPY_LOOP_H

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

// How often a long copy makes what it has written durable, so that a failure on the
// destination's side costs at most the bytes of the last stretch.
constexpr double sync_seconds = 10;

}  // namespace zobret

#endif  // ZOBRET_COPY_COPY_LOOP_H
