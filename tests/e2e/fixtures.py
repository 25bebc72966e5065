"""The world an update runs in, made for one run: an HTTP server on loopback
that serves the update, the updater's bundle, the application to update, and a
stand-in for /usr/sbin/installer that records how it was called.

Used by the end-to-end tests and by scripts/demo. Python standard library only.
"""
import http.server
import io
import os
import shlex
import shutil
import stat
import subprocess
import tempfile
import threading
import time
import urllib.parse
import zipfile

UPDATER_NAME = "Tarnwick Installer"


# --- the update server -------------------------------------------------------

class _Route:
    def __init__(self, status, body, length=None, pace=None, drip=False):
        self.status = status
        self.body = body
        self.length = len(body) if length is None else length
        self.pace = pace      # (chunk size, seconds between chunks) or None
        self.drip = drip      # keep sending until stopped or the client leaves


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        server = self.server
        path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path)
        with server.lock:
            server.requests.append(("GET", path))
            route = server.routes.get(path)
        if route is None:
            route = _Route(404, b"no such file\n")
        try:
            self.send_response(route.status)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(route.length))
            self.send_header("Connection", "close")
            self.end_headers()
            if route.drip:
                whole = self._drip(route)
            elif route.pace:
                whole = self._paced(route)
            else:
                self.wfile.write(route.body)
                whole = True
            self.wfile.flush()
            if whole:
                with server.lock:
                    server.completed.append(path)
        except (BrokenPipeError, ConnectionResetError):
            pass
        self.close_connection = True

    def _paced(self, route):
        chunk, interval = route.pace
        for start in range(0, len(route.body), chunk):
            if self.server.stopping.wait(interval if start else 0):
                return False
            self.wfile.write(route.body[start:start + chunk])
            self.wfile.flush()
            self._count(chunk)
        return True

    def _drip(self, route):
        # Announces route.length bytes but sends them slowly and never all of
        # them: it stops when the client leaves, the server stops or its time
        # limit is up. Returns False: the answer is never whole.
        chunk, interval = route.pace
        deadline = time.monotonic() + self.server.drip_limit
        sent = 0
        while sent + chunk < route.length and time.monotonic() < deadline:
            self.wfile.write(b"\0" * chunk)
            self.wfile.flush()
            sent += chunk
            self._count(chunk)
            if self.server.stopping.wait(interval):
                break
        return False

    def _count(self, n):
        with self.server.lock:
            self.server.dripped += n


class UpdateServer:
    """A threaded HTTP server on 127.0.0.1 with a free port and answers set per path."""

    def __init__(self, drip_limit=60.0):
        self._server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
        self._server.daemon_threads = True
        self._server.lock = threading.Lock()
        self._server.routes = {}
        self._server.requests = []
        self._server.completed = []
        self._server.dripped = 0
        self._server.stopping = threading.Event()
        self._server.drip_limit = drip_limit
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.05},
                                        daemon=True)
        self._thread.start()

    @property
    def port(self):
        return self._server.server_address[1]

    def url(self, path):
        """The URL of `path`, percent-encoded as a client would write it."""
        return f"http://127.0.0.1:{self.port}" + urllib.parse.quote(path, safe="/'")

    def serve_file(self, path, body, pace=None):
        """Answers 200 with `body` and its Content-Length; `pace` = (chunk size,
        seconds between chunks) sends it slowly."""
        with self._server.lock:
            self._server.routes[path] = _Route(200, body, pace=pace)

    def serve_not_found(self, path, body=b"This update does not exist.\n"):
        with self._server.lock:
            self._server.routes[path] = _Route(404, body)

    def serve_drip(self, path, announced=64 * 1024 * 1024, chunk=1024, interval=0.05):
        """Answers 200, announces `announced` bytes and sends `chunk` bytes every
        `interval` seconds until the client goes away or the server stops."""
        with self._server.lock:
            self._server.routes[path] = _Route(200, b"", length=announced, pace=(chunk, interval), drip=True)

    def requests(self):
        with self._server.lock:
            return list(self._server.requests)

    def completed(self):
        """Paths whose answer was sent to the end."""
        with self._server.lock:
            return list(self._server.completed)

    def dripped(self):
        """Bytes sent so far by slow answers."""
        with self._server.lock:
            return self._server.dripped

    def stop(self):
        self._server.stopping.set()
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(10)


