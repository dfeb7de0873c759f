// CDevTcpPipe: the channel of a CDevTcp; hands what the server sends to the device.
#pragma once

#include "zor/remote/tcppipe.h"

namespace zor {

class CDevTcp;

class CDevTcpPipe : public CTcpPipe {
public:
  explicit CDevTcpPipe(unsigned long ioSize) : CTcpPipe(ioSize) {}
  ~CDevTcpPipe() override { shutdown(); }
  void setOwner(CDevTcp* owner) { m_owner = owner; }
  void onRead(const void* data, unsigned long size) override;

private:
  CDevTcp* m_owner = nullptr;
};

}  // namespace zor
