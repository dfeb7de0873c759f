// The intranet relay: a served loopback through the pipe server to CDevNet
// and to socat, clients that leave half-way or are killed, and bursts far
// larger than the rings.
#include "support/local_pipe_fixture.h"
#include "support/relay_flood.h"

TEST_F(PipeRelay, DeviceDataWithoutAClientIsDroppedAndAClientSeesOnlyWhatCameAfter) {
  CIntranetServer server(&echo, &queue);
  ASSERT_TRUE(server.Start());
  std::vector<unsigned char> early{9, 9, 9};
  ASSERT_TRUE(write(echo, early));
  ASSERT_TRUE(serverLog.waitForEvent(IDS_PIPE_WRITE_ERROR, 5000));
  EXPECT_TRUE(waitUntil([&] { return echo.GetRxBufferCount() == 0; }, 2000)) << "device data accumulates";

  CDevNet client(".");
  rec.attach(client);
  ASSERT_TRUE(client.OpenDevice(1, 8192, 8192));
  EXPECT_EQ(nextState(), 1);
  CDevNet second(".");
  EXPECT_FALSE(second.OpenDevice(0, 8192, 8192));
  EXPECT_EQ(GetLastError(), ERROR_PIPE_BUSY);
  auto block = pattern(5000);
  ASSERT_TRUE(write(client, block));
  EXPECT_EQ(readBytes(client, block.size(), 5000), block) << "the early bytes must not reach the client";
  EXPECT_EQ(serverLog.bytes(LOG_SERVER_RCV), block);
  EXPECT_EQ(serverLog.bytes(LOG_SERVER_SENT), block);

  client.CloseDevice();
  EXPECT_EQ(nextState(), 0);
  EXPECT_TRUE(waitUntil([&] { return second.OpenDevice(0, 8192, 8192); }, 10000))
      << "the next client is served";
}

TEST_F(PipeRelay, ClientsOnOnePipeOrKilledNeverKeepTheNextClientOut) {
  CIntranetServer server(&echo, &queue);
  ASSERT_TRUE(server.Start());
  const std::string in = CNamedPipe::inPipeName(".", CDevNet::ZOR_NETPIPE);
  const std::string out = CNamedPipe::outPipeName(".", CDevNet::ZOR_NETPIPE);
  auto open = [](const std::string& name) {
    std::unique_ptr<PipeTransport> end;
    waitUntil([&] { return (end = connectLocalPipe(name.c_str(), 0, nullptr)) != nullptr; }, 5000);
    return end;
  };
  const int halfOpenBound = static_cast<int>(CNamedPipe::kHalfOpenMs) + 5000;

  // The outbound pipe only, closed again: dropped at once.
  auto end = open(out);
  ASSERT_TRUE(end);
  end.reset();
  EXPECT_EQ(nextState(), CRelayServer::LINK_DROPPED);
  // Held: dropped after the time-out, and it never hears the device.
  end = open(out);
  ASSERT_TRUE(end);
  ASSERT_TRUE(write(echo, {1, 2, 3}));
  EXPECT_EQ(nextState(halfOpenBound), CRelayServer::LINK_DROPPED);
  unsigned char got[16];
  EXPECT_LE(end->read(got, sizeof got, 0, nullptr), 0) << "device data went to a client on one pipe";
  end.reset();
  // The inbound pipe only: what it sends reaches no device.
  end = open(in);
  ASSERT_TRUE(end);
  ASSERT_EQ(end->write("xyz", 3, 1000, nullptr), 3);
  EXPECT_EQ(nextState(halfOpenBound), CRelayServer::LINK_DROPPED);
  end.reset();
  EXPECT_TRUE(serverLog.bytes(LOG_SERVER_RCV).empty());
  EXPECT_EQ(server.lastPeerAddress(), "process " + std::to_string(getpid()));
  if (haveProgram("socat")) {
    // A client on both pipes, killed.
    BackgroundProcess killed(
        {"socat", "UNIX-CONNECT:" + sock("ZORPIPE_OUT"), "UNIX-CONNECT:" + sock("ZORPIPE_IN")});
    EXPECT_EQ(nextState(), CRelayServer::LINK_CONNECTED);
    killed.stop(9);
    EXPECT_EQ(nextState(), CRelayServer::LINK_LEFT);
  }

  CDevNet client(".");
  ASSERT_TRUE(waitUntil([&] { return client.OpenDevice(1, 8192, 8192); }, 10000));
  EXPECT_EQ(nextState(), CRelayServer::LINK_CONNECTED);
  auto block = pattern(3000);
  ASSERT_TRUE(write(client, block));
  EXPECT_EQ(readBytes(client, block.size(), 5000), block);
}

TEST_F(PipeRelay, ServerKilledAndRestartedIsAPanicThenAResumeAndNothingComesTwice) {
  auto server = std::make_unique<CIntranetServer>(&echo, &queue);
  ASSERT_TRUE(server->Start());
  CDevNet client(".");
  rec.attach(client);
  ASSERT_TRUE(client.OpenDevice(0, 8192, 8192));
  std::vector<unsigned char> before{1, 2, 3};
  ASSERT_TRUE(write(client, before));
  ASSERT_EQ(readBytes(client, 3, 5000), before);

  server.reset();
  ASSERT_TRUE(rec.waitForEvent(IDS_PANIC, 5000));
  EXPECT_EQ(rec.countEvent(IDS_PANIC_RESUMED), 0u);
  server = std::make_unique<CIntranetServer>(&echo, &queue);
  ASSERT_TRUE(server->Start());
  ASSERT_TRUE(rec.waitForEvent(IDS_PANIC_RESUMED, 5000));
  std::vector<unsigned char> after{4, 5, 6, 7};
  ASSERT_TRUE(waitUntil([&] { return write(client, after); }, 2000));
  EXPECT_EQ(readBytes(client, 4, 5000), after);
  EXPECT_EQ(readBytes(client, 1, 200), std::vector<unsigned char>{}) << "a byte came twice";
}

