// Reading a USB configuration descriptor block: the transfer sizes it implies
// and its line-by-line description. Both walk only the bytes actually there.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace zor {

// Walks the block (the configuration, then each interface and its endpoints
// while the offset is below wTotalLength and inside the size bytes) and sets
// rx to the last IN endpoint's packet size and tx to the last OUT endpoint's;
// each stays as it was when the block has no such endpoint. The walk stops at
// a descriptor whose length is shorter than its fields or runs past the block.
void usbTransferSizes(const unsigned char* block, std::size_t size, int& rx, int& tx);

// The lines of the configuration dump for a request that succeeded (ok) with
// size bytes in block, or failed.
std::vector<std::string> usbConfigLines(bool ok, const unsigned char* block, std::size_t size);

}  // namespace zor
