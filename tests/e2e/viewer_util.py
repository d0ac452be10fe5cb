"""Helpers of the viewer's end-to-end tests: small test charts with sounds of our own, Wine paths,
and reading the score picture (chip colours, measure lines, measure-number digits).

The test chart (write_chart) runs at 120 bpm in 4/4: measure m starts at 1500 + 2000 m ms.
With the default speed 0.5 the drum lanes scroll 80 and the other lanes 50 pixels per second, so
a note d ms ahead of the shown chart time sits at y = 305 - d * 80 / 1000 (drum),
10 + d * 50 / 1000 (guitar, bass) or 305 - d * 50 / 1000 (sound lanes).
"""

import math
import os
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.environ.get("KTB_SOURCE_DIR") or os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "tools"))

import artwork_spec as A  # noqa: E402
import harness  # noqa: E402

CLASS = "KTBViewer_ZW"
VIEWER = "KTBViewer.exe"

WM_VIEWER_QUIT = harness.WM_USER + 101
WM_VIEWER_PAUSE = harness.WM_USER + 102
WM_VIEWER_RESUME = harness.WM_USER + 103
WM_VIEWER_RESTART = harness.WM_USER + 104
WM_VIEWER_PLAY_FROM = harness.WM_USER + 105
WM_VIEWER_SPEED = harness.WM_USER + 106
WM_VIEWER_RELOAD = harness.WM_USER + 110
WM_VIEWER_REMOTE_OFF = harness.WM_USER + 200
IDM_ABOUT = 256
IDM_LOAD = 257


def measure_start(m):
    return 1500 + 2000 * m


