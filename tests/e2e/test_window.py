"""The installer window, as the real binary shows it in a real X server."""
import subprocess
import unittest

import xclose
from fixtures import Sandbox, UpdateServer
from harness import BINARY, XServer, unavailable, wait_until

WINDOW_TITLE = "Installing update..."


class WindowTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not BINARY:
            unavailable("TARNWICK_BINARY is not set")
        cls.x = XServer()

    @classmethod
    def tearDownClass(cls):
        cls.x.stop()

    def setUp(self):
        # A bundle of its own, so that nothing is downloaded beside the build.
        self.sandbox = Sandbox(BINARY)
        self.addCleanup(self.sandbox.remove)
        self.server = UpdateServer()
        self.addCleanup(self.server.stop)
        # A download that keeps going: the window stays as it is meanwhile.
        self.server.serve_drip("/Update.zip")
        self.url = self.server.url("/Update.zip")

    def start(self):
        process = subprocess.Popen([self.sandbox.updater, "/Applications/Example.app", self.url],
                                   cwd=self.sandbox.root, env=self.x.env(XDG_RUNTIME_DIR=self.sandbox.runtime_dir()),
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def stop():
            if process.poll() is None:
                process.kill()
            process.wait(10)
        self.addCleanup(stop)
        return process

    def test_shows_fixed_size_window(self):
        self.start()
        window = self.x.wait_for_window(WINDOW_TITLE)
        self.assertIsNotNone(window, f"no window titled {WINDOW_TITLE!r}")
        self.assertEqual(self.x.geometry(window), (564, 148))

    def test_title_bar_close_ends_program(self):
        process = self.start()
        window = self.x.wait_for_window(WINDOW_TITLE)
        self.assertIsNotNone(window, f"no window titled {WINDOW_TITLE!r}")
        xclose.request_close(self.x.display, window)
        self.assertTrue(wait_until(lambda: process.poll() is not None, 30), "still running after the close request")
        self.assertEqual(process.returncode, 0)
        self.assertFalse(self.x.window_exists(window))

    def test_wrong_argument_count_shows_no_window(self):
        for arguments in ([], ["/Applications/Example.app"], ["a", "b", "c"]):
            with self.subTest(arguments=arguments):
                result = subprocess.run([self.sandbox.updater, *arguments], capture_output=True, timeout=30,
                                        env=self.x.env(XDG_RUNTIME_DIR=self.sandbox.runtime_dir()))
                self.assertEqual(result.returncode, 255)
                self.assertEqual(result.stdout + result.stderr, b"")
                self.assertIsNone(self.x.wait_for_window(WINDOW_TITLE, timeout=0.5))
                # The window starts the download as it is built.
                self.assertEqual(self.server.requests(), [])


if __name__ == "__main__":
    unittest.main()
