#!/usr/bin/env bash
# The test suite under ThreadSanitizer. Its runtime cannot map its shadow with the
# kernel's widest address randomisation, so the run disables randomisation for itself.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-tsan}
if setarch "$(uname -m)" -R true 2>/dev/null; then
  exec setarch "$(uname -m)" -R "$root/scripts/test.sh" "$build" -DZOR_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug
fi
exec "$root/scripts/test.sh" "$build" -DZOR_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug
