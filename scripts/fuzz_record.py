#!/usr/bin/env python3
"""Adds one long fuzz run of one target to the record (docs/fuzzing.md) and
rewrites the record's totals: per target, the runs, the executions
accumulated over all of them, the edges and features of the latest run, and
the progress towards the target's goal of executions.

The record holds two tables between marker comments; everything else in the
file is left as it is. A record that does not exist yet is started."""
import argparse
import os
import sys

RUNS_BEGIN = "<!-- runs begin: scripts/fuzz-long.sh appends a row per target and run -->"
RUNS_END = "<!-- runs end -->"
TOTALS_BEGIN = "<!-- totals begin: rewritten by scripts/fuzz_record.py from the runs -->"
TOTALS_END = "<!-- totals end -->"
RUNS_HEADER = ["date (UTC)", "commit", "target", "seconds", "jobs", "executions", "edges", "features",
               "kept inputs", "kept bytes"]
TOTALS_HEADER = ["target", "runs", "seconds", "executions", "goal", "of the goal", "edges", "features"]

# Executions to accumulate: the byte parsers 10^8, whatever runs a whole
# machine or program per input 10^7.
PARSERS = {"client_decode", "build_clip", "report_json"}


def goal(target):
    return 10**8 if target in PARSERS else 10**7


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return lines


def section(lines, begin, end):
    try:
        start = lines.index(begin)
        stop = lines.index(end, start)
    except ValueError:
        return None
    return start, stop


def main():
    p = argparse.ArgumentParser()
    p.add_argument("record")
    for name in ("date", "commit", "target"):
        p.add_argument("--" + name, required=True)
    for name in ("seconds", "jobs", "executions", "edges", "features", "kept", "kept-bytes"):
        p.add_argument("--" + name, required=True, type=int)
    a = p.parse_args()

    lines = open(a.record, encoding="utf-8").read().split("\n") if os.path.exists(a.record) else [
        "# Fuzzing record", "", "## Totals", "", TOTALS_BEGIN, TOTALS_END, "", "## Runs", "", RUNS_BEGIN, RUNS_END, ""]
    runs_at = section(lines, RUNS_BEGIN, RUNS_END)
    totals_at = section(lines, TOTALS_BEGIN, TOTALS_END)
    if runs_at is None or totals_at is None:
        sys.exit(f"fuzz_record: {a.record} lacks the runs or totals markers")

    rows = []
    for line in lines[runs_at[0] + 1:runs_at[1]]:
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) != len(RUNS_HEADER) or cells[0] == RUNS_HEADER[0] or set(cells[0]) <= set("-"):
            continue
        rows.append(cells)
    rows.append([a.date, a.commit, a.target, a.seconds, a.jobs, a.executions, a.edges, a.features, a.kept,
                 a.kept_bytes])

    totals = {}
    for row in rows:
        target = row[2]
        t = totals.setdefault(target, {"runs": 0, "seconds": 0, "executions": 0})
        t["runs"] += 1
        t["seconds"] += int(row[3])
        t["executions"] += int(row[5])
        t["edges"], t["features"] = row[6], row[7]
    total_rows = []
    for target in sorted(totals):
        t = totals[target]
        g = goal(target)
        total_rows.append([target, t["runs"], f"{t['seconds']:,}", f"{t['executions']:,}", f"{g:.0e}".replace("+0", ""),
                           f"{min(100.0, 100.0 * t['executions'] / g):.1f} %", t["edges"], t["features"]])

    runs_lines = table(RUNS_HEADER, rows)
    totals_lines = table(TOTALS_HEADER, total_rows)
    # The later section first, so the earlier one's indices stay right.
    for (start, stop), new in sorted([(runs_at, runs_lines), (totals_at, totals_lines)], reverse=True):
        lines[start + 1:stop] = new
    with open(a.record, "w", encoding="utf-8") as out:
        out.write("\n".join(lines))


if __name__ == "__main__":
    main()
