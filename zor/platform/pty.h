// A pseudo-terminal whose slave programs open as a serial port, and the link
// by which they find it.
//
// The master runs in packet mode and the slave's local modes carry EXTPROC:
// the kernel then reports each change of the slave's termios to the master
// (TIOCPKT_IOCTL), so line settings are noticed without a timer. A client that
// takes EXTPROC away is still seen: its settings are looked at again whenever
// its bytes arrive, before they go on.
//
// The master holds a slave descriptor of its own, never read: a client that
// closes the port then causes no hang-up (which would make the master report
// EIO and poll ready for ever), and the next client is served as the first.
#pragma once

#include "zor/platform/platform.h"

#include <cstddef>
#include <memory>
#include <string>

namespace zor {

// The settings a client gave the slave, as far as a pseudo-terminal keeps
// them: the kernel forces 8 data bits and clears the parity enable on a pty,
// so only odd, mark and space parity can be told apart (by PARODD and
// CMSPAR); none and even both read as parity 0.
struct PtyLine {
  unsigned long baud = 0;
  char parity = 0;  // 'O', 'M', 'S', or 0 for none or even
  bool twoStopBits = false;
  bool rtsCts = false;
  bool operator==(const PtyLine&) const = default;
};

class PseudoTerminal {
public:
  // A raw 8-bit slave (no echo, no line discipline). Null with *problem
  // (the system's words) when the system has none to give.
  static std::unique_ptr<PseudoTerminal> open(std::string* problem);
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  const std::string& slavePath() const { return m_slavePath; }
  // Readable when a client's bytes or a report of changed settings wait.
  int readableDescriptor() const { return m_master; }

  // The client's bytes, at most size: the count, 0 when none wait, -1 with
  // *error. *lineChanged is set when the client changed its settings.
  long read(unsigned char* buffer, std::size_t size, bool* lineChanged, DWORD* error);
  // Bytes for the client: the count taken, 0 when the pty's buffer is full
  // (the client reads slowly), -1 with *error.
  long write(const unsigned char* data, std::size_t size, DWORD* error);
  // Sets event once the pty's buffer has room again; asked again each time.
  bool signalWhenWritable(HANDLE event);

  bool lineSettings(PtyLine& out) const;
  // Shows the client the served line's settings before it opens the port.
  bool setLineSettings(const PtyLine& line);

private:
  PseudoTerminal() = default;
  int m_master = -1;
  int m_slave = -1;
  std::string m_slavePath;
  struct Writable;
  std::unique_ptr<Writable> m_writable;
};

// A symbolic link to a pty, claimed for one bridge: the lock "<link>.lock"
// beside it keeps a second bridge off the link while the first runs, and a
// link left by a bridge that died is taken over.
class PtyLink {
public:
  PtyLink() = default;
  ~PtyLink() { release(); }
  PtyLink(const PtyLink&) = delete;
  PtyLink& operator=(const PtyLink&) = delete;

  // False with *problem ("is no symbolic link", "is in use by another
  // bridge", a system error's text) and nothing changed on disk.
  bool claim(const std::string& link, const std::string& target, std::string* problem);
  // Removes the link when it still points where this one made it, and the lock.
  void release();

private:
  std::string m_link, m_target;
  int m_lockFd = -1;
};

}  // namespace zor
