// fault_inject.c - an LD_PRELOAD library that makes chosen file calls fail or move fewer
// bytes, for running the built zobret against the faults of a network share (Linux).
//
//   FAULT_CALLS  calls to act on, comma-separated: open read pread write pwrite
//                copy_file_range fsync close stat access fstat lseek time (open64/openat
//                count as open, fdatasync as fsync, statx as stat, the *64 names as their
//                base; time on the path "")
//   FAULT_ERRNO  the errno they fail with, a name (EIO, ENOSPC, ...) or a number; "short"
//                makes read, pread, write, pwrite and copy_file_range move half the bytes
//                asked (>= 1) and stat and fstat report half the size; "zeros" makes read
//                and pread hand over zero-filled bytes, as many as they read (a dropping
//                share); "kill" ends the process with SIGKILL instead of making the call;
//                "stall" makes the calling thread wait FAULT_STALL seconds (default 61),
//                then makes the call as asked (a hard mount whose server is hung)
//   FAULT_PATH   only calls on files whose path contains this text (fds: /proc/self/fd)
//   FAULT_NTH    act on the Nth matching call only, or on the Nth to the Mth ("N-M"); or
//   FAULT_PROB   on each with this probability (FAULT_SEED, default 1); neither: on all
//   FAULT_THEN_CALLS, _ERRNO, _PATH (default FAULT_PATH), _NTH, _PROB  a second fault,
//                counted on its own; once it has acted, the first one acts no more (a
//                share that hands over zeros, then fails)
//   FAULT_STOP_CALLS, FAULT_STOP_NTH  besides: stop the process (SIGSTOP) before the Nth
//                of these calls on FAULT_PATH, then make the call as asked once continued
//   FAULT_LOG    appends "injected CALL PATH ERRNO" per fault, "fsync PATH ok|failed" per
//                sync of a regular file, and at exit "bytes read N": what read, pread and
//                copy_file_range took from files matching FAULT_COUNT (default FAULT_PATH)
#define _GNU_SOURCE
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

// One fault: the calls it acts on, where, when and how.
struct rule {
  int err, how, nth, nth_last;  // how: 0 fail with err, 1 short, 2 zeros, 3 kill, 4 stall
  char calls[256], path[PATH_MAX], err_text[32];
  double prob;
  unsigned long long seen;
};

static struct {
  int ready, log, stop_nth, then_acted;
  struct rule rule[2];  // FAULT_*, FAULT_THEN_*
  char stop_calls[256], count[PATH_MAX];
  unsigned long long stop_seen, random, bytes;
} f;

#define NEXT(name) \
  static __typeof__(name)* next; \
  if (!next) next = (__typeof__(name)*)dlsym(RTLD_NEXT, #name)

static const char* env(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

// FAULT_WHAT for the first rule, FAULT_THEN_WHAT for the second.
static const char* rule_env(int r, const char* what) {
  char name[40];
  snprintf(name, sizeof name, "FAULT_%s%s", r ? "THEN_" : "", what);
  return env(name);
}

static void note(const char* format, ...) {
  char line[PATH_MAX + 128];
  va_list ap;
  va_start(ap, format);
  const int n = vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  NEXT(write);  // the library's own write would count as the tool's
  if (f.log >= 0 && n > 0)
    (void)!next(f.log, line, (size_t)n < sizeof line ? (size_t)n : sizeof line - 1);
}

__attribute__((constructor)) static void setup(void) {
  if (f.ready) return;
  f.ready = 1;
  static const struct {
    const char* name;
    int value;
  } names[] = {{"EIO", EIO},     {"ENOSPC", ENOSPC}, {"ESPIPE", ESPIPE},       {"EINVAL", EINVAL},
               {"EROFS", EROFS}, {"EACCES", EACCES}, {"ETIMEDOUT", ETIMEDOUT}, {"ENOENT", ENOENT},
               {"EBADF", EBADF}, {"EINTR", EINTR},   {"EXDEV", EXDEV}};
  static const char* const hows[] = {"short", "zeros", "kill", "stall"};
  for (int r = 0; r < 2; ++r) {
    struct rule* u = &f.rule[r];
    snprintf(u->calls, sizeof u->calls, ",%s,", rule_env(r, "CALLS"));
    snprintf(u->path, sizeof u->path, "%s", rule_env(*rule_env(r, "PATH") ? r : 0, "PATH"));
    snprintf(u->err_text, sizeof u->err_text, "%s", rule_env(r, "ERRNO"));
    u->err = atoi(u->err_text);
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i)
      if (strcmp(u->err_text, names[i].name) == 0) u->err = names[i].value;
    for (int h = 0; h < 4; ++h)
      if (strcmp(u->err_text, hows[h]) == 0) u->how = h + 1;
    const char* nth = rule_env(r, "NTH");
    u->nth = atoi(nth);
    u->nth_last = strchr(nth, '-') ? atoi(strchr(nth, '-') + 1) : u->nth;
    u->prob = atof(rule_env(r, "PROB"));
  }
  snprintf(f.stop_calls, sizeof f.stop_calls, ",%s,", env("FAULT_STOP_CALLS"));
  f.stop_nth = atoi(env("FAULT_STOP_NTH"));
  snprintf(f.count, sizeof f.count, "%s",
           *env("FAULT_COUNT") ? env("FAULT_COUNT") : f.rule[0].path);
  f.random = strtoull(env("FAULT_SEED"), NULL, 10) * 2654435761u + 1;
  NEXT(open);
  f.log = *env("FAULT_LOG")
              ? next(env("FAULT_LOG"), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)
              : -1;
}

__attribute__((destructor)) static void report(void) { note("bytes read %llu\n", f.bytes); }

static const char* fd_path(int fd, char* buf) {
  char link[40];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, buf, PATH_MAX - 1);
  buf[n < 0 ? 0 : n] = '\0';
  return buf;
}

