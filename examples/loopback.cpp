// Opens a loopback device, logs every record it reports, writes a few bytes
// and reads them back: the whole byte path without any hardware.
#include <zor/zor.h>

#include <cstdio>
#include <cstring>

namespace {

void printRecord(long, int kind, const void* data, unsigned long size) {
  static const char* const tags[] = {"<<TX", ">>RX", "+Evn", "^Snd", "#Rcv", "PbEr"};
  const char* tag = kind >= 0 && kind < 6 ? tags[kind] : "????";
  if (kind == zor::LOG_EVENT) {
    const char* text = zor::zorString(static_cast<unsigned>(size));
    std::printf("%s %s\n", tag, text != nullptr ? text : "?");
    return;
  }
  std::printf("%s %3lu ", tag, size);
  auto* bytes = static_cast<const unsigned char*>(data);
  for (unsigned long i = 0; i < size; ++i) std::printf("%.2x ", bytes[i]);
  std::printf("\n");
}

}  // namespace

int main() {
  zor::CDevNull device;
  device.InstallLogger(&printRecord, 0);
  device.Loopback(true);
  if (!device.OpenDevice(0, 8192, 8192)) {
    std::fprintf(stderr, "loopback: the device did not open\n");
    return 1;
  }

  const char* message = "hello, instrument";
  auto length = static_cast<unsigned long>(std::strlen(message));
  if (!device.WriteBuffer(reinterpret_cast<const unsigned char*>(message), length)) {
    std::fprintf(stderr, "loopback: the write did not fit in time\n");
    return 1;
  }

  // Wait for the answer on the data-ready event, a bounded number of times.
  char answer[64] = {};
  unsigned long got = 0;
  for (int i = 0; i < 100 && got < length; ++i) {
    if (zor::WaitForSingleObject(device.DataReadyEvent(), 50) != zor::WAIT_OBJECT_0) continue;
    got += device.ReadBuffer(reinterpret_cast<unsigned char*>(answer) + got, sizeof answer - 1 - got);
  }
  device.CloseDevice();

  std::printf("read back: \"%s\"\n", answer);
  return got == length && std::strcmp(answer, message) == 0 ? 0 : 1;
}
