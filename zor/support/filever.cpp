// Version strings of the library, as the about box shows them.
#include "zor/support/support.h"

#include <zor/app.h>

#ifndef ZOR_VERSION
#define ZOR_VERSION "0.0.0"
#endif

namespace zor {

CUtlFileVer::CUtlFileVer(HINSTANCE /*module*/) {}

const char* CUtlFileVer::GetString(StringCode code, std::string& out) {
  switch (code) {
    case FileDescription:
      out = "zor device link library";
      break;
    case FileVersion:
      out = ZOR_VERSION;
      break;
    case ProductName:
      out = "zor";
      break;
    case LegalCopyright:
      out = "Copyright (C) 2026 zor developers";
      break;
    default:
      out.clear();
      break;
  }
  return out.c_str();
}

}  // namespace zor

std::string zorVersionText(int code) {
  std::string out;
  if (code != 1 && code != 3 && code != 4 && code != 5) return out;
  zor::CUtlFileVer(nullptr).GetString(static_cast<zor::CUtlFileVer::StringCode>(code), out);
  return out;
}