static int on(const char* want, const char* path, const char* other) {
  return strstr(path, want) || (other && strstr(other, want));
}

// Whether rule u acts on this call (key ",call,").
static int acts(struct rule* u, const char* key, const char* path, const char* other) {
  if (!strstr(u->calls, key) || !on(u->path, path, other)) return 0;
  ++u->seen;
  f.random ^= f.random << 13, f.random ^= f.random >> 7, f.random ^= f.random << 17;
  return u->nth
             ? u->seen >= (unsigned long long)u->nth && u->seen <= (unsigned long long)u->nth_last
             : !(u->prob > 0 && (double)(f.random >> 11) >= u->prob * 0x1p53);
}

// What to do with one call on path (or on either of two): 0 let it through, -1 fail it
// (errno set), 1 move fewer bytes, 2 hand over zeros.
static int decide(const char* call, const char* path, const char* other) {
  setup();
  char key[40];
  snprintf(key, sizeof key, ",%s,", call);
  if (on(f.rule[0].path, path, other) && strstr(f.stop_calls, key) &&
      ++f.stop_seen == (unsigned long long)f.stop_nth) {
    note("stopped at %s %s\n", call, path);
    raise(SIGSTOP);
  }
  struct rule* u = acts(&f.rule[1], key, path, other)                    ? &f.rule[1]
                   : !f.then_acted && acts(&f.rule[0], key, path, other) ? &f.rule[0]
                                                                         : NULL;
  if (!u) return 0;
  f.then_acted = f.then_acted || u == &f.rule[1];
  note("injected %s %s %s\n", call, path, u->err_text);
  if (u->how == 3) raise(SIGKILL);
  if (u->how == 4) {
    for (unsigned left = *env("FAULT_STALL") ? (unsigned)atoi(env("FAULT_STALL")) : 61; left;)
      left = sleep(left);
    return 0;
  }
  if (u->how == 1 || u->how == 2) return u->how;
  errno = u->err;
  return -1;
}

static size_t asked(int how, size_t len) { return how == 1 && len > 1 ? len / 2 : len; }

// A read that moved n bytes into buf: counted, and zero-filled when how says so.
static ssize_t counted(int reads, const char* path, ssize_t n, int how, void* buf) {
  if (reads && n > 0 && strstr(path, f.count)) f.bytes += (unsigned long long)n;
  if (reads && how == 2 && n > 0 && buf) memset(buf, 0, (size_t)n);
  return n;
}

#define MODE \
  va_list ap; \
  va_start(ap, flags); \
  const mode_t mode = flags & (O_CREAT | O_TMPFILE) ? va_arg(ap, mode_t) : 0; \
  va_end(ap);

