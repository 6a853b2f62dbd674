#!/usr/bin/env python3
"""A launcher in the root of a drive publishes the bare drive ("T:") as its
directory. The drive is a Wine drive letter mapped onto a scratch directory
for the duration of the test."""
import argparse
import os
import shutil
import subprocess
import tempfile
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from launcher_names import DIRECTORY_VARIABLE  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    for option in ("--pack", "--stub", "--app", "--wine-run", "--work"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()

    prefix = os.environ.get("WINEPREFIX") or os.path.join(
        os.path.dirname(os.path.dirname(os.path.abspath(args.wine_run))), "build", "wineprefix")
    drive = os.path.join(prefix, "dosdevices", "t:")
    if os.path.lexists(drive):
        print(f"drive t: is already mapped ({os.readlink(drive)}); not touching it")
        return 1
    work = os.path.abspath(args.work)
    if os.path.basename(work) != "drive_root_work":
        print("refusing an unexpected work directory")
        return 1
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    subprocess.run([args.pack, "pack", "--fast", "-o", os.path.join(work, "app.exe"), "--stub", args.stub,
                    args.app], check=True, stdout=subprocess.DEVNULL)
    os.symlink(work, drive)
    try:
        env = dict(os.environ, TAVRIK_TEST_REPORT="T:\\report.txt", TAVRIK_TEST_EXIT_CODE="7")
        result = subprocess.run([args.wine_run, "T:\\app.exe", "argument"], env=env, stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=120, cwd=tempfile.mkdtemp(prefix="tavrik_cwd_"))
        with open(os.path.join(work, "report.txt"), encoding="utf-8") as report_file:
            report = dict(line.split("=", 1) for line in report_file.read().splitlines() if "=" in line)
    finally:
        os.unlink(drive)
    failures = []
    if result.returncode != 7:
        failures.append(f"exit code {result.returncode}, expected 7: {result.stdout!r} {result.stderr!r}")
    published = report.get("env:" + DIRECTORY_VARIABLE)
    if published != "T:":
        failures.append(f"directory published as {published!r}, expected 'T:'")
    if report.get("argv[0]", "").replace("\\\\", "\\").upper() != "T:\\APP.EXE":
        failures.append(f"argument 0 is {report.get('argv[0]')!r}")
    shutil.rmtree(work, ignore_errors=True)
    for failure in failures:
        print("FAILED:", failure)
    print("drive root: 1 passed, 0 failed" if not failures else "drive root: 0 passed, 1 failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
