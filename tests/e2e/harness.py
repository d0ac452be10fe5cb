"""End-to-end harness: runs our Windows programs under Wine and looks at them from outside.

Python 3 standard library only.  A test script builds a list of test functions and hands it
to main(); each function gets the Session:

    import harness

    def test_window(s):
        p = s.start("hello_probe.exe")
        w = p.wait_window("KTBHello_ZW")
        harness.check(w.title() == "Hello probe", "title %r" % w.title())
        w.key(harness.VK_ESCAPE)
        harness.check_equal(p.wait_exit(), 0, "exit code")

    if __name__ == "__main__":
        harness.main([test_window])

How it works:
  * Every script runs inside tools/winerun.sh (CTest does that; main() re-runs the script
    through it when started by hand), which gives the private Wine prefix, a display and sound.
  * Session.start() runs an .exe of the build directory with the Wine loader, with
    WINEDEBUG=-all,+debugstr; a thread reads its stderr and turns the debugstr lines back into
    the text the program wrote with OutputDebugStringA (Program.diag_lines); the rest of stderr
    is kept in Program.stderr_other.
  * Windows, titles, message boxes and input go through wintool.exe (tests/e2e/programs),
    started once per session in "serve" mode: it lives in the same prefix, so it sees the
    program's windows and posts messages to them.
  * Screenshots are taken from the X display (ImageMagick `import -window root`, or `xwd`),
    cropped to the client rectangle that wintool reports, saved as PNG and returned as an
    Image with RGB pixels.
  * Every wait is bounded; a timeout kills the program and fails the test with what was seen
    (diagnostic lines, message boxes).  Session.close() kills whatever is still running.
"""

import os
import queue
import re
import select
import shutil
import struct
import subprocess
import sys
import threading
import time
import traceback
import zlib

VK_RETURN = 0x0D
VK_ESCAPE = 0x1B
VK_SPACE = 0x20
WM_CLOSE = 0x0010
WM_KEYDOWN = 0x0100
WM_SYSCOMMAND = 0x0112
WM_USER = 0x0400
SC_CLOSE = 0xF060
IDOK = 1
IDCANCEL = 2

# A Windows exit code of -1 reaches us as 255 (Wine passes the low 8 bits to the Unix side).
EXIT_MINUS_ONE = 255

DEFAULT_TIMEOUT = 20.0
POLL = 0.1


class HarnessError(AssertionError):
    """A test failure found by the harness (also raised by check())."""


class HarnessTimeout(HarnessError):
    """A bounded wait ran out."""


def check(condition, message):
    if not condition:
        raise HarnessError(message)


def check_equal(actual, expected, what):
    if actual != expected:
        raise HarnessError("%s: expected %r, got %r" % (what, expected, actual))


def log(text):
    print(text, flush=True)


# --------------------------------------------------------------------------------------------
# Text helpers

_DEBUGSTR = re.compile(r'^(?:[0-9a-fA-F]+:)+warn:debugstr:OutputDebugString[AW] "(.*)"(\.\.\.)?\s*$')


def decode_debugstr(escaped):
    """Undoes Wine's escaping of a debug string: \\n \\r \\t \\" \\\\ \\xHH (and \\HHHH of
    wide strings).  Bytes are mapped one to one (latin-1), so no byte is lost."""
    out = []
    i = 0
    n = len(escaped)
    while i < n:
        c = escaped[i]
        if c != "\\" or i + 1 >= n:
            out.append(c)
            i += 1
            continue
        e = escaped[i + 1]
        simple = {"n": "\n", "r": "\r", "t": "\t", '"': '"', "\\": "\\"}
        if e in simple:
            out.append(simple[e])
            i += 2
        elif e == "x" and re.match(r"[0-9a-fA-F]{2}", escaped[i + 2:i + 4]):
            out.append(chr(int(escaped[i + 2:i + 4], 16)))
            i += 4
        elif re.match(r"[0-9a-fA-F]{4}", escaped[i + 1:i + 5]):
            out.append(chr(int(escaped[i + 1:i + 5], 16)))
            i += 5
        else:
            out.append(c)
            i += 1
    return "".join(out)


