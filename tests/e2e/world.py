"""The world an update runs in: an HTTP(S) server on 127.0.0.1, a private X
server, the updater's bundle, an application to update and a stand-in
/usr/sbin/installer in a private mount namespace. Also used by
scripts/demo_update.py, and by the C++ tests as a server process:
    python3 world.py serve <root>    prints "<http port> <https port>"
"""
import gzip
import http.server
import io
import os
import pathlib
import random
import re
import shlex
import shutil
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import zipfile
import zlib


class Handler(http.server.BaseHTTPRequestHandler):
    """Serves the files under the server's root as the query says: status=N,
    framing=length|chunked|close, length=N (announced), cut=N (bytes sent),
    step=N and pause=S (pacing), repeat=N (the body N times), redirect=URL, encoding=E (gzip and deflate applied)."""
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        self.server.requests.append(self.path)
        file = pathlib.Path(self.server.root, urllib.parse.unquote(url.path).lstrip("/"))
        body = file.read_bytes() if file.is_file() else b"no such file\n"
        body = {"gzip": gzip.compress, "deflate": zlib.compress}.get(query.get("encoding"), bytes)(body)
        framing = query.get("framing", "length")
        self.send_response(int(query.get("status", 200 if file.is_file() else 404)))
        for header, key in (("Location", "redirect"), ("Content-Encoding", "encoding")):
            if key in query:
                self.send_header(header, query[key])
        if framing != "close":
            self.send_header(*(("Content-Length", query.get("length", str(len(body)))) if framing == "length"
                               else ("Transfer-Encoding", "chunked")))
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
    """A threaded server for `root` on a free port; with TLS, its certificate
    (self-signed for 127.0.0.1) is made as root/cert.pem."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads, server.root, server.requests = True, root, []
    if tls:
        cert, key = os.path.join(root, "cert.pem"), os.path.join(root, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                        "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert],
                       check=True, capture_output=True)
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


class XServer:
    """Xvfb on a display number of its own choice, kept up between clients."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x800x24",
                                         "-nolisten", "tcp", "-noreset"], pass_fds=(write_end,),
                                        stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            self.display = ":" + pipe.readline().strip()

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=self.display), capture_output=True,
                              text=True).stdout.split()

    def window(self, title):
        return (self.xdotool("search", "--onlyvisible", "--name", f"^{re.escape(title)}$") or [None])[0]


def wait_until(predicate, timeout):
    for _ in range(int(timeout * 20)):
        if value := predicate():
            return value
        time.sleep(0.05)


# Records its call, the package it was handed and that package's folder, then ends as asked.
INSTALLER = ("#!/bin/sh\nprintf '%s\\0' \"$@\" > {record}/args\ncp -- \"$2\" {record}/package\n"
             "stat -c '%a %U' -- \"${{2%/*}}\" > {record}/folder\n{ending}\n")
# In a private mount namespace: the stand-in over /usr/sbin/installer (an
# overlay, the rest of /usr/sbin stays), then $SETUP, then the updater.
NAMESPACE = ('mount -t overlay overlay -o "lowerdir=/usr/sbin,upperdir=$1,workdir=$2" /usr/sbin'
             ' && cp "$3" /usr/sbin/installer && shift 3 && eval "$SETUP" && exec "$@"')


class Sandbox:
    """A folder holding the updater's bundle (downloads land beside it), an
    application that records its starts, and the stand-in installer."""

    def __init__(self, binary, installer="exit 0", app="apps/Applications/Example.app"):
        self.root = os.path.realpath(tempfile.mkdtemp(prefix="tarnwick-"))
        os.chmod(self.root, 0o755)
        self.updater = os.path.join(self.root, "Tarnwick Installer.app/Contents/MacOS/Tarnwick Installer")
        os.makedirs(os.path.dirname(self.updater))
        os.link(binary, self.updater)  # not a symbolic link: the bundle is found through /proc/self/exe
        self.private = os.path.join(self.root, "private")
        for folder in ("upper", "work", "record", "run"):
            os.makedirs(os.path.join(self.private, folder), mode=0o700 if folder == "run" else 0o755)
        self.app = os.path.join(self.root, app)
        self.executable = os.path.join(self.app, "Contents/MacOS", os.path.basename(app).split(".")[0])
        os.makedirs(os.path.dirname(self.executable))
        for path, text in ((self.executable, f"#!/bin/sh -\necho \"$0 $#\" >> {shlex.quote(self.private)}/started\n"),
                           (self.private + "/installer", INSTALLER.format(
                               record=shlex.quote(self.private + "/record"), ending=installer))):
            pathlib.Path(path).write_text(text)
            os.chmod(path, 0o755)

    def command(self, *arguments):
        p = self.private
        return ["unshare", "--mount", "sh", "-c", NAMESPACE, "sh", p + "/upper", p + "/work", p + "/installer",
                self.updater, *arguments]

    def recorded(self, name):
        return (path := pathlib.Path(self.private, name)).exists() and path.read_bytes() or None

    def downloads(self):
        """What the run left beside the bundle."""
        app = self.app[len(self.root):].split("/")[1]
        return set(os.listdir(self.root)) - {"Tarnwick Installer.app", "private", app}

    def remove(self):
        shutil.rmtree(self.root)


def box_text(log):
    """(title, text) of the message box, as Qt logs its accessible objects with
    environment()'s settings; None before the box is there."""
    def unescape(text):
        return re.sub(r'\\(u[0-9a-fA-F]{4}|.)', lambda m: chr(int(m[1][1:], 16)) if len(m[1]) == 5
                      else {"n": "\n", "t": "\t"}.get(m[1], m[1]), text)
    quoted = r'name="((?:[^"\\]|\\.)*)"'
    label = re.search(quoted + r' role=StaticText obj=QLabel\(0x[0-9a-f]+, name = "qt_msgbox_label"\)', log)
    title = re.search(quoted + r' role=AlertMessage', log)
    return label and title and (unescape(title[1]), unescape(label[1]))


def environment(display, runtime):
    env = dict(os.environ, DISPLAY=display, XDG_RUNTIME_DIR=runtime, LC_ALL="C.UTF-8",
               QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_LOGGING_RULES="qt.accessibility.cache=true")
    env.pop("QT_QPA_PLATFORM", None)
    return env


if __name__ == "__main__" and sys.argv[1:2] == ["serve"]:
    print(serve(sys.argv[2]).server_address[1], serve(sys.argv[2], tls=True).server_address[1], flush=True)
    sys.stdin.read()
