// What the platform layer's calls say of handles that are no medium of
// theirs, its error mapping and its debugger output.
#include "zor/platform/comm.h"
#include "zor/platform/platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <utility>

using namespace zor;

namespace {

// An event is a handle, but not one to read from, nor a port.
TEST(Handles, CommCallsOnAnEventFail) {
  HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DCB d{};
  EXPECT_FALSE(GetCommState(e, &d));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  EXPECT_FALSE(EscapeCommFunction(e, SETDTR));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  COMMTIMEOUTS t{};
  EXPECT_FALSE(GetCommTimeouts(e, &t));
  CloseHandle(e);
}

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
