"""The pieces the end-to-end tests and the demo stand on, checked on their own:
a fault here would let an update test pass for the wrong reason."""
import http.client
import io
import os
import subprocess
import time
import unittest
import zipfile

from fixtures import INSTALLER_PATH, Sandbox, UpdateServer, make_package, make_update_zip, overlay_mount_works
from harness import BINARY, ocr_contains, require_tools, unavailable, wait_until


def get(server, path):
    """(status, headers, body) of a GET of the raw request path `path`."""
    connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
    try:
        connection.request("GET", path)
        response = connection.getresponse()
        return response.status, dict(response.getheaders()), response.read()
    finally:
        connection.close()


class UpdateServerTest(unittest.TestCase):
    def setUp(self):
        self.server = UpdateServer(drip_limit=20)
        self.addCleanup(self.server.stop)

    def test_serves_file_with_length(self):
        body = make_package("served")
        self.server.serve_file("/Update.pkg", body)
        status, headers, received = get(self.server, "/Update.pkg")
        self.assertEqual(status, 200)
        self.assertEqual(headers["Content-Length"], str(len(body)))
        self.assertEqual(received, body)
        self.assertEqual(self.server.requests(), [("GET", "/Update.pkg")])
        # Recorded just after the last byte has gone out.
        self.assertEqual(wait_until(self.server.completed, 10), ["/Update.pkg"])

    def test_paced_file_arrives_whole(self):
        body = make_package("paced")
        self.server.serve_file("/Update.zip", body, pace=(len(body) // 4 + 1, 0.01))
        self.assertEqual(get(self.server, "/Update.zip")[2], body)

    def test_not_found_has_a_body(self):
        self.server.serve_not_found("/Missing.pkg", b"gone\n")
        status, headers, received = get(self.server, "/Missing.pkg")
        self.assertEqual((status, received, headers["Content-Length"]), (404, b"gone\n", "5"))
        self.assertEqual(get(self.server, "/never-set")[0], 404)

    def test_url_is_encoded_and_request_decoded(self):
        self.server.serve_file("/it's an update.pkg", b"x")
        url = self.server.url("/it's an update.pkg")
        self.assertTrue(url.endswith("/it's%20an%20update.pkg"), url)
        self.assertEqual(get(self.server, url[url.index("/", len("http://")):])[2], b"x")
        self.assertEqual(self.server.requests(), [("GET", "/it's an update.pkg")])

    def test_drip_announces_more_than_it_sends_and_ends_on_stop(self):
        self.server.serve_drip("/Slow.pkg", announced=10_000_000, chunk=100, interval=0.01)
        connection = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=30)
        self.addCleanup(connection.close)
        connection.request("GET", "/Slow.pkg")
        response = connection.getresponse()
        self.assertEqual(response.getheader("Content-Length"), "10000000")
        self.assertEqual(len(response.read(1000)), 1000)
        started = time.monotonic()
        self.server.stop()
        with self.assertRaises(http.client.IncompleteRead):
            response.read()
        self.assertLess(time.monotonic() - started, 15)
        self.assertNotIn("/Slow.pkg", self.server.completed())


class UpdateFilesTest(unittest.TestCase):
    def test_zip_holds_package_at_top_level(self):
        package = make_package("zipped")
        with zipfile.ZipFile(io.BytesIO(make_update_zip("Update.pkg", package))) as archive:
            self.assertEqual(archive.namelist(), ["Update.pkg"])
            self.assertEqual(archive.read("Update.pkg"), package)

    def test_packages_differ_by_label(self):
        self.assertNotEqual(make_package("a"), make_package("b"))
        self.assertGreater(len(make_package("a")), 64 * 1024)


class SandboxTest(unittest.TestCase):
    """The stand-in installer in its private mount namespace, and the sample application."""

    @classmethod
    def setUpClass(cls):
        if not BINARY:
            unavailable("TARNWICK_BINARY is not set")
        if os.geteuid() != 0:
            unavailable("needs root for a private mount namespace")
        require_tools("unshare", "mount")
        if not overlay_mount_works():
            unavailable("cannot mount an overlay over /usr/sbin in a private mount namespace")

    def setUp(self):
        self.sandbox = Sandbox(BINARY)
        self.addCleanup(self.sandbox.remove)
        self.installer = self.sandbox.installer

    def run_installer(self, package, target):
        # The way the updater runs it: a shell command line, inside the namespace.
        command = self.sandbox.command("-c", INSTALLER_PATH + ' -pkg "$1" -target "$2"', "sh", package, target,
                                       program="/bin/sh")
        return subprocess.run(command, capture_output=True, timeout=30)

    def test_updater_bundle_layout(self):
        self.assertEqual(self.sandbox.updater,
                         os.path.join(self.sandbox.root, "Tarnwick Installer.app/Contents/MacOS/Tarnwick Installer"))
        with open(self.sandbox.updater, "rb") as copy, open(BINARY, "rb") as original:
            self.assertEqual(copy.read(), original.read())
        self.assertEqual(os.path.dirname(self.sandbox.bundle), self.sandbox.download_dir)

    def test_records_arguments_and_package_exactly(self):
        package_path = os.path.join(self.sandbox.root, "it's a \"package\".pkg")
        with open(package_path, "wb") as f:
            f.write(b"package bytes")
        target = "/Vol $HOME `x` \\ 'y'/"
        result = self.run_installer(package_path, target)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.installer.calls(), 1)
        self.assertEqual(self.installer.arguments(),
                         [b"-pkg", os.fsencode(package_path), b"-target", os.fsencode(target)])
        self.assertEqual(self.installer.package(), b"package bytes")
        # Only inside the namespace.
        self.assertFalse(os.path.exists(INSTALLER_PATH))

    def test_fails_with_message_or_status(self):
        self.installer.fail("installer: Error - bad package.")
        result = self.run_installer("/nonexistent.pkg", "/")
        self.assertEqual((result.returncode, result.stderr), (1, b"installer: Error - bad package.\n"))
        self.assertIsNone(self.installer.package())
        self.installer.fail_silently(3)
        result = self.run_installer("/nonexistent.pkg", "/")
        self.assertEqual((result.returncode, result.stderr), (3, b""))
        self.assertEqual(self.installer.calls(), 2)

    def test_can_leave_package_unremovable(self):
        package_path = os.path.join(self.sandbox.root, "Update.pkg")
        with open(package_path, "wb") as f:
            f.write(b"p")
        self.installer.succeed_leaving_package_unremovable()
        self.assertEqual(self.run_installer(package_path, "/").returncode, 0)
        self.assertEqual(self.installer.package(), b"p")
        with self.assertRaises(OSError):
            os.remove(package_path)

    def test_application_records_its_start(self):
        self.assertEqual(self.sandbox.relaunches(), [])
        app = self.sandbox.make_application("-style=x/Applications/Éditeur 2.5.app")
        program = "-style=x/Applications/Éditeur 2.5.app/Contents/MacOS/Éditeur 2"
        subprocess.run([os.path.join(".", program), "ignored"], cwd=self.sandbox.root, check=True, timeout=30)
        absolute = os.path.join(app, "Contents/MacOS/Éditeur 2")
        subprocess.run([absolute], check=True, timeout=30)
        self.assertEqual(self.sandbox.relaunches(), [(os.fsencode("./" + program), 1), (os.fsencode(absolute), 0)])


class OcrMatchTest(unittest.TestCase):
    def test_tolerates_layout_and_a_slip(self):
        read = "x Failed to update.\n\nUnexpected application path /tmp/abc/apps/\nDesktop/Examp1e.app\nCLOSE"
        self.assertTrue(ocr_contains(read, "Failed to update.\n\nUnexpected application path /tmp/abc/apps/Desktop/"
                                           "Example.app"))
        self.assertTrue(ocr_contains(read, "CLOSE"))

    def test_rejects_another_message(self):
        read = "Failed to update.\n\nThe command exited with status 3.\nCLOSE"
        self.assertFalse(ocr_contains(read, "Failed to update.\n\nThe administrator password is required to do this."))
        self.assertFalse(ocr_contains(read, "status 4."))
        self.assertFalse(ocr_contains(read, "Not Found"))


if __name__ == "__main__":
    unittest.main()
