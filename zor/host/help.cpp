#include <zor/host.h>

#include "zor/host/os/console.h"

#include <cstdio>
#include <cstring>

namespace zor {

void printUsage() {
  static const char* const kPieces[] = {
      "\n",
      "\n",
      "Uso:",
      "\n",
      "      run: avvia ZOR in modalita' client",
      "\n",
      "   server: avvia ZOR in modalita' server (intranet)",
      "\n",
      "   remote: avvia ZOR in modalita' server remoto (via TCP)",
      "\n",
      "",
      "\n",
  };
  for (const char* piece : kPieces) std::fwrite(piece, 1, std::strlen(piece), stderr);
  std::fflush(stderr);
}

bool printUsageToConsole() {
  if (!standardErrorIsTerminal()) return false;
  printUsage();
  return true;
}

}  // namespace zor
