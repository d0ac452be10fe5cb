#!/usr/bin/env python3
"""Writes the viewer's artwork into res/ (or the directory given as argument):

  parts.bmp       64 x 64, 8 bits per pixel: chips, ruler pieces, digits (bitmap 105)
  background.bmp  432 x 320, 4 bits per pixel: lane borders, judgement lines, labels (bitmap 107)
  KTBViewer.ico   32 x 32, 16 colours, with AND mask (icon 108)
  KTBViewer.rc    the resource script numbering the three

Standard library only; the BMP and ICO bytes are written by hand.  Layout and
colours come from artwork_spec.py.
"""

import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import artwork_spec as A  # noqa: E402


# --- pixel canvas -------------------------------------------------------------

class Canvas:
    """Palette-index pixels, row 0 at the top."""

    def __init__(self, width, height, fill=0):
        self.width = width
        self.height = height
        self.pixels = [[fill] * width for _ in range(height)]

    def set(self, x, y, index):
        self.pixels[y][x] = index

    def get(self, x, y):
        return self.pixels[y][x]

    def fill_rect(self, left, top, right, bottom, index):
        """Right and bottom exclusive."""
        for y in range(top, bottom):
            for x in range(left, right):
                self.pixels[y][x] = index

    def glyph(self, x, y, rows, index):
        for dy, row in enumerate(rows):
            for dx, ch in enumerate(row):
                if ch == "#":
                    self.pixels[y + dy][x + dx] = index


# --- file formats --------------------------------------------------------------

def _rgbquads(palette, count):
    entries = list(palette) + [(0, 0, 0)] * (count - len(palette))
    return b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in entries)


def _pack_rows(canvas, bits):
    """Bottom-up rows, each padded to a multiple of 4 bytes."""
    out = bytearray()
    for y in range(canvas.height - 1, -1, -1):
        row = canvas.pixels[y]
        line = bytearray()
        if bits == 8:
            line.extend(row)
        elif bits == 4:
            for x in range(0, canvas.width, 2):
                hi = row[x]
                lo = row[x + 1] if x + 1 < canvas.width else 0
                line.append((hi << 4) | lo)
        elif bits == 1:
            for x in range(0, canvas.width, 8):
                byte = 0
                for bit in range(8):
                    if x + bit < canvas.width and row[x + bit]:
                        byte |= 0x80 >> bit
                line.append(byte)
        else:
            raise ValueError(bits)
        while len(line) % 4:
            line.append(0)
        out.extend(line)
    return bytes(out)


def _info_header(width, height, bits, image_size, colours):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0,
                       image_size, 2835, 2835, colours, 0)


def bmp_bytes(canvas, palette, bits):
    colours = 1 << bits
    assert len(palette) <= colours
    for row in canvas.pixels:
        assert max(row) < len(palette)
    image = _pack_rows(canvas, bits)
    info = _info_header(canvas.width, canvas.height, bits, len(image), colours)
    quads = _rgbquads(palette, colours)
    offset = 14 + len(info) + len(quads)
    header = struct.pack("<2sIHHI", b"BM", offset + len(image), 0, 0, offset)
    return header + info + quads + image


def ico_bytes(canvas, mask, palette):
    """One 4-bit image; `mask` is a canvas of 0 (opaque) / 1 (transparent)."""
    xor = _pack_rows(canvas, 4)
    andm = _pack_rows(mask, 1)
    info = _info_header(canvas.width, canvas.height * 2, 4, len(xor) + len(andm), 0)
    image = info + _rgbquads(palette, 16) + xor + andm
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", canvas.width, canvas.height, 16, 0, 1, 4,
                        len(image), 6 + 16)
    return directory + entry + image


# --- parts sheet ---------------------------------------------------------------

def draw_parts():
    palette = A.PARTS_PALETTE
    index = {rgb: i for i, rgb in enumerate(palette)}
    assert palette.count(A.KEY_BLACK) == 1 and palette[0] == A.KEY_BLACK
    sheet = Canvas(*A.PARTS_SIZE, fill=0)
    owner = [[None] * sheet.width for _ in range(sheet.height)]

    def put(x, y, rgb, name):
        # Parts may overlap only where they agree (the 1-row string measure
        # line is the white row of the drum measure line).
        value = index[rgb]
        if owner[y][x] is not None and sheet.get(x, y) != value:
            raise AssertionError("%s clashes with %s at %d,%d" % (name, owner[y][x], x, y))
        sheet.set(x, y, value)
        owner[y][x] = name

    for p in A.PARTS:
        for y in range(p.top, p.bottom):
            for x in range(p.left, p.right):
                if p.kind == "chip":
                    edge = x in (p.left, p.right - 1) or y in (p.top, p.bottom - 1)
                    put(x, y, A.CHIP_GREY if edge else p.fill, p.name)
                elif p.kind == "ruler":
                    put(x, y, p.fill if y == p.bottom - 1 else A.KEY_BLACK, p.name)
                elif p.kind == "digit":
                    rows = A.DIGIT_FONT[p.name[-1]]
                    gx, gy = x - p.left, y - p.top
                    lit = gy < len(rows) and gx < len(rows[gy]) and rows[gy][gx] == "#"
                    put(x, y, A.WHITE if lit else p.fill, p.name)
                else:
                    raise ValueError(p.kind)
    return sheet, palette


# --- background ----------------------------------------------------------------

