"""Writes the launchers' icon, a 32-pixel chessboard, as a Windows .ico:
made at build time, so no binary file lives in the sources.
    python icon.py ICON.ico"""

import struct
import sys

SIZE = 32
SQUARE = 8
DARK = (0x5A, 0x3A, 0x1E, 0xFF)  # blue, green, red, alpha
LIGHT = (0xE8, 0xF4, 0xFA, 0xFF)


def pixels() -> bytes:
    rows = []
    for y in reversed(range(SIZE)):  # a BMP is stored bottom row first
        row = b"".join(bytes(DARK if (x // SQUARE + y // SQUARE) % 2 else LIGHT) for x in range(SIZE))
        rows.append(row)
    return b"".join(rows)


def icon() -> bytes:
    mask = bytes(SIZE * SIZE // 8)  # all opaque; the alpha channel rules anyway
    image = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, 32, 0, 0, 0, 0, 0, 0) + pixels() + mask
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    return header + entry + image


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as file:
        file.write(icon())
