#!/usr/bin/env bash
# Installs the built library into a scratch prefix and fails when its dynamic
# symbol table defines a name that the installed public headers do not declare,
# when a file other than the host object's has a static initialiser, or when
# it links Qt.
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
lib=$(ls "$scratch"/prefix/lib*/libzor.so | head -1)
nm -D --defined-only -C "$lib" >"$scratch/symbols"

# The window layer is a library of its own: the core never loads Qt.
if readelf -d "$lib" | grep -q 'NEEDED.*libQt'; then
  echo "libzor.so links Qt: $(readelf -d "$lib" | grep -o 'libQt[^]]*' | tr '\n' ' ')"
  exit 1
fi

# Start-up is one function, run from one static initialiser (beside theApp):
# any other file's initialiser could depend on the order of files.
initialisers=$(nm "$lib" | sed -n 's/.* _GLOBAL__sub_I_\([^.]*\.cpp\)$/\1/p' | sort -u)
if [ "$initialisers" != "app.cpp" ]; then
  echo "static initialisers in: $initialisers (only app.cpp may have one)"
  exit 1
fi
python3 - "$scratch/prefix/include/zor" "$scratch/symbols" <<'PY'
import pathlib, re, sys

headers, table = pathlib.Path(sys.argv[1]), sys.argv[2]
declared = set()
for h in headers.glob("*.h"):
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
    sys.exit("no dynamic symbols read: is nm installed?")
for s in strange:
    print("exported but not in the public headers:", s)
if strange:
    sys.exit(1)
print(f"{count} exported symbols, all declared by the public headers")
PY
