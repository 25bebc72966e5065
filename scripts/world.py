"""The world an update runs in on Linux, for the demo and the end-to-end tests: an HTTP(S) server on
127.0.0.1, a private X server, a folder holding the updater's bundle and an application to update, and
stand-ins for /usr/sbin/installer and pkexec in a namespace of the run's own. The C++ tests use it as a
server:
    python3 world.py serve <root>    prints "<http port> <https port>"
Nothing started here outlives the process that started it, however that one ends: the X server and
each run's namespace are tied() to it, and every process in a namespace ends with its first, init().
A run's fixtures and the stand-ins' actions are the caller's objects (tests/e2e/fixtures.py has the
tests'); they reach the namespace pickled, with the folders of the modules that define them.
"""
import atexit, ctypes, dataclasses, hashlib, http.server, io, json, os, pathlib, pickle, pwd
import random, re, resource, shutil, signal, socket, ssl, subprocess, sys, tempfile, threading, time
import urllib.parse, zipfile, zlib

WORLD = os.path.abspath(__file__)
SYSTEM_PYTHON = "/usr/bin/python3"  # readable by another user (the application, pkexec), unlike the test's own
NOBODY = 65534
PROXIED_HOST = "update.test"  # the server's name for a proxy: Qt never sends 127.0.0.1 through one
INSTALLING = "Installing update..."  # the updater's window
# Where Qt reads the user's languages on Linux (LANGUAGE first): the C locale, English, unless a run asks otherwise.
LOCALE_VARIABLES = ("LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG")
C_LOCALE = (("LC_ALL", "C.UTF-8"),)


def tied(argv):
    """argv, to be started from the main thread, killed as soon as this process ends (its children are
    not). setpriv sets the parent-death signal, then the command starts only if its parent ($0) is
    still there: were it gone already, no signal would ever come."""
    return ["setpriv", "--pdeathsig", "KILL", "--", "sh", "-c", 'test "$PPID" = "$0" && exec "$@"',
            str(os.getpid()), *argv]


_temporary, _live = None, set()  # _live: the runs and X servers to stop before the temporary folder goes


def temporary_folder(prefix):
    """A new folder (mode 0755) in this process's temporary folder, which goes with everything in it
    when the process ends, by SIGTERM and Ctrl-C too; only SIGKILL leaves it."""
    global _temporary
    if _temporary is None:
        _temporary = tempfile.mkdtemp(prefix="tarnwick-e2e-")
        os.chmod(_temporary, 0o755)
        atexit.register(_end)
        if signal.getsignal(signal.SIGTERM) == signal.SIG_DFL:
            signal.signal(signal.SIGTERM, signal.default_int_handler)
    folder = tempfile.mkdtemp(prefix=prefix, dir=_temporary)
    os.chmod(folder, 0o755)
    return folder


def _end():
    for live in list(_live):
        live.stop()
    remove_tree(_temporary, ignore_errors=True)


def remove_tree(path, ignore_errors=False):
    """shutil.rmtree, also of the folders an overlay leaves with mode 0 (its work folder)."""
    subprocess.run(["chmod", "-R", "u+rwx", path], stderr=subprocess.DEVNULL, check=not ignore_errors)
    shutil.rmtree(path, ignore_errors=ignore_errors)


def wait_until(predicate, timeout):
    """predicate()'s first true value within `timeout` seconds, else None."""
    deadline = time.monotonic() + timeout
    while not (value := predicate()) and time.monotonic() < deadline:
        time.sleep(0.02)
    return value or None


# --- The server and what it serves ----------------------------------------------------------------

