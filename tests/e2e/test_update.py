"""Whole updates with the real binary in a real X server: the update is served
over HTTP on loopback, /usr/sbin/installer is a stand-in in a private mount
namespace, and the windows are driven with the keyboard and mouse."""
import os
import subprocess
import unittest

import xclose
from fixtures import Sandbox, UpdateServer, make_package, make_update_zip, overlay_mount_works
from harness import BINARY, MessageBox, XServer, artifacts_dir, require_tools, unavailable, wait_until

WINDOW_TITLE = "Installing update..."
BOX_TITLE = "Tarnwick Installer"
# Centre of "CANCEL UPDATE" inside the 564 x 148 window.
CANCEL_BUTTON = (361 + 171 // 2, 90 + 32 // 2)
RUN_TIMEOUT = 20.0
NOBODY = 65534


def fs(path):
    return os.fsencode(path)


class UpdateTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not BINARY:
            unavailable("TARNWICK_BINARY is not set")
        if os.geteuid() != 0:
            unavailable("needs root: the stand-in installer goes over /usr/sbin in a private mount namespace")
        require_tools("Xvfb", "xdotool", "import", "convert", "tesseract", "unshare", "mount", "setpriv")
        if not overlay_mount_works():
            unavailable("cannot mount an overlay over /usr/sbin in a private mount namespace")
        cls.x = XServer()

    @classmethod
    def tearDownClass(cls):
        cls.x.stop()

    def setUp(self):
        self.server = UpdateServer()
        self.addCleanup(self.server.stop)
        self.sandbox = Sandbox(BINARY)
        self.addCleanup(self.sandbox.remove)
        self.installer = self.sandbox.installer
        self.app = self.sandbox.make_application("apps/Applications/Example.app")
        self.process = None

    # --- running the updater ---------------------------------------------------

    def environment(self, **extra):
        return self.x.env(HOME=self.sandbox.home, XDG_RUNTIME_DIR=self.sandbox.runtime_dir(), LC_ALL="C.UTF-8",
                          **extra)

    def start(self, *arguments, command=None, env=None):
        """Starts the updater (by default as root, with the stand-in installer)."""
        self.log_path = os.path.join(self.sandbox.root, "updater.log")
        log = open(self.log_path, "wb")
        self.process = subprocess.Popen(command or self.sandbox.command(*arguments), cwd=self.sandbox.root,
                                        env=env or self.environment(), stdout=log, stderr=subprocess.STDOUT)
        self.addCleanup(self.stop, self.process, log)

    @staticmethod
    def stop(process, log):
        if process.poll() is None:
            process.kill()
            process.wait(10)
        log.close()

    def output(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def fail_with_screenshot(self, message):
        path = os.path.join(artifacts_dir(), self.id() + ".png")
        self.x.screenshot(path)
        self.fail(f"{message}\nscreenshot: {path}\nupdater output:\n{self.output()}")

    def exit_status(self, timeout=RUN_TIMEOUT):
        """Waits for the updater to end by itself. A message box showing up
        instead fails the test with the box's text."""
        def ended_or_box():
            if self.process.poll() is not None:
                return "ended"
            return self.x.wait_for_window(BOX_TITLE, timeout=0) and "box"
        outcome = wait_until(ended_or_box, timeout)
        if outcome == "box":
            box = MessageBox(self.x, self.x.wait_for_window(BOX_TITLE, timeout=0))
            self.fail_with_screenshot(f"unexpected message box:\n{box.screen_text()}")
        if outcome != "ended":
            self.fail_with_screenshot(f"the updater did not end within {timeout} s")
        return self.process.returncode

    def main_window(self):
        window = self.x.wait_for_window(WINDOW_TITLE, timeout=15)
        if window is None:
            self.fail_with_screenshot(f"no window titled {WINDOW_TITLE!r}")
        return window

    def dismiss_box(self, *fragments):
        """Waits for the message box, checks that it shows each fragment of
        text and its "CLOSE" button, and presses Return on it."""
        window = self.x.wait_for_window(BOX_TITLE, timeout=15)
        if window is None:
            if self.process.poll() is not None:
                self.fail(f"the updater ended ({self.process.returncode}) without a message box\n{self.output()}")
            self.fail_with_screenshot(f"no message box titled {BOX_TITLE!r}")
        box = MessageBox(self.x, window)
        shown, text = box.wait_for_text(*fragments, "CLOSE")
        if not shown:
            self.fail_with_screenshot(f"the message box does not say {fragments!r}; read:\n{text}")
        box.press_return()

    # --- what a run left behind ----------------------------------------------------

    def assert_installed(self, package_path, target, package):
        self.assertEqual(self.installer.calls(), 1, self.output())
        self.assertEqual(self.installer.arguments(), [b"-pkg", fs(package_path), b"-target", fs(target)])
        self.assertEqual(self.installer.package(), package, "the installer was not handed the package")

    def assert_relaunched(self, program):
        relaunches = wait_until(self.sandbox.relaunches, 10)
        self.assertEqual(relaunches, [(fs(program), 0)], "expected one start, without arguments")

    def assert_not_installed_nor_relaunched(self):
        self.assertEqual(self.installer.calls(), 0, "the installer was run")
        self.assertEqual(self.sandbox.relaunches(), [], "the application was started")

    def assert_gone(self, *names):
        for name in names:
            self.assertFalse(os.path.exists(self.sandbox.download_path(name)), f"{name} was left behind")

    def serve_zip(self, name="Update.zip", label="update"):
        package = make_package(label)
        self.server.serve_file("/" + name, make_update_zip(name[:-4] + ".pkg", package))
        return package

    def serve_pkg(self, name="Update.pkg", label="update"):
        package = make_package(label)
        self.server.serve_file("/" + name, package)
        return package

    def executable(self, app):
        return os.path.join(app, "Contents", "MacOS", os.path.basename(app).split(".")[0])

    # --- whole updates -------------------------------------------------------------

    def test_zip_update_installs_extracted_package_and_relaunches(self):
        package = make_package("zip road")
        archive = make_update_zip("Update.pkg", package)
        # Sent in pieces so that the window is on screen for a while.
        self.server.serve_file("/Update.zip", archive, pace=(len(archive) // 8 + 1, 0.1))
        self.start(self.app, self.server.url("/Update.zip"))
        self.main_window()

        self.assertEqual(self.exit_status(), 0, self.output())
        self.assertEqual(self.server.requests(), [("GET", "/Update.zip")])
        self.assert_installed(self.sandbox.download_path("Update.pkg"), self.sandbox.root + "/apps/", package)
        self.assert_relaunched(self.executable(self.app))
        self.assert_gone("Update.zip", "Update.pkg")

    def test_pkg_update_is_handed_to_installer_unchanged(self):
        package = self.serve_pkg()
        self.start(self.app, self.server.url("/Update.pkg"))

        self.assertEqual(self.exit_status(), 0, self.output())
        self.assert_installed(self.sandbox.download_path("Update.pkg"), self.sandbox.root + "/apps/", package)
        self.assert_relaunched(self.executable(self.app))
        self.assert_gone("Update.pkg")

    def test_file_name_with_quote_and_space_reaches_installer_as_one_argument(self):
        package = self.serve_pkg("it's an update.pkg")
        url = self.server.url("/it's an update.pkg")
        self.assertIn("%20", url)
        self.start(self.app, url)

        self.assertEqual(self.exit_status(), 0, self.output())
        self.assert_installed(self.sandbox.download_path("it's an update.pkg"), self.sandbox.root + "/apps/", package)
        self.assert_relaunched(self.executable(self.app))
        self.assert_gone("it's an update.pkg")

    def test_shell_characters_in_application_path_reach_installer_unchanged(self):
        folder = "O'Brien \"Q\" $(touch pwned) `touch pwned` \\ ; x"
        app = self.sandbox.make_application(folder + "/Applications/Example.app")
        package = self.serve_pkg()
        self.start(app, self.server.url("/Update.pkg"))

        self.assertEqual(self.exit_status(), 0, self.output())
        self.assert_installed(self.sandbox.download_path("Update.pkg"), self.sandbox.root + "/" + folder + "/",
                              package)
        self.assert_relaunched(self.executable(app))
        self.assertFalse(os.path.exists(os.path.join(self.sandbox.root, "pwned")), "a path was run as a command")

    def test_non_ascii_application_path_reaches_window_unchanged(self):
        app = self.sandbox.make_application("Bibliothèque/Applications/Éditeur Été.app")
        package = self.serve_pkg()
        self.start(app, self.server.url("/Update.pkg"))

        self.assertEqual(self.exit_status(), 0, self.output())
        self.assert_installed(self.sandbox.download_path("Update.pkg"), self.sandbox.root + "/Bibliothèque/", package)
        self.assert_relaunched(app + "/Contents/MacOS/Éditeur Été")

    def test_application_path_that_qt_would_take_as_its_option(self):
        # QApplication removes "-style=..." from the command line; the updater
        # must still use it as the (relative) application path.
        app = "-style=fusion/Applications/Example.app"
        self.sandbox.make_application(app)
        package = self.serve_pkg()
        self.start(app, self.server.url("/Update.pkg"))

        self.assertEqual(self.exit_status(), 0, self.output())
        self.assert_installed(self.sandbox.download_path("Update.pkg"), "-style=fusion/", package)
        self.assert_relaunched(app + "/Contents/MacOS/Example")

    # --- failures ----------------------------------------------------------------------

    def test_wrong_argument_count_ends_with_255_and_no_window(self):
        self.serve_pkg()
        url = self.server.url("/Update.pkg")
        for arguments in ([], [self.app], [self.app, url, url]):
            with self.subTest(count=len(arguments)):
                result = subprocess.run(self.sandbox.command(*arguments), cwd=self.sandbox.root,
                                        env=self.environment(), capture_output=True, timeout=RUN_TIMEOUT)
                self.assertEqual(result.returncode, 255)
                self.assertEqual(result.stdout + result.stderr, b"")
                # The window starts the download as it is built: no request, no window.
                self.assertEqual(self.server.requests(), [])
                self.assertEqual(sorted(os.listdir(self.sandbox.download_dir)),
                                 sorted(["Tarnwick Installer.app", "apps", "home", "private"]))

    def test_not_found_shows_error_and_keeps_partial_file(self):
        self.server.serve_not_found("/Update.pkg")
        self.start(self.app, self.server.url("/Update.pkg"))
        self.main_window()

        self.dismiss_box("Failed to update.", "server replied: Not Found")
        self.assertEqual(self.exit_status(), 0, self.output())
        self.assertTrue(os.path.exists(self.sandbox.download_path("Update.pkg")), "the partial file was removed")
        self.assert_not_installed_nor_relaunched()

    def start_slow_download(self):
        self.server.serve_drip("/Slow.pkg")
        self.start(self.app, self.server.url("/Slow.pkg"))
        window = self.main_window()
        partial = self.sandbox.download_path("Slow.pkg")
        if not wait_until(lambda: os.path.exists(partial) and os.path.getsize(partial) >= 4096, 15):
            self.fail_with_screenshot("the download did not get going")
        return window, partial

    def test_cancel_during_download_removes_file(self):
        window, partial = self.start_slow_download()
        self.x.click(window, *CANCEL_BUTTON)

        self.assertEqual(self.exit_status(), 0, self.output())
        self.assertFalse(os.path.exists(partial), "the partial file was kept")
        self.assert_not_installed_nor_relaunched()

    def test_title_bar_close_during_download_keeps_file(self):
        window, partial = self.start_slow_download()
        xclose.request_close(self.x.display, window)

        self.assertEqual(self.exit_status(), 0, self.output())
        self.assertTrue(os.path.exists(partial), "the partial file was removed")
        self.assertGreaterEqual(os.path.getsize(partial), 4096)
        self.assert_not_installed_nor_relaunched()

    def test_application_outside_applications_folder_fails(self):
        app = self.sandbox.make_application("apps/Desktop/Example.app")
        self.serve_zip()
        self.start(app, self.server.url("/Update.zip"))

        self.dismiss_box(f"Failed to update.\n\nUnexpected application path {app}")
        self.assertEqual(self.exit_status(), 0, self.output())
        self.assert_gone("Update.zip", "Update.pkg")
        self.assert_not_installed_nor_relaunched()

    def test_download_that_cannot_start_shows_error_and_ends(self):
        # A folder where the file should go: it cannot be created, even by root.
        blocked = self.sandbox.download_path("Update.pkg")
        os.makedirs(os.path.join(blocked, "inside"))
        self.serve_pkg()
        self.start(self.app, self.server.url("/Update.pkg"))

        self.dismiss_box("Failed to download the update.", f"Failed to create {blocked}")
        # The window must not stay open once the box is gone.
        self.assertEqual(self.exit_status(), 0, self.output())
        self.assertEqual(self.server.requests(), [])
        self.assertTrue(os.path.isdir(os.path.join(blocked, "inside")))
        self.assert_not_installed_nor_relaunched()

    def test_archive_without_package_fails_and_removes_archive(self):
        self.server.serve_file("/Update.zip", make_update_zip("Other.pkg", make_package("wrong name")))
        self.start(self.app, self.server.url("/Update.zip"))

        self.dismiss_box("Failed to update.\n\nError code 3 (-100).", "(-100)")
        self.assertEqual(self.exit_status(), 0, self.output())
        self.assert_gone("Update.zip", "Update.pkg")
        self.assert_not_installed_nor_relaunched()

    def test_package_that_cannot_be_removed_is_reported_after_relaunch(self):
        self.installer.succeed_leaving_package_unremovable()
        package = self.serve_zip()
        self.start(self.app, self.server.url("/Update.zip"))

        package_path = self.sandbox.download_path("Update.pkg")
        self.dismiss_box(f"Failed to remove file.\n\n{package_path}")
        self.assertEqual(self.exit_status(), 0, self.output())
        self.assert_installed(package_path, self.sandbox.root + "/apps/", package)
        self.assert_relaunched(self.executable(self.app))
        self.assert_gone("Update.zip")

    def test_installer_failure_shows_its_message_and_removes_both_files(self):
        message = "installer: Error - the package \"Update.pkg\" is damaged."
        self.installer.fail(message)
        package = self.serve_zip()
        self.start(self.app, self.server.url("/Update.zip"))

        self.dismiss_box("Failed to update.\n\n" + message)
        self.assertEqual(self.exit_status(), 0, self.output())
        self.assert_installed(self.sandbox.download_path("Update.pkg"), self.sandbox.root + "/apps/", package)
        self.assertEqual(self.sandbox.relaunches(), [], "the application was started")
        self.assert_gone("Update.zip", "Update.pkg")

    def test_silent_installer_failure_shows_its_exit_status(self):
        self.installer.fail_silently(3)
        self.serve_pkg()
        self.start(self.app, self.server.url("/Update.pkg"))

        self.dismiss_box("Failed to update.\n\nThe command exited with status 3.", "status 3.")
        self.assertEqual(self.exit_status(), 0, self.output())
        self.assertEqual(self.installer.calls(), 1)
        self.assertEqual(self.sandbox.relaunches(), [], "the application was started")
        self.assert_gone("Update.pkg")

    def test_dismissed_password_prompt(self):
        # Not root, the updater asks polkit's pkexec for the rights; this pkexec
        # stands for a user who dismisses its password dialog (exit status 126).
        fake_bin = os.path.join(self.sandbox.home, "bin")
        os.makedirs(fake_bin)
        record = os.path.join(self.sandbox.home, "pkexec-arguments")
        with open(os.path.join(fake_bin, "pkexec"), "w") as f:
            f.write(f"#!/bin/sh\nprintf '%s\\0' \"$@\" >> '{record}'\nexit 126\n")
        os.chmod(os.path.join(fake_bin, "pkexec"), 0o755)
        self.sandbox.give_to(NOBODY, NOBODY)
        for path in (fake_bin, self.sandbox.runtime_dir()):
            os.chown(path, NOBODY, NOBODY)
        environment = self.environment(PATH=fake_bin + os.pathsep + os.environ.get("PATH", "/usr/bin:/bin"))
        self.serve_zip()
        self.start(command=["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups", "--",
                            self.sandbox.updater, self.app, self.server.url("/Update.zip")], env=environment)

        self.dismiss_box("Failed to update.\n\nThe administrator password is required to do this.")
        self.assertEqual(self.exit_status(), 0, self.output())
        with open(record, "rb") as f:
            pkexec_arguments = f.read().split(b"\0")[:-1]
        self.assertEqual(pkexec_arguments[:2], [b"/bin/sh", b"-c"])
        self.assertIn(b"/usr/sbin/installer", pkexec_arguments[2])
        self.assertEqual(self.sandbox.relaunches(), [], "the application was started")
        self.assert_gone("Update.zip", "Update.pkg")


if __name__ == "__main__":
    unittest.main()
