// Reading a traffic log back into a playback script.
//
// The log is the monitor's text file: one row per line, fields separated by
// TABs (tag, time, size, data). Rows tagged '<' (transmitted) and '>'
// (received) become script elements; every other line is skipped. A record of
// more than 64 bytes spans a first row (full size, first 64 bytes) and
// continuation rows ("<<.."/">>..", time "...", no size) that are joined to
// it. Receptions logged within 5 ms of the reception before them are joined
// into one element.
//
// The reader trusts nothing: a script row must carry a time "h...h:mm:ss.mmm",
// a decimal size and byte fields "xx" or "??" separated by single blanks, and
// its bytes (with those of its continuation rows) must add up to its size.
// Anything else stops the load with an error naming the row; so does a log
// without a single row. A UTF-8 byte order mark before the first line is
// skipped. Memory grows with the bytes actually read, never with a size a row
// claims.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <vector>

namespace zor {

// One scripted byte: a value, or "??" (any value matches).
struct BYTE_EX {
  bool wildcard = false;
  std::uint8_t value = 0;
};

struct ELEMENT {
  bool tx = false;         // true: expected write; false: reception to deliver
  std::uint32_t time = 0;  // recorded time, ms (for joined receptions: of the last row)
  std::uint32_t size = 0;  // number of bytes
  std::uint32_t pos = 0;   // bytes delivered (reception) or written and matched (transmission)
  unsigned long row = 0;   // line of the log where the element starts, for messages
  std::vector<BYTE_EX> data;
};

using PlaybackScript = std::list<ELEMENT>;

class TrafficLogReader {
public:
  // Receptions at most this far apart (ms) after another reception are joined.
  static constexpr std::uint32_t kJoinGap = 5;

  // Appends to script, which the caller starts empty.
  explicit TrafficLogReader(PlaybackScript& script) : m_script(script) {}

  // One line without its line end (a CR before it is ignored). False when
  // the line is bad: error() then says why, and the script is not usable.
  bool addLine(std::string_view line);
  // End of the file: false when the last record misses bytes or no line was a row.
  bool finish();
  // "row N: ..." of the first failure.
  const std::string& error() const { return m_error; }
  // The failure was an allocation, not the log.
  bool outOfMemory() const { return m_outOfMemory; }

private:
  bool fail(unsigned long row, const std::string& what);
  bool addBytes(std::string_view text, std::uint32_t count, ELEMENT& element);
  bool incompleteRecord();

  PlaybackScript& m_script;
  std::string m_error;
  bool m_outOfMemory = false;
  unsigned long m_row = 0;
  std::uint32_t m_prevTime = 0;
  bool m_prevTx = true;
  // The record being read: bytes still expected from continuation rows.
  std::uint32_t m_missing = 0;
  std::uint32_t m_recordSize = 0;
  unsigned long m_recordRow = 0;
};

// Number of two-character byte fields at a stride of three in text.
std::size_t byteFieldCount(std::string_view text);

}  // namespace zor
