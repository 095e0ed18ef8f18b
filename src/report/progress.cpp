// progress.cpp - the dotted progress display; one mark per 1000 bytes, 50 per line.
// Writes to std::cout only, one flush per block of bytes. All arithmetic is 64-bit, so
// files of any size keep their marks, headers and percentages.
#include "report/progress.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <iostream>

#include "report/console.h"
#include "report/messages.h"  // skipping_line

namespace zobret {
namespace {

// "%08uK > ": the whole thousands at the start of a line, eight digits or more.
void append_header(std::uint64_t thousands, std::string* out) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08" PRIu64 "K > ", thousands);
  out->append(buf);
}

// Percentage of whole thousands, rounded down, at least two digits.
void append_percentage(std::uint64_t i, std::uint64_t n, std::string* out) {
  const std::uint64_t whole = n / bytes_per_mark;
  const std::uint64_t p = whole == 0 ? 100 : (i / bytes_per_mark) * 100 / whole;
  char buf[40];
  std::snprintf(buf, sizeof buf, "[%02" PRIu64 " %%]\n", p);
  out->append(buf);
}

// Where the display was opened (the last index drawn as a comma), and whether another
// thread has written a line since; the display itself runs on one thread.
std::uint64_t opened_at = 0;
std::atomic<bool> interrupted{false};

// The line that holds index first, as drawn up to first-1: its header and its marks.
void append_line_so_far(std::uint64_t first, std::string* out) {
  const std::uint64_t before = first == 0 ? 0 : first - 1;
  const std::uint64_t line_start = before / bytes_per_line * bytes_per_line;
  append_header(std::max(line_start, opened_at) / bytes_per_mark, out);  // a resume's first line
  std::uint64_t j = 1;
  for (std::uint64_t i = line_start + bytes_per_mark; i <= before; i += bytes_per_mark, ++j) {
    *out += i <= opened_at ? ',' : '.';
    if (j % marks_per_group == 0) *out += ' ';
  }
}

}  // namespace

void progress_close() {
  if (!console_at_line_start()) console_write(std::cout, "\n");
}

void progress_end() { console_write(std::cout, "\n"); }

void progress_interrupted() { interrupted.store(true, std::memory_order_relaxed); }

void progress_start(std::uint64_t k) {
  if (k != 0) {
    console_write(std::cout, "\n");
    console_write(std::cout, skipping_line(k));
  }
  progress_open(k);
}

void progress_open(std::uint64_t k) {
  opened_at = k;
  interrupted.store(false, std::memory_order_relaxed);
  console_write(std::cout, "\n");
  const std::uint64_t t = k / bytes_per_mark;
  std::string line;
  append_header(t, &line);
  const std::uint64_t m = t - (bytes_per_line / bytes_per_mark) * (k / bytes_per_line);
  for (std::uint64_t j = 1; j <= m; ++j) {
    line += ',';
    if (j % marks_per_group == 0) line += ' ';
  }
  console_write(std::cout, line);
}

void progress_marks(std::uint64_t first, std::uint64_t last, std::uint64_t n, std::string* out) {
  if (first > last) return;
  // The first index at or after `first` that draws a mark; index 0 never does.
  std::uint64_t i = (first + bytes_per_mark - 1) / bytes_per_mark * bytes_per_mark;
  if (i == 0) i = bytes_per_mark;
  for (; i <= last; i += bytes_per_mark) {
    *out += '.';
    if (i % (bytes_per_mark * marks_per_group) == 0) *out += ' ';
    if (i % bytes_per_line == 0) {
      append_percentage(i, n, out);
      append_header(i / bytes_per_mark, out);
    }
  }
  if (n != 0 && last == n - 1) *out += '\n';
}

void progress_block(std::uint64_t first, std::uint64_t last, std::uint64_t n) {
  std::string text;
  if (interrupted.load(std::memory_order_relaxed) && first <= last &&
      interrupted.exchange(false, std::memory_order_relaxed))
    append_line_so_far(first, &text);
  progress_marks(first, last, n, &text);
  if (!text.empty()) console_write(std::cout, text);
}

void progress_step(std::uint64_t i, std::uint64_t n) { progress_block(i, i, n); }

}  // namespace zobret
