// SIGINT, SIGTERM and SIGHUP as a request to stop, for programs that serve until told.
#pragma once

#include <zor/platform.h>

namespace zor {

// Routes the three signals to a private pipe (from any thread). False when that fails.
bool watchStopSignals();
// Waits up to milliseconds for one of them: its number, or 0 on time-out.
int waitStopSignal(DWORD milliseconds);

}  // namespace zor
