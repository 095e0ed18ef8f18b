// copy_loop.h - the block loop that moves the source's bytes to the same offsets of the
// destination, for the fresh copy, the resume and the bytes a resume copies again.
#ifndef ZOBRET_COPY_COPY_LOOP_H
#define ZOBRET_COPY_COPY_LOOP_H

#include <cstdint>

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

// Copies bytes from to to-1 of the source (its handle positioned at byte from) to the same
// offsets of the destination, drawing the progress marks for bytes shown_from and up; n
// is the source's size, for the percentages. A copy up to n also makes sure that a source
// whose last bytes may have been zeros of a dropped share has not shrunk below n. On the
// way it syncs the destination now and then (every sync_seconds), raising *synced_until
// to what each good sync covered. Returns
// copy_done, or a failure after its error line (naming the file that failed) has been
// written. *reached receives the offset up to which bytes reached the destination, also on
// failure. The handles stay open; the paths serve only the error lines.
int copy_blocks(const char* source, int source_handle, const char* destination,
                int destination_handle, std::uint64_t from, std::uint64_t to,
                std::uint64_t shown_from, std::uint64_t n, std::uint64_t* reached,
                std::uint64_t* synced_until);

// How often a long copy makes what it has written durable, so that a failure on the
// destination's side costs at most the bytes of the last stretch.
constexpr double sync_seconds = 10;

}  // namespace zobret

#endif  // ZOBRET_COPY_COPY_LOOP_H
