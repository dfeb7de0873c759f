#!/bin/sh
# Builds the fuzz targets with clang and libFuzzer and runs each for a short
# while from its seed corpus. Usage: fuzz/smoke.sh <build-dir> [seconds]
# Skips (exit 0) when clang or libFuzzer is missing.
set -eu
[ $# -ge 1 ] || { echo "usage: $0 <build-dir> [seconds]" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
build=$1/fuzz
seconds=${2:-20}  # for each target

if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz: clang++ not found, skipped" >&2
  exit 0
fi
if ! echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long){return 0;}' |
    clang++ -x c++ -fsanitize=fuzzer -o /dev/null - >/dev/null 2>&1; then
  echo "fuzz: clang++ has no libFuzzer, skipped" >&2
  exit 0
fi

cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 >/dev/null

# The seed corpora stay as checked in; new inputs go to scratch copies.
run() {
  target=$1 seeds=$2
  work=$build/$target-corpus
  rm -rf "$work"
  mkdir -p "$work"
  cp "$seeds"/* "$work"/
  "$build"/"$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=1024 \
    -print_final_stats=1 "$work" 2>"$build"/"$target".log || {
    tail -n 40 "$build"/"$target".log >&2
    exit 1
  }
  tail -n 3 "$build"/"$target".log >&2
  echo "fuzz: $target ran ${seconds}s without a finding" >&2
}
run fuzz_trafficlog "$here"/corpus
run fuzz_settings "$here"/corpus-settings
run fuzz_usbconfig "$here"/corpus-usbconfig
run fuzz_telnet "$here"/corpus-telnet
