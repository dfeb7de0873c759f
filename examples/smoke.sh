#!/bin/sh
# The examples do what their usage says: playback_script answers from the
# shipped log and refuses what the log did not record; relay_client talks
# through a headless zor server to its loopback device.
# usage: smoke.sh ZOR_PROGRAM EXAMPLES_DIR SAMPLE_LOG
set -u
zor=$1 bin=$2 log=$3
work=$(mktemp -d) || exit 1
server=
cleanup() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null; wait "$server"; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "examples: $*" >&2; exit 1; }

export ZOR_CONFIG="$work/zor.ini" ZOR_PIPE_DIR="$work/pipes"
printf '[ZOR.DLL]\nrunZor NumDev=0\nrunZor loopback=1\n' >"$ZOR_CONFIG"
mkdir -m 700 "$ZOR_PIPE_DIR"

out=$("$bin/example_playback_script" "$log" '*IDN?' 'MEAS:VOLT?') || fail "playback_script failed: $out"
[ "$out" = "$(printf '*IDN?\nMEAS:VOLT?')" ] || fail "playback_script printed: $out"
"$bin/example_playback_script" "$log" 'MEAS:VOLT?' >/dev/null 2>&1
[ $? -eq 1 ] || fail "playback_script took a query the log did not record"
"$bin/example_playback_script" "$log" 2>/dev/null
[ $? -eq 2 ] || fail "playback_script ran without a query"

"$zor" server --headless >"$work/server.out" 2>"$work/server.err" &
server=$!
i=0
until grep -q serving "$work/server.err"; do
  i=$((i + 1))
  [ $i -le 200 ] && kill -0 "$server" 2>/dev/null || fail "the server did not start: $(cat "$work/server.err")"
  sleep 0.1
done
# The idle time only ends the client once the echo is in; it bounds nothing that is checked.
out=$(printf 'ping\nsecond line\n' | "$bin/example_relay_client" --pipe --idle-ms 2000) ||
  fail "relay_client failed: $out"
[ "$out" = "$(printf 'ping\nsecond line')" ] || fail "relay_client printed: $out"
kill "$server"
wait "$server"
status=$? server=
[ $status -eq 0 ] || fail "the server ended with status $status: $(cat "$work/server.err")"
"$bin/example_relay_client" --pipe </dev/null 2>/dev/null
[ $? -eq 1 ] || fail "relay_client did not fail without a server"
echo "examples: playback_script and relay_client work"
