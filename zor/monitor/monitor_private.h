// State of a CMonitorDlg, shared by its record processing and its options.
#pragma once

#include "zor/monitor/record_queue.h"
#include "zor/monitor/record_store.h"
#include "zor/platform/stdiofile.h"

#include <zor/monitor.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zor {

struct ZOR_LOCAL CMonitorDlg::Private {
  // Longest wait for the monitor mutex before a record is dropped.
  static constexpr DWORD kLockTimeout = 8000;

  CDevice* device = nullptr;
  // Serialises the writing of records, the store, the counters, the file and the flags below.
  mutable CMutex mutex;
  CRecordStore store;
  // Records captured on the devices' threads, on their way to the writer.
  std::unique_ptr<CRecordQueue> queue;
  // What reads the store, the counters or the file, or changes how records
  // are written, first lets every record captured before it through, so it
  // sees the monitor as if each record had been written on capture. Never
  // called holding the mutex: the writer needs it.
  void drain() const {
    if (queue) queue->Drain();
  }

  bool alwaysOnTop = false;
  bool pause = false;
  bool externalDebugger = false;
  bool logToFile = false;
  std::atomic<bool> windowCreated{false};
  std::atomic<bool> hidden{false};
  // The WM_MONITOR_TXTHREAD target, under a mutex of its own: the TX thread
  // posts on every park, and must not wait for a batch being written.
  std::mutex windowMutex;
  HWND window = nullptr;
  std::unique_ptr<CMonitorWindow> win;

  CStdioFile file;
  std::string filePath;

  std::uint64_t recordsProcessed = 0;
  std::uint64_t bytesReceived = 0;
  std::uint64_t bytesTransmitted = 0;

  std::string line;  // scratch for one formatted line

  // A line of a log being browsed: its fields, and its bytes when the data
  // field could be read back as bytes.
  struct ViewedLine {
    int lineKind = 0;
    std::string time, size, data;
    bool hasBytes = false;
    std::vector<unsigned char> bytes;
  };
  std::vector<ViewedLine> viewed;
  // Puts the browsed lines in the store, in the view now chosen. Caller holds the mutex.
  void renderViewed();

  bool isPlayback() const;
  // Opens path for the traffic log (created or truncated, exclusive); the
  // log-to-file flag becomes the result. Caller holds the mutex or is alone.
  bool openLogFile(const std::string& path);
  // Ends file logging after a failed write, with one line on standard error.
  void dropLogFile();
};

}  // namespace zor
