#!/usr/bin/env bash
# Fails when a file includes across the layers the wrong way (docs/ARCHITECTURE.md):
# POSIX and Linux headers in the platform layer and the program's own OS files
# (zor/host/os/) only, no include of a higher layer, the device core's private
# header inside the core only, Qt in the window layer only (zor/gui/ and its
# public header), no POSIX or Linux header in the core, devices and remote
# layers even by name, the program's modes (zor/host/, a library of their own) over
# the public headers and their own files only, and nothing but the public
# headers in the programs and examples.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 - <<'PY'
import pathlib, re, sys

# Bottom to top; a file may include its own layer and the ones below it.
rank = {"platform": 0, "support": 1, "utils": 1, "monitor": 2, "core": 3, "devices": 4, "remote": 4, "host": 5,
        "gui": 6}
# The device core and the devices reach a medium only through
# zor/platform/transport.h (and the platform's waits): no POSIX or Linux
# header there. <csignal> is standard C++ and stays allowed.
media_free = {"core", "devices", "remote"}
posix_headers = {"unistd.h", "fcntl.h", "termios.h", "poll.h", "netdb.h", "libusb.h", "pthread.h", "signal.h",
                 "errno.h", "dlfcn.h", "libusb-1.0/libusb.h"}
# What the core takes from the platform layer: its calls and the transports.
core_platform = {"platform.h", "transport.h", "transport_openers.h", "stand_in.h"}
posix_folders = ("sys/", "asm/", "asm-generic/", "linux/", "netinet/", "arpa/", "libusb-1.0/")
qt_header = re.compile(r"^Q[A-Z]\w*$|^Qt\w*/")
include = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
problems = []

def layer_of(path):
    parts = path.parts
    if parts[0] == "utils":
        return "utils"
    if parts[0] == "zor" and len(parts) > 2:
        return parts[1]
    return None

def check(path, public_only):
    layer = None if public_only else layer_of(path)
    # The window layer's public header sits with the others but belongs to it.
    window_layer = layer == "gui" or path.as_posix() == "include/zor/gui.h"
    host_os = path.parts[:3] == ("zor", "host", "os")
    for n, line in enumerate(path.read_text().splitlines(), 1):
        m = include.match(line)
        if not m:
            continue
        kind, name = m.groups()
        where = f"{path}:{n}: {name}"
        if kind == "<":
            if qt_header.match(name):
                if not window_layer:
                    problems.append(f"{where}: Qt outside the window layer")
                continue
            if name == "zor/gui.h" and not window_layer and not public_only:
                problems.append(f"{where}: the window layer included from below it")
                continue
            if name.startswith("zor/"):
                continue
            # The layers above the media name no system header, not even
            # through the C++ wrapper of a POSIX one.
            if layer in media_free and (name in posix_headers or name.startswith(posix_folders)):
                problems.append(f"{where}: POSIX/Linux header in {layer}/: reach media through transport.h")
                continue
            # A standard C++ header has neither a folder nor a suffix.
            if "/" in name or "." in name:
                if layer != "platform" and not host_os:
                    problems.append(f"{where}: system header outside zor/platform/ and zor/host/os/")
            continue
        if public_only:
            problems.append(f"{where}: only the public headers <zor/...> here")
            continue
        target = pathlib.Path(name)
        if layer == "core" and name.startswith("zor/platform/") and target.name not in core_platform:
            problems.append(f"{where}: the core reaches a medium only through transport.h")
        to = "utils" if target.parts[0] == "utils" else (target.parts[1] if len(target.parts) > 2 else None)
        if to not in rank:
            problems.append(f"{where}: not a library header")
        elif layer in rank and rank[to] > rank[layer]:
            problems.append(f"{where}: {layer}/ includes the higher layer {to}/")
        elif layer == "host" and to != "host":
            problems.append(f"{where}: the program's modes reach libzor through the public headers only")
        if target.name == "device_p.h" and layer != "core":
            problems.append(f"{where}: the device core's private header outside zor/core/")

sources = lambda *dirs: [p for d in dirs for p in pathlib.Path(d).rglob("*") if p.suffix in (".h", ".cpp")]
for path in sources("zor", "utils", "include"):
    check(path, public_only=False)
for path in sources("apps", "examples"):
    check(path, public_only=True)
for p in problems:
    print(p)
if problems:
    sys.exit(1)
print("layers: every include points down")
PY
