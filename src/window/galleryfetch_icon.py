#!/usr/bin/env python3
"""Writes galleryfetch.ico: a framed picture with a down arrow, 32x32 and 16x16.

The icon is drawn here rather than in an editor so that it can be changed and
rebuilt with nothing but Python. Run from anywhere:
    python3 src/window/galleryfetch_icon.py
"""

import os
import struct

FRAME = (92, 64, 40)  # dark wood
FRAME_LIGHT = (164, 120, 74)
SKY = (170, 214, 246)
HILL = (76, 160, 72)
SUN = (250, 206, 64)
ARROW = (30, 96, 210)
ARROW_EDGE = (255, 255, 255)


def draw(size):
    """Returns size*size pixels, row 0 at the top; None is transparent."""
    s = size / 32.0
    px = [[None] * size for _ in range(size)]

    def rect(x0, y0, x1, y1, colour):
        for y in range(max(0, int(y0)), min(size, int(y1))):
            for x in range(max(0, int(x0)), min(size, int(x1))):
                px[y][x] = colour

    # The frame fills the icon but for a margin; the picture sits inside it.
    border = max(1, round(3 * s))
    rect(1 * s, 2 * s, 31 * s, 30 * s, FRAME)
    rect(1 * s + border - max(1, round(s)), 2 * s + border - max(1, round(s)),
         31 * s - border + max(1, round(s)), 30 * s - border + max(1, round(s)), FRAME_LIGHT)
    left, top = 1 * s + border, 2 * s + border
    right, bottom = 31 * s - border, 30 * s - border
    rect(left, top, right, bottom, SKY)

    # A sun and a hill, the familiar shorthand for "picture".
    cx, cy, r = left + 5 * s, top + 5 * s, 2.5 * s
    for y in range(size):
        for x in range(size):
            if (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2 <= r * r and left <= x < right:
                px[y][x] = SUN
    peak_x, peak_y = left + 9 * s, top + 9 * s
    for y in range(int(peak_y), int(bottom)):
        half = (y - peak_y) * 1.4
        rect(max(left, peak_x - half), y, min(right, peak_x + half), y + 1, HILL)
    rect(left, bottom - 4 * s, right, bottom, HILL)

    # The down arrow over the lower right: what the program does to pictures.
    ax = 22 * s  # shaft centre
    shaft_half = max(1, round(2 * s))
    shaft_top, head_top, tip = 9 * s, 17 * s, 29 * s
    head_half = 7 * s
    edge = max(1, round(s))

    def arrow(grow, colour):
        rect(ax - shaft_half - grow, shaft_top - grow, ax + shaft_half + grow, head_top + 1, colour)
        for y in range(int(head_top - grow), int(tip + grow)):
            half = head_half + grow - (y - head_top) * head_half / (tip - head_top)
            if half > 0:
                rect(ax - half, y, ax + half, y + 1, colour)

    arrow(edge, ARROW_EDGE)
    arrow(0, ARROW)
    return px


def icon_entry(size):
    """One ICO image: a 32-bit DIB, bottom-up, with its AND mask."""
    px = draw(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = bytearray()
    for row in reversed(px):
        for p in row:
            colour += bytes((p[2], p[1], p[0], 255)) if p else bytes(4)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(px):
        bits = bytearray(mask_stride)
        for x, p in enumerate(row):
            if p is None:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + colour + mask


def main():
    sizes = (32, 16)
    images = [icon_entry(n) for n in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for n, image in zip(sizes, images):
        out += struct.pack("<BBBBHHII", n, n, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    for image in images:
        out += image
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "galleryfetch.ico")
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
