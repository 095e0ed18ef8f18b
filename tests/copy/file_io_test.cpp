// The platform layer on its own: what the system tells of how a file is best read, and
// which handles count as synced when the system refuses to flush them.
#include "copy/file_io.h"

#include "test_util.h"

#ifdef __linux__
#include <sys/stat.h>       // stat
#include <sys/sysmacros.h>  // major, minor
#endif
#ifdef _WIN32
#include <fcntl.h>  // _O_RDONLY, _O_BINARY
#include <io.h>     // _open, _close
#endif

namespace zobret {
namespace {

using FileIoTest = zobret_test::TempDirTest;

TEST_F(FileIoTest, AFileTellsItsPreferredSizeAClosedHandleNothing) {
  write_file("s", "data");
  const int handle = open_source(path("s").c_str());
  ASSERT_GE(handle, 0);
  const read_sizes sizes = source_read_sizes(handle);
#ifndef _WIN32
  EXPECT_GE(sizes.preferred, 512u);  // st_blksize: at least a sector
  EXPECT_EQ(0u, sizes.preferred % 512);
#else
  EXPECT_EQ(0u, sizes.preferred);  // Windows tells nothing
#endif
#ifdef __linux__
  // The read-ahead size (read_ahead_kb) of the file system's device, where it has its own
  // (a build without statx, as on macOS, tells none).
  struct stat st;
  ASSERT_EQ(0, stat(path("s").c_str(), &st));
  std::ifstream kb("/sys/class/bdi/" + std::to_string(major(st.st_dev)) + ":" +
                   std::to_string(minor(st.st_dev)) + "/read_ahead_kb");
  std::uint64_t expected = 0;
  if (kb >> expected) expected *= 1024;
  EXPECT_EQ(ZOBRET_READAHEAD_TOLD ? expected : 0, sizes.readahead);
  // Asked at every loop's start: it leaves no descriptor open behind it.
  using fds = std::filesystem::directory_iterator;
  const auto open_descriptors = [] { return std::distance(fds("/proc/self/fd"), fds()); };
  const auto before = open_descriptors();
  for (int i = 0; i < 20; ++i) source_read_sizes(handle);
  EXPECT_EQ(before, open_descriptors());
#endif
  EXPECT_TRUE(close_file(handle));
  // A closed handle tells nothing (Windows tells nothing of any handle).
  const read_sizes closed = source_read_sizes(handle);
  EXPECT_EQ(0u, closed.preferred);
  EXPECT_EQ(0u, closed.readahead);
}

// Windows refuses to flush a handle opened for reading only (a complete destination that
// may not be written). Only such a handle counts as synced then: one opened for writing
// whose flush is refused has not synced.
TEST_F(FileIoTest, RefusedFlushCountsOnlyForAHandleOpenedForReading) {
  write_file("d", "data");
  const int handle = open_source(path("d").c_str());
  ASSERT_GE(handle, 0);
  EXPECT_TRUE(sync_file(handle));
  EXPECT_TRUE(close_file(handle));
  if (!zobret_test::read_only_flush_refused)
    GTEST_SKIP() << "this system syncs a handle opened for reading";
#ifdef _WIN32
  // The same refusal for a handle the copy did not open for reading (as one opened for
  // writing whose rights the share took away) is no sync.
  const int other = _open(path("d").c_str(), _O_RDONLY | _O_BINARY);
  ASSERT_GE(other, 0);
  EXPECT_FALSE(sync_file(other));
  _close(other);
#endif
}

}  // namespace
}  // namespace zobret
