// progress.h - the dotted progress display on standard output.
// One mark stands for 1000 bytes: "," for a thousand the destination already held when
// a resume began, "." for a thousand copied now. A space closes every group of ten,
// and every 50,000 bytes a line closes with the percentage of whole thousands done.
#ifndef ZOBRET_REPORT_PROGRESS_H
#define ZOBRET_REPORT_PROGRESS_H

#include <cstdint>
#include <string>

namespace zobret {

constexpr std::uint64_t bytes_per_mark = 1000;
constexpr std::uint64_t marks_per_group = 10;
constexpr std::uint64_t bytes_per_line = 50000;

// Opens the display once per attempt; k is what the destination already holds. A resume
// (k > 0) first writes the "Skipping" line; then comes the line header and one comma per
// thousand of k inside the current line.
void progress_start(std::uint64_t k);

// The same without the "Skipping" line: an empty line, the header and the commas of k.
// Also opens the display of a comparison, whose marks count the bytes compared.
void progress_open(std::uint64_t k);

// What the display draws once byte i of n has been written.
void progress_step(std::uint64_t i, std::uint64_t n);

// What progress_step would draw for every index from first to last (inclusive), in one
// write and one flush. Costs one pass per thousand, not per byte.
void progress_block(std::uint64_t first, std::uint64_t last, std::uint64_t n);

// Ends the display's line where one is open (a header written, the last byte's line break
// not yet): the comparison's display replaces the copy's.
void progress_close();

// The run's display is over: a line break, which ends an open line or leaves an empty one
// before the run's last log line.
void progress_end();

// Another thread has written a line after the open progress line (the watchdog's waiting
// line): the next block begins a new line, with the header and the marks the interrupted
// line held. Safe to call from any thread.
void progress_interrupted();

// The text progress_block draws, without writing it (appended to out).
void progress_marks(std::uint64_t first, std::uint64_t last, std::uint64_t n, std::string* out);

}  // namespace zobret

#endif  // ZOBRET_REPORT_PROGRESS_H
