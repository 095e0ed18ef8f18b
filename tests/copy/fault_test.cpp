// The built zobret with chosen file calls failing or moving fewer bytes (tests/fault/
// fault_inject.c through LD_PRELOAD), on both copy paths: the source on /dev/shm (read and
// pwrite) and beside the destination (the kernel copies the blocks). Every run must end
// with an identical copy, one error line per failed attempt naming the file that failed,
// and " Complete." only after a sync that succeeded; so must runs with closed standard
// descriptors, where the files the tool opens take their numbers.
#include "test_util.h"

namespace zobret {
namespace {

class FaultTest : public zobret_test::TempDirTest {};

TEST_F(FaultTest, EveryFaultEndsInAnIdenticalSyncedCopy) {
  const std::string library = ZOBRET_FAULT_LIBRARY;
  if (library.empty()) GTEST_SKIP() << "needs LD_PRELOAD and /proc/self/fd, which only Linux offers";
  const std::string shm = "/dev/shm/" + std::filesystem::path(dir_).filename().string();
  std::error_code ec;
  if (!std::filesystem::create_directory(shm, ec)) GTEST_SKIP() << "needs /dev/shm for a source on another file system";
  struct Case {
    const char *calls, *error, *when;  // FAULT_CALLS, FAULT_ERRNO, FAULT_NTH or FAULT_PROB
    char on, named;  // the file the calls act on and the one the error lines name: 's', 'd', ' ' any / none
    bool resume;     // the destination holds a prefix at the start
    int attempts;    // Try lines (0: any number)
    bool beside;     // also with the source beside the destination (read and pwrite move blocks only
                     // between file systems, or redo one the kernel failed)
  } const cases[] = {
      {"open", "EACCES", "FAULT_NTH=1", 's', 's', false, 2, true},
      {"open", "EACCES", "FAULT_NTH=1", 'd', 'd', true, 2, true},
      {"stat", "EIO", "FAULT_NTH=3", 's', 's', false, 2, true},  // the third: the size
      {"stat", "EIO", "FAULT_NTH=3", 'd', 'd', true, 2, true},
      {"fstat", "EIO", "FAULT_NTH=1", 's', 's', false, 2, true},
      {"fstat", "short", "FAULT_NTH=1", 's', 's', false, 2, true},  // the source was cut short
      {"lseek", "EINVAL", "FAULT_NTH=1", 's', 'd', true, 2, true},  // the line names the destination
      {"read", "EIO", "FAULT_NTH=2", 's', 's', false, 2, false},
      {"pwrite", "ENOSPC", "FAULT_NTH=2", 'd', 'd', false, 2, false},
      {"pwrite", "ESPIPE", "FAULT_NTH=1", 'd', 'd', true, 2, false},  // a file has offsets
      {"copy_file_range", "EIO", "FAULT_NTH=1", 's', ' ', false, 1, true},  // redone by hand
      {"fsync", "EIO", "FAULT_NTH=1", 'd', 'd', false, 2, true},
      {"fsync", "EINVAL", "FAULT_NTH=1", 'd', 'd', false, 2, true},  // not synced: a file can be
      {"fsync", "EROFS", "FAULT_NTH=1", 'd', 'd', true, 2, true},
      {"close", "EIO", "FAULT_NTH=1", 'd', 'd', false, 2, true},
      {"read,pwrite,copy_file_range", "short", "", ' ', ' ', false, 1, true},
      {"read,copy_file_range", "EIO", "FAULT_PROB=0.05", 's', 's', false, 0, true},
  };
  const std::string data = zobret_test::random_bytes((4u << 20) + 1234);
  const std::string destination = path("d");
  const auto q = zobret_test::shell_quote;
  for (const bool beside : {false, true}) {
    const std::string source = beside ? path("s") : shm + "/s";
    std::ofstream(source, std::ios::binary) << data;
    auto file = [&](char which) { return which == 's' ? source : which == 'd' ? destination : ""; };
    // Runs the copy afresh or from a prefix, with the library when env is set; its exit status.
    auto run_copy = [&](bool resume, const std::string& env, const std::string& closed) {
      for (const char* name : {"d", "fault.log", "out.txt", "err.txt"}) std::filesystem::remove(path(name));
      if (resume) write_file("d", data.substr(0, (3u << 19) + 4321));
      return zobret_test::run_shell("timeout -s KILL 20 env " + env + " " + q(ZOBRET_BINARY) + " " + q(source) + " " +
                                    q(destination) + " >" + quoted("out.txt") + " 2>" + quoted("err.txt") + " " + closed);
    };
    for (const Case& c : cases) {
      if (beside && !c.beside) continue;
      SCOPED_TRACE(std::string(c.calls) + " " + c.error + " " + c.when + (c.resume ? ", resumed" : "") +
                   (beside ? ", source beside" : ", source on /dev/shm"));
      EXPECT_EQ(0, run_copy(c.resume, "ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=" + q(library) + " FAULT_LOG=" +
                                          quoted("fault.log") + " FAULT_CALLS=" + c.calls + " FAULT_ERRNO=" + c.error +
                                          " FAULT_PATH=" + q(file(c.on)) + " " + c.when, ""));
      EXPECT_TRUE(data == read_file("d"));
      const std::string out = read_file("out.txt"), faults = read_file("fault.log");
      int tries = 0, errors = 0;
      for (std::size_t at = out.find("] Try #"); at != std::string::npos; at = out.find("] Try #", at + 1)) ++tries;
      std::istringstream err(read_file("err.txt"));
      for (std::string line; std::getline(err, line); ++errors)
        EXPECT_TRUE(line.find("] ERROR: ") != std::string::npos &&
                    (line.find("file " + file(c.named) + ".") != std::string::npos ||
                     line.find("file " + file(c.named) + " ") != std::string::npos)) << line;
      EXPECT_EQ(tries - 1, errors);
      EXPECT_TRUE(c.attempts == 0 || c.attempts == tries) << tries << " tries";
      // The fault did happen, and the last sync of the destination came after it and held.
      const std::size_t synced = faults.rfind("fsync " + destination + " ok\n");
      EXPECT_TRUE(synced != std::string::npos && synced > faults.rfind("injected ")) << faults;
    }
    for (const char* closed : {"<&-", "<&- >&-", "<&- >&- 2>&-"}) {
      SCOPED_TRACE(std::string(closed) + (beside ? ", source beside" : ", source on /dev/shm"));
      EXPECT_EQ(0, run_copy(false, "", closed));
      EXPECT_TRUE(data == read_file("d"));  // also: no progress line landed in it
      EXPECT_EQ("", read_file("err.txt"));  // a source opened as descriptor 0 opened fine
    }
  }
  std::filesystem::remove_all(shm, ec);
}

}  // namespace
}  // namespace zobret
