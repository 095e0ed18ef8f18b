// The pause between failed attempts and the watchdog's silence, each a pure step driven
// by a clock the test sets.
#include "frontend/retry.h"
#include "report/watch.h"

#include "test_util.h"

namespace zobret {
namespace {

TEST(RetryTest, PausesGrowOnlyWhileNothingMovesForward) {
  struct Step {
    const char* what;
    bool moved;
    double took, fixed, pause;
  };
  // One run's attempts in order, each failing.
  const Step steps[] = {
      {"a failure after progress is answered at once", true, 0, -1, 0},
      {"the first idle failure waits a little", false, 0, -1, 0.05},
      {"then twice as long", false, 0, -1, 0.1},
      {"and again", false, 0.001, -1, 0.199},
      {"an attempt that waited itself has waited its pause", false, 1, -1, 0},
      {"", false, 0, -1, 0.8},
      {"", false, 0, -1, 1.6},
      {"", false, 0, -1, 3.2},
      {"", false, 0, -1, 6.4},
      {"the cap", false, 0, -1, longest_retry_pause},
      {"stays the cap", false, 0, -1, longest_retry_pause},
      {"progress answers at once again", true, 0, -1, 0},
      {"and starts over", false, 0, -1, 0.05},
      {"a pause the user set is taken as it is", false, 0, 2.5, 2.5},
      {"also after progress", true, 3, 2.5, 2.5},
      {"0 never pauses", false, 0, 0, 0},
  };
  retry_pace pace;
  for (const Step& s : steps)
    EXPECT_NEAR(s.pause, retry_pause(&pace, s.moved, s.took, s.fixed), 1e-9) << s.what;
  for (int i = 0; i < 1000; ++i) retry_pause(&pace, false, 0, -1);  // no overflow, ever
  EXPECT_EQ(longest_retry_pause, retry_pause(&pace, false, 0, -1));
}

TEST(WatchTest, AWaitingLineAfterAMinuteThenAtGrowingIntervals) {
  struct Look {
    const char* what;
    double now;
    std::uint64_t calls;
    bool asking;
    std::int64_t line;  // the seconds the line reports, 0 for none
    bool stopped;       // no look since the row before: the process was stopped
  };
  const Look looks[] = {
      {"a call begins", 0, 7, true, 0, false},
      {"59 s without an answer", 59, 7, true, 0, false},
      {"a minute", 60, 7, true, 60, false},
      {"said once", 61, 7, true, 0, false},
      {"five minutes", 300, 7, true, 300, false},
      {"fifteen", 900, 7, true, 900, false},
      {"an hour", 3600, 7, true, 3600, false},
      {"two hours, and none in between", 7200, 7, true, 7200, false},
      {"an answer starts a new silence", 7201, 8, true, 0, false},
      {"which is a minute long only after a minute", 7261, 8, true, 60, false},
      {"a pause between attempts waits for nobody", 9000, 9, false, 0, false},
      {"the next attempt's call starts its own minute", 9001, 10, true, 0, false},
      {"", 9061, 10, true, 60, false},
      {"a process stopped for an hour has not waited", 12661, 10, true, 0, true},
      {"", 12720, 10, true, 0, false},
      {"", 12721, 10, true, 60, false},
  };
  silence s;
  double now = 0;
  for (const Look& l : looks) {
    SCOPED_TRACE(l.what);
    // The watchdog looks once a second; nothing is due between the rows.
    for (now = l.stopped ? l.now : now + 1; now < l.now; now += 1)
      ASSERT_EQ(0, silence_step(&s, l.calls, l.asking, now)) << "at " << now << " s";
    EXPECT_EQ(l.line, silence_step(&s, l.calls, l.asking, l.now)) << "at " << l.now << " s";
    now = l.now;
  }
}

}  // namespace
}  // namespace zobret
