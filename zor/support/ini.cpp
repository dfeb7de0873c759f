// CIni: the settings store, one INI file shared by every process of the user.
//
// Every read parses the file as it is on disk now, and every write changes one
// key of the current file, so what any instance writes is what any later read
// sees. Lines the parser does not understand are kept verbatim on rewrite.
#include "zor/platform/platform.h"
#include "zor/support/ini_text.h"
#include "zor/support/support.h"

#include <zor/strings.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace zor {
namespace {

using namespace ini;

std::atomic<bool> g_keepFileUnchanged{false};

std::string encodeValue(const std::string& value) {
  bool quote = !value.empty() && (value.front() == ' ' || value.front() == '\t' || value.back() == ' ' ||
                                  value.back() == '\t' || value.front() == '"');
  return quote ? "\"" + value + "\"" : value;
}

// Sets key in section, changing nothing else of the file.
void assign(std::string& file, std::string_view section, std::string_view key, const std::string& value) {
  std::string newLine = std::string(key) + "=" + encodeValue(value);
  std::vector<Line> lines = splitLines(file);
  bool inSection = false;
  bool sectionSeen = false;
  std::size_t insertAt = std::string::npos;  // after the last entry of the first matching section
  for (const Line& line : lines) {
    if (auto name = sectionOf(line.text)) {
      bool match = sameName(*name, section);
      if (match && !sectionSeen) {
        sectionSeen = true;
        insertAt = line.end;
      }
      inSection = match;
      continue;
    }
    if (!inSection) continue;
    auto entry = entryOf(line.text);
    if (entry && sameName(entry->first, key)) {
      bool crlf = !line.text.empty() && line.text.back() == '\r';
      file.replace(line.begin, line.text.size(), newLine + (crlf ? "\r" : ""));
      return;
    }
    if (!trim(line.text).empty() && insertAt != std::string::npos && line.begin >= insertAt)
      insertAt = line.end;
  }
  if (sectionSeen) {
    // The insertion point ends a line unless it is the end of a file without a final newline.
    if (insertAt > 0 && file[insertAt - 1] != '\n') file.insert(insertAt++, "\n");
    file.insert(insertAt, newLine + "\n");
    return;
  }
  if (!file.empty() && file.back() != '\n') file += '\n';
  if (!file.empty()) file += '\n';
  file += "[" + std::string(section) + "]\n" + newLine + "\n";
}

void reportUnparsable(const std::string& path, const char* key, const std::string& value) {
  std::fprintf(stderr,
               "zor: settings file %s: \"%s\" has value \"%s\", not a whole number within 32 bits; using the "
               "default\n",
               path.c_str(), key, value.c_str());
}

}  // namespace

CIni::CIni() : m_path(settingsFilePath()) {}
CIni::~CIni() = default;

// There is one settings file per user; there is no system-wide file to switch
// to, and defaults are never written on read, so these choose nothing further.
void CIni::UseSystemFile() {}
void CIni::ForceWriteDefaults() {}

std::optional<std::string> CIni::ReadString(const std::string& section, const std::string& key) const {
  std::string file;
  if (!readSettingsFile(m_path, file)) return std::nullopt;
  return lookup(file, section, key);
}

bool CIni::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  return WriteStrings(section, {{key, value}});
}

bool CIni::WriteStrings(const std::string& section,
                        const std::vector<std::pair<std::string, std::string>>& entries) {
  if (g_keepFileUnchanged.load() || section.empty()) return false;
  auto oneLine = [](const std::string& s) { return s.find_first_of("\r\n") == std::string::npos; };
  if (!oneLine(section) || section.find(']') != std::string::npos) return false;
  for (const auto& [key, value] : entries)
    if (key.empty() || !oneLine(key) || !oneLine(value) || key.find('=') != std::string::npos) return false;
  return updateSettingsFile(m_path, [&](std::string& file) {
    for (const auto& [key, value] : entries) assign(file, section, key, value);
    return true;
  });
}

void CIni::KeepFileUnchanged() { g_keepFileUnchanged = true; }

int CIni::GetProfileIntA(UINT section, UINT key, int def) {
  return static_cast<int>(GetProfileLong(section, key, def));
}

long CIni::GetProfileLong(UINT section, UINT key, long def) {
  const char* s = zorString(section);
  const char* k = zorString(key);
  if (s == nullptr || k == nullptr) return def;
  auto value = ReadString(s, k);
  if (!value) return def;
  auto number = parseNumber(*value);
  if (!number) {
    reportUnparsable(m_path, k, *value);
    return def;
  }
  return *number;
}

std::string CIni::GetProfileStringA(UINT section, UINT key, const char* def) {
  std::string fallback = def != nullptr ? def : "";
  const char* s = zorString(section);
  const char* k = zorString(key);
  if (s == nullptr || k == nullptr) return fallback;
  return ReadString(s, k).value_or(fallback);
}

bool CIni::WriteProfileInt(UINT section, UINT key, int value) {
  return WriteProfileStringA(section, key, std::to_string(value).c_str());
}

bool CIni::WriteProfileStringA(UINT section, UINT key, const char* value) {
  const char* s = zorString(section);
  const char* k = zorString(key);
  if (s == nullptr || k == nullptr) return false;
  return WriteString(s, k, value != nullptr ? value : "");
}

}  // namespace zor
