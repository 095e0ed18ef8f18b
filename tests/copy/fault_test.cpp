// The built zobret with chosen file calls failing or moving fewer bytes (tests/fault/
// fault_inject.c through LD_PRELOAD), on both copy paths: the source on /dev/shm (read and
// pwrite) and beside the destination (the kernel copies the blocks). Every run must end
// with an identical copy, one error line per failed attempt naming the file that failed,
// and " Complete." only after a sync that succeeded; so must runs with closed standard
// descriptors, where the files the tool opens take their numbers.
#include <thread>

#include "test_util.h"

namespace zobret {
namespace {

class FaultTest : public zobret_test::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    if (std::string(ZOBRET_FAULT_LIBRARY).empty())
      GTEST_SKIP() << "needs LD_PRELOAD and /proc/self/fd, which only Linux offers";
    shm_ = "/dev/shm/" + std::filesystem::path(dir_).filename().string();
    std::error_code ec;
    if (!std::filesystem::create_directory(shm_, ec))
      GTEST_SKIP() << "needs /dev/shm for a source on another file system";
  }
  void TearDown() override {
    std::error_code ec;
    if (!shm_.empty()) std::filesystem::remove_all(shm_, ec);
    TempDirTest::TearDown();
  }
  // The source beside the destination (the kernel copies the blocks) or on /dev/shm (read
  // and pwrite move them), holding data, an hour old: older than every destination the
  // tests write, unless they say otherwise.
  std::string source(bool beside, const std::string& data) const {
    const std::string s = beside ? path("s") : shm_ + "/s";
    std::ofstream(s, std::ios::binary) << data;
    zobret_test::set_age(s, 3600);
    return s;
  }
  // The library acting on the files whose path holds `on` ("": all), with these settings.
  launch faults(const std::string& on, const std::string& settings) const {
    return {"env ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=" + q(ZOBRET_FAULT_LIBRARY) +
            " FAULT_LOG=" + quoted("fault.log") + " FAULT_PATH=" + q(on) + " " + settings};
  }
  // The arguments of a copy of src to d.
  std::string to_d(const std::string& src) const { return q(src) + " " + quoted("d"); }
  std::string shm_;
};

// Ending in a zero byte, as a source cut short by a dropped share would: then the tool
// must make sure that the source still has its size.
std::string ending_in_a_zero() { return zobret_test::random_bytes((4u << 20) + 1234) + '\0'; }

