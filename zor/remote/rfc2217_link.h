// CRfc2217Link: the client's end of a network serial port: one TCP
// connection with Telnet and the serial-line option. A thread of its own
// takes what arrives apart: payload to the data handler, the server's answers
// to the requests waiting for them, its modem-line reports kept.
#pragma once

#include "zor/core/workerthread.h"
#include "zor/platform/tcp.h"
#include "zor/remote/telnet_codec.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace zor {

class CRfc2217Link {
public:
  // Payload from the server, on the link's thread.
  using DataHandler = std::function<void(const std::uint8_t* data, std::size_t size)>;
  // The connection ended by itself (the server went), on the link's thread.
  using LostHandler = std::function<void()>;
  // Negotiations and answers, for the debug output.
  using DebugHandler = std::function<void(const std::string& line)>;

  CRfc2217Link(DataHandler onData, LostHandler onLost, DebugHandler onDebug);
  ~CRfc2217Link();
  CRfc2217Link(const CRfc2217Link&) = delete;
  CRfc2217Link& operator=(const CRfc2217Link&) = delete;

  // Connects within connectMs and waits at most negotiateMs for the server to
  // take the serial-line option. False with *error: the connect's code, or
  // ERROR_NOT_SUPPORTED for a server that does not speak it.
  bool open(const std::string& host, unsigned short port, unsigned long connectMs, unsigned long negotiateMs,
            DWORD* error);
  void close();
  bool lost() const { return m_lost.load(); }
  // The device's bytes, 0xFF doubled, whole.
  bool send(const void* data, unsigned long size, DWORD* error);
  // Sends a serial-line command and waits at most ms for its answer; true
  // with the answer's value in *answer.
  bool request(std::uint8_t command, const telnet::Bytes& value, telnet::Bytes* answer, unsigned long ms);
  // The lines of the last modem-state report; false before the first.
  bool modemState(std::uint8_t* state) const;

private:
  void run();
  void onOption(std::uint8_t cmd, std::uint8_t option);
  void onSub(std::uint8_t option, const telnet::Bytes& body);
  bool sendRaw(const telnet::Bytes& bytes);

  DataHandler m_onData;
  LostHandler m_onLost;
  DebugHandler m_onDebug;
  std::shared_ptr<TcpTransport> m_socket;  // set by open, released by close, both on the owner's thread
  CWorkerThread m_thread;
  std::atomic<bool> m_lost{false};
  std::atomic<bool> m_closing{false};
  std::mutex m_sendMutex;
  mutable std::mutex m_mutex;  // guards what follows
  std::condition_variable m_changed;
  telnet::Negotiation m_negotiation;
  unsigned long m_answers[256] = {};  // how many answers of each code came
  telnet::Bytes m_answer[256];        // the last answer of each code
  std::uint8_t m_modem = 0;
  bool m_modemKnown = false;
};

}  // namespace zor
