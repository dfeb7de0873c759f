// The far end of a serial line for tests: a pseudo-terminal pair whose slave
// the library opens as a port and whose master the test drives as the instrument.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace zortest {

// What the line is programmed to, as the kernel holds it (read on the master).
// A pseudo-terminal keeps 8 data bits and no parity whatever is asked.
struct LineSettings {
  unsigned long rate = 0;
  bool twoStopBits = false;
  bool rtsCts = false;
  bool oddParity = false;     // PARODD, which a pseudo-terminal keeps
  bool softwareFlow = false;  // the driver's own XON/XOFF (IXON or IXOFF)
  bool raw = false;           // no canonical input, no echo, no output processing
};

class PtyPair {
public:
  PtyPair();
  ~PtyPair() { hangUp(); }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return m_master >= 0; }
  // Path of the slave, the end the library opens.
  const std::string& path() const { return m_path; }

  // Bytes from the instrument to the library.
  bool send(const std::string& bytes);
  // Bytes from the library, until count have come or ms have passed.
  std::string receive(std::size_t count, int ms);
  bool settings(LineSettings& out) const;
  // The instrument goes away: the master closes and the slave is hung up.
  void hangUp();

private:
  int m_master = -1;
  int m_slave = -1;  // held so that the line survives the library's close and reopen
  std::string m_path;
};

// A port number of this test process's own: each test runs in its own
// process, so parallel runs keep apart.
int portNumber();
inline std::string asString(const std::vector<unsigned char>& v) { return {v.begin(), v.end()}; }

// Points the link ports/COM<n> beside the settings file at target (replacing it).
bool linkComPort(int n, const std::string& target);
void unlinkComPort(int n);

// Holds a port as another program would: its own open and exclusive lock.
class PortHolder {
public:
  explicit PortHolder(const std::string& path);
  ~PortHolder();
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;
  bool locked() const { return m_locked; }

private:
  int m_fd = -1;
  bool m_locked = false;
};

// CPU time (user + system) this process has used, in milliseconds.
long processCpuMs();

}  // namespace zortest
