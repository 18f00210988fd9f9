#!/usr/bin/env python3
"""Draws the corgi artwork as pixel art and writes the PNG resources beside this script.

Shapes are filled on a small grid, then every empty cell that touches the dog becomes
outline, and the grid is scaled up without smoothing. The menu-bar face is also the
application icon: an SVG of the same cells plus the usual hicolor PNG sizes under icons/.
Run it again after changing a shape:
    python3 resources/draw-corgi.py
"""
import os
import struct
import zlib

APP_ID = "org.quotameter.Quotameter"  # the icon's name, as the desktop entry names it

COLOURS = {
    "O": (59, 35, 20, 255),     # outline
    "R": (226, 138, 60, 255),   # red-fawn coat
    "D": (190, 104, 42, 255),   # coat in shade
    "W": (255, 247, 234, 255),  # white markings
    "K": (28, 20, 16, 255),     # eye, nose
    "P": (240, 140, 150, 255),  # tongue, inner ear
}


class Grid:
    def __init__(self, width, height):
        self.width, self.height = width, height
        self.cells = [["." for _ in range(width)] for _ in range(height)]

    def put(self, x, y, colour):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.cells[y][x] = colour

    def ellipse(self, cx, cy, rx, ry, colour, only=None):
        for y in range(self.height):
            for x in range(self.width):
                if ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1.0:
                    if only is None or self.cells[y][x] in only:
                        self.put(x, y, colour)

    def rect(self, x0, y0, x1, y1, colour):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.put(x, y, colour)

    def triangle(self, a, b, c, colour):
        def side(p, q, r):
            return (p[0] - r[0]) * (q[1] - r[1]) - (q[0] - r[0]) * (p[1] - r[1])

        for y in range(self.height):
            for x in range(self.width):
                p = (x + 0.5, y + 0.5)
                d1, d2, d3 = side(p, a, b), side(p, b, c), side(p, c, a)
                if not ((d1 < 0 or d2 < 0 or d3 < 0) and (d1 > 0 or d2 > 0 or d3 > 0)):
                    self.put(x, y, colour)

    def outline(self):
        marks = []
        for y in range(self.height):
            for x in range(self.width):
                if self.cells[y][x] != ".":
                    continue
                for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)):
                    nx, ny = x + dx, y + dy
                    if 0 <= nx < self.width and 0 <= ny < self.height:
                        if self.cells[ny][nx] not in ".O":
                            marks.append((x, y))
                            break
        for x, y in marks:
            self.cells[y][x] = "O"


