// The device a program mode runs on, as the stored choice (or this run's
// options) names it, with its traffic log when --log is given: shared by
// zor run --console and zor pty. Each call says what went wrong in one line
// that starts "zor MODE: ".
#pragma once

#include <zor/device.h>
#include <zor/host.h>

#include <cstddef>
#include <memory>

namespace zor {

// Refuses a log that the chosen kind would not write (a playback device
// replays one) or that is no regular file (a FIFO or a terminal would block
// the monitor's writes); then, for this process only, the monitor writes
// every row in the view a playback device reads. 0 to go on, else the exit
// status. Nothing to do without a log.
int prepareTrafficLog(const char* mode, const CRunZorSettings& settings, const char* log);

// Opens the chosen device and, with a log, starts writing it; null, having
// said why, when either fails. name receives the device's description.
std::unique_ptr<CDevice> openLoggedDevice(const char* mode, const CRunZorSettings& settings, const char* log,
                                          char* name, std::size_t nameSize);

}  // namespace zor
