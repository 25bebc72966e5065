"""What the e2e tests add to scripts/world.py: a large ZIP builder, actions, watchers and fixtures."""
import ctypes, dataclasses, functools, os, pathlib, socket, struct, subprocess, sys, threading, time, zipfile, zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))

from world import INSTALLING, NOBODY, PROXIED_HOST, Place, Prompt, mount, wait_until  # noqa: E402

QUIT = ".quit-example"  # the file that a RunningApplication waits for, beside the bundle


def zeros_zip(size, name, block=1 << 20):
    """A ZIP of one entry of `size` (below 4 GiB) zero bytes, written by hand."""
    compressor, zeros = zlib.compressobj(9, zlib.DEFLATED, -15), bytes(block)
    # A block of zeros deflated after a full flush is the same bytes wherever it stands: it is deflated once.
    piece = compressor.compress(zeros) + compressor.flush(zlib.Z_FULL_FLUSH)
    assert compressor.compress(zeros) + compressor.flush(zlib.Z_FULL_FLUSH) == piece, "deflated zeros differ"
    blocks, rest = divmod(size, block)
    stream = piece * blocks + compressor.compress(bytes(rest)) + compressor.flush(zlib.Z_FINISH)
    crc = zlib.crc32(bytes(rest), functools.reduce(lambda crc, _: zlib.crc32(zeros, crc), range(blocks), 0))
    fields, encoded = (20, 0, zipfile.ZIP_DEFLATED, 0, (1 << 5) | 1, crc, len(stream), size), name.encode()
    data = struct.pack("<IHHHHHIIIHH", 0x04034B50, *fields, len(encoded), 0) + encoded + stream
    directory = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, (3 << 8) | 45, *fields, len(encoded), 0, 0, 0, 0,
                            0o100644 << 16, 0) + encoded
    return data + directory + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(directory), len(data), 0)


def close_window(place):
    """Closes the updater's window as a title-bar button does (xdotool cannot): WM_DELETE_WINDOW."""
    x11, window, pointer = ctypes.CDLL("libX11.so.6"), int(place.window()), ctypes.c_void_p
    x11.XOpenDisplay.restype, x11.XInternAtom.restype = pointer, ctypes.c_ulong
    x11.XInternAtom.argtypes = [pointer, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [pointer, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, pointer]
    x11.XFlush.argtypes = x11.XCloseDisplay.argtypes = [pointer]
    if not (connection := x11.XOpenDisplay(place.x.display.encode())):
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
    place.x.click(place.window(), 446, 106)  # CANCEL UPDATE, in the window's coordinates


def click_cancel_mirrored(place):
    place.x.click(place.window(), 564 - 446, 106)  # where CANCEL UPDATE is right to left; the logo's side otherwise


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
    """Renames over `name` new bytes, a "fifo" or a "link" to one, or puts a "folder" not empty there. A fixture too."""
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
    title: str = INSTALLING  # the window's, in the run's language

    def window(self):
        if not (window := wait_until(lambda: self.x.window(self.title), 15)):
            raise AssertionError(f"no window {self.title!r}")
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

    def __init__(self, when, run, x, statuses=None, title=INSTALLING):
        super().__init__(daemon=True)
        self.when, self.process, self.place, self.statuses = when, run.process, Watched(run.folder, x, title), statuses
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
    """The application runs (a real executable) until quit_application; its start is recorded. It starts before the
    updater, or with `on_prompt` (after AnotherUser) when the password is first asked for, as the owner of the folder
    beside the updater's bundle: the updater's user by then."""
    on_prompt: bool = False

    def prepare(self, sandbox, launch):
        sandbox.make_native_application()
        started = []

        def start(place):
            if started:
                return
            started.append(True)
            user = os.stat(place.folder).st_uid
            launch.services.append(subprocess.Popen(
                [sandbox.executable], cwd="/", stdin=subprocess.DEVNULL, user=user, group=user,
                extra_groups=None if user == os.getuid() else [], env=dict(os.environ, EXAMPLE_QUITS_ON=place.path(QUIT))))
            if not wait_until(lambda: sandbox.starts(), 10):
                raise SystemExit("init: the application did not start")

        if self.on_prompt:
            launch.prompt = dataclasses.replace(launch.prompt, before=start)
        else:
            start(Place(sandbox.root))


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
