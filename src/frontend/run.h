// run.h - the whole program behind main: banner, argument check, retry loop.
#ifndef ZOBRET_FRONTEND_RUN_H
#define ZOBRET_FRONTEND_RUN_H

namespace zobret {

// Runs the tool on a command line and returns its exit status: 0 once an attempt has
// finished the job (the destination equals the source and is on disk); 1 when no attempt
// can (the destination is the source itself, or longer than it); -1 after the help text
// or a ZOBRET_RETRY_PAUSE it cannot read. Until one of those it retries without end.
int run(int argc, const char* const* argv);

}  // namespace zobret

#endif  // ZOBRET_FRONTEND_RUN_H
