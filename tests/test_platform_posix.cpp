// test_platform_posix.cpp - the tests' operating-system helpers on POSIX systems:
// sh through std::system, fork and exec, signals, tmpfs mounts.
#include "test_platform.h"

#include <signal.h>     // kill, SIGKILL
#include <sys/mount.h>  // mount, umount2
#include <sys/wait.h>   // waitpid, WIFEXITED, WEXITSTATUS
#include <unistd.h>     // fork, execl, pipe, dup2, close, _exit, geteuid

#include <cstdlib>
#include <map>
#include <thread>

namespace zobret_test {

const bool linux_fixtures = true;
const char* const null_device = "/dev/null";
const char* const console_line_end = "\n";
const bool writers_block_size_query = false;

bool running_as_root() { return geteuid() == 0; }

bool mount_tmpfs(const std::string& dir, const char* options) {
  return mount("tmpfs", dir.c_str(), "tmpfs", 0, options) == 0;
}

bool remount_tmpfs(const std::string& dir, const char* options) {
  return mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT, options) == 0;
}

void unmount(const std::string& dir) { umount2(dir.c_str(), MNT_DETACH); }

namespace {

std::map<process_handle, int> unread_pipes;  // read ends held open until the wait

int exit_status(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1; }

// Runs "sh -c 'exec command'" in a child, with its standard output on stdout_fd if set.
process_handle start(const std::string& command, int stdout_fd = -1, int close_fd = -1) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (stdout_fd >= 0) dup2(stdout_fd, 1);
    if (close_fd >= 0) close(close_fd);
    const std::string line = "exec " + command;
    execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

}  // namespace

std::string shell_quote(const std::string& word) { return "'" + word + "'"; }

int run_shell(const std::string& command) { return exit_status(std::system(command.c_str())); }

void set_env(const char* name, const char* value) {
  if (value != nullptr) setenv(name, value, 1);
  else unsetenv(name);
}

process_handle start_shell(const std::string& command) { return start(command); }

process_handle start_with_stdout_pipe(const std::string& program, const std::string& args,
                                      bool keep_reader) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const process_handle pid = start(shell_quote(program) + " " + args, fds[1], fds[0]);
  close(fds[1]);
  if (pid > 0 && keep_reader) unread_pipes[pid] = fds[0];
  else close(fds[0]);
  return pid;
}

int wait_process(process_handle process, std::chrono::seconds limit) {
  const pid_t pid = static_cast<pid_t>(process);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int raw = 0;
  while (waitpid(pid, &raw, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) kill(pid, SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const auto reader = unread_pipes.find(process);
  if (reader != unread_pipes.end()) {
    close(reader->second);
    unread_pipes.erase(reader);
  }
  return exit_status(raw);
}

void kill_process(process_handle process) { kill(static_cast<pid_t>(process), SIGKILL); }

}  // namespace zobret_test
