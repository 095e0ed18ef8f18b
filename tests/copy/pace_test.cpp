// The block loop's pace: the block, the reach and the hints it derives from a measured rate
// and from what the system tells of the source, and that the reach stays inside the second
// look.
#include "copy/pace.h"

#include "test_util.h"

namespace zobret {
namespace {

TEST(PaceTest, BlockGrowsAtMostTwofoldAndFitsHalfASecond) {
  struct Case {
    double rate;
    std::size_t block, next;
  } const cases[] = {
      {100e3, 64 * kib, 64 * kib},    // a mark within a second at 100 KB/s
      {300e3, 256 * kib, 128 * kib},  // 128 KiB arrives within half a second, 256 not
      {1e9, 64 * kib, 128 * kib},     // at most twice the block per sample
      {1e9, 128 * kib, 256 * kib},   {1e9, 256 * kib, 256 * kib},  // never above 256 KiB
      {0, 256 * kib, 64 * kib},                                    // never below 64 KiB
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.next, block_for(c.rate, c.block)) << c.rate << " B/s, block " << c.block;
}

TEST(PaceTest, ReachFollowsTheRateAndHalvesAtMost) {
  const std::uint64_t limit = 7936 * kib;  // most files'
  struct Case {
    const char* what;
    double rate;
    std::uint64_t reach, next;
  } const cases[] = {
      {"a slow share is never read ahead", 100e3, 0, 0},
      {"just below a hint unit in half a second", 524287, 0, 0},
      {"hints start at 512 KiB/s: four seconds of it", 524288, 0, 2 * mib},
      {"whole 256 KiB units only", 600e3, 0, 2304 * kib},
      {"a slowdown halves the reach", 100e3, 4 * mib, 2 * mib},
      {"halving in whole units", 100e3, 768 * kib, 256 * kib},
      {"at most halving, also when hints go on", 600e3, limit,
       limit / 2 / (256 * kib) * (256 * kib)},
      {"a fast share gets the whole limit", 1e9, 0, limit},
      {"and keeps it", 1e9, limit, limit},
  };
  for (const Case& c : cases) EXPECT_EQ(c.next, reach_for(c.rate, c.reach, false, limit)) << c.what;
}

TEST(PaceTest, EveryByteReadAheadLiesInsideTheSecondLook) {
  // A share that drops can hand over zeros for all the hints reach and the block being
  // read; the next attempt looks again at the destination's last check_window bytes.
  const std::uint64_t limit = reach_limit({mib, 0});  // cifs: the widest
  std::uint64_t reach = 0;
  for (double rate = 1; rate < 1e11; rate *= 1.7) {
    reach = reach_for(rate, reach, false, limit);
    EXPECT_LE(reach + 256 * kib, check_window) << rate << " B/s";  // and the largest block
    EXPECT_EQ(0u, reach % (256 * kib));
  }
  EXPECT_GE(reach, 15 * mib);  // the fastest rates reach nearly the whole window
}

// The largest hint, and how far ahead: cifs alone, whose read-ahead no file shows, is asked
// for as far ahead as the second look allows.
TEST(PaceTest, LimitsFromTheReadSizesTheSystemTells) {
  const std::uint64_t usual = 7936 * kib, widest = 16128 * kib;
  struct Case {
    const char* what;
    std::uint64_t preferred, readahead, limit, reach;
  } const cases[] = {
      {"smbnetfs (FUSE): its sequential window", 512, 128 * kib, 256 * kib, usual},
      {"sshfs (FUSE)", 4 * kib, 128 * kib, 256 * kib, usual},
      {"a FUSE file preferring 1 MiB: no hint beyond the window", mib, 128 * kib, 256 * kib, usual},
      {"NFS: the window, not its 512 KiB requests", 512 * kib, 128 * kib, 256 * kib, usual},
      {"cifs, whose read-ahead no file shows: the kernel's 2 MiB pieces", mib, 0, 2 * mib, widest},
      {"cifs mounted with bsize=4M: the same", 4 * mib, 0, 2 * mib, widest},
      {"no read-ahead shown, a preference below a MiB: that", 512 * kib, 0, 512 * kib, usual},
      {"a disk with 8 MiB read-ahead, 4 KiB blocks", 4 * kib, 8 * mib, 256 * kib, usual},
      {"a partition (no read-ahead shown)", 4 * kib, 0, 256 * kib, usual},
      {"a window of 4 MiB takes a 2 MiB preference whole", 2 * mib, 2 * mib, 2 * mib, usual},
      {"nothing known (Windows)", 0, 0, 256 * kib, usual},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.limit, hint_limit({c.preferred, c.readahead})) << c.what;
    EXPECT_EQ(c.reach, reach_limit({c.preferred, c.readahead})) << c.what;
  }
}

TEST(PaceTest, HintsFitTheRateTheReachAndTheLimit) {
  struct Case {
    const char* what;
    double rate;
    std::uint64_t reach, limit, hint;
  } const cases[] = {
      {"at the start", 0, 0, 2 * mib, 256 * kib},
      {"a slow rate keeps the smallest", 600e3, 2304 * kib, mib, 256 * kib},
      {"a fast rate gets the limit", 10e6, 7936 * kib, mib, mib},
      {"up to 2 MiB", 10e6, 7936 * kib, 2 * mib, 2 * mib},
      {"at most half the reach", 10e6, mib, 2 * mib, 512 * kib},
      {"what arrives within half a second", 3e6, 7936 * kib, 2 * mib, mib},
      {"never above the limit, FUSE's window", 1e9, 7936 * kib, 256 * kib, 256 * kib},
  };
  for (const Case& c : cases) EXPECT_EQ(c.hint, hint_for(c.rate, c.reach, c.limit)) << c.what;
}

// A loop over a simulated link: every request, the hints and a block that was not asked
// for, arrives a round trip after it is sent, one after another at the link's rate. After
// some seconds the loop asks ahead what the link carries in a round trip (up to the
// widest reach), and a share that is slow but near gets no hint and the smallest blocks,
// which it hands over one by one as they arrive.
TEST(PaceTest, WhatIsAskedAheadFollowsTheLink) {
  const read_sizes cifs{mib, 0}, nfs{512 * kib, 128 * kib}, disk{4 * kib, 128 * kib};
  const struct {
    const char* link;
    double rtt, rate;     // seconds, bytes per second
    read_sizes sizes;     // of the file read
    bool upload;          // hints go to a local source: only the blocks cross the link
    std::uint64_t reach;  // what the loop asks ahead after 20 s
    double at_least;      // MB/s it then moves
  } cases[] = {
      {"cifs, 64 KiB per 300 ms round trip, 100 MB/s", 0.3, 100e6, cifs, false, 16128 * kib, 15},
      {"NFS, 64 KiB per 300 ms round trip, 100 MB/s", 0.3, 100e6, nfs, false, 7936 * kib, 15},
      {"cifs, 600 ms, 10 MB/s", 0.6, 10e6, cifs, false, 16128 * kib, 7},
      {"cifs, 1 MB/s at 50 ms", 0.05, 1e6, cifs, false, 3840 * kib, 0.95},
      {"cifs, 100 MB/s near", 0.0005, 100e6, cifs, false, 16128 * kib, 90},
      {"cifs, 100 KB/s near", 0.001, 100e3, cifs, false, 0, 0.095},
      {"an upload, a write per 300 ms round trip", 0.3, 100e6, disk, true, 3328 * kib, 0.8},
      {"an upload to 100 KB/s near", 0.001, 100e3, disk, true, 0, 0.095},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.link);
    double now = 0, link_free = 0;
    std::vector<std::pair<std::uint64_t, double>> sent;  // requests' ends, and when they arrive
    auto send = [&](std::uint64_t len, std::uint64_t end) {
      link_free = std::max(now + c.rtt, link_free) + static_cast<double>(len) / c.rate;
      sent.emplace_back(end, link_free);
    };
    const auto time = [](double s) {
      return clock_time{} + std::chrono::milliseconds(long(s * 1e3));
    };
    pace p = pace_start(0, c.sizes, time(0));
    std::uint64_t at = 0, at_20s = 0;
    for (const std::uint64_t end = 1ull << 40; now < 30;) {
      if (now >= 20 && at_20s == 0) at_20s = at;
      stretch hint{};
      while (next_hint(&p, {at, end}, &hint))
        if (!c.upload) send(hint.to - hint.from, hint.to);
      const std::uint64_t to = at + p.block;
      auto arrives = std::find_if(sent.begin(), sent.end(), [&](auto& r) { return r.first >= to; });
      if (arrives == sent.end()) send(p.block, to), arrives = sent.end() - 1;
      now = std::max(now, arrives->second);
      at = to;
      pace_step(&p, at, time(now));
    }
    EXPECT_EQ(c.reach, p.reach);
    EXPECT_TRUE(c.reach > 0 || p.block == min_block) << p.block;  // marks as bytes arrive
    EXPECT_GE(static_cast<double>(at - at_20s) / (now - 20), c.at_least * 1e6);
  }
}

}  // namespace
}  // namespace zobret
