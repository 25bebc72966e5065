"""Checks of the end-to-end world itself (world.py), where the table cannot
show them: the large ZIP builder against zipfile and unzip, the watchers'
file actions, the records, and that a run killed part-way leaves no process
behind.

    TARNWICK_BINARY=../../build/bin/tarnwick-installer python3 -B -m unittest -v test_world
"""
import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import uuid
import zipfile
import zlib

import world
from world import Place, ReplaceByRename, Rewrite, Sandbox, When, crc32_of_repeats, wait_until, write_zeros_zip

BINARY = os.environ.get("TARNWICK_BINARY", "")


class ZerosZipTest(unittest.TestCase):
    def setUp(self):
        self.folder = world.temporary_folder("zip-")
        self.addCleanup(world.remove_tree, self.folder)

    def check_archive(self, size, zip64, expect_zip64):
        path = os.path.join(self.folder, "Update.zip")
        made = write_zeros_zip(path, size, zip64=zip64)
        self.assertEqual((made.size, made.zip64), (size, expect_zip64))
        with zipfile.ZipFile(path) as archive:
            (entry,) = archive.infolist()
            self.assertEqual((entry.filename, entry.file_size, entry.compress_size, entry.CRC,
                              entry.compress_type), ("Update.pkg", size, made.compressed, made.crc, zipfile.ZIP_DEFLATED))
            self.assertEqual(entry.CRC, zlib.crc32(bytes(size)))
            self.assertIsNone(archive.testzip())  # inflates and checks the CRC
            self.assertEqual(archive.read("Update.pkg"), bytes(size))
        test = subprocess.run(["unzip", "-t", path], capture_output=True, text=True)
        self.assertEqual(test.returncode, 0, test.stdout + test.stderr)
        self.assertIn("No errors detected", test.stdout)
        self.assertLess(os.path.getsize(path), size // 500 + 1000)

    def test_whole_blocks(self):
        self.check_archive(8 << 20, zip64=None, expect_zip64=False)

    def test_blocks_and_a_rest(self):
        self.check_archive((5 << 20) + 12345, zip64=None, expect_zip64=False)

    def test_less_than_a_block(self):
        self.check_archive(1000, zip64=None, expect_zip64=False)

    def test_empty(self):
        self.check_archive(0, zip64=None, expect_zip64=False)

    def test_zip64_when_asked(self):
        self.check_archive((3 << 20) + 77, zip64=True, expect_zip64=True)

    def test_zip64_when_the_size_needs_it(self):
        # 5 GiB: the records only (inflating it takes a while); the CRC as zlib combines it.
        path = os.path.join(self.folder, "Update.zip")
        size = (5 << 30) + 3
        made = write_zeros_zip(path, size)
        self.assertTrue(made.zip64)
        with zipfile.ZipFile(path) as archive:
            (entry,) = archive.infolist()
            self.assertEqual((entry.file_size, entry.compress_size, entry.CRC), (size, made.compressed, made.crc))
        listing = subprocess.run(["unzip", "-lv", path], capture_output=True, text=True)
        self.assertIn(f"{size}  Defl:N  {made.compressed}", listing.stdout)
        # The deflated stream's start and end inflate to zeros.
        with open(path, "rb") as file:
            file.seek(30 + len("Update.pkg") + 20)
            head = zlib.decompressobj(-15).decompress(file.read(100000), 1 << 24)
        self.assertEqual(head, bytes(len(head)))
        self.assertGreater(len(head), 1 << 20)

    def test_crc_of_repeats_is_the_crc_of_the_bytes(self):
        for block, times in ((7, 0), (7, 1), (1000, 5), (4096, 13)):
            data = os.urandom(block)
            self.assertEqual(crc32_of_repeats(zlib.crc32(data), block, times), zlib.crc32(data * times))


class WatcherTest(unittest.TestCase):
    """The watchers and their file actions in a plain folder, while a real process runs."""

    class Folder:
        def __init__(self, folder):
            self.folder = folder
            self.process = subprocess.Popen(world.tied(["sleep", "30"]))

        def view(self, name):
            return os.path.join(self.folder, name)

    def setUp(self):
        self.run_ = self.Folder(world.temporary_folder("watch-"))
        self.addCleanup(world.remove_tree, self.run_.folder)
        self.addCleanup(self.run_.process.wait)
        self.addCleanup(self.run_.process.kill)
        self.file = pathlib.Path(self.run_.folder, "Update.zip")

    def test_acts_once_the_file_reaches_its_size(self):
        done = []
        watcher = When("Update.zip", reaches=5000, then=lambda place: done.append(os.path.getsize(place.path(
            "Update.zip")))).watch(self.run_, None)
        time.sleep(0.2)
        self.file.write_bytes(bytes(4999))
        time.sleep(0.2)
        self.assertEqual(done, [])
        with self.file.open("ab") as file:
            file.write(b"x")
        self.assertTrue(wait_until(lambda: done, 5))
        self.assertIsNone(watcher.outcome())
        self.assertEqual(done, [5000])

    def test_tells_when_it_never_acted(self):
        watcher = When("Update.zip", then=lambda place: None).watch(self.run_, None)
        self.run_.process.kill()
        self.run_.process.wait()
        self.assertIn("never acted", watcher.outcome())

    def test_tells_when_its_action_failed(self):
        self.file.write_bytes(b"zip")
        watcher = When("Update.zip", then=Rewrite("Other.zip", b"x")).watch(self.run_, None)
        self.assertIn("FileNotFoundError", wait_until(watcher.outcome, 5))

    def test_rewrite_in_place_keeps_the_file(self):
        self.file.write_bytes(b"0123456789")
        inode = self.file.stat().st_ino
        with self.file.open("rb") as reader:
            Rewrite("Update.zip", b"ab", offset=3)(Place(self.run_.folder))
            self.assertEqual(reader.read(), b"012ab56789")
            Rewrite("Update.zip", b"evil\n")(Place(self.run_.folder))
            reader.seek(0)
            self.assertEqual(reader.read(), b"evil\n")
        self.assertEqual(self.file.stat().st_ino, inode)

    def test_replace_by_rename_leaves_the_open_file_alone(self):
        self.file.write_bytes(b"0123456789")
        with self.file.open("rb") as reader:
            ReplaceByRename("Update.zip", b"evil\n")(Place(self.run_.folder))
            self.assertEqual(reader.read(), b"0123456789")
        self.assertEqual(self.file.read_bytes(), b"evil\n")
        self.assertEqual(os.listdir(self.run_.folder), ["Update.zip"])


class RecordsTest(unittest.TestCase):
    def test_absent_is_none_and_empty_is_empty(self):
        sandbox = Sandbox(BINARY)
        self.addCleanup(sandbox.remove)
        self.assertIsNone(sandbox.recorded("started"))
        self.assertEqual((sandbox.starts(), sandbox.prompts(), sandbox.installer_call(), sandbox.left()),
                         ([], [], None, None))
        pathlib.Path(sandbox.record("started")).touch()
        self.assertEqual(sandbox.recorded("started"), b"")


@unittest.skipUnless(BINARY, "TARNWICK_BINARY is not set")
class KilledRunTest(unittest.TestCase):
    """A run killed part-way leaves no process behind: the child below starts a
    real one (Xvfb, the server, a namespace, the updater in a slow download)
    and is killed as ctest's time-out, kill or Ctrl-C would."""

    def run_and_kill(self, how, *child_arguments):
        marker = str(uuid.uuid4())
        folder = tempfile.mkdtemp(prefix="tarnwick-killed-")
        os.chmod(folder, 0o755)  # another user's updater goes through it
        self.addCleanup(world.remove_tree, folder)
        child = subprocess.Popen([sys.executable, os.path.abspath(__file__), "child", *child_arguments],
                                 env=dict(os.environ, TARNWICK_KILL_CHECK=marker, TMPDIR=folder),
                                 stdout=subprocess.PIPE, text=True, start_new_session=True)
        self.addCleanup(lambda: child.poll() is None and (child.kill(), child.wait()))
        self.assertEqual(child.stdout.readline().strip(), "updater running")
        running = processes_marked(marker)
        self.assertTrue({"Xvfb", "unshare"} <= {name for _, name in running}, running)
        self.assertTrue(any(name.startswith("Tarnwick") for _, name in running), running)
        how(child)
        child.wait(10)
        left = wait_until(lambda: not processes_marked(marker), 10)
        self.assertTrue(left, f"still running: {processes_marked(marker)}")
        return os.listdir(folder)

    def test_sigkill(self):
        self.run_and_kill(lambda child: child.send_signal(signal.SIGKILL))

    # Those leave no temporary files either.
    def test_sigterm(self):
        self.assertEqual(self.run_and_kill(lambda child: child.send_signal(signal.SIGTERM)), [])

    def test_sigint_to_python_alone(self):
        self.assertEqual(self.run_and_kill(lambda child: child.send_signal(signal.SIGINT)), [])

    def test_ctrl_c_to_the_whole_group(self):
        self.assertEqual(self.run_and_kill(lambda child: os.killpg(child.pid, signal.SIGINT)), [])

    def test_sigkill_with_the_updater_as_another_user(self):
        # Its credentials differ from its parent's, which clears a parent-death signal.
        self.run_and_kill(lambda child: child.send_signal(signal.SIGKILL), "another-user")


def processes_marked(marker):
    """(pid, name) of the processes whose environment holds the marker."""
    found, needle = [], f"TARNWICK_KILL_CHECK={marker}".encode()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if needle in pathlib.Path(f"/proc/{pid}/environ").read_bytes().split(b"\0"):
                found.append((int(pid), pathlib.Path(f"/proc/{pid}/comm").read_text().strip()))
        except OSError:
            pass
    return found


def child(arguments):
    """A run, as a test starts it, that would take minutes; says when the updater is up."""
    x = world.XServer()
    served = world.temporary_folder("served-")
    pathlib.Path(served, "Update.pkg").write_bytes(world.make_package("update"))
    server = world.serve(served)
    sandbox = Sandbox(BINARY)
    fixtures = [world.AnotherUser()] if "another-user" in arguments else []
    run = sandbox.start(x.display, [sandbox.app, f"http://127.0.0.1:{server.server_address[1]}/Update.pkg?step=1024"
                                                 "&pause=1"], fixtures)
    if not wait_until(lambda: x.window(world.INSTALLING), 20):
        sys.exit("no window: " + run.output())
    print("updater running", flush=True)
    run.wait(600)


if __name__ == "__main__" and sys.argv[1:2] == ["child"]:
    child(sys.argv[2:])
elif __name__ == "__main__":
    unittest.main()
