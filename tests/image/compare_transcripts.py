#!/usr/bin/env python3
"""Plays scenarios twice, on the linked driver and on the driver image, and
compares the transcripts (JSON lines) event for event, status for status and,
through each run's file-state lines, byte for byte of every file and backup
left on the volumes.

  compare_transcripts.py --sim build/host/vetrona-sim --image build/windows/vetrona.sys FILE...

Receive times are left out. A file object's address names a host object
rather than what happened and differs from one process to the next: it is
compared by identity, replaced by the order in which it first appeared ("#1",
"#2"...). Everything else must be equal, file ids included (the model numbers
files the same way in every run). A scenario counts as matched only when both
runs passed (exit status 0) and their transcripts are equal. Exit status 0
when every scenario matched, 1 when one differed or failed, 77 when the image
is missing (the test is skipped), 2 for bad arguments.
"""
import argparse
import concurrent.futures
import json
import os
import subprocess
import sys
import time

IDENTITY_FIELDS = ("fileObject",)
# Wall-clock values: when an event was received differs from run to run.
CLOCK_FIELDS = ("time",)
# Lines only an image run prints (the stack its own frames used).
IMAGE_ONLY = ("image-stack",)


def canonical(lines):
    """Parsed transcript with host-specific values renumbered by first use."""
    seen = {field: {} for field in IDENTITY_FIELDS}
    out = []
    for raw in lines:
        if not raw.strip():
            continue
        try:
            obj = json.loads(raw)
        except json.JSONDecodeError:
            out.append({"type": "unparsed", "text": raw})
            continue
        if obj.get("type") in IMAGE_ONLY:
            continue
        for field in CLOCK_FIELDS:
            obj.pop(field, None)
        for field in IDENTITY_FIELDS:
            value = obj.get(field)
            if isinstance(value, int) and value != 0:
                table = seen[field]
                obj[field] = "#%d" % table.setdefault(value, len(table) + 1)
        out.append(obj)
    return out


def play(sim, scenario, image):
    command = [sim, "run", "--json", "--state", scenario]
    if image:
        command += ["--image", image]
    started = time.monotonic()
    proc = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=600)
    return proc.returncode, proc.stdout.splitlines(), proc.stderr, time.monotonic() - started


def first_difference(a, b):
    for index, (left, right) in enumerate(zip(a, b)):
        if left != right:
            return index, left, right
    if len(a) != len(b):
        index = min(len(a), len(b))
        return index, a[index] if index < len(a) else None, b[index] if index < len(b) else None
    return None


def compare(sim, image, scenario):
    linked = play(sim, scenario, None)
    loaded = play(sim, scenario, image)
    report = {"scenario": scenario, "linked_status": linked[0], "image_status": loaded[0],
              "lines": len(linked[1]), "seconds": round(linked[3] + loaded[3], 2)}
    a, b = canonical(linked[1]), canonical(loaded[1])
    report["events"] = sum(1 for o in a if o.get("type") == "event")
    report["files"] = sum(1 for o in a if o.get("type") == "file-state")
    diff = first_difference(a, b)
    report["identical"] = diff is None and linked[0] == 0 and loaded[0] == 0
    if diff is not None:
        index, left, right = diff
        report["difference"] = {"line": index + 1, "linked": left, "image": right}
    if linked[0] != 0:
        report["linked_stderr"] = linked[2][-2000:]
    if loaded[0] != 0:
        report["image_stderr"] = loaded[2][-2000:]
    return report


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sim", required=True)
    parser.add_argument("--image", required=True)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    if not os.path.isfile(args.image):
        print("compare-transcripts: %s is missing: build it with windows/build-sys.sh (skipped)" % args.image)
        return 77
    started = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        reports = list(pool.map(lambda f: compare(args.sim, args.image, f), args.files))
    failed = 0
    for r in reports:
        state = "identical" if r["identical"] else ("DIFFERENT" if "difference" in r else "FAILED")
        print("%-9s %s: %d lines, %d events, %d files, status %d/%d, %.1fs" % (
            state, r["scenario"], r["lines"], r["events"], r["files"], r["linked_status"], r["image_status"],
            r["seconds"]))
        if not r["identical"]:
            failed += 1
            if "difference" in r:
                d = r["difference"]
                print("  first difference at line %d:\n    linked: %s\n    image:  %s" % (
                    d["line"], json.dumps(d["linked"])[:400], json.dumps(d["image"])[:400]))
            if "linked_stderr" in r:
                print("  linked run's standard error (end):\n    " + r["linked_stderr"].replace("\n", "\n    "))
            if "image_stderr" in r:
                print("  image run's standard error (end):\n    " + r["image_stderr"].replace("\n", "\n    "))
    print("compare-transcripts: %d of %d scenarios identical on the image (%.0fs)" % (
        len(reports) - failed, len(reports), time.monotonic() - started))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
