// A local pipe's ends as transports: the server's instance, the client's
// connect and open by name, and what each end sees of the other.
#include <gtest/gtest.h>

#include "support/process.h"
#include "support/recorder.h"
#include "support/tcppeer.h"

#include "zor/platform/pipe_listener.h"
#include "zor/platform/pipe_transport.h"
#include "zor/platform/platform.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

using namespace zor;
using zor_test::waitUntil;
using zortest::pattern;

namespace {

class PipeTransportTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir = zortest::scratchFolder("pipe-transport") + "/run";
    setenv("ZOR_PIPE_DIR", dir.c_str(), 1);
  }
  void TearDown() override { unsetenv("ZOR_PIPE_DIR"); }

  std::string dir;
  const char* name = "\\\\.\\PIPE\\T";
};

// Every byte of data through from one end to the other, whatever the pieces.
std::vector<unsigned char> carry(Transport& from, Transport& to, const std::vector<unsigned char>& data) {
  std::vector<unsigned char> got;
  std::thread writer(
      [&] { EXPECT_EQ(from.write(data.data(), data.size(), 5000, nullptr), long(data.size())); });
  unsigned char buffer[4096];
  for (int i = 0; i < 10000 && got.size() < data.size(); ++i) {
    long n = to.read(buffer, sizeof buffer, 1000, nullptr);
    if (n < 0) break;
    got.insert(got.end(), buffer, buffer + n);
  }
  writer.join();
  return got;
}

}  // namespace

TEST_F(PipeTransportTest, BytesGoBothWaysAndAPeerGoneIsABrokenPipeToReadersAndClosingToWriters) {
  DWORD error = 0;
  auto listener = PipeListener::create(name, &error);
  ASSERT_TRUE(listener) << error;
  EXPECT_FALSE(listener->accept(50, &error));
  EXPECT_EQ(error, ERROR_PIPE_LISTENING) << "nobody came within the bound";
  EXPECT_FALSE(PipeListener::create(name, &error));
  EXPECT_EQ(error, ERROR_PIPE_BUSY) << "a second server of the name";

  HANDLE clientWaits = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_TRUE(listener->signalWhenClientWaits(clientWaits));
  auto client = connectLocalPipe(name, 0, &error);
  ASSERT_TRUE(client) << error;
  EXPECT_EQ(WaitForSingleObject(clientWaits, 5000), WAIT_OBJECT_0);
  std::unique_ptr<PipeTransport> server = listener->accept(5000, &error);
  ASSERT_TRUE(server) << error;
  EXPECT_EQ(server->peerProcessId(), static_cast<DWORD>(getpid()));
  EXPECT_FALSE(listener->accept(0, &error));
  EXPECT_EQ(error, ERROR_BAD_PIPE) << "an instance serves one client";

  auto big = pattern(300000, 3);
  EXPECT_EQ(carry(*client, *server, big), big);
  EXPECT_EQ(carry(*server, *client, big), big);
  unsigned char b[8];
  EXPECT_EQ(client->read(b, sizeof b, 0, &error), 0) << "nothing there: a read that does not wait";

  HANDLE readable = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_TRUE(client->signalWhenReadable(readable));
  ASSERT_EQ(server->write("ok", 2, 1000, nullptr), 2);
  EXPECT_EQ(WaitForSingleObject(readable, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(client->read(b, sizeof b, 1000, nullptr), 2);

  server->close();
  EXPECT_EQ(server->read(b, sizeof b, 0, &error), -1);
  EXPECT_EQ(error, ERROR_INVALID_HANDLE);
  EXPECT_EQ(client->read(b, sizeof b, 1000, &error), -1);
  EXPECT_EQ(error, ERROR_BROKEN_PIPE);
  EXPECT_EQ(client->write("x", 1, 1000, &error), -1);
  EXPECT_EQ(error, ERROR_NO_DATA);
  listener->close();
  EXPECT_FALSE(openLocalPipeTransport(name, &error));
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND) << "no server";
  EXPECT_FALSE(connectLocalPipe(name, 0, &error)) << "the same without a wait";
  CloseHandle(readable);
  CloseHandle(clientWaits);
}

TEST_F(PipeTransportTest, CancelEndsAWaitingReadOrAcceptAndAStaleSocketIsNoServer) {
  DWORD error = 0;
  // A socket a server left when it died, with no lock held beside it.
  ASSERT_TRUE(PipeListener::create(name, &error));  // makes the folder
  int stale = ::socket(AF_UNIX, ::SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string path = dir + "/T";
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(::bind(stale, reinterpret_cast<::sockaddr*>(&address), sizeof address), 0);
  ::close(stale);
  EXPECT_FALSE(openLocalPipeTransport(name, &error));
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);

  auto listener = PipeListener::create(name, &error);
  ASSERT_TRUE(listener) << "the stale socket is replaced: " << error;
  DWORD acceptError = 0;
  std::thread accepting([&] { EXPECT_FALSE(listener->accept(10000, &acceptError)); });
  listener->cancel();
  accepting.join();
  EXPECT_EQ(acceptError, ERROR_OPERATION_ABORTED);

  auto client = connectLocalPipe(name, 0, &error);
  ASSERT_TRUE(client) << error;
  auto server = listener->accept(5000, &error);
  ASSERT_TRUE(server) << error;
  long got = 0;
  DWORD readError = 0;
  std::thread reader([&] {
    unsigned char b[8];
    got = client->read(b, sizeof b, 10000, &readError);
  });
  client->cancel(true);
  reader.join();
  EXPECT_EQ(got, -1);
  EXPECT_EQ(readError, ERROR_OPERATION_ABORTED);
  ASSERT_EQ(server->write("z", 1, 1000, nullptr), 1);
  unsigned char b[8];
  EXPECT_EQ(client->read(b, sizeof b, 5000, nullptr), 1) << "a cancel ends one wait only";

  // What is no local pipe's spelling; a remote host's name and one too long
  // for a socket are test_local_pipe's.
  for (const char* bad : {"\\\\.\\PIPE\\a/b", "\\\\..\\PIPE\\x", "pipe"}) {
    EXPECT_FALSE(openLocalPipeTransport(bad, &error)) << bad;
    EXPECT_EQ(error, ERROR_INVALID_NAME) << bad;
  }
}
