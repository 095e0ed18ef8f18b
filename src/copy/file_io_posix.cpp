// file_io_posix.cpp - the copy engine's platform layer on POSIX systems: access(),
// stat(), and raw descriptors with 64-bit offsets.
#include "copy/file_io.h"

#include <fcntl.h>     // open, O_* flags, posix_fadvise, sync_file_range
#include <sys/stat.h>  // stat, S_ISDIR, S_ISREG
#include <unistd.h>    // access, read, pwrite, lseek, fsync, close, copy_file_range

#include <cerrno>

static_assert(sizeof(off_t) >= 8, "file offsets must be 64-bit");

namespace zobret {

int file_access(const char* path, int mode) { return access(path, mode) == 0 ? 0 : -1; }

int is_directory(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

int is_regular_file(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
}

int file_size(const char* path, std::uint64_t* size) {
  struct stat st;
  if (stat(path, &st) != 0 || st.st_size < 0) return -1;
  *size = static_cast<std::uint64_t>(st.st_size);
  return 0;
}

int handle_size(int handle, std::uint64_t* size) {
  struct stat st;
  if (fstat(handle, &st) != 0 || st.st_size < 0) return -1;
  *size = static_cast<std::uint64_t>(st.st_size);
  return 0;
}


int open_source(const char* path) {
  int fd;
  do {
    fd = open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int source_readahead(int handle, bool on) {
  // SEQUENTIAL doubles the kernel's read-ahead window; RANDOM turns read-ahead off.
  const int advice = on ? POSIX_FADV_SEQUENTIAL : POSIX_FADV_RANDOM;
  return posix_fadvise(handle, 0, 0, advice) == 0 ? 0 : -1;
}

long long copy_block_in_kernel(int source, int destination, std::size_t len,
                               std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return -1;
  off_t at = static_cast<off_t>(offset);
  for (;;) {
    const ssize_t n = copy_file_range(source, nullptr, destination, &at, len, 0);
    if (n >= 0) return static_cast<long long>(n);
    if (errno == EINTR) continue;
    // Different file systems, special files, or a kernel without the call.
    if (errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP || errno == ENOTSUP ||
        errno == ENOSYS)
      return copy_unsupported;
    return -1;
  }
}

int seek_source(int handle, std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return -1;
  return lseek(handle, static_cast<off_t>(offset), SEEK_SET) < 0 ? -1 : 0;
}

long long read_block(int handle, char* buf, std::size_t len) {
  for (;;) {
    const ssize_t n = read(handle, buf, len);
    if (n >= 0) return static_cast<long long>(n);
    if (errno != EINTR) return -1;
  }
}

namespace {

int open_retrying(const char* path, int flags) {
  int fd;
  do {
    fd = open(path, flags, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

int create_destination(const char* path) {
  return open_retrying(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC);
}

int open_destination(const char* path) { return open_retrying(path, O_RDWR | O_CLOEXEC); }

int write_block_at(int handle, const char* buf, std::size_t len, std::uint64_t offset,
                   std::size_t* written) {
  std::size_t total = 0;
  bool seekable = true;
  while (total < len) {
    const off_t at = static_cast<off_t>(offset + total);
    // A pipe or a terminal has no offsets: there the bytes go out in order.
    ssize_t n = seekable ? pwrite(handle, buf + total, len - total, at)
                         : write(handle, buf + total, len - total);
    if (n < 0 && errno == ESPIPE && seekable) {
      seekable = false;
      continue;
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (n == 0) {  // no progress: treat as a full disk
      errno = ENOSPC;
      break;
    }
    total += static_cast<std::size_t>(n);
  }
  *written = total;
  return total == len ? 0 : -1;
}

int start_writeback(int handle, std::uint64_t offset, std::uint64_t len) {
  if (offset > static_cast<std::uint64_t>(INT64_MAX) ||
      len > static_cast<std::uint64_t>(INT64_MAX))
    return -1;
  // WRITE alone neither waits nor collects an earlier write error, so fsync still sees it.
  return sync_file_range(handle, static_cast<off_t>(offset), static_cast<off_t>(len),
                         SYNC_FILE_RANGE_WRITE) == 0
             ? 0
             : -1;
}

int sync_file(int handle) {
  for (;;) {
    if (fsync(handle) == 0) return 0;
    if (errno == EINTR) continue;
    // Devices and pipes cannot be synced at all; that is not a lost write.
    if (errno == EINVAL || errno == ENOTSUP || errno == EOPNOTSUPP || errno == EROFS) return 0;
    return -1;
  }
}

int close_file(int handle) {
  // On Linux the descriptor is released even when close reports EINTR: never retry.
  return close(handle) == 0 ? 0 : -1;
}

bool is_path_separator(char c) { return c == '/'; }

char path_separator() { return '/'; }

}  // namespace zobret
