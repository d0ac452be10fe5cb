#!/usr/bin/env python3
"""End-to-end tests of remote control and the window's own commands: a second start forwarding
its options to a running viewer, option D and two viewers, ktbctl, the keys, the About box, the
Load entry and WM_VIEWER_RELOAD with the open-file dialog, a chart handed to the running viewer
(option L, ktbctl load) keeping its unchanged sounds, and closing the window.

All programs share one Wine prefix, so a second start finds the first viewer by its class.

Usage: test_viewer_remote.py [BUILD_DIR]   (run inside tools/winerun.sh)
"""

import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import viewer_util as V  # noqa: E402
from viewer_util import A, harness  # noqa: E402
from harness import check, check_equal  # noqa: E402


TITLE = " Probe Song  [ Test Band ]"


def second_start(s, *args):
    """A start that must only forward (or find viewers) and end with exit code 1."""
    p = s.start(V.VIEWER, *args)
    check_equal(p.wait_exit(timeout=20, dismiss_boxes=False), 1, "exit code of the start with %r" % (args,))
    check(not p.boxes_seen, "message boxes: %r" % p.boxes_seen)
    return p


def guitar_line_rows(img):
    """Rows of the guitar measure lines (white across the W column at x 150)."""
    rows = V.white_rows(img, 150)
    return [y for y in rows if y - 1 not in rows]


def test_second_start_forwards_its_options(s):
    with V.TempDir() as folder:
        chart = V.write_chart(folder)
        p, w = V.start_ready(s, TITLE, "-P", "-X0", "-Y0", V.wine_path(chart))

        second_start(s, "-S")
        V.settle(0.3)
        check(V.wait_still(w, "paused"), "the viewer still moves after -S")
        second_start(s, "-P")
        V.settle(0.3)
        check(V.wait_moving(w, "resumed"), "the viewer stands still after -P")

        # Play from measure 5 and pause at once: measure 5 stands at the judge lines. (The pause
        # may come a little later on a busy machine: measure 6, 2000 ms after measure 5, is
        # looked for 100 +- 10 pixels below the guitar judge line, i.e. within 200 ms.)
        second_start(s, "-N5", "-S")
        img = V.wait_still(w, "measure_5")
        check(img is not None, "the viewer does not stand still after -N5 -S")
        six = V.find_digit_rows(img, A.GUITAR_DIGIT_XS[3], "6")
        check(six and 100 <= six[0] <= 110, "guitar measure number 6 at rows %r, expected 100 to 110" % six)
        five = V.find_digit_rows(img, A.GUITAR_DIGIT_XS[3], "5")
        check(not five or 0 <= five[0] <= 10, "guitar measure number 5 at rows %r" % five)
        lines_at_half = len(guitar_line_rows(img))
        check(lines_at_half >= 3, "guitar measure lines at speed 0.5: %d" % lines_at_half)

        # -N with a path: forwarded, nothing loaded, no box; the viewer plays from measure 5.
        second_start(s, "-N5", "Z:\\no such folder\\missing.ktb")
        V.settle(0.3)
        check(V.wait_moving(w, "playing_from_5"), "the viewer does not play after -N5")

        # -M2: four times the speed, so at most one guitar measure line fits on the screen.
        second_start(s, "-M2", "-N5", "-S")
        img = V.wait_still(w, "speed_2")
        check(img is not None, "the viewer does not stand still after -M2 -N5 -S")
        lines_at_two = len(guitar_line_rows(img))
        check(lines_at_two <= 1, "guitar measure lines at speed 2: %d" % lines_at_two)

        second_start(s, "-Q")
        check_equal(p.wait_exit(timeout=20), 0, "exit code of the viewer told to quit")


