#!/usr/bin/env bash
# Installs the built library and program into a scratch prefix; the installed
# program runs from there with a clean environment (no LD_LIBRARY_PATH: its
# RPATH is relative to itself), and an outside program builds and runs
# against the prefix twice: through the CMake package and through pkg-config.
set -euo pipefail
build=$1
version=$2
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
libdir=$(ls -d "$scratch"/prefix/lib*/ | head -1)

# The program, moved with its prefix, in an environment of nothing but a settings file.
mv "$scratch/prefix" "$scratch/moved"
got=$(env -i ZOR_CONFIG="$scratch/zor.ini" "$scratch/moved/bin/zor" --version)
if [ "$got" != "zor $version" ]; then
  echo "installed zor --version printed \"$got\", not \"zor $version\""
  exit 1
fi
env -i ZOR_CONFIG="$scratch/zor.ini" "$scratch/moved/bin/zor" --help | grep -q '^usage: zor <mode>'
mv "$scratch/moved" "$scratch/prefix"
echo "installed program: runs from its prefix with a clean environment ($got)"

cmake -S "$here/consumer" -B "$scratch/cmake" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/cmake" >/dev/null
env -i ZOR_CONFIG="$scratch/zor.ini" "$scratch/cmake/consumer"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
${CXX:-c++} -o "$scratch/pc-consumer" "$here/consumer/main.cpp" $(pkg-config --cflags --libs zor)
env -i LD_LIBRARY_PATH="$libdir" ZOR_CONFIG="$scratch/zor.ini" "$scratch/pc-consumer"
echo "installed package: usable through CMake and pkg-config"

# The program's modes, a library of their own beside it.
cat >"$scratch/host.cpp" <<'CPP'
#include <zor/host.h>
int main() { return zor::versionLine().rfind("zor ", 0) == 0 && zor::modeUsage("ports") != nullptr ? 0 : 1; }
CPP
# shellcheck disable=SC2046
${CXX:-c++} -o "$scratch/host-consumer" "$scratch/host.cpp" $(pkg-config --cflags --libs zor-host)
env -i LD_LIBRARY_PATH="$libdir" ZOR_CONFIG="$scratch/zor.ini" "$scratch/host-consumer"
echo "installed program modes: usable through pkg-config zor-host"

# The window layer, when built: an outside program links it through
# pkg-config; without a display its monitor says so and nothing aborts.
if [ -f "$libdir/pkgconfig/zor-gui.pc" ]; then
  cat >"$scratch/gui.cpp" <<'CPP'
#include <zor/gui.h>
#include <zor/zor.h>
int main() {
  zor::zorGuiInstall();
  zor::CDevNull dev;
  return dev.Monitor()->Show() ? 1 : 0;
}
CPP
  # shellcheck disable=SC2046
  ${CXX:-c++} -o "$scratch/gui-consumer" "$scratch/gui.cpp" $(pkg-config --cflags --libs zor-gui)
  out=$(env -i LD_LIBRARY_PATH="$libdir" ZOR_CONFIG="$scratch/zor.ini" "$scratch/gui-consumer" 2>&1)
  if [ "$out" != "zor: no monitor window: no display (neither DISPLAY nor WAYLAND_DISPLAY is set, nor QT_QPA_PLATFORM)" ]; then
    echo "the window layer's consumer printed: $out"
    exit 1
  fi
  echo "installed window layer: usable through pkg-config; without a display it says so"
fi
