"""Whole updates with the real binary in a real X server (Xvfb), served from
127.0.0.1, with a stand-in /usr/sbin/installer in a private mount namespace.
A row is what the server sends, the application and the installer, and what
must come of it: the box's text or none, the package handed to the installer,
the application's start, the files left beside the updater, the requests."""
import os
import shutil
import subprocess
import tempfile
import unittest

from world import Sandbox, XServer, box_text, environment, make_package, make_zip, serve, wait_until

PACKAGE = make_package("update")
CRC = bytearray(make_zip({"Crc.pkg": PACKAGE}, method=0))
CRC[40] ^= 1  # the entry's first byte (after the 30 + 7 bytes of its local header)
FILES = {"Update.zip": make_zip({"Update.pkg": PACKAGE}), "Update.pkg": PACKAGE, "Update.dmg": PACKAGE,
         "Upper.ZIP": make_zip({"UPPER.PKG": PACKAGE}, method=0), "it's an update.pkg": PACKAGE, "Crc.zip": bytes(CRC),
         "Wrong.zip": make_zip({"Update.pkg": PACKAGE}), "Small.pkg": PACKAGE[:5000], "NotZip.zip": PACKAGE}
FAILS = "Failed to update.\n\n"
SHELL_APP = "O'Brien \"Q\" $(touch pwned) `touch pwned` \\ ; x/Applications/Example.app"
MESSAGE = "installer: Error - the package \"Update.pkg\" is damaged."
INSTALLED = dict(installed="Update.pkg", started=True)
ROWS = {  # name: (file and query, expectations)
    "zip": ("Update.zip?step=20000&pause=0.05", INSTALLED),
    "pkg": ("Update.pkg", INSTALLED),
    "dmg-as-is": ("Update.dmg?framing=chunked", dict(INSTALLED, installed="Update.dmg")),
    "zip-upper-case": ("Upper.ZIP?framing=close", dict(INSTALLED, installed="Upper.pkg")),
    "quote-and-space": ("it's%20an%20update.pkg", dict(INSTALLED, installed="it's an update.pkg")),
    "shell-app-path": ("Update.pkg", dict(INSTALLED, app=SHELL_APP)),
    "non-ascii-app": ("Update.pkg", dict(INSTALLED, app="Bü/Applications/Été x.app")),
    "style-option-app": ("Update.pkg", dict(INSTALLED, app="-style=fusion/Applications/Example.app")),
    "redirect": ("Moved.pkg?status=302&redirect=Update.pkg", dict(INSTALLED, installed="Moved.pkg", requests=2)),
    "not-found": ("Missing.pkg", dict(box=FAILS + "Error transferring {url} - server replied: Not Found",
                                      left={"Missing.pkg"})),
    "untrusted-tls": ("Update.pkg", dict(tls=True, box=FAILS + "SSL handshake failed", left={"Update.pkg"},
                                         requests=0)),
    "cannot-create": ("Update.pkg", dict(box="Failed to download the update.\n\nFailed to create {root}/Update.pkg "
                                         "(Is a directory).", setup="mkdir Update.pkg", left={"Update.pkg"},
                                         requests=0)),
    "disk-full": ("Update.pkg", dict(box=FAILS + "I/O failure (No space left on device)", left={"Update.pkg"},
                                     setup="touch Update.pkg && mount --bind /dev/full Update.pkg")),
    "small-on-full-disk": ("Small.pkg", dict(box=FAILS + "I/O failure (No space left on device)", left={"Small.pkg"},
                                              setup="touch Small.pkg && mount --bind /dev/full Small.pkg")),
    "zip-disk-full": ("Update.zip", dict(box=FAILS + "Error code 8 (No space left on device)", left={"Update.pkg"},
                                         setup="touch Update.pkg && mount --bind /dev/full Update.pkg")),
    "outside-applications": ("Update.zip", dict(box=FAILS + "Unexpected application path {app}",
                                                app="apps/Desktop/Example.app")),
    "not-a-zip": ("NotZip.zip", dict(box=FAILS + "Error code 1.", left={"NotZip.zip"})),
    "no-package-in-zip": ("Wrong.zip", dict(box=FAILS + "Error code 3 (-100).")),
    "crc-mismatch": ("Crc.zip", dict(box=FAILS + "Error code 9 (-105).")),
    "installer-message": ("Update.zip", dict(installed="Update.pkg", box=FAILS + MESSAGE,
                                             installer=f"echo '{MESSAGE}' >&2; exit 1")),
    "installer-silent": ("Update.pkg", dict(installed="Update.pkg", installer="exit 3",
                                            box=FAILS + "The command exited with status 3.")),
    "package-unremovable": ("Update.zip", dict(INSTALLED, installer='rm -- "$2" && mkdir -- "$2" && : > "$2/x"',
                                               box="Failed to remove file.\n\n{root}/Update.pkg", left={"Update.pkg"})),
    # Not root: pkexec asks for the password; this one stands for a user who dismisses it.
    "password-dismissed": ("Update.zip", dict(box=FAILS + "The administrator password is required to do this.",
                                              setup="printf '#!/bin/sh\\nexit 126\\n' > /usr/sbin/pkexec && "
                                              "chmod 755 /usr/sbin/pkexec && chown 65534 . private/run && exec setpriv "
                                              "--reuid=65534 --regid=65534 --clear-groups \"$@\"")),
    "cancel": ("Update.pkg?step=1024&pause=0.05", dict(cancel=True)),
}


class UpdateTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.x = XServer()
        cls.addClassCleanup(cls.x.process.terminate)
        cls.served = tempfile.mkdtemp(prefix="tarnwick-served-")
        cls.addClassCleanup(shutil.rmtree, cls.served)
        for name, data in FILES.items():
            with open(os.path.join(cls.served, name), "wb") as f:
                f.write(data)
        cls.servers = serve(cls.served), serve(cls.served, tls=True)

    def test_rows(self):
        for name, (file, expected) in ROWS.items():
            with self.subTest(name):
                expected = dict(expected)
                sandbox = Sandbox(os.environ["TARNWICK_BINARY"], expected.pop("installer", "exit 0"),
                                  expected.pop("app", "apps/Applications/Example.app"))
                try:
                    self.run_row(sandbox, file, **expected)
                finally:
                    sandbox.remove()

    def run_row(self, sandbox, file, installed=None, started=False, left=(), box=None, tls=False, setup="",
                cancel=False, requests=1):
        server = self.servers[tls]
        url, asked = f"http{'s' * tls}://127.0.0.1:{server.server_address[1]}/{file}", len(server.requests)
        # Relative, where Qt could take it for its own option.
        given = os.path.relpath(sandbox.app, sandbox.root) if "-style" in sandbox.app else sandbox.app
        with open(sandbox.private + "/log", "wb") as log:
            process = subprocess.Popen(sandbox.command(given, url), cwd=sandbox.root, stdout=log, stderr=log,
                                       env=dict(environment(self.x.display, sandbox.private + "/run"), SETUP=setup))
        self.addCleanup(process.kill)
        output = (lambda: open(sandbox.private + "/log", errors="replace").read())  # noqa: E731
        if cancel:
            window, partial = wait_until(lambda: self.x.window("Installing update..."), 15), sandbox.root + "/Update.pkg"
            self.assertTrue(wait_until(lambda: os.path.exists(partial) and os.path.getsize(partial) > 4096, 15))
            self.x.xdotool("mousemove", "--window", window, "446", "106", "click", "1")
        if box:
            shown = wait_until(lambda: self.x.window("Tarnwick Installer") and box_text(output()), 20)
            self.assertEqual(shown, ("Tarnwick Installer", box.format(url=url, root=sandbox.root, app=sandbox.app)),
                             output())
            self.x.xdotool("windowfocus", "--sync", self.x.window("Tarnwick Installer"), "key", "Return")
        self.assertEqual(process.wait(20), 0, output())
        self.assertEqual(box_text(output()) is None, box is None)
        target = given.split("/Applications/")[0] + "/"
        self.assertEqual(sandbox.recorded("record/args"), os.fsencode(
            f"-pkg\0{sandbox.root}/{installed}\0-target\0{target}\0") if installed else None)
        self.assertEqual(sandbox.recorded("record/package"), PACKAGE if installed else None)
        # The application is started detached: it may record its start after the updater has ended.
        self.assertEqual(wait_until(lambda: sandbox.recorded("started"), 5 if started else 0.2), os.fsencode(
            f"{given}{sandbox.executable[len(sandbox.app):]} 0\n") if started else None)
        self.assertEqual(sandbox.downloads(), set(left))
        self.assertEqual(len(server.requests) - asked, requests)

    def test_wrong_argument_count_ends_with_255_and_no_window(self):
        sandbox = Sandbox(os.environ["TARNWICK_BINARY"])
        self.addCleanup(sandbox.remove)
        for arguments in ([], [sandbox.app], ["", "", ""]):
            result = subprocess.run([sandbox.updater, *arguments], capture_output=True, timeout=20,
                                    env=environment(self.x.display, sandbox.private + "/run"))
            self.assertEqual((result.returncode, result.stdout, result.stderr), (255, b"", b""))
        self.assertEqual(sandbox.downloads(), set())


if __name__ == "__main__":
    unittest.main()
