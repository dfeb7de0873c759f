// Parsing the INI text of the settings file.
#include "zor/support/ini_text.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>

namespace zor::ini {

std::string_view trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return s.substr(b, e - b);
}

bool sameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::vector<Line> splitLines(std::string_view file) {
  std::vector<Line> lines;
  std::size_t pos = 0;
  while (pos < file.size()) {
    std::size_t nl = file.find('\n', pos);
    std::size_t stop = nl == std::string_view::npos ? file.size() : nl;
    std::size_t next = nl == std::string_view::npos ? file.size() : nl + 1;
    lines.push_back({file.substr(pos, stop - pos), pos, next});
    pos = next;
  }
  return lines;
}

std::optional<std::string_view> sectionOf(std::string_view line) {
  line = trim(line);
  if (line.size() < 2 || line.front() != '[' || line.back() != ']') return std::nullopt;
  return trim(line.substr(1, line.size() - 2));
}

std::optional<std::pair<std::string_view, std::string_view>> entryOf(std::string_view line) {
  std::string_view t = trim(line);
  if (t.empty() || t[0] == ';' || t[0] == '#') return std::nullopt;
  std::size_t eq = t.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  std::string_view key = trim(t.substr(0, eq));
  if (key.empty()) return std::nullopt;
  return std::make_pair(key, trim(t.substr(eq + 1)));
}

std::string decodeValue(std::string_view raw) {
  if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"')
    return std::string(raw.substr(1, raw.size() - 2));
  return std::string(raw);
}

namespace {

// The next line of rest (without its '\n'), taken off rest. Reads need no
// list of lines: a file of millions of them costs no memory.
std::string_view takeLine(std::string_view& rest) {
  std::size_t nl = rest.find('\n');
  std::string_view line = rest.substr(0, nl);
  rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
  return line;
}

}  // namespace

std::optional<std::string> lookup(std::string_view file, std::string_view section, std::string_view key) {
  bool inSection = false;
  while (!file.empty()) {
    std::string_view line = takeLine(file);
    if (auto name = sectionOf(line)) {
      inSection = sameName(*name, section);
      continue;
    }
    if (!inSection) continue;
    auto entry = entryOf(line);
    if (entry && sameName(entry->first, key)) return decodeValue(entry->second);
  }
  return std::nullopt;
}

std::optional<long> parseNumber(const std::string& text) {
  std::string t(trim(text));
  if (t.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(t.c_str(), &end, 10);
  if (errno != 0 || end == t.c_str() || *end != '\0') return std::nullopt;
  if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
  return static_cast<long>(v);
}

std::size_t unknownLines(std::string_view file, std::size_t* firstRow) {
  std::size_t count = 0, row = 0;
  while (!file.empty()) {
    ++row;
    std::string_view t = trim(takeLine(file));
    if (t.empty() || t[0] == ';' || t[0] == '#' || sectionOf(t) || entryOf(t)) continue;
    if (count++ == 0 && firstRow != nullptr) *firstRow = row;
  }
  return count;
}

}  // namespace zor::ini
