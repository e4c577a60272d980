#!/usr/bin/env python3
"""Writes HAND-M.CUR, the program's hand pointer: a 32x32 Windows cursor
(32-bit BGRA bitmap with an AND mask) with its hot spot on the fingertip."""
import struct
import sys

ART = """
.......##.......
......#oo#......
......#oo#......
......#oo#......
......#oo###....
......#oo#oo###.
...##.#oo#oo#oo#
..#oo##oo#oo#oo#
..#ooo#ooooooooo#
...#oo#oooooooo#
...#ooooooooooo#
....#oooooooooo#
....#ooooooooo#.
.....#oooooooo#.
.....#ooooooo#..
......#######...
"""
HOTSPOT = (7, 0)  # in art pixels; doubled below

def main(path):
    rows = [r.ljust(16, ".")[:16] for r in ART.strip("\n").split("\n")]
    size = 32
    pixels = []  # bottom-up rows of BGRA
    for y in range(size - 1, -1, -1):
        row = rows[y // 2] if y // 2 < len(rows) else "." * 16
        line = b""
        for x in range(size):
            c = row[x // 2]
            if c == "#":
                line += bytes((0, 0, 0, 255))
            elif c == "o":
                line += bytes((255, 255, 255, 255))
            else:
                line += bytes((0, 0, 0, 0))
        pixels.append(line)
    xor = b"".join(pixels)
    and_mask = b""
    for y in range(size - 1, -1, -1):
        row = rows[y // 2] if y // 2 < len(rows) else "." * 16
        bits = 0
        for x in range(size):
            if row[x // 2] == ".":
                bits |= 1 << (31 - x)
        and_mask += struct.pack(">I", bits)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    image = header + xor + and_mask
    hx, hy = HOTSPOT[0] * 2 + 1, HOTSPOT[1] * 2
    icondir = struct.pack("<HHH", 0, 2, 1)
    entry = struct.pack("<BBBBHHII", size, size, 0, 0, hx, hy, len(image), 6 + 16)
    with open(path, "wb") as f:
        f.write(icondir + entry + image)

if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "HAND-M.CUR")
