#!/usr/bin/env python3
"""End-to-end tests of the viewer playing a chart: start-up options, the standing and the moving
picture, the window title, the error boxes of a chart that cannot be read, and sound output.

Every chart and sound is written by the test into a temporary folder (viewer_util.write_chart).

Usage: test_viewer.py [BUILD_DIR]   (run inside tools/winerun.sh)
"""

import os
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import viewer_util as V  # noqa: E402
from viewer_util import A, harness  # noqa: E402
from harness import check, check_equal  # noqa: E402


def test_idle_start_stands_still_with_chips_where_predicted(s):
    with V.TempDir() as folder:
        chart = V.write_chart(folder)
        p, w = V.start_ready(s, " Probe Song  [ Test Band ]", V.wine_path(chart))
        first = V.wait_still(w, "idle")
        check(first is not None, "the idle picture moves")
        check_equal((first.width, first.height), (432, 320), "client size")
        # Idle: no start measure, chart time 0. Measure 0 begins 1500 ms ahead.
        expected = [
            ("HH of measure 0", A.DRUM_LANE_XS[0], 305 - 1500 * 80 // 1000, A.CYAN),
            ("SD of measure 1", A.DRUM_LANE_XS[1], 305 - 3500 * 80 // 1000, A.ORANGE),
            ("guitar chord 4 of measure 0", A.GUITAR_CHIP_XS[4], 10 + 1500 * 50 // 1000, A.RED),
            ("guitar chord 2 of measure 1", A.GUITAR_CHIP_XS[2], 10 + 3500 * 50 // 1000, A.GREEN),
            ("sound channel 01 of measure 0", 220, 305 - 1500 * 50 // 1000, A.WHITE),
        ]
        for what, x, y, colour in expected:
            got = V.chip_fill(first, x, y)
            check(V.near(got, colour), "%s at (%d,%d): fill %r, expected %r" % (what, x, y, got, colour))
            above = V.chip_fill(first, x, y - 4)
            check(not V.near(above, colour), "%s is drawn higher than (%d,%d)" % (what, x, y))
        # Guitar measure lines of measures 0 and 1 with their numbers.
        check_equal(V.read_digit(first, A.GUITAR_DIGIT_XS[3], 85), "0", "guitar measure number 0")
        check_equal(V.read_digit(first, A.GUITAR_DIGIT_XS[3], 185), "1", "guitar measure number 1")
        w.key(harness.VK_ESCAPE)
        check_equal(p.wait_exit(), 0, "exit code after Esc")


def test_start_measure_shows_it_at_the_judge_lines(s):
    with V.TempDir() as folder:
        chart = V.write_chart(folder)
        p, w = V.start_ready(s, " Probe Song  [ Test Band ]", "-N1", V.wine_path(chart))
        p.wait_diag("-N Option = 1")
        img = V.wait_still(w, "start_measure_1")
        check(img is not None, "the picture moves before playback was started")
        # Measure 1's lines at the judge lines: drum ruler (white row 3 below its top) and guitar.
        check(V.near(img.pixel(50, 305 + 3), A.WHITE, 40), "drum measure line at y 305")
        check_equal(V.read_digit(img, A.DRUM_DIGIT_XS[3], 305), "1", "drum measure number at y 305")
        check_equal(V.read_digit(img, A.GUITAR_DIGIT_XS[3], 10), "1", "guitar measure number at y 10")
        # The HH half a measure later is 1000 ms ahead; the SD exactly at the start has sounded.
        check(V.near(V.chip_fill(img, A.DRUM_LANE_XS[0], 305 - 80), A.CYAN), "HH 1000 ms ahead at y 225")
        check(not V.near(V.chip_fill(img, A.DRUM_LANE_XS[1], 305), A.ORANGE), "SD at the start measure is not drawn")
        w.key(harness.VK_ESCAPE)
        check_equal(p.wait_exit(), 0, "exit code")


def test_play_option_plays_and_sets_the_title(s):
    with V.TempDir() as folder:
        # A folder name with blanks: Wine puts the argument in double quotes, which the viewer removes.
        chart = V.write_chart(os.path.join(folder, "my charts"), title="Song", artist="Band")
        p, w = V.start_ready(s, " Song  [ Band ]", "-p", "-M1", V.wine_path(chart))
        p.wait_diag("-P Option ON")
        check(V.wait_moving(w, "play"), "the picture does not move while playing")
        w.key(harness.VK_ESCAPE)
        check_equal(p.wait_exit(), 0, "exit code")
        check(not p.boxes_seen, "message boxes: %r" % p.boxes_seen)


def test_quit_option_without_viewer_exits_at_once(s):
    p = s.start(V.VIEWER, "-Q", "Z:\\nothing.ktb")
    check_equal(p.wait_exit(timeout=20, dismiss_boxes=False), 1, "exit code of -Q")
    check(not s.find_windows(V.CLASS), "a viewer window exists after -Q")


def test_unreadable_charts_give_the_load_error_box(s):
    with V.TempDir() as folder:
        missing = V.wine_path(os.path.join(folder, "missing.ktb"))
        empty = os.path.join(folder, "empty.ktb")
        with open(empty, "w", newline="\r\n") as f:
            f.write("#TITLE Nothing\n#ARTIST Nobody\n#BPM 120\n")
        for path in (missing, V.wine_path(empty)):
            p = s.start(V.VIEWER, path)
            box = p.wait_msgbox(timeout=30)
            check_equal(box.caption, "FileLoadError!", "caption")
            check_equal(box.text, path, "text")
            box.dismiss()
            check_equal(p.wait_exit(), harness.EXIT_MINUS_ONE, "exit code (-1)")


def _sound_server_present():
    runtime = os.environ.get("XDG_RUNTIME_DIR") or "/nonexistent"
    return (os.path.exists("/dev/snd/controlC0") or os.environ.get("PULSE_SERVER")
            or os.path.exists(os.path.join(runtime, "pulse", "native")))


def test_sound_reaches_the_audio_device(s):
    if _sound_server_present():
        harness.log("  skipped: a real sound device or server is present; output cannot be captured")
        return
    with V.TempDir() as folder:
        # A private ALSA default device that writes what is played into a file.
        home = os.path.join(folder, "home")
        os.makedirs(home)
        capture = os.path.join(folder, "out.raw")
        with open(os.path.join(home, ".asoundrc"), "w") as f:
            f.write('pcm.!default {\n type file\n slave.pcm "null"\n file "%s"\n format "raw"\n}\n' % capture)
        chart = V.write_chart(os.path.join(folder, "chart"))
        p, w = V.start_viewer(s, "-P", V.wine_path(chart), env={"HOME": home})
        time.sleep(4.0)
        w.key(harness.VK_ESCAPE)
        check_equal(p.wait_exit(), 0, "exit code")
        check(os.path.exists(capture), "nothing reached the audio device")
        with open(capture, "rb") as f:
            data = f.read()
        samples = struct.unpack("<%dh" % (len(data) // 2), data[:len(data) // 2 * 2])
        loud = sum(1 for v in samples if abs(v) > 1000)
        harness.log("  %d samples captured, %d above 1000" % (len(samples), loud))
        check(loud > 1000, "the output is silent")


if __name__ == "__main__":
    harness.main([
        test_idle_start_stands_still_with_chips_where_predicted,
        test_start_measure_shows_it_at_the_judge_lines,
        test_play_option_plays_and_sets_the_title,
        test_quit_option_without_viewer_exits_at_once,
        test_unreadable_charts_give_the_load_error_box,
        test_sound_reaches_the_audio_device,
    ], time_limit=400)