TEST_F(FaultTest, EveryFaultEndsInAnIdenticalSyncedCopy) {
  // What the destination holds at the start: nothing (a fresh copy), a prefix of the source
  // (resumed), or a stale prefix, older than the source and different in its first page,
  // so that it is compared whole.
  enum at_start { fresh, resumed, stale };
  // Read and pwrite move blocks only between file systems, or redo one the kernel failed.
  constexpr bool shm_only = false;
  struct Case {
    const char* what;
    const char *calls, *error, *when;  // FAULT_CALLS, FAULT_ERRNO, FAULT_NTH or FAULT_PROB
    std::string on;                    // the file the calls act on ("": any)
    at_start held;                     // what the destination holds at the start
    int tries;                         // Try lines (0: any number)
    const char* says = "";             // what every error line says
    bool beside = true;                // also with the source beside the destination
    std::string named = on;            // the file the error lines name
  };
  const std::string data = ending_in_a_zero(), dst = path("d");
  const std::size_t prefix = (3u << 19) + 4321;  // what a resumed or stale destination holds
  for (const bool beside : {false, true}) {
    SCOPED_TRACE(beside ? "source beside" : "source on /dev/shm");
    const std::string src = source(beside, data);
    const Case cases[] = {
        {"source not opened", "open", "EACCES", "FAULT_NTH=1", src, fresh, 2},
        {"destination not opened", "open", "EACCES", "FAULT_NTH=1", dst, resumed, 2},
        {"source not measured", "stat", "EIO", "FAULT_NTH=1", src, fresh, 2},
        {"destination not measured", "stat", "EIO", "FAULT_NTH=1", dst, resumed, 2},
        // A lookup that times out (a share in its grace period) is no missing file, whatever
        // the access test says: never the fresh copy, never "doesn't seem to be existant".
        {"destination's lookup timing out twice", "stat,access", "ETIMEDOUT", "FAULT_NTH=1-2", dst,
         resumed, 3, "Unable to get the size"},
        {"source's lookup failing twice", "stat,access", "EIO", "FAULT_NTH=1-2", src, fresh, 3,
         "Unable to get the size"},
        {"source's lookup after the last byte failing", "stat", "EIO", "FAULT_NTH=2", src, fresh, 2,
         "Unable to get the size"},
        {"source found cut short after the last byte", "stat", "short", "FAULT_NTH=2", src, fresh,
         2, "The file"},
        {"source not positioned: the line names the destination", "lseek", "EINVAL", "FAULT_NTH=1",
         src, resumed, 2, "", true, dst},
        {"no offsets, says the destination's seek: a file has them all the same", "lseek", "ESPIPE",
         "FAULT_NTH=1", dst, resumed, 1},
        {"source's read failing", "read", "EIO", "FAULT_NTH=2", src, fresh, 2, "", shm_only},
        {"disk full", "pwrite", "ENOSPC", "FAULT_NTH=2", dst, fresh, 2, "", shm_only},
        {"no offsets, says a write: an error, a file has them", "pwrite", "ESPIPE", "FAULT_NTH=1",
         dst, resumed, 2, "", shm_only},
        {"kernel copy failing: by hand", "copy_file_range", "EIO", "FAULT_NTH=1", src, fresh, 1},
        {"file systems the kernel cannot copy between: by hand, no failure", "copy_file_range",
         "EXDEV", "FAULT_NTH=1", src, fresh, 1},
        {"sync failing", "fsync", "EIO", "FAULT_NTH=1", dst, fresh, 2},
        {"sync refused: a file can be synced", "fsync", "EINVAL", "FAULT_NTH=1", dst, fresh, 2},
        {"sync refused as read-only", "fsync", "EROFS", "FAULT_NTH=1", dst, resumed, 2},
        {"close failing", "close", "EIO", "FAULT_NTH=1", dst, fresh, 2},
        {"every call moving half", "read,pread,pwrite,copy_file_range", "short", "", "", fresh, 1},
        {"a read in 20 failing", "read,copy_file_range", "EIO", "FAULT_PROB=0.05", src, fresh, 0},
        // The whole comparison: its reads of either file, its writes, its syncs (first the one
        // after putting the last page out of place, then the one before writing it back).
        {"comparison's source read failing", "pread", "EIO", "FAULT_NTH=3", src, stale, 2},
        {"comparison's destination read failing", "pread", "EIO", "FAULT_NTH=3", dst, stale, 2},
        {"comparison's write: disk full", "pwrite", "ENOSPC", "FAULT_NTH=2", dst, stale, 2},
        {"comparison's first sync failing", "fsync", "EIO", "FAULT_NTH=1", dst, stale, 2},
        {"comparison's second sync failing", "fsync", "EIO", "FAULT_NTH=2", dst, stale, 2},
        {"every call of a comparison moving half", "read,pread,pwrite,copy_file_range", "short", "",
         "", stale, 1},
    };
    for (const Case& c : cases) {
      if ((beside && !c.beside) ||
          (!ZOBRET_KERNEL_COPY && std::string(c.calls) == "copy_file_range"))
        continue;
      SCOPED_TRACE(c.what);
      for (const char* left : {"d", "fault.log"}) std::filesystem::remove(path(left));
      if (c.held != fresh) {
        std::string held = data.substr(0, prefix);
        if (c.held == stale) std::fill(held.begin(), held.begin() + 4096, 'x');
        write_file("d", held);
        if (c.held == stale) age("d", 7200);
      }
      EXPECT_EQ(0, run(to_d(src), faults(c.on, std::string("FAULT_CALLS=") + c.calls +
                                                   " FAULT_ERRNO=" + c.error +
                                                   " FAULT_COUNT=" + q(src) + " " + c.when)));
      EXPECT_TRUE(data == read_file("d"));
      const std::string out = read_file("out.txt"), log = read_file("fault.log");
      int tries = 0, errors = 0;
      for (std::size_t at = out.find("] Try #"); at != std::string::npos;
           at = out.find("] Try #", at + 1))
        ++tries;
      std::istringstream err(read_file("err.txt"));
      for (std::string line; std::getline(err, line); ++errors)
        EXPECT_TRUE(has(line, "] ERROR: " + std::string(c.says)) &&
                    (has(line, "file " + c.named + ".") || has(line, "file " + c.named + " ")))
            << line;
      EXPECT_EQ(tries - 1, errors);
      EXPECT_TRUE(c.tries == 0 || c.tries == tries) << tries << " tries";
      // No attempt shows fewer bytes than the destination held: a fresh copy shows 0.
      EXPECT_TRUE(c.held == fresh || !has(out, "Destination file: " + dst + " (0 of")) << out;
      // The fault did happen, and the last sync of the destination came after it and held.
      const std::size_t synced = log.rfind("fsync " + dst + " ok\n");
      EXPECT_TRUE(synced != std::string::npos && synced > log.rfind("injected ")) << log;
      // A failed sync of a fresh copy leaves nothing known to be on disk: all of it is
      // written again from the source.
      if (std::string(c.calls) == "fsync" && c.held == fresh) {
        EXPECT_GE(std::stoull(log.substr(log.rfind("bytes read ") + 11)), 2 * data.size()) << log;
      }
    }
  }
}

