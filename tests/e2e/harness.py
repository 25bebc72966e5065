"""Shared pieces of the end-to-end tests: a private X server, the real binary,
and xdotool to look at and drive its windows as a person would."""
import os
import shutil
import subprocess
import tempfile
import time
import unittest

BINARY = os.environ.get("TARNWICK_BINARY", "")


def require_tools(*names):
    """Fails (in CI) or skips (elsewhere) when a tool is missing."""
    missing = [n for n in names if shutil.which(n) is None]
    if missing:
        message = "missing tools: " + " ".join(missing) + " (run scripts/setup)"
        if os.environ.get("CI"):
            raise RuntimeError(message)
        raise unittest.SkipTest(message)


class XServer:
    """An Xvfb server on a free display number, for one test class."""

    def __init__(self):
        require_tools("Xvfb", "xdotool")
        self.process = None
        for number in range(90, 190):
            if os.path.exists(f"/tmp/.X11-unix/X{number}") or os.path.exists(f"/tmp/.X{number}-lock"):
                continue
            self.display = f":{number}"
            self.process = subprocess.Popen(
                ["Xvfb", self.display, "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                if os.path.exists(f"/tmp/.X11-unix/X{number}") and self.run_xdotool("getdisplaygeometry").returncode == 0:
                    return
                if self.process.poll() is not None:
                    break
                time.sleep(0.05)
            self.stop()
        raise RuntimeError("could not start Xvfb")

    def env(self, **extra):
        environment = dict(os.environ)
        environment.pop("QT_QPA_PLATFORM", None)
        environment.update(DISPLAY=self.display, XDG_RUNTIME_DIR=tempfile.mkdtemp(prefix="xdg-"))
        environment.update(extra)
        return environment

    def run_xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=self.display),
                              capture_output=True, text=True)

    def wait_for_window(self, name, timeout=20.0):
        """Id of the first visible window whose title is exactly `name`."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = self.run_xdotool("search", "--onlyvisible", "--name", f"^{name}$")
            ids = found.stdout.split()
            if ids:
                return ids[0]
            time.sleep(0.05)
        return None

    def geometry(self, window):
        out = self.run_xdotool("getwindowgeometry", "--shell", window).stdout
        values = dict(line.split("=", 1) for line in out.split())
        return int(values["WIDTH"]), int(values["HEIGHT"])

    def screenshot(self, path):
        if shutil.which("import"):
            subprocess.run(["import", "-display", self.display, "-window", "root", path],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)
