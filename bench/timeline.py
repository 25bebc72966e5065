"""The milestones of one update from a trace of the updater and what it starts
(strace -f -ttt -e trace=execve,connect,exit_group) and nginx's access log
(lines "<time sent in full> <status> <bytes> <uri>"), as a Markdown table.

    python3 bench/timeline.py STRACE_LOG ACCESS_LOG URI
"""
import re
import sys

LINE = re.compile(r"(\d+) +(\d+\.\d+) (.*)")


def events(path):
    for line in open(path, encoding="utf-8", errors="replace"):
        match = LINE.match(line)
        if match:
            yield int(match.group(1)), float(match.group(2)), match.group(3)


def main(trace, access_log, uri):
    started = {}  # program -> (pid, time) of its first start
    ended = {}  # pid -> time of its exit_group
    request = None
    for pid, time, call in events(trace):
        if call.startswith("execve(") and "= -1" not in call:
            started.setdefault(call.split('"')[1], (pid, time))
        elif call.startswith("connect(") and "AF_INET" in call and request is None:
            request = time
        elif call.startswith("exit_group("):
            ended[pid] = time
    pid0, t0 = next(value for program, value in started.items() if program.endswith("/MacOS/Tarnwick Installer"))
    sent = [float(line.split()[0]) for line in open(access_log) if line.split()[3:4] == [uri]]

    def start(program):
        return started.get(program, (None, None))[1]

    def end(program):
        pid = started.get(program, (None, None))[0]
        return ended.get(pid)

    root = start("/bin/sh")
    relaunch = next((t for program, (_, t) in started.items() if program.endswith("/Contents/MacOS/Example")), None)
    rows = [
        ("first request", request),
        ("last byte sent", sent[-1] if sent else None),
        ("digest (and extraction) done: root's script starts", root),
        ("root's copy starts", start("/bin/cp")),
        ("root's copy done", end("/bin/cp")),
        ("root's digest starts", start("/usr/bin/openssl")),
        ("root's digest done", end("/usr/bin/openssl")),
        ("installer starts", start("/usr/sbin/installer")),
        ("relaunch", relaunch),
        ("exit", ended.get(pid0)),
    ]
    print("| step | at | since the step before |")
    print("|---|---:|---:|")
    before = 0.0
    for name, time in rows:
        if time is None:
            print(f"| {name} | - | - |")
            continue
        at = time - t0
        print(f"| {name} | {at:.3f} s | {at - before:+.3f} s |")
        before = at


if __name__ == "__main__":
    main(*sys.argv[1:4])
