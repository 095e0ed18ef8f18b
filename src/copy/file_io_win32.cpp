// file_io_win32.cpp - the copy engine's platform layer on Windows: the access test,
// the 64-bit size query through the Windows file API, and binary CRT file handles
// moved with 64-bit positions. Bytes are never translated (_O_BINARY everywhere).
// Paths arrive as UTF-8 and reach every file call as UTF-16 (the wide API), so names in
// any script work whatever the code page; long ones take the \\?\ form.
#include "copy/file_io.h"

#include <windows.h>  // CreateFileW, GetFileAttributesW, GetFullPathNameW, GetFileInformationByHandle, ...

#include <errno.h>
#include <fcntl.h>     // _O_BINARY, _O_CREAT, _O_EXCL, _O_RDONLY, _O_RDWR
#include <io.h>        // _waccess, _wsopen_s, _lseeki64, _read, _write, ...
#include <share.h>     // _SH_DENYNO
#include <sys/stat.h>  // _S_IREAD, _S_IWRITE

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>  // SEEK_SET
#include <string>
#include <vector>

namespace zobret {

namespace {

// _read and _write take an unsigned int count; larger blocks go in pieces of this size.
constexpr std::size_t max_io_chunk = std::size_t{1} << 30;

unsigned int io_chunk(std::size_t len) {
  return static_cast<unsigned int>(len < max_io_chunk ? len : max_io_chunk);  // fits
}

// A UTF-8 path as UTF-16; false when it is not UTF-8 (no such file can exist).
bool to_utf16(const char* path, std::wstring* out) {
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
  if (n <= 0) return false;
  out->assign(static_cast<std::size_t>(n), L'\0');  // n counts the terminating NUL
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, &(*out)[0], n) != n)
    return false;
  out->pop_back();
  return true;
}

// The path as the wide file calls take it. While its absolute form fits MAX_PATH (the
// terminating NUL counted) it stays as given; a longer one Windows would refuse, so it
// takes the \\?\ form (\\?\UNC\server\share\... for \\server\share\...), which has no such
// limit but is taken literally: it is made absolute and normalised first ('/' to '\',
// "." and ".." resolved). Empty when the path is not UTF-8, which no file call accepts.
std::wstring wide_path(const char* path) {
  std::wstring wide;
  if (!to_utf16(path, &wide)) return std::wstring();
  if (wide.compare(0, 4, L"\\\\?\\") == 0 || wide.compare(0, 4, L"\\\\.\\") == 0) return wide;
  std::wstring full(MAX_PATH, L'\0');
  DWORD n = GetFullPathNameW(wide.c_str(), MAX_PATH, &full[0], nullptr);
  if (n >= MAX_PATH) {  // too long for the buffer: n is the size it needs
    full.assign(n, L'\0');
    n = GetFullPathNameW(wide.c_str(), n, &full[0], nullptr);
  }
  if (n == 0 || n >= full.size()) return wide;  // let the file call report it
  full.resize(n);
  if (full.size() < MAX_PATH) return wide;
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

int open_handle(const char* path, int flags) {
  int fd = -1;
  // _SH_DENYNO: other programs may read and write the file while we have it open,
  // as they could with the classic open; the size query below is the narrow one.
  if (_wsopen_s(&fd, wide_path(path).c_str(), flags | _O_BINARY, _SH_DENYNO,
                _S_IREAD | _S_IWRITE) != 0) {
    return -1;
  }
  return fd;
}

// Positions a handle at byte offset from the start.
bool seek_to(int handle, std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(LLONG_MAX)) return false;
  const long long target = static_cast<long long>(offset);  // checked just above
  return _lseeki64(handle, target, SEEK_SET) == target;
}

// Writes len bytes at the handle's position, continuing partial writes: whether all were.
bool write_all(int handle, const char* buf, std::size_t len, std::size_t* written) {
  while (*written < len) {
    const int n = _write(handle, buf + *written, io_chunk(len - *written));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {  // no progress: treat as a full disk
      errno = ENOSPC;
      return false;
    }
    *written += static_cast<std::size_t>(n);  // n > 0 here
  }
  return true;
}

// The handles open_source opened, for reading only: Windows refuses to flush such a
// handle, and it has written nothing that could wait (see sync_file). Only the copy's own
// thread opens and closes files.
std::vector<int>& read_only_handles() {
  static std::vector<int> handles;
  return handles;
}

}  // namespace

bool file_access(const char* path, int mode) {
  return _waccess(wide_path(path).c_str(), mode) == 0;
}

