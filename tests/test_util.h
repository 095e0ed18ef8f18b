// test_util.h - what the tests share: the few facts that differ between the platforms,
// the shell, captured console streams, a fresh temporary directory per test, and runs of
// the built zobret binary. Everything else goes through std::filesystem.
#ifndef ZOBRET_TESTS_TEST_UTIL_H
#define ZOBRET_TESTS_TEST_UTIL_H

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <random>
#include <regex>
#include <sstream>
#include <string>

#ifdef _WIN32
#include <windows.h>  // MultiByteToWideChar
#else
#include <sys/wait.h>  // WIFEXITED, WEXITSTATUS
#endif

// For a test that needs a fixture only Linux offers (a tmpfs, another uid, signals):
// elsewhere the test is skipped, saying which fixture it lacks.
// clang-format off
#define ZOBRET_NEEDS_LINUX_FIXTURE(what) \
  if (!zobret_test::linux_fixtures) GTEST_SKIP() << "needs " << (what) << ", which only Linux offers"
// clang-format on

namespace zobret_test {

#ifdef _WIN32
constexpr const char* null_device = "NUL";        // a device that takes every write
constexpr const char* console_line_end = "\r\n";  // a line break as the console writes it
// A file that another program holds open for writing cannot be measured (the size query
// shares the file for reading only).
constexpr bool writers_block_size_query = true;
// A handle opened for reading only cannot be flushed.
constexpr bool read_only_flush_refused = true;
#else
constexpr const char* null_device = "/dev/null";
constexpr const char* console_line_end = "\n";
constexpr bool writers_block_size_query = false;
constexpr bool read_only_flush_refused = false;
#endif
#ifdef __linux__
// Where a tmpfs can be filled, another user id taken (setpriv), signals and LD_PRELOAD used.
constexpr bool linux_fixtures = true;
#else
constexpr bool linux_fixtures = false;
#endif

// The built zobret; under Wine a Linux path becomes one on drive Z:, which cmd.exe runs
// without taking its slashes for options.
inline std::string zobret_binary() {
  std::string p = ZOBRET_BINARY;
#ifdef _WIN32
  if (!p.empty() && p[0] == '/') p = "Z:" + p;
  std::replace(p.begin(), p.end(), '/', '\\');
#endif
  return p;
}

// Quotes one word for the shell that std::system runs (sh, or cmd.exe on Windows).
inline std::string shell_quote(const std::string& word) {
#ifdef _WIN32
  return "\"" + word + "\"";
#else
  return "'" + word + "'";
#endif
}

// Runs a command line through that shell: its exit status as a POSIX shell shows it, in
// 8 bits (main's -1 arrives as 255), or -1 when a signal ended it.
inline int run_shell(const std::string& command) {
#ifdef _WIN32
  // In UTF-16, so that paths in any script reach the tool whole. cmd.exe /c drops the first
  // and the last quote of a line that starts with one: an extra pair keeps the inner ones.
  const std::string line = "\"" + command + "\"";
  std::wstring wide(line.size() + 1, L'\0');  // never more units than bytes
  wide.resize(static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, line.data(),
                                                           static_cast<int>(line.size()), &wide[0],
                                                           static_cast<int>(wide.size()))));
  return _wsystem(wide.c_str()) & 0xff;
#else
  const int raw = std::system(command.c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
}

// A run in the background; wait_for gives its exit status, or -1 when it has not ended
// within the limit.
using background_run = std::future<int>;
inline int wait_for(background_run run, std::chrono::seconds limit = std::chrono::seconds(60)) {
  return run.wait_for(limit) == std::future_status::ready ? run.get() : -1;
}

// Sets an environment variable of this process, or removes it when value is nullptr.
inline void set_env(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value != nullptr ? value : "");  // "" removes the variable
#else
  if (value != nullptr) setenv(name, value, 1);
  else unsetenv(name);
#endif
}

// Turns every "[dd.mm.yyyy hh:mm:ss]" into "[TIME]".
inline std::string mask_timestamps(const std::string& s) {
  static const std::regex stamp(R"(\[\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d\])");
  return std::regex_replace(s, stamp, "[TIME]");
}

// The same, and every "\r\n" into "\n".
inline std::string strip_timestamps(const std::string& s) {
  static const std::regex crlf("\r\n");
  return mask_timestamps(std::regex_replace(s, crlf, "\n"));
}

// Text with "\n" line breaks as the console streams write it.
inline std::string console_text(const std::string& s) {
  static const std::regex lf("\n");
  return std::regex_replace(s, lf, console_line_end);
}

