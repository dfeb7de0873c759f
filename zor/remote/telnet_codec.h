// Telnet framing for network serial ports: the decoder that separates payload
// from commands (bytes of either may be split across any number of segments),
// the encoders, and the option negotiation of one end.
//
// Pure code: no I/O, no threads. One object per connection, used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zor::telnet {

constexpr std::uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr std::uint8_t OPT_BINARY = 0, OPT_ECHO = 1, OPT_SGA = 3, OPT_COM_PORT = 44;

using Bytes = std::vector<std::uint8_t>;

// Appends data to out with every 0xFF doubled.
void escape(const std::uint8_t* data, std::size_t size, Bytes& out);
// IAC cmd option (cmd one of DO, DONT, WILL, WONT).
void appendOption(Bytes& out, std::uint8_t cmd, std::uint8_t option);
// IAC SB option body... IAC SE, with the body escaped.
void appendSub(Bytes& out, std::uint8_t option, const std::uint8_t* body, std::size_t size);
// A readable name for a negotiation byte and an option, for debug lines.
std::string describe(std::uint8_t cmd, std::uint8_t option);

class Decoder {
public:
  // A negotiation (cmd: DO, DONT, WILL, WONT) or another two-byte command (option 0).
  using OptionHandler = std::function<void(std::uint8_t cmd, std::uint8_t option)>;
  // A whole sub-negotiation, its body unescaped and without IAC SE.
  using SubHandler = std::function<void(std::uint8_t option, const Bytes& body)>;
  // A sub-negotiation longer than this is hostile or broken: the decoder fails.
  static constexpr std::size_t kMaxSub = 256;

  Decoder(OptionHandler onOption, SubHandler onSub)
      : m_onOption(std::move(onOption)), m_onSub(std::move(onSub)) {}

  // Appends the payload of data to payload and calls the handlers for the
  // commands, in order. False once a sub-negotiation overflowed; the decoder
  // then takes nothing more.
  bool feed(const std::uint8_t* data, std::size_t size, Bytes& payload);
  bool failed() const { return m_state == State::Failed; }
  void reset();

private:
  enum class State { Data, Iac, Option, Sub, SubIac, Failed };
  OptionHandler m_onOption;
  SubHandler m_onSub;
  State m_state = State::Data;
  std::uint8_t m_cmd = 0;
  Bytes m_sub;  // option byte first, then the body
};

// The negotiation of one end by the rule of RFC 1143, without the queue bits:
// an option is enabled or not on each side, a request that changes nothing is
// not answered (so two ends never loop), and a refused option is refused once
// per request that asks for it.
class Negotiation {
public:
  // Options this end will do itself (WILL) and wants the peer to do (DO).
  Negotiation(std::vector<std::uint8_t> local, std::vector<std::uint8_t> remote);

  // Appends the answer to a received DO/DONT/WILL/WONT.
  void received(std::uint8_t cmd, std::uint8_t option, Bytes& reply);
  // Asks for our own side (WILL) or the peer's (DO) of an option we support.
  void offer(std::uint8_t option, Bytes& out);
  void ask(std::uint8_t option, Bytes& out);
  bool localEnabled(std::uint8_t option) const { return m_us[option] == Yes; }
  bool remoteEnabled(std::uint8_t option) const { return m_him[option] == Yes; }
  // True once the peer answered, either way, what we asked of its side.
  bool remoteAnswered(std::uint8_t option) const { return m_him[option] != WantYes; }
  bool localAnswered(std::uint8_t option) const { return m_us[option] != WantYes; }

private:
  enum Side : std::uint8_t { No, Yes, WantYes };
  bool supportsLocal(std::uint8_t option) const;
  bool supportsRemote(std::uint8_t option) const;
  std::vector<std::uint8_t> m_local, m_remote;
  Side m_us[256] = {};
  Side m_him[256] = {};
};

}  // namespace zor::telnet
