// The USB transport against an emulated instrument (support/usb_instruments.h):
// one pipe each way, what bounds and cancels a transfer, and how the device's
// faults answer. Runs only under umockdev's preload (its own ctest entry).
#include "support/recorder.h"
#include "support/usb_instruments.h"
#include "zor/platform/transport_openers.h"
#include "zor/platform/usb.h"
#include "zor/platform/usb_transport.h"

#include <gtest/gtest.h>

#ifdef ZOR_HAVE_UMOCKDEV
#include <future>
#include <memory>
#include <string>

using namespace zor;
using namespace zor_test;

namespace {

class EmulatedUsbTransport : public ::testing::Test {
protected:
  void SetUp() override {
    if (!umockdevPreloaded()) GTEST_SKIP() << "needs umockdev's preload (the usb_transport_umockdev entry)";
    setUsbDeviceIds({{0x1234, 0xab01}});
    setUsbTransferTimeout(100);
    bed = std::make_unique<EmulatedInstruments>(std::vector<Block>{usbBulkPair(64)});
    DWORD error = 0;
    out = openUsbTransport("usb:1-1\\PIPE00", &error);
    ASSERT_NE(out, nullptr) << error;
    in = openUsbTransport("usb:1-1\\PIPE01", &error);
    ASSERT_NE(in, nullptr) << error;
  }
  void TearDown() override {
    in.reset();
    out.reset();
    bed.reset();
    setUsbDeviceIds({});
  }
  // A read that waits without a bound, on its own thread, once the instrument has its IN transfer.
  std::future<std::pair<long, DWORD>> blockedRead(Block& buf) {
    std::size_t before = bed->state(0).inRequests.size();
    auto f = std::async(std::launch::async, [&] {
      DWORD error = 0;
      long n = in->read(buf.data(), buf.size(), INFINITE, &error);
      return std::pair(n, error);
    });
    EXPECT_TRUE(waitUntil([&] { return bed->state(0).inRequests.size() > before || before == 16; }, 5000));
    EXPECT_TRUE(waitUntil([&] { return bed->state(0).in.size() == 1; }, 5000));
    return f;
  }

  std::unique_ptr<EmulatedInstruments> bed;
  std::unique_ptr<Transport> out, in;
};

TEST_F(EmulatedUsbTransport, MovesBytesBothWaysWithinItsBoundsAndStopsOnCancel) {
  DWORD error = 0;
  EXPECT_EQ(openUsbTransport("usb:1-1\\PIPE01", &error), nullptr);
  EXPECT_EQ(error, ERROR_SHARING_VIOLATION) << "one opener per pipe";
  EXPECT_EQ(openUsbTransport("usb:1-1\\PIPE02", &error), nullptr);
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(openTransport("usb:1-1\\PIPE00", true, false, false, &error), nullptr);
  EXPECT_EQ(error, ERROR_INVALID_PARAMETER) << "an OUT pipe opened by name to be read";
  EXPECT_EQ(probeUsbDevice("usb:1-1"), ERROR_SHARING_VIOLATION) << "its pipes are open";
  EXPECT_EQ(usbConfigBlock("usb:1-1", &error), usbBulkPair(64)) << error;

  const std::string text = "both ways";
  Block buf(64);
  EXPECT_EQ(out->write(text.data(), text.size(), 1000, &error), static_cast<long>(text.size())) << error;
  long n = in->read(buf.data(), buf.size(), 1000, &error);
  ASSERT_GT(n, 0) << error;
  EXPECT_EQ(std::string(buf.begin(), buf.begin() + n), text);
  EXPECT_EQ(in->write(text.data(), text.size(), 1000, &error), -1);
  EXPECT_EQ(error, ERROR_INVALID_FUNCTION) << "an IN pipe is not written";
  EXPECT_GE(in->readableDescriptor(), 0);

  // Nothing comes: the bound ends the read, empty and without an error; so does a read that takes what is
  // there.
  EXPECT_EQ(in->read(buf.data(), buf.size(), 30, &error), 0);
  EXPECT_EQ(in->read(buf.data(), buf.size(), 0, &error), 0);
  EXPECT_EQ(bed->state(0).in.size(), 0u) << "the timed-out transfer is not left behind";

  // A cancel ends a read that waits without a bound; one before the read ends the next at once.
  auto blocked = blockedRead(buf);
  in->cancel(false);  // the other direction's cancel leaves it waiting
  in->cancel(true);
  EXPECT_EQ(blocked.get(), std::pair(-1L, DWORD{ERROR_OPERATION_ABORTED}));
  in->cancel(true);
  EXPECT_EQ(in->read(buf.data(), buf.size(), INFINITE, &error), -1);
  EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
  bed->send(0, Block{'o', 'k'});
  EXPECT_EQ(in->read(buf.data(), buf.size(), 1000, &error), 2) << "the cancel is spent";

  // A packet larger than the read: the bytes that fit, then the overflow.
  bed->send(0, Block(64, 'x'));
  EXPECT_EQ(in->read(buf.data(), 10, 1000, &error), 10);
  EXPECT_EQ(in->read(buf.data(), buf.size(), 1000, &error), -1);
  EXPECT_EQ(error, ERROR_MORE_DATA);

  // Closing ends a read that waits; afterwards the pipe is no more.
  auto closing = blockedRead(buf);
  in->close();
  EXPECT_EQ(closing.get().first, -1);
  EXPECT_EQ(in->read(buf.data(), buf.size(), 0, &error), -1);
  EXPECT_EQ(error, ERROR_INVALID_HANDLE);
  in = openUsbTransport("usb:1-1\\PIPE01", &error);
  EXPECT_NE(in, nullptr) << "a closed pipe may be opened again: " << error;
}

TEST_F(EmulatedUsbTransport, AStallIsClearedAndAnUnpluggedInstrumentIsGone) {
  DWORD error = 0;
  int halts = bed->state(0).clearHalts;
  bed->change(0, [](Instrument& d) { d.stallNextOut = true; });
  EXPECT_EQ(out->write("lost", 4, 1000, &error), -1);
  EXPECT_EQ(error, ERROR_WRITE_FAULT);
  EXPECT_GT(bed->state(0).clearHalts, halts);
  EXPECT_EQ(out->write("after", 5, 1000, &error), 5) << error;
  Block buf(64);
  EXPECT_EQ(in->read(buf.data(), buf.size(), 1000, &error), 5) << error;

  // A write nobody takes fails at its bound, and leaves nothing in flight.
  bed->change(0, [](Instrument& d) { d.silent = true; });
  EXPECT_EQ(out->write("nobody", 6, 30, &error), -1);
  EXPECT_EQ(error, ERROR_SEM_TIMEOUT);
  EXPECT_EQ(bed->state(0).out.size(), 0u);
  bed->change(0, [](Instrument& d) { d.silent = false; });

  auto blocked = blockedRead(buf);
  bed->change(0, [](Instrument& d) { d.gone = true; });
  EXPECT_EQ(blocked.get(), std::pair(-1L, DWORD{ERROR_FILE_NOT_FOUND}));
  EXPECT_EQ(out->write("x", 1, 1000, &error), -1);
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  in.reset();
  out.reset();
  EXPECT_EQ(openUsbTransport("usb:1-1\\PIPE01", &error), nullptr);
  EXPECT_NE(error, ERROR_SUCCESS) << "an unplugged instrument does not open";
}

}  // namespace

#else

TEST(EmulatedUsbTransport, NeedsUmockdev) { GTEST_SKIP() << "built without umockdev"; }

#endif
