// The window layer, libzor-gui, loaded when a mode first needs a window: the
// program links no Qt, and a mode that shows none never loads it.
#pragma once

#include <string>

namespace zor {

// The address of an exported symbol of the window layer, loaded from the
// folder of this library's own file first, then from the loader's search
// path. Null, with the loader's reason in why, when either cannot be had.
// "This library" is the host library, installed beside libzor-gui.
void* windowLayerSymbol(const char* fileName, const char* symbol, std::string& why);

}  // namespace zor
