#!/usr/bin/env python3
"""End-to-end reliability checks with the real viewer: no sound device, no xadec.dll, a chart whose
575 sounds are all missing, and floods of remote-control messages (one with reloads, one with quit
requests in the middle). The in-process checks of the same kind, with memory figures, are the
reliability_* CTest tests of tests/fuzz (docs/RELIABILITY.md).

Usage: test_reliability.py [BUILD_DIR]   (run inside tools/winerun.sh)
"""

import os
import re
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import viewer_util as V  # noqa: E402
from viewer_util import harness  # noqa: E402
from harness import check, check_equal  # noqa: E402

TITLE = " Probe Song  [ Test Band ]"
IDCANCEL = 2


def has_sound_device():
    return (os.path.exists("/dev/snd/controlC0") or bool(os.environ.get("PULSE_SERVER"))
            or os.path.exists(os.path.join(os.environ.get("XDG_RUNTIME_DIR", "/nonexistent"), "pulse", "native")))


def flood(s, window, count, seed, reloads=0, quits=0):
    code, out = V.run_tool(s, "flood_tool.exe", window.hwnd.replace("0x", ""), count, seed, reloads, quits,
                           timeout=120)
    harness.log("  flood_tool: %s" % out.strip())
    return code, out


def test_no_sound_device(s):
    if has_sound_device():
        harness.log("  skipped: this machine has a sound device")
        return
    with V.TempDir() as folder:
        chart = V.write_chart(folder)
        home = os.path.join(folder, "home")  # no .asoundrc: ALSA has no default device
        os.makedirs(home)
        p = s.start(V.VIEWER, V.wine_path(chart), env={"HOME": home})
        box = V.wait_box(p, "Error!", timeout=30)
        check_equal(box.text, "DirectSoundInitError", "box text")
        box.dismiss()
        check_equal(p.wait_exit(timeout=20), harness.EXIT_MINUS_ONE, "exit code")
        check(not p.crashed, "the viewer crashed")


def test_no_xadec_dll(s):
    with V.TempDir() as folder:
        chart = V.write_chart(folder, extra="#WAV04 voice.xa\n#00003:04\n#00203:04\n")
        code, out = V.run_tool(s, "xaenc.exe", V.wine_path(os.path.join(folder, "tone.wav")),
                               V.wine_path(os.path.join(folder, "voice.xa")))
        check_equal(code, 0, "xaenc: %r" % out)
        # With the library beside the viewer the XA sound loads.
        p, w = V.start_ready(s, TITLE, "-P", "-X0", "-Y0", V.wine_path(chart))
        check(not p.has_diag(re.compile(r"^LoadFailed:.*voice\.xa$")), "the XA sound failed with xadec.dll present")
        w.key(harness.VK_ESCAPE)
        check_equal(p.wait_exit(), 0, "exit code with xadec.dll")
        # A viewer alone in a folder (and started there): the XA sound fails, the rest plays.
        alone = os.path.join(folder, "alone")
        os.makedirs(alone)
        shutil.copy(s.exe_path(V.VIEWER), alone)
        p = s.start(os.path.join(alone, V.VIEWER), "-P", "-X0", "-Y0", V.wine_path(chart), cwd=alone)
        w = p.wait_window(V.CLASS, timeout=30)
        V.wait_title(w, TITLE)
        p.wait_diag(re.compile(r"^LoadFailed:.*voice\.xa$"))
        check(not p.has_diag(re.compile(r"^LoadFailed:.*\.wav$")), "a WAV sound failed without xadec.dll")
        check(V.wait_moving(w, "no_xadec"), "the viewer does not play without xadec.dll")
        w.key(harness.VK_ESCAPE)
        check_equal(p.wait_exit(), 0, "exit code without xadec.dll")
        check(not p.crashed, "the viewer crashed")


def test_all_575_sounds_missing(s):
    with V.TempDir() as folder:
        digits = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
        ids = [digits[i // 36] + digits[i % 36] for i in range(1, 576)]
        lines = ["#TITLE All Missing", "#ARTIST Nobody", "#BPM 150"]
        lines += ["#WAV%s gone\\sound%s.wav" % (i, i) for i in ids]
        channels = ["HH", "SD", "BD", "G1", "B2", "01", "02", "0A"]
        for n, start in enumerate(range(0, len(ids), 8)):
            cells = "".join(ids[start:start + 8])
            lines.append("#%03d%s:%s" % (n // len(channels), channels[n % len(channels)], cells))
        chart = os.path.join(folder, "missing.ktb")
        with open(chart, "wb") as f:
            f.write(("\r\n".join(lines) + "\r\n").encode("ascii"))
        start = time.monotonic()
        p, w = V.start_ready(s, " All Missing  [ Nobody ]", "-P", "-X0", "-Y0", V.wine_path(chart))
        harness.log("  ready in %.1f s" % (time.monotonic() - start))
        failed = [line for line in p.diag_lines if line.startswith("LoadFailed:")]
        check_equal(len(failed), 575, "LoadFailed lines")
        check(V.wait_moving(w, "all_missing"), "the chart does not play")
        time.sleep(2.0)  # notes of missing sounds come due
        check(p.running and not p.crashed, "the viewer ended")
        w.key(harness.VK_ESCAPE)
        check_equal(p.wait_exit(), 0, "exit code")


def test_flood_with_reloads(s):
    with V.TempDir() as folder:
        chart = V.write_chart(folder)
        p, w = V.start_ready(s, TITLE, "-P", "-X0", "-Y0", V.wine_path(chart))
        code, out = flood(s, w, 10000, 7, reloads=3)
        check_equal(code, 0, "flood_tool exit code")
        check("posted 10000" in out, "flood_tool output %r" % out)
        # A reload of the flood opened the file dialog; the rest of the flood was handled inside it.
        box = V.wait_box(p, "Open KTB file", timeout=30)
        box.dismiss(IDCANCEL)
        # Responsive, drawing, and playing again on request.
        check_equal(w.title(), TITLE, "title after the flood")
        w.post(V.WM_VIEWER_RESTART)
        check(V.wait_moving(w, "after_flood"), "the viewer does not play after the flood")
        w.post(V.WM_VIEWER_QUIT)
        check_equal(p.wait_exit(timeout=30), 0, "exit code after WM_VIEWER_QUIT")
        check(not p.crashed, "the viewer crashed")


def test_flood_with_quit_requests(s):
    with V.TempDir() as folder:
        chart = V.write_chart(folder)
        p, w = V.start_ready(s, TITLE, "-P", "-X0", "-Y0", V.wine_path(chart))
        flood(s, w, 10000, 8, quits=2)  # the window may go away before the flood has been posted
        check_equal(p.wait_exit(timeout=30), 0, "exit code after a quit request in the flood")
        check(not p.crashed, "the viewer crashed")


if __name__ == "__main__":
    harness.main([test_no_sound_device, test_no_xadec_dll, test_all_575_sounds_missing, test_flood_with_reloads,
                  test_flood_with_quit_requests], time_limit=420.0)
