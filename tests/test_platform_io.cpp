// The platform layer's error mapping and its debugger output.
#include "zor/platform/platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <utility>

using namespace zor;

namespace {

// The codes callers tell apart: a lost link (fatal to the TCP device) from a retry.
TEST(ErrorMapping, SocketErrorsCallersTellApart) {
  const std::pair<int, DWORD> sockets[] = {
      {ECONNRESET, WSAECONNRESET}, {EPIPE, WSAECONNRESET},        {ECONNABORTED, WSAECONNABORTED},
      {ENOTCONN, WSAENOTCONN},     {ENETDOWN, WSAENETDOWN},       {EHOSTUNREACH, WSAEHOSTUNREACH},
      {EHOSTDOWN, WSAEHOSTDOWN},   {ENOTSOCK, WSAENOTSOCK},       {ECONNREFUSED, WSAECONNREFUSED},
      {ETIMEDOUT, WSAETIMEDOUT},   {EWOULDBLOCK, WSAEWOULDBLOCK}, {EINTR, WSAEINTR}};
  for (auto [err, wsa] : sockets) EXPECT_EQ(socketErrorFromErrno(err), wsa) << "errno " << err;
}

TEST(DebugOutput, OneLineOnStandardError) {
  testing::internal::CaptureStderr();
  OutputDebugStringA("first\n");
  OutputDebugStringA("second");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "first\nsecond\n");
}

}  // namespace