def write_png(path, grid, scale):
    width, height = grid.width * scale, grid.height * scale
    raw = bytearray()
    for y in range(height):
        raw.append(0)
        for x in range(width):
            c = grid.cells[y // scale][x // scale]
            raw.extend(COLOURS.get(c, (0, 0, 0, 0)))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def write_svg(path, grid):
    """One square per filled cell, runs of a colour on a row merged into one rectangle."""
    rects = []
    for y in range(grid.height):
        x = 0
        while x < grid.width:
            c = grid.cells[y][x]
            end = x
            while end + 1 < grid.width and grid.cells[y][end + 1] == c:
                end += 1
            if c in COLOURS:
                r, g, b, _ = COLOURS[c]
                rects.append(f'  <rect x="{x}" y="{y}" width="{end - x + 1}" height="1" '
                             f'fill="#{r:02x}{g:02x}{b:02x}"/>')
            x = end + 1
    svg = (f'<svg xmlns="http://www.w3.org/2000/svg" width="{grid.width * 16}" '
           f'height="{grid.height * 16}" viewBox="0 0 {grid.width} {grid.height}" '
           f'shape-rendering="crispEdges">\n' + "\n".join(rects) + "\n</svg>\n")
    with open(path, "w") as f:
        f.write(svg)


def head(g, cx, cy, tongue, blink):
    """A head facing right, centred at (cx, cy)."""
    g.triangle((cx - 3, cy - 1), (cx - 1.5, cy - 6.5), (cx + 0.5, cy - 2), "R")
    g.triangle((cx - 0.5, cy - 2), (cx + 1.5, cy - 7), (cx + 3, cy - 1.5), "R")
    g.triangle((cx + 0.5, cy - 2.5), (cx + 1.5, cy - 5.5), (cx + 2.2, cy - 2), "P")
    g.ellipse(cx, cy, 3.6, 3.1, "R")
    g.ellipse(cx + 3.6, cy + 1.6, 2.4, 1.6, "W")   # muzzle
    g.rect(int(cx + 1), int(cy - 2), int(cx + 1), int(cy), "W")  # blaze
    g.put(int(cx + 6), int(cy + 1), "K")            # nose
    if blink:
        g.put(int(cx), int(cy), "K")
        g.put(int(cx - 1), int(cy), "K")
    else:
        g.put(int(cx), int(cy - 1), "K")
        g.put(int(cx), int(cy), "K")
    if tongue:
        g.put(int(cx + 4), int(cy + 3), "P")
        g.put(int(cx + 4), int(cy + 4), "P")


def running(frame):
    g = Grid(30, 22)
    lift = 1 if frame in (1, 3) else 0
    # Legs first, so the body overlaps their tops. (front x, back x) offsets per frame.
    strides = [(1, -1), (0, 0), (-1, 1), (0, 0)]
    front, back = strides[frame]
    for x, shift in ((18, front), (21, -front), (5, back), (8, -back)):
        top, bottom = 14 - lift, 19 - lift + (0 if shift == 0 else 0)
        g.rect(x, top, x + 1, bottom - 1, "R")
        g.rect(x + shift, bottom - 1, x + 1 + shift, bottom, "W")
    cy = 11 - lift
    g.ellipse(13, cy, 10, 4.2, "R")                       # body
    g.ellipse(13, cy - 2.5, 8, 1.4, "D", only="R")         # shade along the back
    g.ellipse(13, cy + 3.2, 7, 1.8, "W", only="R")         # belly
    g.ellipse(21, cy + 1, 2.6, 3.2, "W")                   # chest
    g.ellipse(3.2, cy - 1, 1.6, 1.6, "R")                  # tail stub
    head(g, 23, 6 - lift, tongue=True, blink=False)
    g.outline()
    return g


def sitting(frame):
    g = Grid(30, 22)
    g.ellipse(12, 16, 6.5, 4.2, "R")                       # haunch
    g.ellipse(10, 14.5, 4, 1.5, "D", only="R")
    g.rect(7, 19, 11, 20, "W")                             # back paw
    g.ellipse(17, 12, 4.2, 5.5, "R")                       # torso
    g.ellipse(19, 13, 2.6, 4.2, "W")                       # chest
    g.rect(16, 15, 17, 19, "R")                            # front legs
    g.rect(19, 15, 20, 19, "R")
    g.rect(16, 19, 17, 20, "W")
    g.rect(19, 19, 20, 20, "W")
    wag = 12 if frame in (0, 2) else 11
    g.ellipse(5, wag, 1.6, 1.6, "R")                       # tail stub, wagging
    head(g, 19, 6, tongue=frame in (1, 3), blink=frame == 2)
    g.outline()
    return g


def menubar_icon():
    """A corgi face seen from the front."""
    g = Grid(16, 16)
    g.triangle((1, 8), (2, 0), (7, 5), "R")
    g.triangle((9, 5), (14, 0), (15, 8), "R")
    g.triangle((3, 6), (3.2, 2.5), (6, 5), "P")
    g.triangle((10, 5), (12.8, 2.5), (13, 6), "P")
    g.ellipse(7.5, 9.5, 6.2, 5.2, "R")
    g.ellipse(7.5, 12.2, 3.8, 2.6, "W")
    g.rect(7, 5, 8, 11, "W")
    g.put(5, 9, "K")
    g.put(10, 9, "K")
    g.rect(7, 11, 8, 11, "K")
    g.outline()
    return g


def main():
    here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "artwork")
    os.makedirs(here, exist_ok=True)
    for i in range(4):
        write_png(os.path.join(here, f"corgi_run{i + 1}.png"), running(i), 5)
        write_png(os.path.join(here, f"corgi_sitting{i + 1}.png"), sitting(i), 5)
    write_png(os.path.join(here, "menubar-corgi.png"), menubar_icon(), 4)

    icons = os.path.join(os.path.dirname(os.path.abspath(__file__)), "icons", "hicolor")
    face = menubar_icon()
    for size in (16, 32, 48, 64, 128, 256):  # whole multiples of the 16-cell grid
        folder = os.path.join(icons, f"{size}x{size}", "apps")
        os.makedirs(folder, exist_ok=True)
        write_png(os.path.join(folder, f"{APP_ID}.png"), face, size // face.width)
    folder = os.path.join(icons, "scalable", "apps")
    os.makedirs(folder, exist_ok=True)
    write_svg(os.path.join(folder, f"{APP_ID}.svg"), face)


if __name__ == "__main__":
    main()
