#include "zor/devices/trafficlog_reader.h"

#include <array>
#include <new>

namespace zor {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\r' || c == '\v' || c == '\f' || c == '\t' || c == '\n'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

// The first four non-empty fields between TABs; missing ones stay empty.
std::array<std::string_view, 4> tokens(std::string_view line) {
  std::array<std::string_view, 4> out{};
  std::size_t n = 0;
  std::size_t pos = 0;
  while (n < out.size() && pos < line.size()) {
    std::size_t end = line.find_first_of("\t\n", pos);
    if (end == std::string_view::npos) end = line.size();
    std::string_view tok = trim(line.substr(pos, end - pos));
    if (!tok.empty()) out[n++] = tok;
    pos = end + 1;
  }
  return out;
}

// For messages: at most 24 characters, control and non-ASCII bytes as '?'.
std::string quote(std::string_view s) {
  std::string out = "\"";
  for (std::size_t i = 0; i < s.size() && i < 24; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    out.push_back(c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?');
  }
  if (s.size() > 24) out += "...";
  return out + "\"";
}

bool digits(std::string_view s, std::size_t at, std::size_t count, std::uint32_t& value) {
  if (at + count > s.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    value = value * 10 + static_cast<std::uint32_t>(s[i] - '0');
  }
  return true;
}

// "h:mm:ss.mmm" with one or more hour digits, as the monitor writes it. The
// result wraps at 32 bits, as the clock that produced it does.
bool parseTime(std::string_view s, std::uint32_t& time) {
  std::size_t colon = s.find(':');
  if (colon == 0 || colon == std::string_view::npos || colon > 9 || s.size() != colon + 10) return false;
  std::uint32_t hours, minutes, seconds, millis;
  if (!digits(s, 0, colon, hours) || s[colon + 3] != ':' || s[colon + 6] != '.' ||
      !digits(s, colon + 1, 2, minutes) || !digits(s, colon + 4, 2, seconds) ||
      !digits(s, colon + 7, 3, millis))
    return false;
  if (minutes > 59 || seconds > 59) return false;
  std::uint64_t t = std::uint64_t{hours} * 3600000u + minutes * 60000u + seconds * 1000u + millis;
  time = static_cast<std::uint32_t>(t);
  return true;
}

bool parseSize(std::string_view s, std::uint32_t& size) {
  if (s.empty() || s.size() > 10) return false;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (v > 0xFFFFFFFFu) return false;
  size = static_cast<std::uint32_t>(v);
  return true;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isContinuationTag(std::string_view tag) { return tag == "<<.." || tag == ">>.."; }

}  // namespace

std::size_t byteFieldCount(std::string_view text) { return (text.size() + 1) / 3; }

bool TrafficLogReader::fail(unsigned long row, const std::string& what) {
  if (m_error.empty()) m_error = "row " + std::to_string(row) + ": " + what;
  return false;
}

bool TrafficLogReader::incompleteRecord() {
  return fail(m_recordRow, "record of " + std::to_string(m_recordSize) + " bytes holds only " +
                               std::to_string(m_recordSize - m_missing) + " (size larger than its data)");
}

// Parses the byte fields of text (all of them must be well formed) and
// appends the first count to element.
bool TrafficLogReader::addBytes(std::string_view text, std::uint32_t count, ELEMENT& element) {
  const std::size_t fields = byteFieldCount(text);
  bool wellFormed = text.size() % 3 != 1;
  for (std::size_t i = 0; wellFormed && i < fields; ++i) {
    const char a = text[3 * i];
    const char b = text[3 * i + 1];
    wellFormed = (a == '?' && b == '?') || (hexDigit(a) >= 0 && hexDigit(b) >= 0);
    if (i + 1 < fields && text[3 * i + 2] != ' ') wellFormed = false;
  }
  if (!wellFormed)
    return fail(m_row, "data " + quote(text) +
                           " is not bytes of the hexadecimal view (\"xx\" or \"??\", one blank apart)");
  try {
    for (std::size_t i = 0; i < count; ++i) {
      BYTE_EX b;
      b.wildcard = text[3 * i] == '?';
      if (!b.wildcard)
        b.value = static_cast<std::uint8_t>(hexDigit(text[3 * i]) * 16 + hexDigit(text[3 * i + 1]));
      element.data.push_back(b);
    }
  } catch (const std::bad_alloc&) {
    m_outOfMemory = true;
    return fail(m_row, "out of memory");
  }
  element.size = static_cast<std::uint32_t>(element.data.size());
  return true;
}

bool TrafficLogReader::addLine(std::string_view line) {
  ++m_row;
  if (!m_error.empty()) return false;
  // Editors may start a UTF-8 file with a byte order mark.
  if (m_row == 1 && line.starts_with("\xEF\xBB\xBF")) line.remove_prefix(3);
  const auto tok = tokens(line);
  const std::string_view tag = tok[0];
  if (tag.empty()) return true;  // blank line

  if (isContinuationTag(tag)) {
    if (m_missing == 0 || m_script.empty())
      return fail(m_row, "continuation row " + quote(tag) + " without a record to continue");
    ELEMENT& last = m_script.back();
    if (last.tx != (tag[0] == '<'))
      return fail(m_row, "continuation row " + quote(tag) + " of the other direction");
    // No size in a continuation row: its data stands in the size's place.
    std::string_view data = tok[2];
    const std::size_t fields = byteFieldCount(data);
    if (fields == 0) return fail(m_row, "continuation row holds no bytes");
    if (fields > m_missing)
      return fail(m_row, "continuation row holds " + std::to_string(fields) +
                             " bytes, its record only misses " + std::to_string(m_missing));
    if (!addBytes(data, static_cast<std::uint32_t>(fields), last)) return false;
    m_missing -= static_cast<std::uint32_t>(fields);
    return true;
  }

  if (m_missing != 0) return incompleteRecord();
  if (tag[0] != '<' && tag[0] != '>') return true;  // events, server rows, playback errors, foreign text

  const bool tx = tag[0] == '<';
  std::uint32_t time = 0;
  std::uint32_t size = 0;
  if (!parseTime(tok[1], time)) return fail(m_row, "time " + quote(tok[1]) + " is not a time (hh:mm:ss.mmm)");
  if (!parseSize(tok[2], size))
    return fail(m_row, "size " + quote(tok[2]) + " is not a byte count (0 to 4294967295)");
  const std::string_view data = tok[3];
  const std::uint32_t present =
      static_cast<std::uint32_t>(std::min<std::size_t>(byteFieldCount(data), std::size_t{size}));

  const bool join = !m_script.empty() && !tx && !m_prevTx && time - m_prevTime <= kJoinGap;
  try {
    if (!join) {
      ELEMENT element;
      element.tx = tx;
      element.row = m_row;
      element.data.reserve(present);
      m_script.push_back(std::move(element));
    }
  } catch (const std::bad_alloc&) {
    m_outOfMemory = true;
    return fail(m_row, "out of memory");
  }
  ELEMENT& element = m_script.back();
  if (!addBytes(data, present, element)) return false;
  element.time = time;
  m_prevTime = time;
  m_prevTx = tx;
  m_missing = size - present;
  m_recordSize = size;
  m_recordRow = m_row;
  return true;
}

bool TrafficLogReader::finish() {
  if (!m_error.empty()) return false;
  if (m_missing != 0) return incompleteRecord();
  if (m_script.empty()) {
    m_error = "no rows: " + std::to_string(m_row) + (m_row == 1 ? " line" : " lines") +
              " read, none of them a row of a traffic log";
    return false;
  }
  return true;
}

}  // namespace zor