// Closed standard descriptors, which the files the tool opens must not take, and a
// standard output whose reader is gone before the tool starts (a broken pipe).
TEST_F(FaultTest, ClosedStandardDescriptorsAndABrokenPipeLeaveTheCopyAlone) {
  const std::string data = ending_in_a_zero();
  const launch runs[] = {{"", "<&-"},
                         {"", "<&- >&-"},
                         {"", "<&- >&- 2>&-"},
                         {"perl -e 'pipe R, W; close R; open STDOUT, q{>&W}; exec @ARGV'"}};
  for (const bool beside : {false, true}) {
    SCOPED_TRACE(beside ? "source beside" : "source on /dev/shm");
    const std::string src = source(beside, data);
    for (const launch& how : runs) {
      SCOPED_TRACE(how.before + how.after);
      std::filesystem::remove(path("d"));
      EXPECT_EQ(0, run(to_d(src), how));
      EXPECT_TRUE(data == read_file("d"));  // also: no progress line landed in it
      EXPECT_EQ("", read_file("err.txt"));  // a source opened as descriptor 0 opened fine
    }
  }
}

// A pipe takes its blocks in order, without offsets: every write cut short goes on
// behind the bytes the pipe took.
TEST_F(FaultTest, WritesCutShortIntoAPipeGoOnBehindWhatItTook) {
  const std::string data = ending_in_a_zero();
  ASSERT_EQ(0, zobret_test::run_shell("mkfifo " + quoted("d")));
  // Bounded: should the tool never open the pipe, cat's open would wait for ever, and so
  // would the future's end.
  auto reader = std::async(std::launch::async, zobret_test::run_shell,
                           "timeout 120 cat " + quoted("d") + " >" + quoted("piped"));
  EXPECT_EQ(0, run(to_d(source(false, data)),
                   faults(path("d"), "FAULT_CALLS=write FAULT_ERRNO=short")));
  EXPECT_EQ(0, zobret_test::wait_for(std::move(reader)));
  EXPECT_TRUE(data == read_file("piped"));
  EXPECT_PRED2(has, read_file("fault.log"), "injected write ");
}

