// Running helper processes from tests, and their scratch files.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zortest {

struct ProcessResult {
  int exitCode = -1;  // -1 when the process did not exit normally (killed, timed out)
  std::string out;
  std::string err;
};

// Runs program with args (argv[0] is program) and the environment plus extra
// variables; kills it after timeoutMs.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::pair<std::string, std::string>>& extraEnv = {},
                         int timeoutMs = 20000);

std::string selfExecutable();

// A fresh, empty folder for one test, beside the test program's settings file.
std::string scratchFolder(const std::string& name);

// Points ZOR_CONFIG at a settings file in a fresh scratch folder named after
// the running test, for the object's life; then the old value and no folder.
class ScopedSettingsFile {
public:
  ScopedSettingsFile();
  ~ScopedSettingsFile();
  ScopedSettingsFile(const ScopedSettingsFile&) = delete;
  ScopedSettingsFile& operator=(const ScopedSettingsFile&) = delete;

private:
  std::string m_old;

public:
  const std::string folder, file;
};

// Whole file as text; empty when it cannot be read.
std::string readText(const std::string& path);
void writeText(const std::string& path, const std::string& text);

// s as one word of /bin/sh, whatever it holds.
std::string shellQuote(const std::string& s);
// The lines of a program's output: its newlines.
int lineCount(const std::string& s);

}  // namespace zortest