def draw_background():
    palette = A.BACKGROUND_PALETTE
    index = {rgb: i for i, rgb in enumerate(palette)}
    bg = Canvas(*A.BACKGROUND_SIZE, fill=index[A.NEAR_BLACK])

    for (x0, x1, y0, y1) in A.JUDGE_LINES:
        bg.fill_rect(x0, y0, x1 + 1, y1 + 1, index[A.JUDGE_GREEN])

    gw = A.LABEL_GLYPH_SIZE[0]
    for n, label in enumerate(A.SOUND_LABELS):
        gap_left = A.SOUND_BORDERS[n] + 1
        gap = A.SOUND_BORDERS[n + 1] - gap_left
        width = len(label) * gw + (len(label) - 1)
        x = gap_left + (gap - width + 1) // 2
        for ch in label:
            bg.glyph(x, A.LABEL_TOP, A.LABEL_FONT[ch], index[A.WHITE])
            x += gw + 1
        assert x - 1 <= A.SOUND_BORDERS[n + 1]

    # Borders last: they run over the full height, across the judgement lines.
    for x in A.BORDER_XS:
        bg.fill_rect(x, 0, x + 1, bg.height, index[A.BORDER_GREY])
    return bg, palette


# --- icon ----------------------------------------------------------------------

ICON_PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, MAROON, OLIVE, SILVER, GREY, RED, YELLOW, WHITE = 0, 1, 3, 7, 8, 9, 11, 15
TRANSPARENT = None


def draw_icon():
    """A red snare drum with a white head, silver hoops and gold lacing, two
    crossed sticks resting on it and an eighth note above."""
    size = 32
    img = [[TRANSPARENT] * size for _ in range(size)]

    def plot(x, y, c):
        if 0 <= x < size and 0 <= y < size:
            img[y][x] = c

    cx, rx, ry = 16.0, 14.0, 3.5
    head_y, base_y = 16.5, 27.5

    def inside(x, y, cy):
        return ((x + 0.5 - cx) / rx) ** 2 + ((y + 0.5 - cy) / ry) ** 2 <= 1.0

    def shell(x, y):
        return (abs(x + 0.5 - cx) <= rx and head_y <= y + 0.5 <= base_y) or inside(x, y, base_y)

    for y in range(size):
        for x in range(size):
            if not shell(x, y):
                continue
            if not shell(x, y + 2):
                c = SILVER if shell(x, y + 1) else GREY             # bottom hoop
            elif inside(x, y, head_y + 1.5) and not inside(x, y, head_y):
                c = SILVER                                          # top hoop
            else:
                c = RED if x + 0.5 < cx + rx * 0.5 else MAROON      # shell, shaded
            plot(x, y, c)
    # Lacing: gold zigzag between the hoops.
    for x in range(3, 29):
        phase = (x - 3) % 8
        y = int(head_y + 5 + (phase if phase <= 4 else 8 - phase))
        if img[y][x] in (RED, MAROON):
            plot(x, y, YELLOW)
    # Head: white with a grey edge.
    for y in range(size):
        for x in range(size):
            if inside(x, y, head_y):
                edge = not (inside(x - 1, y, head_y) and inside(x + 1, y, head_y)
                            and inside(x, y - 1, head_y))
                plot(x, y, GREY if edge else WHITE)

    def stick(x0, y0, x1, y1):
        steps = max(abs(x1 - x0), abs(y1 - y0)) * 3
        for i in range(steps + 1):
            x = round(x0 + (x1 - x0) * i / steps)
            y = round(y0 + (y1 - y0) * i / steps)
            plot(x, y, OLIVE)
            plot(x, y + 1, OLIVE)
        plot(x1, y1 + 1, YELLOW)
    stick(1, 4, 20, 15)
    stick(30, 4, 11, 15)
    # Eighth note between the sticks.
    for (x, y) in ((14, 7), (15, 7), (13, 8), (14, 8), (15, 8), (16, 8),
                   (13, 9), (14, 9), (15, 9), (16, 9), (14, 10), (15, 10)):
        plot(x, y, BLACK)
    for y in range(0, 9):
        plot(17, y, BLACK)
    for (x, y) in ((18, 1), (19, 2), (20, 3), (20, 4), (19, 5)):
        plot(x, y, BLACK)

    canvas = Canvas(size, size)
    mask = Canvas(size, size)
    for y in range(size):
        for x in range(size):
            if img[y][x] is None:
                mask.set(x, y, 1)
            else:
                canvas.set(x, y, img[y][x])
    return canvas, mask


# --- resource script -------------------------------------------------------------

RC_TEXT = """\
// KTB Viewer resources, written by tools/make_artwork.py.
// File names are relative to this script's folder.

108 ICON "KTBViewer.ico"
105 BITMAP "parts.bmp"
107 BITMAP "background.bmp"
"""


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    out = argv[1] if len(argv) > 1 else os.path.join(here, "..", "res")
    os.makedirs(out, exist_ok=True)

    parts, parts_palette = draw_parts()
    background, bg_palette = draw_background()
    icon, icon_mask = draw_icon()

    files = {
        "parts.bmp": bmp_bytes(parts, parts_palette, 8),
        "background.bmp": bmp_bytes(background, bg_palette, 4),
        "KTBViewer.ico": ico_bytes(icon, icon_mask, ICON_PALETTE),
        "KTBViewer.rc": RC_TEXT.encode("ascii"),
    }
    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
        print("%-15s %6d bytes" % (name, len(data)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
