#!/usr/bin/env python3
"""End-to-end test of the display and the main window.

Runs tests/e2e/programs/display_probe.exe under Wine: it opens the viewer's window
(CreateMainWindow) and display (CDDraw) with the real bitmaps 105 and 107 and draws
every frame the background and every rectangle of the parts sheet at known places,
opaque (CDDraw::Draw) and colour-keyed (CDDraw::DrawKeyed). A screenshot of the
client area is then compared pixel by pixel with a frame composed here from the
artwork's layout and colours (tools/artwork_spec.py), not from the bitmap files.

A second run places the window about half off the left edge of the screen and checks that
the screen's left edge shows the right-hand part of the frame.

Usage: test_display.py [BUILD_DIR]   (run inside tools/winerun.sh)
"""

import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.environ.get("KTB_SOURCE_DIR") or os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "tools"))

import artwork_spec as A  # noqa: E402
import harness  # noqa: E402
from harness import check, check_equal  # noqa: E402

PROBE = "display_probe.exe"
CLASS = "KTBViewer_ZW"

CLIENT_SIZE = (432, 320)
KEYED, OPAQUE = "K", "D"

# --- the scene the probe draws ------------------------------------------------

# (part name, mode, x, y). The pieces with key-black rows are drawn twice, keyed and
# opaque, over lane borders, so that the difference shows; nothing overlaps.
SCENE = [
    ("drum_measure", KEYED, 22, 100),
    ("drum_measure", OPAQUE, 220, 100),
    ("drum_beat", KEYED, 22, 110),
    ("drum_beat", OPAQUE, 220, 110),
    ("string_measure", KEYED, A.GUITAR_X, 100),
    ("string_measure", OPAQUE, A.BASS_X, 100),
    ("open_chip", OPAQUE, A.GUITAR_X, 210),
    ("open_chip", KEYED, A.BASS_X, 210),
    ("sound_a", OPAQUE, 220, 200),
    ("sound_b", OPAQUE, 420, 200),
    ("sound_b", KEYED, 420, 210),
]
SCENE += [("drum_%d_%s" % (n + 1, tag), OPAQUE, A.DRUM_LANE_XS[n], 200)
          for n, tag in enumerate(["hh", "sd", "bd", "ht", "lt", "cy"])]
SCENE += [(name, OPAQUE, A.GUITAR_CHIP_XS[bit], 200)
          for bit, name in [(4, "chord_bit4"), (2, "chord_bit2"), (1, "chord_bit1"), (8, "chord_w")]]
SCENE += [(name, OPAQUE, A.BASS_CHIP_XS[bit], 220)
          for bit, name in [(4, "chord_bit4"), (2, "chord_bit2"), (1, "chord_bit1"), (8, "chord_w")]]
