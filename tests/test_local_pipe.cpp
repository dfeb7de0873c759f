// Local pipes: the channel's server end against its client end and against
// socat, CDevNet against socat playing a server, the intranet relay, and
// "zor server --headless" as a program.
#include <gtest/gtest.h>

#include <zor/devnet.h>
#include <zor/zor.h>

#include "support/background.h"
#include "support/process.h"
#include "support/recorder.h"
#include "support/serial_line.h"
#include "support/tcppeer.h"

#include "zor/platform/local_pipe.h"
#include "zor/platform/pipe_transport.h"
#include "zor/platform/platform.h"
#include "zor/remote/intranetserver.h"
#include "zor/remote/namedpipe.h"

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include <unistd.h>

using namespace zor;
using namespace zortest;
using zor_test::LogRecorder;
using zor_test::readBytes;
namespace fs = std::filesystem;

namespace {

// Records what a channel hears.
class RecordingPipe : public CNamedPipe {
public:
  RecordingPipe() : CNamedPipe(64) {}
  ~RecordingPipe() override { stop(); }

  void onRead(const void* data, unsigned long size) override {
    std::lock_guard lock(m_mutex);
    auto* p = static_cast<const unsigned char*>(data);
    m_bytes.insert(m_bytes.end(), p, p + size);
    m_largest = std::max(m_largest, size);
    m_cv.notify_all();
  }
  void onConnect(bool connected) override {
    std::lock_guard lock(m_mutex);
    m_links.push_back(connected);
    m_cv.notify_all();
  }
  std::vector<unsigned char> waitBytes(std::size_t n, int ms = 5000) {
    std::unique_lock lock(m_mutex);
    m_cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_bytes.size() >= n; });
    return m_bytes;
  }
  std::vector<bool> waitLinks(std::size_t n, int ms = 5000) {
    std::unique_lock lock(m_mutex);
    m_cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_links.size() >= n; });
    return m_links;
  }
  unsigned long largestChunk() {
    std::lock_guard lock(m_mutex);
    return m_largest;
  }
  void forget() {
    std::lock_guard lock(m_mutex);
    m_bytes.clear();
  }

private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<unsigned char> m_bytes;
  std::vector<bool> m_links;
  unsigned long m_largest = 0;
};

class LocalPipe : public ::testing::Test {
protected:
  void SetUp() override {
    root = scratchFolder("pipes");
    dir = root + "/run";
    setenv("ZOR_PIPE_DIR", dir.c_str(), 1);
    settings->m_threadGranularity = 2;
    settings->m_ioWriteTimeout = 1000;
    settings->m_autoresumeTimer = 100;
    settings->m_panicResume = true;
  }
  void TearDown() override { unsetenv("ZOR_PIPE_DIR"); }

  // Socket files now in the pipe folder.
  int sockets() const {
    int n = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec))
      if (entry.is_socket()) ++n;
    return n;
  }
  std::string sock(const char* leaf) const { return dir + "/" + leaf; }

  zor_test::SettingsScope settings;
  std::string root, dir;
};

bool write(CDevice& dev, const std::vector<unsigned char>& b) {
  return dev.WriteBuffer(b.data(), static_cast<unsigned long>(b.size()));
}

struct ExposedNet : CDevNet {
  using CDevNet::CDevNet;
  using CDevNet::GetIOSize;
  using CDevNet::on_io_error;
};

}  // namespace

TEST_F(LocalPipe, ServerWaitsForAClientWithoutSpinningServesOneAndIsReadyForTheNext) {
  RecordingPipe server;
  ASSERT_TRUE(server.create("T"));
  EXPECT_EQ(sockets(), 2);
  EXPECT_FALSE(server.write("x", 1)) << "no client to write to";
  long cpu = processCpuMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LT(processCpuMs() - cpu, 150) << "the reading thread spins while no client is there";
  EXPECT_TRUE(server.waitLinks(1, 0).empty());

  auto client = std::make_unique<RecordingPipe>();
  ASSERT_TRUE(client->connect(".", "T"));
  EXPECT_EQ(server.waitLinks(1), std::vector<bool>{true});
  CNamedPipe second(64);
  EXPECT_FALSE(second.connect(".", "T"));
  EXPECT_EQ(GetLastError(), ERROR_PIPE_BUSY);

  ASSERT_TRUE(client->writeString("AB"));
  EXPECT_EQ(server.waitBytes(3), (std::vector<unsigned char>{'A', 'B', 0}));
  server.forget();
  auto block = pattern(1500);
  ASSERT_TRUE(client->write(block.data(), 1500));
  EXPECT_EQ(server.waitBytes(1500), block) << "whole and in order";
  EXPECT_LE(server.largestChunk(), 64u);
  ASSERT_TRUE(server.write(block.data(), 1500));
  EXPECT_EQ(client->waitBytes(1500), block);

  client.reset();
  EXPECT_EQ(server.waitLinks(2), (std::vector<bool>{true, false}));
  // Re-created under the same names: the next client is served.
  RecordingPipe next;
  ASSERT_TRUE(waitUntil([&] { return next.connect(".", "T"); }, 10000));
  EXPECT_EQ(server.waitLinks(3), (std::vector<bool>{true, false, true}));
  server.forget();
  ASSERT_TRUE(next.writeString("C"));
  EXPECT_EQ(server.waitBytes(2), (std::vector<unsigned char>{'C', 0}));
}

