#include <zor/host.h>

#include <zor/app.h>
#include <zor/devnet.h>
#include <zor/devnull.h>
#include <zor/devplayback.h>
#include <zor/devrs232.h>
#include <zor/devtcp.h>
#include <zor/devusb.h>

#include <cstdio>
#include <memory>
#include <new>

namespace zor {

CDevice* openSelectedDevice(const CRunZorSettings& s) {
  const int flags = (s.GetOverlappedRx() ? 1 : 0) + (s.GetOverlappedTx() ? 2 : 0);
  const bool haveAddress = s.GetAddress()[0] != '\0';
  const int index = s.GetPortIndex();
  std::unique_ptr<CDevice> device;
  bool opened = false;
  switch (index) {
    case 0: {
      auto* dev = new (std::nothrow) CDevNull();
      device.reset(dev);
      if (dev == nullptr) break;
      dev->Loopback(s.GetLoopback() != 0);
      opened = dev->OpenDevice(flags, 8192, 8192);
      break;
    }
    case 1: {
      auto* dev = new (std::nothrow) CDevUSB();
      device.reset(dev);
      if (dev == nullptr) break;
      dev->EnableXonHandshake(s.GetXonXoff() != 0, 0xA1, 0xA0);
      opened = dev->OpenDevice(flags, 8192, 8192);
      break;
    }
    case 2: {
      if (!haveAddress) break;
      auto* dev = new (std::nothrow) CDevNet(s.GetAddress());
      device.reset(dev);
      if (dev == nullptr) break;
      dev->EnableXonHandshake(false, 0xA1, 0xA0);
      opened = dev->OpenDevice(flags, 8192, 8192);
      break;
    }
    case 3: {
      if (!haveAddress) break;
      auto* dev = new (std::nothrow) CDevTcp(s.GetAddress());
      device.reset(dev);
      if (dev == nullptr) break;
      dev->EnableXonHandshake(false, 0xA1, 0xA0);
      opened = dev->OpenDevice(flags, 8192, 8192);
      break;
    }
    case 4: {
      if (!haveAddress) break;
      auto* dev = new (std::nothrow) CDevPlayback(s.GetAddress());
      device.reset(dev);
      if (dev == nullptr) break;
      dev->EnableXonHandshake(false, 0xA1, 0xA0);
      opened = dev->OpenDevice(flags, 8192, 8192);
      break;
    }
    default: {
      if (index < 5) break;
      int port = zorGetComPortNumber(index - 5);
      if (port == 0) break;
      auto* dev = new (std::nothrow) CDevRS232();
      device.reset(dev);
      if (dev == nullptr) break;
      dev->EnableXonHandshake(s.GetXonXoff() != 0, 0xA1, 0xA0);
      dev->DeviceProgram(s.GetHwHandshake() != 0, s.GetBaudRate(), static_cast<unsigned char>(s.GetParity()),
                         static_cast<unsigned char>(s.GetDataBits()),
                         static_cast<unsigned char>(s.GetStopBits()));
      opened = dev->OpenDevice(port, flags, 8192, 8192);
      break;
    }
  }
  return opened ? device.release() : nullptr;
}

const char* selectedDeviceName(const CRunZorSettings& s, char* buffer, int size) {
  static const char* const kNames[] = {"NULL", "USB", "NET", "TCP", "Playback"};
  int index = s.GetPortIndex();
  if (index >= 0 && index < 5)
    std::snprintf(buffer, static_cast<std::size_t>(size), "%s", kNames[index]);
  else if (index >= 5 && zorGetComPortNumber(index - 5) != 0)
    std::snprintf(buffer, static_cast<std::size_t>(size), "COM %i", zorGetComPortNumber(index - 5));
  else
    std::snprintf(buffer, static_cast<std::size_t>(size), "entry %i", index);
  return buffer;
}

}  // namespace zor
