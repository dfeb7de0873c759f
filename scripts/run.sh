#!/usr/bin/env bash
# Builds zor and runs the main job on its built-in default: a loopback device.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
"$root/scripts/setup-deps.sh"
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target example_loopback
"$build/examples/example_loopback"