def test_ktbctl_posts_to_running_viewers(s):
    code, out = V.run_tool(s, "ktbctl.exe", "pause")
    check_equal(code, 1, "ktbctl exit code without viewer")
    check("posted to 0 viewers" in out, "ktbctl output: %r" % out)
    with V.TempDir() as folder:
        chart = V.write_chart(folder)
        p, w = V.start_ready(s, TITLE, "-P", "-X0", "-Y0", V.wine_path(chart))
        code, out = V.run_tool(s, "ktbctl.exe", "play", "7")
        check_equal(code, 0, "ktbctl exit code")
        check("play posted to 1 viewer" in out, "ktbctl output: %r" % out)
        code, out = V.run_tool(s, "ktbctl.exe", "pause")
        check_equal(code, 0, "ktbctl pause")
        # Paused a second or two after measure 7: measure 8 is on screen, measure 2 is not.
        img = V.wait_still(w, "ktbctl_7")
        check(img is not None, "the viewer does not stand still after ktbctl pause")
        check(V.find_digit_rows(img, A.GUITAR_DIGIT_XS[3], "8"), "guitar measure number 8 not on screen")
        check(not V.find_digit_rows(img, A.GUITAR_DIGIT_XS[3], "2"), "guitar measure number 2 still on screen")
        check_equal(V.run_tool(s, "ktbctl.exe", "speed")[0], 2, "ktbctl speed without value")
        check_equal(V.run_tool(s, "ktbctl.exe", "quit", "--all")[0], 0, "ktbctl quit")
        check_equal(p.wait_exit(timeout=20), 0, "viewer exit code")


def test_viewer_of_one_runner_call_survives_the_others(s):
    """Runner calls end only what they started: a viewer started by one call pauses when another
    call runs ktbctl pause, stays alive after it, and quits when a third call starts with -Q.
    The chart is given as a Unix path, which the runner hands over as its Z: path."""
    with V.TempDir() as folder:
        chart = V.write_chart(folder)
        viewer = V.runner_call(s, V.VIEWER, "-P", "-X0", "-Y0", chart)
        w = V.wait_window_of_call(s, viewer)
        V.wait_title(w, TITLE)
        code, out, _ = V.finish_call(V.runner_call(s, "ktbctl.exe", "pause"), "ktbctl pause")
        check_equal((code, out.strip()), (0, "ktbctl: pause posted to 1 viewer"), "ktbctl pause")
        check(V.wait_still(w, "paused_by_another_call"), "the viewer does not stand still after ktbctl pause")
        check(viewer.poll() is None and w.alive(), "the viewer ended with another runner call")
        check_equal(V.finish_call(V.runner_call(s, V.VIEWER, "-Q"), "-Q start")[0], 1, "exit code of the -Q start")
        check_equal(V.finish_call(viewer, "viewer", timeout=30)[0], 0, "exit code of the viewer told to quit")


def test_remote_off_and_two_viewers(s):
    with V.TempDir() as folder:
        chart = V.write_chart(folder)
        pa, wa = V.start_ready(s, TITLE, "-P", "-X0", "-Y0", V.wine_path(chart))
        # -D with a viewer running: a second viewer of its own, and the first stops obeying.
        pb, wb = V.start_ready(s, TITLE, "-D", "-P", "-X500", "-Y0", V.wine_path(chart))
        check_equal(len(s.find_windows(V.CLASS)), 2, "viewers running")

        # Two viewers and no D: nothing is forwarded, the start ends with 1.
        second_start(s, "-S")
        V.settle(0.3)
        check(V.wait_moving(wa, "two_a"), "the first viewer was paused")
        check(V.wait_moving(wb, "two_b"), "the second viewer was paused")

        # Both ignore remote control now ...
        code, out = V.run_tool(s, "ktbctl.exe", "quit", "--all")
        check_equal(code, 0, "ktbctl quit --all")
        check("posted to 2 viewers" in out, "ktbctl output: %r" % out)
        wa.post(V.WM_VIEWER_PAUSE)
        time.sleep(1.0)
        check(pa.running and pb.running, "a viewer obeyed a remote quit after remote-off")
        check(V.wait_moving(wa, "remote_off_a"), "the first viewer obeyed a remote pause")
        # ... but still quit on Esc.
        wa.key(harness.VK_ESCAPE)
        check_equal(pa.wait_exit(), 0, "first viewer exit code")
        wb.key(harness.VK_ESCAPE)
        check_equal(pb.wait_exit(), 0, "second viewer exit code")


