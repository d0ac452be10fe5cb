"""Geometry and colours of the viewer's artwork: the parts sheet (bitmap 105),
the background (bitmap 107) and the score positions that use them.

Data only. tools/make_artwork.py draws the bitmaps from these tables, and the
end-to-end tests import them to check screenshot pixels.

Rectangles are (left, top, right, bottom) with right and bottom exclusive.
Colours are (r, g, b).
"""

from collections import namedtuple

# --- colours ---------------------------------------------------------------

KEY_BLACK = (0, 0, 0)           # colour key of the parts sheet; nothing else is pure black
NEAR_BLACK = (4, 2, 4)          # digit ground on the sheet, ground of the background
WHITE = (252, 254, 252)
CHIP_GREY = (132, 130, 132)     # chip frames and the beat line
MAGENTA = (252, 2, 252)
RED = (252, 2, 4)
GREEN = (4, 254, 4)
BLUE = (132, 130, 252)
ORANGE = (252, 130, 68)
CYAN = (4, 254, 252)
PINK = (252, 130, 252)
YELLOW = (237, 237, 6)

BORDER_GREY = (196, 194, 196)   # lane borders of the background
JUDGE_GREEN = (0, 229, 0)       # judgement lines of the background

# --- parts sheet (64 x 64, 8 bits per pixel) -------------------------------

PARTS_SIZE = (64, 64)

# Palette index of each colour used on the sheet.  Index 0 is the key.
PARTS_PALETTE = [
    KEY_BLACK,   # 0
    NEAR_BLACK,  # 1
    WHITE,       # 2
    CHIP_GREY,   # 3
    MAGENTA,     # 4
    RED,         # 5
    GREEN,       # 6
    BLUE,        # 7
    ORANGE,      # 8
    CYAN,        # 9
    PINK,        # 10
    YELLOW,      # 11
]

# kind:
#   "chip"   one-pixel CHIP_GREY frame around a two-row fill of `fill`
#   "ruler"  rows of KEY_BLACK with the last row in `fill` (a 1-row ruler is just that row)
#   "digit"  glyph `name[-1]` of DIGIT_FONT in WHITE on `fill` (NEAR_BLACK), opaque
Part = namedtuple("Part", "name left top right bottom fill kind")

PARTS = [
    Part("open_chip",    12, 44, 43, 48, MAGENTA, "chip"),
    Part("chord_bit4",    0,  0, 11,  4, RED,     "chip"),
    Part("chord_bit2",    0,  4, 11,  8, GREEN,   "chip"),
    Part("chord_bit1",    0,  8, 11, 12, BLUE,    "chip"),
    Part("chord_w",       0, 12, 11, 16, ORANGE,  "chip"),
    Part("drum_1_hh",     0, 16, 11, 20, CYAN,    "chip"),
    Part("drum_2_sd",     0, 20, 11, 24, ORANGE,  "chip"),
    Part("drum_3_bd",     0, 24, 13, 28, PINK,    "chip"),
    Part("drum_4_ht",     0, 28, 11, 32, GREEN,   "chip"),
    Part("drum_5_lt",     0, 32, 11, 36, RED,     "chip"),
    Part("drum_6_cy",     0, 36, 13, 40, CYAN,    "chip"),
    Part("sound_a",       0, 40, 11, 44, WHITE,   "chip"),
    Part("sound_b",       0, 44, 11, 48, YELLOW,  "chip"),
    Part("drum_measure",  0, 48, 64, 52, WHITE,   "ruler"),
    Part("string_measure", 0, 51, 41, 52, WHITE,  "ruler"),
    Part("drum_beat",     0, 54, 64, 58, CHIP_GREY, "ruler"),
    Part("digit_0",      14,  1, 18,  9, NEAR_BLACK, "digit"),
    Part("digit_1",      21,  1, 25,  9, NEAR_BLACK, "digit"),
    Part("digit_2",      28,  1, 32,  9, NEAR_BLACK, "digit"),
    Part("digit_3",      34,  1, 39,  9, NEAR_BLACK, "digit"),
    Part("digit_4",      41,  1, 46,  9, NEAR_BLACK, "digit"),
    Part("digit_5",      14, 11, 18, 19, NEAR_BLACK, "digit"),
    Part("digit_6",      21, 11, 25, 19, NEAR_BLACK, "digit"),
    Part("digit_7",      28, 11, 32, 19, NEAR_BLACK, "digit"),
    Part("digit_8",      34, 11, 39, 19, NEAR_BLACK, "digit"),
    Part("digit_9",      41, 11, 46, 19, NEAR_BLACK, "digit"),
]

PARTS_BY_NAME = {p.name: p for p in PARTS}

