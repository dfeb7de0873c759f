#!/usr/bin/env bash
# Installs the built library into a scratch prefix, then builds and runs an
# outside program against it twice: through the CMake package and through pkg-config.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
libdir=$(ls -d "$scratch"/prefix/lib*/ | head -1)

cmake -S "$here/consumer" -B "$scratch/cmake" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/cmake" >/dev/null
LD_LIBRARY_PATH="$libdir" ZOR_CONFIG="$scratch/zor.ini" "$scratch/cmake/consumer"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
${CXX:-c++} -o "$scratch/pc-consumer" "$here/consumer/main.cpp" $(pkg-config --cflags --libs zor)
LD_LIBRARY_PATH="$libdir" ZOR_CONFIG="$scratch/zor.ini" "$scratch/pc-consumer"
echo "installed package: usable through CMake and pkg-config"
