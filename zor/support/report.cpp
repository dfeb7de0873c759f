// Critical reports: one line on standard error, then the caller goes on.
#include "zor/support/support.h"

#include <cstdio>

namespace zor {
namespace {

const char* orUnknown(const char* s) { return s != nullptr ? s : "?"; }

void report(const char* what, const char* expression, const char* file, int line, const char* date,
            const char* time) {
  // One fprintf call keeps the line whole when threads report at once.
  std::fprintf(stderr, "zor: %s: %s, file %s, line %d (built %s %s)\n", what, orUnknown(expression),
               orUnknown(file), line, orUnknown(date), orUnknown(time));
  std::fflush(stderr);
}

}  // namespace

void criticalAssert(const char* expression, const char* file, int line, const char* date, const char* time) {
  report("assertion failed", expression, file, line, date, time);
}

void criticalMemoryError(const char* expression, const char* file, int line, const char* date,
                         const char* time) {
  report("out of memory", expression, file, line, date, time);
}

}  // namespace zor
