"""What the end-to-end tests add to the world an update runs in (scripts/world.py): a large ZIP builder,
actions that change the world while the updater runs, watchers that do them at the right moment, and
fixtures that shape it before the updater starts.
"""
import ctypes, dataclasses, os, pathlib, socket, struct, subprocess, sys, threading, time, zipfile, zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))

from world import INSTALLING, NOBODY, PROXIED_HOST, Place, Prompt, mount, wait_until  # noqa: E402

CANCEL_BUTTON = (446, 106)  # CANCEL UPDATE, in the window's coordinates
QUIT = ".quit-example"  # the file that a RunningApplication waits for, beside the bundle


def zeros_zip(size, name, zip64=False, block=1 << 20):
    """A ZIP archive whose one entry, `name`, holds `size` zero bytes, deflated, made in the time it
    takes to deflate two blocks: a block of zeros deflated after a full flush (raw deflate) is the
    same bytes wherever it stands in the stream. The records are written by hand, Zip64 ones when
    `zip64` is true or a size needs them."""
    compressor, zeros = zlib.compressobj(9, zlib.DEFLATED, -15), bytes(block)
    piece = compressor.compress(zeros) + compressor.flush(zlib.Z_FULL_FLUSH)
    assert compressor.compress(zeros) + compressor.flush(zlib.Z_FULL_FLUSH) == piece, "deflated zeros differ"
    blocks, rest = divmod(size, block)
    stream = piece * blocks + compressor.compress(bytes(rest)) + compressor.flush(zlib.Z_FINISH)
    crc = 0
    for _ in range(blocks):
        crc = zlib.crc32(zeros, crc)
    crc = zlib.crc32(bytes(rest), crc)
    zip64 = zip64 or max(size, len(stream)) >= 0xFFFFFFFF
    encoded, needed, made_by, when = name.encode(), 45 if zip64 else 20, (3 << 8) | 45, (0, (1 << 5) | 1)
    extra = struct.pack("<HHQQ", 1, 16, size, len(stream)) if zip64 else b""  # as Info-ZIP: no offset (0 fits)
    sizes = (0xFFFFFFFF, 0xFFFFFFFF) if zip64 else (len(stream), size)
    data = struct.pack("<IHHHHHIIIHH", 0x04034B50, needed, 0, zipfile.ZIP_DEFLATED, *when, crc, *sizes, len(encoded),
                       len(extra)) + encoded + extra + stream
    directory = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, made_by, needed, 0, zipfile.ZIP_DEFLATED, *when, crc,
                            *sizes, len(encoded), len(extra), 0, 0, 0, 0o100644 << 16, 0) + encoded + extra
    end = (0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF) if zip64 else (1, 1, len(directory), len(data))
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, *end, 0)
    if zip64:
        end = (struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, made_by, needed, 0, 0, 1, 1, len(directory), len(data))
               + struct.pack("<IIQI", 0x07064B50, 0, len(data) + len(directory), 1) + end)
    return data + directory + end


def close_window(place):
    """Closes the updater's window as a window manager's title-bar button does (xdotool cannot): a
    WM_PROTOCOLS client message carrying WM_DELETE_WINDOW (a watcher's action: its Place is Watched)."""
    x11, window = ctypes.CDLL("libX11.so.6"), int(place.window())
    x11.XOpenDisplay.restype, x11.XInternAtom.restype = ctypes.c_void_p, ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
    x11.XFlush.argtypes = x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    connection = x11.XOpenDisplay(place.x.display.encode())
    if not connection:
        raise OSError(f"cannot open X display {place.x.display}")
    try:
        event = _ClientMessage(type=33, window=window, format=32,  # 33: ClientMessage
                               message_type=x11.XInternAtom(connection, b"WM_PROTOCOLS", False))
        event.data[0] = x11.XInternAtom(connection, b"WM_DELETE_WINDOW", False)  # data[1]: CurrentTime, 0
        if not x11.XSendEvent(connection, window, False, 0, ctypes.byref(event)):
            raise OSError("XSendEvent failed")
        x11.XFlush(connection)
    finally:
        x11.XCloseDisplay(connection)


class _ClientMessage(ctypes.Structure):
    """Xlib's XClientMessageEvent, padded to the size of an XEvent (24 longs)."""
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 12)]


