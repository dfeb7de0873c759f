#include <zor/devnet.h>

#include "zor/remote/namedpipe.h"

#include <string>

namespace zor {

const char* const CDevNet::ZOR_NETPIPE = "ZORPIPE";

struct ZOR_LOCAL CDevNet::Private {
  std::string host;
  SECURITY_ATTRIBUTES sa{0, nullptr, FALSE};
};

CDevNet::CDevNet(const char* host) : p(std::make_unique<Private>()) {
  if (host != nullptr) SetHostName(host);
  constructor();
}

CDevNet::~CDevNet() {
  destroyer();
  CNamedPipe::freeSecurity(&p->sa);
}

void CDevNet::SetHostName(const char* host) { p->host = host != nullptr ? host : ""; }

bool CDevNet::OpenDevice(int flags, int rxBufferSize, int txBufferSize) {
  if (p->host.empty()) return false;
  // A descriptor left from an open with no close in between goes first.
  CNamedPipe::freeSecurity(&p->sa);
  if (!CNamedPipe::initSecurity(&p->sa)) return false;
  const std::string input = CNamedPipe::outPipeName(p->host.c_str(), ZOR_NETPIPE);
  const std::string output = CNamedPipe::inPipeName(p->host.c_str(), ZOR_NETPIPE);
  unsigned long error = 0;
  bool opened = openDevice(input.c_str(), output.c_str(), flags, rxBufferSize, txBufferSize, &error);
  if (!opened && error == ERROR_ACCESS_DENIED) {
    CNamedPipe::freeSecurity(&p->sa);
    if (!CNamedPipe::initNetworkSecurity(&p->sa)) return false;
    opened = openDevice(input.c_str(), output.c_str(), flags, rxBufferSize, txBufferSize, &error);
  }
  if (!opened) SetLastError(static_cast<DWORD>(error));
  return opened;
}

bool CDevNet::close_device() {
  CNamedPipe::freeSecurity(&p->sa);
  return true;
}

SECURITY_ATTRIBUTES* CDevNet::security_attr() { return &p->sa; }

bool CDevNet::on_io_error(unsigned long error, int) {
  return error == ERROR_BROKEN_PIPE || error == ERROR_BAD_PIPE || error == ERROR_NO_DATA ||
         error == ERROR_PIPE_NOT_CONNECTED;
}

}  // namespace zor
