"""Runs one whole update with the real updater and tells what happened.

    python3 scripts/demo_update.py <updater binary> <output folder>

Serves Update.zip (holding Update.pkg) from 127.0.0.1, makes a sample
application, and runs the updater in a window: on $DISPLAY when there is one,
otherwise under Xvfb, saving a screenshot into the output folder.
/usr/sbin/installer is a stand-in that only records its call, put there in a
namespace of the run's own (as root, or as root of an unprivileged user
namespace for anyone else). Nobody needs to click: the update runs to its end
and the window closes by itself.
"""
import os
import shlex
import subprocess
import sys

sys.dont_write_bytecode = True  # nothing written into the source tree

from world import (LOCALE_VARIABLES, Digest, Sandbox, XServer, box_text, check_namespaces,  # noqa: E402
                   make_package, make_zip, remove_tree, serve, temporary_folder, wait_until)


def say(text):
    print(f"demo: {text}", flush=True)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    if problem := check_namespaces():
        sys.exit(f"demo: {problem}")
    binary, out = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    os.makedirs(out, exist_ok=True)
    sandbox = Sandbox(binary, app="Volume/Applications/Example.app")
    served = temporary_folder("served-")
    package = make_package("Example 2.0")
    archive = make_zip({"Update.pkg": package})
    with open(os.path.join(served, "Update.zip"), "wb") as f:
        f.write(archive)
    server = serve(served)
    # Sent in forty pieces over about three seconds, so that the progress bar moves.
    url = f"http://127.0.0.1:{server.server_address[1]}/Update.zip?step={len(archive) // 40 + 1}&pause=0.08"
    xvfb = None if os.environ.get("DISPLAY") else XServer()
    display = os.environ.get("DISPLAY") or xvfb.display
    say(f"serving Update.zip ({len(archive)} bytes, holding Update.pkg of {len(package)} bytes) at {url}")
    say(f"sample application: {sandbox.app}")
    say(f"updater bundle: {os.path.dirname(os.path.dirname(os.path.dirname(sandbox.updater)))} "
        "(downloads land beside it)")
    say(f"showing the window on {display}" + (" (Xvfb)" if xvfb else ""))
    say("running: " + shlex.join([sandbox.updater, sandbox.app, url]))
    log_path = os.path.join(out, "updater.log")
    try:
        # In the machine's language, as the user's own run would be (LANG=... before the demo for another).
        run = sandbox.start(display, [sandbox.app, url],
                            locale=tuple((name, os.environ[name]) for name in LOCALE_VARIABLES if name in os.environ))
        # The window, titled in that language: the one that is not the box.
        window = lambda: next((window for window, title in xvfb.windows() if title != "Tarnwick Installer"), None)
        if xvfb and wait_until(window, 15):
            subprocess.run(["import", "-display", display, "-window", window(), os.path.join(out, "window.png")],
                           capture_output=True)
        if wait_until(lambda: run.process.poll() is not None or box_text(run.output()), 60):
            box = box_text(run.output())
            if box:
                say(f"the updater shows a message box: {box[1]!r}")
                if xvfb:
                    xvfb.xdotool("windowfocus", "--sync", xvfb.window("Tarnwick Installer"), "key", "Return")
        status = run.wait(30)
        call = sandbox.installer_call()
        started = sandbox.starts()
        left = sandbox.left()
        print("\ndemo: what happened:")
        print(f"  downloaded:   {len(server.requests)} request(s) for {url}")
        print("  installer:    " + ("not called" if call is None else "called: " + shlex.join(
            ["/usr/sbin/installer", *call["args"]])))
        handed = call and call["package"] and Digest(**call["package"])
        if handed:
            print(f"  package:      {handed.size} bytes, " + ("identical to" if handed == Digest.of(package) else
                                                             "DIFFERENT from") + " the package put into the archive")
            folder = call["folder"]
            print(f"  root's copy:  in {folder['path']} (mode {folder['mode']}, owner {folder['owner']}), "
                  + ("removed" if not os.path.exists(folder["path"]) else "NOT removed"))
        print("  relaunched:   " + (started[0]["program"] if started else "no"))
        print("  files left:   " + (", ".join(sorted(left)) if left else "none (Update.zip and Update.pkg removed)"
                                    if left is not None else "unknown: the run did not end normally"))
        print(f"  exit status:  {status}")
        if xvfb and os.path.exists(os.path.join(out, "window.png")):
            print(f"  screenshot:   {os.path.join(out, 'window.png')}")
        with open(log_path, "w") as log:
            log.write(run.output())
        print(f"  updater log:  {log_path}")
        return 0 if status == 0 and started and handed == Digest.of(package) and left == set() else 1
    finally:
        if xvfb:
            xvfb.stop()
        sandbox.remove()
        remove_tree(served)


if __name__ == "__main__":
    sys.exit(main())
