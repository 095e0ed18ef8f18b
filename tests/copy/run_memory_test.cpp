// What a run remembers between its attempts, step by step: each row takes a new run
// through a few steps and reads back what they leave.
#include <functional>
#include <string>

#include "copy/run_memory.h"
#include "gtest/gtest.h"

namespace zobret {
namespace {

constexpr std::uint64_t mb = 1 << 20;

// What a row reads back, in a line: the offsets in bytes, "-" for what is not noted.
std::string state(const run_memory& m) {
  const auto at = [](const std::optional<std::uint64_t>& v) {
    return v ? std::to_string(*v) : std::string("-");
  };
  std::string s = std::string(m.judged ? "judged" : "new") + " checked " +
                  std::to_string(m.checked_until) + " synced " + std::to_string(m.synced_until) +
                  " furthest " + std::to_string(m.furthest) + " rewrite " + at(m.rewrite_from) +
                  (m.source_changed ? " source changed" : "") + " unsure " +
                  std::to_string(m.unsure_found.runs.size() + m.unsure_written.runs.size());
  if (!m.compare) return s + " compare -";
  const comparison& c = *m.compare;
  return s + " compare " + std::to_string(int(c.why)) + "@" + std::to_string(c.differs_at) +
         " from " + std::to_string(c.from) + (c.marked ? " marked" : "") + " rewritten " +
         std::to_string(c.rewritten) + " held " + (c.held ? c.held->bytes : "-");
}

TEST(RunMemoryTest, EachStepLeavesWhatTheNextAttemptNeeds) {
  const file_facts source{100, 7, 1, 2}, replaced{100, 7, 1, 3}, touched{100, 8, 1, 2};
  const int differs = int(compare_reason::differs), changed = int(compare_reason::source_changed);
  struct Case {
    const char* what;
    std::function<void(run_memory*)> steps;
    std::string expected;
  } const cases[] = {
      {"a new run knows nothing", [](run_memory*) {},
       "new checked 0 synced 0 furthest 0 rewrite - unsure 0 compare -"},
      {"syncs and writes only ever rise",
       [](run_memory* m) {
         note_synced(m, 20);
         note_synced(m, 10);
         note_written(m, 30);
         note_written(m, 5);
       },
       "new checked 0 synced 20 furthest 30 rewrite - unsure 0 compare -"},
      {"lost writes begin at the first good sync's end that a failure followed",
       [](run_memory* m) {
         note_synced(m, 30);
         note_lost_writes(m);
         note_synced(m, 50);
         note_lost_writes(m);
       },
       "new checked 0 synced 50 furthest 0 rewrite 30 unsure 0 compare -"},
      {"a rewrite cut short goes on where it stopped",
       [](run_memory* m) {
         note_lost_writes(m);
         note_rewritten(m, 40, false);
       },
       "new checked 0 synced 0 furthest 0 rewrite 40 unsure 0 compare -"},
      {"a whole rewrite leaves none",
       [](run_memory* m) {
         note_lost_writes(m);
         note_rewritten(m, 40, true);
       },
       "new checked 0 synced 0 furthest 0 rewrite - unsure 0 compare -"},
      {"the same source twice is no change, a change of time stamp is",
       [&](run_memory* m) {
         note_source(m, source);
         note_source(m, source);
         note_source(m, touched);
       },
       "new checked 0 synced 0 furthest 0 rewrite - source changed unsure 0 compare -"},
      {"another file of the same size and time is a change that an empty destination answers",
       [&](run_memory* m) {
         note_source(m, source);
         note_source(m, replaced);
         answer_source_change(m, 0);
       },
       "new checked 0 synced 0 furthest 0 rewrite - unsure 0 compare -"},
      {"a change answered by a comparison from the start, which covers every unsure page",
       [&](run_memory* m) {
         note_unsure(&m->unsure_found, {0, 4096});
         note_source(m, source);
         note_source(m, replaced);
         answer_source_change(m, 10);
       },
       "judged checked 0 synced 0 furthest 0 rewrite - unsure 0 compare " +
           std::to_string(changed) + "@0 from 0 rewritten 0 held -"},
      {"a comparison's sync lets it go on a window back, never further back",
       [](run_memory* m) {
         start_comparison(m, compare_reason::differs, 9);
         note_compared(m, 20 * mb);
         note_compared(m, 4 * mb);
       },
       "judged checked 0 synced 20971520 furthest 0 rewrite - unsure 0 compare " +
           std::to_string(differs) + "@9 from 12582912 rewritten 0 held -"},
      {"a comparison started again keeps the first bytes of the page it holds",
       [](run_memory* m) {
         start_comparison(m, compare_reason::differs, 0);
         note_held(m, {"old", 8192, true}, true);
         start_comparison(m, compare_reason::differs, 0);
         note_held(m, {"new", 8192, true}, false);
         note_comparison_rewrote(m, 5);
       },
       "judged checked 0 synced 0 furthest 0 rewrite - unsure 0 compare " +
           std::to_string(differs) + "@0 from 0 rewritten 5 held old"},
      {"a comparison dropped after its page went back",
       [](run_memory* m) {
         start_comparison(m, compare_reason::differs, 0);
         note_held(m, {"old", 0, true}, true);
         drop_comparison(m);
       },
       "judged checked 0 synced 0 furthest 0 rewrite - unsure 0 compare -"},
      {"a created destination: only the source is kept",
       [&](run_memory* m) {
         note_synced(m, 9);
         note_lost_writes(m);
         start_comparison(m, compare_reason::differs, 0);
         note_source(m, source);
         note_created(m);
         note_source(m, source);
       },
       "judged checked 0 synced 0 furthest 0 rewrite - unsure 0 compare -"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    run_memory memory;
    c.steps(&memory);
    EXPECT_EQ(c.expected, state(memory));
  }
}

// The held page counts as a difference only where what it held before differed; the
// second look then covers the comparison's last window.
TEST(RunMemoryTest, AFinishedComparisonCountsWhatDifferedAndIsDue) {
  struct Case {
    bool marked, held_differs;
    std::uint64_t counted;
  } const cases[] = {{false, false, 100 + 7}, {true, false, 100}, {true, true, 100 + 1808}};
  for (const Case& c : cases) {
    run_memory m;
    start_comparison(&m, compare_reason::differs, 0);
    note_comparison_rewrote(&m, 100);
    if (c.marked) note_held(&m, {"page", 20 * mb - 1808, c.held_differs}, true);
    EXPECT_EQ(c.counted, finish_comparison(&m, {20 * mb - 1808, 20 * mb}, 7));
    EXPECT_EQ("judged checked 12582912 synced 20971520 furthest 0 rewrite - unsure 0 compare -",
              state(m));
  }
}

TEST(RunMemoryTest, UnsurePagesMergeUntilTheLimit) {
  unsure_pages u;
  note_unsure(&u, {0, 4096});
  note_unsure(&u, {4096, 8192});
  note_unsure(&u, {16384, 20480});
  note_unsure(&u, {20480, 20480 + unsure_limit});  // past the limit: not kept
  ASSERT_EQ(2u, u.runs.size());
  EXPECT_EQ(8192u, u.runs[0].to);
  EXPECT_EQ(3u * 4096, u.bytes);
}

}  // namespace
}  // namespace zobret
