// progress.cpp - the dotted progress display; one mark per 1000 bytes, 50 per line.
// Writes to std::cout only, one flush per block of bytes. All arithmetic is 64-bit, so
// files of any size keep their marks, headers and percentages.
#include "report/progress.h"

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

}  // namespace

void progress_start(std::uint64_t k) {
  if (k != 0) {
    console_write(std::cout, "\n");
    console_write(std::cout, skipping_line(k));
  }
  progress_open(k);
}

void progress_open(std::uint64_t k) {
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
  progress_marks(first, last, n, &text);
  if (!text.empty()) console_write(std::cout, text);
}

void progress_step(std::uint64_t i, std::uint64_t n) { progress_block(i, i, n); }

}  // namespace zobret