TEST_F(LocalPipe, NamesStayInThePipeFolderAndTheFolderMustBeSafe) {
  CNamedPipe pipe(64);
  for (const char* base : {"../evil", "a/b", "..", ""}) {
    EXPECT_FALSE(pipe.create(base)) << base;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME) << base;
  }
  EXPECT_FALSE(pipe.create(std::string(200, 'x').c_str())) << "too long for a socket address";
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_FALSE(pipe.connect("../..", "ZORPIPE"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  EXPECT_FALSE(pipe.connect("lab7.example", "ZORPIPE"));
  EXPECT_EQ(GetLastError(), ERROR_BAD_NETPATH);
  std::error_code ec;
  int outside = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root, ec))
    if (entry.path().parent_path() != dir && entry.path() != dir) ++outside;
  EXPECT_EQ(outside, 0) << "a name reached outside the pipe folder";

  // A folder others may write is refused, and nothing is made in it.
  fs::permissions(dir, fs::perms::all);
  EXPECT_FALSE(pipe.create("T"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(sockets(), 0);
  fs::permissions(dir, fs::perms::owner_all);
  EXPECT_TRUE(pipe.create("T"));
}

TEST_F(LocalPipe, TheDefaultFolderIsOnlyEverAFolderOfThisUsersWithMode0700) {
  const char* oldRuntime = std::getenv("XDG_RUNTIME_DIR");
  const std::string saved = oldRuntime != nullptr ? oldRuntime : "";
  unsetenv("ZOR_PIPE_DIR");
  setenv("XDG_RUNTIME_DIR", root.c_str(), 1);
  const std::string folder = root + "/zor", target = root + "/chosen";
  fs::create_directory(target);
  fs::permissions(target, fs::perms::owner_all);
  fs::create_directory_symlink(target, folder);
  std::string problem;
  CNamedPipe pipe(64);
  EXPECT_EQ(pipeFolder(&problem), "");
  EXPECT_NE(problem.find(folder + " is a symbolic link"), std::string::npos) << problem;
  EXPECT_FALSE(pipe.create("T"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(fs::is_empty(target)) << "a socket was made at the link's target";

  fs::remove(folder);
  fs::create_directory(folder);
  fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  EXPECT_FALSE(pipe.create("T"));
  EXPECT_EQ(pipeFolder(&problem), "");
  EXPECT_NE(problem.find("has mode 0750, not 0700"), std::string::npos) << problem;
  EXPECT_TRUE(fs::is_empty(folder));

  fs::remove(folder);
  EXPECT_TRUE(pipe.create("T"));
  EXPECT_EQ(fs::symlink_status(folder).permissions(), fs::perms::owner_all);
  pipe.close();
  setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
  if (oldRuntime == nullptr) unsetenv("XDG_RUNTIME_DIR");
}

TEST_F(LocalPipe, DevNetOpensOnlyAServerOfThisComputerAndClassifiesPipeErrors) {
  ExposedNet empty;
  EXPECT_FALSE(empty.OpenDevice(0, 8192, 8192));
  EXPECT_FALSE(fs::exists(dir)) << "an empty host touched the pipes";
  ExposedNet none(".");
  EXPECT_FALSE(none.OpenDevice(0, 8192, 8192));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  ExposedNet remote("lab7.example");
  EXPECT_FALSE(remote.OpenDevice(0, 8192, 8192));
  EXPECT_EQ(GetLastError(), ERROR_BAD_NETPATH);
  ExposedNet sly("../x");
  EXPECT_FALSE(sly.OpenDevice(0, 8192, 8192));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  EXPECT_EQ(none.GetIOSize(0), 64);
  EXPECT_EQ(none.GetIOSize(1), 64);
  EXPECT_TRUE(none.on_io_error(ERROR_NO_DATA, 0));
  EXPECT_TRUE(none.on_io_error(ERROR_BROKEN_PIPE, 1));
  EXPECT_FALSE(none.on_io_error(ERROR_PIPE_BUSY, 1));
}

TEST_F(LocalPipe, DevNetTalksToSocatPlayingTheServer) {
  if (!haveProgram("socat")) GTEST_SKIP() << "socat is not installed";
  fs::create_directories(dir);
  fs::permissions(dir, fs::perms::owner_all);
  auto answer = pattern(3000, 7);
  writeFileBytes(root + "/answer.bin", answer);
  // ignoreeof: the server stays after its answer, as an instrument would.
  BackgroundProcess out(
      {"socat", "-u", "OPEN:" + root + "/answer.bin,ignoreeof", "UNIX-LISTEN:" + sock("ZORPIPE_OUT")});
  BackgroundProcess in({"socat", "-u", "UNIX-LISTEN:" + sock("ZORPIPE_IN"), "CREATE:" + root + "/heard.bin"});
  ASSERT_TRUE(waitUntil([&] { return sockets() == 2; }, 5000));
  CDevNet client("localhost");
  ASSERT_TRUE(client.OpenDevice(3, 8192, 8192));
  EXPECT_EQ(readBytes(client, answer.size(), 5000), answer);
  auto query = pattern(2000, 3);
  ASSERT_TRUE(write(client, query));
  EXPECT_EQ(waitFileBytes(root + "/heard.bin", query.size(), 5000), query);
}

class PipeRelay : public LocalPipe {
protected:
  void SetUp() override {
    LocalPipe::SetUp();
    echo.Loopback(true);
    ASSERT_TRUE(echo.OpenDevice(0, 8192, 8192));
    serverLog.attach(echo);
  }
  void TearDown() override {
    echo.CloseDevice();
    LocalPipe::TearDown();
  }
  int nextState(DWORD ms = 5000) {
    MSG m;
    while (queue.get(m, ms))
      if (m.message == CRelayServer::WM_PIPE_STATE) return static_cast<int>(m.wParam);
    return -1;
  }

  LogRecorder serverLog, rec;  // outlive the devices that log into them
  CDevNull echo;
  MessageQueue queue;
};

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

TEST_F(LocalPipe, HeadlessServerServesTheStoredChoiceUntilStopped) {
  fs::path program = fs::path(selfExecutable()).parent_path().parent_path() / "apps" / "zor";
  if (!fs::exists(program)) GTEST_SKIP() << "the zor program is not built";
  writeText(root + "/zor.ini", "[ZOR.DLL]\nrunZor NumDev=0\nrunZor loopback=1\n");
  BackgroundProcess server({program.string(), "server", "--headless"}, root + "/out.txt",
                           {"ZOR_CONFIG=" + root + "/zor.ini", "ZOR_PIPE_DIR=" + dir});
  ASSERT_TRUE(waitUntil([&] { return sockets() == 2; }, 5000));
  {
    // A client that opened one pipe only and closed it: the server serves the next.
    auto stray = connectLocalPipe(CNamedPipe::outPipeName(".", CDevNet::ZOR_NETPIPE).c_str(), 0, nullptr);
    ASSERT_TRUE(stray);
    stray.reset();
    CDevNet client(".");
    ASSERT_TRUE(waitUntil([&] { return client.OpenDevice(0, 8192, 8192); }, 5000));
    std::vector<unsigned char> ping{'p', 'i', 'n', 'g'};
    ASSERT_TRUE(write(client, ping));
    EXPECT_EQ(readBytes(client, 4, 5000), ping);
  }
  EXPECT_TRUE(
      waitUntil([&] { return readText(root + "/out.txt").find(" left\n") != std::string::npos; }, 5000));
  server.stop(2);
  EXPECT_EQ(server.exitCode(), 0);
  std::string out = readText(root + "/out.txt");
  EXPECT_EQ(out.rfind("process ", 0), 0u) << out;
  EXPECT_NE(out.find(" dropped: it opened one of the two pipes only\nprocess "), std::string::npos) << out;
  EXPECT_NE(out.find(" connected\n"), std::string::npos) << out;
  EXPECT_EQ(sockets(), 0) << "the server left its sockets behind";
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

TEST_F(LocalPipe, HeadlessServerSaysWhyItCannotMakeItsPipes) {
  const std::string program =
      (fs::path(selfExecutable()).parent_path().parent_path() / "apps" / "zor").string();
  if (!fs::exists(program)) GTEST_SKIP() << "the zor program is not built";
  writeText(root + "/zor.ini", "[ZOR.DLL]\nrunZor NumDev=0\nrunZor loopback=1\n");
  auto refusal = [&](const std::string& folder) {
    ProcessResult r = runProcess(program, {"server", "--headless"},
                                 {{"ZOR_CONFIG", root + "/zor.ini"}, {"ZOR_PIPE_DIR", folder}}, 10000);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("zor server: * Server error! * "), std::string::npos) << r.err;
    return r.err;
  };
  const std::string deep = root + "/" + std::string(100, 'd');
  EXPECT_NE(refusal(deep).find(deep + "/ZORPIPE_OUT is too long for a local socket"), std::string::npos);

  fs::create_directories(dir);
  fs::permissions(dir, fs::perms::owner_all);
  writeText(dir + "/ZORPIPE_IN", "notes");
  EXPECT_NE(refusal(dir).find(dir + "/ZORPIPE_IN is in the way"), std::string::npos);
  EXPECT_EQ(readText(dir + "/ZORPIPE_IN"), "notes") << "the file in the way was touched";
  fs::remove(dir + "/ZORPIPE_IN");

  CDevNull device;
  CIntranetServer other(&device, nullptr);
  ASSERT_TRUE(other.Start());
  EXPECT_NE(refusal(dir).find("another server has them"), std::string::npos);
  other.Stop();
  fs::permissions(dir, fs::perms::all);
  EXPECT_NE(refusal(dir).find("may be written by other users"), std::string::npos);
}
