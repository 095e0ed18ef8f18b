// retry.cpp - the pause between failed attempts (see retry.h).
#include "frontend/retry.h"

#include <algorithm>

namespace zobret {

double retry_pause(retry_pace* pace, bool moved, double took, double fixed) {
  if (moved) pace->idle_failures = 0;
  else if (pace->idle_failures < 64) ++pace->idle_failures;  // far past the cap already
  if (fixed >= 0) return fixed;
  if (pace->idle_failures == 0) return 0;
  double pause = first_retry_pause;
  for (int i = 1; i < pace->idle_failures && pause < longest_retry_pause; ++i) pause *= 2;
  return std::max(0.0, std::min(pause, longest_retry_pause) - std::max(0.0, took));
}

}  // namespace zobret