// A destination that a dropped share left with zero-filled pages: a run's first attempt
// compares every page ending in a zero byte with the source and heals it, also when the
// positioned reads of that look come back short.
TEST_F(FaultTest, FirstLookHealsEveryZeroFilledPage) {
  constexpr std::size_t page = 4096;
  std::string data = zobret_test::random_bytes((26u << 20) + 1234);
  data[7 * page - 1] = '\0';  // a page of the source's own that ends in a zero byte
  auto zeroed = [&](std::size_t k,
                    std::initializer_list<std::pair<std::size_t, std::size_t>> stretches) {
    std::string d = data.substr(0, k);
    for (const auto& [from, to] : stretches) d.replace(from, to - from, to - from, '\0');
    return d;
  };
  const struct {
    const char* name;
    std::string held;
  } damages[] = {
      // Single pages apart from each other: each must be found at its own page boundary.
      {"single pages",
       zeroed(3u << 20, {{3 * page, 4 * page}, {10 * page, 11 * page}, {301 * page, 302 * page}})},
      // The source's own zero-ending page, then a zeroed one: the two compared as one stretch.
      {"after a page of the source's", zeroed(3u << 20, {{7 * page, 8 * page}})},
      {"an unaligned tail", zeroed((2u << 20) + 777, {{(1u << 20) + 5, (2u << 20) + 777}})},
      // Zeros reaching back further than the usual look: an upload's server that went away
      // can leave the file longer than the bytes it received.
      {"a tail of 10 MiB", zeroed((11u << 20) + 99, {{(1u << 20) + 99, (11u << 20) + 99}})},
      // A write lost in flight by a run killed while the share was away, with bytes that
      // arrived behind it: zeros inside the file, more than 8 MiB before its end...
      {"a lost write 9 MiB back", zeroed((11u << 20) + 99, {{2u << 20, 3u << 20}})},
      // ...and further back still, below another one that the look finds.
      {"two lost writes 20 and 13 MiB back",
       zeroed(25u << 20, {{5u << 20, 6u << 20}, {12u << 20, 13u << 20}})},
      // A small one, 9 MiB back between two sampled blocks (every 1.25 MiB): only the look
      // at the last 16 MiB finds it.
      {"a lost write between samples 9 MiB back",
       zeroed(20u << 20, {{11u << 20, (11u << 20) + (128u << 10)}})},
  };
  const std::string src = source(false, data);
  for (const auto& damage : damages) {
    for (const char* on : {"", "d", "s"}) {
      SCOPED_TRACE(std::string(damage.name) + (*on ? std::string(", short reads of ") + on : ""));
      std::filesystem::remove(path("d"));
      write_file("d", damage.held);
      const launch how = faults(*on == 's' ? src : path(on), "FAULT_CALLS=pread FAULT_ERRNO=short");
      EXPECT_EQ(0, run(to_d(src), *on ? how : launch()));
      EXPECT_TRUE(data == read_file("d"));
      if (*on) {
        EXPECT_PRED2(has, read_file("fault.log"), "injected pread ");
      }
    }
  }
}

// Killed at its eighth block, mid-file on either copy path: the destination is a clean
// prefix, and the next run resumes behind it.
TEST_F(FaultTest, KilledRunLeavesAPrefixTheNextRunResumes) {
  const std::string data = zobret_test::random_bytes(8u << 20);
  for (const bool beside : {false, true}) {
    SCOPED_TRACE(beside ? "source beside" : "source on /dev/shm");
    const std::string src = source(beside, data);
    std::filesystem::remove(path("d"));
    EXPECT_NE(0, run(to_d(src), faults(path("d"),
                                       "FAULT_CALLS=pwrite,copy_file_range "
                                       "FAULT_ERRNO=kill FAULT_NTH=8")));
    const std::string held = read_file("d");
    ASSERT_GT(held.size(), 0u);
    ASSERT_LT(held.size(), data.size());
    EXPECT_TRUE(data.compare(0, held.size(), held) == 0);  // a clean prefix
    EXPECT_EQ(0, run(to_d(src)));
    EXPECT_PRED2(has, read_file("out.txt"),
                 "\nSkipping " + std::to_string(held.size()) + " bytes.\n");
    EXPECT_TRUE(data == read_file("d"));
  }
}