def test_keys_and_about_box(s):
    with V.TempDir() as folder:
        chart = V.write_chart(folder)
        p, w = V.start_ready(s, TITLE, "-X0", "-Y0", V.wine_path(chart))
        w.key(harness.VK_SPACE)  # Idle: Space does nothing
        check(V.wait_still(w, "idle_space"), "Space started playback from Idle")
        w.key(harness.VK_RETURN)  # Enter starts
        V.settle(0.3)
        check(V.wait_moving(w, "enter"), "Enter did not start playback")
        w.key(harness.VK_SPACE)
        V.settle(0.3)
        check(V.wait_still(w, "space_pause"), "Space did not pause")
        w.key(harness.VK_SPACE)
        V.settle(0.3)
        check(V.wait_moving(w, "space_resume"), "Space did not resume")

        w.syscommand(V.IDM_ABOUT)
        box = V.wait_box(p, "VersionInfo")
        check_equal(box.caption, "VersionInfo", "About caption")
        check(box.text.startswith("KTB Viewer 0.05\n  ") and len(box.text) > len("KTB Viewer 0.05\n  "),
              "About text %r" % box.text)
        box.dismiss()
        V.settle(0.3)
        check(V.wait_moving(w, "after_about"), "playback did not resume after the About box")
        w.key(harness.VK_ESCAPE)
        check_equal(p.wait_exit(), 0, "exit code")


def _wait_file_dialog(p):
    return V.wait_box(p, "Open KTB file")


def test_load_entry_and_reload_message(s):
    with V.TempDir() as folder:
        first = V.write_chart(os.path.join(folder, "a"), title="First", artist="One")
        second = V.write_chart(os.path.join(folder, "b"), title="Second", artist="Two")
        p, w = V.start_ready(s, " First  [ One ]", "-X0", "-Y0", V.wine_path(first))

        # Load entry of the system menu: the dialog, a chart chosen in it, playing at once.
        w.syscommand(V.IDM_LOAD)
        dialog = _wait_file_dialog(p)
        check(p.has_diag('Dialog "Open KTB file"'), "no diagnostic line for the open-file dialog")
        code, out = V.run_tool(s, "filedlg_tool.exe", dialog.hwnd, V.wine_path(second))
        check_equal(code, 0, "filedlg_tool: %r" % out)
        V.wait_title(w, " Second  [ Two ]")
        V.settle(0.3)
        check(V.wait_moving(w, "reloaded"), "the reloaded chart does not play")

        # WM_VIEWER_RELOAD, cancelled: nothing changes, playback goes on.
        w.post(V.WM_VIEWER_RELOAD)
        dialog = _wait_file_dialog(p)
        dialog.dismiss(harness.IDCANCEL)
        V.settle(0.3)
        check_equal(w.title(), " Second  [ Two ]", "title after a cancelled reload")
        check(V.wait_moving(w, "reload_cancelled"), "playback did not resume after the cancelled dialog")

        # A double-click, then a chart that cannot be read: the error box, then the viewer ends.
        w.dblclick()
        dialog = _wait_file_dialog(p)
        empty = V.wine_path(os.path.join(folder, "gone.ktb"))
        with open(os.path.join(folder, "gone.ktb"), "w") as f:
            f.write("")  # exists for the dialog, holds nothing
        V.run_tool(s, "filedlg_tool.exe", dialog.hwnd, empty)
        box = V.wait_box(p, "FileLoadError!")
        check_equal(box.text, empty, "text after a failed reload")
        box.dismiss()
        check_equal(p.wait_exit(timeout=20), 0, "exit code after a failed reload")
        check(not any("xception" in line for line in p.stderr_other), "crash output: %r" % p.stderr_other[-5:])


def _keep_stamp(path, data):
    """Rewrites the file with data of the same size and gives it back its last-write time."""
    st = os.stat(path)
    with open(path, "wb") as f:
        f.write(data[:st.st_size].ljust(st.st_size, b"\0"))
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))


def _new_stamp(path):
    st = os.stat(path)
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 2 * 10**9))