class Handler(http.server.BaseHTTPRequestHandler):
    """Serves the files under the server's root as the query says: status=N, framing=length|chunked|close,
    length=N (announced), cut=N (bytes sent), step=N and pause=S (pacing), repeat=N (the body N times),
    redirect=URL, encoding=E (gzip and deflate applied)."""
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        self.server.requests.append(self.path)
        file = pathlib.Path(self.server.root, urllib.parse.unquote(url.path).lstrip("/"))
        body = file.read_bytes() if file.is_file() else b"no such file\n"
        if wbits := {"gzip": 31, "deflate": 15}.get(query.get("encoding")):
            body = zlib.compress(body, wbits=wbits)
        framing = query.get("framing", "length")
        self.send_response(int(query.get("status", 200 if file.is_file() else 404)))
        for header, key in (("Location", "redirect"), ("Content-Encoding", "encoding")):
            if key in query:
                self.send_header(header, query[key])
        if framing == "length":
            self.send_header("Content-Length", query.get("length", str(len(body))))
        elif framing == "chunked":
            self.send_header("Transfer-Encoding", "chunked")
        self.send_header("Connection", "close")
        self.end_headers()
        body, step = body[:int(query.get("cut", len(body)))], int(query.get("step", 1 << 16))
        try:
            for at in range(0, len(body) * int(query.get("repeat", 1)), step):
                piece = body[at % len(body):at % len(body) + step]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece) if framing == "chunked" else piece)
                self.wfile.flush()
                time.sleep(float(query.get("pause", 0)))
            if framing == "chunked" and "cut" not in query:
                self.wfile.write(b"0\r\n\r\n")
        except OSError:
            pass


def serve(root, tls=False):
    """A threaded server for `root` on a free port; with TLS, its certificate (self-signed for
    127.0.0.1 and PROXIED_HOST) is made as root/cert.pem."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads, server.root, server.requests = True, root, []
    if tls:
        cert, key = os.path.join(root, "cert.pem"), os.path.join(root, "key.pem")
        names = f"subjectAltName=IP:127.0.0.1,DNS:{PROXIED_HOST}"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-keyout", key,
                        "-out", cert, "-subj", "/CN=127.0.0.1", "-addext", names], check=True, capture_output=True)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
    return server


def make_package(label):
    """Recognisable bytes, not trivially compressible, arriving in several chunks."""
    return f"package: {label}\n".encode() + random.Random(label).randbytes(200 * 1024)


def make_zip(entries, method=zipfile.ZIP_DEFLATED):
    """A ZIP archive of {name: bytes}."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression=method) as archive:
        for name, data in entries.items():
            archive.writestr(name, data)
    return buffer.getvalue()


@dataclasses.dataclass(frozen=True)
class Digest:
    """What an installer is handed, by size and SHA-256."""
    size: int
    sha256: str

    @classmethod
    def of(cls, data):
        return cls.of_blocks([data])

    @classmethod
    def of_blocks(cls, blocks):
        digest, size = hashlib.sha256(), 0
        for block in blocks:
            digest.update(block)
            size += len(block)
        return cls(size, digest.hexdigest())


# --- The X server ---------------------------------------------------------------------------------

class XServer:
    """Xvfb on a display number of its own choice, kept up between clients."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(tied(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x800x24",
                                              "-nolisten", "tcp", "-noreset"]), pass_fds=(write_end,),
                                        stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            self.display = ":" + pipe.readline().strip()
        if self.display == ":":
            raise OSError("Xvfb did not start")
        self.bus = None
        _live.add(self)

    def stop(self):
        if self.bus:
            self.bus.stop()
        self.process.terminate()
        self.process.wait()
        _live.discard(self)

    def accessibility(self):
        """This display's AccessibilityBus, started on first use."""
        if self.bus is None:
            self.bus = AccessibilityBus(self)
        return self.bus

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=self.display), capture_output=True,
                              text=True).stdout.split()

    def windows(self):
        """(id, title) of each visible window. Titles are compared here: xdotool's own --name misses those
        beyond Latin-1 (Arabic, Japanese)."""
        return [(window, subprocess.run(["xdotool", "getwindowname", window], env=dict(os.environ, DISPLAY=self.display),
                                        capture_output=True, text=True).stdout.removesuffix("\n"))
                for window in self.xdotool("search", "--onlyvisible", "--name", ".")]

    def window(self, title):
        """The visible window of that title, or None."""
        return next((window for window, name in self.windows() if name == title), None)

    def click(self, window, x, y):
        self.xdotool("mousemove", "--window", window, str(x), str(y), "click", "1")


