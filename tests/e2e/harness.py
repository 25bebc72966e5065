"""Shared pieces of the end-to-end tests: a private X server, the real binary,
and xdotool to look at and drive its windows as a person would."""
import difflib
import os
import re
import select
import shutil
import subprocess
import tempfile
import time
import unittest

BINARY = os.environ.get("TARNWICK_BINARY", "")

def wait_until(predicate, timeout, interval=0.05):
    """Polls `predicate` until it returns something true or `timeout` seconds
    pass; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def artifacts_dir():
    """Where screenshots of failed runs go (outside the source tree)."""
    path = os.environ.get("TARNWICK_E2E_ARTIFACTS") or os.path.join(tempfile.gettempdir(), "tarnwick-e2e-artifacts")
    os.makedirs(path, exist_ok=True)
    return path


def unavailable(reason):
    """Skips outside CI; in CI the end-to-end tests must run, so it is an error there."""
    if os.environ.get("CI"):
        raise RuntimeError(reason)
    raise unittest.SkipTest(reason)


def require_tools(*names):
    """Fails (in CI) or skips (elsewhere) when a tool is missing."""
    missing = [n for n in names if shutil.which(n) is None]
    if missing:
        unavailable("missing tools: " + " ".join(missing) + " (run scripts/setup)")


class XServer:
    """An Xvfb server on a free display number, for one test class."""

    def __init__(self):
        require_tools("Xvfb", "xdotool")
        # Xvfb picks the free display number itself (-displayfd) and tells us
        # which: guessing a free number races with other test runs on the
        # machine, which may then share, or stop, our server. Without
        # -noreset the server resets whenever its last client (xdotool, say)
        # leaves, and a program connecting just then is turned away.
        read_end, write_end = os.pipe()
        try:
            self.process = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset"],
                pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            os.close(write_end)
            write_end = None
            number = b""
            deadline = time.monotonic() + 20
            while not number.endswith(b"\n") and time.monotonic() < deadline:
                ready, _, _ = select.select([read_end], [], [], 0.1)
                if ready:
                    chunk = os.read(read_end, 16)
                    if not chunk:
                        break
                    number += chunk
        finally:
            os.close(read_end)
            if write_end is not None:
                os.close(write_end)
        if not number.strip().isdigit() or self.process.poll() is not None:
            self.stop()
            raise RuntimeError("could not start Xvfb")
        self.display = ":" + number.decode().strip()
        if not wait_until(lambda: self.run_xdotool("getdisplaygeometry").returncode == 0, 10):
            self.stop()
            raise RuntimeError(f"Xvfb on {self.display} does not answer")

    def env(self, **extra):
        environment = dict(os.environ)
        environment.pop("QT_QPA_PLATFORM", None)
        environment["DISPLAY"] = self.display
        if "XDG_RUNTIME_DIR" not in extra:
            environment["XDG_RUNTIME_DIR"] = tempfile.mkdtemp(prefix="xdg-")
        environment.update(extra)
        return environment

    def run_xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=self.display),
                              capture_output=True, text=True)

    def wait_for_window(self, name, timeout=20.0):
        """Id of the first visible window whose title is exactly `name`."""
        def search():
            found = self.run_xdotool("search", "--onlyvisible", "--name", f"^{re.escape(name)}$")
            ids = found.stdout.split()
            return ids[0] if ids else None
        return wait_until(search, timeout)

    def geometry(self, window):
        out = self.run_xdotool("getwindowgeometry", "--shell", window).stdout
        values = dict(line.split("=", 1) for line in out.split())
        return int(values["WIDTH"]), int(values["HEIGHT"])

    def window_exists(self, window):
        return self.run_xdotool("getwindowname", window).returncode == 0

    def focus(self, window):
        """Gives `window` the keyboard focus (there is no window manager to do it)."""
        self.run_xdotool("windowfocus", window)
        return wait_until(lambda: self.run_xdotool("getwindowfocus").stdout.strip() == str(window), 5)

    def key(self, *keys):
        self.run_xdotool("key", "--clearmodifiers", *keys)

    def click(self, window, x, y):
        """A left click at (x, y) inside `window`."""
        self.run_xdotool("mousemove", "--window", window, str(x), str(y), "click", "1")

    def screenshot(self, path):
        if shutil.which("import"):
            subprocess.run(["import", "-display", self.display, "-window", "root", path],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)


class MessageBox:
    """A message box of the program. It is read from the screen (captured and
    put through OCR, since Qt exposes its text nowhere else) and closed from
    the keyboard, as a person would."""

    def __init__(self, x, window):
        self.x = x
        self.window = window

    def screen_text(self, with_button=True):
        """The box's text as tesseract reads it from a capture of the box;
        `with_button` adds a second reading made for the button's text."""
        with tempfile.TemporaryDirectory(prefix="tarnwick-box-") as folder:
            shot = os.path.join(folder, "box.png")
            subprocess.run(["import", "-display", self.x.display, "-window", str(self.window), shot],
                           capture_output=True, timeout=20)
            # Light text on a dark background, enlarged and inverted; and once
            # more in black and white, which reads the text on the green button.
            readings = []
            for extra in ([], ["-threshold", "60%"])[:2 if with_button else 1]:
                large = os.path.join(folder, f"large{len(readings)}.png")
                subprocess.run(["convert", shot, "-resize", "300%", "-colorspace", "Gray", *extra, "-negate", large],
                               capture_output=True, timeout=20)
                result = subprocess.run(["tesseract", large, "stdout"], capture_output=True, timeout=60)
                readings.append(result.stdout.decode("utf-8", "replace"))
            return "\n".join(readings)

    def wait_for_text(self, *fragments, timeout=10.0):
        """Reads the box until every fragment shows up in it (OCR's slips
        allowed); returns (True, text) or (False, the last text read)."""
        last = ""

        def read():
            nonlocal last
            last = self.screen_text()
            return all(ocr_contains(last, fragment) for fragment in fragments)
        return bool(wait_until(read, timeout, interval=0.2)), last

    def press_return(self):
        """Return on the focused box presses its only button."""
        self.x.focus(self.window)
        self.x.key("Return")


def _squeeze(text):
    # Layout (line breaks, wrapping) is the box's business, not the message's.
    return "".join(text.split())


def ocr_contains(text, fragment, similarity=0.9):
    """Whether `fragment` appears in OCR output `text`, ignoring white space and
    allowing about one misread character in ten."""
    needle, haystack = _squeeze(fragment), _squeeze(text)
    if not needle:
        return True
    if needle in haystack:
        return True
    size = len(needle)
    for width in range(max(1, size - 2), size + 3):
        for start in range(0, max(1, len(haystack) - width + 1)):
            window = haystack[start:start + width]
            if difflib.SequenceMatcher(None, needle, window, autojunk=False).ratio() >= similarity:
                return True
    return False