// A stale destination (older than its source) whose comparison is killed at each of its
// writes and syncs in turn, also after the step that puts its last page out of place read
// that page as zeros from either file: the next run, whose time stamps say nothing (the
// destination written after the source), still finds what is left and ends with the
// source's bytes. One difference lies in the first sampled block, which the comparison
// writes first; the others lie between samples, where only the held last page (one byte
// past a page boundary here) leads the next run to them.
TEST_F(FaultTest, EveryKilledComparisonIsFoundByTheNextRun) {
  constexpr std::size_t mib = 1u << 20, page = 4096;
  std::string data = zobret_test::random_bytes(8 * mib + 1);
  std::string stale = data;
  for (const std::size_t at :
       {std::size_t{100}, mib + 200 * 1024, 3 * mib + 200 * 1024, 6 * mib + 200 * 1024}) {
    const std::size_t page_end = (at / page + 1) * page - 1;
    data[page_end] = stale[page_end] = 'x';  // no zero-ending page
    stale.replace(at, 5, "stale");
  }
  const std::string src = source(true, data);  // beside: dir_ holds both files
  std::vector<std::string> kills;
  for (int n = 1; n <= 6; ++n)  // the held page, four blocks, the page written back
    kills.push_back("FAULT_CALLS=pwrite FAULT_ERRNO=kill FAULT_NTH=" + std::to_string(n));
  for (int n = 1; n <= 4; ++n)  // after holding the page, before and after writing it back
    kills.push_back("FAULT_CALLS=fsync FAULT_ERRNO=kill FAULT_NTH=" + std::to_string(n));
  // The first block's two reads, then the held page's: the destination's, the source's.
  for (const char* nth : {"3", "4"})
    kills.push_back(std::string("FAULT_CALLS=pread FAULT_ERRNO=zeros FAULT_NTH=") + nth +
                    " FAULT_THEN_CALLS=pwrite FAULT_THEN_ERRNO=kill FAULT_THEN_NTH=3");
  // A write that fails after the held page and the first block, then a kill in the next
  // attempt's rewrite of what the failure may have cost, or at its next sync.
  for (const char* then : {"copy_file_range FAULT_THEN_NTH=2", "fsync FAULT_THEN_NTH=2"})
    kills.push_back(std::string("FAULT_CALLS=pwrite FAULT_ERRNO=ENOSPC FAULT_NTH=3 "
                                "FAULT_THEN_ERRNO=kill FAULT_THEN_CALLS=") +
                    then);
  for (const std::string& kill : kills) {
    SCOPED_TRACE(kill);
    write_file("d", stale);
    age("d", 7200);
    run(to_d(src), faults(dir_, kill));
    const std::string killed = read_file("d");
    // Once a block is written, the last page differs from the source's until the end.
    EXPECT_TRUE(killed == data || killed == stale || killed.back() != data.back());
    age("d", 0);
    EXPECT_EQ(0, run(to_d(src)));
    EXPECT_TRUE(data == read_file("d")) << read_file("out.txt");
  }
}

// Reads that a dropping share fills with zeros, then a failure: a match they made is no
// evidence, and the attempt after the failure compares again. The destination is newer
// than the source, so that only the bytes can tell.
TEST_F(FaultTest, ZeroFilledReadsAreNoEvidence) {
  constexpr std::size_t mib = 1u << 20;
  const std::string zeros(32 * mib, '\0'), random = zobret_test::random_bytes(32 * mib);
  const struct {
    const char* name;
    const std::string& src;
    std::string held;
    char zeroed;  // the file whose reads come back as zeros until the end check fails
  } cases[] = {
      {"a complete destination of zeros", random, zeros, 's'},
      {"zeros below a tail to copy", random, zeros.substr(0, 20 * mib), 's'},
      {"another file read as zeros, a source of zeros", zeros, random, 'd'},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string src = source(false, c.src);
    write_file("d", c.held);  // newer than the source
    EXPECT_EQ(0, run(to_d(src), faults(c.zeroed == 's' ? src : path("d"),
                                       "FAULT_CALLS=pread FAULT_ERRNO=zeros FAULT_THEN_CALLS=stat "
                                       "FAULT_THEN_ERRNO=EIO FAULT_THEN_NTH=2 FAULT_THEN_PATH=" +
                                           q(src))));
    EXPECT_TRUE(c.src == read_file("d"));
    const std::string log = read_file("fault.log");  // zeros, then the failure
    EXPECT_LT(log.find("injected pread"), log.find("injected stat")) << log;
    std::filesystem::remove(path("fault.log"));
  }
}

