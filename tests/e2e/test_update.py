"""Whole updates with the real binary in scripts/world.py's world, one test per Row (tests/README.md: running one)."""
import dataclasses, hashlib, math, os, pathlib, plistlib, shutil, subprocess, unittest

from fixtures import (AnotherUser, FileSizeLimit, Proxy, Put, Rewrite, RunningApplication, Tmpfs, Watcher, When,
                      click_cancel, click_cancel_mirrored, close_window, quit_application, zeros_zip)
from world import (C_LOCALE, INSTALLING, PROXIED_HOST, Digest, Installer, Prompt, Sandbox, StatusTexts, XServer,
                   box_text, check_namespaces, environment, make_package, make_zip, serve, temporary_folder, wait_until)

BINARY = os.environ.get("TARNWICK_BINARY", "")
# The same program trusting the tests' root instead of Apple's, and the tool that signs packages by that root.
TESTROOT_BINARY = os.environ.get("TARNWICK_TESTROOT_BINARY", os.path.join(os.path.dirname(BINARY),
                                                                          "tarnwick-installer-testroot"))
SIGNER = os.environ.get("TARNWICK_SIGNER", os.path.join(os.path.dirname(BINARY), "tarnwick-sign-packages"))
PACKAGE = make_package("update")
CRC = bytearray(make_zip({"Crc.pkg": PACKAGE}, method=0))
CRC[40] ^= 1  # the entry's first byte (after the 30 + 7 bytes of its local header)
LARGE = 2 << 30  # Large.zip: Large.pkg of 2 GiB of zeros, deflated to about 2 MB
# A real package signed by "Developer ID Installer: Mac Admins Open Source (T4SK8ZXCXG)" (tests/data/README.md).
SIGNED = open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "packages", "valid.pkg"), "rb").read()
FILES = {"Update.zip": make_zip({"Update.pkg": PACKAGE}), "Update.pkg": PACKAGE, "Update.dmg": PACKAGE,
         "Upper.ZIP": make_zip({"UPPER.PKG": PACKAGE}, method=0), "it's an update.pkg": PACKAGE, "Crc.zip": bytes(CRC),
         "Wrong.zip": make_zip({"Update.pkg": PACKAGE}), "Small.pkg": PACKAGE[:12000],
         "Zeros.zip": make_zip({"Zeros.pkg": bytes(1 << 20)}), "NotZip.zip": PACKAGE, "Signed.pkg": SIGNED,
         "Large.zip": zeros_zip(LARGE, "Large.pkg")}
TEAM = "team=T4SK8ZXCXG"
TEST_TEAM = "team=A1B2C3D4E5"  # the tests' signer's


def package_info(bundles):
    return f'<?xml version="1.0" encoding="utf-8"?><pkg-info format-version="2" identifier="p">{bundles}</pkg-info>'


def app_bundle(version, identifier="com.example.Example"):
    return (f'<bundle id="{identifier}" CFBundleVersion="{version}" path="./Example.app">'
            '<bundle id="com.example.Helper" CFBundleVersion="1" path="./Contents/Helpers/Helper.app"/></bundle>')


# Signed by the tests' signer (tests/sign_packages.cpp): each a folder of the files that describe the package.
NEWER = {"PackageInfo": package_info(app_bundle(43))}
TEST_SIGNED = {
    "Newer": NEWER, "SignedUpdate": NEWER,
    "Product": {"Distribution": '<installer-gui-script><pkg-ref id="p">#Example.pkg</pkg-ref></installer-gui-script>',
                "Example.pkg/PackageInfo": package_info(app_bundle("1.10"))},
    "Equal": {"PackageInfo": package_info(app_bundle(42))}, "Older": {"PackageInfo": package_info(app_bundle(41))},
    "Other": {"PackageInfo": package_info(app_bundle(43, "com.example.Other"))},
    "NoBundle": {"PackageInfo": package_info("")}, "Beta": {"PackageInfo": package_info(app_bundle("1.0b2"))},
    "Changed": {"PackageInfo": package_info(app_bundle(43)), "stored": ""},
}


def info_plist(version, form=plistlib.FMT_BINARY):
    return plistlib.dumps({"CFBundleIdentifier": "com.example.Example", "CFBundleVersion": version}, fmt=form)


