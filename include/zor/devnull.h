// CDevNull: the device that reaches no instrument. With loopback on, every byte
// written comes back as received data; Stuff injects bytes as if received.
#pragma once

#include <zor/export.h>

#include <zor/device.h>

namespace zor {

class ZOR_API CDevNull : public CDevice {
public:
  CDevNull();
  ~CDevNull() override;

  zorType Type() const override { return ZOR_NULL; }
  bool OpenDevice(int overlapFlags, int rxSize, int txSize);
  void Loopback(bool on);
  // Queues count bytes for reception; false when the queue lock was not had in 2000 ms.
  bool Stuff(const unsigned char* data, int count);

protected:
  bool close_device() override { return true; }
  int GetIOSize(int) const override { return 1024; }
  int hook_readFile(void* handle, void* buffer, unsigned long size, unsigned long* done,
                    OVERLAPPED* ovl) override;
  int hook_writeFile(void* handle, const void* buffer, unsigned long size, unsigned long* done,
                     OVERLAPPED* ovl) override;

private:
  struct Private;
  std::unique_ptr<Private> p;
};

}  // namespace zor