inline std::string random_bytes(std::size_t n, unsigned seed = 1) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; i += 4) {
    const auto word = static_cast<std::uint32_t>(gen());
    std::memcpy(&s[i], &word, std::min<std::size_t>(4, n - i));
  }
  return s;
}

// Sets a file's modification time to seconds before now (after now when negative): the
// age by which the tool judges whether a source may have changed since its copy was made.
inline void set_age(const std::filesystem::path& file, int seconds) {
  std::filesystem::last_write_time(file, std::filesystem::file_time_type::clock::now() -
                                             std::chrono::seconds(seconds));
}

// Swaps std::cout and std::cerr for string buffers while a test runs.
class CoutCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    old_out_ = std::cout.rdbuf(out_.rdbuf());
    old_err_ = std::cerr.rdbuf(err_.rdbuf());
  }
  void TearDown() override {
    std::cout.rdbuf(old_out_);
    std::cerr.rdbuf(old_err_);
  }
  std::string out() const { return out_.str(); }
  std::string err() const { return err_.str(); }
  void clear() {
    out_.str("");
    err_.str("");
  }

 private:
  std::ostringstream out_, err_;
  std::streambuf* old_out_ = nullptr;
  std::streambuf* old_err_ = nullptr;
};

// How TempDirTest::run launches the built zobret: "BEFORE zobret ARGS >OUT 2>ERR AFTER".
struct launch {
  std::string before;      // shell words such as "env NAME=value", or setpriv with its options
  std::string after = "";  // such as "<&-"
  std::string out = "out.txt", err = "err.txt";  // files in the test's folder (the same: one)
};

// A fresh directory per test, removed afterwards; also captures the console.
class TempDirTest : public CoutCapture {
 protected:
  using launch = zobret_test::launch;
  void SetUp() override {
    CoutCapture::SetUp();
    std::random_device random;
    for (int i = 0; i < 100 && dir_.empty(); ++i) {
      const auto dir =
          std::filesystem::temp_directory_path() / ("zobret_test_" + std::to_string(random()));
      std::error_code ec;
      if (std::filesystem::create_directory(dir, ec)) dir_ = dir.u8string();
    }
    ASSERT_NE("", dir_);
    std::filesystem::permissions(dir_, std::filesystem::perms::all);  // for setpriv runs
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::u8path(dir_), ec);
    CoutCapture::TearDown();
  }
  // Paths are UTF-8, as the tool takes them; fs_path() is one for std::filesystem and the
  // file streams (on Windows they would read a plain string in the ANSI code page).
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  std::filesystem::path fs_path(const std::string& name) const {
    return std::filesystem::u8path(path(name));
  }
  static std::string q(const std::string& word) { return shell_quote(word); }
  std::string quoted(const std::string& name) const { return q(path(name)); }
  void write_file(const std::string& name, const std::string& data) const {
    std::ofstream(fs_path(name), std::ios::binary) << data;
  }
  std::string read_file(const std::string& name) const {
    std::ifstream in(fs_path(name), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // Whether s holds sub: EXPECT_PRED2(has, s, sub) shows both when it does not.
  static bool has(const std::string& s, const std::string& sub) { return s.find(sub) != s.npos; }
  bool exists(const std::string& name) const { return std::filesystem::exists(fs_path(name)); }
  void age(const std::string& name, int seconds) const { set_age(fs_path(name), seconds); }

  // The one way the tests launch the built zobret: through the shell, killed after two minutes
  // on Linux (a failing test never waits for ever); the exit status (main's -1 arrives as 255).
  int run(const std::string& args, const launch& how = {}) const {
    return run_shell(std::string(linux_fixtures ? "timeout -s KILL 120 " : "") + how.before + " " +
                     shell_quote(zobret_binary()) + " " + args + " >" + quoted(how.out) + " 2>" +
                     (how.err == how.out ? "&1" : quoted(how.err)) + " " + how.after);
  }
  // The same in the background: wait_for gives the exit status.
  background_run start(const std::string& args, const launch& how = {}) const {
    return std::async(std::launch::async, [this, args, how] { return run(args, how); });
  }
  // Both streams in one file.
  static launch together(const std::string& file = "out.txt") { return {"", "", file, file}; }
  std::string run_out() const { return strip_timestamps(read_file("out.txt")); }
  std::string run_err() const { return strip_timestamps(read_file("err.txt")); }

  std::string dir_;
};

}  // namespace zobret_test

#endif  // ZOBRET_TESTS_TEST_UTIL_H