def not_newer(name, packaged):
    return FAILS + f"{name} would install com.example.Example {packaged}, which is not newer than the installed 42."


NOT_A_VERSION = '"1.0b2", which is not a version of one to three numbers such as 42 or 1.2.3.'


def signed_by_test_root(packages):
    """The packages signed by the tests' signer, and the file that holds its root."""
    folder = temporary_folder("signed-")
    for name, files in packages.items():
        for path, text in files.items():
            pathlib.Path(folder, name, path).parent.mkdir(parents=True, exist_ok=True)
            pathlib.Path(folder, name, path).write_text(text)
    subprocess.run([SIGNER, folder + "/root.der", folder], check=True)
    return {name + ".pkg": pathlib.Path(folder, name + ".pkg").read_bytes() for name in packages}, folder + "/root.der"


_signed, TEST_SIGNED_ROOT = signed_by_test_root(TEST_SIGNED)
# Changed after it was signed, where its PackageInfo, stored, gives the version.
_signed["Changed.pkg"] = _signed["Changed.pkg"].replace(b'CFBundleVersion="43"', b'CFBundleVersion="44"', 1)
FILES.update(_signed)
FILES["SignedUpdate.zip"] = make_zip({"SignedUpdate.pkg": FILES.pop("SignedUpdate.pkg")})
LARGE_PIN = f"sha256={hashlib.sha256(FILES['Large.zip']).hexdigest()}&size={len(FILES['Large.zip'])}"
# While Large.pkg is being extracted (as the archive downloads, or after: its 2 MB come faster than 2 GiB are written).
EXTRACTING = dict(name="Large.pkg", reaches=64 << 20)
FAILS, START = "Failed to update.\n\n", "Failed to download the update.\n\n"
STYLE = "-style=fusion/Applications/Example.app"
ZIP, PKG = (hashlib.sha256(FILES[name]).hexdigest() for name in ("Update.zip", "Update.pkg"))
SIZE = len(PACKAGE)
PIN = "The download's {} does not match its pin: expected {}"
# Shell metacharacters, and letters beyond ASCII in the folder and in the bundle's name.
SHELL_APP = "O'Brien \"Q\" $(touch pwned) `touch pwned` \\ ; Bü/Applications/Été x.app"
MESSAGE = "installer: Error - the package \"Update.pkg\" is damaged."
CHANGED = "The package changed before it could be installed."
WAITING = "Waiting for Example to quit..."
SLOW_ZIP = "Update.zip?step=8192&pause=0.05"  # about a second and a half
LINK, LINKED = Put("Update.pkg", "link"), {"Update.pkg", "Update.pkg.fifo"}


class Prefix(str):
    """A box text of which only this beginning is fixed: the rest is Qt's and differs between its versions."""


class Zeros(int):
    """A package of this many zero bytes."""


@dataclasses.dataclass(frozen=True)
class Language:
    """The run's locale variables, and the window's title (its status at first) in that language."""
    variables: tuple = C_LOCALE
    title: str = INSTALLING


# As Qt reads them on Linux: LANGUAGE's list first, else LC_ALL, LC_MESSAGES, LANG. No locale is generated here.
GERMAN = Language((("LANG", "de_DE.UTF-8"), ("LANGUAGE", "de_DE:de")), "Update wird installiert …")
JAPANESE = Language((("LANG", "ja_JP.UTF-8"),), "アップデート中…")
ARABIC = Language((("LANG", "ar_EG.UTF-8"), ("LANGUAGE", "ar")), "جارٍ تثبيت التحديث…")


