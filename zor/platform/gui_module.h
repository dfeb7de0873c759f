// The window layer, libzor-gui, loaded when a mode first needs a window: the
// core library never links Qt, and a program that shows none never loads it.
#pragma once

#include <string>

namespace zor {

// The address of an exported symbol of the window layer, loaded from the
// folder of this library's own file first, then from the loader's search
// path. Null, with the loader's reason in why, when either cannot be had.
void* windowLayerSymbol(const char* fileName, const char* symbol, std::string& why);

}  // namespace zor
