#!/usr/bin/env python3
"""Draws the program's icons into resources/icons/ as PNG files (standard library only).

icon128.png / icon128-256.png: the program icon (a monitor showing a picture, an arrow into it).
icon129.png .. icon132.png: the four frames of the transfer animation (a picture card, an arrow
and a frame memory; a bright pulse travels along the arrow). The progress window shows them in
the order 132, 130, 131, 129, so the pulse positions are assigned to follow that order.

The program icon also goes to the desktop's icon theme: packaging/icons/hicolor/ holds it at
16, 32, 48, 64, 128 and 256 pixels and as a scalable SVG drawn from the same shapes.

Run once after changing a drawing; the PNG and SVG files are committed.
"""
import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "icons")
THEME = os.path.join(HERE, os.pardir, "packaging", "icons", "hicolor")
THEME_SIZES = (16, 32, 48, 64, 128, 256)


def write_png(path, size, pixels):
    rows = b"".join(b"\x00" + bytes(pixels[y * size * 4:(y + 1) * size * 4]) for y in range(size))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
                + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


class Canvas:
    """Shapes in a 32 x 32 design space, rendered at any size with 4 x 4 supersampling."""

    def __init__(self, size, samples=4):
        self.size = size
        self.samples = samples
        self.shapes = []
        self.svg = []  # the same shapes as SVG elements, in drawing order

    def paint(self, colour):
        text = 'fill="#%02x%02x%02x"' % colour[:3]
        if colour[3] != 255:
            text += ' fill-opacity="%.3f"' % (colour[3] / 255.0)
        return text

    def add(self, inside, colour):
        self.shapes.append((inside, colour))

    def rect(self, x0, y0, x1, y1, colour, radius=0.0):
        def inside(x, y):
            if x < x0 or x > x1 or y < y0 or y > y1:
                return False
            if radius <= 0:
                return True
            cx = min(max(x, x0 + radius), x1 - radius)
            cy = min(max(y, y0 + radius), y1 - radius)
            return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius
        self.add(inside, colour)
        corner = ' rx="%g"' % radius if radius > 0 else ""
        self.svg.append('<rect x="%g" y="%g" width="%g" height="%g"%s %s/>'
                        % (x0, y0, x1 - x0, y1 - y0, corner, self.paint(colour)))

    def circle(self, cx, cy, r, colour):
        self.add(lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r, colour)
        self.svg.append('<circle cx="%g" cy="%g" r="%g" %s/>' % (cx, cy, r, self.paint(colour)))

    def polygon(self, points, colour):
        def inside(x, y):
            result = False
            j = len(points) - 1
            for i in range(len(points)):
                xi, yi = points[i]
                xj, yj = points[j]
                if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                    result = not result
                j = i
            return result
        self.add(inside, colour)
        self.svg.append('<polygon points="%s" %s/>'
                        % (" ".join("%g,%g" % point for point in points), self.paint(colour)))

    def svg_document(self):
        return ('<?xml version="1.0" encoding="UTF-8"?>\n'
                '<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" '
                'viewBox="0 0 32 32">\n' + "".join("  %s\n" % e for e in self.svg) + "</svg>\n")

    def render(self):
        n = self.samples
        scale = 32.0 / self.size
        out = bytearray(self.size * self.size * 4)
        for py in range(self.size):
            for px in range(self.size):
                acc = [0.0, 0.0, 0.0, 0.0]
                for sy in range(n):
                    for sx in range(n):
                        x = (px + (sx + 0.5) / n) * scale
                        y = (py + (sy + 0.5) / n) * scale
                        colour = None
                        for inside, c in self.shapes:
                            if inside(x, y):
                                colour = c
                        if colour is not None:
                            a = colour[3] / 255.0
                            acc[0] += colour[0] * a
                            acc[1] += colour[1] * a
                            acc[2] += colour[2] * a
                            acc[3] += a
                o = (py * self.size + px) * 4
                if acc[3] > 0:
                    out[o:o + 4] = bytes([round(acc[0] / acc[3]), round(acc[1] / acc[3]),
                                          round(acc[2] / acc[3]), round(255 * acc[3] / (n * n))])
        return out