def test_load_option_hands_the_chart_to_the_running_viewer(s):
    with V.TempDir() as folder:
        first = V.write_chart(folder, name="a.ktb", title="First", artist="One")
        second = V.write_chart(folder, name="b.ktb", title="Second", artist="Two")  # the same three sounds
        p, w = V.start_ready(s, " First  [ One ]", "-P", "-X0", "-Y0", V.wine_path(first))

        # While it plays: tone.wav becomes another tone, so its buffer must be loaded again;
        # low.wav becomes bytes that are no sound but keep its size and time: loaded again, it
        # would fail with "LoadFailed".
        tone, low = os.path.join(folder, "tone.wav"), os.path.join(folder, "low.wav")
        V.write_wav(tone, 880, 0.4)
        _new_stamp(tone)
        _keep_stamp(low, b"")

        # A relative path, made absolute against the folder of the start that hands it over.
        start = s.start(V.VIEWER, "-L", "-N2", "-P", "b.ktb", cwd=folder)
        check_equal(start.wait_exit(timeout=60, dismiss_boxes=False), 1, "exit code of the -L start")
        check(start.has_diag("-L Option = loaded: " + V.wine_path(second)), "start: %r" % start.diag_lines)
        check_equal(w.title(), " Second  [ Two ]", "title once the start has ended")
        p.wait_diag("ReloadSounds kept=2 loaded=1 freed=1")
        check(not p.has_diag(re.compile("^LoadFailed:")), "a sound failed: %r" % p.diag_lines)
        check(V.wait_moving(w, "handed_off"), "the handed-off chart does not play")
        img = V.shot(w, "handed_off_from_2")  # from measure 2 on: measure 1 never shows again
        check(not V.find_digit_rows(img, A.GUITAR_DIGIT_XS[3], "1"), "guitar measure number 1 on screen")

        # ktbctl load, with a sound replaced by a broken file: reported, and the chart plays.
        _keep_stamp(tone, b"broken")
        _new_stamp(tone)
        code, out = V.run_tool(s, "ktbctl.exe", "load", V.wine_path(first), timeout=60)
        check_equal(code, 0, "ktbctl load: %r" % out)
        check_equal(w.title(), " First  [ One ]", "title after ktbctl load")
        p.wait_diag(re.compile(r"^LoadFailed:.*\\tone\.wav$"))
        check(V.wait_moving(w, "broken_sound"), "the chart with a broken sound does not play")

        # A chart that cannot be read: refused answer, then the load error box, then the end.
        missing = V.wine_path(os.path.join(folder, "missing.ktb"))
        code, out = V.run_tool(s, "ktbctl.exe", "load", missing, timeout=60)
        check_equal(code, 3, "ktbctl load of a missing chart: %r" % out)
        box = V.wait_box(p, "FileLoadError!")
        check_equal(box.text, missing, "text of the load error box")
        box.dismiss()
        check_equal(p.wait_exit(timeout=20), 0, "exit code after a failed hand-off")
        check_equal(V.run_tool(s, "ktbctl.exe", "load", V.wine_path(first))[0], 1, "ktbctl load without viewer")


def test_closing_the_window_shuts_down_cleanly(s):
    with V.TempDir() as folder:
        chart = V.write_chart(folder)
        p, w = V.start_ready(s, TITLE, "-P", V.wine_path(chart))
        w.syscommand(harness.SC_CLOSE)
        check_equal(p.wait_exit(), 0, "exit code after Close")
        check(not any("xception" in line or "fault" in line for line in p.stderr_other),
              "crash output: %r" % p.stderr_other[-5:])
        check(not s.find_windows(V.CLASS), "a window is left")


if __name__ == "__main__":
    harness.main([
        test_second_start_forwards_its_options,
        test_ktbctl_posts_to_running_viewers,
        test_viewer_of_one_runner_call_survives_the_others,
        test_remote_off_and_two_viewers,
        test_keys_and_about_box,
        test_load_entry_and_reload_message,
        test_load_option_hands_the_chart_to_the_running_viewer,
        test_closing_the_window_shuts_down_cleanly,
    ], time_limit=500)
