#!/usr/bin/env python3
"""Draws the program's icon "MAINICON": a sealed envelope in 16 colours, as a 32x32 image
(first, for the desktop and the boxes) and a 16x16 one drawn for the notification area, where
the large image scaled down loses its outline.

    scripts/make_icon.py            writes cmake/zanpost.ico
    scripts/make_icon.py --check    fails when cmake/zanpost.ico differs from the drawing
    scripts/make_icon.py --out F    writes the icon to F instead
"""
import argparse
import pathlib
import struct
import sys

TRANSPARENT = None

# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, DARK_RED, NAVY, SILVER, GRAY, RED, YELLOW, WHITE = 0, 1, 4, 7, 8, 9, 11, 15


def draw():
    """The picture as rows of palette indices, top row first; None is transparent."""
    SIZE = 32
    img = [[TRANSPARENT] * SIZE for _ in range(SIZE)]
    top, bottom, left, right = 6, 26, 2, 29

    # Motion strokes on the left: the courier is on its way.
    for row, start in ((10, 0), (14, 0), (18, 0)):
        for col in range(start, left):
            img[row][col] = GRAY

    # The envelope's paper and outline.
    for row in range(top, bottom + 1):
        for col in range(left, right + 1):
            edge = row in (top, bottom) or col in (left, right)
            img[row][col] = BLACK if edge else WHITE

    # The lower folds, meeting under the flap.
    for step in range(1, 9):
        img[bottom - step][left + step] = SILVER
        img[bottom - step][right - step] = SILVER

    # The closed flap: two lines from the upper corners down to the middle.
    for step in range(0, 13):
        img[top + step][left + 1 + step] = NAVY
        img[top + step][right - 1 - step] = NAVY

    # A red wax seal on the tip of the flap, with a yellow glint.
    cy, cx = top + 12.5, (left + right) / 2
    for row in range(SIZE):
        for col in range(SIZE):
            d2 = (row + 0.5 - cy - 0.5) ** 2 + (col + 0.5 - cx - 0.5) ** 2
            if d2 <= 3.2 ** 2:
                img[row][col] = DARK_RED if d2 > 2.3 ** 2 else RED
    img[int(cy) - 1][int(cx) - 1] = YELLOW
    return img


def draw_small():
    """The same envelope drawn pixel by pixel at 16x16: a one-pixel outline that survives
    at this size, the flap, the lower folds, a seal and one motion stroke."""
    rows = [
        "................",
        "................",
        "................",
        ".BBBBBBBBBBBBBB.",
        ".BNWWWWWWWWWWNB.",
        "GBWNWWWWWWWWNWB.",
        ".BWWNWWWWWWNWWB.",
        "GBWWWNWWWWNWWWB.",
        ".BWWWWNRRNWWWWB.",
        "GBWWWSWRYRWSWWB.",
        ".BWWSWWRRWWSWWB.",
        ".BWSWWWWWWWWSWB.",
        ".BSWWWWWWWWWWSB.",
        ".BBBBBBBBBBBBBB.",
        "................",
        "................",
    ]
    colour = {".": TRANSPARENT, "B": BLACK, "W": WHITE, "N": NAVY, "S": SILVER,
              "R": RED, "Y": YELLOW, "G": GRAY}
    return [[colour[c] for c in row] for row in rows]


def image_bytes(img):
    """One icon image: 4-bit colour bitmap plus the 1-bit transparency mask."""
    SIZE = len(img)
    xor_stride = (SIZE // 2 + 3) // 4 * 4   # 4 bits a pixel, rows padded to 4 bytes
    and_stride = (SIZE // 8 + 3) // 4 * 4   # 1 bit a pixel, padded to 4 bytes
    xor_rows, and_rows = [], []
    for row in reversed(img):        # bitmaps are stored bottom-up
        xor = bytearray(xor_stride)
        mask = bytearray(and_stride)
        for col, pixel in enumerate(row):
            index = 0 if pixel is None else pixel
            xor[col // 2] |= index << (4 if col % 2 == 0 else 0)
            if pixel is None:
                mask[col // 8] |= 0x80 >> (col % 8)
        xor_rows.append(bytes(xor))
        and_rows.append(bytes(mask))
    pixels = b"".join(xor_rows) + b"".join(and_rows)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0, len(pixels), 0, 0, 16, 0)
    return header + palette + pixels


def ico_bytes(images):
    """An .ico file of the images, in the order given."""
    blobs = [image_bytes(img) for img in images]
    directory = struct.pack("<HHH", 0, 1, len(blobs))
    offset = 6 + 16 * len(blobs)
    entries = b""
    for img, blob in zip(images, blobs):
        entries += struct.pack("<BBBBHHII", len(img), len(img), 16, 0, 1, 4, len(blob), offset)
        offset += len(blob)
    return directory + entries + b"".join(blobs)


def main():
    here = pathlib.Path(__file__).resolve().parent.parent
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", type=pathlib.Path, default=here / "cmake" / "zanpost.ico")
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()
    data = ico_bytes([draw(), draw_small()])
    if args.check:
        if not args.out.exists() or args.out.read_bytes() != data:
            print(f"{args.out} is not what scripts/make_icon.py draws; run it again", file=sys.stderr)
            return 1
        return 0
    args.out.write_bytes(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
