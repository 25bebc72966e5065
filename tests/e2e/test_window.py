"""The installer window, as the real binary shows it in a real X server."""
import subprocess
import unittest

from harness import BINARY, XServer


class WindowTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.x = XServer()

    @classmethod
    def tearDownClass(cls):
        cls.x.stop()

    def test_shows_fixed_size_window(self):
        process = subprocess.Popen([BINARY, "/Applications/Example.app", "http://127.0.0.1:9/Update.zip"],
                                   env=self.x.env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            window = self.x.wait_for_window("Installing update...")
            self.assertIsNotNone(window, "no window titled 'Installing update...'")
            self.assertEqual(self.x.geometry(window), (564, 148))
        finally:
            process.kill()
            process.wait(10)

    def test_wrong_argument_count_shows_no_window(self):
        for arguments in ([], ["/Applications/Example.app"], ["a", "b", "c"]):
            with self.subTest(arguments=arguments):
                result = subprocess.run([BINARY, *arguments], env=self.x.env(), capture_output=True, timeout=30)
                self.assertEqual(result.returncode, 255)
                self.assertEqual(result.stdout + result.stderr, b"")
                self.assertIsNone(self.x.wait_for_window("Installing update...", timeout=0.5))


if __name__ == "__main__":
    unittest.main()
