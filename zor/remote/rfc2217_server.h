// CRfc2217Channel: the relay channel of a network serial port: Telnet with
// the serial-line option (44) on one TCP connection per client. Negotiation
// and serial-line commands never reach the device; the device's bytes go out
// with 0xFF doubled; a served serial port's modem lines are reported to the
// client while it watches them.
#pragma once

#include "zor/remote/comport_control.h"
#include "zor/remote/socket_channel.h"

#include <condition_variable>
#include <mutex>

namespace zor {

class CRfc2217Channel final : public CSocketChannel {
public:
  // How often a served serial port's modem lines are looked at while a client watches them.
  static constexpr int kModemPollMs = 100;
  // The longest a suspended client holds the device's bytes back in one look.
  static constexpr int kSuspendSliceMs = 100;

  CRfc2217Channel(CDevice* device, int port, std::uint32_t address, TurnedAwayHandler onTurnedAway);
  ~CRfc2217Channel() override;
  void close() override;

protected:
  void sessionStarted() override;
  bool received(const std::uint8_t* data, std::size_t size, telnet::Bytes& payload) override;
  void tick() override;
  int sliceMs() const override;
  void frame(const std::uint8_t* data, std::size_t size, telnet::Bytes& out) override;
  bool mayWrite() override;

private:
  void onOption(std::uint8_t cmd, std::uint8_t option);
  void onSub(std::uint8_t option, const telnet::Bytes& body);
  void debug(const std::string& line) const;
  void flushReplies();

  CComPortControl m_control;
  telnet::Decoder m_decoder;
  std::unique_ptr<telnet::Negotiation> m_negotiation;
  telnet::Bytes m_replies;  // the channel thread's answers, sent after each received block
  std::mutex m_suspendMutex;
  std::condition_variable m_resumed;
};

}  // namespace zor