def _unescape_field(text):
    """Undoes wintool's field escaping (\\\\ \\t \\r \\n)."""
    return re.sub(r"\\(.)", lambda m: {"t": "\t", "r": "\r", "n": "\n"}.get(m.group(1), m.group(1)), text)


# --------------------------------------------------------------------------------------------
# Images

class Image:
    """RGB pixels, rows top to bottom, 3 bytes per pixel."""

    def __init__(self, width, height, data, path=None):
        self.width = width
        self.height = height
        self.data = bytes(data)
        self.path = path

    def pixel(self, x, y):
        if not (0 <= x < self.width and 0 <= y < self.height):
            raise HarnessError("pixel (%d,%d) outside %dx%d image" % (x, y, self.width, self.height))
        o = (y * self.width + x) * 3
        return tuple(self.data[o:o + 3])

    def crop(self, left, top, width, height):
        left = max(0, left)
        top = max(0, top)
        width = max(0, min(width, self.width - left))
        height = max(0, min(height, self.height - top))
        rows = []
        for y in range(top, top + height):
            o = (y * self.width + left) * 3
            rows.append(self.data[o:o + width * 3])
        return Image(width, height, b"".join(rows))

    def count(self, colour, tolerance=0):
        """Number of pixels within tolerance (per channel) of an (r, g, b) colour."""
        r0, g0, b0 = colour
        d = self.data
        total = 0
        for o in range(0, len(d), 3):
            if abs(d[o] - r0) <= tolerance and abs(d[o + 1] - g0) <= tolerance and abs(d[o + 2] - b0) <= tolerance:
                total += 1
        return total

    def colours(self):
        """Dictionary (r, g, b) -> pixel count."""
        found = {}
        d = self.data
        for o in range(0, len(d), 3):
            key = (d[o], d[o + 1], d[o + 2])
            found[key] = found.get(key, 0) + 1
        return found

    def save_png(self, path):
        def chunk(kind, body):
            return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)

        stride = self.width * 3
        raw = b"".join(b"\0" + self.data[y * stride:(y + 1) * stride] for y in range(self.height))
        header = struct.pack(">IIBBBBB", self.width, self.height, 8, 2, 0, 0, 0)
        png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b"")
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        with open(path, "wb") as f:
            f.write(png)
        self.path = path
        return path


def parse_ppm(blob):
    """Reads a binary PPM (P6, maxval 255)."""
    fields = []
    pos = 0
    while len(fields) < 4:
        while pos < len(blob) and blob[pos:pos + 1].isspace():
            pos += 1
        if blob[pos:pos + 1] == b"#":
            while pos < len(blob) and blob[pos:pos + 1] != b"\n":
                pos += 1
            continue
        start = pos
        while pos < len(blob) and not blob[pos:pos + 1].isspace():
            pos += 1
        fields.append(blob[start:pos])
    pos += 1
    if fields[0] != b"P6" or int(fields[3]) != 255:
        raise HarnessError("unexpected screenshot format %r" % fields)
    width, height = int(fields[1]), int(fields[2])
    data = blob[pos:pos + width * height * 3]
    if len(data) != width * height * 3:
        raise HarnessError("screenshot is cut short")
    return Image(width, height, data)


def grab_screen():
    """The whole X screen as an Image."""
    attempts = []
    if shutil.which("import"):
        attempts.append(["import", "-silent", "-window", "root", "-depth", "8", "ppm:-"])
    if shutil.which("xwd") and shutil.which("convert"):
        attempts.append(["sh", "-c", "xwd -root -silent | convert xwd:- -depth 8 ppm:-"])
    errors = []
    for cmd in attempts:
        try:
            r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=20)
        except subprocess.TimeoutExpired:
            errors.append("%s: timed out" % cmd[0])
            continue
        if r.returncode == 0 and r.stdout:
            return parse_ppm(r.stdout)
        errors.append("%s: %s" % (cmd[0], r.stderr.decode("latin-1", "replace").strip()))
    raise HarnessError("cannot take a screenshot of DISPLAY=%s (%s)" % (os.environ.get("DISPLAY"), "; ".join(errors) or "no import/xwd"))


# --------------------------------------------------------------------------------------------
# wintool

