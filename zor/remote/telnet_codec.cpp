#include "zor/remote/telnet_codec.h"

#include <algorithm>
#include <cstring>

namespace zor::telnet {

void escape(const std::uint8_t* data, std::size_t size, Bytes& out) {
  out.reserve(out.size() + size + 8);
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(data[i]);
    if (data[i] == IAC) out.push_back(IAC);
  }
}

void appendOption(Bytes& out, std::uint8_t cmd, std::uint8_t option) {
  out.insert(out.end(), {IAC, cmd, option});
}

void appendSub(Bytes& out, std::uint8_t option, const std::uint8_t* body, std::size_t size) {
  out.insert(out.end(), {IAC, SB});
  escape(&option, 1, out);
  escape(body, size, out);
  out.insert(out.end(), {IAC, SE});
}

std::string describe(std::uint8_t cmd, std::uint8_t option) {
  const char* verb = cmd == DO     ? "DO"
                     : cmd == DONT ? "DONT"
                     : cmd == WILL ? "WILL"
                     : cmd == WONT ? "WONT"
                     : cmd == SB   ? "SB"
                                   : nullptr;
  std::string text = verb != nullptr ? verb : "command " + std::to_string(cmd);
  switch (option) {
    case OPT_BINARY:
      return text + " BINARY";
    case OPT_ECHO:
      return text + " ECHO";
    case OPT_SGA:
      return text + " SUPPRESS-GO-AHEAD";
    case OPT_COM_PORT:
      return text + " COM-PORT-OPTION";
    default:
      return text + " option " + std::to_string(option);
  }
}

void Decoder::reset() {
  m_state = State::Data;
  m_sub.clear();
}

bool Decoder::feed(const std::uint8_t* data, std::size_t size, Bytes& payload) {
  std::size_t i = 0;
  while (i < size && m_state != State::Failed) {
    const std::uint8_t b = data[i];
    switch (m_state) {
      case State::Data: {
        // Plain runs go over in one piece.
        const auto* iac = static_cast<const std::uint8_t*>(std::memchr(data + i, IAC, size - i));
        const std::size_t end = iac != nullptr ? static_cast<std::size_t>(iac - data) : size;
        payload.insert(payload.end(), data + i, data + end);
        i = end;
        if (iac != nullptr) {
          m_state = State::Iac;
          ++i;
        }
        continue;
      }
      case State::Iac:
        if (b == IAC) {
          payload.push_back(IAC);
          m_state = State::Data;
        } else if (b == DO || b == DONT || b == WILL || b == WONT) {
          m_cmd = b;
          m_state = State::Option;
        } else if (b == SB) {
          m_sub.clear();
          m_state = State::Sub;
        } else {
          // NOP, GA, a stray SE and the like carry nothing for a serial line.
          if (m_onOption) m_onOption(b, 0);
          m_state = State::Data;
        }
        break;
      case State::Option:
        if (m_onOption) m_onOption(m_cmd, b);
        m_state = State::Data;
        break;
      case State::Sub:
        if (b == IAC) {
          m_state = State::SubIac;
        } else if (m_sub.size() >= kMaxSub) {
          m_state = State::Failed;
        } else {
          m_sub.push_back(b);
        }
        break;
      case State::SubIac:
        if (b == SE) {
          if (!m_sub.empty() && m_onSub) {
            Bytes body(m_sub.begin() + 1, m_sub.end());
            m_onSub(m_sub[0], body);
          }
          m_sub.clear();
          m_state = State::Data;
        } else if (b == IAC) {
          if (m_sub.size() >= kMaxSub) {
            m_state = State::Failed;
          } else {
            m_sub.push_back(IAC);
            m_state = State::Sub;
          }
        } else {
          // IAC and anything else inside a sub-negotiation: the peer broke
          // the framing. The sub-negotiation is dropped and the byte taken as
          // the command it names, as most ends recover.
          m_sub.clear();
          m_state = State::Iac;
          continue;
        }
        break;
      case State::Failed:
        break;
    }
    ++i;
  }
  return m_state != State::Failed;
}

Negotiation::Negotiation(std::vector<std::uint8_t> local, std::vector<std::uint8_t> remote)
    : m_local(std::move(local)), m_remote(std::move(remote)) {}

bool Negotiation::supportsLocal(std::uint8_t option) const {
  return std::find(m_local.begin(), m_local.end(), option) != m_local.end();
}

bool Negotiation::supportsRemote(std::uint8_t option) const {
  return std::find(m_remote.begin(), m_remote.end(), option) != m_remote.end();
}

void Negotiation::received(std::uint8_t cmd, std::uint8_t option, Bytes& reply) {
  switch (cmd) {
    case DO:
      if (m_us[option] == Yes) return;
      if (m_us[option] == WantYes || supportsLocal(option)) {
        if (m_us[option] == No) appendOption(reply, WILL, option);
        m_us[option] = Yes;
      } else {
        appendOption(reply, WONT, option);
      }
      return;
    case DONT:
      if (m_us[option] == Yes) appendOption(reply, WONT, option);
      m_us[option] = No;
      return;
    case WILL:
      if (m_him[option] == Yes) return;
      if (m_him[option] == WantYes || supportsRemote(option)) {
        if (m_him[option] == No) appendOption(reply, DO, option);
        m_him[option] = Yes;
      } else {
        appendOption(reply, DONT, option);
      }
      return;
    case WONT:
      if (m_him[option] == Yes) appendOption(reply, DONT, option);
      m_him[option] = No;
      return;
    default:
      return;
  }
}

void Negotiation::offer(std::uint8_t option, Bytes& out) {
  if (m_us[option] != No) return;
  m_us[option] = WantYes;
  appendOption(out, WILL, option);
}

void Negotiation::ask(std::uint8_t option, Bytes& out) {
  if (m_him[option] != No) return;
  m_him[option] = WantYes;
  appendOption(out, DO, option);
}

}  // namespace zor::telnet
