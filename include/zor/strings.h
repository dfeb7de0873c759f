// The library's string table: setting keys, event messages and window texts,
// by id. Settings name their section and key by id; events carry the id of
// their message.
#pragma once

#include <zor/export.h>

namespace zor {

enum StringId : unsigned {
  IDS_CONNECTION_TIMEOUT = 102,
  IDS_RUNZOR_ADDRESS = 103,
  IDS_RUNZOR_BDRATE = 104,
  IDS_RUNZOR_DATABIT = 105,
  IDS_RUNZOR_HWHANDSHAKE = 106,
  IDS_TRUE_PLAYBACK_SPEED = 107,
  IDS_RUNZOR_NUMDEV = 108,
  IDS_RUNZOR_OVRLP_RX = 109,
  IDS_RUNZOR_OVRLP_TX = 110,
  IDS_RUNZOR_PARITY = 111,
  IDS_SECTION = 112,
  IDS_PAUSE_ON_EXIT = 113,
  IDS_RUNZOR_STOPBIT = 114,
  IDS_RUNZOR_XONXOFF = 115,
  IDS_INPUT_PIPE = 116,
  IDS_OUTPUT_PIPE = 117,
  IDS_IO_TIMEOUT = 118,
  IDS_LOCK_TIMEOUT = 119,
  IDS_SHOW_DEBUG_MONITOR = 120,
  IDS_RX_HIGH_TIDE = 121,
  IDS_RX_LOW_TIDE = 122,
  IDS_RX_OVERRUN = 123,
  IDS_TX_OVERRUN = 124,
  IDS_XOFF_RECEIVED = 125,
  IDS_XON_RECEIVED = 126,
  IDS_EXTERNAL_DEBUGGER = 127,
  IDS_RUNZOR_LOOPBACK = 128,
  IDS_MONITOR_FILTER_RX = 129,
  IDS_MONITOR_FILTER_TX = 130,
  IDS_MONITOR_VIEW = 131,
  IDS_COL_EVENT = 132,
  IDS_COL_DATA = 133,
  IDS_COL_SIZE = 134,
  IDS_PANIC_RESUME = 135,
  IDS_THREAD_GRANULARITY = 137,
  IDS_IO_WRITE_TIMEOUT = 138,
  IDS_WRITES_BEFORE_XOFF = 139,
  IDS_X_PROTOCOL_OVERRIDE = 140,
  IDS_ALWAYS_ON_TOP = 141,
  IDS_PANIC_RESUMED = 142,
  IDS_PANIC = 143,
  IDS_AUTORESUME_TIMER = 144,
  IDS_PIPE_WRITE_ERROR = 145,
  IDS_MONITOR_FILTER_RCV = 147,
  IDS_MONITOR_FILTER_SENT = 148,
  IDS_LOG_EXTENSION = 149,
  IDS_LOG_FILTER = 150,
  IDS_LOG_FILENAME = 151,
  IDS_AUTOLOG_TO_FILE = 152,
  IDS_MAX_COM_PORT = 153,
  IDS_BUFFERS_FLUSHED = 154,
  IDS_STRANGER_REFUSED = 155,
  IDS_USB_DEVICES = 156,
};

// Text of a string-table entry; null when the id has none.
ZOR_API const char* zorString(unsigned id);
// Copies the text into buf (at most size - 1 characters, NUL-terminated), as a
// resource string load does; returns the characters copied, 0 when absent.
ZOR_API int zorLoadString(unsigned id, char* buf, int size);

}  // namespace zor