TEST_F(PipeRelay, SocatAsTheClientAndManyVisitsLeaveNothingBehind) {
  if (!haveProgram("socat")) GTEST_SKIP() << "socat is not installed";
  CIntranetServer server(&echo, &queue);
  ASSERT_TRUE(server.Start());
  auto query = pattern(4000, 5);
  writeFileBytes(root + "/query.bin", query);
  {
    BackgroundProcess reader(
        {"socat", "-u", "UNIX-CONNECT:" + sock("ZORPIPE_OUT"), "CREATE:" + root + "/got.bin"});
    ASSERT_TRUE(waitUntil([&] { return reader.started(); }, 1000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    BackgroundProcess writer(
        {"socat", "-u", "OPEN:" + root + "/query.bin,ignoreeof", "UNIX-CONNECT:" + sock("ZORPIPE_IN")});
    EXPECT_EQ(waitFileBytes(root + "/got.bin", query.size(), 5000), query);
  }
  ASSERT_EQ(nextState(), 1);
  ASSERT_EQ(nextState(), 0);

  int fds = zor_test::fdCount(), threads = zor_test::threadCount();
  for (int i = 0; i < 200; ++i) {
    CDevNet client(".");
    ASSERT_TRUE(waitUntil([&] { return client.OpenDevice(i % 4, 8192, 8192); }, 10000)) << "visit " << i;
    ASSERT_EQ(nextState(), 1);
    client.CloseDevice();
    ASSERT_EQ(nextState(), 0);
  }
  EXPECT_TRUE(
      waitUntil([&] { return zor_test::fdCount() <= fds && zor_test::threadCount() <= threads; }, 10000))
      << zor_test::fdCount() << " descriptors, " << zor_test::threadCount() << " threads";
  server.Stop();
  EXPECT_EQ(sockets(), 0);
}

TEST_F(PipeRelay, BurstsFarLargerThanTheRingsReachASlowReaderWholeAndInOrder) {
  // The client's pipe moves 64 bytes a read: at 15 ms a slice that is some
  // 4 KB/s, so there 16 KB go to a 512-byte ring read slower still; at 0,
  // 100 KB and a mebibyte to an 8 KB ring.
  struct Case {
    long granularity;
    std::size_t size;
    int ring;
    std::size_t piece;
    int pauseMs;
  };
  for (Case c : {Case{0, 100 * 1024, 8192, 1024, 1}, Case{0, 1u << 20, 8192, 1024, 1},
                 Case{15, 16 * 1024, 512, 32, 10}}) {
    SCOPED_TRACE(testing::Message() << "granularity " << c.granularity << ", " << c.size << " bytes");
    echo.CloseDevice();
    settings->m_threadGranularity = c.granularity;  // read by running workers: changed while none runs
    ASSERT_TRUE(echo.OpenDevice(0, 8192, 8192));
    LogRecorder clientRec;  // outlives the client that logs into it
    {
      CIntranetServer server(&echo, &queue);
      ASSERT_TRUE(server.Start());
      CDevNet client(".");
      clientRec.attach(client);
      ASSERT_TRUE(waitUntil([&] { return client.OpenDevice(0, c.ring, 8192); }, 10000));
      const auto data = pattern(c.size, static_cast<unsigned>(c.size));
      EXPECT_TRUE(zor_test::echoSlowly(client, data, c.piece, c.pauseMs, 10000) == data);
      EXPECT_EQ(clientRec.countEvent(IDS_RX_OVERRUN), 0u);
      client.CloseDevice();
    }
    EXPECT_EQ(serverLog.countEvent(IDS_RX_OVERRUN), 0u) << "the served device's ring";
    while (nextState(0) != -1) {
    }
  }
}

TEST_F(PipeRelay, AClientThatStopsReadingWhileTheDeviceFloodsLosesNothingAndTheServerStaysStoppable) {
  // Within the pipe's bound on a write to a client that does not read.
  for (bool readsAgain : {true, false}) {
    SCOPED_TRACE(readsAgain ? "the client reads again" : "the server stops while held");
    echo.CloseDevice();
    settings->m_threadGranularity = 0;  // read by running workers: changed while none runs
    ASSERT_TRUE(echo.OpenDevice(0, 8192, 8192));
    CIntranetServer server(&echo, &queue);
    ASSERT_TRUE(server.Start());
    CDevNet client(".");
    ASSERT_TRUE(waitUntil([&] { return client.OpenDevice(0, 8192, 8192); }, 10000));
    ASSERT_EQ(nextState(), 1);
    const std::size_t most = 16u << 20;
    const auto sent = zor_test::floodUntilHeld(echo, 8192, most);
    EXPECT_LT(sent.size(), most) << "the pipe never held the relay back";
    if (readsAgain) {
      EXPECT_TRUE(readBytes(client, sent.size(), 8000) == sent) << "whole and in order";
    }
    server.Stop();  // its relay may be held in a write to the client
    EXPECT_FALSE(server.IsRunning());
    client.CloseDevice();
    while (nextState(0) != -1) {
    }
  }
}