// The source cut short while a comparison holds the destination's last page out of place:
// the next attempt finds the destination longer than the source, puts back what that page
// held, and ends with the size error, exit status 1 and no " Complete.".
TEST_F(FaultTest, SourceCutShortDuringAComparisonLeavesNoPageOutOfPlace) {
  const std::string data = zobret_test::random_bytes(1u << 20);
  std::string stale = data;
  stale.replace(0, 5, "stale");
  const std::string src = source(false, data);
  write_file("d", stale);
  age("d", 7200);
  // The source's third read (after the first block's and the held page's) fails, and the
  // next attempt measures it at half its size.
  EXPECT_EQ(1, run(to_d(src), faults(src,
                                     "FAULT_CALLS=pread FAULT_ERRNO=EIO FAULT_NTH=3 "
                                     "FAULT_THEN_CALLS=stat FAULT_THEN_ERRNO=short "
                                     "FAULT_THEN_NTH=2")));
  const std::string held = read_file("d");
  ASSERT_EQ(stale.size(), held.size());
  EXPECT_TRUE(held.compare(held.size() - 4096, 4096, stale, stale.size() - 4096, 4096) == 0);
  EXPECT_PRED2(has, read_file("err.txt"), "ERROR: Destination file size is");
  EXPECT_FALSE(has(read_file("out.txt"), "Complete."));
}

// Time stamps at the edge of the clock allowance, and past what 64 bits of nanoseconds
// hold (on a tmpfs, which keeps them): a true prefix is compared whole where the source
// may be newer, and only there.
TEST_F(FaultTest, TimeStampsAtTheAllowanceAndPastSixtyFourBits) {
  const std::string data = zobret_test::random_bytes(1u << 20);
  const struct {
    const char *source, *destination;
    bool suspect;
  } cases[] = {
      {"@1700000000.05", "@1700000120", true},   // 119.95 s before: within the allowance
      {"@1699999999.95", "@1700000120", false},  // 120.05 s before
      {"2300-01-01 UTC", "@1700000000", true},  {"2262-04-19 UTC", "@1700000000", true},
      {"@1700000000", "1600-01-01 UTC", true},  {"1600-01-01 UTC", "@1700000000", false},
  };
  const std::string src = shm_ + "/s", dst = shm_ + "/d";
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.source) + " against " + c.destination);
    std::ofstream(src, std::ios::binary) << data;
    std::ofstream(dst, std::ios::binary) << data.substr(0, 300000);
    EXPECT_EQ(0, zobret_test::run_shell("touch -m -d " + q(c.source) + " " + q(src) +
                                        " && touch -m -d " + q(c.destination) + " " + q(dst)));
    EXPECT_EQ(0, run(q(src) + " " + q(dst), together()));
    EXPECT_EQ(0, zobret_test::run_shell("cmp " + q(src) + " " + q(dst)));
    EXPECT_EQ(c.suspect, has(read_file("out.txt"), "may have changed since"))
        << read_file("out.txt");
  }
}

// A read that hangs for over a minute (a hard mount whose server is hung): one line says
// which file the run waits for, after the open progress line, and the display goes on
// in a line of its own.
TEST_F(FaultTest, ACallThatHangsAMinuteIsExplainedInTheLog) {
  const std::string data = zobret_test::random_bytes(1u << 20), src = source(false, data);
  launch how = faults(src, "FAULT_CALLS=read FAULT_ERRNO=stall FAULT_STALL=64 FAULT_NTH=3");
  how.err = how.out;
  ASSERT_EQ(0, run(to_d(src), how));
  EXPECT_TRUE(data == read_file("d"));
  const std::string out = read_file("out.txt");
  const std::regex waiting("\\.\\[[0-9. :]{19}\\] Waiting for the file " + src +
                           ": no answer for 60 s\\.\n0000[0-9]{4}K > [.]");
  EXPECT_TRUE(std::regex_search(out, waiting)) << out;
  EXPECT_EQ(out.find("Waiting"), out.rfind("Waiting")) << out;  // once
}

