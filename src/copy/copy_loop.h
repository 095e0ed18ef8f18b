// copy_loop.h - the block loop that moves the source's bytes to the same offsets of the
// destination, for the fresh copy, the resume and the bytes a resume copies again; and
// the steps it shares with the other loops over the two files.
#ifndef ZOBRET_COPY_COPY_LOOP_H
#define ZOBRET_COPY_COPY_LOOP_H

#include <cstddef>
#include <cstdint>

#include "copy/copy_job.h"
#include "copy/pace.h"

namespace zobret {

// The error lines of a failed read (naming the file read) and of a failed write (naming
// the destination); each returns the matching result.
copy_result fail_reading(const char* path);
copy_result fail_writing(const char* destination);
// Syncs the job's destination: done, or a failed write after its error line.
copy_result sync_destination(const copy_job& job);

// Marks drawn for no byte: for bytes that are copied again behind the display.
constexpr std::uint64_t no_marks = UINT64_MAX;

// Copies the job's bytes from to to-1 (the source's handle positioned at byte from) to the
// same offsets of the destination, drawing the progress marks for bytes shown_from and up.
// On the way it keeps the copy durable: the run's synced_until rises with every sync that
// holds (one every sync_seconds). Returns done, or a failure after its error line (naming
// the file that failed). *reached receives the offset up to which bytes reached the
// destination, also on failure. The handles stay open.
copy_result copy_blocks(const copy_job& job, std::uint64_t from, std::uint64_t to,
                        std::uint64_t shown_from, std::uint64_t* reached);

// The pace for a loop over these files from byte at on: the kernel's own read-ahead off
// for each (a handle of -1 is left out), hints as large as the source takes whole.
pace start_pace(int handle, int other, std::uint64_t at);
// Asks for the hints due before a block at byte at of a stretch that ends at to, of both
// handles alike.
void ask_ahead(pace* p, std::uint64_t at, std::uint64_t to, int handle, int other);

// How often a long loop makes what it has written durable, so that a failure on the
// destination's side costs at most the bytes of the last stretch.
constexpr double sync_seconds = 10;

}  // namespace zobret

#endif  // ZOBRET_COPY_COPY_LOOP_H
