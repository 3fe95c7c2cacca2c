#!/usr/bin/env python3
"""Draws Quillon's application icon into packaging/icons/: quillon.svg and a 256x256 quillon.png.

The icon is a "Q" on a blue rounded square: a white ring with a white tail, and inside the ring
an amber wave, the frequency-shift keying that HART puts on the 4-20 mA loop. Both files come
from the same shapes below, so they show the same picture. The PNG is drawn with 4x4 samples a
pixel for smooth edges; only the standard library is used (the PNG is written with zlib and
struct). Run it again after changing a shape or a colour:
    python3 scripts/draw_icon.py [OUTPUT_DIRECTORY]
"""

import math
import os
import struct
import sys
import zlib

SIZE = 256
SAMPLES = 4  # per pixel and axis

# The rounded square, with a vertical gradient from TOP to BOTTOM.
SQUARE = (16, 16, 240, 240)
SQUARE_RADIUS = 44
TOP, BOTTOM = (46, 110, 184), (18, 58, 112)
WHITE = (255, 255, 255)
AMBER = (255, 184, 28)

# The "Q": a ring and its tail, a segment with round ends.
RING_CENTRE, RING_RADIUS, RING_WIDTH = (122, 120), 70, 20
TAIL, TAIL_WIDTH = ((160, 160), (206, 208)), 22

# The wave: one and a half periods of a sine inside the ring, with round ends.
WAVE_X0, WAVE_X1, WAVE_Y, WAVE_AMPLITUDE, WAVE_PERIODS, WAVE_WIDTH = 84, 160, 120, 18, 1.5, 10


def wave_y(x):
    return WAVE_Y - WAVE_AMPLITUDE * math.sin(
        2 * math.pi * WAVE_PERIODS * (x - WAVE_X0) / (WAVE_X1 - WAVE_X0))


def wave_slope(x):
    k = 2 * math.pi * WAVE_PERIODS / (WAVE_X1 - WAVE_X0)
    return -WAVE_AMPLITUDE * k * math.cos(k * (x - WAVE_X0))


def in_square(x, y):
    left, top, right, bottom = SQUARE
    r = SQUARE_RADIUS
    cx = min(max(x, left + r), right - r)
    cy = min(max(y, top + r), bottom - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def near_segment(x, y, a, b, width):
    ax, ay = a
    bx, by = b
    dx, dy = bx - ax, by - ay
    t = min(max(((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy), 0.0), 1.0)
    return (x - ax - t * dx) ** 2 + (y - ay - t * dy) ** 2 <= (width / 2) ** 2


def on_ring(x, y):
    distance = math.hypot(x - RING_CENTRE[0], y - RING_CENTRE[1])
    return abs(distance - RING_RADIUS) <= RING_WIDTH / 2


def on_wave(x, y):
    half = WAVE_WIDTH / 2
    if x < WAVE_X0 or x > WAVE_X1:
        end = WAVE_X0 if x < WAVE_X0 else WAVE_X1
        return (x - end) ** 2 + (y - wave_y(end)) ** 2 <= half * half
    # The distance across the curve, from the vertical one and the slope (close enough for a
    # gentle wave).
    return abs(y - wave_y(x)) / math.hypot(1.0, wave_slope(x)) <= half


def colour_at(x, y):
    """The colour of the point (x, y), or None outside the square (transparent)."""
    if not in_square(x, y):
        return None
    if on_ring(x, y) or near_segment(x, y, TAIL[0], TAIL[1], TAIL_WIDTH):
        return WHITE
    if on_wave(x, y):
        return AMBER
    t = (y - SQUARE[1]) / (SQUARE[3] - SQUARE[1])
    return tuple(a + (b - a) * t for a, b in zip(TOP, BOTTOM))


def pixel(px, py):
    """The pixel's colour as the mean of its samples, with alpha for the coverage."""
    total = [0.0, 0.0, 0.0]
    covered = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            colour = colour_at(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES)
            if colour is not None:
                covered += 1
                for i in range(3):
                    total[i] += colour[i]
    if covered == 0:
        return (0, 0, 0, 0)
    return tuple(round(c / covered) for c in total) + (round(255 * covered / SAMPLES ** 2),)


def write_png(path, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = b"".join(b"\0" + bytes(v for p in row for v in p) for row in rows)
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)  # 8-bit RGBA
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def hex_colour(colour):
    return "#%02x%02x%02x" % colour


def svg():
    left, top, right, bottom = SQUARE
    steps = 48
    points = " ".join(
        "%.2f,%.2f" % (x, wave_y(x))
        for x in (WAVE_X0 + (WAVE_X1 - WAVE_X0) * i / steps for i in range(steps + 1)))
    (tx0, ty0), (tx1, ty1) = TAIL
    return f"""<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="{SIZE}" height="{SIZE}" viewBox="0 0 {SIZE} {SIZE}">
  <title>Quillon</title>
  <defs>
    <linearGradient id="back" x1="0" y1="{top}" x2="0" y2="{bottom}"
                    gradientUnits="userSpaceOnUse">
      <stop offset="0" stop-color="{hex_colour(TOP)}"/>
      <stop offset="1" stop-color="{hex_colour(BOTTOM)}"/>
    </linearGradient>
    <clipPath id="square">
      <rect x="{left}" y="{top}" width="{right - left}" height="{bottom - top}"
            rx="{SQUARE_RADIUS}"/>
    </clipPath>
  </defs>
  <g clip-path="url(#square)">
    <rect x="{left}" y="{top}" width="{right - left}" height="{bottom - top}" fill="url(#back)"/>
    <polyline points="{points}" fill="none" stroke="{hex_colour(AMBER)}" stroke-width="{WAVE_WIDTH}"
              stroke-linecap="round" stroke-linejoin="round"/>
    <circle cx="{RING_CENTRE[0]}" cy="{RING_CENTRE[1]}" r="{RING_RADIUS}" fill="none"
            stroke="{hex_colour(WHITE)}" stroke-width="{RING_WIDTH}"/>
    <line x1="{tx0}" y1="{ty0}" x2="{tx1}" y2="{ty1}" stroke="{hex_colour(WHITE)}"
          stroke-width="{TAIL_WIDTH}" stroke-linecap="round"/>
  </g>
</svg>
"""


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "packaging", "icons")
    os.makedirs(out, exist_ok=True)
    write_png(os.path.join(out, "quillon.png"),
              [[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)])
    with open(os.path.join(out, "quillon.svg"), "w", encoding="utf-8") as f:
        f.write(svg())


if __name__ == "__main__":
    main()
