#include "zor/monitor/line_format.h"

#include <cstdio>

namespace zor {
namespace {

constexpr const char* kTags[10] = {"<<TX", "<<..", ">>RX", ">>..", "+Evn",
                                   "^Snd", "^...", "#Rcv", "#...", "PbEr"};
constexpr char kHex[] = "0123456789abcdef";

}  // namespace

const char* lineTag(int lineKind) { return lineKind >= 0 && lineKind < 10 ? kTags[lineKind] : ""; }

int firstLineKind(int kind) {
  switch (kind) {
    case 0:
      return 0;
    case 1:
      return 2;
    case 2:
      return 4;
    case 3:
      return 5;
    case 4:
      return 7;
    case 5:
      return 9;
    default:
      return -1;
  }
}

std::size_t formatTimestamp(unsigned long t, char* out, std::size_t size) {
  if (size == 0) return 0;
  const unsigned long ms = t & 0xFFFFFFFFUL;  // the clock is 32 bits wide
  int n = std::snprintf(out, size, "%.2lu:%.2lu:%.2lu.%.3lu", ms / 3600000UL, (ms % 3600000UL) / 60000UL,
                        (ms % 60000UL) / 1000UL, ms % 1000UL);
  if (n < 0) n = 0;
  return static_cast<std::size_t>(n) < size ? static_cast<std::size_t>(n) : size - 1;
}

std::size_t renderBytes(int view, const unsigned char* data, std::size_t n, char* out) {
  char* p = out;
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned b = data[i];
    if (view == 1) {
      *p++ = kHex[b >> 4];
      *p++ = kHex[b & 15];
      *p++ = ' ';
    } else if (view == 2) {
      if (b != 0) *p++ = static_cast<char>(b);
    } else {
      *p++ = static_cast<char>('0' + b / 100);
      *p++ = static_cast<char>('0' + b / 10 % 10);
      *p++ = static_cast<char>('0' + b % 10);
      *p++ = ' ';
    }
  }
  *p = '\0';
  return static_cast<std::size_t>(p - out);
}

void appendLine(std::string& line, int lineKind, const char* time, const char* size, const char* data) {
  line.append(lineTag(lineKind));
  line.push_back('\t');
  if (time) line.append(time);
  line.push_back('\t');
  if (size) line.append(size);
  line.push_back('\t');
  if (data) line.append(data);
  line.push_back('\n');
}

}  // namespace zor