int open(const char* path, int flags, ...) {
  MODE NEXT(open);
  return decide("open", path, 0) < 0 ? -1 : next(path, flags, mode);
}
int open64(const char* path, int flags, ...) {
  MODE NEXT(open64);
  return decide("open", path, 0) < 0 ? -1 : next(path, flags, mode);
}
int openat(int dir, const char* path, int flags, ...) {
  MODE NEXT(openat);
  return decide("open", path, 0) < 0 ? -1 : next(dir, path, flags, mode);
}
// "short" makes stat and fstat report half the size: a source cut short.
#define STAT_CALL(name, type, arg, path_of) \
  int name(arg, type* st) { \
    NEXT(name); \
    char p[PATH_MAX]; \
    (void)p; \
    const int how = decide(#name[0] == 'f' ? "fstat" : "stat", path_of, 0), \
              r = how < 0 ? -1 : next(at, st); \
    if (r == 0 && how == 1) st->st_size /= 2; \
    return r; \
  }
STAT_CALL(stat, struct stat, const char* at, at)
int statx(int dir, const char* path, int flags, unsigned mask, struct statx* st) {
  NEXT(statx);
  const int how = decide("stat", path, 0), r = how < 0 ? -1 : next(dir, path, flags, mask, st);
  if (r == 0 && how == 1) st->stx_size /= 2;
  return r;
}
STAT_CALL(stat64, struct stat64, const char* at, at)
int access(const char* path, int mode) {
  NEXT(access);
  return decide("access", path, 0) < 0 ? -1 : next(path, mode);
}

// The calls on descriptors name their file through /proc/self/fd.
STAT_CALL(fstat, struct stat, int at, fd_path(at, p))
STAT_CALL(fstat64, struct stat64, int at, fd_path(at, p))
off_t lseek(int fd, off_t at, int whence) {
  NEXT(lseek);
  char p[PATH_MAX];
  return decide("lseek", fd_path(fd, p), 0) < 0 ? -1 : next(fd, at, whence);
}
off64_t lseek64(int fd, off64_t at, int whence) {
  NEXT(lseek64);
  char p[PATH_MAX];
  return decide("lseek", fd_path(fd, p), 0) < 0 ? -1 : next(fd, at, whence);
}

#define MOVE_CALL(name, call, params, ...) \
  ssize_t name params { \
    NEXT(name); \
    char p[PATH_MAX]; \
    const int how = decide(call, fd_path(fd, p), 0); \
    return how < 0 ? -1 \
                   : counted(strstr(call, "read") != 0, p, next(__VA_ARGS__), how, (void*)buf); \
  }
MOVE_CALL(read, "read", (int fd, void* buf, size_t len), fd, buf, asked(how, len))
MOVE_CALL(pread, "pread", (int fd, void* buf, size_t len, off_t at), fd, buf, asked(how, len), at)
MOVE_CALL(pread64, "pread", (int fd, void* buf, size_t len, off64_t at), fd, buf, asked(how, len),
          at)
MOVE_CALL(write, "write", (int fd, const void* buf, size_t len), fd, buf, asked(how, len))
MOVE_CALL(pwrite, "pwrite", (int fd, const void* buf, size_t len, off_t at), fd, buf,
          asked(how, len), at)
MOVE_CALL(pwrite64, "pwrite", (int fd, const void* buf, size_t len, off64_t at), fd, buf,
          asked(how, len), at)

ssize_t copy_file_range(int fd, off64_t* in_at, int out, off64_t* out_at, size_t len,
                        unsigned flags) {
  NEXT(copy_file_range);
  char p[PATH_MAX], q[PATH_MAX];
  const int how = decide("copy_file_range", fd_path(fd, p), fd_path(out, q));
  return how < 0 ? -1 : counted(1, p, next(fd, in_at, out, out_at, asked(how, len), flags), 0, 0);
}

// A clock that cannot be read.
time_t time(time_t* out) {
  NEXT(time);
  if (decide("time", "", 0) < 0) return (time_t)-1;
  return next(out);
}

// A descriptor is released even when close fails.
int close(int fd) {
  NEXT(close);
  char p[PATH_MAX];
  const int how = decide("close", fd_path(fd, p), 0), e = errno, r = next(fd);
  errno = how < 0 ? e : errno;
  return how < 0 ? -1 : r;
}

static int synced(int fd, int (*sync_call)(int)) {
  char p[PATH_MAX];
  const int r = decide("fsync", fd_path(fd, p), 0) < 0 ? -1 : sync_call(fd), e = errno;
  struct stat st;
  NEXT(fstat);
  if (next(fd, &st) == 0 && S_ISREG(st.st_mode)) note("fsync %s %s\n", p, r == 0 ? "ok" : "failed");
  errno = e;
  return r;
}
int fsync(int fd) {
  NEXT(fsync);
  return synced(fd, next);
}
int fdatasync(int fd) {
  NEXT(fdatasync);
  return synced(fd, next);
}
