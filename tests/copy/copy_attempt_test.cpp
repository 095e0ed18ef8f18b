// One copy attempt in-process: its outcome, its lines, and what it leaves on disk.
#include "copy/copy_attempt.h"

#include <functional>

#include "copy/destination_check.h"  // prepare_rewrite
#include "copy/file_io.h"            // path_separator, open_source, owned_handle

#include "test_util.h"

namespace zobret {
namespace {

class CopyAttemptTest : public zobret_test::TempDirTest {
 protected:
  int attempt(const std::string& src, const std::string& dst) {
    return copy_attempt(src.c_str(), dst.c_str());
  }
};

TEST_F(CopyAttemptTest, OutcomesAndTheirLines) {
  const std::string data = zobret_test::random_bytes(70000);
  struct Case {
    const char* name;
    std::function<void()> setup;
    int result;
    std::string out_has, err_has;
    std::string dst_after;  // what the copy holds afterwards ("-" when absent); when the
                            // destination is a folder, the copy is its file of the source's name
    std::string src = "s", dst = "d";  // in the test's folder
    std::string folder = "";           // a folder made before the attempt
  };
  // A setup that writes the source, and the destination unless it is "-".
  auto holding = [&](const std::string& source, const std::string& destination = "-") {
    return [&, source, destination] {
      write_file("s", source);
      if (destination != "-") write_file("d", destination);
    };
  };
  const Case cases[] = {
      {"missing source", [] {}, -1, "",
       " ERROR: The file " + path("none") + " doesn't seem to be existant.\n", "-", "none"},
      // A path that runs through a file is missing too, not a size error.
      {"source below a file", [&] { write_file("notes.txt", "notes"); }, -1, "",
       " ERROR: The file " + path("notes.txt/big.iso") + " doesn't seem to be existant.\n", "-",
       "notes.txt/big.iso"},
      {"source is a directory", [] {}, -1, "",
       " ERROR: The file " + path("dir") + " is a directory.\n", "-", "dir", "d", "dir"},
      {"fresh copy", holding(data), 0, "] Total 70000 bytes to go.\n\n00000000K > ", "", data},
      {"empty source", holding(""), 0,
       "(0 of 0 bytes).\n[TIME] Total 0 bytes to go.\n\n00000000K > ", "", ""},
      {"complete destination", holding(data, data), 0,
       "(70000 of 70000 bytes).\n[TIME] Total 0 bytes to go.\n", "", data},
      {"longer destination", holding("", "12345"), 1,
       "(5 of 0 bytes).\n[TIME] Total 4294967291 bytes to go.\n",
       " ERROR: Destination file size is bigger than source file size.\n", "12345"},
      {"resume", holding(data, data.substr(0, 12345)), 0,
       "\nSkipping 12345 bytes.\n\n00000012K > ,,,,,,,,,, ,,.", "", data},
      // A dropped share can leave zeros where data belongs just before the resume point:
      // the first look finds them, and the comparison heals them before the copy goes on.
      {"resume over zeros", holding(data, data.substr(0, 30000) + std::string(10000, '\0')), 0,
       "\nSkipping 40000 bytes.\n\n00000040K > ,,,,,,,,,, ,,,,,,,,,, ,,,,,,,,,, ,,,,,,,,,, . ", "",
       data},
      {"complete destination ending in zeros",
       holding(data, data.substr(0, 60000) + std::string(10000, '\0')), 0,
       "(70000 of 70000 bytes).\n[TIME] Total 0 bytes to go.\n", "", data},
      {"destination in a missing directory", holding(data), -1, "\n00000000K > ",
       " ERROR: Unable to open the file " + path("no/d") + " for writing.\n", "-", "s", "no/d"},
      // A folder whose file of the source's name is a folder too: nothing to write into.
      {"destination folder holds a folder of the source's name", holding(data), -1, "",
       " ERROR: The file " + path("into") + path_separator() + "s is a directory.\n", "-", "s",
       "into", "into/s"},
      {"destination is a directory", holding(data), 0,
       " Destination file: " + path("into") + path_separator() + "s (0 of", "", data, "s", "into",
       "into"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directory(dir_);
    clear();
    c.setup();
    if (!c.folder.empty()) std::filesystem::create_directories(path(c.folder));
    if (std::filesystem::is_regular_file(path("s"))) age("s", 3600);  // older than its copy
    EXPECT_EQ(c.result, attempt(path(c.src), path(c.dst)));
    const std::string o = zobret_test::strip_timestamps(out());
    const std::string e = zobret_test::strip_timestamps(err());
    EXPECT_PRED2(has, o, c.out_has);
    if (c.err_has.empty()) EXPECT_EQ("", e);
    else EXPECT_PRED2(has, e, c.err_has);
    const std::string copy = std::filesystem::is_directory(path(c.dst)) ? c.dst + "/s" : c.dst;
    if (c.dst_after == "-") EXPECT_FALSE(std::filesystem::is_regular_file(path(copy)));
    else EXPECT_EQ(c.dst_after, read_file(copy));
  }
}

// Destinations that are not the source's prefix, as users meet them, each with the time
// stamps set both ways: every signal is tried where it alone can see the difference (the
// other one says nothing), and every one ends with the source's bytes. A true prefix is
// compared no further than the first look, however old its source.
TEST_F(CopyAttemptTest, DestinationsThatAreNoPrefixOfTheSourceAreMended) {
  constexpr std::size_t kib = 1024, mib = 1024 * kib;
  std::string old_version = zobret_test::random_bytes(4 * mib, 1);
  const std::string new_version = zobret_test::random_bytes(5 * mib, 2);
  // Edits in place of a 3 MiB copy: one that no sampled block (every 192 KiB), no page
  // ending in a zero byte and not the last MiB shows, one inside the sixth sample.
  constexpr std::size_t hidden = mib + 100 * kib, sampled = 5 * 192 * kib + 10;
  old_version[(hidden / 4096 + 1) * 4096 - 1] = 'x';
  std::string edited = old_version, edited_sampled = old_version;
  edited.replace(hidden, 6, "edited");
  edited_sampled.replace(sampled, 6, "edited");
  const std::string other = zobret_test::random_bytes(20 * mib + 5, 3),
                    another = zobret_test::random_bytes(20 * mib + 5, 4);
  const std::string differs = "differs from the source at byte ",
                    suspect = "may have changed since", first_byte = differs + "0:";
  struct Case {
    const char* name;
    std::string src, dst;
    // What the comparison's first line says with the source older than the destination, and
    // with the source newer ("": no comparison; "-": not tried that way).
    std::string if_older, if_newer;
    const char* into = "";  // the destination folder holding the file of the source's name
  } const cases[] = {
      {"replaced, same size", new_version.substr(0, 4 * mib), old_version.substr(0, mib + 5),
       first_byte, suspect},
      {"replaced by a longer one", new_version, old_version.substr(0, mib), first_byte, suspect},
      {"an older, shorter file of the same name in the folder", new_version,
       old_version.substr(0, 300000), first_byte, suspect, "into"},
      {"last week's complete copy", new_version.substr(0, 4 * mib), old_version, first_byte,
       suspect},
      {"edited in place where only the time stamps tell", edited, old_version.substr(0, 3 * mib),
       "-", suspect},
      {"edited in place in a sampled block", edited_sampled, old_version.substr(0, 3 * mib),
       differs + std::to_string(sampled) + ":", "-"},
      {"zeros a share left at the end", old_version,
       old_version.substr(0, 2 * mib) + std::string(64 * kib, '\0'),
       differs + std::to_string(2 * mib) + ":", "-"},
      {"another file, longer than the first look", another, other, first_byte, "-"},
      {"a true prefix", old_version, old_version.substr(0, 3 * mib), "",
       "all of them matched the source"},
      {"a true complete copy", old_version, old_version, "", "-"},
  };
  for (const Case& c : cases) {
    for (const bool newer : {false, true}) {
      const std::string& says = newer ? c.if_newer : c.if_older;
      if (says == "-") continue;
      SCOPED_TRACE(std::string(c.name) + (newer ? ", the source newer" : ", the source older"));
      std::filesystem::remove_all(dir_);
      std::filesystem::create_directories(path("into"));
      const std::string dst = *c.into ? std::string("into/s") : "d";
      write_file("s", c.src);
      write_file(dst, c.dst);
      age("s", newer ? 3600 : 7200);
      age(dst, newer ? 7200 : 3600);
      clear();
      run_memory memory;
      int tries = 0;
      while (tries < 5 &&
             copy_attempt(path("s").c_str(), path(*c.into ? c.into : "d").c_str(), &memory) != 0)
        ++tries;
      EXPECT_LT(tries, 5) << err();
      EXPECT_TRUE(c.src == read_file(dst));
      const std::string o = out();
      if (says.empty()) EXPECT_FALSE(has(o, "ompar")) << o;
      else EXPECT_PRED2(has, o, says);
      EXPECT_EQ("", err());
    }
  }
}

// Bytes that a failure cost are written again while a comparison is due: the
// destination's last page is held out of place first, from the source's bytes, and the
// rewrite stops before it, so that the page stays out of place until the comparison ends.
TEST_F(CopyAttemptTest, ARewriteDuringAComparisonKeepsTheLastPageHeld) {
  const std::string data = zobret_test::random_bytes(3 * 4096 + 100);
  for (const bool due : {true, false}) {
    SCOPED_TRACE(due ? "a comparison due" : "none due");
    write_file("s", data);
    write_file("d", data);
    run_memory memory;
    if (due) start_comparison(&memory, compare_reason::differs, 0);
    copy_job job{{"s", owned_handle(open_source(path("s").c_str())), {}},
                 {"d", owned_handle(open_destination(path("d").c_str())), {}},
                 data.size()};
    std::uint64_t to = 0;
    for (int call = 0; call < 2; ++call) {  // the second finds the page held already
      ASSERT_EQ(copy_result::done, prepare_rewrite(job, &memory, data.size(), &to));
      EXPECT_EQ(due ? 3 * 4096 : data.size(), to);
    }
    std::string held = data;
    for (std::size_t i = 3 * 4096; due && i < held.size(); ++i) held[i] = char(~held[i]);
    EXPECT_TRUE(held == read_file("d"));
    EXPECT_EQ(due, memory.compare && memory.compare->marked);
    EXPECT_EQ(due ? data.substr(3 * 4096) : "", due ? memory.compare->held->bytes : "");
  }
}

TEST_F(CopyAttemptTest, NullDeviceAsDestination) {
  write_file("s", zobret_test::random_bytes(200000));
  // The null device cannot be synced, which is no lost write.
  EXPECT_EQ(0, attempt(path("s"), zobret_test::null_device));
  EXPECT_EQ("", err());
}

TEST_F(CopyAttemptTest, DestinationThatAnotherProgramWrites) {
  const std::string data = zobret_test::random_bytes(70000);
  write_file("s", data);
  write_file("d", data.substr(0, 1000));
  std::ofstream writer(path("d"), std::ios::binary | std::ios::app);
  ASSERT_TRUE(writer.is_open());
  const int result = attempt(path("s"), path("d"));
  if (zobret_test::writers_block_size_query) {
    // It cannot be measured, so it must not be appended to: the size error, retry later.
    EXPECT_EQ(-1, result);
    EXPECT_PRED2(has, err(), " ERROR: Unable to get the size of the file " + path("d") + ".\n");
    EXPECT_EQ(data.substr(0, 1000), read_file("d"));
  } else {
    EXPECT_EQ(0, result);
    EXPECT_EQ(data, read_file("d"));
  }
}

TEST_F(CopyAttemptTest, SourceWithoutASizeIsNeverCopiedAsEmpty) {
  ZOBRET_NEEDS_LINUX_FIXTURE("a pipe and a device as source");
  ASSERT_EQ(0, zobret_test::run_shell("mkfifo " + quoted("fifo")));
  for (const std::string& src : {path("fifo"), std::string("/dev/zero")}) {
    clear();
    EXPECT_EQ(-1, attempt(src, path("d"))) << src;
    EXPECT_EQ(" ERROR: Unable to get the size of the file " + src + ".\n",
              zobret_test::strip_timestamps(err()).substr(6))
        << src;
    EXPECT_FALSE(exists("d")) << src;
  }
}

TEST_F(CopyAttemptTest, SourceEndingEarlyIsAReadError) {
  // sysfs reports 4096 bytes for files that hold far fewer.
  const std::string src = "/sys/kernel/mm/transparent_hugepage/enabled";
  std::uint64_t n = 0;
  if (!std::filesystem::exists(src) || (n = std::filesystem::file_size(src)) == 0)
    GTEST_SKIP() << "no sysfs file whose reported size exceeds its content";
  EXPECT_EQ(-1, attempt(src, path("d")));
  EXPECT_PRED2(has, err(), " ERROR: An erorr occured while reading the file " + src + ".\n");
  // What was read is on disk as the resume point.
  const std::string got = read_file("d");
  EXPECT_LT(got.size(), n);
  EXPECT_FALSE(got.empty());
}

}  // namespace
}  // namespace zobret