// A clock that cannot be read gives every log line the placeholder time stamp.
TEST_F(FaultTest, AClockThatCannotBeReadGivesThePlaceholder) {
  EXPECT_EQ(0, run(to_d(source(false, "data")), faults("", "FAULT_CALLS=time FAULT_ERRNO=EIO")));
  const std::string out = read_file("out.txt");
  EXPECT_PRED2(has, out, "[00.00.0000 00:00:00] Try #1\n");
  EXPECT_PRED2(has, out, "[00.00.0000 00:00:00] Complete.\n");
}

// The first look at a true prefix costs the copy little more of the source than its tail:
// at most 2 MiB for the samples and the last MiB, and the pages ending in a zero byte.
TEST_F(FaultTest, FirstLookAtATruePrefixReadsLittleOfTheSource) {
  const std::string data = zobret_test::random_bytes(40u << 20);
  for (const bool beside : {false, true}) {
    SCOPED_TRACE(beside ? "source beside" : "source on /dev/shm");
    const std::string src = source(beside, data);
    std::filesystem::remove(path("fault.log"));
    write_file("d", data.substr(0, 30u << 20));
    EXPECT_EQ(0, run(to_d(src), faults("", "FAULT_COUNT=" + q(src))));
    EXPECT_TRUE(data == read_file("d"));
    const std::string log = read_file("fault.log");
    EXPECT_LE(std::stoull(log.substr(log.rfind("bytes read ") + 11)),
              (10u << 20) + (2u << 20) + (128u << 10))
        << log;
  }
}

// The source replaced (renamed over, or rewritten in place) while a run waits between two
// attempts, or while an attempt copies: the run, which remembers what the source was,
// compares the destination whole with the new source and ends with its bytes.
TEST_F(FaultTest, SourceReplacedWithinARunIsComparedWhole) {
  const std::string old_data = zobret_test::random_bytes(4u << 20, 1),
                    new_data = zobret_test::random_bytes(4u << 20, 2);
  const struct {
    const char* when;
    std::string faults;  // the tool stops (SIGSTOP) where the source is replaced
    const char* error;   // what the error lines say
  } moments[] = {
      {"between two attempts",
       "FAULT_CALLS=read FAULT_ERRNO=EIO FAULT_NTH=2 FAULT_STOP_CALLS=stat FAULT_STOP_NTH=2",
       "An erorr occured while reading the file"},
      {"while an attempt copies", "FAULT_STOP_CALLS=read FAULT_STOP_NTH=2",
       "changed while it was copied"},
  };
  for (const auto& moment : moments) {
    for (const bool in_place : {false, true}) {
      SCOPED_TRACE(std::string(moment.when) +
                   (in_place ? ", rewritten in place" : ", renamed over"));
      const std::string src = source(false, old_data);
      for (const char* left : {"d", "pid", "fault.log"}) std::filesystem::remove(path(left));
      launch how = faults(src, moment.faults);
      how.before = "sh -c 'echo $$ >\"$0\"; exec \"$@\"' " + quoted("pid") + " " + how.before;
      auto copy = start(to_d(src), how);
      // Until the tool stands still at its stop (stopped: state T).
      const std::string stopped = "grep -qs '^State:.*T' /proc/$(cat " + quoted("pid") + ")/status";
      for (int i = 0; i < 2000 && !(exists("pid") && zobret_test::run_shell(stopped) == 0); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (in_place) {
        std::fstream(src, std::ios::in | std::ios::out | std::ios::binary)
            .write(new_data.data(), static_cast<std::streamsize>(new_data.size()));
      } else {
        std::ofstream(src + ".new", std::ios::binary) << new_data;
        std::filesystem::rename(src + ".new", src);
      }
      zobret_test::run_shell("kill -CONT $(cat " + quoted("pid") + ")");
      EXPECT_EQ(0, zobret_test::wait_for(std::move(copy)));
      EXPECT_TRUE(new_data == read_file("d"));
      EXPECT_PRED2(has, read_file("out.txt"),
                   "] The source has changed since the first attempt: comparing all ");
      EXPECT_PRED2(has, read_file("err.txt"), moment.error);
      EXPECT_PRED2(has, read_file("fault.log"), "stopped at ");
    }
  }
}

}  // namespace
}  // namespace zobret
