// Support services shared by the whole library: settings store, memory,
// critical reports and version strings.
#pragma once

#include <zor/platform.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zor {

// Settings store: an INI file (see settingsFilePath()). Construct, UseSystemFile,
// ForceWriteDefaults, read and write, destroy. Every read sees the file as it
// is on disk now; every write replaces the file atomically under an advisory
// lock, so concurrent writers in any process lose no key.
class CIni {
public:
  CIni();
  ~CIni();
  void UseSystemFile();
  void ForceWriteDefaults();
  int GetProfileIntA(UINT section, UINT key, int def);
  long GetProfileLong(UINT section, UINT key, long def);
  std::string GetProfileStringA(UINT section, UINT key, const char* def);
  bool WriteProfileInt(UINT section, UINT key, int value);
  bool WriteProfileStringA(UINT section, UINT key, const char* value);

  // The same by section and key text. A value is one line: text with a line
  // break is refused. Missing (or unreadable) values give std::nullopt.
  std::optional<std::string> ReadString(const std::string& section, const std::string& key) const;
  bool WriteString(const std::string& section, const std::string& key, const std::string& value);
  // Several keys of one section in one replacement of the file: a reader or
  // another writer sees all of them or none of them. Nothing is written when
  // one entry is refused.
  bool WriteStrings(const std::string& section,
                    const std::vector<std::pair<std::string, std::string>>& entries);

  // From now on nothing in this process writes the settings file (each write
  // reports failure): a run whose options are for that run only.
  static void KeepFileUnchanged();

  const std::string& path() const { return m_path; }

private:
  std::string m_path;
};

class CZORApp;

// Sets app's library-wide settings from the text of a settings file (path
// names it in messages), each to its default when absent. Each value that is
// no number or outside its range gives its default and one line to warn, as
// does the text once when it holds lines that are not INI.
void applySettingsText(std::string_view text, const std::string& path, CZORApp& app,
                       const std::function<void(const std::string&)>& warn);

void* _utlMemAlloc(unsigned long flags, unsigned long size);
bool _utlMemFree(unsigned long flags, void* block);

// One line to standard error with expression, file, line and build stamp; returns.
void criticalAssert(const char* expression, const char* file, int line, const char* date, const char* time);
void criticalMemoryError(const char* expression, const char* file, int line, const char* date,
                         const char* time);

#define ZOR_ASSERT_REPORT(expr, file, line) ::zor::criticalAssert(expr, file, line, __DATE__, __TIME__)
#define ZOR_MEMORY_REPORT(expr, file, line) ::zor::criticalMemoryError(expr, file, line, __DATE__, __TIME__)

using HINSTANCE = void*;

class CUtlFileVer {
public:
  enum StringCode { FileDescription = 1, FileVersion = 3, ProductName = 4, LegalCopyright = 5 };
  explicit CUtlFileVer(HINSTANCE module);
  const char* GetString(StringCode code, std::string& out);
};

}  // namespace zor
