// An outside program: only the umbrella header, only the installed package.
#include <zor/zor.h>

int main() {
  zor::CDevNull dev;
  dev.Loopback(true);
  if (!dev.OpenDevice(0, 1024, 1024)) return 1;
  const unsigned char ping[] = {'p', 'i', 'n', 'g'};
  dev.WriteBuffer(ping, sizeof ping);
  unsigned char buf[8];
  unsigned long got = 0;
  for (int i = 0; i < 200 && got < sizeof ping; ++i) {
    zor::WaitForSingleObject(dev.DataReadyEvent(), 10);
    got += dev.ReadBuffer(buf + got, sizeof buf - got);
  }
  return got == sizeof ping ? 0 : 1;
}