def click_cancel(place):
    """Clicks CANCEL UPDATE in the updater's window (a watcher's action)."""
    place.x.click(place.window(), *CANCEL_BUTTON)


def quit_application(place):
    """Has the RunningApplication quit, as its user would, and returns once it is on its way out."""
    pathlib.Path(place.path(QUIT)).touch()
    if not wait_until(lambda: not os.path.exists(place.path(QUIT)), 10):
        raise AssertionError("the application did not quit")


# --- Actions on a file of the sandbox's folder: what a watcher, the password prompt or the installer
# does, called with a Place. Put is a fixture too.

@dataclasses.dataclass(frozen=True)
class Rewrite:
    """Writes `data` into the file `name` in place (the same inode): at `offset`, or as its whole content."""
    name: str
    data: bytes
    offset: "int | None" = None

    def __call__(self, place):
        with open(place.path(self.name), "r+b") as file:
            file.seek(self.offset or 0)
            file.write(self.data)
            if self.offset is None:
                file.truncate()


@dataclasses.dataclass(frozen=True)
class Put:
    """Puts `what` at `name`, in the stead of anything there: new bytes, a "fifo" that nobody writes, or a
    "link" to such a FIFO beside it, each made aside and renamed over the name (whoever opens the FIFO
    waits for ever, or fails); or a "folder" that is not empty, made once the file is gone (a folder
    cannot be renamed over a file). As a fixture, before the updater starts."""
    name: str
    what: "bytes | str"

    def __call__(self, place):
        path, aside = place.path(self.name), place.path(self.name + ".new")
        if self.what == "folder":
            if os.path.lexists(path):
                os.remove(path)
            os.mkdir(path)
            pathlib.Path(path, "x").touch()
            return
        if self.what == "link":
            os.mkfifo(path + ".fifo")
            os.symlink(self.name + ".fifo", aside)
        elif self.what == "fifo":
            os.mkfifo(aside)
        else:
            pathlib.Path(aside).write_bytes(self.what)
        os.rename(aside, path)

    def prepare(self, sandbox, launch):
        self(Place(sandbox.root))


# --- Watchers: what acts while the updater runs ----------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Watched(Place):
    """A Place seen from the test, with the X server the updater's window is on."""
    x: object = None

    def window(self):
        window = wait_until(lambda: self.x.window(INSTALLING), 15)
        if not window:
            raise AssertionError(f"no window {INSTALLING!r}")
        return window


@dataclasses.dataclass(frozen=True)
class When:
    """As soon as, while the updater runs, the file `name` in the sandbox's folder has at least `reaches`
    bytes, or the status text of the updater's window reads `shown` (through the display's
    AccessibilityBus: the row must read its statuses), does `then` (once)."""
    then: object
    name: str = ""
    reaches: int = 0
    shown: "str | None" = None


class Watcher(threading.Thread):
    """Watches for a When in a run; a row that has one fails unless it acted. A text to be shown is
    looked for in what the row's StatusTexts has read, so the row's statuses hold every text it acted on."""

    def __init__(self, when, run, x, statuses=None):
        super().__init__(daemon=True)
        self.when, self.process, self.place, self.statuses = when, run.process, Watched(run.folder, x), statuses
        self.problem = "never acted: it never came while the updater ran"
        self.start()

    def ready(self):
        if self.when.shown:
            return bool(self.statuses and self.statuses.texts) and self.statuses.texts[-1] == self.when.shown
        try:
            return os.stat(self.place.path(self.when.name)).st_size >= self.when.reaches
        except OSError:
            return False

    def run(self):
        while self.process.poll() is None:
            if self.ready():
                try:
                    self.when.then(self.place)
                    self.problem = None
                except Exception as error:  # reported by the row
                    self.problem = f"failed: {error!r}"
                return
            time.sleep(0.01 if self.when.shown else 0.005)

    def outcome(self):
        """None when it acted without an error, else what went wrong."""
        self.join(5)
        return self.problem and f"{self.when} {self.problem}"


# --- Fixtures: what a row's world holds before the updater starts ---------------------------------
# Each prepare(sandbox, launch) runs in the run's namespace, as its root, in the row's order.

