"""Whole updates with the real binary in a real X server (Xvfb), served from
127.0.0.1, with a stand-in /usr/sbin/installer in a private mount namespace.
A row is what the server sends, the application and the installer, and what
must come of it: the box's text or none, the package handed to the installer,
the application's start, the files left beside the updater, the requests."""
import hashlib
import math
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
         "Wrong.zip": make_zip({"Update.pkg": PACKAGE}), "Small.pkg": PACKAGE[:12000],
         "Zeros.zip": make_zip({"Zeros.pkg": bytes(1 << 20)}), "NotZip.zip": PACKAGE}
FAILS, START = "Failed to update.\n\n", "Failed to download the update.\n\n"
STYLE = "-style=fusion/Applications/Example.app"
ZIP, PKG = (hashlib.sha256(FILES[name]).hexdigest() for name in ("Update.zip", "Update.pkg"))
SIZE = len(PACKAGE)
# A small file system where the download lands, with the bundle, the application
# and the records bound back into it.
TMPFS = ('a=$(mktemp -d) && mount --bind . "$a" && mount -t tmpfs -o size={} tmpfs . && cd "$PWD" && '
         'for d in "Tarnwick Installer.app" private apps; do mkdir "$d" && mount --bind "$a/$d" "$d"; done')
# Runs the updater as nobody, with a stand-in pkexec (the password prompt) that does {}.
AS_NOBODY = ("printf '#!/bin/sh\\n%s\\n' '{}' > /usr/sbin/pkexec && chmod 755 /usr/sbin/pkexec && "
             "chown 65534 . private/run && exec setpriv --reuid=65534 --regid=65534 --clear-groups \"$@\"")
