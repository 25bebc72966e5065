"""Milestones of the whole-road runs, taken without tracing (bench/road-runs.sh), and the fastest run of each road
against its slowest.

    python3 bench/timeline.py updater START END ACCESS_LOG URI STEPS INSTALLER_AT RELAUNCH_AT
    python3 bench/timeline.py hand START END ACCESS_LOG URI STEPS MARKS REMOVAL
        one line of "step=seconds" from the run's start, to append to a .steps file
    python3 bench/timeline.py report RESULTS_DIR
        for each road, its fastest and slowest runs side by side, as Markdown

ACCESS_LOG has nginx's lines "<sent in full> <status> <bytes> <uri> <request time>"; STEPS the wrappers' lines
"<tool> <start> <end>"; MARKS the peer's times at the end of each of its steps but the last.
"""
import os
import re
import sys

UPDATER_STEPS = [
    ("request", "first request"),
    ("sent", "last byte sent"),
    ("script", "root's script starts (mktemp)"),
    ("copy", "root's copy starts"),
    ("copied", "root's copy done"),
    ("digest", "root's digest starts"),
    ("digested", "root's digest done"),
    ("installer", "installer starts"),
    ("relaunch", "relaunch"),
    ("exit", "exit"),
]
HAND_STEPS = [
    ("request", "first request"),
    ("sent", "last byte sent"),
    ("fetched", "curl done"),
    ("extracted", "bsdtar done"),
    ("digest", "openssl starts"),
    ("exit", "digest done: exit"),
    ("removal", "its files removed (timed apart, not part of the road)"),
]


def answer(access_log, uri, start, end):
    """The request's start and the time its last byte was sent, of the last answer for uri within the run."""
    found = None
    for line in open(access_log):
        fields = line.split()
        if len(fields) >= 5 and fields[3] == uri and start <= float(fields[0]) <= end + 0.5:
            found = float(fields[0]) - float(fields[4]), float(fields[0])
    return found or (None, None)


def tools(steps):
    spans = {}
    for line in open(steps):
        tool, begun, ended = line.split()
        spans.setdefault(tool, (float(begun), float(ended)))
    return spans


def line(start, end, values):
    values["exit"] = end
    return " ".join(f"{key}={value - start:.3f}" for key, value in values.items() if value is not None)


def updater(start, end, access_log, uri, steps, installer_at, relaunch_at):
    start, end = float(start), float(end)
    request, sent = answer(access_log, uri, start, end)
    spans = tools(steps)
    print(line(start, end, {
        "request": request, "sent": sent,
        "script": spans.get("mktemp", (None,))[0],
        "copy": spans.get("cp", (None, None))[0], "copied": spans.get("cp", (None, None))[1],
        "digest": spans.get("openssl", (None, None))[0], "digested": spans.get("openssl", (None, None))[1],
        "installer": float(installer_at) if installer_at else None,
        "relaunch": float(relaunch_at) if relaunch_at else None,
    }))


def hand(start, end, access_log, uri, steps, marks, removal):
    start, end = float(start), float(end)
    request, sent = answer(access_log, uri, start, end)
    ends = [float(line) for line in open(marks) if line.strip()]
    values = {"request": request, "sent": sent, "fetched": ends[0] if ends else None,
              "extracted": ends[1] if len(ends) > 1 else None,
              "digest": tools(steps).get("openssl", (None,))[0]}
    print(f"{line(start, end, values)} removal={float(removal):.3f}")


def runs(path):
    for line in open(path):
        run = dict(field.split("=") for field in line.split())
        yield {key: float(value) for key, value in run.items()}


def report(results):
    for name in sorted(os.listdir(results)):
        match = re.fullmatch(r"(\w+)-(\w+)-(\d+)-(updater|hand)\.steps", name)
        if not match:
            continue
        fs, kind, size, who = match.groups()
        every = sorted(runs(os.path.join(results, name)), key=lambda run: run["exit"])
        if len(every) < 2:
            continue
        fastest, slowest = every[0], every[-1]
        print(f"{who}, {kind}, {size} MiB, {fs}: the fastest of {len(every)} runs against the slowest "
              f"({slowest['exit'] / fastest['exit']:.2f}×), seconds from the start, and since the step before:")
        print()
        print("| step | fastest | | slowest | | slowest − fastest, step by step |")
        print("|---|---:|---:|---:|---:|---:|")
        before = {"fastest": 0.0, "slowest": 0.0}
        for key, label in UPDATER_STEPS if who == "updater" else HAND_STEPS:
            if key not in fastest or key not in slowest:
                continue
            if key == "removal":
                print(f"| {label} | {fastest[key]:.3f} | | {slowest[key]:.3f} | | |")
                continue
            gaps = [fastest[key] - before["fastest"], slowest[key] - before["slowest"]]
            print(f"| {label} | {fastest[key]:.3f} | {gaps[0]:+.3f} | {slowest[key]:.3f} | {gaps[1]:+.3f} | "
                  f"{gaps[1] - gaps[0]:+.3f} |")
            before = {"fastest": fastest[key], "slowest": slowest[key]}
        print()


if __name__ == "__main__":
    {"updater": updater, "hand": hand, "report": report}[sys.argv[1]](*sys.argv[2:])