NAVY = (22, 38, 74, 255)
BEZEL = (52, 64, 92, 255)
SKY = (92, 160, 226, 255)
SUN = (255, 208, 64, 255)
HILL = (54, 148, 84, 255)
HILL2 = (36, 112, 64, 255)
WHITE = (255, 255, 255, 255)
RED = (226, 48, 48, 255)
GREY = (150, 158, 170, 255)
CHIP = (40, 44, 52, 255)
PIN = (190, 196, 204, 255)
AMBER = (255, 176, 32, 255)
DIM = (120, 128, 140, 255)


def picture(c, x0, y0, x1, y1):
    c.rect(x0, y0, x1, y1, SKY)
    c.circle(x0 + (x1 - x0) * 0.72, y0 + (y1 - y0) * 0.3, (y1 - y0) * 0.16, SUN)
    c.polygon([(x0, y1), (x0 + (x1 - x0) * 0.35, y0 + (y1 - y0) * 0.45),
               (x0 + (x1 - x0) * 0.7, y1)], HILL2)
    c.polygon([(x0 + (x1 - x0) * 0.3, y1), (x0 + (x1 - x0) * 0.68, y0 + (y1 - y0) * 0.58),
               (x1, y0 + (y1 - y0) * 0.8), (x1, y1)], HILL)


def program_icon(size):
    return program_canvas(size).render()


def program_canvas(size):
    c = Canvas(size)
    c.rect(1, 4, 31, 25, BEZEL, radius=2.5)      # monitor bezel
    c.rect(3, 6, 29, 23, NAVY)
    picture(c, 4, 7, 28, 22)
    c.rect(13, 25, 19, 28, BEZEL)                 # stand
    c.rect(8, 28, 24, 30.5, BEZEL, radius=1.2)
    c.circle(26.5, 8.5, 2.2, RED)                 # tally light: on air
    c.polygon([(6, 14), (13, 14), (13, 11), (19, 16.5), (13, 22), (13, 19), (6, 19)],
              (255, 255, 255, 230))               # the picture goes in
    return c


def transfer_frame(step):
    c = Canvas(32)
    c.rect(1, 8, 12, 20, NAVY, radius=1)          # picture card
    picture(c, 2, 9, 11, 19)
    # frame memory: a chip with pins
    for i in range(4):
        c.rect(22 + i * 2.4, 5, 23.2 + i * 2.4, 27, PIN)
    c.rect(20, 8, 31, 24, CHIP, radius=1)
    c.rect(22, 10, 29, 13, DIM)
    c.rect(22, 15, 29, 18, DIM)
    c.rect(22, 20, 29, 22, DIM)
    # arrow track
    c.rect(12.5, 13, 17, 15, GREY)
    c.polygon([(16.5, 10.5), (20, 14), (16.5, 17.5)], GREY)
    # pulse travelling along the arrow, lighting a memory row when it arrives
    x = [13.5, 15.5, 17.5, 19.5][step]
    c.circle(x, 14, 2.0, AMBER)
    if step == 3:
        c.rect(22, 10, 29, 13, AMBER)
    return c.render()


def main():
    os.makedirs(OUT, exist_ok=True)
    write_png(os.path.join(OUT, "icon128.png"), 32, program_icon(32))
    write_png(os.path.join(OUT, "icon128-256.png"), 256, program_icon(256))
    # Display order 132, 130, 131, 129 -> pulse positions 0, 1, 2, 3.
    for icon, step in ((132, 0), (130, 1), (131, 2), (129, 3)):
        write_png(os.path.join(OUT, "icon%d.png" % icon), 32, transfer_frame(step))
    for size in THEME_SIZES:
        folder = os.path.join(THEME, "%dx%d" % (size, size), "apps")
        os.makedirs(folder, exist_ok=True)
        write_png(os.path.join(folder, "imgcast.png"), size, program_icon(size))
    folder = os.path.join(THEME, "scalable", "apps")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "imgcast.svg"), "w") as f:
        f.write(program_canvas(32).svg_document())


if __name__ == "__main__":
    main()
