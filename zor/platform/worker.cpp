#include "zor/platform/platform.h"

#include <sys/prctl.h>

namespace zor {

void prepareWorkerThread() {
  // 1 µs instead of the default 50 µs: at a 1 ms slice the default costs ~5% of throughput.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

}  // namespace zor
