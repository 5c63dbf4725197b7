#!/usr/bin/env python3
"""Draws the program's artwork: the program icon, the four tray animation
frames and the splash picture.

    gen_artwork.py [OUTPUT_DIR]        (default: resources/art beside this tool)

Writes program.ico, tray1.ico .. tray4.ico and splash.bmp. Each icon holds
48, 32 and 16 pixel images at 8 bits per pixel (palette, AND mask for
transparency) and at 32 bits per pixel (BGRA with alpha). The splash picture
is a 382 x 192 bitmap at 24 bits per pixel. Only the standard library is
used and the output is the same byte for byte on every run, so the files can
be remade and compared.
"""
import math
import struct
import sys
from pathlib import Path

ICON_SIZES = (48, 32, 16)
SPLASH_WIDTH, SPLASH_HEIGHT = 382, 192

# Colours (r, g, b).
NAVY = (14, 42, 71)
BLUE = (27, 92, 150)
LIGHT_BLUE = (110, 176, 232)
WHITE = (255, 255, 255)
ORANGE = (245, 150, 30)
DIM_RING = (70, 110, 150)
GREY = (190, 204, 218)


# ------------------------------------------------------------- shapes ----
# A shape is a function of (x, y) giving True inside. Icon shapes work in a
# unit square (0..1 across and down); the splash works in pixels.

def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r_outer, r_inner):
    return lambda x, y: r_inner * r_inner <= (x - cx) ** 2 + (y - cy) ** 2 <= r_outer * r_outer


def arc(cx, cy, r_outer, r_inner, start_deg, span_deg):
    """Part of a ring, from start_deg clockwise over span_deg (0 = up)."""
    inside_ring = ring(cx, cy, r_outer, r_inner)

    def inside(x, y):
        if not inside_ring(x, y):
            return False
        angle = math.degrees(math.atan2(x - cx, cy - y)) % 360.0
        return (angle - start_deg) % 360.0 <= span_deg
    return inside


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x <= x1 and y0 <= y <= y1


def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        dx = max(x0 + r - x, 0.0, x - (x1 - r))
        dy = max(y0 + r - y, 0.0, y - (y1 - r))
        return dx * dx + dy * dy <= r * r
    return inside


def triangle(ax, ay, bx, by, cx, cy):
    def edge(px, py, qx, qy, x, y):
        return (qx - px) * (y - py) - (qy - py) * (x - px)

    def inside(x, y):
        d1 = edge(ax, ay, bx, by, x, y)
        d2 = edge(bx, by, cx, cy, x, y)
        d3 = edge(cx, cy, ax, ay, x, y)
        negative = d1 < 0 or d2 < 0 or d3 < 0
        positive = d1 > 0 or d2 > 0 or d3 > 0
        return not (negative and positive)
    return inside


def union(*shapes):
    return lambda x, y: any(s(x, y) for s in shapes)


def up_arrow(cx, top, bottom, half_width):
    """An upward arrow: a head and a stem, centred on cx."""
    head_bottom = top + (bottom - top) * 0.5
    head = triangle(cx, top, cx + half_width, head_bottom, cx - half_width, head_bottom)
    stem = rect(cx - half_width * 0.38, head_bottom - 0.001, cx + half_width * 0.38, bottom)
    return union(head, stem)


# ---------------------------------------------------------- rendering ----

def render(width, height, layers, scale_x, scale_y, samples, background=None):
    """Paints the layers (shape, (r, g, b)) in order, later ones on top, with
    samples x samples points per pixel. Gives rows of (r, g, b, a) with a
    straight (not premultiplied) alpha; with a background colour every pixel
    is opaque."""
    rows = []
    step = 1.0 / samples
    offsets = [(i + 0.5) * step for i in range(samples)]
    count = samples * samples
    for py in range(height):
        row = []
        for px in range(width):
            r_sum = g_sum = b_sum = covered = 0
            for oy in offsets:
                y = (py + oy) * scale_y
                for ox in offsets:
                    x = (px + ox) * scale_x
                    colour = background
                    for shape, fill in layers:
                        if shape(x, y):
                            colour = fill
                    if colour is not None:
                        r_sum += colour[0]
                        g_sum += colour[1]
                        b_sum += colour[2]
                        covered += 1
            if covered == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((round(r_sum / covered), round(g_sum / covered), round(b_sum / covered),
                            round(255 * covered / count)))
        rows.append(row)
    return rows


