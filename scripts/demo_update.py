"""Runs one whole update with the real updater and tells what happened.

    python3 scripts/demo_update.py <updater binary> <output folder>

Serves Update.zip (holding Update.pkg) from 127.0.0.1, makes a sample
application under a temporary Applications folder, and runs the updater in a
window: on $DISPLAY when there is one, otherwise under Xvfb, saving a
screenshot into the output folder. /usr/sbin/installer is a stand-in that only
records its call, put there in a private mount namespace. Nobody needs to
click: the update runs to its end and the window closes by itself.
"""
import os
import shlex
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))

from fixtures import Sandbox, UpdateServer, make_package, make_update_zip, overlay_mount_works  # noqa: E402
from harness import MessageBox, XServer, wait_until  # noqa: E402

TIME_LIMIT = 60.0
WINDOW_TITLE = "Installing update..."
BOX_TITLE = "Tarnwick Installer"


def say(text):
    print(f"demo: {text}", flush=True)


def choose_namespace():
    """Whether the updater must run in a user namespace; exits with a clear
    message when no private mount namespace can be had."""
    if shutil.which("unshare") is None:
        sys.exit("demo: 'unshare' (util-linux) is missing; run scripts/setup.")
    if os.geteuid() == 0 and overlay_mount_works():
        return False
    if overlay_mount_works(rootless=True):
        return True
    sys.exit("demo: cannot put the stand-in installer over /usr/sbin in a private mount namespace.\n"
             "      As root this needs 'unshare --mount' (CAP_SYS_ADMIN; inside a container, a privileged one);\n"
             "      as another user 'unshare --user --map-root-user --mount' with unprivileged user namespaces\n"
             "      enabled (sysctl kernel.unprivileged_userns_clone=1) and Linux 5.11 or later for overlayfs.")


class Display:
    """The user's display, or a private Xvfb when there is none."""

    def __init__(self):
        self.xvfb = None
        if os.environ.get("DISPLAY"):
            self.name = os.environ["DISPLAY"]
            say(f"showing the updater on your display {self.name}.")
            return
        for tool in ("Xvfb", "xdotool", "import"):
            if shutil.which(tool) is None:
                sys.exit(f"demo: no $DISPLAY and '{tool}' is missing; run scripts/setup.")
        self.xvfb = XServer()
        self.name = self.xvfb.display
        say(f"no $DISPLAY: running the updater under Xvfb on {self.name}.")

    def env(self, sandbox):
        if self.xvfb:
            return self.xvfb.env(HOME=sandbox.home, XDG_RUNTIME_DIR=sandbox.runtime_dir())
        return dict(os.environ)

    def stop(self):
        if self.xvfb:
            self.xvfb.stop()


