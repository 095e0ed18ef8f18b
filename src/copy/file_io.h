// file_io.h - the platform layer of the copy engine: access test, size query, and the
// raw file handles the copy moves blocks through. One implementation per platform
// (file_io_posix.cpp, file_io_win32.cpp); nothing else in src/ includes system headers.
//
// Every function returns 0 (or a count) on success and -1 on failure; none writes to the
// console. Handles are plain integers (-1 = none) and never outlive one copy attempt.
#ifndef ZOBRET_COPY_FILE_IO_H
#define ZOBRET_COPY_FILE_IO_H

#include <cstddef>
#include <cstdint>

namespace zobret {

// Access test modes, as the classic access() call takes them.
constexpr int access_exists = 0;
constexpr int access_read = 4;
constexpr int access_read_write = 6;

// 0 when the path passes the access test for mode, -1 otherwise.
int file_access(const char* path, int mode);

// What a path names, as file_size finds it.
constexpr int path_is_missing = 0;    // nothing (or nothing reachable: a part is no folder)
constexpr int path_is_file = 1;       // a regular file
constexpr int path_is_directory = 2;  // a folder
constexpr int path_is_special = 3;    // a pipe, a device or a socket
constexpr int path_is_unknown = -1;   // the query failed for another reason: no permission,
                                      // a share that does not answer, on Windows a file
                                      // that another program is writing

// The size of the file at path in bytes, all 64 bits, into *size, and what path names:
// one query of the file system, one round trip on a share. *size is set for a file, and
// for a special file as far as the system gives it one; a size that cannot be read is
// never taken to be 0.
int file_size(const char* path, std::uint64_t* size);

// Opens a file for reading (the source, or a destination that is only checked); the
// handle, or -1.
int open_source(const char* path);
// Positions the source at byte offset from the start; 0 or -1.
int seek_source(int handle, std::uint64_t offset);
// Drops what the system's cache holds of len bytes of the source from offset, so that the
// next read asks the file system again. Only a hint: 0, or -1 when it cannot.
int source_forget(int handle, std::uint64_t offset, std::uint64_t len);
// Reads up to len bytes (EINTR retried): the count, 0 at end of file, -1 on error.
long long read_block(int handle, char* buf, std::size_t len);
// Reads up to len bytes at offset, leaving the handle's position alone where the
// platform can (EINTR retried): the count, 0 at end of file, -1 on error.
long long read_block_at(int handle, char* buf, std::size_t len, std::uint64_t offset);

// The current size of an open file, all 64 bits: 0 and *size, or -1.
int handle_size(int handle, std::uint64_t* size);

// Leaves reading the source ahead to source_prefetch alone: the kernel's own read-ahead
// goes off, so that a read asks the file system for just the bytes it wants (a slow share
// delivers each block as soon as it has arrived, and nothing is read beyond the hints),
// while a hint of up to the sequential read-ahead window (twice the mount's read-ahead
// size) is still taken whole. 0, or -1 (only a hint).
int source_hints_only(int handle);
// Asks the kernel to start reading len bytes of the source from offset into its cache and
// returns without waiting for them, so that a distant share has them on the way before the
// copy asks; a read then finds them there. Only a hint: 0, or -1 when it cannot. The kernel
// takes at most its sequential read-ahead window per call (twice the mount's read-ahead
// size, or the mount's largest request where that is larger) and sends it as requests of at
// most 2 MiB, so callers ask in pieces no larger than that.
int source_prefetch(int handle, std::uint64_t offset, std::uint64_t len);
// What the system tells of how the source is best read: *preferred, the file's preferred
// size of a request (st_blksize), and *readahead, the read-ahead size of the file system it
// lies on, where the system shows it for that file system (Linux: its backing device in
// /sys/class/bdi, found for NFS, FUSE and whole disks, not for cifs); 0 for what it does not
// tell. Asks the system, not the file system: no round trip on a share. 0, or -1 when the
// handle cannot be asked (both then 0).
int source_read_sizes(int handle, std::uint64_t* preferred, std::uint64_t* readahead);

// What copy_block_in_kernel returns when the kernel cannot copy between these two files.
constexpr long long copy_unsupported = -2;
// Copies up to len bytes from the source's current position (which advances) to offset
// in the destination without passing them through this process: the count, 0 at the
// source's end, copy_unsupported when the two files do not allow it (then read_block and
// write_block_at do the job), or -1 on any other failure, which does not tell which of
// the two files failed.
long long copy_block_in_kernel(int source, int destination, std::size_t len,
                               std::uint64_t offset);

// Creates a new destination for reading and writing; fails (-1) when the path exists,
// so a file that another run created in between is never truncated.
int create_destination(const char* path);
// Opens an existing destination for reading and writing, without truncating or
// appending: every write names its own offset.
int open_destination(const char* path);
// 1 when writes to the handle can name their own offset (a file or a disk), 0 when
// bytes can only go out in order (a pipe, a terminal, a socket). Decided once per handle:
// an error from a positioned write is then an error, never a reason to write elsewhere.
int has_offsets(int handle);
// Writes len bytes at offset, continuing partial writes and retrying EINTR.
// *written receives how many bytes of buf reached the file, also on failure.
// Returns 0 when all were written, -1 otherwise.
int write_block_at(int handle, const char* buf, std::size_t len, std::uint64_t offset,
                   std::size_t* written);
// The same for a handle without offsets: the bytes go out in order.
int write_block(int handle, const char* buf, std::size_t len, std::size_t* written);
// Starts writing len bytes of the file from offset on to stable storage, without waiting
// for it, so that the sync at the end finds little left to do. Only a hint: 0, or -1
// when it cannot; a write that fails later is still reported by sync_file.
int start_writeback(int handle, std::uint64_t offset, std::uint64_t len);
// Hands the file's data to stable storage. A device or a pipe that cannot be synced at
// all counts as synced; a regular file that refuses the sync, for whatever reason, does
// not, unless the handle was opened for reading only (writable false) and the system
// refuses to sync such a handle: it has written nothing that could wait. 0 or -1.
int sync_file(int handle, bool writable);
// Closes a handle; 0 or -1 (a deferred write error shows here on some shares).
int close_file(int handle);

// Owns one handle for the length of a scope and closes it on every way out, unless
// close_now() has closed it first and told how that went.
class owned_handle {
 public:
  explicit owned_handle(int handle) : handle_(handle) {}
  owned_handle(const owned_handle&) = delete;
  owned_handle& operator=(const owned_handle&) = delete;
  ~owned_handle() { close_now(); }
  int get() const { return handle_; }
  // Closes the handle now: 0, or -1 when the close failed.
  int close_now() {
    const int handle = handle_;
    handle_ = -1;
    return handle >= 0 ? close_file(handle) : 0;
  }

 private:
  int handle_;
};

// Tells the platform's path separators ('/' everywhere, also '\\' on Windows).
bool is_path_separator(char c);
// The separator used to join a directory and a file name.
char path_separator();

}  // namespace zobret

#endif  // ZOBRET_COPY_FILE_IO_H
