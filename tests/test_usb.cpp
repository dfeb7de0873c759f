// The USB device without an instrument: the configuration walk and dump on
// byte blocks, the error classification, the settings it reads and writes,
// and the instrument list.
#include <zor/host.h>
#include <zor/zor.h>

#include "support/process.h"
#include "support/recorder.h"
#include "support/usb_blocks.h"
#include "zor/devices/usbconfig.h"
#include "zor/platform/platform.h"
#include "zor/platform/usb.h"
#include "zor/platform/usb_transport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

using namespace zor;
using namespace zor_test;

namespace {

std::pair<int, int> sizes(const Block& b, int rx = 64, int tx = 64) {
  usbTransferSizes(b.data(), b.size(), rx, tx);
  return {rx, tx};
}

TEST(UsbConfig, TransferSizesFollowTheLastEndpointOfEachDirection) {
  EXPECT_EQ(sizes(usbBulkPair(64)), std::make_pair(64, 64));
  EXPECT_EQ(sizes(usbBulkPair(512)), std::make_pair(512, 512));
  // With two interfaces the second's endpoints decide.
  Block two = usbConfiguration(2, {usbInterface(0, 2), usbEndpoint(0x02, 64), usbEndpoint(0x81, 64),
                                   usbInterface(1, 2), usbEndpoint(0x83, 1024), usbEndpoint(0x04, 512)});
  EXPECT_EQ(sizes(two), std::make_pair(1024, 512));
  // Only what was returned counts: the second interface is cut off.
  EXPECT_EQ(sizes(Block(two.begin(), two.begin() + 32 + 9 + 5)), std::make_pair(64, 64));
  // A length of 0 stops the walk; so does one past the block.
  Block zero = two;
  zero[32] = 0;
  EXPECT_EQ(sizes(zero), std::make_pair(64, 64));
  Block past = usbBulkPair(512);
  past[18] = 200;
  EXPECT_EQ(sizes(past, 8, 8), std::make_pair(8, 8));
  EXPECT_EQ(sizes(Block{}, 8, 8), std::make_pair(8, 8));
}

TEST(UsbConfig, DumpListsConfigurationInterfaceAndEndpoints) {
  Block b = usbBulkPair(64);
  auto lines = usbConfigLines(true, b.data(), b.size());
  ASSERT_EQ(lines.size(), 1u + 12 + 12 + 2 * 9);
  EXPECT_EQ(lines[0], "DeviceIoControl request completed, success = 1 nBytes = 32");
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.begin() + 13),
            (std::vector<std::string>{
                "===================", "", "USB_CONFIGURATION_DESCRIPTOR", "bLength = 0x9, decimal 9",
                "bDescriptorType = 0x2 (USB_CONFIGURATION_DESCRIPTOR_TYPE)",
                "wTotalLength = 0x20, decimal 32", "bNumInterfaces = 0x1, decimal 1",
                "bConfigurationValue = 0x1, decimal 1", "iConfiguration = 0x0, decimal 0",
                "bmAttributes = 0x80 (USB_CONFIG_BUS_POWERED)", "MaxPower = 0x32, decimal 50", ""}));
  EXPECT_EQ(lines[15], "USB_INTERFACE_DESCRIPTOR #0");
  EXPECT_EQ(lines[17], "bDescriptorType = 0x4 (USB_INTERFACE_DESCRIPTOR_TYPE)");
  EXPECT_EQ(lines[20], "bNumEndpoints = 0x2");
  EXPECT_EQ(lines[24], "bInterface = 0x0");
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 25, lines.begin() + 34),
            (std::vector<std::string>{"===================", "", "USB_ENDPOINT_DESCRIPTOR for Pipe00",
                                      "bLength = 0x7", "bDescriptorType = 0x5 (USB_ENDPOINT_DESCRIPTOR_TYPE)",
                                      "bEndpointAddress= 0x2 (OUTPUT)",
                                      "bmAttributes= 0x2 (USB_ENDPOINT_TYPE_BULK)",
                                      "wMaxPacketSize= 0x40, decimal 64", "bInterval = 0x0, decimal 0"}));
  EXPECT_EQ(lines[36], "USB_ENDPOINT_DESCRIPTOR for Pipe01");
  EXPECT_EQ(lines[39], "bEndpointAddress= 0x81 (INPUT)");

  Block self = usbBulkPair(64, 0xC0);
  self[1] = 9;
  lines = usbConfigLines(true, self.data(), self.size());
  EXPECT_EQ(lines[5], "bDescriptorType = 0x9 (??? UNKNOWN!!)");
  EXPECT_EQ(lines[10], "bmAttributes = 0xc0 (??? UNKNOWN!!)");

  EXPECT_EQ(usbConfigLines(false, nullptr, 0),
            (std::vector<std::string>{"DeviceIoControl request completed, success = 0 nBytes = 0",
                                      "DeviceIoControl() error, cannot continue."}));
}

