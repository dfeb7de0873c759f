// Rendering of monitor lines: tags, time stamps, byte views and the one line
// format shared by the debugger output and the traffic log file.
#pragma once

#include <cstddef>
#include <string>

namespace zor {

// LineKind 0..9; above 9 (continuation of a playback error) there is no tag.
const char* lineTag(int lineKind);

// LineKind of the first line of a record of log kind `kind`, -1 for none.
int firstLineKind(int kind);

// "%.2li:%.2li:%.2li.%.3li" of t milliseconds; hours are not reduced modulo 24.
// Writes at most size - 1 characters and a NUL; returns the length.
std::size_t formatTimestamp(unsigned long t, char* out, std::size_t size);

// Appends the rendering of n bytes in view mode `view` (1 hexadecimal "%.2x ",
// 2 ASCII "%c" with zero bytes left out, anything else decimal "%.3i ") at
// out, which must have room for 4 * n characters and a NUL; returns the length.
std::size_t renderBytes(int view, const unsigned char* data, std::size_t n, char* out);

// tag TAB time TAB size TAB data LF, appended to line. Null texts count as empty.
void appendLine(std::string& line, int lineKind, const char* time, const char* size, const char* data);

}  // namespace zor