# Measure-number digits: 4 x 7 glyphs drawn from the rectangle's top-left
# corner; the row below (and the fifth column of the 5-wide rectangles) stays
# NEAR_BLACK.  '#' is WHITE.
DIGIT_GLYPH_SIZE = (4, 7)
DIGIT_FONT = {
    "0": [".##.", "#..#", "#..#", "#..#", "#..#", "#..#", ".##."],
    "1": ["..#.", ".##.", "..#.", "..#.", "..#.", "..#.", ".###"],
    "2": [".##.", "#..#", "...#", "..#.", ".#..", "#...", "####"],
    "3": [".##.", "#..#", "...#", ".##.", "...#", "#..#", ".##."],
    "4": ["...#", "..##", ".#.#", "#..#", "####", "...#", "...#"],
    "5": ["####", "#...", "###.", "...#", "...#", "#..#", ".##."],
    "6": [".##.", "#...", "#...", "###.", "#..#", "#..#", ".##."],
    "7": ["####", "...#", "...#", "..#.", "..#.", ".#..", ".#.."],
    "8": [".##.", "#..#", "#..#", ".##.", "#..#", "#..#", ".##."],
    "9": [".##.", "#..#", "#..#", ".###", "...#", "...#", ".##."],
}

# --- background (432 x 320, 4 bits per pixel) ------------------------------

BACKGROUND_SIZE = (432, 320)

BACKGROUND_PALETTE = [
    NEAR_BLACK,   # 0: ground
    BORDER_GREY,  # 1
    JUDGE_GREEN,  # 2
    WHITE,        # 3: labels
]

DRUM_BORDERS = [22, 32, 42, 54, 64, 74, 86]
GUITAR_BORDERS = list(range(112, 153, 10))   # 112 .. 152
BASS_BORDERS = list(range(156, 197, 10))     # 156 .. 196
SOUND_BORDERS = list(range(220, 431, 10))    # 220 .. 430
BORDER_XS = DRUM_BORDERS + GUITAR_BORDERS + BASS_BORDERS + SOUND_BORDERS

# Judgement lines: (first x, last x, first row, last row), all inclusive.
# Border columns stay BORDER_GREY where they cross a line: the borders run
# over the full height, so the green shows only between them (and in the
# gap 153..155 between the guitar and bass blocks).
JUDGE_LINES = [
    (22, 86, 306, 307),    # drum
    (112, 196, 11, 12),    # guitar and bass
    (220, 430, 306, 307),  # sound
]

# Sound column labels: WHITE 3 x 7 glyphs in rows LABEL_TOP .. LABEL_TOP + 6,
# inside the 9-pixel gap between two sound borders.  A one-character label
# starts 3 pixels into the gap, a two-character one 1 pixel in, with one blank
# column between the characters.
LABEL_TOP = 2
LABEL_GLYPH_SIZE = (3, 7)
SOUND_LABELS = [str(n) for n in range(1, 21)] + ["??"]   # column n spans 220+10(n-1) .. 220+10n
LABEL_FONT = {
    "0": [".#.", "#.#", "#.#", "#.#", "#.#", "#.#", ".#."],
    "1": [".#.", "##.", ".#.", ".#.", ".#.", ".#.", "###"],
    "2": [".#.", "#.#", "..#", ".#.", "#..", "#..", "###"],
    "3": ["##.", "..#", "..#", ".#.", "..#", "..#", "##."],
    "4": ["#.#", "#.#", "#.#", "###", "..#", "..#", "..#"],
    "5": ["###", "#..", "#..", "##.", "..#", "..#", "##."],
    "6": [".##", "#..", "#..", "##.", "#.#", "#.#", ".#."],
    "7": ["###", "..#", "..#", ".#.", ".#.", ".#.", ".#."],
    "8": [".#.", "#.#", "#.#", ".#.", "#.#", "#.#", ".#."],
    "9": [".#.", "#.#", "#.#", ".##", "..#", "..#", "##."],
    "?": [".#.", "#.#", "..#", ".#.", ".#.", "...", ".#."],
}

# --- score positions that use the artwork ----------------------------------

DRUM_JUDGE_Y = 305       # drum and sound chips come down to this y
STRING_JUDGE_Y = 10      # guitar and bass chips go up to this y
DRUM_DIGIT_XS = [0, 5, 10, 15]
GUITAR_DIGIT_XS = [92, 97, 102, 107]
BASS_DIGIT_XS = [200, 205, 210, 215]
DRUM_RULER_X = 22
GUITAR_X = 112           # measure line and open chip
BASS_X = 156
DRUM_LANE_XS = [22, 32, 42, 54, 64, 74]                       # lanes 1..6
GUITAR_CHIP_XS = {4: 112, 2: 122, 1: 132, 8: 142}             # by chord bit
BASS_CHIP_XS = {4: 156, 2: 166, 1: 176, 8: 186}
# Sound lane n (1..32) -> (x, part name); lanes 33..35 never hold notes.
SOUND_LANE_PARTS = {}
for _n in range(1, 10):
    SOUND_LANE_PARTS[_n] = (220 + 10 * (_n - 1), "sound_a")
for _n in list(range(10, 16)) + list(range(26, 32)):
    SOUND_LANE_PARTS[_n] = (420, "sound_b")
for _n in range(16, 26):
    SOUND_LANE_PARTS[_n] = (310 + 10 * (_n - 16), "sound_a")
SOUND_LANE_PARTS[32] = (410, "sound_a")
del _n