// Every prefix and every corrupted length of a block, each in a heap block of
// exactly its size: the address sanitizer catches any read past it.
TEST(UsbConfig, TruncatedOrMalformedBlocksAreNeverReadPastTheirEnd) {
  Block whole = usbConfiguration(2, {usbInterface(0, 2), usbEndpoint(0x02, 64), usbEndpoint(0x81, 64),
                                     usbInterface(1, 1), usbEndpoint(0x83, 512)});
  auto check = [](const Block& b) {
    std::unique_ptr<unsigned char[]> exact(new unsigned char[b.size()]);
    std::copy(b.begin(), b.end(), exact.get());
    auto lines = usbConfigLines(true, exact.get(), b.size());
    int rx = 1, tx = 1;
    usbTransferSizes(exact.get(), b.size(), rx, tx);
    return lines;
  };
  for (std::size_t n = 0; n < whole.size(); ++n) {
    auto lines = check(Block(whole.begin(), whole.begin() + n));
    EXPECT_NE(lines.back().find("truncated or malformed"), std::string::npos) << n;
  }
  EXPECT_EQ(check(whole).size(), 1u + 12 + 2 * 12 + 3 * 9);
  for (std::size_t at : {0, 9, 18, 25, 32, 41}) {
    for (unsigned char length : {0, 1, 6, 255}) {
      Block bad = whole;
      bad[at] = length;
      check(bad);
    }
  }
  Block many = whole;
  many[9 + 4] = 200;  // more endpoints than the block holds
  check(many);
}

class UsbProbe : public CDevUSB {
public:
  using CDevUSB::GetIOSize;
  using CDevUSB::on_io_error;
};

TEST(UsbDevice, OnlyAGoneDeviceOrAClosedPipeIsFatal) {
  TestEnv env;
  UsbProbe dev;
  for (int k : {0, 1}) {
    EXPECT_TRUE(dev.on_io_error(ERROR_FILE_NOT_FOUND, k));
    EXPECT_TRUE(dev.on_io_error(ERROR_INVALID_HANDLE, k));
    for (unsigned long e : {0ul, 1ul, 5ul, 29ul, 30ul, 31ul, 121ul, 995ul, 1167ul})
      EXPECT_FALSE(dev.on_io_error(e, k)) << e;
  }
  EXPECT_EQ(dev.GetIOSize(0), 64);
  EXPECT_EQ(dev.GetIOSize(1), 64);
}

TEST(UsbDevice, WithNothingStoredDefaultsAreWrittenAndAnEmptyListSaysWhereToListInstruments) {
  TestEnv env;
  {
    CDevUSB dev;
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(dev.OpenDevice(0, 8192, 8192));
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find("\"USB Devices\""), std::string::npos) << err;
    EXPECT_FALSE(dev.IsDeviceOpen());
  }
  std::string text = zortest::readText(settingsFilePath());
  EXPECT_NE(text.find("Input pipe=1\n"), std::string::npos) << text;
  // The host's entry 1 is this device.
  zortest::writeText(settingsFilePath(), text + "runZor NumDev=1\n");
  ::testing::internal::CaptureStderr();
  std::unique_ptr<CDevice> chosen(openSelectedDevice(CRunZorSettings(false)));
  EXPECT_EQ(chosen, nullptr);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("\"USB Devices\""), std::string::npos);
  EXPECT_NE(text.find("Output pipe=0\n"), std::string::npos) << text;
  EXPECT_NE(text.find("USB Devices=\n"), std::string::npos) << text;
}

TEST(UsbPlatform, InstrumentListAndNames) {
  std::string bad;
  auto ids = parseUsbIdList(" 04d8:000A,1234:5678 , x:1, 04d8:000a, 12345:1,,", &bad);
  EXPECT_EQ(ids, (std::vector<UsbId>{{0x04d8, 0x000a}, {0x1234, 0x5678}}));
  EXPECT_EQ(bad, "x:1, 12345:1");
  // A runaway value is cut for the message that quotes it.
  std::string huge = std::string(100000, 'z') + ",04d8:000a";
  for (int i = 0; i < 1000; ++i) huge += ",bad" + std::to_string(i);
  EXPECT_EQ(parseUsbIdList(huge, &bad).size(), 1u);
  EXPECT_LT(bad.size(), 240u) << bad.substr(0, 300);
  EXPECT_THAT(bad, ::testing::StartsWith("zzzzzzzzzzzzzzzzzzzzz..., bad0, bad1"));
  EXPECT_THAT(bad, ::testing::EndsWith(" more"));
  EXPECT_TRUE(isUsbName("usb:1-2.3\\PIPE01"));
  EXPECT_FALSE(isUsbName("COM1"));
  // A pipe of a device that is not listed, a device without a pipe, or a malformed name, is no pipe.
  setUsbDeviceIds({});
  for (const char* name : {"usb:1-1", "usb:1-1\\PIPE00", "usb:1-1\\PIPE-1", "usb:1-1\\nothing"}) {
    DWORD error = 0;
    EXPECT_EQ(openUsbTransport(name, &error), nullptr);
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND) << name;
  }
}

}  // namespace
