#!/usr/bin/env python3
"""A packed launcher under conditions that only the host can make:

- run under `strace -f`, where Wine cannot read another process's memory:
  the child must still recognise its parent, so the application runs once,
  passes its exit code, and exactly one directory exists while it runs and
  none afterwards (before, every child took itself for a top-level
  instance and started another, without end);
- with its temporary folder on a file system too small for the archive:
  the write failure is reported with its exact line and exit code 2, and the
  partly unpacked directory is deleted.

Each launcher gets TMP and TEMP pointing at a folder of this test (Wine
takes both from its registry, so they are set through cmd) and starts in an
empty current directory."""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Runner:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.cwd = os.path.join(work, "cwd")
        os.makedirs(self.cwd, exist_ok=True)

    def start(self, exe, temp, env, prefix=()):
        line = f"set TMP={wine_path(temp)}&& set TEMP={wine_path(temp)}&& {wine_path(exe)}"
        return subprocess.Popen(list(prefix) + [self.args.wine_run, "cmd", "/c", line], cwd=self.cwd,
                                env=dict(os.environ, **env), stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def pack(self, name, *inputs):
        exe = os.path.join(self.work, name)
        subprocess.run([self.args.pack, "pack", "--fast", "-o", exe, "--stub", self.args.stub, *inputs],
                       check=True, stdout=subprocess.DEVNULL)
        return exe


def onefile_directories(temp):
    return sorted(name for name in os.listdir(temp) if name.startswith("onefile_"))


def traced_start(runner, failures):
    temp = os.path.join(runner.work, "traced_temp")
    os.makedirs(temp)
    exe = runner.pack("traced.exe", runner.args.app)
    seen = set()
    process = runner.start(exe, temp, {"TAVRIK_TEST_EXIT_CODE": "7", "TAVRIK_TEST_SLEEP_MS": "3000"},
                           prefix=("strace", "-f", "-o", "/dev/null"))
    done = threading.Event()

    def watch():
        while not done.is_set():
            seen.update(onefile_directories(temp))
            time.sleep(0.05)

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        out, err = process.communicate(timeout=240)
    except subprocess.TimeoutExpired:
        process.kill()
        out, err = process.communicate()
        failures.append("traced launcher did not end within 240 s")
    done.set()
    watcher.join()
    if process.returncode != 7:
        failures.append(f"traced: exit code {process.returncode}, expected 7: {out!r} {err!r}")
    if len(seen) != 1:
        failures.append(f"traced: {len(seen)} target directories appeared, expected 1: {sorted(seen)[:5]}")
    left = onefile_directories(temp)
    if left:
        failures.append(f"traced: left behind {left}")


def full_disk(runner, failures):
    temp = os.path.join(runner.work, "small_temp")
    os.makedirs(temp)
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", temp],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if mounted.returncode != 0:
        print(f"full disk: skipped, cannot mount a small tmpfs here ({mounted.stderr.strip()})")
        return 1
    try:
        big = os.path.join(runner.work, "big.bin")
        with open(big, "wb") as f:
            f.write(random.Random(7).randbytes(3 * 1024 * 1024))
        exe = runner.pack("full.exe", runner.args.app, big)
        process = runner.start(exe, temp, {})
        out, err = process.communicate(timeout=120)
        left = onefile_directories(temp)
    finally:
        subprocess.run(["umount", temp])
    prefix = "Error, couldn't unpack file to target path. ([Error 112] "
    lines = err.decode("utf-8", "replace").splitlines()
    if process.returncode != 2 or out != b"" or len(lines) != 1 or not lines[0].startswith(prefix):
        failures.append(f"full disk: exit code {process.returncode}, out {out!r}, err {err!r}")
    if left:
        failures.append(f"full disk: left behind {left}")
    return 0


def main():
    parser = argparse.ArgumentParser()
    for option in ("--pack", "--stub", "--app", "--wine-run"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="tavrik_host_conditions_")
    failures = []
    skipped = 0
    try:
        runner = Runner(args, work)
        traced_start(runner, failures)
        skipped += full_disk(runner, failures)
        if os.listdir(runner.cwd):
            failures.append(f"the current directory gained {os.listdir(runner.cwd)}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for failure in failures:
        print("FAILED:", failure)
    cases = 2 - skipped
    failed = min(len(failures), cases)
    print(f"host conditions: {cases - failed} passed, {failed} failed" + (f", {skipped} skipped" if skipped else ""))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
