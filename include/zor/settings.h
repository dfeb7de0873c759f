// The library's settings store, for a program that keeps its own choices in
// the same file as the library's settings ("zor" keeps its connection there).
#pragma once

#include <zor/export.h>
#include <zor/platform.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zor {

// Settings store: an INI file (see settingsFilePath()). Construct, UseSystemFile,
// ForceWriteDefaults, read and write, destroy. Every read sees the file as it
// is on disk now; every write replaces the file atomically under an advisory
// lock, so concurrent writers in any process lose no key.
class ZOR_API CIni {
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

// The settings file: $ZOR_CONFIG, else $XDG_CONFIG_HOME/zor/zor.ini, else
// ~/.config/zor/zor.ini.
ZOR_API std::string settingsFilePath();

}  // namespace zor
