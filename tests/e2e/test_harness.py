"""The harness's own end-to-end test, on hello_probe.exe (a window drawn with DirectDraw 7)."""

import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import check, check_equal  # noqa: E402

PROBE = "hello_probe.exe"
CLASS = "KTBHello_ZW"
BLUE = (0, 0, 255)
RED = (255, 0, 0)
GREEN = (0, 255, 0)


def test_window_picture_diagnostics_and_escape(s):
    p = s.start(PROBE)
    w = p.wait_window(CLASS)
    check_equal(w.title(), "Hello probe", "title")
    check_equal((w.width, w.height), (320, 240), "client size")
    p.wait_diag("hello probe ready")
    # Escaped characters, a byte above 127 and a line written in two calls come back as written.
    p.wait_diag('hello probe escapes: tab\t"quoted" back\\slash \x01\xe9 end', timeout=5)
    p.wait_diag("hello probe in two parts", timeout=5)
    long_line = p.wait_diag(re.compile("^hello probe long line "), timeout=5)
    check_equal(len(long_line), 259, "length of the longest diagnostic line")

    img = w.screenshot("hello_probe")
    check_equal((img.width, img.height), (320, 240), "screenshot size")
    expected = {
        (0, 0): GREEN, (15, 15): GREEN, (16, 16): BLUE, (16, 0): BLUE,
        (79, 59): BLUE, (80, 60): RED, (239, 179): RED, (240, 180): BLUE,
        (160, 120): RED, (319, 239): BLUE, (319, 0): BLUE, (0, 239): BLUE,
    }
    for (x, y), colour in expected.items():
        check_equal(img.pixel(x, y), colour, "pixel (%d,%d)" % (x, y))
    # Exact areas: the picture is neither shifted nor scaled.
    colours = img.colours()
    check_equal(colours.get(RED, 0), 160 * 120, "red pixels")
    check_equal(colours.get(GREEN, 0), 16 * 16, "green pixels")
    check_equal(colours.get(BLUE, 0), 320 * 240 - 160 * 120 - 16 * 16, "blue pixels")

    # A bounded wait on a program that keeps running fails quickly and, on request, leaves it alive.
    try:
        p.wait_exit(timeout=0.5, kill_on_timeout=False)
    except harness.HarnessTimeout:
        pass
    else:
        raise harness.HarnessError("wait_exit returned on a running program")
    check(p.running, "program still running after the non-killing timeout")

    w.key(harness.VK_ESCAPE)
    check_equal(p.wait_exit(timeout=10), 0, "exit code after Esc")
    check(not w.alive(), "window gone after exit")


def test_message_box_reported_and_dismissed(s):
    p = s.start(PROBE, "box")
    p.wait_window(CLASS)
    box = p.wait_msgbox()
    check_equal(box.caption, "Error!", "caption")
    check_equal(box.text, "Something failed", "text")
    check_equal([label for _, label in box.buttons], ["OK"], "buttons")
    check(p.running, "the box blocks the program")
    box.dismiss()
    check_equal(p.wait_exit(timeout=10), 3, "exit code after the box")


def test_box_met_while_waiting_for_the_end(s):
    p = s.start(PROBE, "box")
    check_equal(p.wait_exit(timeout=20), 3, "exit code")
    check_equal([(b.caption, b.text) for b in p.boxes_seen], [("Error!", "Something failed")], "boxes seen")
    check(p.has_diag("hello probe ready"), "diagnostic line of a program without wait_window")


def test_exit_codes(s):
    p7 = s.start(PROBE, "quit7")
    check_equal(p7.wait_exit(), 7, "quit7")
    pm1 = s.start(PROBE, "quit-1")
    check_equal(pm1.wait_exit(), harness.EXIT_MINUS_ONE, "quit-1 (Windows -1)")


def test_crash_reported(s):
    p = s.start(PROBE, "crash")
    code = p.wait_exit(timeout=30)
    check(p.crashed, "crash seen in stderr")
    # The low byte of the access violation's code, or 0: Wine's debugger prints the backtrace and
    # ends, and when it ends before the crashed process does (seen on a loaded machine, about one
    # crash in three), the process is ended along with it, with code 0.
    check(code in (0xC0000005 & 0xFF, 0), "exit code of an access violation: %r" % code)


def test_timeout_kills_the_program(s):
    p = s.start(PROBE)
    w = p.wait_window(CLASS)
    try:
        p.wait_exit(timeout=1)
    except harness.HarnessTimeout as e:
        check("killed" in str(e), "timeout message tells of the kill: %s" % e)
    else:
        raise harness.HarnessError("wait_exit returned on a running program")
    check(not p.running, "program killed on timeout")
    check(not w.alive(), "its window is gone")


def test_nothing_left_behind(s):
    check(all(not p.running for p in s.programs), "every program has ended")
    s.wait_no_process([PROBE])


if __name__ == "__main__":
    harness.main([
        test_window_picture_diagnostics_and_escape,
        test_message_box_reported_and_dismissed,
        test_box_met_while_waiting_for_the_end,
        test_exit_codes,
        test_crash_reported,
        test_timeout_kills_the_program,
        test_nothing_left_behind,
    ], time_limit=120)
