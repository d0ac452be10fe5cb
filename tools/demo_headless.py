"""Plays the demo chart on the virtual display, saves one screenshot after a few seconds of play
(tools/run-demo.sh records the sound of the whole run beside it)."""

import os
import sys
import time

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(root, "tests", "e2e"))
import harness  # noqa: E402

SECONDS_BEFORE_SHOT = 6.0


def main():
    build_dir = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "build", "x64"))
    session = harness.Session(build_dir, "demo")
    try:
        viewer = session.start("KTBViewer.exe", "-P", "demo.ktb", cwd=os.path.join(root, "demo"))
        window = viewer.wait_window("KTBViewer_ZW", timeout=60)
        time.sleep(SECONDS_BEFORE_SHOT)
        title = window.title()
        shot = os.path.join(build_dir, "demo-screenshot.png")
        window.screenshot(path=shot)
        window.key(harness.VK_ESCAPE)
        code = viewer.wait_exit(timeout=20)
        print("KTB Viewer played the demo: window title %r, exit code %d" % (title, code))
        print("Screenshot after %.0f s of play: %s" % (SECONDS_BEFORE_SHOT, shot))
        return 0 if code == 0 else 1
    finally:
        session.close()


if __name__ == "__main__":
    sys.exit(main())
