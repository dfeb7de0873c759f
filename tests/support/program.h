// The zor program under test (built with ZOR_APP_PATH): fixtures that run it
// with a settings file of the test's own and no display.
#pragma once

#ifdef ZOR_APP_PATH

#include <gtest/gtest.h>

#include "support/process.h"
#include "support/serial_line.h"

#include <string>
#include <utility>
#include <vector>

namespace zortest {

inline const std::string kZor = ZOR_APP_PATH;

class Program : public ::testing::Test {
protected:
  ProcessResult zor(const std::vector<std::string>& args, int timeoutMs = 20000) {
    return runProcess(kZor, args, {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}},
                      timeoutMs);
  }
  // The program with standard input from stdinFile, standard output to outFile.
  ProcessResult zorPiped(const std::vector<std::string>& args, const std::string& stdinFile,
                         const std::string& outFile, int timeoutMs = 30000) {
    std::string cmd = "exec " + shellQuote(kZor);
    for (const auto& a : args) cmd += " " + shellQuote(a);
    cmd += " <" + shellQuote(stdinFile) + " >" + shellQuote(outFile);
    return runProcess("/bin/sh", {"-c", cmd}, {}, timeoutMs);
  }
  void settings(const std::string& lines) { writeText(m_cfg.file, "[ZOR.DLL]\n" + lines); }
  std::string file(const std::string& name) const { return m_cfg.folder + "/" + name; }

  ScopedSettingsFile m_cfg;
};

// A pty as serial port COM7, with the port probed at start.
class WithPort : public Program {
protected:
  void SetUp() override {
    ASSERT_TRUE(m_pty.ok());
    settings("Max COM Port number=8\nThread granularity=0\n");
    ASSERT_TRUE(linkComPort(7, m_pty.path()));
  }
  PtyPair m_pty;
};

}  // namespace zortest

#endif  // ZOR_APP_PATH
