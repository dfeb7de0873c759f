#!/usr/bin/env bash
# Builds zor and runs its test suite: scripts/test.sh [build-dir] [cmake options...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
shift || true
"$root/scripts/setup-deps.sh"
cmake -S "$root" -B "$build" -DZOR_BUILD_BENCH=OFF "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure --timeout 300