path_kind file_size(const char* path, file_facts* facts, bool) {
  // Every lookup opens the file, which asks its server.
  const std::wstring wide = wide_path(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? path_kind::missing
                                                                          : path_kind::unknown;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return path_kind::directory;
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
    *facts = file_facts{};
    return path_kind::special;
  }
  // Shared for reading only: while another process writes the file, this open fails
  // and the size counts as unknown rather than as 0.
  HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return path_kind::unknown;
  // A device that the attributes do not show as one (NUL, CON): no file facts to tell.
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    *facts = file_facts{};
    return path_kind::special;
  }
  BY_HANDLE_FILE_INFORMATION info;
  const BOOL ok = GetFileInformationByHandle(h, &info);  // all 64 bits of the size
  CloseHandle(h);
  if (!ok) return path_kind::unknown;
  facts->size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  // FILETIME counts 100 ns from 1601; 11,644,473,600 s lie between 1601 and 1970.
  const std::int64_t ticks = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
      info.ftLastWriteTime.dwLowDateTime);
  facts->modified =
      nanoseconds_since_1970(ticks / 10000000 - 11644473600LL, ticks % 10000000 * 100);
  facts->volume = info.dwVolumeSerialNumber;
  facts->index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return path_kind::file;
}

// The kernel copy, the read-ahead hints and early writeback are Linux hints; here the
// copy goes through read_block and write_block_at, and the sync does all the writing.
void hints_only(int) {}

read_sizes source_read_sizes(int) { return {}; }

void prefetch(int, std::uint64_t, std::uint64_t) {}

io_result copy_block_in_kernel(int, int, stretch, std::size_t* copied) {
  *copied = 0;
  return io_result::unsupported;
}

void start_writeback(int, std::uint64_t, std::uint64_t) {}

int open_source(const char* path) {
  const int handle = open_handle(path, _O_RDONLY);
  if (handle >= 0) read_only_handles().push_back(handle);
  return handle;
}

bool seek_source(int handle, std::uint64_t offset) { return seek_to(handle, offset); }

io_result read_block(int handle, char* buf, std::size_t len, std::size_t* got) {
  *got = 0;
  for (;;) {
    const int n = _read(handle, buf, io_chunk(len));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return io_result::failed;
    *got = static_cast<std::size_t>(n);
    return n > 0 ? io_result::done : io_result::failed;  // an early end fails too
  }
}

io_result read_block_at(int handle, char* buf, std::size_t len, std::uint64_t offset,
                        std::size_t* got) {
  *got = 0;
  if (!seek_to(handle, offset)) return io_result::failed;
  return read_block(handle, buf, len, got);
}

// Windows has no call that drops one file's cached pages: only a hint, so nothing is lost.
void forget_cached(int, std::uint64_t, std::uint64_t) {}

int create_destination(const char* path) { return open_handle(path, _O_CREAT | _O_EXCL | _O_RDWR); }

int open_destination(const char* path) { return open_handle(path, _O_RDWR); }

bool has_offsets(int handle) {
  const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(handle));
  return h != INVALID_HANDLE_VALUE && GetFileType(h) == FILE_TYPE_DISK;
}

bool write_block_at(int handle, const char* buf, std::size_t len, std::uint64_t offset,
                    std::size_t* written) {
  *written = 0;
  // One seek, then sequential writes: never append mode, so each byte lands at its place.
  return seek_to(handle, offset) && write_all(handle, buf, len, written);
}

bool write_block(int handle, const char* buf, std::size_t len, std::size_t* written) {
  *written = 0;
  return write_all(handle, buf, len, written);
}

bool sync_file(int handle) {
  const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(handle));
  if (h == INVALID_HANDLE_VALUE) return false;
  // The NUL device, a console or a pipe hold nothing to sync: count them as synced.
  if (GetFileType(h) != FILE_TYPE_DISK) return true;
  if (FlushFileBuffers(h)) return true;
  // A complete destination that may not be written is opened for reading only, and such a
  // handle cannot be flushed; it has written nothing that could wait in the cache. A handle
  // opened for writing whose flush is refused (the share's permissions changed mid-copy)
  // has not synced.
  const std::vector<int>& read_only = read_only_handles();
  return GetLastError() == ERROR_ACCESS_DENIED &&
         std::find(read_only.begin(), read_only.end(), handle) != read_only.end();
}

bool close_file(int handle) {
  std::vector<int>& read_only = read_only_handles();
  read_only.erase(std::remove(read_only.begin(), read_only.end(), handle), read_only.end());
  return _close(handle) == 0;
}

bool is_path_separator(char c) { return c == '/' || c == '\\'; }

char path_separator() { return '\\'; }

}  // namespace zobret
