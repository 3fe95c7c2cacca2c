#!/usr/bin/env python3
"""Draws the bitmap strips of the skinned buttons into src/ui/resources/.

button_strip_common.png: the common buttons, 5 frames of 24x24 (normal, pressed, disabled,
    focused, hot); borders of 5, 5, 5 and 4 pixels at top, bottom, left and right.
button_strip_port.png: the port's Open/Close button, 6 frames of 24x24 (normal, pressed,
    disabled, focused, hot, hot pressed); 1-pixel borders. Dark, for its yellow text.

The buttons use frames 0..3; the rest are drawn for completeness. Magenta (255,0,255) marks the
pixels outside the rounded outline, where the button shows the window behind it.

Every pixel depends only on its distance to the nearest edges and on its row, so that the
nine-slice scaling of the buttons stretches edges and centre without seams. Only the standard
library is used: the PNG is written with zlib and struct. Run it again after changing a colour:
    python3 scripts/draw_button_strips.py
"""

import os
import struct
import zlib

MAGENTA = (255, 0, 255)
SIZE = 24


def mix(a, b, t):
    return tuple(round(x + (y - x) * t) for x, y in zip(a, b))


def outside_round_corner(dx, dy, radius):
    """Whether the pixel at (dx, dy) from the corner lies outside a rounded corner of radius."""
    if dx >= radius or dy >= radius:
        return False
    cx, cy = radius - dx, radius - dy
    return cx * cx + cy * cy > radius * radius


def on_round_outline(dx, dy, radius):
    """Whether the pixel lies on the one-pixel outline that follows the rounded corner."""
    if dx == 0 or dy == 0:
        return True
    if dx >= radius or dy >= radius:
        return False
    cx, cy = radius - dx, radius - dy
    inner = radius - 1
    return cx * cx + cy * cy > inner * inner


def common_frame(style):
    """A raised, rounded button in the light colours of the dialogs."""
    radius = 3
    outline = {"normal": (96, 112, 96), "pressed": (72, 88, 72), "disabled": (168, 172, 164),
               "focused": (32, 96, 200), "hot": (96, 112, 96)}[style]
    top, bottom = {"normal": ((252, 253, 250), (206, 214, 200)),
                   "pressed": ((176, 186, 170), (214, 222, 208)),
                   "disabled": ((232, 232, 230), (226, 226, 224)),
                   "focused": ((252, 253, 250), (206, 214, 200)),
                   "hot": ((255, 255, 255), (224, 236, 216))}[style]
    light, shade = (255, 255, 255), (150, 162, 146)
    if style == "pressed":
        light, shade = shade, (236, 240, 232)
    elif style == "disabled":
        light = shade = None
    elif style == "focused":
        light = shade = (140, 180, 235)

    pixels = []
    for y in range(SIZE):
        row = []
        for x in range(SIZE):
            dx = min(x, SIZE - 1 - x)
            dy = min(y, SIZE - 1 - y)
            if outside_round_corner(dx, dy, radius):
                row.append(MAGENTA)
            elif on_round_outline(dx, dy, radius):
                row.append(outline)
            elif light is not None and on_round_outline(dx - 1, dy - 1, radius - 1):
                # The bevel: light on the top and left, shade on the bottom and right.
                # A pixel belongs to its nearest side; the diagonals of the two mixed corners shade.
                right, low = x > SIZE - 1 - x, y > SIZE - 1 - y
                lit = not low if dy < dx else not right if dx < dy else not (right or low)
                row.append(light if lit else shade)
            else:
                row.append(mix(top, bottom, (y - 2) / (SIZE - 5)))
        pixels.append(row)
    return pixels


def port_frame(style):
    """A dark button with a one-pixel outline and cut corners, a vertical gradient inside."""
    outline = {"normal": (16, 40, 24), "pressed": (8, 24, 12), "disabled": (96, 104, 98),
               "focused": (255, 220, 64), "hot": (16, 40, 24), "hot pressed": (8, 24, 12)}[style]
    top, bottom = {"normal": ((70, 130, 90), (20, 64, 36)),
                   "pressed": ((16, 52, 28), (48, 100, 66)),
                   "disabled": ((128, 136, 130), (112, 120, 114)),
                   "focused": ((70, 130, 90), (20, 64, 36)),
                   "hot": ((92, 156, 112), (30, 84, 50)),
                   "hot pressed": ((24, 68, 40), (60, 120, 80))}[style]
    pixels = []
    for y in range(SIZE):
        row = []
        for x in range(SIZE):
            edgeX, edgeY = x in (0, SIZE - 1), y in (0, SIZE - 1)
            if edgeX and edgeY:
                row.append(MAGENTA)
            elif edgeX or edgeY:
                row.append(outline)
            else:
                row.append(mix(top, bottom, (y - 1) / (SIZE - 3)))
        pixels.append(row)
    return pixels


def strip(frames):
    """Places the frames side by side."""
    return [sum((frame[y] for frame in frames), []) for y in range(SIZE)]


def write_png(path, pixels):
    """Writes 8-bit RGB rows as a PNG file (filter type 0 on every row)."""
    height, width = len(pixels), len(pixels[0])
    raw = b"".join(b"\x00" + bytes(c for pixel in row for c in pixel) for row in pixels)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(chunk(b"IHDR", header))
        out.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        out.write(chunk(b"IEND", b""))


def main():
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "ui", "resources")
    os.makedirs(folder, exist_ok=True)
    common = [common_frame(s) for s in ("normal", "pressed", "disabled", "focused", "hot")]
    port = [port_frame(s) for s in ("normal", "pressed", "disabled", "focused", "hot", "hot pressed")]
    write_png(os.path.join(folder, "button_strip_common.png"), strip(common))
    write_png(os.path.join(folder, "button_strip_port.png"), strip(port))


if __name__ == "__main__":
    main()
