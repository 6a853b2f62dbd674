#!/usr/bin/env python3
"""A launcher in the root of a drive publishes the bare drive ("T:") as its
directory. The drive is a Wine drive letter mapped onto a scratch directory
for the duration of the test."""
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from launcher_names import DIRECTORY_VARIABLE  # noqa: E402
from wine_scripts import device_links, fresh_work, mapped, options, scratch_cwd, wine_env, wine_prefix  # noqa: E402


def main():
    args = options().parse_args()
    prefix = wine_prefix(args.wine_run)
    links = device_links(prefix, "t:")
    if links is None:
        return 1
    work = fresh_work(args.work, "drive_root_work")
    if work is None:
        return 1
    subprocess.run([args.pack, "pack", "--fast", "-o", os.path.join(work, "app.exe"), "--stub", args.stub,
                    args.app], check=True, stdout=subprocess.DEVNULL)
    with mapped(links, [work]):
        env = wine_env(prefix, {"TAVRIK_TEST_REPORT": "T:\\report.txt", "TAVRIK_TEST_EXIT_CODE": "7"})
        result = subprocess.run([args.wine_run, "T:\\app.exe", "argument"], env=env, stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=120, cwd=scratch_cwd())
        with open(os.path.join(work, "report.txt"), encoding="utf-8") as report_file:
            report = dict(line.split("=", 1) for line in report_file.read().splitlines() if "=" in line)
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
