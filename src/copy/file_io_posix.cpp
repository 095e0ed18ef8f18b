// file_io_posix.cpp - the copy engine's platform layer on POSIX systems: access(),
// stat(), and raw descriptors with 64-bit offsets.
//
// The extras that only some systems have (Linux's in-kernel copy, early writeback and
// statx, read-ahead advice, macOS's full sync) are found by the build (ZOBRET_HAVE_*);
// without them each function falls back to plain stat, reads, writes and fsync.
#include "copy/file_io.h"

#include <fcntl.h>     // open, O_* flags, AT_*, fcntl, posix_fadvise, sync_file_range, F_FULLFSYNC
#include <sys/stat.h>  // stat, fstat, statx, S_ISDIR, S_ISREG
#include <unistd.h>    // access, read, pread, write, pwrite, lseek, fsync, close, copy_file_range

#include <cerrno>
#include <cstdint>
#include <cstdio>   // snprintf
#include <cstdlib>  // strtoull

static_assert(sizeof(off_t) >= 8, "file offsets must be 64-bit");

namespace zobret {

namespace {

bool fits_offset(std::uint64_t offset) { return offset <= static_cast<std::uint64_t>(INT64_MAX); }

// Makes a system call again for as long as a signal interrupts it; its result.
template <class Call>
auto retrying(Call call) {
  for (;;) {
    const auto result = call();
    if (result >= 0 || errno != EINTR) return result;
  }
}

// What a call that moves bytes returned, as the copy takes it: the count into *moved.
io_result counted(ssize_t n, std::size_t* moved) {
  *moved = n > 0 ? static_cast<std::size_t>(n) : 0;
  return n > 0 ? io_result::done : io_result::failed;  // an early end fails too
}

int open_retrying(const char* path, int flags) {
  return retrying([&] { return open(path, flags, 0666); });
}

// Writes len bytes, positioned at offset or (offset < 0) in order, continuing partial
// writes and retrying EINTR: whether all were written.
bool write_all(int handle, const char* buf, std::size_t len, long long offset,
               std::size_t* written) {
  std::size_t total = 0;
  while (total < len) {
    const ssize_t n = retrying([&] {
      return offset >= 0 ? pwrite(handle, buf + total, len - total,
                                  static_cast<off_t>(offset) + static_cast<off_t>(total))
                         : write(handle, buf + total, len - total);
    });
    if (n < 0) break;
    if (n == 0) {  // no progress: treat as a full disk
      errno = ENOSPC;
      break;
    }
    total += static_cast<std::size_t>(n);
  }
  *written = total;
  return total == len;
}

// Runs a hint's system call on a range of a file where the range fits the system's
// offsets. A hint that fails changes nothing, so nothing asks how it went.
template <class Call>
void on_range(std::uint64_t offset, std::uint64_t len, Call call) {
  if (fits_offset(offset) && fits_offset(len))
    (void)call(static_cast<off_t>(offset), static_cast<off_t>(len));
}

enum class advice { sequential, random, will_need, dont_need };

// Advice to the kernel on len bytes of a file from offset (len 0: to its end), where the
// system takes advice. Only a hint.
void advise(int handle, std::uint64_t offset, std::uint64_t len, advice what) {
#if ZOBRET_HAVE_POSIX_FADVISE
  static const int codes[] = {POSIX_FADV_SEQUENTIAL, POSIX_FADV_RANDOM, POSIX_FADV_WILLNEED,
                              POSIX_FADV_DONTNEED};
  on_range(offset, len, [&](off_t from, off_t count) {
    return posix_fadvise(handle, from, count, codes[static_cast<int>(what)]);
  });
#else
  (void)handle;
  (void)offset;
  (void)len;
  (void)what;
#endif
}

// What a failed lookup means: only a path that names nothing (or runs through a file, as
// notes.txt/big.iso does) is missing; any other failure leaves the path unknown.
path_kind lookup_failure() {
  return errno == ENOENT || errno == ENOTDIR ? path_kind::missing : path_kind::unknown;
}

}  // namespace

bool file_access(const char* path, int mode) { return access(path, mode) == 0; }

path_kind file_size(const char* path, file_facts* facts, bool past_cache) {
#if ZOBRET_HAVE_STATX
  // Past the cache, asked of the file system itself: a network client that holds the file
  // open (or just reopened it after its server came back) may go on showing a file that
  // was replaced on the server meanwhile. That costs a FUSE share a few round trips more.
  struct statx st;
  const int sync = past_cache ? AT_STATX_FORCE_SYNC : AT_STATX_SYNC_AS_STAT;
  if (statx(AT_FDCWD, path, sync, STATX_BASIC_STATS, &st) != 0) return lookup_failure();
  if (S_ISDIR(st.stx_mode)) return path_kind::directory;
  facts->size = st.stx_size;
  facts->modified = nanoseconds_since_1970(st.stx_mtime.tv_sec, st.stx_mtime.tv_nsec);
  facts->volume = (static_cast<std::uint64_t>(st.stx_dev_major) << 32) | st.stx_dev_minor;
  facts->index = st.stx_ino;
  return S_ISREG(st.stx_mode) ? path_kind::file : path_kind::special;
#else
  (void)past_cache;  // no way to ask past the cache here
  struct stat st;
  if (stat(path, &st) != 0) return lookup_failure();
  if (S_ISDIR(st.st_mode)) return path_kind::directory;
  if (st.st_size < 0) return path_kind::unknown;
  facts->size = static_cast<std::uint64_t>(st.st_size);
#ifdef __APPLE__
  const struct timespec& modified = st.st_mtimespec;
#else
  const struct timespec& modified = st.st_mtim;
#endif
  facts->modified = nanoseconds_since_1970(modified.tv_sec, modified.tv_nsec);
  facts->volume = static_cast<std::uint64_t>(st.st_dev);
  facts->index = static_cast<std::uint64_t>(st.st_ino);
  return S_ISREG(st.st_mode) ? path_kind::file : path_kind::special;
#endif
}

int open_source(const char* path) { return open_retrying(path, O_RDONLY | O_CLOEXEC); }

void hints_only(int handle) {
  // SEQUENTIAL sets the file's read-ahead window to twice the mount's read-ahead size, and
  // that window also caps what one WILLNEED hint reads; RANDOM then turns the kernel's own
  // read-ahead off and leaves the window as it is.
  advise(handle, 0, 0, advice::sequential);
  advise(handle, 0, 0, advice::random);
}

read_sizes source_read_sizes(int handle) {
  read_sizes sizes;
#if ZOBRET_HAVE_STATX
  // What the kernel holds of the file, without asking its server again (DONT_SYNC): a
  // share's attributes may have expired, and fstat would cost a round trip.
  struct statx st;
  if (statx(handle, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_TYPE, &st) != 0) return sizes;
  sizes.preferred = st.stx_blksize;
  // The backing device of NFS, FUSE and a whole disk is named after the file system's
  // device number; cifs names its own ("cifs-N"), which no file leads to.
  char path[64];
  std::snprintf(path, sizeof path, "/sys/class/bdi/%u:%u/read_ahead_kb", st.stx_dev_major,
                st.stx_dev_minor);
  const int fd = open_retrying(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return sizes;
  char text[32];
  const ssize_t n = retrying([&] { return read(fd, text, sizeof text - 1); });
  close(fd);
  if (n <= 0) return sizes;
  text[n] = '\0';
  char* end = nullptr;
  const unsigned long long kib = std::strtoull(text, &end, 10);
  if (end != text && (*end == '\n' || *end == '\0') && kib <= UINT64_MAX / 1024)
    sizes.readahead = kib * 1024;
#else
  struct stat st;
  if (fstat(handle, &st) != 0) return sizes;
  if (st.st_blksize > 0) sizes.preferred = static_cast<std::uint64_t>(st.st_blksize);
#endif
  return sizes;
}

void prefetch(int handle, std::uint64_t offset, std::uint64_t len) {
  advise(handle, offset, len, advice::will_need);
}

io_result copy_block_in_kernel(int source, int destination, stretch block, std::size_t* copied) {
  *copied = 0;
#if ZOBRET_HAVE_COPY_FILE_RANGE
  if (!fits_offset(block.to)) return io_result::failed;
  off_t at = static_cast<off_t>(block.from);
  const auto len = static_cast<std::size_t>(block.to - block.from);
  const ssize_t n =
      retrying([&] { return copy_file_range(source, nullptr, destination, &at, len, 0); });
  if (n >= 0) return counted(n, copied);
  // Different file systems, special files, or a kernel without the call.
  if (errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP || errno == ENOTSUP ||
      errno == ENOSYS)
    return io_result::unsupported;
  return io_result::failed;
#else
  (void)source;
  (void)destination;
  (void)block;
  return io_result::unsupported;
#endif
}

bool seek_source(int handle, std::uint64_t offset) {
  return fits_offset(offset) && lseek(handle, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

void forget_cached(int handle, std::uint64_t offset, std::uint64_t len) {
  advise(handle, offset, len, advice::dont_need);
}

io_result read_block(int handle, char* buf, std::size_t len, std::size_t* got) {
  return counted(retrying([&] { return read(handle, buf, len); }), got);
}

io_result read_block_at(int handle, char* buf, std::size_t len, std::uint64_t offset,
                        std::size_t* got) {
  *got = 0;
  if (!fits_offset(offset)) return io_result::failed;
  return counted(retrying([&] { return pread(handle, buf, len, static_cast<off_t>(offset)); }),
                 got);
}

int create_destination(const char* path) {
  return open_retrying(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC);
}

int open_destination(const char* path) { return open_retrying(path, O_RDWR | O_CLOEXEC); }

bool has_offsets(int handle) {
  // Asking for the position costs no round trip on a share. Only a handle known to be a
  // pipe, a socket or a terminal writes in order: a file whose kind cannot be told gets
  // positioned writes, whose failure is then an error.
  if (lseek(handle, 0, SEEK_CUR) >= 0 || errno != ESPIPE) return true;
  struct stat st;
  return fstat(handle, &st) != 0 || S_ISREG(st.st_mode);
}

bool write_block_at(int handle, const char* buf, std::size_t len, std::uint64_t offset,
                    std::size_t* written) {
  *written = 0;
  if (!fits_offset(offset) || !fits_offset(offset + len)) return false;
  return write_all(handle, buf, len, static_cast<long long>(offset), written);
}

bool write_block(int handle, const char* buf, std::size_t len, std::size_t* written) {
  return write_all(handle, buf, len, -1, written);
}

void start_writeback(int handle, std::uint64_t offset, std::uint64_t len) {
#if ZOBRET_HAVE_SYNC_FILE_RANGE
  // WRITE alone neither waits nor collects an earlier write error, so fsync still sees it.
  on_range(offset, len, [&](off_t from, off_t count) {
    return sync_file_range(handle, from, count, SYNC_FILE_RANGE_WRITE);
  });
#else
  (void)handle;
  (void)offset;
  (void)len;
#endif
}

bool sync_file(int handle) {
  // A descriptor opened for reading syncs like any other.
#if ZOBRET_HAVE_F_FULLFSYNC
  // On macOS fsync leaves the data in the drive's cache; F_FULLFSYNC flushes that too.
  // File systems that do not know it fall through to fsync.
  if (fcntl(handle, F_FULLFSYNC) == 0) return true;
#endif
  if (retrying([&] { return fsync(handle); }) == 0) return true;
  // Devices and pipes cannot be synced at all; that is not a lost write. A regular file
  // that cannot be synced may have lost bytes, whatever the reason given.
  const int error = errno;
  struct stat st;
  if (error == EINVAL || error == ENOTSUP || error == EOPNOTSUPP || error == EROFS) {
    if (fstat(handle, &st) == 0 && !S_ISREG(st.st_mode)) return true;
  }
  return false;
}

bool close_file(int handle) {
  // On Linux the descriptor is released even when close reports EINTR: never retry.
  return close(handle) == 0;
}

bool is_path_separator(char c) { return c == '/'; }

char path_separator() { return '/'; }

}  // namespace zobret