class WinTool:
    """wintool.exe in serve mode: one command per line, answers end in OK or ERR."""

    def __init__(self, session):
        self.session = session
        self.proc = None
        self.lines = None
        self.lock = threading.Lock()

    def _start(self):
        exe = self.session.exe_path("wintool.exe")
        env = dict(os.environ, WINEDEBUG="-all")
        self.proc = subprocess.Popen([self.session.wine, exe, "serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, env=env, cwd=self.session.build_dir)
        self.lines = queue.Queue()
        proc, lines = self.proc, self.lines

        def reader():
            for raw in proc.stdout:
                lines.put(raw.decode("latin-1").rstrip("\r\n"))
            lines.put(None)

        threading.Thread(target=reader, daemon=True).start()

    def run(self, *args, timeout=15.0):
        """Runs one command; returns its output lines, raises HarnessError on ERR."""
        words = []
        for a in args:
            a = str(a)
            if '"' in a or "\n" in a:
                raise HarnessError("wintool argument %r cannot be passed" % a)
            words.append('"%s"' % a if (" " in a or "\t" in a or not a) else a)
        with self.lock:
            if self.proc is None or self.proc.poll() is not None:
                self._start()
            try:
                self.proc.stdin.write((" ".join(words) + "\n").encode("latin-1"))
                self.proc.stdin.flush()
            except OSError as e:
                self._stop()
                raise HarnessError("wintool is not running: %s" % e)
            out = []
            deadline = time.monotonic() + timeout
            while True:
                left = deadline - time.monotonic()
                try:
                    line = self.lines.get(timeout=max(0.01, left))
                except queue.Empty:
                    self._stop()
                    raise HarnessTimeout("wintool did not answer %r within %.0f s" % (" ".join(words), timeout))
                if line is None:
                    self._stop()
                    raise HarnessError("wintool ended while running %r" % " ".join(words))
                if line == "OK":
                    return out
                if line.startswith("ERR"):
                    raise HarnessError("wintool %s: %s" % (" ".join(words), _unescape_field(line[4:])))
                out.append(line)

    def _stop(self):
        proc, self.proc = self.proc, None
        if proc is None:
            return
        try:
            if proc.poll() is None:
                proc.stdin.write(b"exit\n")
                proc.stdin.flush()
                proc.wait(timeout=3)
        except (OSError, subprocess.TimeoutExpired):
            pass
        if proc.poll() is None:
            proc.kill()
            proc.wait(timeout=5)

    def close(self):
        with self.lock:
            self._stop()


# --------------------------------------------------------------------------------------------
# Windows and message boxes

class Window:
    def __init__(self, session, class_name, fields):
        self.session = session
        self.hwnd = fields[0]
        self.pid = int(fields[1])
        self.exe = _unescape_field(fields[2])
        self.visible = fields[3] == "1"
        # Client area in screen coordinates: left, top, right, bottom.
        self.rect = tuple(int(v) for v in fields[4:8])
        self.initial_title = _unescape_field(fields[8]) if len(fields) > 8 else ""
        self.class_name = class_name

    def __repr__(self):
        return "Window(%s pid %d %s %r rect %s)" % (self.hwnd, self.pid, self.exe, self.initial_title, self.rect)

    @property
    def width(self):
        return self.rect[2] - self.rect[0]

    @property
    def height(self):
        return self.rect[3] - self.rect[1]

    def _tool(self, *args):
        return self.session.wintool.run(*args)

    def title(self):
        lines = self._tool("title", self.hwnd)
        return _unescape_field(lines[0]) if lines else ""

    def alive(self):
        return self._tool("alive", self.hwnd) == ["1"]

    def post(self, msg, wparam=0, lparam=0):
        self._tool("post", self.hwnd, msg, wparam, lparam)

    def send(self, msg, wparam=0, lparam=0):
        """SendMessage with a 2 s timeout; returns the result."""
        return int(self._tool("send", self.hwnd, msg, wparam, lparam)[0])

    def key(self, vk):
        """Posts WM_KEYDOWN and WM_KEYUP for a virtual key."""
        self._tool("key", self.hwnd, vk)

    def syscommand(self, command_id):
        self._tool("sys", self.hwnd, command_id)

    def dblclick(self, x=None, y=None):
        """Posts a double-click at client coordinates (default: the middle)."""
        if x is None:
            self._tool("dblclick", self.hwnd)
        else:
            self._tool("dblclick", self.hwnd, x, y)

    def close(self):
        self._tool("close", self.hwnd)

    def refresh(self):
        """Reads the position again (the window may have moved)."""
        for w in self.session.find_windows(self.class_name):
            if w.hwnd == self.hwnd:
                self.rect, self.visible = w.rect, w.visible
                return self
        raise HarnessError("window %s is gone" % self.hwnd)

    def screenshot(self, name=None, path=None):
        """Takes the client area from the screen; saves it as PNG (name without extension)
        in the session's artifact folder, or at path when given, and returns the Image."""
        self.refresh()
        screen = grab_screen()
        l, t, r, b = self.rect
        if r <= l or b <= t:
            raise HarnessError("window %s has an empty client area %s" % (self.hwnd, self.rect))
        image = screen.crop(l, t, r - l, b - t)
        if (image.width, image.height) != (r - l, b - t):
            raise HarnessError("client area %s is not fully on the %dx%d screen" % (self.rect, screen.width, screen.height))
        name = name or "window_%s" % self.hwnd
        image.save_png(path or os.path.join(self.session.artifacts, name + ".png"))
        log("  screenshot %s" % image.path)
        return image


class MessageBox:
    def __init__(self, session, fields):
        self.session = session
        self.hwnd = fields[0]
        self.pid = int(fields[1])
        self.exe = _unescape_field(fields[2])
        self.owner = fields[3]
        self.caption = _unescape_field(fields[4])
        self.text = _unescape_field(fields[5])
        self.buttons = []
        for part in _unescape_field(fields[6]).split("|") if fields[6] else []:
            ident, _, label = part.partition(":")
            self.buttons.append((int(ident), label))

    def __repr__(self):
        return "MessageBox(%r, %r, pid %d %s)" % (self.caption, self.text, self.pid, self.exe)

    def dismiss(self, button=None, timeout=10.0):
        """Presses a button (default: the default button) and waits until the box is gone."""
        args = ["dismiss", self.hwnd] + ([button] if button is not None else [])
        self.session.wintool.run(*args)
        deadline = time.monotonic() + timeout
        while self.session.wintool.run("alive", self.hwnd) == ["1"]:
            if time.monotonic() > deadline:
                self.session.wintool.run("close", self.hwnd)
                raise HarnessTimeout("message box %r did not close" % self.caption)
            time.sleep(POLL)
        log("  dismissed message box %r: %r" % (self.caption, self.text))


# --------------------------------------------------------------------------------------------
# Programs

class Program:
    """One program started under Wine."""

    def __init__(self, session, exe, args, proc, started, pids_before=()):
        self.session = session
        self._before = set(pids_before)  # Windows pids of the same exe that ran before the start
        self.exe = exe
        self.args = list(args)
        self.proc = proc
        self.started = started
        self.winpid = None  # Windows process id, once seen
        self.diag_lines = []  # complete lines written with OutputDebugStringA, without "\n"
        self.diag_pieces = []  # every OutputDebugStringA call, as written
        self.stderr_other = []  # other stderr lines (Wine messages, crashes)
        self.stdout_lines = []
        self.boxes_seen = []  # every MessageBox met while waiting
        self._pending = ""
        self._cond = threading.Condition()
        self._readers = [
            threading.Thread(target=self._read_stderr, daemon=True),
            threading.Thread(target=self._read_stdout, daemon=True),
        ]
        for t in self._readers:
            t.start()

    def __repr__(self):
        return "Program(%s %s)" % (self.exe, " ".join(self.args))

    # ---- output capture

    def _read_lines(self, stream, on_line):
        """Reads lines until end of file, or until the program has ended and nothing more
        comes: a process that the program started may hold the pipe open much longer."""
        fd = stream.fileno()
        rest = b""
        while True:
            ready, _, _ = select.select([fd], [], [], 0.1)
            if ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    break
                lines = (rest + chunk).split(b"\n")
                rest = lines.pop()
                for raw in lines:
                    on_line(raw.decode("latin-1").rstrip("\r"))
            elif self.proc.poll() is not None:
                break
        if rest:
            on_line(rest.decode("latin-1").rstrip("\r"))

    def _read_stderr(self):
        self._read_lines(self.proc.stderr, self._on_stderr_line)
        with self._cond:
            if self._pending:
                self.diag_lines.append(self._pending)
                self._pending = ""
            self._cond.notify_all()

    def _on_stderr_line(self, line):
        m = _DEBUGSTR.match(line)
        with self._cond:
            if m:
                text = decode_debugstr(m.group(1))
                self.diag_pieces.append(text)
                self._pending += text
                parts = self._pending.split("\n")
                self._pending = parts.pop()
                self.diag_lines.extend(parts)
                if m.group(2):  # Wine cut a long string: end the line here
                    self.diag_lines.append(self._pending + "...")
                    self._pending = ""
            else:
                self.stderr_other.append(line)
            self._cond.notify_all()

    def _read_stdout(self):
        def on_line(line):
            with self._cond:
                self.stdout_lines.append(line)

        self._read_lines(self.proc.stdout, on_line)

    # ---- state

    @property
    def running(self):
        return self.proc.poll() is None

    @property
    def exit_code(self):
        """Exit code once ended (0-255; a Windows -1 is 255), else None."""
        return self.proc.poll()

    @property
    def crashed(self):
        """True when Wine reported an unhandled exception. The exit code is then the low byte
        of the exception code (5 for an access violation), or 0 when Wine's debugger ended
        first: tell a crash by this, not by the exit code."""
        with self._cond:
            return any(line.startswith("wine: Unhandled") for line in self.stderr_other)

    def describe(self, lines=30):
        state = "running" if self.running else "exit code %s" % self.exit_code
        out = ["%r, %s%s" % (self, state, ", CRASHED" if self.crashed else "")]
        with self._cond:
            diag = list(self.diag_lines[-lines:])
            other = list(self.stderr_other[-lines:])
        out.append("  diagnostic lines (%d):" % len(self.diag_lines))
        out.extend("    | " + d for d in diag)
        if other:
            out.append("  other stderr:")
            out.extend("    ! " + o for o in other)
        for b in self.boxes_seen:
            out.append("  message box seen: %r" % b)
        return "\n".join(out)

    def _fail(self, message, kill=True, cls=HarnessError):
        if kill and self.running:
            self.kill()
            message += " (program killed)"
        error = cls(message + "\n" + self.describe())
        error.program = self
        raise error

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        for t in self._readers:
            t.join(timeout=2)

    def _resolve_pid(self):
        if self.winpid is None:
            self.winpid = self.session._claim_pid(self)
        return self.winpid

    # ---- waits

    def wait_window(self, class_name, timeout=DEFAULT_TIMEOUT, visible=True):
        """Waits for a top-level window of this program with the class name."""
        deadline = time.monotonic() + timeout
        while True:
            pid = self._resolve_pid()
            for w in self.session.find_windows(class_name):
                if (pid is None or w.pid == pid) and (w.visible or not visible):
                    if pid is None:
                        self.winpid = w.pid
                    return w
            if not self.running:
                self._fail("%s ended with exit code %s before a window of class %r appeared"
                           % (self.exe, self.exit_code, class_name))
            boxes = self.message_boxes()
            if boxes:
                self.boxes_seen.extend(boxes)
                self._fail("a message box blocks %s before a window of class %r appeared: %r"
                           % (self.exe, class_name, boxes))
            if time.monotonic() > deadline:
                self._fail("no window of class %r within %.0f s" % (class_name, timeout), cls=HarnessTimeout)
            time.sleep(POLL)

    def wait_diag(self, expected, timeout=DEFAULT_TIMEOUT):
        """Waits for a diagnostic line: a str must equal the whole line (without "\\n"),
        a compiled regex is searched.  Returns the line."""
        def matches(line):
            return expected.search(line) if hasattr(expected, "search") else line == expected

        deadline = time.monotonic() + timeout
        seen = 0
        while True:
            with self._cond:
                for line in self.diag_lines[seen:]:
                    if matches(line):
                        return line
                seen = len(self.diag_lines)
                ended = not self.running and not any(t.is_alive() for t in self._readers[:1])
                if not ended:
                    self._cond.wait(timeout=POLL)
            if ended:
                self._fail("%s ended (exit code %s) without the diagnostic line %r"
                           % (self.exe, self.exit_code, getattr(expected, "pattern", expected)))
            if time.monotonic() > deadline:
                self._fail("no diagnostic line %r within %.0f s" % (getattr(expected, "pattern", expected), timeout),
                           cls=HarnessTimeout)

    def has_diag(self, expected):
        with self._cond:
            lines = list(self.diag_lines)
        if hasattr(expected, "search"):
            return any(expected.search(line) for line in lines)
        return expected in lines

    def message_boxes(self):
        """Message boxes (dialogs of class "#32770") of this program now on screen."""
        pid = self._resolve_pid()
        if pid is None:
            return []
        return self.session.message_boxes(pid)

    def wait_msgbox(self, timeout=DEFAULT_TIMEOUT):
        """Waits for a message box of this program; returns it (still open)."""
        deadline = time.monotonic() + timeout
        while True:
            boxes = self.message_boxes()
            if boxes:
                self.boxes_seen.append(boxes[0])
                log("  message box %r: %r" % (boxes[0].caption, boxes[0].text))
                return boxes[0]
            if not self.running:
                self._fail("%s ended with exit code %s without a message box" % (self.exe, self.exit_code))
            if time.monotonic() > deadline:
                self._fail("no message box within %.0f s" % timeout, cls=HarnessTimeout)
            time.sleep(POLL)

    def wait_exit(self, timeout=DEFAULT_TIMEOUT, dismiss_boxes=True, kill_on_timeout=True):
        """Waits for the end of the program and returns its exit code.  A message box met on
        the way is recorded in boxes_seen and dismissed (dismiss_boxes) or fails the test."""
        deadline = time.monotonic() + timeout
        next_box_check = 0.0
        while True:
            try:
                self.proc.wait(timeout=POLL)
            except subprocess.TimeoutExpired:
                pass
            if not self.running:
                for t in self._readers:
                    t.join(timeout=5)
                return self.exit_code
            now = time.monotonic()
            if now >= next_box_check:
                next_box_check = now + 0.3
                for box in self.message_boxes():
                    self.boxes_seen.append(box)
                    log("  message box while waiting for the end: %r" % box)
                    if not dismiss_boxes:
                        self._fail("%s is blocked by the message box %r: %r" % (self.exe, box.caption, box.text))
                    box.dismiss()
            if time.monotonic() > deadline:
                self._fail("%s did not end within %.1f s" % (self.exe, timeout), kill=kill_on_timeout,
                           cls=HarnessTimeout)


# --------------------------------------------------------------------------------------------
# Session

class Session:
    """The programs and the wintool server of one test script."""

    def __init__(self, build_dir, name="e2e"):
        self.build_dir = os.path.abspath(build_dir)
        self.wine = os.environ.get("KTB_WINE") or "/usr/lib/wine/wine64"
        self.artifacts = os.path.join(self.build_dir, "e2e", name)
        os.makedirs(self.artifacts, exist_ok=True)
        self.programs = []
        self.wintool = WinTool(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def exe_path(self, exe):
        path = exe if os.path.isabs(exe) else os.path.join(self.build_dir, exe)
        if not os.path.isfile(path):
            raise HarnessError("%s is missing: build it first (cmake --build %s --target %s)"
                               % (path, self.build_dir, os.path.splitext(os.path.basename(exe))[0]))
        return path

    def start(self, exe, *args, cwd=None, env=None):
        """Starts an .exe of the build directory under Wine with diagnostics captured.
        Returns once the Windows process is seen (or has already ended)."""
        path = self.exe_path(exe)
        before = self._pids_of(os.path.basename(path))
        penv = dict(os.environ)
        penv.update(env or {})
        penv["WINEDEBUG"] = "-all,+debugstr"
        log("  start %s %s" % (os.path.basename(path), " ".join(str(a) for a in args)))
        proc = subprocess.Popen([self.wine, path] + [str(a) for a in args], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=cwd or self.build_dir, env=penv)
        p = Program(self, os.path.basename(path), args, proc, time.monotonic(), before)
        self.programs.append(p)
        deadline = time.monotonic() + 15
        while p.running and p._resolve_pid() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        return p

    def _pids_of(self, exe):
        return {pid for pid, name in self.processes() if name.lower() == exe.lower()}

    def _claim_pid(self, program):
        """The Windows pid of a program: its exe's process that is new since its start and
        not taken by another program of the session."""
        claimed = {p.winpid for p in self.programs if p.winpid is not None and p.running}
        fresh = self._pids_of(program.exe) - program._before - claimed
        return fresh.pop() if len(fresh) == 1 else None

    def processes(self):
        """(Windows pid, exe name) of every process in the prefix."""
        out = []
        for line in self.wintool.run("ps"):
            pid, _, name = line.partition("\t")
            out.append((int(pid), _unescape_field(name)))
        return out

    def find_windows(self, class_name):
        return [Window(self, class_name, line.split("\t")) for line in self.wintool.run("find", class_name)]

    def message_boxes(self, pid=None):
        args = ["msgbox"] + ([pid] if pid else [])
        return [MessageBox(self, line.split("\t")) for line in self.wintool.run(*args)]

    def wait_no_process(self, exes, timeout=10.0):
        """Waits until no process of these exe names is left in the prefix."""
        names = {e.lower() for e in exes}
        deadline = time.monotonic() + timeout
        while True:
            left = [(pid, n) for pid, n in self.processes() if n.lower() in names]
            if not left:
                return
            if time.monotonic() > deadline:
                raise HarnessError("processes left behind: %r" % left)
            time.sleep(POLL)

    def kill_all(self):
        for p in self.programs:
            if p.running:
                log("  killing %r, still running" % p)
                p.kill()

    def close(self):
        self.kill_all()
        self.wintool.close()


# --------------------------------------------------------------------------------------------
# Running a test script

def ensure_wine_env():
    """Re-runs the script inside tools/winerun.sh when it was started by hand."""
    if os.environ.get("KTB_WINE_ENV") == "1":
        return
    here = os.path.dirname(os.path.abspath(__file__))
    winerun = os.path.join(os.path.dirname(os.path.dirname(here)), "tools", "winerun.sh")
    os.environ.setdefault("KTB_BUILD_DIR", os.path.abspath(build_dir_from_args()))
    os.execv("/bin/bash", ["bash", winerun, sys.executable, os.path.abspath(sys.argv[0])] + sys.argv[1:])


def build_dir_from_args():
    if len(sys.argv) > 1:
        return sys.argv[1]
    if os.environ.get("KTB_BUILD_DIR"):
        return os.environ["KTB_BUILD_DIR"]
    raise SystemExit("usage: %s BUILD_DIR" % sys.argv[0])


def main(tests, time_limit=120.0):
    """Runs the test functions (each given the Session) in order and exits with 0 when all
    pass.  The whole script is bounded by time_limit seconds: past it everything is killed."""
    ensure_wine_env()
    build_dir = build_dir_from_args()
    name = os.path.splitext(os.path.basename(sys.argv[0]))[0]
    only = os.environ.get("KTB_E2E_ONLY")
    session = Session(build_dir, name)

    def watchdog():
        log("FAIL: %s exceeded its time limit of %.0f s; killing everything" % (name, time_limit))
        for p in session.programs:
            log(p.describe())
        session.kill_all()
        session.wintool.close()
        os._exit(1)

    timer = threading.Timer(time_limit, watchdog)
    timer.daemon = True
    timer.start()
    failed = []
    began = time.monotonic()
    try:
        for test in tests:
            if only and only not in test.__name__:
                continue
            count = len(session.programs)
            t0 = time.monotonic()
            log("RUN  %s" % test.__name__)
            try:
                test(session)
            except Exception as e:  # report and go on with the next test
                failed.append(test.__name__)
                log("FAIL %s (%.1f s): %s" % (test.__name__, time.monotonic() - t0, e))
                if not isinstance(e, HarnessError):
                    traceback.print_exc(file=sys.stdout)
                for p in session.programs[count:]:
                    if p is not getattr(e, "program", None):
                        log(p.describe())
            else:
                log("PASS %s (%.1f s)" % (test.__name__, time.monotonic() - t0))
            finally:
                for p in session.programs[count:]:
                    if p.running:
                        log("  %r still running at the end of the test: killed" % p)
                        p.kill()
    finally:
        session.close()
        timer.cancel()
    log("%s: %d failed, %.1f s" % (name, len(failed), time.monotonic() - began))
    sys.exit(1 if failed else 0)
