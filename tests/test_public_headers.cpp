// The public headers compile after C headers that define TRUE, FALSE and
// ERROR as macros, and beside Qt's and libusb's headers, and leave those
// macros as the application had them.
#define TRUE 1
#define FALSE 0
#define ERROR (-1)

#include <libusb.h>

#include <zor/zor.h>

#include <QtCore/QObject>
#include <QtWidgets/QWidget>

#include <gtest/gtest.h>

TEST(PublicHeaders, ServeAnApplicationThatHasTheMacrosQtAndLibusb) {
  EXPECT_EQ(TRUE, 1);
  EXPECT_EQ(ERROR, -1);
  zor::CDevNull device;
  ASSERT_TRUE(device.OpenDevice(0, 256, 256));
  device.Loopback(true);
  const unsigned char hello[] = {'h', 'i'};
  ASSERT_TRUE(device.WriteBuffer(hello, sizeof hello));
  unsigned char back[2] = {};
  unsigned long got = 0;
  for (int i = 0; i < 20 && got < 2; ++i) {
    zor::WaitForSingleObject(device.DataReadyEvent(), 100);
    got += device.ReadBuffer(back + got, 2 - got);
  }
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(back[1], 'i');
  device.CloseDevice();
  EXPECT_EQ(LIBUSB_SUCCESS, 0);
  EXPECT_STREQ(QWidget::staticMetaObject.className(), "QWidget");
}
