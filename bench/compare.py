#!/usr/bin/env python3
"""Compares launcher builds under Wine, for measuring what one change buys.

    bench/compare.py [--series one|all] [--blocks N] [--rounds N] LABEL=STUB.exe[:WINDOW_LOG][@PACKER] ...

Each STUB (a launcher stub, or the profiling build
build/windows/bench/tavrik-bench-marked-launcher.exe) is packed with the
reference workload at the default level into build/bench/compare/, with
`--window-log WINDOW_LOG` when one is given (the packer's default window
otherwise; 27 is the window of every packer before the option), by
PACKER when one is given (an older packer, say, for the files it wrote;
it gets no --window-log then) and the packer of this tree otherwise. Then
blocks of harness rounds in its pair mode (the plain full start, the
same-job floor, the job's parts timed alone) alternate between the builds, the order reversed every other
block, each block on a freshly started server after other work on the
machine has gone quiet; so drift and the machine's state weigh on every
build alike. Prints, per build, the median and lower quartile of the full
start, of the same-job floor, of the sequential limit (the sum of the
parts) and of the full start's per-round ratio to each, and for every
build after the first its full start ÷ the first build's, round by round
(the same round of the same block; the two ran one after the other on the
same server state); for a profiling
build also the intervals between its counter readings (see
bench/marked_launcher.cpp).

Needs what scripts/bench has built and made (build/bench/bin, the workload).
Not a test; nothing is written to bench/.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402

OUT = os.path.join(bench.WORK, "compare")

# Consecutive counter readings of the profiling build, top-level (t) and
# nested instance (n), and the harness's start and the system's end time.
STEPS = [
    ("start", "t:entry", "CreateProcessW to the top-level's main function"),
    ("t:entry", "t:started_up", "start-up (role, target directory, handler)"),
    ("t:started_up", "t:opened", "opening the attached data"),
    ("t:opened", "t:first_mkdir_call", "first name read, first decoding"),
    ("t:first_mkdir_call", "t:first_mkdir_done", "making the target directory"),
    ("t:first_mkdir_done", "t:extracted", "extraction"),
    ("t:extracted", "t:split_call", "closing the decoder, child's environment"),
    ("t:split_call", "t:split_done", "splitting the command line"),
    ("t:split_done", "n:entry", "CreateProcessW to the child's main function"),
    ("n:entry", "n:started_up", "child: start-up"),
    ("n:started_up", "n:extracted", "child: opening, first name"),
    ("n:extracted", "n:done", "child: library load, run_code"),
    ("n:done", "t:delete_call", "child's end to the clean-up"),
    ("t:delete_call", "t:delete_done", "deleting the tree"),
    ("t:delete_done", "t:done", "after the deletion"),
    ("t:done", "exit", "top-level's exit"),
]


def median_and_quartile(values):
    if not values:
        return None
    values = sorted(values)
    return statistics.median(values), values[len(values) // 4]


def show(pair, unit=" ms"):
    if pair is None:
        return "n/a"
    return f"{pair[0]:8.2f}{unit} (lower quartile {pair[1]:.2f})"


def read_marks(path):
    tops, nested = {}, []
    if not os.path.exists(path):
        return tops, nested
    with open(path) as f:
        for line in f:
            fields = line.split()
            values = {k: int(v) for k, v in (field.split("=") for field in fields[2:])}
            if fields[0] == "top":
                tops[values["entry"]] = values
            elif fields[0] == "nested":
                nested.append(values)
    return tops, nested


def main():
    parser = argparse.ArgumentParser(description="Compares launcher builds under Wine.")
    parser.add_argument("--series", choices=["one", "all"], default="one")
    parser.add_argument("--blocks", type=int, default=6)
    parser.add_argument("--rounds", type=int, default=6)
    parser.add_argument("--quiet-wait", type=int, default=120)
    parser.add_argument("builds", nargs="+", metavar="LABEL=STUB.exe[:WINDOW_LOG][@PACKER]")
    options = parser.parse_args()
    builds = []
    window_options = {}
    packers = {}
    for argument in options.builds:
        label, _, stub = argument.partition("=")
        stub, _, packer = stub.partition("@")
        stub, _, window_log = stub.partition(":")
        if not stub or not os.path.exists(stub):
            sys.exit(f"compare: no stub for {argument}")
        if packer and not os.path.exists(packer):
            sys.exit(f"compare: no packer for {argument}")
        builds.append((label, os.path.abspath(stub)))
        window_options[label] = ["--window-log", window_log] if window_log else []
        packers[label] = os.path.abspath(packer) if packer else bench.PACK
    with open(os.path.join(bench.WORK, "workload", "workload.json")) as f:
        workload = json.load(f)
    os.makedirs(OUT, exist_ok=True)
    packed = {}
    for label, stub in builds:
        packed[label] = os.path.join(OUT, f"packed-{label}.exe")
        bench.run([packers[label], "pack", "-o", packed[label], "--stub", stub] + window_options[label]
                  + [workload["app_dll"], workload["files_dir"]], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        print(f"{label}: {os.path.getsize(packed[label]):,} bytes packed", flush=True)
    pin = dict((key, pin) for key, _, pin in bench.SERIES)[options.series]
    rows = {label: [] for label, _ in builds}
    marks = {label: ({}, []) for label, _ in builds}
    ticks_per_ms = {}
    for block in range(options.blocks):
        for label, _ in builds if block % 2 == 0 else builds[::-1]:
            bench.wait_for_quiet("before a block", {}, options.quiet_wait)
            marks_path = os.path.join(OUT, f"marks-{label}.txt")
            if os.path.exists(marks_path):
                os.unlink(marks_path)
            os.environ["TAVRIK_BENCH_MARKS"] = bench.windows_path(marks_path)
            found = bench.harness_run(f"compare-{label}", pin, options.rounds, packed[label],
                                      workload["archive_bytes"], ["--mode", "pair"])
            rows[label] += [dict(r, round=r["round"] + 1000 * block) for r in found if r["round"] > 0]
            with open(os.path.join(bench.WORK, f"runs-compare-{label}.tsv")) as f:
                ticks_per_ms[label] = int(f.readline().split("=")[1]) / 1000
            tops, nested = read_marks(marks_path)
            marks[label][0].update(tops)
            marks[label][1].extend(nested)
    for label, _ in builds:
        launcher = [r for r in rows[label] if r["kind"] == "launcher"]
        samejob = {r["round"]: r["total_us"] for r in rows[label] if r["kind"] == "samejob"}
        ratios = [r["total_us"] / samejob[r["round"]] for r in launcher if r["round"] in samejob]
        limit = {r["round"]: sum(r[key] for key in bench.LIMIT_PARTS) for r in rows[label]
                 if r["kind"] == "limit" and all(key in r for key in bench.LIMIT_PARTS)}
        limit_ratios = [r["total_us"] / limit[r["round"]] for r in launcher if r["round"] in limit]
        print(f"== {label} ({len(launcher)} rounds, Wine on {options.series} processor(s))")
        print(f"   full start      {show(median_and_quartile([r['total_us'] / 1000 for r in launcher]))}")
        print(f"   same-job floor  {show(median_and_quartile([v / 1000 for v in samejob.values()]))}")
        print(f"   ratio, per round{show(median_and_quartile(ratios), '')}")
        print(f"   sequential limit{show(median_and_quartile([v / 1000 for v in limit.values()]))}")
        print(f"   full start ÷ limit, per round{show(median_and_quartile(limit_ratios), '')}")
        first = builds[0][0]
        if label != first:
            theirs = {r["round"]: r["total_us"] for r in rows[first] if r["kind"] == "launcher"}
            paired = [r["total_us"] / theirs[r["round"]] for r in launcher if r["round"] in theirs]
            print(f"   full start ÷ {first}'s, per round{show(median_and_quartile(paired), '')}")
        for key in bench.LIMIT_PARTS:
            print(f"     {key:14s}{show(median_and_quartile([r[key] / 1000 for r in rows[label] if r['kind'] == 'limit' and key in r]))}")
        tops, nested = marks[label]
        runs = []
        for r in launcher:
            per_us = ticks_per_ms[label] / 1000
            start, end = r["start_qpc"], r["start_qpc"] + r["total_us"] * per_us
            top = next((m for entry, m in tops.items() if start <= entry <= end), None)
            child = next((m for m in nested if start <= m["entry"] <= end), None)
            if top and child:
                runs.append((dict(top, start=start, exit=start + r["exit_us"] * per_us), child))
        if not runs:
            continue
        for begin, finish, what in STEPS:
            values = []
            for top, child in runs:
                def reading(name):
                    if name in ("start", "exit"):
                        return top.get(name)
                    return (top if name[0] == "t" else child).get(name[2:])
                if reading(begin) is not None and reading(finish) is not None:
                    values.append((reading(finish) - reading(begin)) / ticks_per_ms[label])
            print(f"   {what:45s} {show(median_and_quartile(values))}")


if __name__ == "__main__":
    main()
