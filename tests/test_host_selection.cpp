// The host's stored connection choice and the device it opens.
#include <gtest/gtest.h>

#include <zor/zor.h>

#include "support/process.h"

#include <zor/host.h>
#include "zor/support/support.h"

#include <cstdlib>
#include <memory>

using namespace zor;

namespace {

class HostSelection : public ::testing::Test {
protected:
  void store(unsigned key, int value) {
    CIni ini;
    ini.UseSystemFile();
    ASSERT_TRUE(ini.WriteProfileInt(IDS_SECTION, key, value));
  }
  void store(unsigned key, const char* value) {
    CIni ini;
    ini.UseSystemFile();
    ASSERT_TRUE(ini.WriteProfileStringA(IDS_SECTION, key, value));
  }
  zortest::ScopedSettingsFile m_cfg;
};

}  // namespace

TEST_F(HostSelection, NothingStoredGivesTheDialogsDefaults) {
  CRunZorSettings s(false);
  EXPECT_EQ(s.GetPortIndex(), 0);
  EXPECT_STREQ(s.GetAddress(), "");
  EXPECT_EQ(s.GetOverlappedRx(), 1);
  EXPECT_EQ(s.GetOverlappedTx(), 0);
  EXPECT_EQ(s.GetXonXoff(), 1);
  EXPECT_EQ(s.GetHwHandshake(), 1);
  EXPECT_EQ(s.GetLoopback(), 0);
  EXPECT_EQ(s.GetBaudRate(), 9600u);
  EXPECT_EQ(s.GetParity(), 'N');
  EXPECT_EQ(s.GetDataBits(), 8);
  EXPECT_EQ(s.GetStopBits(), 0);
}

TEST_F(HostSelection, StoredValuesAreReadAndTranslatedAndOutOfRangeOnesDefault) {
  store(IDS_RUNZOR_NUMDEV, 4);
  store(IDS_RUNZOR_ADDRESS, "/tmp/trace.txt");
  store(IDS_RUNZOR_BDRATE, 14);
  store(IDS_RUNZOR_PARITY, 3);
  store(IDS_RUNZOR_DATABIT, 2);
  store(IDS_RUNZOR_STOPBIT, 1);
  store(IDS_RUNZOR_OVRLP_TX, 1);
  CRunZorSettings s(false);
  EXPECT_EQ(s.GetPortIndex(), 4);
  EXPECT_STREQ(s.GetAddress(), "/tmp/trace.txt");
  EXPECT_EQ(s.GetBaudRate(), 256000u);
  EXPECT_EQ(s.GetParity(), 'M');
  EXPECT_EQ(s.GetDataBits(), 7);
  EXPECT_EQ(s.GetStopBits(), 1);
  EXPECT_EQ(s.GetOverlappedTx(), 1);

  // Out-of-range list indexes read as the default entry.
  store(IDS_RUNZOR_BDRATE, 99);
  store(IDS_RUNZOR_PARITY, -3);
  store(IDS_RUNZOR_STOPBIT, 7);
  CRunZorSettings bad(false);
  EXPECT_EQ(bad.GetBaudRate(), 9600u);
  EXPECT_EQ(bad.GetParity(), 'N');
  EXPECT_EQ(bad.GetStopBits(), 0);
}

TEST_F(HostSelection, AServerNeverServesANetworkClientDevice) {
  for (int index : {2, 3}) {
    store(IDS_RUNZOR_NUMDEV, index);
    EXPECT_EQ(CRunZorSettings(true).GetPortIndex(), 0) << index;
    EXPECT_EQ(CRunZorSettings(false).GetPortIndex(), index) << index;
  }
}

TEST_F(HostSelection, NullEntryOpensALoopbackDeviceAsStored) {
  store(IDS_RUNZOR_NUMDEV, 0);
  store(IDS_RUNZOR_LOOPBACK, 1);
  std::unique_ptr<CDevice> dev(openSelectedDevice(CRunZorSettings(true)));
  ASSERT_NE(dev, nullptr);
  EXPECT_EQ(dev->Type(), ZOR_NULL);
  EXPECT_TRUE(dev->IsDeviceOpen());
  dev->CloseDevice();
}

TEST_F(HostSelection, EntriesThatNeedAnAddressOpenNothingWithoutOne) {
  for (int index : {2, 3, 4}) {
    store(IDS_RUNZOR_NUMDEV, index);
    EXPECT_EQ(openSelectedDevice(CRunZorSettings(false)), nullptr) << index;
  }
}

TEST_F(HostSelection, NoSelectionOrAMissingPortOpensNothing) {
  store(IDS_RUNZOR_NUMDEV, -1);
  EXPECT_EQ(openSelectedDevice(CRunZorSettings(false)), nullptr);
  store(IDS_RUNZOR_NUMDEV, 5 + 200);
  EXPECT_EQ(openSelectedDevice(CRunZorSettings(false)), nullptr);
  char name[32];
  EXPECT_STREQ(selectedDeviceName(CRunZorSettings(false), name, sizeof name), "entry 205");
}
