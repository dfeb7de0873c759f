// "zor remote --headless" as a program: the stored choice served to socat,
// and the signals that stop it. A server lost and back is in test_tcp_relay.cpp.
#include <gtest/gtest.h>

#include "support/process.h"
#include "support/tcppeer.h"

#include <filesystem>

using namespace zortest;

namespace {

class TcpHeadless : public SocatTest {
protected:
  void SetUp() override {
    SocatTest::SetUp();
    if (IsSkipped()) return;
    program = (std::filesystem::path(selfExecutable()).parent_path().parent_path() / "apps" / "zor").string();
    if (!std::filesystem::exists(program)) GTEST_SKIP() << "the zor program is not built";
  }
  // The stored connection choice the server reads.
  void storeChoice(const std::string& keys) { writeText(file("zor.ini"), "[ZOR.DLL]\n" + keys); }
  std::unique_ptr<BackgroundProcess> startServer() {
    auto p = std::make_unique<BackgroundProcess>(std::vector<std::string>{program, "remote", "--headless"},
                                                 file("out.txt"),
                                                 std::vector<std::string>{"ZOR_CONFIG=" + file("zor.ini")});
    waitUntil([] { return isListening(kServerPort); }, 5000);
    return p;
  }

  std::string program;
};

}  // namespace

TEST_F(TcpHeadless, WithoutHeadlessItSaysTheWindowComesLaterAndFails) {
  auto r = runProcess(program, {"remote"}, {{"ZOR_CONFIG", file("zor.ini")}});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(r.err.find("window"), std::string::npos) << r.err;
  EXPECT_NE(runProcess(program, {"remote", "--bogus"}).exitCode, 0);
}

TEST_F(TcpHeadless, ServesTheStoredLoopbackAndPrintsOneLinePerConnectAndLeave) {
  // A stored TCP choice is not served: a server serves a local device.
  storeChoice("runZor NumDev=3\nrunZor Address=127.0.0.1\nrunZor loopback=1\n");
  auto server = startServer();
  ASSERT_TRUE(isListening(kServerPort));
  writeFileBytes(file("up"), {'h', 'i'});
  {
    SocatClient client(file("up"), file("down"));
    EXPECT_EQ(waitFileBytes(file("down"), 2, 5000), (std::vector<unsigned char>{'h', 'i'}));
    client.leave();
  }
  EXPECT_TRUE(waitUntil([&] { return readText(file("out.txt")).find("left") != std::string::npos; }, 5000));
  server->stop(15);
  EXPECT_EQ(server->exitCode(), 0);
  EXPECT_EQ(readText(file("out.txt")), "127.0.0.1 connected\n127.0.0.1 left\n");
  EXPECT_FALSE(isListening(kServerPort));
  server = startServer();
  server->stop(2);
  EXPECT_EQ(server->exitCode(), 0) << "SIGINT stops it cleanly too";
}