def wine_path(path):
    """A Unix path as Wine's Z: drive sees it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# --------------------------------------------------------------------------------------------
# Sounds and charts

def write_wav(path, freq, seconds, volume=0.5, rate=22050, noise=False, decay=4.0):
    """A mono 16-bit PCM tone (or noise burst) with a quick decay (none with decay=0)."""
    n = int(rate * seconds)
    seed = 12345
    frames = bytearray()
    for i in range(n):
        env = math.exp(-decay * i / n)
        if noise:
            seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
            v = (seed / 0x3FFFFFFF) - 1.0
        else:
            v = math.sin(2 * math.pi * freq * i / rate)
        frames += struct.pack("<h", int(32767 * volume * env * v))
    fmt = struct.pack("<HHIIHH", 1, 1, rate, rate * 2, 2, 16)
    data = b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + len(frames)) + b"WAVE"
    data += b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(frames)) + bytes(frames)
    with open(path, "wb") as f:
        f.write(data)


def write_chart(folder, name="probe.ktb", title="Probe Song", artist="Test Band", measures=24, extra=""):
    """The test chart: sounds tick.wav (01), tone.wav (02), low.wav (03) in the same folder.

    Measure 0: HH, guitar chord 4 (red) and sound channel 01 at its start.
    Measure 1: SD at its start, HH half a measure later, guitar chord 2 at its start.
    Measures 2 .. measures-1: HH on every quarter, BD on 1 and 3, guitar chord 1 and bass chord 4
    on every half, sound channel 02 on 1.
    """
    os.makedirs(folder, exist_ok=True)
    write_wav(os.path.join(folder, "tick.wav"), 0, 0.08, noise=True)
    write_wav(os.path.join(folder, "tone.wav"), 440, 0.4)
    write_wav(os.path.join(folder, "low.wav"), 110, 0.4)
    lines = ["#TITLE %s" % title if title is not None else "",
             "#ARTIST %s" % artist if artist is not None else "",
             "#BPM 120",
             "#WAV01 tick.wav", "#WAV02 tone.wav", "#WAV03 low.wav", "",
             "#000HH:01", "#000G4:02", "#00001:02",
             "#001SD:01", "#001HH:0001", "#001G2:02"]
    for m in range(2, measures):
        lines += ["#%03dHH:01010101" % m, "#%03dBD:0303" % m, "#%03dG1:0202" % m,
                  "#%03dB4:0303" % m, "#%03d02:02" % m]
    path = os.path.join(folder, name)
    with open(path, "w", newline="\r\n") as f:
        f.write("\n".join(l for l in lines if l is not None) + "\n" + extra)
    return path


class TempDir:
    def __init__(self, prefix="ktbe2e_"):
        self.path = tempfile.mkdtemp(prefix=prefix)

    def __enter__(self):
        return self.path

    def __exit__(self, *exc):
        import shutil
        shutil.rmtree(self.path, ignore_errors=True)
        return False


# --------------------------------------------------------------------------------------------
# Reading the picture

def near(colour, expected, tolerance=12):
    return all(abs(a - b) <= tolerance for a, b in zip(colour, expected))


def chip_fill(img, x, y):
    """The fill colour of a chip whose picture has its top-left corner at (x, y)."""
    return img.pixel(x + 4, y + 1)


def read_digit(img, x, y):
    """The digit drawn with its top-left corner at (x, y), or None."""
    w, h = A.DIGIT_GLYPH_SIZE
    if x < 0 or y < 0 or x + w > img.width or y + h > img.height:
        return None
    bits = ["".join("#" if near(img.pixel(x + i, y + j), A.WHITE, 40) else "." for i in range(w)) for j in range(h)]
    for digit, glyph in A.DIGIT_FONT.items():
        if glyph == bits:
            return digit
    return None


def find_digit_rows(img, x, digit):
    """Every y at which the digit is drawn at column x."""
    return [y for y in range(0, img.height - A.DIGIT_GLYPH_SIZE[1] + 1) if read_digit(img, x, y) == digit]


def white_rows(img, x):
    """Rows in which column x is white (measure lines crossing the column)."""
    return [y for y in range(img.height) if near(img.pixel(x, y), A.WHITE, 40)]


def shot(window, name):
    """A screenshot of the client area where it is now (the display set-up resizes and may move
    the window after it first appears)."""
    return window.refresh().screenshot(name)


def same_picture(a, b):
    return a.data == b.data


def wait_still(window, name, timeout=8.0, gap=0.7):
    """Waits until two screenshots `gap` seconds apart are equal (the viewer stands still);
    returns the picture, or None when it kept moving for `timeout` seconds. Polling instead of
    one fixed wait keeps the tests stable on a busy machine, where a posted key or message may
    take a while to be handled."""
    deadline = time.monotonic() + timeout
    previous = shot(window, name + "_a")
    while True:
        time.sleep(gap)
        current = shot(window, name + "_b")
        if same_picture(previous, current):
            return current
        if time.monotonic() > deadline:
            return None
        previous = current


def wait_moving(window, name, timeout=8.0, gap=0.5):
    """Waits until two screenshots `gap` seconds apart differ (the viewer plays); True when
    they did within `timeout` seconds."""
    deadline = time.monotonic() + timeout
    previous = shot(window, name + "_a")
    while True:
        time.sleep(gap)
        current = shot(window, name + "_b")
        if not same_picture(previous, current):
            return True
        if time.monotonic() > deadline:
            return False
        previous = current


def wait_title(window, expected, timeout=20.0):
    deadline = time.monotonic() + timeout
    while True:
        title = window.title()
        if title == expected:
            return title
        if time.monotonic() > deadline:
            raise harness.HarnessError("window title %r, expected %r" % (title, expected))
        time.sleep(0.1)


def wait_gone(session, window, timeout=10.0):
    deadline = time.monotonic() + timeout
    while window.alive():
        if time.monotonic() > deadline:
            raise harness.HarnessError("window %s still there" % window.hwnd)
        time.sleep(0.1)


def run_tool(session, exe, *args, timeout=20):
    """Runs a console program of the build directory under Wine; returns (exit code, stdout)."""
    path = session.exe_path(exe)
    env = dict(os.environ, WINEDEBUG="-all")
    r = subprocess.run([session.wine, path] + [str(a) for a in args], stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, env=env, timeout=timeout,
                       cwd=session.build_dir)
    return r.returncode, r.stdout.decode("latin-1")


def loud_span(wav_path, threshold=1000):
    """(seconds from the first to the last sample above threshold, count of such samples) of the
    first channel of a 16-bit PCM WAV (the runner's KTB_RECORD recording)."""
    import wave
    with wave.open(wav_path, "rb") as w:
        rate, channels = w.getframerate(), w.getnchannels()
        data = w.readframes(w.getnframes())
    samples = struct.unpack("<%dh" % (len(data) // 2), data[:len(data) // 2 * 2])[::channels]
    loud = [i for i, v in enumerate(samples) if abs(v) > threshold]
    return ((loud[-1] - loud[0]) / rate if loud else 0.0), len(loud)


def runner_call(session, exe, *args, env=None, cwd=None):
    """Starts tools/winerun.sh with an .exe of the build directory as a call of its own (not nested
    in the test's call): it shares the prefix, display and sound server, and ends only what it
    started. Returns the Popen; its output goes to files (a Wine service started on the way may
    keep a pipe open), read by finish_call."""
    penv = dict(os.environ)
    penv.pop("KTB_WINE_ENV", None)
    penv.update(env or {})
    winerun = os.path.join(SOURCE_DIR, "tools", "winerun.sh")
    harness.log("  runner call %s %s" % (exe, " ".join(str(a) for a in args)))
    out, err = tempfile.TemporaryFile(), tempfile.TemporaryFile()
    call = subprocess.Popen([winerun, session.exe_path(exe)] + [str(a) for a in args], stdin=subprocess.DEVNULL,
                            stdout=out, stderr=err, env=penv, cwd=cwd or session.build_dir)
    call.output_files = (out, err)
    return call


def finish_call(call, what, timeout=60):
    """Waits for a runner call; returns (exit code, stdout, stderr) as text."""
    def read(f):
        f.seek(0)
        return f.read().decode("latin-1")

    try:
        call.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        call.terminate()
        call.wait(timeout=30)
        raise harness.HarnessError("%s did not end within %d s: %r" % (what, timeout, read(call.output_files[1])[-300:]))
    return call.returncode, read(call.output_files[0]), read(call.output_files[1])


def wait_window_of_call(session, call, timeout=30.0):
    """The one viewer window, opened by a runner call."""
    deadline = time.monotonic() + timeout
    while True:
        found = session.find_windows(CLASS)
        if len(found) == 1 and found[0].visible:
            return found[0]
        if call.poll() is not None:
            raise harness.HarnessError("the runner call ended with %s before its viewer window appeared: %r"
                                       % (call.returncode, finish_call(call, "viewer")))
        if time.monotonic() > deadline:
            raise harness.HarnessError("no viewer window of the runner call within %.0f s" % timeout)
        time.sleep(0.1)


def start_viewer(session, *args, env=None, cwd=None):
    """Starts a viewer that must open its window; returns (program, window)."""
    p = session.start(VIEWER, *args, env=env, cwd=cwd)
    w = p.wait_window(CLASS, timeout=30)
    return p, w


def settle(seconds=0.6):
    time.sleep(seconds)


def start_ready(session, title, *args, env=None, cwd=None):
    """Starts a viewer, waits for its final title and for its first frames on the screen."""
    p, w = start_viewer(session, *args, env=env, cwd=cwd)
    wait_title(w, title)
    settle()
    return p, w


def wait_box(program, caption, timeout=20.0):
    """Waits for a dialog of the program with this caption (others, e.g. a closing file dialog,
    are passed over); returns it, still open."""
    deadline = time.monotonic() + timeout
    while True:
        for box in program.message_boxes():
            if box.caption == caption:
                program.boxes_seen.append(box)
                harness.log("  message box %r: %r" % (box.caption, box.text))
                return box
        if not program.running:
            raise harness.HarnessError("%s ended without a %r box" % (program.exe, caption))
        if time.monotonic() > deadline:
            raise harness.HarnessError("no %r box within %.0f s" % (caption, timeout))
        time.sleep(0.1)
