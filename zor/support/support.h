// Support services shared by the whole library: settings store, memory,
// critical reports and version strings.
#pragma once

#include <zor/platform.h>
#include <zor/settings.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zor {

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
