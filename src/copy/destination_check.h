// destination_check.h - what an attempt makes sure of in the bytes a destination already
// holds, before it copies behind them: that a destination the run found is the source's
// prefix, that bytes a failure of this run may have spoiled are the source's, and, where
// either look or the source's own facts say otherwise, that the whole destination is.
#ifndef ZOBRET_COPY_DESTINATION_CHECK_H
#define ZOBRET_COPY_DESTINATION_CHECK_H

#include <cstdint>

#include "copy/copy_job.h"

namespace zobret {

// Makes sure that the first k bytes of the job's open destination (k <= n) are the
// source's, as the run's memory says is due: the first look at a destination the run
// found, the second look after a failure, or the whole comparison (destination_check.cpp
// tells how). Returns done, or a failure after its error line; what is still due stays in
// the run's memory for the next attempt.
copy_result check_destination(const copy_job& job, run_memory* memory, std::uint64_t k);

// Before the bytes that a failure of this run may have cost are written again into a
// destination of k bytes: when the whole comparison is due, its last page is put out of
// place first (see destination_check.cpp), and *to, where the rewrite ends, stops before
// that page; otherwise *to is k. Returns done, or a failure after its error line.
copy_result prepare_rewrite(const copy_job& job, run_memory* memory, std::uint64_t k,
                            std::uint64_t* to);

// A comparison that cannot end (the source became shorter than the destination) puts back
// what the page it held out of place held before, so that the destination keeps no bytes
// that are neither its old ones nor the source's. Returns done, or a failure after its
// error line.
copy_result put_back_held_page(const copy_job& job, run_memory* memory);

}  // namespace zobret

#endif  // ZOBRET_COPY_DESTINATION_CHECK_H