# Measure-number digits in the drum digit columns, four to a row.
SCENE += [("digit_%d" % d, OPAQUE, A.DRUM_DIGIT_XS[d % 4], 150 + 10 * (d // 4)) for d in range(10)]


def probe_arguments(scene, x, y, frames=30, shrink=None):
    items = []
    for name, mode, px, py in scene:
        p = A.PARTS_BY_NAME[name]
        items.append("%s:%d,%d,%d,%d:%d,%d" % (mode, p.left, p.top, p.right, p.bottom, px, py))
    args = ["x=%d" % x, "y=%d" % y, "frames=%d" % frames]
    if shrink is not None:
        args.append("shrink=%d" % shrink)
    return args + ["draw=" + ";".join(items)]


# --- the expected frame, from the artwork's layout ------------------------------

def expected_background():
    w, h = A.BACKGROUND_SIZE
    img = [[A.NEAR_BLACK] * w for _ in range(h)]
    for x0, x1, y0, y1 in A.JUDGE_LINES:
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                img[y][x] = A.JUDGE_GREEN
    gw = A.LABEL_GLYPH_SIZE[0]
    for n, label in enumerate(A.SOUND_LABELS):
        left = A.SOUND_BORDERS[n] + 1  # nine free pixels up to the next border
        x = left + (3 if len(label) == 1 else 1)
        for ch in label:
            for dy, row in enumerate(A.LABEL_FONT[ch]):
                for dx, c in enumerate(row):
                    if c == "#":
                        img[A.LABEL_TOP + dy][x + dx] = A.WHITE
            x += gw + 1
    for x in A.BORDER_XS:
        for y in range(h):
            img[y][x] = A.BORDER_GREY
    return img


def part_pixels(name):
    """Rows of colours of one rectangle of the parts sheet, as the table describes it."""
    p = A.PARTS_BY_NAME[name]
    w, h = p.right - p.left, p.bottom - p.top
    rows = []
    for y in range(h):
        row = []
        for x in range(w):
            if p.kind == "chip":
                edge = x in (0, w - 1) or y in (0, h - 1)
                row.append(A.CHIP_GREY if edge else p.fill)
            elif p.kind == "ruler":
                row.append(p.fill if y == h - 1 else A.KEY_BLACK)
            else:
                glyph = A.DIGIT_FONT[name[-1]]
                lit = y < len(glyph) and x < len(glyph[y]) and glyph[y][x] == "#"
                row.append(A.WHITE if lit else p.fill)
        rows.append(row)
    return rows


def expected_frame(scene):
    img = expected_background()
    for name, mode, px, py in scene:
        for dy, row in enumerate(part_pixels(name)):
            for dx, colour in enumerate(row):
                if mode == KEYED and colour == A.KEY_BLACK:
                    continue
                img[py + dy][px + dx] = colour
    return img


def covered(scene):
    cells = set()
    for name, _mode, px, py in scene:
        p = A.PARTS_BY_NAME[name]
        for y in range(py, py + p.bottom - p.top):
            for x in range(px, px + p.right - p.left):
                cells.add((x, y))
    return cells


# --- checks -------------------------------------------------------------------

class Checks:
    def __init__(self):
        self.failures = []
        self.count = 0

    def check(self, ok, message):
        self.count += 1
        if not ok:
            self.failures.append(message)
            print("FAIL:", message)
        return ok


def check_scene(shot, scene, checks):
    """shot: rows of (r, g, b), exactly the client area."""
    checks.check((len(shot[0]), len(shot)) == CLIENT_SIZE,
                 "screenshot of the client area is %dx%d, expected 432x320" % (len(shot[0]), len(shot)))
    if (len(shot[0]), len(shot)) != CLIENT_SIZE:
        return
    background = expected_background()
    drawn = covered(scene)

    # Lane borders over the full height and the judgement lines, where no part covers them.
    for x in A.BORDER_XS:
        bad = [y for y in range(320) if (x, y) not in drawn and shot[y][x] != A.BORDER_GREY]
        checks.check(not bad, "border x=%d not grey %s at rows %s" % (x, A.BORDER_GREY, bad[:5]))
    for x0, x1, y0, y1 in A.JUDGE_LINES:
        bad = [(x, y) for y in range(y0, y1 + 1) for x in range(x0, x1 + 1)
               if x not in A.BORDER_XS and shot[y][x] != A.JUDGE_GREEN]
        checks.check(not bad, "judgement line rows %d-%d x %d-%d not green at %s" % (y0, y1, x0, x1, bad[:5]))
        for y in (y0 - 1, y1 + 1):
            checks.check(shot[y][x0 + 1] != A.JUDGE_GREEN, "green row %d beyond the judgement line" % y)

    # The whole background, pixel by pixel, outside the drawn parts.
    bad = [(x, y, shot[y][x], background[y][x]) for y in range(320) for x in range(432)
           if (x, y) not in drawn and shot[y][x] != background[y][x]]
    checks.check(not bad, "%d background pixels differ, first: %s" % (len(bad), bad[:5]))

    # Every placed part with the table's colours; keyed ones let the background through
    # exactly where the sheet has its key black.
    for name, mode, px, py in scene:
        rows = part_pixels(name)
        bad = []
        for dy, row in enumerate(rows):
            for dx, colour in enumerate(row):
                want = background[py + dy][px + dx] if (mode == KEYED and colour == A.KEY_BLACK) else colour
                got = shot[py + dy][px + dx]
                if got != want:
                    bad.append((px + dx, py + dy, got, want))
        checks.check(not bad, "%s drawn %s at %d,%d: %d pixels differ, first %s"
                     % (name, "keyed" if mode == KEYED else "opaque", px, py, len(bad), bad[:4]))

    # The key black in particular: transparent over a border when keyed, copied when opaque.
    for name, mode, px, py in scene:
        if name != "drum_measure":
            continue
        border = next(x for x in A.BORDER_XS if px < x < px + 64)
        if mode == KEYED:
            checks.check(shot[py][border] == A.BORDER_GREY and shot[py][border + 1] == A.NEAR_BLACK,
                         "keyed measure line hides the background at %d,%d" % (border, py))
        else:
            checks.check(shot[py][border] == A.KEY_BLACK and shot[py][border + 1] == A.KEY_BLACK,
                         "opaque measure line does not copy its black at %d,%d" % (border, py))
        checks.check(shot[py + 3][border] == A.WHITE, "measure line's white row missing at y=%d" % (py + 3))


def check_left_edge(screen, client_left, client_top, checks):
    """screen: rows of the whole screen; the client area starts left of x=0."""
    frame = expected_frame(SCENE)
    hidden = -client_left
    width = CLIENT_SIZE[0] - hidden
    bad = []
    for y in range(CLIENT_SIZE[1]):
        for x in range(width):
            got = screen[client_top + y][x]
            want = frame[y][hidden + x]
            if got != want:
                bad.append((x, client_top + y, got, want))
    checks.check(not bad, "window %d px off the left edge: %d pixels at the screen edge differ, first %s"
                 % (hidden, len(bad), bad[:4]))


# --- runs ---------------------------------------------------------------------

def rows_of(image):
    return [[image.pixel(x, y) for x in range(image.width)] for y in range(image.height)]


def start_probe(s, x, y, shrink=None):
    p = s.start(PROBE, *probe_arguments(SCENE, x, y, shrink=shrink))
    w = p.wait_window(CLASS)
    p.wait_diag("display probe ready frames=30")
    # Init succeeded, the back surface and the client area are 432x320 and the window is
    # topmost, every item was read.
    report = p.wait_diag(re.compile(r"^display probe init="), timeout=1)
    want = r"^display probe init=0 screen=\d+x\d+ back=432x320 client=432x320 topmost=1 items=%d$" % len(SCENE)
    check(re.match(want, report), "probe report %r" % report)
    return p, w.refresh()


def finish(checks, p, w):
    w.close()  # WM_CLOSE posts the quit: ShutdownApp, then WM_DESTROY runs it once more
    check_equal(p.wait_exit(timeout=10), 0, "exit code after closing the window")
    check(not checks.failures, "%d of %d checks failed:\n  %s"
          % (len(checks.failures), checks.count, "\n  ".join(checks.failures[:20])))
    harness.log("  %d checks passed" % checks.count)


def test_window_background_and_parts(s):
    # At frame 10 the window is made 200x150 and not topmost; presenting restores both.
    p, w = start_probe(s, 40, 40, shrink=10)
    shrunk = p.wait_diag(re.compile(r"^display probe shrunk "), timeout=1)
    harness.log("  " + shrunk)
    check(shrunk != "display probe shrunk client=432x320 topmost=1", "the shrink took no effect: %r" % shrunk)
    check_equal(w.title(), "KTB Viewer 0.05", "window title")
    check_equal((w.width, w.height), CLIENT_SIZE, "client area")
    checks = Checks()
    check_scene(rows_of(w.screenshot("display_scene")), SCENE, checks)
    finish(checks, p, w)


def test_window_half_off_the_left_edge(s):
    p, w = start_probe(s, -216, 40)  # about half of the client area off the screen
    check(w.rect[0] < 0 < w.rect[2], "client area %s should straddle the left edge" % (w.rect,))
    screen = harness.grab_screen()
    screen.crop(0, 0, 300, 420).save_png(os.path.join(s.artifacts, "display_left_edge.png"))
    checks = Checks()
    check_left_edge(rows_of(screen.crop(0, 0, w.rect[2], screen.height)), w.rect[0], w.rect[1], checks)
    finish(checks, p, w)


if __name__ == "__main__":
    harness.main([
        test_window_background_and_parts,
        test_window_half_off_the_left_edge,
    ], time_limit=180)