_BUS_CONFIG = '''<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <listen>{address}</listen>
  <auth>EXTERNAL</auth>
  <auth>ANONYMOUS</auth>
  <allow_anonymous/>
  <policy context="default">
    <allow user="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
    <allow own="*"/>
  </policy>
</busconfig>
'''


# Debian's python3-dbus and python3-gi, for the system's Python.
_A11Y_BUS_SERVICE = """
import sys, dbus, dbus.service, dbus.mainloop.glib
from gi.repository import GLib
dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(sys.argv[1])
name = dbus.service.BusName("org.a11y.Bus", bus)
class Service(dbus.service.Object):
    @dbus.service.method("org.a11y.Bus", out_signature="s")
    def GetAddress(self):
        return sys.argv[1]
service = Service(bus, "/org/a11y/bus")
print("ready", flush=True)
GLib.MainLoop().run()
"""


class AccessibilityBus:
    """A D-Bus daemon that an updater given its address (environment(bus=...)) takes for its session bus
    and, through the display's AT_SPI_BUS property, for its accessibility bus, where Qt's AT-SPI bridge
    shows the window's widgets: what a text says now can be read there, whereas Qt's accessibility log
    names a widget once, when Qt first meets it. Anyone may connect: any user (an updater run as another
    user), and anonymously (ANONYMOUS), as an updater in a user namespace is not the uid it claims to the
    daemon outside."""
    LABEL = 29  # AT-SPI's role of a static text

    def __init__(self, x):
        folder = temporary_folder("accessibility-")
        self.address = f"unix:path={folder}/socket"
        pathlib.Path(folder, "bus.conf").write_text(_BUS_CONFIG.format(address=self.address))
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(tied(["dbus-daemon", f"--config-file={folder}/bus.conf", "--nofork",
                                              f"--print-address={write_end}"]), pass_fds=(write_end,),
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            if not pipe.readline().strip():
                raise OSError("dbus-daemon did not start")
        _live.add(self)
        subprocess.run(["xprop", "-root", "-f", "AT_SPI_BUS", "8s", "-set", "AT_SPI_BUS", self.address],
                       env=dict(os.environ, DISPLAY=x.display), check=True)
        # Qt 6 finds its accessibility bus only by asking org.a11y.Bus on the session bus (it misses the
        # display's property): a stand-in for that service answers with this same bus.
        self.service = subprocess.Popen(tied(["/usr/bin/python3", "-c", _A11Y_BUS_SERVICE, self.address]),
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        if self.service.stdout.readline().strip() != "ready":
            raise OSError("the org.a11y.Bus stand-in did not start")

    def stop(self):
        for process in (self.service, self.process):
            process.terminate()
            process.wait()
        _live.discard(self)

    def _call(self, destination, path, method, *arguments):
        result = subprocess.run(["dbus-send", f"--bus={self.address}", "--print-reply", "--reply-timeout=2000",
                                 f"--dest={destination}", path, method, *arguments], capture_output=True, text=True)
        return result.stdout if result.returncode == 0 else ""

    def _children(self, name, path):
        return re.findall(r'object path "([^"]*)"', self._call(name, path, "org.a11y.atspi.Accessible.GetChildren"))

    def _name(self, name, path):
        reply = self._call(name, path, "org.freedesktop.DBus.Properties.Get", "string:org.a11y.atspi.Accessible",
                           "string:Name")
        found = re.search(r'variant\s+string "(.*)"\s*$', reply, re.S)
        return found and found[1]

    def find_label(self, window_title):
        """(bus name, object path) of the static text in the visible window of that title, None while
        there is none."""
        listed = self._call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.ListNames")
        for name in re.findall(r'string "(:[^"]*)"', listed):
            for window in self._children(name, "/org/a11y/atspi/accessible/root"):
                if self._name(name, window) != window_title:
                    continue
                pending = self._children(name, window)
                while pending:
                    path = pending.pop()
                    role = self._call(name, path, "org.a11y.atspi.Accessible.GetRole")
                    if re.search(rf"uint32 {self.LABEL}\b", role):
                        return name, path
                    pending += self._children(name, path)
        return None

    def text(self, label):
        """What the label found by find_label() says now; None when it cannot be read (the window has
        gone, or its event loop is held)."""
        return self._name(*label)


class StatusTexts(threading.Thread):
    """Reads the status text of the updater's window, titled `title`, through `bus` while `process` runs,
    about twenty times a second, and keeps each text that differs from the one before."""

    def __init__(self, bus, process, title=INSTALLING):
        super().__init__(daemon=True)
        self.bus, self.process, self.title, self.texts = bus, process, title, []
        self.start()

    def run(self):
        label = None
        while self.process.poll() is None:
            label = label or self.bus.find_label(self.title)
            text = label and self.bus.text(label)
            if text and (not self.texts or self.texts[-1] != text):
                self.texts.append(text)
            time.sleep(0.05)

    def seen(self):
        self.join(5)
        return self.texts


def box_text(log):
    """(title, text) of the message box, as Qt logs its accessible objects with environment()'s
    settings; None before the box is there."""
    def unescape(text):
        return re.sub(r'\\(u[0-9a-fA-F]{4}|.)', lambda m: chr(int(m[1][1:], 16)) if len(m[1]) == 5
                      else {"n": "\n", "t": "\t"}.get(m[1], m[1]), text)
    quoted = r'name="((?:[^"\\]|\\.)*)"'
    label = re.search(quoted + r' role=StaticText obj=QLabel\(0x[0-9a-f]+, name = "qt_msgbox_label"\)', log)
    title = re.search(quoted + r' role=AlertMessage', log)
    return label and title and (unescape(title[1]), unescape(label[1]))


def environment(display, runtime, bus=None, locale=C_LOCALE):
    """The updater's environment: its display, and Qt's accessibility log on; with `bus` (an
    AccessibilityBus's address), that bus for its session bus; `locale`'s (name, value) pairs as its only
    LOCALE_VARIABLES."""
    env = {name: value for name, value in os.environ.items() if name not in LOCALE_VARIABLES}
    env.update(locale, DISPLAY=display, XDG_RUNTIME_DIR=runtime, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
               QT_LOGGING_RULES="qt.accessibility.cache=true")
    env.pop("QT_QPA_PLATFORM", None)
    if bus:
        env["DBUS_SESSION_BUS_ADDRESS"] = bus
    return env


# --- Stand-ins: what they do, called with a Place --------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Place:
    """Where the sandbox's names are, as the process that acts sees them."""
    folder: str

    def path(self, name):
        return os.path.join(self.folder, name)


@dataclasses.dataclass(frozen=True)
class Installer:
    """The stand-in /usr/sbin/installer: it records its call (its arguments, the size and SHA-256 of the
    package it is handed, that package's folder: path, mode, owner), writes `message` to its standard
    error, does `then` in the sandbox's folder, and exits with `status`."""
    status: int = 0
    message: str = ""
    then: object = None


@dataclasses.dataclass(frozen=True)
class Prompt:
    """The stand-in pkexec, the password prompt: it records its call, then either is dismissed (exits
    126, as pkexec does) or does `before` in the sandbox's folder, as if while the password was typed,
    and runs the command as root, with the caller's standard input, output and error."""
    dismissed: bool = False
    before: object = None


def installer_stand_in(sandbox_file, *argv):
    """The stand-in /usr/sbin/installer (run as root, as the real one is)."""
    sandbox = _load(sandbox_file)
    call = {"args": list(argv), "package": None, "folder": None}
    if len(argv) > 1 and os.path.isfile(argv[1]):
        with open(argv[1], "rb") as package:
            call["package"] = dataclasses.asdict(Digest.of_blocks(iter(lambda: package.read(1 << 20), b"")))
        folder = os.path.dirname(os.path.abspath(argv[1]))
        status, names = os.stat(folder), {user.pw_uid: user.pw_name for user in pwd.getpwall()}
        call["folder"] = {"path": folder, "mode": f"{status.st_mode & 0o7777:o}",
                          "owner": names.get(status.st_uid, str(status.st_uid))}
    pathlib.Path(sandbox.record("installer.json")).write_text(json.dumps(call))
    if sandbox.installer.message:
        print(sandbox.installer.message, file=sys.stderr)
    if sandbox.installer.then:
        sandbox.installer.then(Place(sandbox.root))
    sys.exit(sandbox.installer.status)


_APPLICATION = '''
import json, sys
with open(RECORD, "a") as record:
    record.write(json.dumps({"program": sys.argv[0], "arguments": sys.argv[1:]}) + "\\n")
'''

# The application as a real executable, for a run that looks at its process: a script's process runs its
# interpreter, which lies outside the bundle. It records its start as _APPLICATION does; when
# EXAMPLE_QUITS_ON names a file, it stays until that file is there, as an application stays until its
# user quits it, then removes the file and ends.
_NATIVE_APPLICATION = r'''
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static void string(FILE *out, const char *text)
{
    fputc('"', out);
    for (const unsigned char *c = (const unsigned char *)text; *c; ++c) {
        if (*c == '"' || *c == '\\')
            fprintf(out, "\\%c", *c);
        else if (*c < 0x20)
            fprintf(out, "\\u%04x", *c);
        else
            fputc(*c, out);
    }
    fputc('"', out);
}

int main(int argc, char **argv)
{
    FILE *record = fopen(RECORD, "a");
    if (!record)
        return 1;
    fputs("{\"program\": ", record);
    string(record, argv[0]);
    fputs(", \"arguments\": [", record);
    for (int i = 1; i < argc; ++i) {
        fputs(i > 1 ? ", " : "", record);
        string(record, argv[i]);
    }
    fputs("]}\n", record);
    fclose(record);
    const char *quit = getenv("EXAMPLE_QUITS_ON");
    if (quit) {
        while (access(quit, F_OK) != 0)
            usleep(20000);
        unlink(quit);
    }
    return 0;
}
'''

# pkexec: hands its arguments and its standard input, output and error to the row's prompt service (in
# the namespace's first process, as root) and exits with the status it answers; a negative one is a signal.
_PKEXEC = '''
import json, os, signal, socket, sys
with socket.socket(socket.AF_UNIX) as connection:
    connection.connect(SERVICE)
    request = json.dumps({"argv": sys.argv[1:], "uid": os.getuid(), "cwd": os.getcwd()}).encode()
    socket.send_fds(connection, [request], [0, 1, 2])
    connection.shutdown(socket.SHUT_WR)
    answer = b""
    while chunk := connection.recv(64):
        answer += chunk
status = int(answer or 127)
if status < 0:
    signal.signal(-status, signal.SIG_DFL)
    os.kill(os.getpid(), -status)
sys.exit(status)
'''


def _dump(value, path):
    """Pickles `value` for another process, preceded by the folders of this project's modules loaded
    here: the classes of the fixtures and actions in it come from them."""
    project = os.path.dirname(os.path.dirname(WORLD))
    folders = {os.path.dirname(os.path.abspath(module.__file__)) for module in list(sys.modules.values())
               if getattr(module, "__file__", None) and os.path.abspath(module.__file__).startswith(project + "/")}
    with open(path, "wb") as file:
        pickle.dump(sorted(folders), file)
        pickle.dump(value, file)


def _load(path):
    with open(path, "rb") as file:
        sys.path[:0] = [folder for folder in pickle.load(file) if folder not in sys.path]
        return pickle.load(file)


def _write_program(path, python, constants, body):
    """A Python program: `constants` ({name: value}) and then `body`."""
    lines = [f"#!{python} -IB"] + [f"{name} = {value!r}" for name, value in constants.items()]
    pathlib.Path(path).write_text("\n".join(lines) + "\n" + body.lstrip("\n"))
    os.chmod(path, 0o755)


# --- The sandbox ----------------------------------------------------------------------------------

class Sandbox:
    """A temporary folder holding `folder/` (the updater's bundle, beside which downloads land, and the
    application, which records its starts) and `private/` (the stand-ins, their records, the log)."""

    def __init__(self, binary, app="apps/Applications/Example.app", installer=Installer(), info_plist=None):
        self.base = os.path.realpath(temporary_folder("sandbox-"))
        self.root, self.private = os.path.join(self.base, "folder"), os.path.join(self.base, "private")
        self.prompt_service, self.log = self.private + "/prompt.socket", self.private + "/log"
        self.installer = installer
        self.updater = os.path.join(self.root, "Tarnwick Installer.app/Contents/MacOS/Tarnwick Installer")
        os.makedirs(os.path.dirname(self.updater))
        os.chmod(self.root, 0o755)
        try:
            os.link(binary, self.updater)  # not a symbolic link: the bundle is found through /proc/self/exe
        except OSError:
            shutil.copy2(binary, self.updater)
        for folder, mode in (("sbin", 0o755), ("sbin.work", 0o755), ("bin", 0o755), ("bin.work", 0o755),
                             ("record", 0o777), ("run", 0o700), ("original", 0o755)):
            os.makedirs(os.path.join(self.private, folder))
            os.chmod(os.path.join(self.private, folder), mode)
        self.app = os.path.join(self.root, app)
        self.executable = os.path.join(self.app, "Contents/MacOS", os.path.basename(app).split(".")[0])
        os.makedirs(os.path.dirname(self.executable))
        if info_plist is not None:
            pathlib.Path(self.app, "Contents/Info.plist").write_bytes(info_plist)
        _write_program(self.executable, SYSTEM_PYTHON, {"RECORD": self.record("started")}, _APPLICATION)
        _write_program(self.private + "/bin/pkexec", SYSTEM_PYTHON, {"SERVICE": self.prompt_service}, _PKEXEC)
        pathlib.Path(self.private, "sbin/installer").write_text(
            f'#!/bin/sh\nexec "{sys.executable}" -B "{WORLD}" installer "{self.private}/sandbox.pickle" "$@"\n')
        os.chmod(self.private + "/sbin/installer", 0o755)
        _dump(self, self.private + "/sandbox.pickle")

    def record(self, name):
        return os.path.join(self.private, "record", name)

    def make_native_application(self):
        """Puts _NATIVE_APPLICATION, compiled, in place of the application's executable."""
        source = pathlib.Path(self.private, "application.c")
        source.write_text(f"#define RECORD {json.dumps(self.record('started'))}\n" + _NATIVE_APPLICATION)
        subprocess.run(["cc", "-O", "-o", self.executable, str(source)], check=True)

    def start(self, display, arguments, fixtures=(), bus=None, locale=C_LOCALE):
        """Starts the updater with `arguments` on `display` in a namespace of its own (see init()), after
        `fixtures`; its output and the namespace's go to `log`. `bus`, `locale`: see environment()."""
        _dump({"sandbox": self, "arguments": list(arguments), "fixtures": list(fixtures),
               "user_namespace": os.geteuid() != 0}, self.private + "/run.pickle")
        with open(self.log, "wb") as log:
            process = subprocess.Popen(tied([*namespace_command(), sys.executable, "-B", WORLD, "init",
                                             self.private + "/run.pickle"]), stdin=subprocess.DEVNULL,
                                       stdout=log, stderr=log, env=environment(display, self.private + "/run", bus, locale))
        return Run(self, process)

    def recorded(self, name):
        """The bytes of the record `name` (b"" when empty), None when there is none."""
        path = pathlib.Path(self.record(name))
        return path.read_bytes() if path.exists() else None

    def _lines(self, name):
        return [json.loads(line) for line in (self.recorded(name) or b"").splitlines()]

    def installer_call(self):  # {"args", "package", "folder"}; None when the installer was not called
        return (self._lines("installer.json") or [None])[0]

    def prompts(self):  # the stand-in pkexec's calls: [{"argv", "uid", "cwd"}]
        return self._lines("pkexec.jsonl")

    def starts(self):  # the application's starts: [{"program", "arguments"}]
        return self._lines("started")

    def left(self):
        """What was beside the bundle once every process of the run had ended; None when the run did
        not get there."""
        return set(self._lines("left.json")[0]) if self.recorded("left.json") else None

    def downloads(self):
        """What is beside the bundle now, as seen from here."""
        return self.beside_bundle(os.listdir(self.root))

    def beside_bundle(self, names):
        return set(names) - {"Tarnwick Installer.app", self.app[len(self.root):].split("/")[1]}

    def remove(self):
        remove_tree(self.base)


class Run:
    """An updater started by Sandbox.start, with its namespace. wait() gives the updater's exit status
    (128 + N when signal N ended it) once every process of the namespace has ended."""

    def __init__(self, sandbox, process):
        self.sandbox, self.process, self.wait = sandbox, process, process.wait
        self.folder = f"/proc/{process.pid}/root{sandbox.root}"  # the sandbox's folder as the run sees it
        _live.add(self)

    def output(self):
        with open(self.sandbox.log, errors="replace") as log:
            return log.read()

    def stop(self):
        self.process.kill()
        self.process.wait()
        _live.discard(self)


def namespace_command():
    """unshare's command for a run: private mounts, and a PID namespace whose first process ends with
    unshare, taking every other one with it. Anyone but root is root in a user namespace of their own."""
    user = [] if os.geteuid() == 0 else ["--user", "--map-root-user"]
    return ["unshare", *user, "--mount", "--pid", "--fork", "--kill-child=SIGKILL"]


def check_namespaces():
    """None when runs can have their namespace here, else why not."""
    probe = subprocess.run([*namespace_command(), "true"], capture_output=True, text=True)
    if probe.returncode == 0:
        return None
    return (f"cannot make a private namespace ({probe.stderr.strip()}): run as root, or allow unprivileged "
            "user namespaces (sysctl kernel.unprivileged_userns_clone=1 and user.max_user_namespaces > 0)")


# --- The namespace's first process ----------------------------------------------------------------
# Fixtures, given by the caller, each prepare(sandbox, launch) in the run's namespace, as its root, in order.

@dataclasses.dataclass
class Launch:
    """How the updater is started."""
    argv: list
    user: "int | None" = None
    file_size_limit: "int | None" = None
    prompt: Prompt = Prompt()
    services: list = dataclasses.field(default_factory=list)  # ended once the updater has

    def start(self, sandbox, user_namespace):
        argv, credentials = self.argv, {}
        if self.user is not None and user_namespace:
            # In a user namespace within the run's where it is `user`: not root, with no privilege.
            argv = ["unshare", "--user", f"--map-user={self.user}", f"--map-group={self.user}", "--", *argv]
        elif self.user is not None:
            os.chown(sandbox.root, self.user, -1)
            os.chown(sandbox.private + "/run", self.user, -1)
            credentials = dict(user=self.user, group=self.user, extra_groups=[])
        return subprocess.Popen(argv, cwd=sandbox.root, preexec_fn=self._limit, **credentials)

    def _limit(self):
        if self.file_size_limit is not None:
            # Past the limit a write fails with EFBIG, as on a full disk, instead of killing.
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (self.file_size_limit, self.file_size_limit))


def mount(*arguments):
    subprocess.run(["mount", *arguments], check=True)


def init(run_file):
    """A run's namespace's first process (PID 1 of its PID namespace; root there). Puts the stand-ins
    over /usr/sbin/installer and /usr/bin/pkexec (overlays: the rest of those folders stays), prepares
    the fixtures, starts the updater, serves its password prompts and waits for every process in the
    namespace (the application is started detached). Records what was left beside the bundle, then
    exits with the updater's status."""
    run = _load(run_file)
    sandbox = run["sandbox"]
    for folder, stand_ins in (("/usr/sbin", "sbin"), ("/usr/bin", "bin")):
        upper = os.path.join(sandbox.private, stand_ins)
        mount("-t", "overlay", "overlay", "-o", f"lowerdir={folder},upperdir={upper},workdir={upper}.work", folder)
    if shutil.which("pkexec") != "/usr/bin/pkexec":
        raise SystemExit(f"init: pkexec on PATH is {shutil.which('pkexec')}, not the stand-in /usr/bin/pkexec")
    launch = Launch([sandbox.updater, *run["arguments"]])
    for fixture in run["fixtures"]:
        fixture.prepare(sandbox, launch)
    service = socket.socket(socket.AF_UNIX)
    service.bind(sandbox.prompt_service)
    os.chmod(sandbox.prompt_service, 0o666)
    service.listen()
    updater = launch.start(sandbox, run["user_namespace"])
    threading.Thread(target=_serve_prompts, args=(service, sandbox, launch.prompt), daemon=True).start()
    status = updater.wait()
    for service in launch.services:
        service.terminate()
        service.wait()
    while True:
        try:
            os.wait()
        except ChildProcessError:
            break
    left = sorted(sandbox.beside_bundle(os.listdir(sandbox.root)))
    pathlib.Path(sandbox.record("left.json")).write_text(json.dumps(left))
    sys.stdout.flush()
    os._exit(status if status >= 0 else 128 - status)


# As pkexec leaves it: root's, with a safe PATH. pkexec also changes to root's home; the command runs
# in / here, which every namespace's root can enter.
_ROOT_ENVIRONMENT = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": "/root", "USER": "root", "LOGNAME": "root",
                     "SHELL": "/bin/sh", "LC_ALL": "C.UTF-8"}


