// retry.h - how long the run waits before its next attempt after one that failed. A failure
// that follows progress is answered at once: a brief glitch costs nothing. Failures in a
// row that move nothing forward wait longer and longer, up to a cap, so that an outage of
// hours costs a few lines a minute and almost no processor time, and a share that comes
// back is copying again within the cap plus one attempt.
#ifndef ZOBRET_FRONTEND_RETRY_H
#define ZOBRET_FRONTEND_RETRY_H

namespace zobret {

// The first pause after an attempt that moved nothing forward, and the longest; each
// further such attempt in a row doubles the pause.
constexpr double first_retry_pause = 0.05;
constexpr double longest_retry_pause = 10;

// What the pacing remembers: the failed attempts in a row that moved nothing forward.
struct retry_pace {
  int idle_failures = 0;
};

// The pause in seconds after an attempt that failed. moved: it moved the copy or the
// comparison forward. took: how long it ran, in seconds; an attempt that itself waited
// (a share that answers only after a timeout) has waited that much of its pause already.
// fixed: a pause the user set, taken after every failed attempt as it is (0: never a
// pause); negative for the paced default.
double retry_pause(retry_pace* pace, bool moved, double took, double fixed);

}  // namespace zobret

#endif  // ZOBRET_FRONTEND_RETRY_H
