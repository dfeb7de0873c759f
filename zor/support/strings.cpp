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
    {IDS_CONNECTION_TIMEOUT, "Connection Timeout"},
    {IDS_RUNZOR_ADDRESS, "runZor Address"},
    {IDS_RUNZOR_BDRATE, "runZor bdRate"},
    {IDS_RUNZOR_DATABIT, "runZor Databit"},
    {IDS_RUNZOR_HWHANDSHAKE, "runZor Hwhandshake"},
    {IDS_TRUE_PLAYBACK_SPEED, "True Playback Speed"},
    {IDS_RUNZOR_NUMDEV, "runZor NumDev"},
    {IDS_RUNZOR_OVRLP_RX, "runZor Ovrlp RX"},
    {IDS_RUNZOR_OVRLP_TX, "runZor Ovrlp TX"},
    {IDS_RUNZOR_PARITY, "runZor Parity"},
    {IDS_SECTION, "ZOR.DLL"},
    {IDS_PAUSE_ON_EXIT, "Pause on Exit"},
    {IDS_RUNZOR_STOPBIT, "runZor Stopbit"},
    {IDS_RUNZOR_XONXOFF, "runZor XonXoff"},
    {IDS_INPUT_PIPE, "Input pipe"},
    {IDS_OUTPUT_PIPE, "Output pipe"},
    {IDS_IO_TIMEOUT, "I/O Timeout"},
    {IDS_LOCK_TIMEOUT, "Lock Timeout"},
    {IDS_SHOW_DEBUG_MONITOR, "Show debug monitor"},
    {IDS_RX_HIGH_TIDE, "RX buffer: high tide"},
    {IDS_RX_LOW_TIDE, "RX buffer: low tide"},
    {IDS_RX_OVERRUN, "RX buffer overrun"},
    {IDS_TX_OVERRUN, "TX buffer overrun"},
    {IDS_XOFF_RECEIVED, "XOFF received"},
    {IDS_XON_RECEIVED, "XON received"},
    {IDS_EXTERNAL_DEBUGGER, "External Debugger"},
    {IDS_RUNZOR_LOOPBACK, "runZor loopback"},
    {IDS_MONITOR_FILTER_RX, "Monitor Filter RX"},
    {IDS_MONITOR_FILTER_TX, "Monitor Filter TX"},
    {IDS_MONITOR_VIEW, "Monitor view"},
    {IDS_COL_EVENT, "Event"},
    {IDS_COL_DATA, "Data"},
    {IDS_COL_SIZE, "Size"},
    {IDS_PANIC_RESUME, "Panic Resume"},
    {IDS_THREAD_GRANULARITY, "Thread granularity"},
    {IDS_IO_WRITE_TIMEOUT, "I/O Write Timeout"},
    {IDS_WRITES_BEFORE_XOFF, "Writes before XOFF"},
    {IDS_X_PROTOCOL_OVERRIDE, "X Protocol Override"},
    {IDS_ALWAYS_ON_TOP, "Always on Top"},
    {IDS_PANIC_RESUMED, "Panic: Resumed"},
    {IDS_PANIC, "PANIC!"},
    {IDS_AUTORESUME_TIMER, "Autoresume Timer"},
    {IDS_PIPE_WRITE_ERROR, "Pipe Write Error"},
    {IDS_MONITOR_FILTER_RCV, "Monitor Filter Rcv"},
    {IDS_MONITOR_FILTER_SENT, "Monitor Filter Sent"},
    {IDS_LOG_EXTENSION, ".txt"},
    {IDS_LOG_FILTER, "(ZOR files (*.txt) | *.txt|All Files (*.*)|*.*||"},
    {IDS_LOG_FILENAME, "Log filename"},
    {IDS_AUTOLOG_TO_FILE, "AutoLog to file"},
    {IDS_MAX_COM_PORT, "Max COM Port number"},
    {IDS_BUFFERS_FLUSHED, "Buffers flushed"},
    {IDS_STRANGER_REFUSED, "Stranger's Call Back Refused"},
    {IDS_USB_DEVICES, "USB Devices"},
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
