// test_platform_win32.cpp - the tests' operating-system helpers on Windows: cmd.exe
// through _wsystem, CreateProcessW inside a job object, so that a kill also ends what
// cmd.exe started. Command lines are UTF-8 here and go out as UTF-16, so that paths in
// any script reach the tool whole.
#include "test_platform.h"

#include <windows.h>

#include <cstdlib>
#include <map>

namespace zobret_test {

const bool linux_fixtures = false;
const char* const null_device = "NUL";
const char* const console_line_end = "\r\n";
const bool writers_block_size_query = true;

bool running_as_root() { return false; }
bool mount_tmpfs(const std::string&, const char*) { return false; }
bool remount_tmpfs(const std::string&, const char*) { return false; }
void unmount(const std::string&) {}

namespace {

struct Process {
  HANDLE process, job, unread_pipe;  // the job holds everything the process starts
  bool killed;
};
std::map<process_handle, Process> processes;

std::wstring utf16(const std::string& text) {
  std::wstring wide(text.size() + 1, L'\0');  // never more units than bytes
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                    &wide[0], static_cast<int>(wide.size()));
  wide.resize(static_cast<std::size_t>(n));
  return wide;
}

process_handle start(const std::string& command, HANDLE stdout_handle, HANDLE unread_pipe) {
  std::wstring command_line = utf16(command);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  if (stdout_handle != nullptr) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = stdout_handle;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  }
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, &command_line[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                      nullptr, nullptr, &startup, &info))
    return -1;
  const HANDLE job = CreateJobObjectA(nullptr, nullptr);
  AssignProcessToJobObject(job, info.hProcess);
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);
  processes[info.dwProcessId] = Process{info.hProcess, job, unread_pipe, false};
  return info.dwProcessId;
}

void terminate(Process& p) {
  TerminateJobObject(p.job, 1);
  TerminateProcess(p.process, 1);
  p.killed = true;
}

}  // namespace

std::string shell_quote(const std::string& word) { return "\"" + word + "\""; }

int run_shell(const std::string& command) {
  // cmd.exe /c drops the first and the last quote of a line that starts with one: an
  // extra pair keeps the inner ones. A POSIX shell would show the exit code's low 8 bits.
  return _wsystem(utf16("\"" + command + "\"").c_str()) & 0xff;
}

void set_env(const char* name, const char* value) {
  _putenv_s(name, value != nullptr ? value : "");  // "" removes the variable
}

process_handle start_shell(const std::string& command) {
  return start("cmd.exe /c \"" + command + "\"", nullptr, nullptr);
}

process_handle start_with_stdout_pipe(const std::string& program, const std::string& args,
                                      bool keep_reader) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 4096)) return -1;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  if (!keep_reader) CloseHandle(read_end);
  const process_handle id =
      start(shell_quote(program) + " " + args, write_end, keep_reader ? read_end : nullptr);
  CloseHandle(write_end);
  if (id < 0 && keep_reader) CloseHandle(read_end);
  return id;
}

int wait_process(process_handle id, std::chrono::seconds limit) {
  const auto found = processes.find(id);
  if (found == processes.end()) return -1;
  Process p = found->second;
  processes.erase(found);
  if (WaitForSingleObject(p.process, static_cast<DWORD>(limit.count() * 1000)) != WAIT_OBJECT_0) {
    terminate(p);
    WaitForSingleObject(p.process, INFINITE);
  }
  DWORD code = 0;
  GetExitCodeProcess(p.process, &code);
  for (HANDLE h : {p.process, p.job, p.unread_pipe})
    if (h != nullptr) CloseHandle(h);
  return p.killed ? -1 : static_cast<int>(code & 0xff);
}

void kill_process(process_handle id) {
  const auto found = processes.find(id);
  if (found != processes.end()) terminate(found->second);
}

}  // namespace zobret_test