def capture(display, title, path):
    """Saves a picture of the window titled `title`; returns its id or None."""
    window = display.xvfb.wait_for_window(title, timeout=0)
    if window:
        subprocess.run(["import", "-display", display.name, "-window", window, path],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
    return window


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    binary, out = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    os.makedirs(out, exist_ok=True)
    for name in ("window.png", "message.png", "timeout.png"):
        if os.path.exists(os.path.join(out, name)):
            os.remove(os.path.join(out, name))
    rootless = choose_namespace()

    sandbox = Sandbox(binary, prefix="tarnwick-demo-")
    server = UpdateServer()
    display = None
    process = None
    try:
        app = sandbox.make_application("Volume/Applications/Example.app")
        package = make_package("Example 2.0")
        archive = make_update_zip("Update.pkg", package)
        # Sent in forty pieces over about three seconds, so the progress bar moves.
        server.serve_file("/Update.zip", archive, pace=(len(archive) // 40 + 1, 0.08))
        url = server.url("/Update.zip")
        say(f"serving Update.zip ({len(archive)} bytes, holding Update.pkg of {len(package)} bytes) at {url}")
        say(f"sample application: {app}")
        say(f"updater bundle: {sandbox.bundle} (downloads land beside it)")
        say("stand-in /usr/sbin/installer in a private mount namespace"
            + (" (unshare --user --map-root-user --mount)" if rootless else " (unshare --mount)"))

        display = Display()
        command = sandbox.command(app, url, rootless=rootless)
        say("running: " + shlex.join([sandbox.updater, app, url]))
        log_path = os.path.join(out, "updater.log")
        with open(log_path, "wb") as log:
            process = subprocess.Popen(command, cwd=sandbox.root, env=display.env(sandbox),
                                       stdout=log, stderr=subprocess.STDOUT)
            outcome = watch(process, sandbox, display, out)
        report(outcome, process, sandbox, server, app, archive, package, out, log_path)
        return 0 if outcome == "ended" and process.returncode == 0 and sandbox.relaunches() else 1
    finally:
        if process and process.poll() is None:
            process.kill()
            process.wait(10)
        server.stop()
        if display:
            display.stop()
        sandbox.remove()


def watch(process, sandbox, display, out):
    """Follows the run until the updater ends; under Xvfb takes a screenshot
    during the download, and reads and closes a message box if one appears."""
    downloaded = sandbox.download_path("Update.zip")
    deadline = time.monotonic() + TIME_LIMIT
    shot_taken = False
    while process.poll() is None:
        if time.monotonic() > deadline:
            if display.xvfb:
                display.xvfb.screenshot(os.path.join(out, "timeout.png"))
            say(f"the updater did not end within {TIME_LIMIT:.0f} s; stopping it.")
            process.kill()
            process.wait(10)
            return "timeout"
        if display.xvfb:
            if not shot_taken and os.path.exists(downloaded) and os.path.getsize(downloaded) > 50 * 1024:
                shot_taken = bool(capture(display, WINDOW_TITLE, os.path.join(out, "window.png")))
            box = display.xvfb.wait_for_window(BOX_TITLE, timeout=0)
            if box:
                capture(display, BOX_TITLE, os.path.join(out, "message.png"))
                if shutil.which("tesseract"):
                    text = " ".join(MessageBox(display.xvfb, box).screen_text(with_button=False).split())
                    say(f"the updater shows a message box; it reads: {text}")
                else:
                    say("the updater shows a message box (see message.png).")
                MessageBox(display.xvfb, box).press_return()
                wait_until(lambda: process.poll() is not None, 10)
                return "box"
        time.sleep(0.05)
    return "ended"


def report(outcome, process, sandbox, server, app, archive, package, out, log_path):
    zip_path, pkg_path = sandbox.download_path("Update.zip"), sandbox.download_path("Update.pkg")
    print()
    say("what happened:")
    if wait_until(lambda: "/Update.zip" in server.completed(), 2):
        print(f"  downloaded:   {zip_path} (the server sent all {len(archive)} bytes)")
    else:
        print("  downloaded:   no - the server did not send the whole file")
    arguments = sandbox.installer.arguments()
    handed = sandbox.installer.package()
    if handed is not None:
        same = "identical to" if handed == package else "DIFFERENT from"
        print(f"  extracted:    {pkg_path} ({len(handed)} bytes, {same} the package put into the archive)")
    else:
        print("  extracted:    no package reached the installer")
    if arguments is not None:
        call = shlex.join(["/usr/sbin/installer", *(os.fsdecode(a) for a in arguments)])
        print(f"  installer:    called {sandbox.installer.calls()} time(s): {call}")
    else:
        print("  installer:    not called")
    relaunches = wait_until(sandbox.relaunches, 10 if outcome == "ended" else 1)
    if relaunches:
        for program, count in relaunches:
            print(f"  relaunched:   {os.fsdecode(program)} ({count} arguments)")
    else:
        print(f"  relaunched:   no ({app} was not started)")
    left = [p for p in (zip_path, pkg_path) if os.path.exists(p)]
    if left:
        print("  files:        left behind: " + ", ".join(left))
    elif handed is not None:
        print("  files:        Update.zip and Update.pkg removed")
    else:
        print("  files:        none left beside the updater's bundle")
    print(f"  exit status:  {process.returncode}" + (" (stopped at the time limit)" if outcome == "timeout" else ""))
    for name in ("window.png", "message.png", "timeout.png"):
        if os.path.exists(os.path.join(out, name)):
            print(f"  screenshot:   {os.path.join(out, name)}")
    print(f"  updater log:  {log_path}")


if __name__ == "__main__":
    sys.exit(main())
