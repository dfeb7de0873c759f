#!/usr/bin/env bash
# Installs the built libraries into a scratch prefix and fails when libzor's
# dynamic symbol table defines a name that the device library's public headers
# (all but host.h and gui.h) do not declare, when libzor-host's defines one
# that host.h does not, when a file of libzor other than the host object's has
# a static initialiser, or when either links Qt.
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
lib=$(ls "$scratch"/prefix/lib*/libzor.so | head -1)
hostlib=$(ls "$scratch"/prefix/lib*/libzor-host.so | head -1)
nm -D --defined-only -C "$lib" >"$scratch/symbols"
nm -D --defined-only -C "$hostlib" >"$scratch/host-symbols"

# The window layer is a library of its own: neither the device library nor
# the program's modes load Qt.
for l in "$lib" "$hostlib"; do
  if readelf -d "$l" | grep -q 'NEEDED.*libQt'; then
    echo "$(basename "$l") links Qt: $(readelf -d "$l" | grep -o 'libQt[^]]*' | tr '\n' ' ')"
    exit 1
  fi
done

# Start-up is one function, run from one static initialiser (beside theApp):
# any other file's initialiser could depend on the order of files.
initialisers=$(nm "$lib" | sed -n 's/.* _GLOBAL__sub_I_\([^.]*\.cpp\)$/\1/p' | sort -u)
if [ "$initialisers" != "app.cpp" ]; then
  echo "static initialisers in: $initialisers (only app.cpp may have one)"
  exit 1
fi
check() {
python3 - "$@" <<'PY'
import pathlib, re, sys

# The library's name, its symbol table, then the headers that declare its interface.
lib, table, headers = sys.argv[1], sys.argv[2], [pathlib.Path(h) for h in sys.argv[3:]]
declared = set()
for h in headers:
    declared.update(re.findall(r"[A-Za-z_]\w*", h.read_text()))

def strip_nested(name, open_, close):
    out, depth = [], 0
    for ch in name:
        depth += ch == open_
        if depth == 0:
            out.append(ch)
        depth -= ch == close and depth > 0
    return "".join(out).replace(close, "")

strange, count = [], 0
for line in open(table):
    parts = line.rstrip("\n").split(" ", 2)
    if len(parts) < 3:
        continue
    count += 1
    name = re.sub(r"^(typeinfo name|typeinfo|vtable|VTT|guard variable|(non-)?virtual thunk) (for|to) ",
                  "", parts[2])
    name = re.sub(r"\[abi:\w+\]", "", name)
    name = strip_nested(strip_nested(name, "(", ")"), "<", ">")
    name = re.sub(r" \[[^]]*\]$|\s*const$", "", name)
    pieces = [p.lstrip("~") for p in name.split("::")]
    if pieces and pieces[0] == "zor":
        pieces = pieces[1:]
    if not pieces or any(p not in declared for p in pieces if not p.startswith("operator")):
        strange.append(parts[2])

if count == 0:
    sys.exit(f"{lib}: no dynamic symbols read: is nm installed?")
for s in strange:
    print(f"{lib} exports what its public headers do not declare:", s)
if strange:
    sys.exit(1)
print(f"{lib}: {count} exported symbols, all declared by its public headers")
PY
}
include="$scratch/prefix/include/zor"
# shellcheck disable=SC2046
check libzor.so "$scratch/symbols" $(ls "$include"/*.h | grep -v -e '/host\.h$' -e '/gui\.h$')
check libzor-host.so "$scratch/host-symbols" "$include/host.h"
