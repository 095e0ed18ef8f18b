// copy_attempt.h - one copy attempt: check and measure the source, then copy it whole
// into a new destination or resume behind the last byte of an existing one.
#ifndef ZOBRET_COPY_COPY_ATTEMPT_H
#define ZOBRET_COPY_COPY_ATTEMPT_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace zobret {

// Attempt results: the job is finished, or another attempt is due.
constexpr int attempt_finished = 0;
constexpr int attempt_failed = -1;

// Bytes moved per read and write. Small enough that a share delivering 100 KB/s still
// shows a mark well within a second, large enough to keep up with a local disk.
constexpr std::size_t copy_block_size = 64 * 1024;

// One attempt over the two paths: reports every step as a log line, opens and closes
// its own files, and returns attempt_finished or attempt_failed. All it knows of earlier
// attempts is the destination's length on disk.
int copy_attempt(const char* source, const char* destination);

// The tail of an existing destination that every attempt copies again: a network file
// system that loses its server mid-read can hand over zero-filled pages before it
// reports the failure, and the attempt that wrote them cannot tell. Rewriting bytes at
// their own offsets is harmless where they were right and heals them where they were not.
constexpr std::uint64_t recheck_bytes = 1024 * 1024;

// Copies bytes from to n-1 from the source handle (positioned at byte from) to the same
// offsets of the destination handle, drawing the progress for bytes i and up (bytes from
// to i-1 are ones the destination already held, copied again without marks). Closes both
// handles; on the finishing path it checks that the source still has its n bytes, then
// syncs the destination: a failing sync or close is a write error. The paths serve only
// the error lines.
int copy_bytes(const char* source, int source_handle, const char* destination,
               int destination_handle, std::uint64_t from, std::uint64_t i, std::uint64_t n);

// The path the attempt writes to: destination itself, or, when it names an existing
// directory, the source's file name inside it.
std::string destination_path(const char* source, const char* destination);

}  // namespace zobret

#endif  // ZOBRET_COPY_COPY_ATTEMPT_H
