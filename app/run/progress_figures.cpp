#include "app/run/progress_figures.h"

#include <algorithm>

namespace odu {

int PercentDone(int done_bytes, int total_bytes) {
  if (total_bytes <= 0) return 100;
  return static_cast<int>(std::clamp(done_bytes * 100LL / total_bytes, 0LL, 100LL));
}

}  // namespace odu
