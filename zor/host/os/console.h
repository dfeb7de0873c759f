// The program's own standard streams and terminal, for "zor run --console".
#pragma once

#include <atomic>
#include <cstddef>

namespace zor {

// True when standard input is a terminal.
bool standardInputIsTerminal();
// Whether standard error is a terminal (the console the program was started from).
bool standardErrorIsTerminal();

// Standard input, left as the shell gave it. Its readiness cannot be waited
// for when it is a regular file or a device such as /dev/null: then
// alwaysReady() is true and reads never wait anyway.
class StandardInput {
public:
  StandardInput();
  // The descriptor WaitForMultipleObjectsOrReadable waits on.
  int fd() const { return 0; }
  bool alwaysReady() const { return m_alwaysReady; }
  void setAlwaysReady() { m_alwaysReady = true; }
  // Reads what is there: the count, 0 at the end of the input, -1 when
  // nothing is there now (or on an error other than the end: then *failed).
  long readNow(void* buffer, std::size_t size, bool* failed);

private:
  bool m_alwaysReady = false;
};

// Standard output for a writer that must stay stoppable while nobody reads
// it. A broken pipe raises no signal.
class StandardOutput {
public:
  StandardOutput();
  ~StandardOutput();
  StandardOutput(const StandardOutput&) = delete;
  StandardOutput& operator=(const StandardOutput&) = delete;
  // Writes all of data, waiting while standard output takes nothing; false
  // when it failed (error() is the errno: EPIPE, ENOSPC ...) or stop() ended
  // the wait (error() stays 0).
  bool write(const void* data, std::size_t size);
  // From any thread: ends a waiting write, now and for good.
  void stop();
  int error() const { return m_error; }

private:
  // False once stopped; waits at most ms for room otherwise.
  bool waitForRoom(int ms);
  std::atomic<bool> m_stopped{false};
  int m_wake[2] = {-1, -1};  // stop() writes to [1]: a wait for room watches [0] too
  int m_error = 0;
};

// The text of an errno value, for one line on standard error.
const char* errorText(int error);

// The terminal of standard input in raw mode for as long as the object lives:
// each byte as it is typed, no echo, Ctrl-C, Ctrl-D and Ctrl-Z as bytes (no
// signals); output processing is kept. restore() (also at destruction) puts
// the terminal back as it was.
class RawTerminal {
public:
  RawTerminal();
  ~RawTerminal() { restore(); }
  RawTerminal(const RawTerminal&) = delete;
  RawTerminal& operator=(const RawTerminal&) = delete;
  bool active() const { return m_active; }
  void restore();

private:
  bool m_active = false;
  unsigned char m_saved[128];  // the struct termios of before
};

}  // namespace zor