@dataclasses.dataclass(frozen=True)
class Tmpfs:
    """The sandbox's folder, where the download lands, becomes a file system of `kib` KiB; what it held
    (the bundle, the application) is bound back into it. Put it first: the fixtures after it make
    their files in it."""
    kib: int

    def prepare(self, sandbox, launch):
        original = sandbox.private + "/original"
        mount("--bind", sandbox.root, original)
        mount("-t", "tmpfs", "-o", f"size={self.kib}k", "tmpfs", sandbox.root)
        for name in os.listdir(original):
            os.mkdir(os.path.join(sandbox.root, name))
            mount("--bind", os.path.join(original, name), os.path.join(sandbox.root, name))


@dataclasses.dataclass(frozen=True)
class FileSizeLimit:
    """The updater and its children cannot write a file past `bytes` (RLIMIT_FSIZE)."""
    bytes: int

    def prepare(self, sandbox, launch):
        launch.file_size_limit = self.bytes


@dataclasses.dataclass(frozen=True)
class RunningApplication:
    """The application, a real executable (world.Sandbox.make_native_application), runs before the updater
    starts, until quit_application has it quit; if it still runs when the updater has ended, the world
    ends it. Its start is recorded as the updater's relaunch is."""

    def prepare(self, sandbox, launch):
        sandbox.make_native_application()
        launch.services.append(subprocess.Popen([sandbox.executable], cwd="/", stdin=subprocess.DEVNULL,
                                                env=dict(os.environ, EXAMPLE_QUITS_ON=os.path.join(sandbox.root, QUIT))))
        if not wait_until(lambda: sandbox.starts(), 10):
            raise SystemExit("init: the application did not start")


@dataclasses.dataclass(frozen=True)
class AnotherUser:
    """The updater runs as user 65534 instead of root, so it asks pkexec, which behaves as `prompt` says.
    As root: that is nobody, who is given the sandbox's folder. Otherwise: 65534 in a user namespace of
    its own within the run's, with no privilege, where the folder is its own."""
    prompt: Prompt = Prompt()

    def prepare(self, sandbox, launch):
        launch.user, launch.prompt = NOBODY, self.prompt


@dataclasses.dataclass(frozen=True)
class Proxy:
    """The updater goes through a real HTTP proxy (tinyproxy, started in the run's namespace, found
    through http_proxy and https_proxy), which knows PROXIED_HOST as 127.0.0.1 (the updater does not);
    the https server's certificate (cert.pem, in the served folder) is trusted as Qt looks for trust: in
    /etc/ssl/certs, by its hash. A proxy that `refuses` denies every client."""
    refuses: bool = False

    def prepare(self, sandbox, launch):
        folder = sandbox.private + "/proxy"
        os.makedirs(folder + "/certs")
        pathlib.Path(folder, "hosts").write_text(f"127.0.0.1 localhost {PROXIED_HOST}\n")
        certificate = pathlib.Path(os.environ["TARNWICK_SERVED"], "cert.pem").read_bytes()
        digest = subprocess.run(["openssl", "x509", "-noout", "-hash"], input=certificate, capture_output=True,
                                check=True).stdout.decode().strip()
        pathlib.Path(folder, "certs", digest + ".0").write_bytes(certificate)
        mount("--bind", folder + "/certs", "/etc/ssl/certs")
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        pathlib.Path(folder, "tinyproxy.conf").write_text(
            f"Port {port}\nListen 127.0.0.1\nTimeout 30\nMaxClients 8\nLogLevel Warning\n"
            f"Allow {'10.255.255.255' if self.refuses else '127.0.0.1'}\n")
        # In a mount namespace of its own, where the host's name is known: the updater cannot reach it
        # but through the proxy.
        launch.services.append(subprocess.Popen(
            ["unshare", "--mount", "sh", "-c", 'mount --bind "$0" /etc/hosts && exec tinyproxy -d -c "$1"',
             folder + "/hosts", folder + "/tinyproxy.conf"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        wait_until(lambda: _accepts(port), 10)
        os.environ["http_proxy"] = os.environ["https_proxy"] = f"http://127.0.0.1:{port}"


def _accepts(port):
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", port)) == 0