@dataclasses.dataclass(frozen=True)
class Row:
    name: str
    url: str                    # the file and query asked of the server, and the fragment
    # What must come of it.
    box: "str | None" = None    # the message box's text, with {url}, {root} and {app}; None: no box
    installed: "str | None" = None  # the name of the package the installer is handed; None: not called
    package: "bytes | Zeros" = PACKAGE  # what that package holds
    started: bool = False       # the application was started again (after any start of a fixture's)
    left: frozenset = frozenset()  # names left beside the updater's bundle
    requests: "int | tuple" = 1  # requests the server received (a tuple: any of them)
    prompts: int = 0            # password prompts (pkexec calls)
    # The run.
    tls: bool = False
    host: str = "127.0.0.1"     # the server's; PROXIED_HOST through a Proxy
    userinfo: str = ""          # "user:password@" in the URL
    app: str = "apps/Applications/Example.app"  # the application, in the sandbox's folder
    typed: str = "{app}"        # the application's path as the updater is given it
    installer: Installer = Installer()
    fixtures: tuple = ()        # fixtures.Tmpfs, Put, FileSizeLimit, AnotherUser, RunningApplication, Proxy
    during: tuple = ()          # fixtures.When; each must act
    test_root: bool = False     # run the updater that trusts the tests' signer rather than Apple
    info_plist: "bytes | None" = None  # the application's Contents/Info.plist
    seconds: int = 20           # how long the updater may take, a ceiling against hanging, not a speed test
    # The window's status texts in order, read through the display's AccessibilityBus; None: not read.
    statuses: "tuple | None" = None
    language: Language = Language()