PIN = "The download's {} does not match its pin: expected {}"
SHELL_APP = "O'Brien \"Q\" $(touch pwned) `touch pwned` \\ ; x/Applications/Example.app"
MESSAGE = "installer: Error - the package \"Update.pkg\" is damaged."
INSTALLED = dict(installed="Update.pkg", started=True)
ROWS = {  # name: (file and query, expectations)
    "zip": ("Update.zip?step=20000&pause=0.05", INSTALLED),
    "pkg": ("Update.pkg#notes", INSTALLED),
    "pinned-zip": (f"Update.zip#sha256={ZIP}&size={len(FILES['Update.zip'])}", INSTALLED),
    "pinned-pkg": (f"Update.pkg?framing=chunked#size={SIZE}&sha256={PKG.upper()}", INSTALLED),
    "pin-mismatch": (f"Update.zip#sha256={PKG}",
                     dict(box=FAILS + PIN.format("SHA-256 digest", PKG) + f", received {ZIP}.")),
    "pin-size-vs-length": (f"Update.pkg#size={SIZE + 1}",
                           dict(box=FAILS + PIN.format("size", SIZE + 1) + f" bytes, the server announces {SIZE}.")),
    "pin-unreadable": (f"Update.pkg#sha256={PKG}&size=20x",
                       dict(requests=0, box="Failed to download the update.\n\nThe pin in the URL cannot be read: "
                            "size must be a decimal number of bytes, not \"20x\".")),
    "does-not-fit": ("Update.pkg", dict(setup=TMPFS.format("128k"), box=FAILS + "Not enough free space in {root} "
                                        f"for the download: {SIZE} bytes needed, 131072 bytes free.")),
    "package-does-not-fit": ("Update.zip", dict(setup=TMPFS.format("300k"), box=FAILS + "Not enough free space in "
                                                f"{{root}} to extract Update.pkg: {SIZE} bytes needed, "
                                                f"{307200 - 4096 * math.ceil(len(FILES['Update.zip']) / 4096)} "
                                                "bytes free.")),
    "gzip-answer": (f"Update.pkg?encoding=gzip#sha256={PKG}", INSTALLED),
    "dmg-as-is": ("Update.dmg?framing=chunked", dict(INSTALLED, installed="Update.dmg")),
    "zip-upper-case": ("Upper.ZIP?framing=close", dict(INSTALLED, installed="Upper.pkg")),
    "quote-and-space": ("it's%20an%20update.pkg", dict(INSTALLED, installed="it's an update.pkg")),
    "shell-app-path": ("Update.pkg", dict(INSTALLED, app=SHELL_APP)),
    "non-ascii-app": ("Update.pkg", dict(INSTALLED, app="Bü/Applications/Été x.app")),
    "trailing-slash-app": ("Update.pkg", dict(INSTALLED, typed="{app}/")),
    "dotted-app": ("Update.pkg", dict(INSTALLED, typed="{root}/apps/./x/../Applications/Example.app")),
    # Relative: Qt would take it for its own option, were it not for main().
    "style-option-app": ("Update.pkg", dict(app="-style=fusion/Applications/Example.app", typed=STYLE,
                                            box=FAILS + "Unexpected application path " + STYLE)),
    "redirect": ("Moved.pkg?status=302&redirect=Update.pkg", dict(INSTALLED, installed="Moved.pkg", requests=2)),
    "not-found": ("Missing.pkg", dict(box=FAILS + "Error transferring {url} - server replied: Not Found",
                                      left={"Missing.pkg"})),
    "untrusted-tls": ("Update.pkg", dict(tls=True, box=FAILS + "SSL handshake failed", left={"Update.pkg"},
                                         requests=0)),
    "cannot-create": ("Update.pkg", dict(box="Failed to download the update.\n\nFailed to create {root}/Update.pkg "
                                         "(Is a directory).", setup="mkdir Update.pkg", left={"Update.pkg"},
                                         requests=0)),
    # Past the file size limit writes fail as on a full disk, and the partial file goes.
    "write-fails": ("Update.pkg?framing=chunked", dict(box=FAILS + "I/O failure (File too large)",
                                                      setup="trap '' XFSZ; ulimit -f 64")),
    "write-fails-at-close": ("Small.pkg?framing=chunked", dict(box=FAILS + "I/O failure (File too large)",
                                                              setup="trap '' XFSZ; ulimit -f 16")),
    "extraction-write-fails": ("Zeros.zip", dict(box=FAILS + "Error code 8 (File too large)",
                                                 setup="trap '' XFSZ; ulimit -f 400")),
    "symlink-at-name": ("Update.pkg", dict(requests=0, setup="echo mine > private/mine && ln -s private/mine Update.pkg",
                                           box=START + "Failed to create {root}/Update.pkg (it is a symbolic link).",
                                           left={"Update.pkg"})),
    "symlink-at-package": ("Update.zip", dict(setup="echo mine > private/mine && ln -s private/mine Update.pkg",
                                              box=FAILS + "Failed to create {root}/Update.pkg (it is a symbolic link).",
                                              left={"Update.pkg"})),
    "fifo-at-name": ("Update.pkg", dict(requests=0, setup="mkfifo Update.pkg", left={"Update.pkg"},
                                        box=START + "Failed to create {root}/Update.pkg (it is not a regular file).")),
    "ftp-scheme": ("Update.pkg", dict(scheme="ftp", requests=0,
                                      box=START + "Only http and https URLs are downloaded, not \"ftp\".")),
    "nul-in-name": ("Update%00.pkg", dict(requests=0, box=START + "The file name \"Update\\x00.pkg\" contains a "
                                          "control character.")),
    "no-content": ("Update.pkg?status=204", dict(box=FAILS + "The server answered 204 No Content instead of "
                                                 "sending the file.", left={"Update.pkg"})),
    "password-hidden": ("Missing.pkg", dict(user="jo:secret@", left={"Missing.pkg"},
                                            box=FAILS + "Error transferring {url} - server replied: Not Found")),
    "outside-applications": ("Update.zip", dict(box=FAILS + "Unexpected application path {app}",
                                                app="apps/Desktop/Example.app")),
    "not-a-zip": ("NotZip.zip", dict(box=FAILS + "Error code 1.", left={"NotZip.zip"})),
    "no-package-in-zip": ("Wrong.zip", dict(box=FAILS + "Error code 3 (-100).")),
    "crc-mismatch": ("Crc.zip", dict(box=FAILS + "Error code 9 (-105).")),
    "installer-message": ("Update.zip", dict(installed="Update.pkg", box=FAILS + MESSAGE,
                                             installer=f"echo '{MESSAGE}' >&2; exit 1")),
    "installer-silent": ("Update.pkg", dict(installed="Update.pkg", installer="exit 3",
                                            box=FAILS + "The command exited with status 3.")),
    "package-unremovable": ("Update.zip", dict(INSTALLED, installer='rm Update.pkg && mkdir Update.pkg && : > Update.pkg/x',
                                               box="Failed to remove file.\n\n{root}/Update.pkg", left={"Update.pkg"})),
    # Not root: pkexec asks for the password; this one stands for a user who dismisses it.
    "password-dismissed": ("Update.zip", dict(box=FAILS + "The administrator password is required to do this.",
                                              setup=AS_NOBODY.format("exit 126"))),
    # The package is changed while the password is asked for: root must not install it.
    "package-swapped": ("Update.zip", dict(box=FAILS + "The package changed before it could be installed.",
                                           setup=AS_NOBODY.format('echo evil > Update.pkg; exec "$@"'))),
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
                    self.doCleanups()  # the row's process goes with its row
                    sandbox.remove()

    def run_row(self, sandbox, file, installed=None, started=False, left=(), box=None, tls=False, setup="",
                cancel=False, requests=1, typed="{app}", scheme="http", user=""):
        server = self.servers[tls]
        port, asked = server.server_address[1], len(server.requests)
        url = f"{scheme}{'s' * tls}://{user}127.0.0.1:{port}/{file}"
        shown_url = f"{scheme}{'s' * tls}://{user.split(':')[0] + '@' if user else ''}127.0.0.1:{port}/{file}"
        given = typed.format(app=sandbox.app, root=sandbox.root)
        with open(sandbox.private + "/log", "wb") as log:
            process = subprocess.Popen(sandbox.command(given, url), cwd=sandbox.root, stdout=log, stderr=log,
                                       env=dict(environment(self.x.display, sandbox.private + "/run"), SETUP=setup))
        self.addCleanup(process.wait)
        self.addCleanup(process.kill)
        output = (lambda: open(sandbox.private + "/log", errors="replace").read())  # noqa: E731
        if cancel:
            window = wait_until(lambda: self.x.window("Installing update..."), 15)
            partial = sandbox.root + "/Update.pkg"
            self.assertTrue(wait_until(lambda: os.path.exists(partial) and os.path.getsize(partial) > 4096, 15))
            self.x.xdotool("mousemove", "--window", window, "446", "106", "click", "1")
        if box:
            shown = wait_until(lambda: self.x.window("Tarnwick Installer") and box_text(output()), 20)
            self.assertEqual(shown, ("Tarnwick Installer", box.format(url=shown_url, root=sandbox.root, app=sandbox.app)),
                             output())
            self.x.xdotool("windowfocus", "--sync", self.x.window("Tarnwick Installer"), "key", "Return")
        self.assertEqual(process.wait(20), 0, output())
        self.assertEqual(box_text(output()) is None, box is None)
        target = sandbox.app.split("/Applications/")[0] + "/"
        # Root installs a copy of its own, in a folder of its own that is gone afterwards.
        args = (sandbox.recorded("record/args") or b"").split(b"\0")
        copy = os.fsdecode(args[1]) if installed else None
        self.assertEqual(args, [b"-pkg", os.fsencode(copy), b"-target", os.fsencode(target), b""] if installed else [b""])
        if installed:
            self.assertEqual((os.path.basename(copy), sandbox.recorded("record/folder")), (installed, b"700 root\n"))
            self.assertFalse(os.path.exists(os.path.dirname(copy)))
        self.assertEqual(sandbox.recorded("record/package"), PACKAGE if installed else None)
        # The application is started detached: it may record its start after the updater has ended.
        self.assertEqual(wait_until(lambda: sandbox.recorded("started"), 5 if started else 0.2), os.fsencode(
            f"{sandbox.executable} 0\n") if started else None)
        self.assertEqual(sandbox.downloads(), set(left))
        self.assertIn(sandbox.recorded("mine"), (None, b"mine\n"))  # never written through a link
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
