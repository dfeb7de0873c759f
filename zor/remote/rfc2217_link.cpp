#include "zor/remote/rfc2217_link.h"

#include "zor/remote/rfc2217.h"

#include <chrono>
#include <vector>

namespace zor {

using namespace telnet;

namespace {
// A function, not a global: the library keeps its start free of initialisers.
std::vector<std::uint8_t> options() { return {OPT_BINARY, OPT_SGA, OPT_COM_PORT}; }
}  // namespace

CRfc2217Link::CRfc2217Link(DataHandler onData, LostHandler onLost, DebugHandler onDebug)
    : m_onData(std::move(onData)),
      m_onLost(std::move(onLost)),
      m_onDebug(std::move(onDebug)),
      m_negotiation(options(), options()) {}

CRfc2217Link::~CRfc2217Link() { close(); }

bool CRfc2217Link::open(const std::string& host, unsigned short port, unsigned long connectMs,
                        unsigned long negotiateMs, DWORD* error) {
  close();
  std::uint32_t address = kNoAddress;
  if (!resolveIpv4(host, &address, error)) return false;
  std::unique_ptr<TcpTransport> s = TcpTransport::connect({address, port}, connectMs, error);
  if (!s) return false;
  m_socket = std::shared_ptr<TcpTransport>(std::move(s));
  m_lost = false;
  m_closing = false;
  Bytes hello;
  {
    std::lock_guard lock(m_mutex);
    m_negotiation = Negotiation(options(), options());
    m_modemKnown = false;
    m_negotiation.offer(OPT_COM_PORT, hello);
    m_negotiation.offer(OPT_BINARY, hello);
    m_negotiation.ask(OPT_BINARY, hello);
    m_negotiation.offer(OPT_SGA, hello);
    m_negotiation.ask(OPT_SGA, hello);
  }
  if (!m_thread.Start([this](thread_func_flag flag) {
        if (flag == CWorkerThread::TFF_RUN) run();
      }) ||
      !sendRaw(hello)) {
    *error = ERROR_NOT_ENOUGH_MEMORY;
    close();
    return false;
  }
  // Servers differ in which side they take the option for: our offer
  // agreed, or the server's own offer of it, makes the serial line.
  std::unique_lock lock(m_mutex);
  const auto agreed = [this] {
    return m_negotiation.localEnabled(OPT_COM_PORT) || m_negotiation.remoteEnabled(OPT_COM_PORT);
  };
  m_changed.wait_for(lock, std::chrono::milliseconds(negotiateMs), [&] { return agreed() || m_lost.load(); });
  const bool serial = agreed();
  lock.unlock();
  if (!serial) {
    *error = m_lost ? WSAECONNRESET : ERROR_NOT_SUPPORTED;
    close();
    return false;
  }
  return true;
}

void CRfc2217Link::close() {
  m_closing = true;
  if (m_socket) m_socket->close();
  m_thread.Stop(5000);
  m_socket.reset();
  m_changed.notify_all();
}

bool CRfc2217Link::sendRaw(const Bytes& bytes) {
  auto s = m_socket;
  if (!s || bytes.empty()) return s != nullptr;
  std::lock_guard lock(m_sendMutex);
  DWORD error = ERROR_SUCCESS;
  return s->writeAll(bytes.data(), static_cast<unsigned long>(bytes.size()), &error);
}

bool CRfc2217Link::send(const void* data, unsigned long size, DWORD* error) {
  auto s = m_socket;
  if (!s || m_lost) {
    *error = WSAECONNRESET;
    return false;
  }
  Bytes out;
  escape(static_cast<const std::uint8_t*>(data), size, out);
  std::lock_guard lock(m_sendMutex);
  return s->writeAll(out.data(), static_cast<unsigned long>(out.size()), error);
}

bool CRfc2217Link::request(std::uint8_t command, const Bytes& value, Bytes* answer, unsigned long ms) {
  const std::uint8_t code = static_cast<std::uint8_t>(command + comport::kServerOffset);
  unsigned long seen;
  {
    std::lock_guard lock(m_mutex);
    seen = m_answers[code];
  }
  Bytes body{command};
  body.insert(body.end(), value.begin(), value.end());
  Bytes out;
  appendSub(out, OPT_COM_PORT, body.data(), body.size());
  if (m_lost || !sendRaw(out)) return false;
  std::unique_lock lock(m_mutex);
  if (!m_changed.wait_for(lock, std::chrono::milliseconds(ms),
                          [&] { return m_answers[code] != seen || m_lost.load() || m_closing.load(); }) ||
      m_answers[code] == seen)
    return false;
  if (answer != nullptr) *answer = m_answer[code];
  return true;
}

bool CRfc2217Link::modemState(std::uint8_t* state) const {
  std::lock_guard lock(m_mutex);
  if (m_modemKnown && state != nullptr) *state = m_modem;
  return m_modemKnown;
}

void CRfc2217Link::onOption(std::uint8_t cmd, std::uint8_t option) {
  if (cmd != DO && cmd != DONT && cmd != WILL && cmd != WONT) return;
  Bytes reply;
  {
    std::lock_guard lock(m_mutex);
    m_negotiation.received(cmd, option, reply);
  }
  m_changed.notify_all();
  sendRaw(reply);
  if (m_onDebug)
    m_onDebug("received " + describe(cmd, option) +
              (reply.size() >= 2 ? ", answered " + describe(reply[1], option) : std::string()));
}

void CRfc2217Link::onSub(std::uint8_t option, const Bytes& body) {
  if (option != OPT_COM_PORT || body.empty()) return;
  const std::uint8_t code = body[0];
  {
    std::lock_guard lock(m_mutex);
    m_answer[code].assign(body.begin() + 1, body.end());
    ++m_answers[code];
    if (code == comport::NOTIFY_MODEMSTATE + comport::kServerOffset && body.size() >= 2) {
      m_modem = body[1];
      m_modemKnown = true;
    }
  }
  m_changed.notify_all();
  if (m_onDebug)
    m_onDebug("answer " + std::to_string(code) + " of " + std::to_string(body.size() - 1) + " bytes");
}

void CRfc2217Link::run() {
  auto s = m_socket;
  Decoder decoder([this](std::uint8_t cmd, std::uint8_t option) { onOption(cmd, option); },
                  [this](std::uint8_t option, const Bytes& body) { onSub(option, body); });
  std::vector<std::uint8_t> buffer(16384);
  Bytes payload;
  while (!m_closing.load()) {
    DWORD error = ERROR_SUCCESS;
    const long n = s->read(buffer.data(), static_cast<unsigned long>(buffer.size()), 1000, &error);
    if (n < 0) break;
    if (n == 0) continue;
    payload.clear();
    if (!decoder.feed(buffer.data(), static_cast<std::size_t>(n), payload)) break;
    if (!payload.empty() && m_onData) m_onData(payload.data(), payload.size());
  }
  if (m_closing.load()) return;
  {
    std::lock_guard lock(m_mutex);
    m_lost = true;
  }
  m_changed.notify_all();
  if (m_onLost) m_onLost();
}

}  // namespace zor