# ------------------------------------------------------------ artwork ----

def emblem_layers():
    """The program's mark: an upward arrow over a unit, on a rounded tile."""
    return [
        (rounded_rect(0.04, 0.04, 0.96, 0.96, 0.2), BLUE),
        (rounded_rect(0.08, 0.08, 0.92, 0.50, 0.16), (39, 112, 176)),
        (up_arrow(0.5, 0.12, 0.66, 0.27), WHITE),
        (rounded_rect(0.18, 0.72, 0.82, 0.88, 0.05), LIGHT_BLUE),
        (rect(0.26, 0.775, 0.34, 0.825), NAVY),
        (rect(0.40, 0.775, 0.48, 0.825), NAVY),
        (circle(0.72, 0.80, 0.04), ORANGE),
    ]


def tray_layers(frame):
    """Animation frame 1..4: a ring whose bright quarter steps round by a
    quarter turn each frame, with the arrow in the middle."""
    start = (frame - 1) * 90.0 - 45.0
    return [
        (circle(0.5, 0.5, 0.48), NAVY),
        (ring(0.5, 0.5, 0.46, 0.33), DIM_RING),
        (arc(0.5, 0.5, 0.48, 0.31, start, 90.0), ORANGE),
        (up_arrow(0.5, 0.22, 0.76, 0.2), WHITE),
    ]


def draw_icon(layers, size):
    return render(size, size, layers, 1.0 / size, 1.0 / size, 4)


