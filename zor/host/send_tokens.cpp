// The terminal's Send: a line of text as the bytes it stands for
// in the monitor's view. The window's Send and "zor run --console" use this one code.
#include <zor/host.h>

namespace zor {
namespace {

bool isSeparator(char c) { return c == ' ' || c == '\t'; }

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;  // any other character counts as 0
}

// atoi's reading (an optional sign, then digits, the rest ignored), kept to
// its low 8 bits without atoi's overflow.
unsigned char decimalByte(const char* token, const char* end) {
  const char* p = token;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  unsigned value = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p)
    value = (value * 10 + static_cast<unsigned>(*p - '0')) & 0xFF;
  return static_cast<unsigned char>(negative ? (0x100 - value) & 0xFF : value);
}

unsigned char hexByte(const char* token, const char* end) {
  if (end - token == 1) return static_cast<unsigned char>(hexDigit(token[0]));
  return static_cast<unsigned char>(hexDigit(token[0]) * 16 + hexDigit(token[1]));
}

}  // namespace

std::vector<unsigned char> sendTokens(const char* text, int view) {
  std::vector<unsigned char> bytes;
  if (text == nullptr) return bytes;
  if (view == 2) {
    for (const char* p = text; *p != '\0'; ++p) bytes.push_back(static_cast<unsigned char>(*p));
    return bytes;
  }
  if (view != 0 && view != 1) return bytes;
  const char* p = text;
  for (;;) {
    while (isSeparator(*p)) ++p;
    if (*p == '\0') break;
    const char* start = p;
    while (*p != '\0' && !isSeparator(*p)) ++p;
    bytes.push_back(view == 0 ? decimalByte(start, p) : hexByte(start, p));
  }
  return bytes;
}

int sendText(CDevice& device, const char* text, int view) {
  int count = 0;
  for (unsigned char b : sendTokens(text, view)) {
    device.WriteByte(b);
    ++count;
  }
  return count;
}

}  // namespace zor
