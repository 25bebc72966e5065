"""What the e2e table cannot show of its world: that zeros_zip makes what it says (Zip64 records too), and
that a run killed part-way leaves no process behind."""
import io, os, pathlib, signal, subprocess, sys, unittest, uuid, zipfile

import fixtures
import world

BINARY = os.environ.get("TARNWICK_BINARY", "")


class WorldTest(unittest.TestCase):
    def test_zeros_zip_is_read_by_zipfile(self):
        for size, zip64 in ((1000, False), ((2 << 20) + 12345, False), (3 << 20, True)):
            archive = zipfile.ZipFile(io.BytesIO(fixtures.zeros_zip(size, "U.pkg", zip64)))
            with self.subTest(size=size, zip64=zip64), archive:
                (entry,) = archive.infolist()
                self.assertEqual((entry.filename, entry.file_size, entry.extra != b""), ("U.pkg", size, zip64))
                self.assertIsNone(archive.testzip())  # inflates it and checks its CRC-32
                self.assertEqual(archive.read("U.pkg"), bytes(size))

    @unittest.skipUnless(BINARY, "TARNWICK_BINARY is not set")
    def test_sigkill_leaves_no_process(self):
        # A child runs a slow update and is killed as ctest's time-out would. As another user, the updater's
        # credentials differ from its parent's, which clears a parent-death signal.
        for how in ("root", "another-user"):
            with self.subTest(how):
                marker = str(uuid.uuid4())
                env = dict(os.environ, TARNWICK_KILL_CHECK=marker, TMPDIR=world.temporary_folder("killed-"))
                child = subprocess.Popen([sys.executable, os.path.abspath(__file__), "child", how], text=True,
                                         env=env, stdout=subprocess.PIPE)
                self.addCleanup(lambda child=child: child.poll() is None and (child.kill(), child.wait()))
                self.addCleanup(child.stdout.close)
                self.assertEqual(child.stdout.readline().strip(), "updater running")
                running = processes_marked(marker)
                self.assertTrue({"Xvfb", "unshare"} <= set(running), running)
                self.assertTrue(any(name.startswith("Tarnwick") for name in running), running)
                child.send_signal(signal.SIGKILL)
                child.wait(10)
                self.assertTrue(world.wait_until(lambda: not processes_marked(marker), 10),
                                f"still running: {processes_marked(marker)}")


def processes_marked(marker):
    found, needle = [], f"TARNWICK_KILL_CHECK={marker}".encode()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if needle in pathlib.Path(f"/proc/{pid}/environ").read_bytes().split(b"\0"):
                found.append(pathlib.Path(f"/proc/{pid}/comm").read_text().strip())
        except OSError:
            pass
    return found


def child(how):
    """A run that would take minutes; says when the updater is up."""
    x, served = world.XServer(), world.temporary_folder("served-")
    pathlib.Path(served, "Update.pkg").write_bytes(world.make_package("update"))
    port, sandbox = world.serve(served).server_address[1], world.Sandbox(BINARY)
    run = sandbox.start(x.display, [sandbox.app, f"http://127.0.0.1:{port}/Update.pkg?step=1024&pause=1"],
                        [fixtures.AnotherUser()] if how == "another-user" else [])
    if not world.wait_until(lambda: x.window(world.INSTALLING), 20):
        sys.exit("no window: " + run.output())
    print("updater running", flush=True)
    run.wait(600)


if __name__ == "__main__" and sys.argv[1:2] == ["child"]:
    child(sys.argv[2])
elif __name__ == "__main__":
    unittest.main()
