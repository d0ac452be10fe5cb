#!/usr/bin/env python3
"""End-to-end tests of the viewer playing a chart: start-up options, the standing and the moving
picture, the window title, the error boxes of a chart that cannot be read, and sound output.

Every chart and sound is written by the test into a temporary folder (viewer_util.write_chart).

Usage: test_viewer.py [BUILD_DIR]   (run inside tools/winerun.sh)
"""

import os
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
        # The path is written with '/', so the sounds are found in the folder before the last '/'.
        V.write_chart(os.path.join(folder, "my charts"), title="Song", artist="Band")
        p, w = V.start_ready(s, " Song  [ Band ]", "-p", "-M1", "my charts/probe.ktb", cwd=folder)
        p.wait_diag("-P Option ON")
        check(V.wait_moving(w, "play"), "the picture does not move while playing")
        w.key(harness.VK_ESCAPE)
        check_equal(p.wait_exit(), 0, "exit code")
        check(not p.boxes_seen, "message boxes: %r" % p.boxes_seen)
        failed = [line for line in p.diag_lines if line.startswith("LoadFailed:")]
        check(not failed, "sounds not found: %r" % failed)


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
            p.wait_diag('MessageBox "FileLoadError!": ' + path)
            box.dismiss()
            check_equal(p.wait_exit(), harness.EXIT_MINUS_ONE, "exit code (-1)")


def test_sound_plays_in_real_time_and_is_recorded(s):
    """ktbplay of a 3 s sound lasts 3 s of wall time and the runner's KTB_RECORD recording holds it;
    the viewer's notes reach the sound device too. Both run as runner calls of their own.

    The duration is a property of the sound device, not of the machine's speed: a device that
    consumes sound at its real rate takes 3 s for 3 s of sound however fast or busy the machine is
    (ktbplay counts from the start of playback, so a slow start-up is not counted). A device that
    drains faster than real time (an ALSA null device took 0.84 s) fails it."""
    with V.TempDir() as folder:
        tone = os.path.join(folder, "tone3.wav")
        V.write_wav(tone, 660, 3.0, decay=0)
        recording = os.path.join(folder, "ktbplay.wav")
        code, out, err = V.finish_call(V.runner_call(s, "ktbplay.exe", tone, env={"KTB_RECORD": recording}), "ktbplay")
        harness.log("  ktbplay: %s %s" % (out.strip(), err.strip()))
        check_equal(code, 0, "ktbplay exit code")
        played = [float(line.split()[1]) for line in out.splitlines() if line.startswith("played ")]
        check(played and 2.8 <= played[0] <= 3.2, "ktbplay of a 3 s sound: %r" % out)
        if "no PulseAudio server to record from" in err:
            harness.log("  no recording: the sound device is not a PulseAudio server")
            return
        span, _ = V.loud_span(recording)
        check(2.8 <= span <= 3.2, "the recording holds %.2f s of the 3 s tone" % span)

        chart = V.write_chart(os.path.join(folder, "chart"))
        recording = os.path.join(folder, "viewer.wav")
        call = V.runner_call(s, V.VIEWER, "-P", chart, env={"KTB_RECORD": recording})
        w = V.wait_window_of_call(s, call)
        time.sleep(4.0)
        w.key(harness.VK_ESCAPE)
        check_equal(V.finish_call(call, "viewer")[0], 0, "viewer exit code")
        _, loud = V.loud_span(recording)
        harness.log("  %d samples of the viewer's sound above 1000" % loud)
        check(loud > 1000, "the viewer's sound is silent")


if __name__ == "__main__":
    harness.main([
        test_idle_start_stands_still_with_chips_where_predicted,
        test_start_measure_shows_it_at_the_judge_lines,
        test_play_option_plays_and_sets_the_title,
        test_quit_option_without_viewer_exits_at_once,
        test_unreadable_charts_give_the_load_error_box,
        test_sound_plays_in_real_time_and_is_recorded,
    ], time_limit=400)