# A 5 x 7 pixel font of our own, enough for the splash texts.
FONT = {
    "A": ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    "B": ["11110", "10001", "10001", "11110", "10001", "10001", "11110"],
    "C": ["01111", "10000", "10000", "10000", "10000", "10000", "01111"],
    "D": ["11110", "10001", "10001", "10001", "10001", "10001", "11110"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    "F": ["11111", "10000", "10000", "11110", "10000", "10000", "10000"],
    "I": ["11111", "00100", "00100", "00100", "00100", "00100", "11111"],
    "L": ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    "M": ["10001", "11011", "10101", "10101", "10001", "10001", "10001"],
    "N": ["10001", "11001", "10101", "10011", "10001", "10001", "10001"],
    "O": ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    "P": ["11110", "10001", "10001", "11110", "10000", "10000", "10000"],
    "Q": ["01110", "10001", "10001", "10001", "10101", "10010", "01101"],
    "R": ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    "S": ["01111", "10000", "10000", "01110", "00001", "00001", "11110"],
    "T": ["11111", "00100", "00100", "00100", "00100", "00100", "00100"],
    "U": ["10001", "10001", "10001", "10001", "10001", "10001", "01110"],
    "V": ["10001", "10001", "10001", "10001", "10001", "01010", "00100"],
    "W": ["10001", "10001", "10001", "10101", "10101", "10101", "01010"],
    "3": ["11110", "00001", "00001", "01110", "00001", "00001", "11110"],
    "5": ["11111", "10000", "11110", "00001", "00001", "10001", "01110"],
    " ": ["00000"] * 7,
}


def text_shape(text, left, top, scale):
    """The text in the pixel font, each font pixel a scale x scale square.
    Gives the shape and the width it takes."""
    advance = 6 * scale
    cells = set()
    for index, char in enumerate(text):
        for gy, line in enumerate(FONT[char]):
            for gx, bit in enumerate(line):
                if bit == "1":
                    cells.add((index * 6 + gx, gy))

    def inside(x, y):
        if x < left or y < top:
            return False
        return (int((x - left) // scale), int((y - top) // scale)) in cells
    return inside, len(text) * advance - scale


def splash_layers():
    w, h = SPLASH_WIDTH, SPLASH_HEIGHT
    layers = []
    # A soft diagonal band across the dark background.
    layers.append((lambda x, y: 0.0 < (x * 0.45 - y + 150) < 70, (19, 53, 88)))
    # The mark on the left, drawn large.
    ex, ey, es = 22, 36, 120
    for shape, fill in emblem_layers():
        layers.append(((lambda s: lambda x, y: s((x - ex) / es, (y - ey) / es))(shape), fill))
    # The product name, an accent rule and the program's purpose.
    name, name_width = text_shape("TQ35B", 168, 44, 6)
    layers.append((name, WHITE))
    layers.append((rect(168, 100, 168 + 190, 103), ORANGE))
    title, _ = text_shape("FIRMWARE UPDATER", 168, 114, 2)
    layers.append((title, LIGHT_BLUE))
    maker, maker_width = text_shape("VARNO ELECTRONICS", 0, 0, 1)
    layers.append(((lambda s, dx, dy: lambda x, y: s(x - dx, y - dy))(maker, w - 14 - maker_width, h - 18),
                   GREY))
    # A thin frame just inside the edge.
    layers.append((lambda x, y: (3 <= x <= w - 3 and 3 <= y <= h - 3) and not
                   (4 <= x <= w - 4 and 4 <= y <= h - 4), (52, 96, 140)))
    del name_width
    return layers


def draw_splash():
    return render(SPLASH_WIDTH, SPLASH_HEIGHT, splash_layers(), 1.0, 1.0, 2, background=NAVY)


# --------------------------------------------------------- file formats ----

def bitmap_info_header(width, height, bits, image_size, colours_used=0):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, image_size, 0, 0, colours_used, 0)


def row_padding(length):
    return b"\0" * ((4 - length % 4) % 4)


def and_mask(pixels):
    """1 bit per pixel, bottom row first, rows padded to 32 bits; a set bit
    lets the screen show through."""
    out = bytearray()
    for row in reversed(pixels):
        bits = bytearray((len(row) + 7) // 8)
        for x, pixel in enumerate(row):
            if pixel[3] < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += bits + row_padding(len(bits))
    return bytes(out)


def icon_image_32(pixels):
    size = len(pixels)
    xor = bytearray()
    for row in reversed(pixels):
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask = and_mask(pixels)
    return bitmap_info_header(size, size * 2, 32, len(xor) + len(mask)) + bytes(xor) + mask


def palette_for(pixels):
    """The colours of the opaque pixels, cut to fewer bits per channel until
    at most 255 remain; entry 0 is black for the transparent pixels."""
    for bits in range(8, 0, -1):
        drop = 8 - bits

        def reduce(c, drop=drop):
            if drop == 0:
                return c
            return tuple(min(255, ((v >> drop) << drop) + (1 << (drop - 1))) for v in c)
        colours = sorted({reduce(p[:3]) for row in pixels for p in row if p[3] >= 128})
        if len(colours) <= 255:
            return [(0, 0, 0)] + colours, reduce
    raise ValueError("no palette")


def icon_image_8(pixels):
    size = len(pixels)
    palette, reduce = palette_for(pixels)
    index_of = {colour: i for i, colour in enumerate(palette)}
    xor = bytearray()
    for row in reversed(pixels):
        line = bytes(index_of[reduce(p[:3])] if p[3] >= 128 else 0 for p in row)
        xor += line + row_padding(len(line))
    table = bytearray()
    for r, g, b in palette + [(0, 0, 0)] * (256 - len(palette)):
        table += bytes((b, g, r, 0))
    mask = and_mask(pixels)
    return bitmap_info_header(size, size * 2, 8, len(xor) + len(mask), 256) + bytes(table) + bytes(xor) + mask


def icon_file(layers):
    images = []
    for bits in (8, 32):
        for size in ICON_SIZES:
            pixels = draw_icon(layers, size)
            data = icon_image_8(pixels) if bits == 8 else icon_image_32(pixels)
            images.append((size, bits, data))
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    directory = bytearray()
    body = bytearray()
    for size, bits, data in images:
        directory += struct.pack("<BBBBHHII", size, size, 0, 0, 1, bits, len(data), offset + len(body))
        body += data
    return header + bytes(directory) + bytes(body)


def bmp_file(pixels):
    height, width = len(pixels), len(pixels[0])
    data = bytearray()
    for row in reversed(pixels):
        line = bytearray()
        for r, g, b, _ in row:
            line += bytes((b, g, r))
        data += line + row_padding(len(line))
    info = bitmap_info_header(width, height, 24, len(data))
    file_header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(data), 0, 0, 14 + len(info))
    return file_header + info + bytes(data)


def main():
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "resources" / "art"
    out.mkdir(parents=True, exist_ok=True)
    (out / "program.ico").write_bytes(icon_file(emblem_layers()))
    for frame in range(1, 5):
        (out / ("tray%d.ico" % frame)).write_bytes(icon_file(tray_layers(frame)))
    (out / "splash.bmp").write_bytes(bmp_file(draw_splash()))


if __name__ == "__main__":
    main()
