// run.h - the whole program behind main: banner, argument check, retry loop.
#ifndef ZOBRET_FRONTEND_RUN_H
#define ZOBRET_FRONTEND_RUN_H

namespace zobret {

// Runs the tool on a command line and returns its exit status: 0 once an attempt has
// finished the job, -1 after the help text. Between the two it retries without end.
int run(int argc, const char* const* argv);

}  // namespace zobret

#endif  // ZOBRET_FRONTEND_RUN_H
