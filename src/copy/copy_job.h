// copy_job.h - what the parts of one copy attempt hand each other: the two open files, the
// source's size, and how a stretch of the copy ended. What the run remembers between its
// attempts is run_memory.h's.
#ifndef ZOBRET_COPY_COPY_JOB_H
#define ZOBRET_COPY_COPY_JOB_H

#include <cstdint>

#include "copy/file_io.h"
#include "copy/run_memory.h"

namespace zobret {

// How a stretch of the copy (or of a check) ended. Read and write failures end alike (the
// attempt fails), but only a failure on the destination's side can have cost bytes already
// written.
enum class copy_result {
  done,
  read_failed,   // a file read failed, or the source ended early or changed
  write_failed,  // the destination failed to take, or to sync, a byte
};

// A file the copy has open: its path (which serves only the error lines), its handle, and
// its facts as the attempt's lookup found them. The attempt that opened it also closes it.
struct open_file {
  const char* path;
  owned_handle handle;
  file_facts facts;
};

// The job of one attempt: the source's bytes up to n (its size when the attempt measured
// it) into the destination at the same offsets. A function that changes what the run
// remembers takes its run_memory as well.
struct copy_job {
  open_file source;
  open_file destination;
  std::uint64_t n;
};

}  // namespace zobret

#endif  // ZOBRET_COPY_COPY_JOB_H
