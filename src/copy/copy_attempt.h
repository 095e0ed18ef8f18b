// copy_attempt.h - one copy attempt: check and measure the source, then copy it whole
// into a new destination or resume behind the last byte of an existing one.
#ifndef ZOBRET_COPY_COPY_ATTEMPT_H
#define ZOBRET_COPY_COPY_ATTEMPT_H

#include "copy/copy_job.h"

namespace zobret {

// Attempt results: the job is finished, another attempt is due, or the job cannot be done
// as asked and no attempt will do it (the destination is the source itself, or longer than
// the source): the run ends without " Complete." and with this as its exit status.
constexpr int attempt_finished = 0;
constexpr int attempt_failed = -1;
constexpr int attempt_refused = 1;

// One attempt over the two paths: reports every step as a log line, opens and closes
// its own files, and returns attempt_finished, attempt_failed or attempt_refused. It
// finishes only after a sync of the destination that succeeded. memory carries what earlier
// attempts of the same run learned; without it the attempt acts as the first of a run.
int copy_attempt(const char* source, const char* destination, run_memory* memory = nullptr);

}  // namespace zobret

#endif  // ZOBRET_COPY_COPY_ATTEMPT_H
