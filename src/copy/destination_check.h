// destination_check.h - what an attempt makes sure of in the bytes a destination already
// holds, before it copies behind them: that a destination the run found is the source's
// prefix, that bytes a failure of this run may have spoiled are the source's, and, where
// either look or the source's own facts say otherwise, that the whole destination is.
#ifndef ZOBRET_COPY_DESTINATION_CHECK_H
#define ZOBRET_COPY_DESTINATION_CHECK_H

#include <cstdint>

#include "copy/copy_job.h"

namespace zobret {

// Checks the first k bytes of the job's open destination (k <= n) against the source, as
// the run's memory says is due:
// - the run's first look at a destination it found: the source's modification time
//   against the destination's, then a few blocks spread over the destination and its last
//   stretch compared with the source, and every page near its end that ends in a zero
//   byte (what a share that went away leaves);
// - later, the second look at the last bytes that an earlier attempt of the run wrote:
//   every page there that ends in a zero byte is compared, and written again where it
//   differs;
// - when the first look finds a difference, the source is suspect, or the source changed
//   within the run: the whole destination compared with the source block by block, every
//   block that differs written again at its offset and synced, with a log line and a
//   progress display of its own. A run killed meanwhile leaves a last page that differs
//   from the source, so the next run compares again.
// Returns done, or a failure after its error line; whatever is still due stays in the
// run's memory for the next attempt.
copy_result check_destination(const copy_job& job, std::uint64_t k);

}  // namespace zobret

#endif  // ZOBRET_COPY_DESTINATION_CHECK_H
