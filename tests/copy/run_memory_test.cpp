// What a run remembers between its attempts, step by step: each row takes a new run
// through a few steps and reads back what they leave.
#include <functional>
#include <string>

#include "copy/run_memory.h"
#include "gtest/gtest.h"

namespace zobret {
namespace {

constexpr std::uint64_t mb = 1 << 20;

// What a row reads back, in a line: what differs from a new run, offsets in bytes.
std::string state(const run_memory& m) {
  std::string s = m.judged ? "judged" : "";
  const auto put = [&s](const char* name, std::uint64_t v) {
    if (v != 0) s += std::string(" ") + name + " " + std::to_string(v);
  };
  put("checked", m.checked_until), put("synced", m.synced_until), put("furthest", m.furthest);
  if (m.rewrite_from) s += " rewrite " + std::to_string(*m.rewrite_from);
  if (m.source_changed) s += " source changed";
  put("unsure", m.unsure_found.runs.size() + m.unsure_written.runs.size());
  if (!m.compare) return s;
  const comparison& c = *m.compare;
  s += " compare " + std::to_string(int(c.why)) + "@" + std::to_string(c.differs_at);
  put("from", c.from), put("rewritten", c.rewritten);
  return s + (c.marked ? " marked" : "") + (c.held ? " held " + c.held->bytes : "");
}

TEST(RunMemoryTest, EachStepLeavesWhatTheNextAttemptNeeds) {
  const file_facts source{100, 7, 1, 2}, replaced{100, 7, 1, 3}, touched{100, 8, 1, 2};
  // The reasons as state() shows them: 0 differs, 2 the source changed.
  static_assert(int(compare_reason::differs) == 0 && int(compare_reason::source_changed) == 2);
  using steps = std::function<void(run_memory*)>;
  struct Case {
    const char* what;
    steps apply;
    const char* expected;
  } const cases[] = {
      {"a new run knows nothing", [](run_memory*) {}, ""},
      {"syncs and writes only ever rise",
       [](run_memory* m) {
         note_synced(m, 20), note_synced(m, 10), note_written(m, 30), note_written(m, 5);
       },
       " synced 20 furthest 30"},
      {"lost writes begin where the last good sync before the first failure ended",
       [](run_memory* m) {
         note_synced(m, 30), note_lost_writes(m), note_synced(m, 50), note_lost_writes(m);
       },
       " synced 50 rewrite 30"},
      {"a rewrite cut short goes on where it stopped",
       [](run_memory* m) { note_lost_writes(m), note_rewritten(m, 40); }, " rewrite 40"},
      {"a whole rewrite leaves none",
       [](run_memory* m) { note_lost_writes(m), note_rewrite_done(m); }, ""},
      {"the same source twice is no change, a new time stamp is",
       [&](run_memory* m) {
         note_source(m, source), note_source(m, source), note_source(m, touched);
       },
       " source changed"},
      {"another file, answered by an empty destination",
       [&](run_memory* m) {
         note_source(m, source), note_source(m, replaced), answer_source_change(m, 0);
       },
       ""},
      {"another file, answered by a comparison from the start that covers every unsure page",
       [&](run_memory* m) {
         note_unsure(&m->unsure_found, {0, 4096}), note_source(m, source), note_source(m, replaced);
         answer_source_change(m, 10);
       },
       "judged compare 2@0"},
      {"a comparison's sync lets it go on a window back, never further back",
       [](run_memory* m) {
         start_comparison(m, compare_reason::differs, 9), note_compared(m, 40 * mb),
             note_compared(m, 4 * mb);
       },
       "judged synced 41943040 compare 0@9 from 25165824"},
      {"a comparison started again keeps the first bytes of the page it holds",
       [](run_memory* m) {
         start_comparison(m, compare_reason::differs, 0), note_held(m, {"old", 8192, true}, true);
         start_comparison(m, compare_reason::differs, 0), note_held(m, {"new", 8192, true}, false);
         note_comparison_rewrote(m, 5);
       },
       "judged compare 0@0 rewritten 5 held old"},
      {"a comparison dropped after its page went back",
       [](run_memory* m) {
         start_comparison(m, compare_reason::differs, 0), note_held(m, {"old", 0, true}, true),
             drop_comparison(m);
       },
       "judged"},
      {"a created destination: only the source is kept",
       [&](run_memory* m) {
         note_synced(m, 9), note_lost_writes(m), start_comparison(m, compare_reason::differs, 0);
         note_source(m, source), note_created(m), note_source(m, source);
       },
       "judged"},
  };
  for (const Case& c : cases) {
    run_memory memory;
    c.apply(&memory);
    EXPECT_EQ(c.expected, state(memory)) << c.what;
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
    EXPECT_EQ("judged checked 4194304 synced 20971520", state(m));
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
