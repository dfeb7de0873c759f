// The one place where a served device's kind meets the line settings a
// client gives the bridge's pseudo-terminal (pty.h says what a pty can carry).
// A kind with a line of its own gets a case in both functions; every other
// kind ignores the settings.
#pragma once

#include "zor/platform/pty.h"

#include <zor/device.h>

namespace zor {

// The device's line as the pty should show it to a client, and the parity to
// keep while the client asks for none or even (which a pty cannot tell
// apart). False for a kind without line settings.
bool servedPtyLine(CDevice& device, PtyLine& line, char& noneOrEven);

// Gives the device the client's settings; false when it refused them or its kind has none.
bool applyPtyLine(CDevice& device, const PtyLine& line, char noneOrEven);

}  // namespace zor
