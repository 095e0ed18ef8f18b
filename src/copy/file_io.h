// file_io.h - the platform layer of the copy engine: access test, size query, and the
// raw file handles the copy moves blocks through. One implementation per platform
// (file_io_posix.cpp, file_io_win32.cpp); nothing else in src/copy includes the system's
// file headers (report/ has its own platform files for the console and the clock).
//
// A yes-or-no answer is a bool (true: it holds, or the call did what it asks), an answer
// of more outcomes a scoped enum, a handle an int; hints return nothing. None writes to
// the console. Handles are plain integers (-1 = none) and never outlive one copy
// attempt. What each call costs on a share: doc/performance.md.
#ifndef ZOBRET_COPY_FILE_IO_H
#define ZOBRET_COPY_FILE_IO_H

#include <cstddef>
#include <cstdint>

namespace zobret {

// The bytes of a file from `from` to `to`-1.
struct stretch {
  std::uint64_t from, to;
};

// Access test modes, as the classic access() call takes them.
constexpr int access_read = 4;
constexpr int access_read_write = 6;

// Whether the path passes the access test for mode.
bool file_access(const char* path, int mode);

// What a path names, as file_size finds it.
enum class path_kind {
  missing,    // nothing (or nothing reachable: a part of the path is no folder)
  file,       // a regular file
  directory,  // a folder
  special,    // a pipe, a device or a socket
  unknown,    // the query failed for another reason: no permission, a share that does
              // not answer, on Windows a file that another program is writing
};

// What one lookup tells of a file: enough to see that a path names another file, or the
// same file changed, since the last lookup.
struct file_facts {
  std::uint64_t size = 0;     // bytes, all 64 bits
  std::int64_t modified = 0;  // last modification, nanoseconds since 1970 (UTC), as the
                              // file's own file system (a share: its server) keeps it;
                              // held at the ends of 64 bits (see nanoseconds_since_1970)
  std::uint64_t volume = 0;   // the file system it lies on (POSIX st_dev; Windows: the
                              // volume serial number)
  std::uint64_t index = 0;    // the file on that file system (POSIX st_ino; Windows: the
                              // file index)
};

// Whether two lookups found the same file, and the same file unchanged.
inline bool same_identity(const file_facts& a, const file_facts& b) {
  return a.volume == b.volume && a.index == b.index;
}
inline bool same_file(const file_facts& a, const file_facts& b) {
  return a.size == b.size && a.modified == b.modified && same_identity(a, b);
}

// A time stamp of seconds and nanoseconds since 1970 as file_facts keeps it. Stamps past
// what 64 bits of nanoseconds hold (before 1678 or after 2262: archives, broken clocks)
// are held at INT64_MIN or INT64_MAX, so that they still compare as earlier or later than
// every stamp inside.
constexpr std::int64_t nanoseconds_since_1970(std::int64_t seconds, std::int64_t nanos) {
  constexpr std::int64_t billion = 1000000000;
  if (seconds > (INT64_MAX - nanos) / billion) return INT64_MAX;
  if (seconds < (INT64_MIN + billion) / billion) return INT64_MIN;
  return seconds * billion + nanos;
}

// What path names, and its facts: one query of the file system, one round trip on a
// share; past_cache asks the file system itself where the system can (never the kernel's
// cached view of a share). *facts is set for a file, and for a special file as far as the
// system tells; a size that cannot be read is never taken to be 0.
path_kind file_size(const char* path, file_facts* facts, bool past_cache = false);

// How a read, or a copy in the kernel, went.
enum class io_result {
  done,         // some bytes moved (the count is returned beside)
  failed,       // an error, or the file at its end: nothing moved
  unsupported,  // the kernel cannot copy between these two files (copy_block_in_kernel)
};

// Opens a file for reading (the source, or a destination that is only checked); the
// handle, or -1.
int open_source(const char* path);
// Positions the source at byte offset from the start.
bool seek_source(int handle, std::uint64_t offset);
// Drops what the system's cache holds of len bytes of the file from offset, so that the
// next read asks the file system again. Only a hint.
void forget_cached(int handle, std::uint64_t offset, std::uint64_t len);
// Reads up to len bytes (EINTR retried), the count into *got.
io_result read_block(int handle, char* buf, std::size_t len, std::size_t* got);
// Reads up to len bytes at offset, leaving the handle's position alone where the
// platform can (EINTR retried), the count into *got.
io_result read_block_at(int handle, char* buf, std::size_t len, std::uint64_t offset,
                        std::size_t* got);

// Leaves reading ahead to prefetch alone: the kernel's own read-ahead goes off, so that a
// read asks the file system for just the bytes it wants, while a hint of up to the
// file's sequential window is still taken whole. Only a hint.
void hints_only(int handle);
// Asks the kernel to start reading len bytes of the file from offset into its cache and
// returns without waiting, so that a distant share has them on the way before a read
// asks. Only a hint. Callers ask in pieces of at most 2 MiB.
void prefetch(int handle, std::uint64_t offset, std::uint64_t len);
// What the system tells of how a file is best read: its preferred request size
// (st_blksize), and the read-ahead size of the file system it lies on where the system
// shows it; 0 for what it does not tell.
struct read_sizes {
  std::uint64_t preferred = 0;
  std::uint64_t readahead = 0;
};
// The read sizes of the open file, without a round trip; all 0 when the handle cannot be
// asked.
read_sizes source_read_sizes(int handle);

// Copies up to the bytes of block from the source's current position (which advances) to
// the same offsets of the destination without passing them through this process, the count
// into *copied. unsupported when the two files do not allow it (then read_block and
// write_block_at do the job); failed does not tell which of the two files failed.
io_result copy_block_in_kernel(int source, int destination, stretch block, std::size_t* copied);

// Creates a new destination for reading and writing; fails (-1) when the path exists,
// so a file that another run created in between is never truncated.
int create_destination(const char* path);
// Opens an existing destination for reading and writing, without truncating or
// appending: every write names its own offset.
int open_destination(const char* path);
// Whether writes to the handle can name their own offset (a file or a disk), or bytes can
// only go out in order (a pipe, a terminal, a socket). Decided once per handle: an error
// from a positioned write is then an error, never a reason to write elsewhere.
bool has_offsets(int handle);
// Writes len bytes at offset, continuing partial writes and retrying EINTR: whether all
// were written. *written receives how many bytes of buf reached the file, also on failure.
bool write_block_at(int handle, const char* buf, std::size_t len, std::uint64_t offset,
                    std::size_t* written);
// The same for a handle without offsets: the bytes go out in order.
bool write_block(int handle, const char* buf, std::size_t len, std::size_t* written);
// Starts writing len bytes of the file from offset on to stable storage, without waiting
// for it. Only a hint: a write that fails later is still reported by sync_file.
void start_writeback(int handle, std::uint64_t offset, std::uint64_t len);
// Hands the file's data to stable storage: whether it is there. A device or a pipe that
// cannot be synced at all counts as synced; a regular file that refuses the sync, for
// whatever reason, does not, unless the handle was opened for reading only (open_source)
// and the system refuses to sync such a handle: it has written nothing that could wait.
bool sync_file(int handle);
// Closes a handle: whether that went well (a deferred write error shows here on some
// shares).
bool close_file(int handle);

// Owns one handle and closes it on every way out, unless close_now() has closed it first
// and told how that went. Moves hand the handle on; it is never held twice.
class owned_handle {
 public:
  owned_handle() = default;
  explicit owned_handle(int handle) : handle_(handle) {}
  owned_handle(owned_handle&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }
  owned_handle& operator=(owned_handle&& other) noexcept {
    if (this != &other) {
      close_now();
      handle_ = other.handle_;
      other.handle_ = -1;
    }
    return *this;
  }
  owned_handle(const owned_handle&) = delete;
  owned_handle& operator=(const owned_handle&) = delete;
  ~owned_handle() { close_now(); }
  int get() const { return handle_; }
  // Closes the handle now: false when the close failed.
  bool close_now() {
    const int handle = handle_;
    handle_ = -1;
    return handle < 0 || close_file(handle);
  }

 private:
  int handle_ = -1;
};

// Tells the platform's path separators ('/' everywhere, also '\\' on Windows).
bool is_path_separator(char c);
// The separator used to join a directory and a file name.
char path_separator();

}  // namespace zobret

#endif  // ZOBRET_COPY_FILE_IO_H
