// What the progress display draws: exact texts for the fixed examples and the awkward
// boundaries, and block drawing that matches byte-by-byte drawing whatever the blocks.
#include "report/progress.h"

#include "test_util.h"

namespace zobret {
namespace {

using ProgressTest = zobret_test::CoutCapture;

const std::string dots10 = "..........";
const std::string commas10 = ",,,,,,,,,,";

// progress_start(k) and then one step per byte from k to last.
void draw_bytewise(std::uint64_t k, std::uint64_t last, std::uint64_t n) {
  progress_start(k);
  for (std::uint64_t i = k; i <= last; ++i) progress_step(i, n);
}

TEST_F(ProgressTest, DrawsExactTextsByteByByte) {
  struct Case {
    std::uint64_t k, last, n;
    std::string text;
  };
  const std::string line5 =
      dots10 + " " + dots10 + " " + dots10 + " " + dots10 + " " + dots10 + " ";
  const Case cases[] = {
      // A fresh copy of 120,500 bytes.
      {0, 120499, 120500,
       "\n00000000K > " + line5 + "[41 %]\n00000050K > " + line5 + "[83 %]\n00000100K > " + dots10 +
           " " + dots10 + " \n"},
      // A resume of 1,234,567 of 2,000,000: commas, then dots on the same line.
      {1234567, 1250000, 2000000,
       "\nSkipping 1234567 bytes.\n\n00001234K > " + commas10 + " " + commas10 + " " + commas10 +
           " ,,,,...... " + dots10 + " [62 %]\n00001250K > "},
      // k a multiple of 1000: the thousand at k is a comma and a dot.
      {12000, 20000, 20001,
       "\nSkipping 12000 bytes.\n\n00000012K > " + commas10 + " ,," + std::string(9, '.') + " \n"},
      {10000, 10000, 10001, "\nSkipping 10000 bytes.\n\n00000010K > " + commas10 + " . \n"},
      // k a multiple of 50,000: a bare header, then a dot and the percentage at once.
      {50000, 50000, 50001, "\nSkipping 50000 bytes.\n\n00000050K > . [100 %]\n00000050K > \n"},
      // Exactly one line's worth: 49 dots and no percentage; one byte more closes the line.
      {0, 49999, 50000, "\n00000000K > " + line5.substr(0, line5.size() - 2) + "\n"},
      {0, 50000, 50001, "\n00000000K > " + line5 + "[100 %]\n00000050K > \n"},
      {0, 50499, 50500, "\n00000000K > " + line5 + "[100 %]\n00000050K > \n"},
      // Up to 1000 bytes: no marks, only the last byte's line break.
      {0, 999, 1000, "\n00000000K > \n"},
      {0, 0, 1, "\n00000000K > \n"},
  };
  for (const Case& c : cases) {
    clear();
    draw_bytewise(c.k, c.last, c.n);
    EXPECT_EQ(c.text, out()) << "k=" << c.k << " n=" << c.n;
  }
}

TEST_F(ProgressTest, BlocksDrawWhatSingleBytesDraw) {
  // Sizes around the boundaries, in blocks of awkward lengths.
  const std::uint64_t sizes[] = {1, 999, 1001, 10000, 49999, 50001, 123457, 250000};
  const std::uint64_t blocks[] = {1, 7, 1000, 4096, 65536};
  for (std::uint64_t n : sizes) {
    std::string bytewise;
    for (std::uint64_t i = 0; i < n; ++i) progress_marks(i, i, n, &bytewise);
    for (std::uint64_t b : blocks) {
      std::string blockwise;
      for (std::uint64_t i = 0; i < n; i += b)
        progress_marks(i, std::min(n, i + b) - 1, n, &blockwise);
      EXPECT_EQ(bytewise, blockwise) << "n=" << n << " block=" << b;
    }
  }
}

TEST_F(ProgressTest, LargeOffsetsKeepFullHeadersAndPercentages) {
  // Past 4 GiB the header and the percentage come from 64-bit arithmetic.
  const std::uint64_t n = 6000000000ULL;
  progress_block(5999950000ULL, 5999950000ULL, n);
  EXPECT_EQ(". [99 %]\n05999950K > ", out());
  std::string tail;
  progress_marks(5999999000ULL, n - 1, n, &tail);
  EXPECT_EQ(".\n", tail);
}

TEST_F(ProgressTest, ALineWrittenInBetweenReopensTheDisplayLine) {
  // After another thread's line, the display goes on with the line it had drawn so far:
  // the same text as an uninterrupted line from its header on.
  struct Case {
    std::uint64_t k, split, last, n;
  } const cases[] = {
      {0, 26000, 30999, 200000},      // mid-line
      {12345, 21000, 60000, 200000},  // a resume's commas come back as commas
      {0, 50000, 52000, 200000},      // the line's last mark still to come
      {0, 50001, 52000, 200000},      // the line just closed: a bare header
      {0, 0, 999, 1000},              // before any mark
  };
  for (const Case& c : cases) {
    clear();
    progress_start(c.k);
    progress_block(c.k, c.last, c.n);
    const std::string whole = out();
    clear();
    progress_start(c.k);
    if (c.split > c.k) progress_block(c.k, c.split - 1, c.n);
    const std::size_t line_start = out().rfind('\n') + 1;
    progress_interrupted();
    clear();
    progress_block(c.split, c.last, c.n);
    EXPECT_EQ(whole.substr(line_start), out()) << "k=" << c.k << " split=" << c.split;
  }
}

}  // namespace
}  // namespace zobret