# --- update files --------------------------------------------------------------

def make_package(label):
    """Bytes standing in for an installer package: recognisable, not trivially
    compressible, large enough to arrive in several chunks."""
    header = f"stand-in installer package: {label}\n".encode()
    body = bytearray()
    value = sum(header) or 1
    while len(body) < 200 * 1024:
        value = (value * 1103515245 + 12345) & 0x7FFFFFFF
        body += value.to_bytes(4, "little")
    return header + bytes(body)


def make_update_zip(package_name, package):
    """A ZIP archive holding `package` at its top level as `package_name`."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression=zipfile.ZIP_DEFLATED) as archive:
        archive.writestr(package_name, package)
    return buffer.getvalue()


# --- the stand-in package installer -------------------------------------------

INSTALLER_PATH = "/usr/sbin/installer"

_INSTALLER_SCRIPT = """#!/bin/sh
# Stand-in for the system package installer: records how it was called and
# the package it was handed, then ends as the test asked.
record={record}
echo call >> "$record/calls"
printf '%s\\0' "$@" > "$record/args"
previous=
package=
for argument in "$@"; do
  case $previous in -pkg) package=$argument; cp -- "$package" "$record/package" 2>/dev/null;; esac
  previous=$argument
done
{ending}
"""


class StandInInstaller:
    """Writes the stand-in script and reads back what it recorded."""

    def __init__(self, folder):
        self.record = os.path.join(folder, "installer-record")
        self.script = os.path.join(folder, "installer-standin")
        os.makedirs(self.record)
        self.succeed()

    def succeed(self):
        self._write("exit 0")

    def succeed_leaving_package_unremovable(self):
        """Succeeds, but leaves a non-empty folder where the package was, so
        that removing the package afterwards fails."""
        self._write('rm -f -- "$package" && mkdir -- "$package" && : > "$package/in-use"\nexit 0')

    def fail(self, message, status=1):
        """Fails with `message` on standard error."""
        self._write(f"printf '%s\\n' {shlex.quote(message)} >&2\nexit {int(status)}")

    def fail_silently(self, status):
        self._write(f"exit {int(status)}")

    def _write(self, ending):
        with open(self.script, "w", encoding="utf-8") as f:
            f.write(_INSTALLER_SCRIPT.format(record=shlex.quote(self.record), ending=ending))
        os.chmod(self.script, 0o755)

    def calls(self):
        try:
            with open(os.path.join(self.record, "calls")) as f:
                return len(f.read().split())
        except FileNotFoundError:
            return 0

    def arguments(self):
        """The arguments of the last call, as bytes, or None."""
        try:
            with open(os.path.join(self.record, "args"), "rb") as f:
                return f.read().split(b"\0")[:-1]
        except FileNotFoundError:
            return None

    def package(self):
        """The content of the package file it was handed, or None."""
        try:
            with open(os.path.join(self.record, "package"), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None


_NAMESPACE_SCRIPT = ('mount -t overlay overlay -o "lowerdir=/usr/sbin,upperdir=$1,workdir=$2" /usr/sbin'
                     ' && cp "$3" ' + INSTALLER_PATH + ' && shift 3 && exec "$@"')


def namespace_prefix(rootless=False):
    """`unshare` options for a private mount namespace: as root a plain one; as
    another user one inside a user namespace where that user is root."""
    if rootless:
        return ["unshare", "--user", "--map-root-user", "--mount"]
    return ["unshare", "--mount"]


# --- one run's world -------------------------------------------------------------

class Sandbox:
    """A temporary folder holding the updater's bundle (downloads land beside
    it), the applications to update, and the stand-in installer."""

    def __init__(self, binary, prefix="tarnwick-e2e-"):
        self.root = os.path.realpath(tempfile.mkdtemp(prefix=prefix))
        os.chmod(self.root, 0o755)
        self.bundle = os.path.join(self.root, UPDATER_NAME + ".app")
        macos = os.path.join(self.bundle, "Contents", "MacOS")
        os.makedirs(macos)
        self.updater = os.path.join(macos, UPDATER_NAME)
        try:
            # The native layer finds the bundle through /proc/self/exe, which
            # names a hard link as it was run (a symbolic link would resolve).
            os.link(binary, self.updater)
        except OSError:
            shutil.copy2(binary, self.updater)
        self.download_dir = self.root
        self.marker = os.path.join(self.root, "relaunched")
        private = os.path.join(self.root, "private")
        self.overlay_upper = os.path.join(private, "upper")
        self.overlay_work = os.path.join(private, "work")
        os.makedirs(self.overlay_upper)
        os.makedirs(self.overlay_work)
        if any(c in private for c in ",:\\"):
            raise RuntimeError(f"temporary folder unusable for an overlay mount: {private}")
        self.installer = StandInInstaller(private)
        self.home = os.path.join(self.root, "home")
        os.makedirs(self.home)

    def runtime_dir(self):
        """A private XDG_RUNTIME_DIR for the updater."""
        path = os.path.join(self.home, "runtime")
        os.makedirs(path, mode=0o700, exist_ok=True)
        return path

    def make_application(self, path):
        """An application bundle at `path` (absolute, or relative to the root)
        whose executable records each start in self.marker."""
        path = os.path.join(self.root, path)
        name = os.path.basename(path)
        executable_name = name.split(".", 1)[0]
        macos = os.path.join(path, "Contents", "MacOS")
        os.makedirs(macos)
        executable = os.path.join(macos, executable_name)
        with open(executable, "wb") as f:
            # "-" ends the shell's options: the path that follows may begin with "-".
            f.write(b"#!/bin/sh -\n# Records that the application was started, how, and with how many arguments.\n"
                    b"printf '%s\\0%s\\0' \"$0\" \"$#\" >> " + shlex.quote(self.marker).encode() + b"\n")
        os.chmod(executable, 0o755)
        return path

    def relaunches(self):
        """(program, argument count) for each start of an application."""
        try:
            with open(self.marker, "rb") as f:
                fields = f.read().split(b"\0")[:-1]
        except FileNotFoundError:
            return []
        return [(fields[i], int(fields[i + 1])) for i in range(0, len(fields) - 1, 2)]

    def download_path(self, name):
        return os.path.join(self.download_dir, name)

    def command(self, *arguments, rootless=False, program=None):
        """The command line that runs the updater (or `program`) with
        `arguments`, with the stand-in installer at /usr/sbin/installer in a
        private mount namespace."""
        return [*namespace_prefix(rootless), "sh", "-c", _NAMESPACE_SCRIPT, "sh",
                self.overlay_upper, self.overlay_work, self.installer.script, program or self.updater, *arguments]

    def give_to(self, uid, gid):
        """Lets another user write downloads and keep a home in the sandbox."""
        for path in (self.root, self.home):
            os.chown(path, uid, gid)

    def remove(self):
        remove_tree(self.root)


def remove_tree(path):
    """Removes a folder tree, including the mode-000 folder that overlayfs
    leaves in its work directory (which stops a plain rmtree for non-root)."""
    for folder, children, _ in os.walk(path):
        for child in children:
            try:
                os.chmod(os.path.join(folder, child), stat.S_IRWXU)
            except OSError:
                pass
    shutil.rmtree(path, ignore_errors=True)


def overlay_mount_works(rootless=False):
    """Whether this machine lets us put a file over /usr/sbin in a private mount namespace."""
    if shutil.which("unshare") is None:
        return False
    folder = tempfile.mkdtemp(prefix="tarnwick-overlay-probe-")
    try:
        upper, work, probe = (os.path.join(folder, n) for n in ("upper", "work", "probe"))
        os.makedirs(upper)
        os.makedirs(work)
        with open(probe, "w") as f:
            f.write("#!/bin/sh\nexit 0\n")
        os.chmod(probe, stat.S_IRWXU)
        result = subprocess.run([*namespace_prefix(rootless), "sh", "-c", _NAMESPACE_SCRIPT, "sh",
                                 upper, work, probe, INSTALLER_PATH],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        return result.returncode == 0
    except (OSError, subprocess.SubprocessError):
        return False
    finally:
        remove_tree(folder)
