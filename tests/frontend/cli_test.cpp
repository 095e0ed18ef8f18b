// The built zobret binary on real files: command line, exact screen, resume after a
// kill, retries until a failure goes away, big files, concurrent runs, permissions.
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "test_util.h"

namespace zobret {
namespace {

using namespace std::chrono_literals;

const std::string banner =
    "ZOBRET v1.1 :: Samba (Windows Network Downloader)\n"
    "Copyright (c) the ZOBRET developers.\n"
    "Visit https://zobret.example.org/releases for updates.\n\n";

class CliTest : public zobret_test::TempDirTest {
 protected:
  // Starts "zobret args" in the background with its output in out.txt; returns its pid.
  pid_t spawn(const std::string& args, const std::string& prefix = "") {
    const pid_t pid = fork();
    if (pid == 0) {
      const std::string cmd = "exec " + prefix + " '" + ZOBRET_BINARY + "' " + args + " >" +
                              quoted("out.txt") + " 2>&1";
      execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    return pid;
  }
  // Waits for the process to end (killing it after the deadline); its exit status.
  static int wait_for(pid_t pid, std::chrono::seconds limit = 60s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int raw = 0;
    while (waitpid(pid, &raw, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) kill(pid, SIGKILL);
      std::this_thread::sleep_for(5ms);
    }
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  }
  // Polls until pred holds, for at most 30 s.
  static bool eventually(const std::function<bool()>& pred) {
    for (int i = 0; i < 6000; ++i, std::this_thread::sleep_for(5ms))
      if (pred()) return true;
    return false;
  }
  std::size_t count_in_output(const std::string& what) const {
    const std::string s = read_file("out.txt");
    std::size_t count = 0;
    for (std::size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++count;
    return count;
  }
  std::string files(const std::string& a, const std::string& b) const {
    return quoted(a) + " " + quoted(b);
  }
};

TEST_F(CliTest, WrongArgumentCountsShowHelpAndTouchNothing) {
  for (const char* args : {"", "'a'", "'a' 'b' 'c'"}) {
    EXPECT_EQ(255, run(args)) << args;
    EXPECT_EQ(banner, read_file("out.txt")) << args;
    const std::string err = run_err();
    EXPECT_EQ(0u, err.find("That small application just helps people to download and upload files via\n"));
    const std::string p = ZOBRET_BINARY;
    EXPECT_NE(std::string::npos, err.find("\nUSAGE: " + p + " <PATH TO SOURCE> <PATH TO DESTINATION>\n\n"
        "EXAMPLES: " + p + " .\\bigfile.zip \\\\192.0.2.10\\share\\bigfile.zip\n"
        "          " + p + " \\\\192.0.2.10\\share\\bigfile.zip .\\bigfile.zip\n"
        "          " + p + " Z:\\bigfile.zip C:\\TEMP\\bigfile.zip\n"
        "          " + p + " /mnt/remote/bigfile.zip /usr/bigfile.zip\n")) << err;
    EXPECT_EQ(22, std::count(err.begin(), err.end(), '\n'));
  }
  EXPECT_FALSE(exists("a") || exists("b") || exists("c"));
}

TEST_F(CliTest, FreshCopyShowsExactScreen) {
  write_file("s", zobret_test::random_bytes(120500));
  EXPECT_EQ(0, run(files("s", "d")));
  const std::string line5 = ".......... .......... .......... .......... .......... ";
  EXPECT_EQ(banner + "[TIME] Try #1\n[TIME] Source file: " + path("s") + " (120500 bytes).\n"
            "[TIME] Destination file: " + path("d") + " (0 of 120500 bytes).\n"
            "[TIME] Total 120500 bytes to go.\n\n00000000K > " + line5 + "[41 %]\n00000050K > " +
            line5 + "[83 %]\n00000100K > .......... .......... \n\n[TIME] Complete.\n",
            run_out());
  EXPECT_EQ("", run_err());
  EXPECT_EQ(read_file("s"), read_file("d"));
}

TEST_F(CliTest, KilledRunIsResumedByTheNextOne) {
  // Standard output is a pipe nobody reads: once it is full the copy blocks on a
  // progress line, mid-file, and the kill lands there for sure.
  const std::string data = zobret_test::random_bytes(64u << 20);
  write_file("s", data);
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    execl(ZOBRET_BINARY, ZOBRET_BINARY, path("s").c_str(), path("d").c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::uint64_t k = 0;
  ASSERT_TRUE(eventually([&] {  // the size stops growing once the pipe is full
    const std::uint64_t before = exists("d") ? std::filesystem::file_size(path("d")) : 0;
    std::this_thread::sleep_for(100ms);
    k = exists("d") ? std::filesystem::file_size(path("d")) : 0;
    return k > 0 && k == before;
  }));
  kill(pid, SIGKILL);
  wait_for(pid);
  close(fds[0]);
  ASSERT_LT(k, data.size());
  EXPECT_EQ(data.substr(0, k), read_file("d"));  // a clean prefix
  EXPECT_EQ(0, run(files("s", "d")));
  EXPECT_NE(std::string::npos, run_out().find("\nSkipping " + std::to_string(k) + " bytes.\n"));
  EXPECT_EQ(data, read_file("d"));
}

}  // namespace
}  // namespace zobret
