"""What the e2e tests add to scripts/world.py: a large ZIP builder, actions, watchers and fixtures."""
import ctypes, dataclasses, functools, os, pathlib, socket, struct, subprocess, sys, threading, time, zipfile, zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))

from world import INSTALLING, NOBODY, PROXIED_HOST, Place, Prompt, mount, wait_until  # noqa: E402

CANCEL_BUTTON = (446, 106)  # CANCEL UPDATE, in the window's coordinates
QUIT = ".quit-example"  # the file that a RunningApplication waits for, beside the bundle


def zeros_zip(size, name, zip64=False, block=1 << 20):
    """A ZIP of one entry of `size` zero bytes, written by hand (Zip64 records if asked or needed): a block of
    zeros deflated after a full flush is the same bytes wherever it stands, so it is deflated once."""
    compressor, zeros = zlib.compressobj(9, zlib.DEFLATED, -15), bytes(block)
    piece = compressor.compress(zeros) + compressor.flush(zlib.Z_FULL_FLUSH)
    assert compressor.compress(zeros) + compressor.flush(zlib.Z_FULL_FLUSH) == piece, "deflated zeros differ"
    blocks, rest = divmod(size, block)
    stream = piece * blocks + compressor.compress(bytes(rest)) + compressor.flush(zlib.Z_FINISH)
    crc = zlib.crc32(bytes(rest), functools.reduce(lambda crc, _: zlib.crc32(zeros, crc), range(blocks), 0))
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
    """Closes the updater's window as a title-bar button does (xdotool cannot): WM_DELETE_WINDOW."""
    x11, window = ctypes.CDLL("libX11.so.6"), int(place.window())
    x11.XOpenDisplay.restype, x11.XInternAtom.restype = ctypes.c_void_p, ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
    x11.XFlush.argtypes = x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    connection = x11.XOpenDisplay(place.x.display.encode())
    if not connection:
        raise OSError(f"cannot open X display {place.x.display}")
    try:
        # An XEvent (24 longs) as an XClientMessageEvent: type 33 (ClientMessage), serial, send_event, display,
        # window, message_type, format, data (on a 64-bit little-endian machine an int fills a long's slot).
        event = (ctypes.c_long * 24)(33, 0, 0, 0, window, x11.XInternAtom(connection, b"WM_PROTOCOLS", False), 32,
                                     x11.XInternAtom(connection, b"WM_DELETE_WINDOW", False))
        if not x11.XSendEvent(connection, window, False, 0, event):
            raise OSError("XSendEvent failed")
        x11.XFlush(connection)
    finally:
        x11.XCloseDisplay(connection)


def click_cancel(place):
    place.x.click(place.window(), *CANCEL_BUTTON)


def quit_application(place):
    """Has the RunningApplication quit, as its user would."""
    pathlib.Path(place.path(QUIT)).touch()
    if not wait_until(lambda: not os.path.exists(place.path(QUIT)), 10):
        raise AssertionError("the application did not quit")


# --- Actions on a file of the sandbox's folder (a watcher's, the prompt's, the installer's), called with a Place.

@dataclasses.dataclass(frozen=True)
class Rewrite:
    """Writes `data` into `name` in place (the same inode): at `offset`, or as its whole content."""
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
    """Puts at `name` new bytes, a "fifo" nobody writes or a "link" to one, renamed over it, or a "folder"
    that is not empty (once the file is gone). Also a fixture."""
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
    x: object = None

    def window(self):
        window = wait_until(lambda: self.x.window(INSTALLING), 15)
        if not window:
            raise AssertionError(f"no window {INSTALLING!r}")
        return window


@dataclasses.dataclass(frozen=True)
class When:
    """Does `then` once the file `name` has `reaches` bytes, or the status reads `shown` (the row reads statuses)."""
    then: object
    name: str = ""
    reaches: int = 0
    shown: "str | None" = None


class Watcher(threading.Thread):
    """Does a When in a run, on the texts the row's StatusTexts has read; outcome() is None once it acted."""

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
        self.join(5)
        return self.problem and f"{self.when} {self.problem}"


# --- Fixtures: prepare(sandbox, launch) runs before the updater, in the run's namespace as its root, in order.

@dataclasses.dataclass(frozen=True)
class Tmpfs:
    """The sandbox's folder becomes a tmpfs of `kib` KiB, what it held bound back into it. Put it first."""
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
    """The application runs (a real executable) until quit_application; its start is recorded."""

    def prepare(self, sandbox, launch):
        sandbox.make_native_application()
        launch.services.append(subprocess.Popen([sandbox.executable], cwd="/", stdin=subprocess.DEVNULL,
                                                env=dict(os.environ, EXAMPLE_QUITS_ON=os.path.join(sandbox.root, QUIT))))
        if not wait_until(lambda: sandbox.starts(), 10):
            raise SystemExit("init: the application did not start")


@dataclasses.dataclass(frozen=True)
class AnotherUser:
    """The updater runs as user 65534, not root, so it asks pkexec, which behaves as `prompt` says."""
    prompt: Prompt = Prompt()

    def prepare(self, sandbox, launch):
        launch.user, launch.prompt = NOBODY, self.prompt


@dataclasses.dataclass(frozen=True)
class Proxy:
    """A tinyproxy in http_proxy and https_proxy, which alone knows PROXIED_HOST."""

    def prepare(self, sandbox, launch):
        folder = sandbox.private + "/proxy"
        os.makedirs(folder)
        pathlib.Path(folder, "hosts").write_text(f"127.0.0.1 localhost {PROXIED_HOST}\n")
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        pathlib.Path(folder, "tinyproxy.conf").write_text(
            f"Port {port}\nListen 127.0.0.1\nTimeout 30\nMaxClients 8\nLogLevel Warning\nAllow 127.0.0.1\n")
        # In a mount namespace of its own, where the host's name is known: the updater reaches it only through it.
        launch.services.append(subprocess.Popen(
            ["unshare", "--mount", "sh", "-c", 'mount --bind "$0" /etc/hosts && exec tinyproxy -d -c "$1"',
             folder + "/hosts", folder + "/tinyproxy.conf"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        wait_until(lambda: _accepts(port), 10)
        os.environ["http_proxy"] = os.environ["https_proxy"] = f"http://127.0.0.1:{port}"


def _accepts(port):
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", port)) == 0

