// The transport of a device whose medium is its own hooks (hook_readFile,
// hook_writeFile): loopback, playback, the TCP client, an application's
// CDevice subclass.
#pragma once

#include "zor/platform/transport.h"

namespace zor {

class CDevice;

// overlapFlags: the directions whose hooks are given an OVERLAPPED (bit 0 RX,
// bit 1 TX). A hook may answer FALSE with ERROR_IO_PENDING there and complete
// later: it stores the Win32 result in Internal and the count in InternalHigh,
// then sets hEvent. Hooks cannot be cancelled: an operation still pending when
// a call's bound passes or cancel() ends its wait stays with the hook; the
// next read delivers what it brings, the next write first waits for it (its
// bytes were given up) before it hands the hook new ones. A device whose hook
// still holds an operation ends it in its close_device, before the channel goes.
std::unique_ptr<Transport> makeHookTransport(CDevice* device, int overlapFlags);

// A hook device whose medium has a descriptor of its own (the TCP client's
// connection) names it here: readable whenever its read hook would deliver,
// so that the idle RX thread waits on it directly and no thread of the device
// stands between the medium and the read. -1 withdraws it. The descriptor must
// stay open while the device's worker threads run.
void setHookReadableDescriptor(CDevice* device, int fd);

}  // namespace zor
