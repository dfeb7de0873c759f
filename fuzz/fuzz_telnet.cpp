// Bytes from a network serial port's peer, cut into two segments where the
// first byte says: the decoder takes them apart the same however they are
// cut, never gives more payload than it was given, answers the negotiations
// a bounded amount, and payload escaped again decodes to itself.
#include "zor/remote/telnet_codec.h"

#include <cstdint>
#include <cstdlib>

using namespace zor::telnet;

namespace {

struct Run {
  Bytes payload, replies, subs;
  bool ok = true;
  Negotiation negotiation{{OPT_BINARY, OPT_SGA, OPT_COM_PORT}, {OPT_BINARY, OPT_SGA, OPT_COM_PORT}};
  Decoder decoder{
      [this](std::uint8_t cmd, std::uint8_t option) { negotiation.received(cmd, option, replies); },
      [this](std::uint8_t option, const Bytes& body) {
        if (body.size() > Decoder::kMaxSub) std::abort();
        subs.push_back(option);
        subs.insert(subs.end(), body.begin(), body.end());
      }};
  void feed(const std::uint8_t* data, std::size_t size) {
    if (ok) ok = decoder.feed(data, size, payload);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t cut = data[0] % size;
  Run whole, split;
  whole.feed(data + 1, size - 1);
  split.feed(data + 1, cut);
  split.feed(data + 1 + cut, size - 1 - cut);
  if (whole.payload != split.payload || whole.subs != split.subs || whole.replies != split.replies ||
      whole.ok != split.ok)
    std::abort();
  if (whole.payload.size() > size || whole.replies.size() > 3 * size) std::abort();
  Bytes wire;
  escape(whole.payload.data(), whole.payload.size(), wire);
  Run again;
  again.feed(wire.data(), wire.size());
  if (!again.ok || again.payload != whole.payload || !again.subs.empty() || !again.replies.empty())
    std::abort();
  return 0;
}
