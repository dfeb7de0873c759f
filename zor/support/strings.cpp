// The library's string table: setting keys, event messages and window texts.
#include <zor/strings.h>

#include <cstring>

namespace zor {
namespace {

struct Entry {
  unsigned id;
  const char* text;
};

constexpr Entry kTable[] = {
    {102, "Connection Timeout"},
    {103, "runZor Address"},
    {104, "runZor bdRate"},
    {105, "runZor Databit"},
    {106, "runZor Hwhandshake"},
    {107, "True Playback Speed"},
    {108, "runZor NumDev"},
    {109, "runZor Ovrlp RX"},
    {110, "runZor Ovrlp TX"},
    {111, "runZor Parity"},
    {112, "ZOR.DLL"},
    {113, "Pause on Exit"},
    {114, "runZor Stopbit"},
    {115, "runZor XonXoff"},
    {116, "Input pipe"},
    {117, "Output pipe"},
    {118, "I/O Timeout"},
    {119, "Lock Timeout"},
    {120, "Show debug monitor"},
    {121, "RX buffer: high tide"},
    {122, "RX buffer: low tide"},
    {123, "RX buffer overrun"},
    {124, "TX buffer overrun"},
    {125, "XOFF received"},
    {126, "XON received"},
    {127, "External Debugger"},
    {128, "runZor loopback"},
    {129, "Monitor Filter RX"},
    {130, "Monitor Filter TX"},
    {131, "Monitor view"},
    {132, "Event"},
    {133, "Data"},
    {134, "Size"},
    {135, "Panic Resume"},
    {137, "Thread granularity"},
    {138, "I/O Write Timeout"},
    {139, "Writes before XOFF"},
    {140, "X Protocol Override"},
    {141, "Always on Top"},
    {142, "Panic: Resumed"},
    {143, "PANIC!"},
    {144, "Autoresume Timer"},
    {145, "Pipe Write Error"},
    {147, "Monitor Filter Rcv"},
    {148, "Monitor Filter Sent"},
    {149, ".txt"},
    {150, "(ZOR files (*.txt) | *.txt|All Files (*.*)|*.*||"},
    {151, "Log filename"},
    {152, "AutoLog to file"},
    {153, "Max COM Port number"},
    {154, "Buffers flushed"},
    {155, "Stranger's Call Back Refused"},
    {156, "USB Devices"},
};

}  // namespace

const char* zorString(unsigned id) {
  for (const Entry& e : kTable)
    if (e.id == id) return e.text;
  return nullptr;
}

int zorLoadString(unsigned id, char* buf, int size) {
  if (buf == nullptr || size <= 0) return 0;
  const char* text = zorString(id);
  if (text == nullptr) {
    buf[0] = '\0';
    return 0;
  }
  std::size_t n = std::strlen(text);
  if (n > static_cast<std::size_t>(size - 1)) n = static_cast<std::size_t>(size - 1);
  std::memcpy(buf, text, n);
  buf[n] = '\0';
  return static_cast<int>(n);
}

}  // namespace zor