INSTALLED = dict(installed="Update.pkg", started=True)
ROWS = [
    Row("pinned-zip", f"Update.zip#sha256={ZIP}&size={len(FILES['Update.zip'])}", **INSTALLED),
    # Chunked and gzipped: the pins are of the decoded bytes.
    Row("pinned-gzip-pkg", f"Update.pkg?framing=chunked&encoding=gzip#size={SIZE}&sha256={PKG.upper()}", **INSTALLED),
    Row("pin-mismatch", f"Update.zip#sha256={PKG}", box=FAILS + PIN.format("SHA-256 digest", PKG) + f", received {ZIP}."),
    Row("pin-size-vs-length", f"Update.pkg#size={SIZE + 1}",
        box=FAILS + PIN.format("size", SIZE + 1) + f" bytes, the server announces {SIZE}."),
    # A real package signed by the pinned team, Apple's chain and all; but it is a launch agent's: it updates no
    # application.
    Row("signed-for-no-application", f"Signed.pkg#{TEAM}", box=FAILS + "Signed.pkg names no application bundle that it installs."),
    Row("signed-by-another-team", "Signed.pkg#team=A1B2C3D4E5",
        box=FAILS + "Signed.pkg is signed by the team T4SK8ZXCXG, not by A1B2C3D4E5."),
    # Signed by the pinned team for this application, newer than the installed 42: root installs the very bytes that
    # were checked, from its copy. The Info.plist binary, or XML for a product archive whose component names it.
    Row("signed-newer", f"Newer.pkg#{TEST_TEAM}", test_root=True, info_plist=info_plist("42"),
        installed="Newer.pkg", package=FILES["Newer.pkg"], started=True),
    Row("signed-product-newer", f"Product.pkg#{TEST_TEAM}", test_root=True,
        info_plist=info_plist("1.9", plistlib.FMT_XML), installed="Product.pkg", package=FILES["Product.pkg"],
        started=True),
    Row("signed-equal", f"Equal.pkg#{TEST_TEAM}", test_root=True, info_plist=info_plist("42"),
        box=not_newer("Equal.pkg", 42)),
    Row("signed-older", f"Older.pkg#{TEST_TEAM}", test_root=True, info_plist=info_plist("42", plistlib.FMT_XML),
        box=not_newer("Older.pkg", 41)),
    Row("signed-for-another-application", f"Other.pkg#{TEST_TEAM}", test_root=True, info_plist=info_plist("42"),
        box=FAILS + "Other.pkg does not update com.example.Example: it installs com.example.Other, com.example.Helper."),
    Row("signed-naming-no-bundle", f"NoBundle.pkg#{TEST_TEAM}", test_root=True, info_plist=info_plist("42"),
        box=FAILS + "NoBundle.pkg names no application bundle that it installs."),
    Row("signed-package-info-changed", f"Changed.pkg#{TEST_TEAM}", test_root=True, info_plist=info_plist("42"),
        box=FAILS + 'Changed.pkg is refused: its file "PackageInfo" does not match its archived checksum.'),
    Row("signed-beta", f"Beta.pkg#{TEST_TEAM}", test_root=True, info_plist=info_plist("42"),
        box=FAILS + "Beta.pkg would install com.example.Example " + NOT_A_VERSION),
    Row("signed-over-beta", f"Newer.pkg#{TEST_TEAM}", test_root=True, info_plist=info_plist("1.0b2"),
        box=FAILS + "The installed com.example.Example has the version " + NOT_A_VERSION),
    Row("signed-without-info-plist", f"Newer.pkg#{TEST_TEAM}", test_root=True,
        box=FAILS + "The application's {app}/Contents/Info.plist cannot be read (No such file or directory)."),
    # Extracted and found signed by the team, then changed by another program of the same user while the
    # password is asked for.
    Row("signed-swapped", f"SignedUpdate.zip#{TEST_TEAM}", test_root=True, info_plist=info_plist("42"), prompts=1,
        box=FAILS + CHANGED, fixtures=(AnotherUser(Prompt(before=Rewrite("SignedUpdate.pkg", b"evil\n"))),)),
    Row("does-not-fit", "Update.pkg", fixtures=(Tmpfs(kib=128),),
        box=FAILS + f"Not enough free space in {{root}} for the download: {SIZE} bytes needed, 131072 bytes free."),
    Row("package-does-not-fit", "Update.zip", fixtures=(Tmpfs(kib=300),),
        box=FAILS + f"Not enough free space in {{root}} to extract Update.pkg: {SIZE} bytes needed, "
        f"{307200 - 4096 * math.ceil(len(FILES['Update.zip']) / 4096)} bytes free."),
    Row("dmg-as-is", "Update.dmg?framing=chunked", **dict(INSTALLED, installed="Update.dmg")),
    # Ended by the server's close: Qt may see the close first and ask again on a second connection, then drop it.
    Row("zip-upper-case", "Upper.ZIP?framing=close", requests=(1, 2), **dict(INSTALLED, installed="Upper.pkg")),
    Row("quote-and-space", "it's%20an%20update.pkg", **dict(INSTALLED, installed="it's an update.pkg")),
    # A fragment that is no pin is not one.
    Row("shell-app-path", "Update.pkg#notes", app=SHELL_APP, **INSTALLED),
    Row("dotted-app", "Update.pkg", typed="{root}/apps/./x/../Applications/Example.app/", **INSTALLED),
    # Relative: Qt would take it for its own option, were it not for main().
    Row("style-option-app", "Update.pkg", app=STYLE, typed=STYLE, box=FAILS + "Unexpected application path " + STYLE),
    # The box shows the URL without the password.
    Row("not-found", "Missing.pkg", userinfo="jo:secret@", left={"Missing.pkg"},
        box=FAILS + "Error transferring {url} - server replied: Not Found"),
    Row("untrusted-tls", "Update.pkg", tls=True, box=Prefix(FAILS + "SSL handshake failed"),
        left={"Update.pkg"}, requests=0),
    Row("cannot-create", "Update.pkg", fixtures=(Put("Update.pkg", "folder"),), left={"Update.pkg"}, requests=0,
        box=START + "Failed to create {root}/Update.pkg (Is a directory)."),
    # Past the file size limit writes fail as on a full disk, and the partial file goes.
    Row("write-fails", "Update.pkg?framing=chunked", fixtures=(FileSizeLimit(32768),),
        box=FAILS + "I/O failure (File too large)"),
    Row("write-fails-at-close", "Small.pkg?framing=chunked", fixtures=(FileSizeLimit(8192),),
        box=FAILS + "I/O failure (File too large)"),
    Row("extraction-write-fails", "Zeros.zip", fixtures=(FileSizeLimit(204800),),
        box=FAILS + "Error code 8 (File too large)"),
    # A link to a FIFO that nobody writes: writing or reading through it would wait for ever.
    Row("symlink-at-name", "Update.pkg", fixtures=(LINK,), left=LINKED, requests=0,
        box=START + "Failed to create {root}/Update.pkg (it is a symbolic link)."),
    Row("symlink-at-package", "Update.zip", fixtures=(LINK,), left=LINKED,
        box=FAILS + "Failed to create {root}/Update.pkg (it is a symbolic link)."),
    Row("fifo-at-name", "Update.pkg", fixtures=(Put("Update.pkg", "fifo"),), left={"Update.pkg"}, requests=0,
        box=START + "Failed to create {root}/Update.pkg (it is not a regular file)."),
    Row("nul-in-name", "Update%00.pkg", requests=0,
        box=START + "The file name \"Update\\x00.pkg\" contains a control character."),
    Row("no-content", "Update.pkg?status=204",
        box=FAILS + "The server answered 204 No Content instead of sending the file."),
    # Qt reads a body of no valid length to the server's close, and may ask again as for zip-upper-case.
    Row("negative-length", "Update.pkg?length=-1", requests=(1, 2),
        box=FAILS + "The server's answer is invalid: its Content-Length is \"-1\"."),
    Row("not-a-zip", "NotZip.zip", box=FAILS + "Error code 1.", left={"NotZip.zip"}),
    Row("no-package-in-zip", "Wrong.zip", box=FAILS + "Error code 3 (-100).", language=Language((("LANG", "C"),)),
        statuses=(INSTALLING,)),
    # In the user's language: the status and the headline translated, the reason as the archive gives it.
    Row("german", "Wrong.zip", language=GERMAN, statuses=(GERMAN.title,),
        box="Das Update ist fehlgeschlagen.\n\nError code 3 (-100)."),
    Row("japanese", "NotZip.zip", language=JAPANESE, statuses=(JAPANESE.title,), left={"NotZip.zip"},
        box="アップデートに失敗しました。\n\nError code 1."),
    # Right to left the window is mirrored: CANCEL UPDATE is where the logo is left to right.
    Row("arabic-mirrored", "Update.pkg?step=1024&pause=0.05", language=ARABIC, statuses=(ARABIC.title,),
        during=(When(click_cancel_mirrored, shown=ARABIC.title),)),
    Row("crc-mismatch", "Crc.zip", box=FAILS + "Error code 9 (-105)."),
    Row("installer-message", "Update.zip", installed="Update.pkg", installer=Installer(status=1, message=MESSAGE),
        box=FAILS + MESSAGE),
    Row("installer-silent", "Update.pkg", installed="Update.pkg", installer=Installer(status=3),
        box=FAILS + "The command exited with status 3."),
    Row("package-unremovable", "Update.zip", installer=Installer(then=Put("Update.pkg", "folder")),
        box="Failed to remove file.\n\n{root}/Update.pkg", left={"Update.pkg"}, **INSTALLED),
    # The package is changed while the password is asked for: root must not install it.
    Row("package-swapped", "Update.zip", fixtures=(AnotherUser(Prompt(before=Rewrite("Update.pkg", b"evil\n"))),),
        prompts=1, box=FAILS + CHANGED),
    Row("installed-after-password", "Update.zip", fixtures=(AnotherUser(),), prompts=1, **INSTALLED),
    Row("cancel", "Update.pkg?step=1024&pause=0.05", during=(When(click_cancel, "Update.pkg", reaches=4097),)),
    # Replaced while it downloads: the updater's digest is of the bytes it wrote, root's copy of the new file.
    Row("package-replaced-by-rename", "Update.pkg?step=4096&pause=0.02", box=FAILS + CHANGED,
        during=(When(Put("Update.pkg", b"evil\n"), "Update.pkg", reaches=8192),)),
    # Past 2^31 bytes: extracted, copied by root and hashed twice, so written to disk twice.
    Row("large-zip", "Large.zip", installed="Large.pkg", package=Zeros(LARGE), started=True, seconds=180),
    # Closed through its title bar (macOS has a close button): only CANCEL UPDATE removes the partial download.
    Row("close-while-downloading", "Update.pkg?step=1024&pause=0.05", left={"Update.pkg"},
        during=(When(close_window, "Update.pkg", reaches=4097),)),
    # While the package is being extracted, as another user (so that an installation would
    # ask for the password): nothing is installed, nobody is asked, nothing started.
    Row("cancel-during-extraction", "Large.zip", fixtures=(AnotherUser(),), seconds=180,
        during=(When(click_cancel, **EXTRACTING),)),
    Row("close-during-extraction", "Large.zip", fixtures=(AnotherUser(),), left={"Large.zip"},
        seconds=180, during=(When(close_window, **EXTRACTING),)),
    # The package is extracted as the archive downloads: cancelled, or cut short by the server, nothing of it stays.
    Row("cancel-during-streamed-download", "Large.zip?step=65536&pause=0.05", fixtures=(AnotherUser(),), seconds=180,
        during=(When(click_cancel, **EXTRACTING),)),
    Row("streamed-download-cut", "Large.zip?cut=262144&step=65536&pause=0.02", box=Prefix(FAILS), requests=(1, 2),
        left={"Large.zip"}, seconds=180),
    # Root copies the package without following a link and without reading a FIFO: either would wait for ever.
    Row("package-link-during-prompt", "Update.zip", prompts=1,
        fixtures=(AnotherUser(Prompt(before=LINK)),), left={"Update.pkg.fifo"},
        box=FAILS + "The package {root}/Update.pkg is now a symbolic link; nothing was installed."),
    Row("package-fifo-during-prompt", "Update.pkg", prompts=1,
        fixtures=(AnotherUser(Prompt(before=Put("Update.pkg", "fifo"))),),
        box=FAILS + "The package {root}/Update.pkg is no longer a regular file; nothing was installed."),
    # The archive is rewritten in place after its download was checked, while the package is extracted.
    Row("pinned-archive-rewritten", f"Large.zip#{LARGE_PIN}", seconds=180, box=FAILS + "The archive {root}/Large.zip changed after it was downloaded.",
        during=(When(Rewrite("Large.zip", b"\x01", offset=len(FILES["Large.zip"]) - 30), **EXTRACTING),)),
    # The system's proxy settings (http_proxy, https_proxy here) are followed.
    Row("proxy-http", "Update.zip", host=PROXIED_HOST, fixtures=(Proxy(),), **INSTALLED),
    # The application runs when the package is ready: nothing privileged happens before it has quit, then
    # the package is installed and the application started once more.
    Row("application-running", SLOW_ZIP, fixtures=(RunningApplication(),), statuses=(INSTALLING, WAITING),
        during=(When(quit_application, shown=WAITING),), **INSTALLED),
    Row("cancel-while-application-runs", SLOW_ZIP, fixtures=(RunningApplication(),), statuses=(INSTALLING, WAITING),
        during=(When(click_cancel, shown=WAITING),)),
    # Started while the password is asked for: root finds it just before the installer and installs nothing, the window
    # waits again, and once it has quit the password is asked for again and the package installed.
    Row("application-started-during-prompt", SLOW_ZIP, fixtures=(AnotherUser(), RunningApplication(on_prompt=True)),
        prompts=2, statuses=(INSTALLING, WAITING), during=(When(quit_application, shown=WAITING),), **INSTALLED),
    Row("application-quit-during-download", SLOW_ZIP, fixtures=(RunningApplication(),), statuses=(INSTALLING,),
        during=(When(quit_application, "Update.zip", reaches=8192),), **INSTALLED),
]


class UpdateTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if problem := check_namespaces():
            raise RuntimeError(problem)
        cls.x = XServer()
        cls.addClassCleanup(cls.x.stop)
        cls.served = temporary_folder("served-")
        cls.addClassCleanup(shutil.rmtree, cls.served)
        for name, data in FILES.items():
            pathlib.Path(cls.served, name).write_bytes(data)
        # The tests' root, readable by another user's updater too.
        os.environ["TARNWICK_TEST_ROOT"] = os.path.join(cls.served, "root.der")
        shutil.copy(TEST_SIGNED_ROOT, os.environ["TARNWICK_TEST_ROOT"])
        cls.servers = serve(cls.served), serve(cls.served, tls=True)

    def run_row(self, row):
        sandbox = Sandbox(TESTROOT_BINARY if row.test_root else BINARY, app=row.app, installer=row.installer,
                          info_plist=row.info_plist)
        self.addCleanup(sandbox.remove)
        server = self.servers[row.tls]
        asked = len(server.requests)
        url = f"http{'s' * row.tls}://{row.userinfo}{row.host}:{server.server_address[1]}/{row.url}"
        shown_url = url.replace(row.userinfo, row.userinfo.split(":")[0] + "@") if row.userinfo else url  # no password
        bus = self.x.accessibility() if row.statuses is not None else None
        run = sandbox.start(self.x.display, [row.typed.format(app=sandbox.app, root=sandbox.root), url], row.fixtures,
                            bus=bus and bus.address, locale=row.language.variables)
        self.addCleanup(run.stop)  # the row's processes go with its row
        statuses = bus and StatusTexts(bus, run.process, row.language.title)
        watchers = [Watcher(when, run, self.x, statuses, row.language.title) for when in row.during]
        check = lambda name, actual, expected: self.assertEqual(actual, expected, f"{name}: {run.output()}")
        if row.box:
            shown = wait_until(lambda: self.x.window("Tarnwick Installer") and box_text(run.output()), 20)
            expected = row.box.format(url=shown_url, root=sandbox.root, app=sandbox.app)
            if isinstance(row.box, Prefix) and shown and shown[1].startswith(expected):
                expected = shown[1]
            check("box", shown, ("Tarnwick Installer", expected))
            if statuses:  # read before the box goes, and the window with it
                wait_until(lambda: statuses.texts, 10)
            self.x.xdotool("windowfocus", "--sync", self.x.window("Tarnwick Installer"), "key", "Return")
        check("status", run.wait(row.seconds), 0)
        check("watchers", [watcher.outcome() for watcher in watchers], [None] * len(watchers))
        if statuses:
            # The last change, back to INSTALLING, may never be read: the installation holds the event loop.
            seen, expected = statuses.seen(), list(row.statuses)
            check("statuses", seen[:len(expected)] if seen[len(expected):] in ([], [INSTALLING]) else seen, expected)
        check("box", box_text(run.output()) is None, row.box is None)
        # Root installs a copy of its own, in a folder of its own that is gone afterwards.
        call = sandbox.installer_call()
        check("installed", call and os.path.basename(call["args"][1]), row.installed)
        if call and row.installed:
            copy = call["args"][1]
            check("installed", (call["args"], call["folder"], os.path.exists(os.path.dirname(copy))),
                  (["-pkg", copy, "-target", sandbox.app.split("/Applications/")[0] + "/"],
                   {"path": os.path.dirname(copy), "mode": "700", "owner": "root"}, False))
            check("package", Digest(**call["package"]), digest_of(row.package))
        check("prompts", [prompt["argv"][:2] for prompt in sandbox.prompts()], [["/bin/sh", "-c"]] * row.prompts)
        # Started detached (every process of the run has ended by now), after a RunningApplication's start.
        running = any(isinstance(fixture, RunningApplication) for fixture in row.fixtures)
        check("started", sandbox.starts(), [{"program": sandbox.executable, "arguments": []}] * (running + row.started))
        check("left", sandbox.left(), set(row.left))
        received = len(server.requests) - asked
        allowed = row.requests if isinstance(row.requests, tuple) else (row.requests,)
        check("requests", received, received if received in allowed else allowed)

    def test_wrong_argument_count_ends_with_255_and_no_window(self):
        sandbox = Sandbox(BINARY)
        self.addCleanup(sandbox.remove)
        for arguments in ([], [sandbox.app], ["", "", ""]):
            result = subprocess.run([sandbox.updater, *arguments], capture_output=True, timeout=20,
                                    env=environment(self.x.display, sandbox.private + "/run"))
            self.assertEqual((result.returncode, result.stdout, result.stderr), (255, b"", b""))
        self.assertEqual(sandbox.downloads(), set())


def digest_of(package):
    if isinstance(package, Zeros):
        return Digest.of_blocks(bytes(min(1 << 20, package - at)) for at in range(0, package, 1 << 20))
    return Digest.of(package)


for _row in ROWS:
    _name = "test_" + _row.name.replace("-", "_")
    assert not hasattr(UpdateTest, _name), f"two rows named {_row.name}"
    setattr(UpdateTest, _name, lambda self, row=_row: self.run_row(row))
    getattr(UpdateTest, _name).__doc__ = f"row {_row.name}: {_row.url}"

if __name__ == "__main__":
    unittest.main()
