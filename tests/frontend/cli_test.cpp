// The built zobret binary on real files: command line, exact screen, names in any script
// and long paths, retries (with a pause) until a failure goes away, big files, concurrent
// runs, permissions.
#include <chrono>
#include <thread>

#include "copy/file_io.h"  // path_separator
#include "test_util.h"

namespace zobret {
namespace {

using namespace std::chrono_literals;
using zobret_test::background_run;
using zobret_test::wait_for;

const std::string banner =
    "ZOBRET v1.1 :: Samba (Windows Network Downloader)\n"
    "Copyright (c) the ZOBRET developers.\n"
    "Visit https://zobret.example.org/releases for updates.\n\n";

class CliTest : public zobret_test::TempDirTest {
 protected:
  // Polls until pred holds, for at most 30 s.
  static bool eventually(const std::function<bool()>& pred) {
    for (int i = 0; i < 6000; ++i, std::this_thread::sleep_for(5ms))
      if (pred()) return true;
    return false;
  }
  std::size_t count_in_output(const std::string& what) const {
    // The head only: a run that keeps retrying grows its output faster than it is read.
    const std::string s = read_range("out.txt", 0, 1 << 16);
    std::size_t count = 0;
    for (std::size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++count;
    return count;
  }
  std::string read_range(const std::string& name, std::uint64_t offset, std::size_t len) const {
    std::ifstream in(path(name), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::string s(len, '\0');
    in.read(&s[0], static_cast<std::streamsize>(len));
    s.resize(static_cast<std::size_t>(in.gcount()));
    return s;
  }
  std::string files(const std::string& a, const std::string& b) const {
    return quoted(a) + " " + quoted(b);
  }
};

// A wrong number of arguments gets the help text, a pause that is not a number of seconds
// its error line; either after the banner, with 255 and no file touched.
TEST_F(CliTest, WrongCommandLinesStopAfterTheBannerAndTouchNothing) {
  const std::string p = zobret_test::zobret_binary();
  std::string help_end = "\nUSAGE: " + p + " <PATH TO SOURCE> <PATH TO DESTINATION>\n\n";
  std::string lead = "EXAMPLES: ";
  for (const char* example : {" .\\bigfile.zip \\\\192.0.2.10\\share\\bigfile.zip\n",
                              " \\\\192.0.2.10\\share\\bigfile.zip .\\bigfile.zip\n",
                              " Z:\\bigfile.zip C:\\TEMP\\bigfile.zip\n",
                              " /mnt/remote/bigfile.zip /usr/bigfile.zip\n"}) {
    help_end += lead + p + example;
    lead = "          ";
  }
  for (const char* args : {"", "'a'", "'a' 'b' 'c'"}) {
    EXPECT_EQ(255, run(args)) << args;
    EXPECT_EQ(zobret_test::console_text(banner), read_file("out.txt")) << args;
    const std::string err = run_err();
    EXPECT_EQ(0u,
              err.find(
                  "That small application just helps people to download and upload files via\n"));
    EXPECT_EQ(err.size() - help_end.size(), err.rfind(help_end)) << err;
    EXPECT_EQ(22, std::count(err.begin(), err.end(), '\n'));
  }
  write_file("a", "data");  // a pause wrongly taken would copy it: an exit status of 0, at once
  for (const char* bad : {"abc", "-1", "1e3", "2s", "1.2.3", ".", "86400.5", "86401", " 1"}) {
    zobret_test::set_env("ZOBRET_RETRY_PAUSE", bad);
    EXPECT_EQ(255, run(files("a", "b"))) << bad;
    EXPECT_EQ(zobret_test::console_text(banner), read_file("out.txt")) << bad;
    EXPECT_EQ(
        "[TIME] ERROR: ZOBRET_RETRY_PAUSE must be a number of seconds from 0 to 86400, "
        "such as 2 or 0.5, not \"" +
            std::string(bad) + "\".\n",
        run_err())
        << bad;
  }
  EXPECT_FALSE(exists("b") || exists("c"));
  // Up to a day is a pause: a copy that needs no second attempt never waits for it.
  write_file("s", "data");
  for (const char* good : {"86400", "0", ".5"}) {
    zobret_test::set_env("ZOBRET_RETRY_PAUSE", good);
    std::filesystem::remove(path("d"));
    EXPECT_EQ(0, run(files("s", "d"))) << good;
    EXPECT_EQ("", run_err()) << good;
    EXPECT_EQ("data", read_file("d")) << good;
  }
  zobret_test::set_env("ZOBRET_RETRY_PAUSE", nullptr);
}

// Byte for byte, with the console's own line breaks ("\r\n" on Windows): a fresh copy, a
// resume whose destination holds the source's bytes (screen as ever), and one whose
// destination does not (compared whole first, the copy's display opened again after).
TEST_F(CliTest, ExactScreens) {
  const std::string data = zobret_test::random_bytes(120500),
                    line = ".......... .......... .......... .......... .......... ";
  const std::string head = "[TIME] Try #1\n[TIME] Source file: " + path("s") +
                           " (120500 bytes).\n[TIME] Destination file: " + path("d");
  const std::string resumed = "\n\nSkipping 61234 bytes.\n\n00000061K > ,,,,,,,,,, ,";
  const std::string tail = "[83 %]\n00000100K > .......... .......... \n\n[TIME] Complete.\n";
  const struct {
    const char* name;
    std::string held;  // what the destination holds ("-": none)
    std::string screen;
  } cases[] = {
      {"fresh copy", "-",
       head + " (0 of 120500 bytes).\n[TIME] Total 120500 bytes to go.\n\n00000000K > " + line +
           "[41 %]\n00000050K > " + line + tail},
      {"resume", data.substr(0, 61234),
       head + " (61234 of 120500 bytes).\n[TIME] Total 59266 bytes to go." + resumed +
           "......... .......... .......... .......... " + tail},
      {"stale destination", std::string(61234, 'x'),
       head + " (61234 of 120500 bytes).\n[TIME] Total 59266 bytes to go." + resumed +
           "\n[TIME] The destination differs from the source at byte 0: comparing all 61234 bytes "
           "of it with the source.\n\n00000000K > " +
           line +
           "[81 %]\n00000050K > .......... .\n[TIME] Compared 61234 bytes: 61234 bytes that "
           "differed were written again." +
           resumed + "......... .......... .......... .......... " + tail},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file("s", data);
    age("s", 3600);
    std::filesystem::remove(path("d"));
    if (c.held != "-") write_file("d", c.held);
    EXPECT_EQ(0, run(files("s", "d")));
    EXPECT_EQ(zobret_test::console_text(banner + c.screen),
              zobret_test::mask_timestamps(read_file("out.txt")));
    EXPECT_EQ("", run_err());
    EXPECT_EQ(data, read_file("d"));
  }
}

// A destination longer than the source, or the source itself by its path, the folder that
// holds it or a link: one attempt, its error line (before anything is read), the files as
// they were, time stamps included, no " Complete." and the exit status 1, so that
// "zobret SRC DST && rm SRC" never removes the only copy.
TEST_F(CliTest, RefusedJobsEndWithOneAndNoComplete) {
  const std::string itself =
      " is the source file " + path("in/s") + " itself: nothing is copied.\n";
  const struct {
    std::string destination, error;
    int link;  // made as destination: 1 a hard link, 2 a symbolic link (Linux only)
  } cases[] = {
      {"d", "] ERROR: Destination file size is bigger than source file size.\n", 0},
      {"in/s", "] ERROR: The file " + path("in/s") + itself, 0},
      {"in", "] ERROR: The file " + path("in") + path_separator() + "s" + itself, 0},
      {"h", "] ERROR: The file " + path("h") + itself, 1},
      {"l", "] ERROR: The file " + path("l") + itself, 2},
  };
  std::filesystem::create_directory(path("in"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.destination);
    if (c.link != 0 && !zobret_test::linux_fixtures) continue;
    write_file("in/s", "source");
    write_file("d", "a longer destination");
    age("in/s", 3600);
    if (c.link == 1) std::filesystem::create_hard_link(path("in/s"), path(c.destination));
    if (c.link == 2) std::filesystem::create_symlink(path("in/s"), path(c.destination));
    const auto stamp = std::filesystem::last_write_time(fs_path("in/s"));
    EXPECT_EQ(1, run(files("in/s", c.destination)));
    EXPECT_EQ(1u, count_in_output("] Try #"));
    EXPECT_FALSE(has(read_file("out.txt"), "Complete")) << read_file("out.txt");
    EXPECT_PRED2(has, run_err(), c.error);
    EXPECT_EQ("source", read_file("in/s"));
    EXPECT_TRUE(stamp == std::filesystem::last_write_time(fs_path("in/s")));
    EXPECT_EQ("a longer destination", read_file("d"));
  }
}

// Names in Cyrillic, German, CJK and beyond the BMP, in a short path, in one past
// Windows' old limit of 260 characters, and in that one as a UNC path (\\localhost\C$\...,
// which tools/run-under-wine.sh maps): a fresh copy, a resume and a copy into a folder,
// the log naming every file in UTF-8. On Windows no character may be lost on the way
// from the UTF-16 command line to the file calls.
TEST_F(CliTest, NamesInAnyScriptInShortLongAndUncPaths) {
  const std::string data = zobret_test::random_bytes(70000);
  const std::string src = "отчёт_Übersicht_報告_📦.bin", dst = "Kopie_копия_コピー_🚚.bin",
                    into = "Ordner_папка_文件夹_📁";
  std::string deep;  // three folders of 96 characters
  for (int i = 0; i < 48; ++i) deep += i % 16 == 15 ? "Größe/" : "Größe_";
  const bool drive = dir_.size() > 2 && dir_[1] == ':';
  const std::string unc = drive ? "\\\\localhost\\" + dir_.substr(0, 1) + "$" + dir_.substr(2) : "";
  const bool unc_reached = !unc.empty() && std::filesystem::exists(std::filesystem::u8path(unc));
  // Where the three files go: a root (dir_ or its UNC form) and a folder under it.
  const std::pair<std::string, std::string> places[] = {{dir_, ""},
                                                        {dir_, deep},
                                                        {unc_reached ? unc : "", deep + "unc/"}};
  for (const auto& [root, folder] : places) {
    if (root.empty()) continue;
    SCOPED_TRACE(root + "/" + folder);
    const auto arg = [&](const std::string& name) { return root + "/" + folder + name; };
    std::filesystem::create_directories(fs_path(folder + into));
    write_file(folder + src, data);
    // A fresh copy, a resume, and a copy into the folder under the source's name.
    const struct {
      std::string to, written;
      std::size_t held;
      std::string shown;
    } runs[] = {{dst, dst, 0, arg(dst)},
                {dst, dst, 12345, arg(dst)},
                {into, into + "/" + src, 0, arg(into) + path_separator() + src}};
    for (const auto& r : runs) {
      if (r.held > 0) write_file(folder + r.written, data.substr(0, r.held));
      // A name that lost a character would be retried for ever.
      ASSERT_EQ(0, run(q(arg(src)) + " " + q(arg(r.to)), together()))
          << read_range("out.txt", 0, 2000);
      EXPECT_PRED2(has, run_out(),
                   " Source file: " + arg(src) + " (70000 bytes).\n[TIME] Destination file: " +
                       r.shown + " (" + std::to_string(r.held) + " of 70000 bytes).\n");
      EXPECT_EQ(data, read_file(folder + r.written));
    }
  }
  if (drive && !unc_reached) GTEST_SKIP() << "the UNC path: " << unc << " is not reachable";
}

TEST_F(CliTest, MissingSourceIsRetriedWithThePauseUntilItAppears) {
  struct Case {
    const char* pause;        // ZOBRET_RETRY_PAUSE, or none
    std::size_t least, most;  // tries within the first second
  } const cases[] = {
      {"0.3", 2, 5},
      // Paced: 0.05 s, then twice as long each time.
      {nullptr, 3, 7},
      // Never a pause: thousands of tries a second.
      {"0", 100, SIZE_MAX},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pause == nullptr ? "paced" : c.pause);
    for (const char* left : {"s", "d"}) std::filesystem::remove(path(left));
    zobret_test::set_env("ZOBRET_RETRY_PAUSE", c.pause);
    background_run copy = start(files("s", "d"), together());
    std::this_thread::sleep_for(1s);
    const std::size_t tries = count_in_output(" Try #");
    EXPECT_LE(c.least, tries);
    EXPECT_GE(c.most, tries);
    const std::string data = zobret_test::random_bytes(300000);
    write_file("s.tmp", data);
    std::filesystem::rename(path("s.tmp"), path("s"));
    EXPECT_EQ(0, wait_for(std::move(copy)));
    zobret_test::set_env("ZOBRET_RETRY_PAUSE", nullptr);
    const std::string out = run_out();
    EXPECT_EQ(0u, out.find(banner + "[TIME] Try #1\n[TIME] ERROR: The file " + path("s") +
                           " doesn't seem to be existant.\n[TIME] Try #2\n"))
        << out.substr(0, 500);
    const std::string end = "\n\n[TIME] Complete.\n";
    EXPECT_EQ(out.size() - end.size(), out.rfind(end));
    EXPECT_EQ(data, read_file("d"));
  }
}

// Ctrl+C ends a run at once, also in the middle of a long pause between attempts; the
// shell shows 130, and the destination is left as the last attempt left it.
TEST_F(CliTest, AnInterruptEndsThePauseAtOnce) {
  ZOBRET_NEEDS_LINUX_FIXTURE("signals");
  const auto start = std::chrono::steady_clock::now();
  launch interrupted = together();  // Ctrl+C after a second
  interrupted.before = "timeout --preserve-status -k 5 -s INT 1 env ZOBRET_RETRY_PAUSE=600";
  EXPECT_EQ(130, run(files("s", "d"), interrupted));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
  EXPECT_EQ(1u, count_in_output(" Try #"));
  EXPECT_FALSE(std::filesystem::exists(path("d")));
}

// Mounts a small tmpfs for the test's lifetime.
struct SmallTmpfs {
  explicit SmallTmpfs(const std::string& dir, const char* options = "size=64k") : path(dir) {
    std::filesystem::create_directory(path);
    mounted = zobret_test::run_shell("mount -t tmpfs -o " + std::string(options) + " tmpfs " +
                                     zobret_test::shell_quote(path) + " 2>/dev/null") == 0;
  }
  ~SmallTmpfs() {
    if (mounted) zobret_test::run_shell("umount -l " + zobret_test::shell_quote(path));
  }
  std::string path;
  bool mounted = false;
};

// With the source elsewhere the blocks pass through the tool; with the source on the same
// file system the kernel copies them, and a failed block is redone by hand so that the
// error still names the destination.
TEST_F(CliTest, FullDiskIsRetriedUntilThereIsRoom) {
  ZOBRET_NEEDS_LINUX_FIXTURE("a small tmpfs to fill up");
  const std::string data = zobret_test::random_bytes(300000);
  for (const bool source_beside : {false, true}) {
    SCOPED_TRACE(source_beside ? "source on the full file system" : "source elsewhere");
    const std::string mnt = source_beside ? "mnt2" : "mnt";
    SmallTmpfs fs(path(mnt), source_beside ? "size=400k" : "size=64k");
    if (!fs.mounted) GTEST_SKIP() << "mounting a tmpfs needs root";
    const std::string source = source_beside ? mnt + "/s" : "s", destination = mnt + "/d";
    write_file(source, data);
    background_run copy = start(files(source, destination), together());
    ASSERT_TRUE(eventually([&] {
      return count_in_output(" ERROR: An erorr occured while writing the file " +
                             path(destination) + ".\n") >= 3;
    }));
    const std::string partial = read_file(destination);
    EXPECT_EQ(data.substr(0, partial.size()), partial);  // a clean prefix
    ASSERT_EQ(0, zobret_test::run_shell("mount -o remount,size=1m " + q(fs.path)));
    EXPECT_EQ(0, wait_for(std::move(copy)));
    EXPECT_EQ(data, read_file(destination));
  }
}

TEST_F(CliTest, FileOver4GiBResumesNearItsEnd) {
  const std::uint64_t n = (5ULL << 30) + 123457;  // 5,368,832,577 bytes, sparse
  const std::string tail = zobret_test::random_bytes(300000, 7);
  // Both files are zeros up to the tail, then the destination holds part of it. The zeros
  // are a hole written past: MinGW's resize_file refuses a size beyond the disk's free space.
  for (const auto& [name, content] : {std::pair{"s", tail}, {"d", tail.substr(0, 100000)}}) {
    write_file(name, "");
    std::fstream file(path(name), std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(static_cast<std::streamoff>(n - tail.size()));
    ASSERT_TRUE(file << content) << name;
  }
  age("s", 3600);  // older than its copy, which the resume then compares no further
  EXPECT_EQ(0, run(files("s", "d")));
  const std::string out = run_out();
  for (const std::string& expected : std::vector<std::string>{
           " Source file: " + path("s") + " (5368832577 bytes).\n",
           " (5368632577 of 5368832577 bytes).\n[TIME] Total 200000 bytes to go.\n\n"
           "Skipping 5368632577 bytes.\n\n05368632K > ,,,,,,,,,, ,,,,,,,,,, ,,,,,,,,,, ,,.",
           ". [99 %]\n05368650K > ", "\n\n[TIME] Complete.\n"})
    EXPECT_PRED2(has, out, expected);
  EXPECT_EQ(n, std::filesystem::file_size(path("d")));
  EXPECT_EQ(tail, read_range("d", n - tail.size(), tail.size()));
}

TEST_F(CliTest, TwoRunsOnOneDestinationEndIdentical) {
  const std::string data = zobret_test::random_bytes(32u << 20);
  write_file("s", data);
  background_run a = start(files("s", "d"), together("a.txt")),
                 b = start(files("s", "d"), together("b.txt"));
  EXPECT_EQ(0, wait_for(std::move(a)));
  EXPECT_EQ(0, wait_for(std::move(b)));
  EXPECT_EQ(data, read_file("d"));
}

// Root ignores permission bits, so these run the binary as another user.
TEST_F(CliTest, PermissionFailuresAreRetriedAndLeaveFilesAlone) {
  ZOBRET_NEEDS_LINUX_FIXTURE("another user id (setpriv)");
  if (zobret_test::run_shell("test \"$(id -u)\" = 0 && command -v setpriv >/dev/null") != 0)
    GTEST_SKIP() << "needs root and setpriv to run as another user";
  const std::string nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups";
  const std::string data = zobret_test::random_bytes(20000);
  struct Case {
    const char* name;
    std::string prefix;
    std::string locked;  // a file created 0600 (unreadable) or 0444 (read-only) by root
    std::string src, dst, expected;
    std::size_t held = 12345;  // what the destination holds
  } const cases[] = {
      {"unreadable source", nobody, "s", "s", "d",
       "[TIME] ERROR: Unable to get reading access to the file " + path("s") +
           ".\n[TIME] Try #2\n"},
      {"read-only destination", nobody, "d", "s", "d",
       "\n00000012K > ,,,,,,,,,, ,,[TIME] ERROR: Unable to get writing access to the file " +
           path("d") + ".\n[TIME] Try #2\n"},
      // Real user root, effective user nobody: the destination exists but cannot be
      // measured, so nothing may be appended to it.
      {"unmeasurable destination", "setpriv --euid=65534", "", "s", "locked/d",
       "[TIME] ERROR: Unable to get the size of the file " + path("locked/d") +
           ".\n[TIME] Try #2\n"},
      // Nor is a source that cannot be measured taken to be empty.
      {"unmeasurable source", "setpriv --euid=65534", "", "locked/s", "d",
       "[TIME] Try #1\n[TIME] ERROR: Unable to get the size of the file " + path("locked/s") +
           ".\n[TIME] Try #2\n"},
      // A complete copy that may not be written is still looked at, synced and done.
      {"complete read-only destination", nobody, "d", "s", "d",
       "[TIME] Total 0 bytes to go.\n\n[TIME] Complete.\n", 20000}};
  for (const Case& c : cases) {
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directory(dir_);
    std::filesystem::permissions(dir_, std::filesystem::perms::all);
    write_file("s", data);
    std::filesystem::create_directory(path("locked"));
    std::filesystem::permissions(path("locked"), std::filesystem::perms::owner_all);
    write_file("locked/s", data);
    age("s", 3600);
    age("locked/s", 3600);
    write_file(c.dst, data.substr(0, c.held));
    using std::filesystem::perms;
    const perms unreadable = perms::owner_read | perms::owner_write,
                read_only = perms::owner_read | perms::group_read | perms::others_read;
    if (!c.locked.empty())
      std::filesystem::permissions(path(c.locked), c.locked == "s" ? unreadable : read_only);
    if (c.locked == "s") std::filesystem::remove(path("d"));
    launch how = together();
    how.before = "timeout -s KILL 1 " + c.prefix;  // it never gives up: the timeout ends it
    run(files(c.src, c.dst), how);
    EXPECT_PRED2(has, run_out(), c.expected) << c.name;
    if (c.locked == "s") EXPECT_FALSE(exists("d")) << c.name;
    else EXPECT_EQ(data.substr(0, c.held), read_file(c.dst)) << c.name;
  }
}

}  // namespace
}  // namespace zobret
