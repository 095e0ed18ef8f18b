// test_platform.h - what the tests need from the operating system, so that the test
// files themselves build and run unchanged on POSIX and on Windows (under Wine too).
// One implementation per platform: test_platform_posix.cpp, test_platform_win32.cpp.
#ifndef ZOBRET_TESTS_TEST_PLATFORM_H
#define ZOBRET_TESTS_TEST_PLATFORM_H

#include <chrono>
#include <string>

namespace zobret_test {

// True where the Linux-only fixtures exist: a tmpfs to mount and fill, /dev/full,
// another user id through setpriv, signals to kill a run with.
extern const bool linux_fixtures;

// A device that takes every write, and one that refuses every write ("" where none).
extern const char* const null_device;
extern const char* const full_device;

// A line break as the console streams write it ("\r\n" on Windows).
extern const char* const console_line_end;

// A new, empty directory under the system's temporary directory; "" on failure.
std::string make_temp_dir();

// Quotes one word for the shell that std::system runs (sh, or cmd.exe on Windows).
std::string shell_quote(const std::string& word);

// Runs a command line through that shell and returns its exit status as a POSIX shell
// shows it, in 8 bits (main's -1 arrives as 255); -1 when it did not end normally.
int run_shell(const std::string& command);

// Sets an environment variable of this process, or removes it when value is nullptr.
void set_env(const char* name, const char* value);

// Linux-only fixtures; each answers false (and does nothing) where it cannot work.
bool running_as_root();
// Mounts a tmpfs with the given options ("size=64k") on the existing directory dir.
bool mount_tmpfs(const std::string& dir, const char* options);
// Changes the options of that tmpfs ("size=1m").
bool remount_tmpfs(const std::string& dir, const char* options);
void unmount(const std::string& dir);

// Background runs. A handle names one started process until wait_process returns.
using process_handle = long long;
// Starts a shell command line in the background; -1 on failure.
process_handle start_shell(const std::string& command);
// Starts a program (path, then arguments as one quoted command-line tail) whose standard
// output is a pipe that nobody reads: once the pipe is full, its next write blocks.
process_handle start_with_unread_stdout(const std::string& program, const std::string& args);
// The same with that pipe's read end closed at once: every write to standard output fails.
process_handle start_with_closed_stdout(const std::string& program, const std::string& args);
// Waits for the process to end, killing it after limit; its exit status as run_shell
// gives it (-1 when killed).
int wait_process(process_handle process, std::chrono::seconds limit);
// Ends the process at once, as a power cut or a kill -9 would, with no clean-up.
void kill_process(process_handle process);

}  // namespace zobret_test

#endif  // ZOBRET_TESTS_TEST_PLATFORM_H
