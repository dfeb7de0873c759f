// The Telnet framing of the network serial port on its own: payload and
// commands apart whatever the segments, 0xFF doubled, negotiation that
// answers once and never loops, a sub-negotiation that never ends.
#include <gtest/gtest.h>

#include "zor/remote/telnet_codec.h"

#include <string>
#include <utility>
#include <vector>

using namespace zor::telnet;

namespace {

struct Seen {
  std::vector<std::pair<int, int>> options;
  std::vector<std::pair<int, Bytes>> subs;
  Decoder decoder{[this](std::uint8_t c, std::uint8_t o) { options.emplace_back(c, o); },
                  [this](std::uint8_t o, const Bytes& b) { subs.emplace_back(o, b); }};
};

}  // namespace

TEST(TelnetCodec, PayloadAndCommandsComeApartHoweverTheStreamIsCut) {
  Bytes wire;
  Bytes all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<std::uint8_t>(i));
  escape(all.data(), all.size(), wire);
  EXPECT_EQ(wire.size(), 257u) << "0xFF alone is doubled";
  appendOption(wire, DO, OPT_COM_PORT);
  const Bytes body{1, 0xFF, 0, 0x25, 0x80};  // a rate whose bytes hold IAC
  appendSub(wire, OPT_COM_PORT, body.data(), body.size());
  wire.insert(wire.end(), {IAC, 241, 'x', IAC, IAC});  // NOP, then data
  // Every cut of the stream into two segments, and one byte at a time.
  for (std::size_t cut = 0; cut <= wire.size(); ++cut) {
    Seen seen;
    Bytes payload;
    ASSERT_TRUE(seen.decoder.feed(wire.data(), cut, payload));
    ASSERT_TRUE(seen.decoder.feed(wire.data() + cut, wire.size() - cut, payload));
    Bytes expected = all;
    expected.insert(expected.end(), {'x', 0xFF});
    ASSERT_EQ(payload, expected) << "cut at " << cut;
    ASSERT_EQ(seen.options, (std::vector<std::pair<int, int>>{{DO, OPT_COM_PORT}, {241, 0}}));
    ASSERT_EQ(seen.subs.size(), 1u);
    EXPECT_EQ(seen.subs[0].first, OPT_COM_PORT);
    EXPECT_EQ(seen.subs[0].second, body);
  }
  Seen bytewise;
  Bytes payload;
  for (std::uint8_t b : wire) ASSERT_TRUE(bytewise.decoder.feed(&b, 1, payload));
  EXPECT_EQ(payload.size(), 258u);
  EXPECT_EQ(bytewise.subs.size(), 1u);
}

TEST(TelnetCodec, HostileStreamsFailBoundedOrPassHarmlessly) {
  // (A stream of IAC bytes alone: test_rfc2217_server's hostile client.)
  Bytes payload;
  // A sub-negotiation that never ends fails once past its bound, and takes nothing more.
  Seen endless;
  Bytes sb{IAC, SB, OPT_COM_PORT};
  Bytes filler(Decoder::kMaxSub + 10, 'a');
  sb.insert(sb.end(), filler.begin(), filler.end());
  EXPECT_FALSE(endless.decoder.feed(sb.data(), sb.size(), payload));
  EXPECT_TRUE(endless.decoder.failed());
  const std::uint8_t more[] = {'z'};
  EXPECT_FALSE(endless.decoder.feed(more, 1, payload));
  EXPECT_TRUE(payload.empty() && endless.subs.empty());
  // A broken sub-negotiation (IAC and no SE) is dropped, and what follows is read again.
  Seen broken;
  const Bytes wire{IAC, SB, OPT_COM_PORT, 1, IAC, WILL, OPT_SGA, 'k'};
  EXPECT_TRUE(broken.decoder.feed(wire.data(), wire.size(), payload));
  EXPECT_EQ(payload, Bytes{'k'});
  EXPECT_EQ(broken.options, (std::vector<std::pair<int, int>>{{WILL, OPT_SGA}}));
  EXPECT_TRUE(broken.subs.empty());
}

TEST(TelnetCodec, NegotiationAnswersOnceAndRefusesWhatItDoesNotDo) {
  Negotiation n({OPT_BINARY, OPT_COM_PORT}, {OPT_BINARY});
  Bytes out;
  n.offer(OPT_BINARY, out);
  n.ask(OPT_BINARY, out);
  EXPECT_EQ(out, (Bytes{IAC, WILL, OPT_BINARY, IAC, DO, OPT_BINARY}));
  out.clear();
  // The peer's agreement to what we asked is not answered again.
  n.received(DO, OPT_BINARY, out);
  n.received(WILL, OPT_BINARY, out);
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(n.localEnabled(OPT_BINARY) && n.remoteEnabled(OPT_BINARY));
  // A request for what it supports is agreed once; repeats change nothing.
  for (int i = 0; i < 10000; ++i) n.received(DO, OPT_COM_PORT, out);
  EXPECT_EQ(out, (Bytes{IAC, WILL, OPT_COM_PORT}));
  out.clear();
  // What it does not do is refused, each time it is asked.
  n.received(DO, OPT_ECHO, out);
  n.received(WILL, OPT_COM_PORT, out);
  EXPECT_EQ(out, (Bytes{IAC, WONT, OPT_ECHO, IAC, DONT, OPT_COM_PORT}));
  EXPECT_FALSE(n.localEnabled(OPT_ECHO));
  out.clear();
  // Turning an option off is acknowledged once.
  n.received(DONT, OPT_BINARY, out);
  n.received(DONT, OPT_BINARY, out);
  n.received(WONT, OPT_SGA, out);
  EXPECT_EQ(out, (Bytes{IAC, WONT, OPT_BINARY}));
  EXPECT_EQ(describe(WILL, OPT_COM_PORT), "WILL COM-PORT-OPTION");
}
