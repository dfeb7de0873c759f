#include <zor/devnet.h>

#include "zor/remote/namedpipe.h"

#include <string>

namespace zor {

const char* const CDevNet::ZOR_NETPIPE = "ZORPIPE";

struct ZOR_LOCAL CDevNet::Private {
  std::string host;
};

CDevNet::CDevNet(const char* host) : p(std::make_unique<Private>()) {
  if (host != nullptr) SetHostName(host);
  constructor();
}

CDevNet::~CDevNet() { destroyer(); }

void CDevNet::SetHostName(const char* host) { p->host = host != nullptr ? host : ""; }

bool CDevNet::OpenDevice(int flags, int rxBufferSize, int txBufferSize) {
  if (p->host.empty()) return false;
  const std::string input = CNamedPipe::outPipeName(p->host.c_str(), ZOR_NETPIPE);
  const std::string output = CNamedPipe::inPipeName(p->host.c_str(), ZOR_NETPIPE);
  unsigned long error = 0;
  bool opened = openDevice(input.c_str(), output.c_str(), flags, rxBufferSize, txBufferSize, &error);
  if (!opened) SetLastError(static_cast<DWORD>(error));
  return opened;
}

bool CDevNet::close_device() { return true; }

// Who may connect is decided by the pipe folder's and the sockets' modes.
SECURITY_ATTRIBUTES* CDevNet::security_attr() { return nullptr; }

bool CDevNet::on_io_error(unsigned long error, int) {
  return error == ERROR_BROKEN_PIPE || error == ERROR_BAD_PIPE || error == ERROR_NO_DATA ||
         error == ERROR_PIPE_NOT_CONNECTED;
}

}  // namespace zor