def _serve_prompts(service, sandbox, prompt):
    """The other end of the stand-in pkexec: records each call and answers it as `prompt` says, running
    the command as root."""
    while True:
        connection, _ = service.accept()
        with connection:
            message, fds, _, _ = socket.recv_fds(connection, 1 << 16, 3)
            while chunk := connection.recv(1 << 16):
                message += chunk
            request = json.loads(message)
            with open(sandbox.record("pkexec.jsonl"), "a") as record:
                record.write(json.dumps(request) + "\n")
            if prompt.dismissed:
                os.write(fds[2], b"Error executing command as another user: Request dismissed\n")
                status = 126
            else:
                if prompt.before:
                    prompt.before(Place(sandbox.root))
                status = subprocess.run(request["argv"], stdin=fds[0], stdout=fds[1], stderr=fds[2], cwd="/",
                                        env=dict(_ROOT_ENVIRONMENT, PKEXEC_UID=str(request["uid"]))).returncode
            for fd in fds:
                os.close(fd)
            connection.sendall(str(status).encode())


if __name__ == "__main__" and sys.argv[1:2] == ["serve"]:
    parent = os.getppid()
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG: ends with the C++ test that started it
    if os.getppid() != parent:
        os._exit(1)
    print(serve(sys.argv[2]).server_address[1], serve(sys.argv[2], tls=True).server_address[1], flush=True)
    sys.stdin.read()
elif __name__ == "__main__":  # init or installer: as world, so that what it unpickles is of the same classes
    sys.path.insert(0, os.path.dirname(WORLD))
    import world
    {"init": world.init, "installer": world.installer_stand_in}[sys.argv[1]](*sys.argv[2:])
