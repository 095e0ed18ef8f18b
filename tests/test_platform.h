// test_platform.h - what the tests need from the operating system, so that the test
// files build and run unchanged on POSIX and on Windows (also under Wine).
// One implementation per platform: test_platform_posix.cpp, test_platform_win32.cpp.
#ifndef ZOBRET_TESTS_TEST_PLATFORM_H
#define ZOBRET_TESTS_TEST_PLATFORM_H

#include <chrono>
#include <string>

namespace zobret_test {

// True where the Linux-only fixtures exist: a tmpfs to fill, /dev/full, another user
// id through setpriv, signals. Where false, the helpers for them fail and do nothing.
extern const bool linux_fixtures;
bool running_as_root();
bool mount_tmpfs(const std::string& dir, const char* options);    // "size=64k"
bool remount_tmpfs(const std::string& dir, const char* options);  // "size=1m"
void unmount(const std::string& dir);

// A device that takes every write.
extern const char* const null_device;
extern const char* const full_device;
// True where a file that another program holds open for writing cannot be measured
// (Windows: the size query shares the file for reading only).
extern const bool writers_block_size_query;
// A line break as the console streams write it ("\r\n" on Windows).
extern const char* const console_line_end;

// Quotes one word for the shell that std::system runs (sh, or cmd.exe on Windows).
std::string shell_quote(const std::string& word);
// Runs a command line through that shell; its exit status as a POSIX shell shows it, in
// 8 bits (main's -1 arrives as 255), or -1 when killed by a signal.
int run_shell(const std::string& command);
// Sets an environment variable of this process, or removes it when value is nullptr.
void set_env(const char* name, const char* value);

// Background processes, each named by its handle until wait_process returns.
using process_handle = long long;
process_handle start_shell(const std::string& command);  // -1 on failure
// Starts program with args (a quoted command-line tail), its standard output a pipe that
// nobody reads: once full, the next write blocks. Without keep_reader the pipe's read
// end is closed at once, and every write to standard output fails.
process_handle start_with_stdout_pipe(const std::string& program, const std::string& args,
                                      bool keep_reader);
// Waits for the process to end, killing it after limit; the exit status as run_shell
// gives it, -1 when it was killed.
int wait_process(process_handle process, std::chrono::seconds limit);
// Ends the process at once, with no chance to clean up, as kill -9 does.
void kill_process(process_handle process);

}  // namespace zobret_test

#endif  // ZOBRET_TESTS_TEST_PLATFORM_H
