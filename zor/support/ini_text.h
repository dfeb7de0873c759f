// The INI text of the settings file, parsed without touching any file, so that
// the store and the start-up read it alike (and a fuzz target can feed it).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zor::ini {

std::string_view trim(std::string_view s);
// Names compare without regard to ASCII case.
bool sameName(std::string_view a, std::string_view b);

struct Line {
  std::string_view text;  // without the '\n'
  std::size_t begin = 0;  // offset in the file
  std::size_t end = 0;    // offset after the '\n' (or end of file)
};
std::vector<Line> splitLines(std::string_view file);

// Section name of a "[name]" line, or nullopt for any other line.
std::optional<std::string_view> sectionOf(std::string_view line);
// Key and raw value of a "key=value" line; nullopt for comments and garbage.
std::optional<std::pair<std::string_view, std::string_view>> entryOf(std::string_view line);
// Values with outer blanks or an opening quote are stored in double quotes.
std::string decodeValue(std::string_view raw);
// The value of key in section (the first one), decoded.
std::optional<std::string> lookup(std::string_view file, std::string_view section, std::string_view key);
// A whole decimal number within 32 bits, blanks around it allowed.
std::optional<long> parseNumber(const std::string& text);
// Lines that are neither blank, a comment, a section nor an entry; *firstRow
// (1-based) is set to the first of them when there is one.
std::size_t unknownLines(std::string_view file, std::size_t* firstRow);

}  // namespace zor::ini
