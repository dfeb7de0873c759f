#!/usr/bin/env python3
"""Draws the server windows' icons (32 x 32 PNG): three networked computers,
screens dark (waiting) or lit blue (a client is connected)."""
import struct, sys, zlib

def png(path, pixels):
    raw = b"".join(b"\0" + bytes(sum(row, ())) for row in pixels)
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 32, 32, 8, 6, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))

def draw(lit):
    clear = (0, 0, 0, 0)
    img = [[clear] * 32 for _ in range(32)]
    def rect(x0, y0, x1, y1, c):
        for y in range(y0, y1):
            for x in range(x0, x1):
                img[y][x] = c
    frame, base = (90, 90, 96, 255), (150, 150, 158, 255)
    screen = (40, 130, 255, 255) if lit else (28, 30, 36, 255)
    glare = (150, 205, 255, 255) if lit else (60, 62, 70, 255)
    cable = (230, 180, 40, 255) if lit else (120, 120, 120, 255)
    # The network: a line along the bottom with a drop to each computer.
    rect(4, 29, 28, 31, cable)
    for x0, y0 in ((1, 2), (11, 13), (21, 2)):
        rect(x0, y0, x0 + 10, y0 + 8, frame)        # monitor
        rect(x0 + 1, y0 + 1, x0 + 9, y0 + 7, screen)
        rect(x0 + 2, y0 + 2, x0 + 4, y0 + 3, glare)
        rect(x0 + 4, y0 + 8, x0 + 6, y0 + 9, frame)  # stand
        rect(x0 + 1, y0 + 9, x0 + 9, y0 + 11, base)  # keyboard
        rect(x0 + 4, y0 + 11, x0 + 6, 29, cable)     # drop to the line
    return img

folder = sys.argv[1] if len(sys.argv) > 1 else "zor/gui/icons"
png(folder + "/server-waiting.png", draw(False))
png(folder + "/server-connected.png", draw(True))
