#include "zor/remote/rfc2217_server.h"

#include "zor/platform/platform.h"
#include "zor/remote/rfc2217.h"

#include <zor/app.h>

#include <chrono>

namespace zor {

using namespace telnet;

CRfc2217Channel::CRfc2217Channel(CDevice* device, int port, std::uint32_t address,
                                 TurnedAwayHandler onTurnedAway)
    : CSocketChannel(port, address, std::move(onTurnedAway)),
      m_control(device),
      m_decoder([this](std::uint8_t cmd, std::uint8_t option) { onOption(cmd, option); },
                [this](std::uint8_t option, const Bytes& body) { onSub(option, body); }) {}

CRfc2217Channel::~CRfc2217Channel() { close(); }

void CRfc2217Channel::close() {
  { std::lock_guard lock(m_suspendMutex); }
  m_resumed.notify_all();
  CSocketChannel::close();
}

void CRfc2217Channel::debug(const std::string& line) const {
  if (theApp.m_showMonitor) OutputDebugStringA(("zor rfc2217: " + line).c_str());
}

void CRfc2217Channel::sessionStarted() {
  m_decoder.reset();
  m_control.reset();
  // We send and take binary, without go-aheads; the client offers the serial-line option.
  m_negotiation = std::make_unique<Negotiation>(std::vector<std::uint8_t>{OPT_BINARY, OPT_SGA, OPT_COM_PORT},
                                                std::vector<std::uint8_t>{OPT_BINARY, OPT_SGA, OPT_COM_PORT});
  m_replies.clear();
  m_negotiation->offer(OPT_BINARY, m_replies);
  m_negotiation->ask(OPT_BINARY, m_replies);
  m_negotiation->offer(OPT_SGA, m_replies);
  m_negotiation->ask(OPT_SGA, m_replies);
  m_negotiation->ask(OPT_COM_PORT, m_replies);
  flushReplies();
}

void CRfc2217Channel::flushReplies() {
  if (m_replies.empty()) return;
  send(m_replies.data(), m_replies.size());
  m_replies.clear();
}

bool CRfc2217Channel::received(const std::uint8_t* data, std::size_t size, Bytes& payload) {
  const bool ok = m_decoder.feed(data, size, payload);
  flushReplies();
  if (!ok)
    OutputDebugStringA(("zor rfc2217: " + peerName() +
                        " sent a sub-negotiation longer than any command; the connection is closed")
                           .c_str());
  return ok;
}

void CRfc2217Channel::onOption(std::uint8_t cmd, std::uint8_t option) {
  if (cmd != DO && cmd != DONT && cmd != WILL && cmd != WONT) return;
  const std::size_t before = m_replies.size();
  m_negotiation->received(cmd, option, m_replies);
  if (theApp.m_showMonitor) {
    std::string line = "received " + describe(cmd, option);
    if (m_replies.size() > before) line += ", answered " + describe(m_replies[before + 1], option);
    debug(line);
  }
}

void CRfc2217Channel::onSub(std::uint8_t option, const Bytes& body) {
  if (option != OPT_COM_PORT || body.empty()) return;
  std::string what;
  Bytes answer = m_control.apply(body[0], Bytes(body.begin() + 1, body.end()), what);
  if (!answer.empty()) appendSub(m_replies, OPT_COM_PORT, answer.data(), answer.size());
  debug(what);
  if (!m_control.suspended()) m_resumed.notify_all();
}

int CRfc2217Channel::sliceMs() const { return m_control.watchesModem() ? kModemPollMs : kIdleSliceMs; }

void CRfc2217Channel::tick() {
  std::uint8_t state = 0;
  if (!m_control.modemChanged(&state)) return;
  const std::uint8_t body[] = {comport::NOTIFY_MODEMSTATE + comport::kServerOffset, state};
  Bytes out;
  appendSub(out, OPT_COM_PORT, body, sizeof body);
  send(out.data(), out.size());
}

void CRfc2217Channel::frame(const std::uint8_t* data, std::size_t size, Bytes& out) {
  escape(data, size, out);
}

bool CRfc2217Channel::mayWrite() {
  std::unique_lock lock(m_suspendMutex);
  while (m_control.suspended() && !closing() && !peerLeft())
    m_resumed.wait_for(lock, std::chrono::milliseconds(kSuspendSliceMs));
  return !closing();
}

}  // namespace zor
