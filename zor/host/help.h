// The usage text of the zor program.
#pragma once

namespace zor {

// Writes the usage text to standard error; writes nothing when there is none.
void printUsage();

}  // namespace zor
