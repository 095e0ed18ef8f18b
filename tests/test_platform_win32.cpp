// test_platform_win32.cpp - the tests' operating-system helpers on Windows: a directory
// under GetTempPath, cmd.exe through std::system, CreateProcess with a job object so
// that a kill also ends what cmd.exe started.
#include "test_platform.h"

#include <windows.h>

#include <cstdlib>
#include <map>

namespace zobret_test {

const bool linux_fixtures = false;
const char* const null_device = "NUL";
const char* const full_device = "";
const char* const console_line_end = "\r\n";

namespace {

struct Process {
  HANDLE process;
  HANDLE job;          // holds the process and everything it starts
  HANDLE unread_pipe;  // read end of its standard output, or nullptr
  bool killed;
};
std::map<process_handle, Process> processes;

process_handle start(std::string command_line, HANDLE stdout_handle, HANDLE unread_pipe) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  if (stdout_handle != nullptr) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = stdout_handle;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  }
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(nullptr, &command_line[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                      nullptr, nullptr, &startup, &info)) {
    return -1;
  }
  const HANDLE job = CreateJobObjectA(nullptr, nullptr);
  if (job != nullptr) AssignProcessToJobObject(job, info.hProcess);
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);
  processes[info.dwProcessId] = Process{info.hProcess, job, unread_pipe, false};
  return info.dwProcessId;
}

}  // namespace

std::string make_temp_dir() {
  char base[MAX_PATH + 1];
  const DWORD len = GetTempPathA(sizeof base, base);
  if (len == 0 || len > MAX_PATH) return "";
  for (unsigned attempt = 0; attempt < 1000; ++attempt) {
    const std::string dir = std::string(base) + "zobret_test_" +
                            std::to_string(GetCurrentProcessId()) + "_" +
                            std::to_string(GetTickCount() + attempt);
    if (CreateDirectoryA(dir.c_str(), nullptr)) return dir;
  }
  return "";
}

std::string shell_quote(const std::string& word) { return "\"" + word + "\""; }

int run_shell(const std::string& command) {
  // cmd.exe /c drops the first and the last quote of a line that starts with one;
  // an extra pair around the whole line keeps the quotes inside it intact.
  // The exit code is 32 bits wide here; a POSIX shell would show its low 8. (A cmd.exe
  // that cannot start gives -1 too, but then no output file exists for the test.)
  return std::system(("\"" + command + "\"").c_str()) & 0xff;
}

void set_env(const char* name, const char* value) {
  _putenv_s(name, value != nullptr ? value : "");  // "" removes the variable
}

process_handle start_shell(const std::string& command) {
  return start("cmd.exe /c \"" + command + "\"", nullptr, nullptr);
}

bool running_as_root() { return false; }
bool mount_tmpfs(const std::string&, const char*) { return false; }
bool remount_tmpfs(const std::string&, const char*) { return false; }
void unmount(const std::string&) {}

namespace {

process_handle start_piped(const std::string& program, const std::string& args, bool keep_reader) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 4096)) return -1;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  if (!keep_reader) {
    CloseHandle(read_end);
    read_end = nullptr;
  }
  const process_handle id = start(shell_quote(program) + " " + args, write_end, read_end);
  CloseHandle(write_end);
  if (id < 0 && read_end != nullptr) CloseHandle(read_end);
  return id;
}

}  // namespace

process_handle start_with_unread_stdout(const std::string& program, const std::string& args) {
  return start_piped(program, args, true);
}

process_handle start_with_closed_stdout(const std::string& program, const std::string& args) {
  return start_piped(program, args, false);
}

int wait_process(process_handle id, std::chrono::seconds limit) {
  const auto found = processes.find(id);
  if (found == processes.end()) return -1;
  const Process p = found->second;
  processes.erase(found);
  const DWORD ms = static_cast<DWORD>(std::chrono::milliseconds(limit).count());
  bool killed = p.killed;
  if (WaitForSingleObject(p.process, ms) != WAIT_OBJECT_0) {
    if (p.job != nullptr) TerminateJobObject(p.job, 1);
    TerminateProcess(p.process, 1);
    WaitForSingleObject(p.process, INFINITE);
    killed = true;
  }
  DWORD code = 0;
  GetExitCodeProcess(p.process, &code);
  CloseHandle(p.process);
  if (p.job != nullptr) CloseHandle(p.job);
  if (p.unread_pipe != nullptr) CloseHandle(p.unread_pipe);
  return killed ? -1 : static_cast<int>(code & 0xff);
}

void kill_process(process_handle id) {
  const auto found = processes.find(id);
  if (found == processes.end()) return;
  if (found->second.job != nullptr) TerminateJobObject(found->second.job, 1);
  TerminateProcess(found->second.process, 1);
  found->second.killed = true;
}

}  // namespace zobret_test
