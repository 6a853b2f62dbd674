#!/usr/bin/env python3
"""A packed launcher with its temporary folder in each form a Windows user's
machine may have it: TMP and TEMP set on the Windows side (through cmd, as
Wine takes both from its registry), the program started from an empty
current directory that holds a directory named like a launcher's.

Each row is one TEMP form and what must come of it:
- the application runs from a directory below that folder, which exists
  while it runs, and the launcher ends with its exit code; nothing of the
  run is left afterwards; or
- the form is refused before anything is unpacked: the spec's one line on
  standard error, abort()'s exit status, no directory made anywhere.
Either way the current directory's look-alike keeps its file, and no
directory appears in the root of the current directory's drive.

A Wine drive letter (R:) and a UNC share (\\\\localhost\\share) are mapped
onto directories of this test for its duration. (Wine's loader refuses a
library on a UNC path given without \\\\?\\, so that form has no row.)"""
import glob
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from wine_scripts import device_links, fresh_work, mapped, options, windows_path, wine_env, wine_prefix  # noqa: E402

SPEC_LINE = b"Error, couldn't runtime expand spec '{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}'.\r\n"
ABORT_STATUS = 3  # abort() under Wine's Universal CRT
DEAD_PID = "4000000001"  # no process has it: Windows' IDs are multiples of 4
LOOK_ALIKE = "onefile_99998_000000_BBBBBBBBBBB"


def onefile_names(folder):
    return sorted(name for name in os.listdir(folder) if name.startswith("onefile_")) if os.path.isdir(folder) else []


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


class Suite:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.exe = os.path.join(work, "app.exe")
        self.env = wine_env(wine_prefix(args.wine_run))
        subprocess.run([args.pack, "pack", "--fast", "-o", self.exe, "--stub", args.stub, args.app], check=True,
                       stdout=subprocess.DEVNULL)
        self.failures = []
        self.passed = 0
        self.failed = 0

    def folder(self, *parts):
        path = os.path.join(self.work, *parts)
        os.makedirs(path, exist_ok=True)
        return path

    def run(self, row):
        """Runs the launcher with the row's TEMP; returns what the row checks."""
        name = row["name"]
        cwd_unix = row.get("cwd_unix") or self.folder("cwd_" + str(row["code"]))
        cwd_windows = row.get("cwd_windows") or windows_path(cwd_unix)
        look_alike = os.path.join(cwd_unix, LOOK_ALIKE)
        os.makedirs(look_alike, exist_ok=True)
        with open(os.path.join(look_alike, "user.txt"), "w") as f:
            f.write("the user's own")
        report = os.path.join(self.work, f"report_{row['code']}.txt")
        release = os.path.join(self.work, f"release_{row['code']}")
        for path in (report, release):
            if os.path.exists(path):
                os.unlink(path)
        roots_before = set(glob.glob("/onefile_*"))
        if "before" in row:
            row["before"]()
        temp = row["temp"]
        line = f"cd /d {cwd_windows}&& set TMP={temp}&& set TEMP={temp}&& {windows_path(self.exe)}"
        env = dict(self.env, TAVRIK_TEST_EXIT_CODE=str(row["code"]), TAVRIK_TEST_REPORT=windows_path(report),
                   TAVRIK_TEST_SLEEP_MS="60000", TAVRIK_TEST_SLEEP_UNTIL=windows_path(release))
        failures = []
        if row.get("refused"):
            process, out, err = self.start_until_started(line, cwd_unix, env)
            if process.returncode != ABORT_STATUS or out != b"" or err != SPEC_LINE:
                failures.append(f"not refused with the line: exit {process.returncode}, out {out!r}, err {err!r}")
            if os.path.exists(report):
                failures.append("the application ran")
        else:
            directory = None
            process, out, err = self.start_until_started(line, cwd_unix, env, lambda: os.path.exists(report))
            if not os.path.exists(report):
                failures.append(f"no report: exit {process.returncode}, out {out!r}, err {err!r}")
            else:
                with open(report, encoding="utf-8") as f:
                    values = dict(item.split("=", 1) for item in f.read().splitlines() if "=" in item)
                library = values.get("library_path", "").replace("\\\\", "\\")
                directory = library.split("\\")[-2] if library.count("\\") >= 2 else ""
                if not directory.startswith("onefile_") or not os.path.isdir(os.path.join(row["temp_unix"],
                                                                                          directory)):
                    failures.append(f"the application ran from {library!r}, not below {row['temp_unix']}")
                if "while_running" in row:
                    failures.extend(row["while_running"](os.path.join(row["temp_unix"], directory)))
            open(release, "w").close()
            if process.returncode is None:
                out, err = process.communicate(timeout=120)
            if process.returncode != row["code"] or out != b"" or err != b"":
                failures.append(f"exit {process.returncode}, expected {row['code']}: out {out!r}, err {err!r}")
            if directory and os.path.exists(os.path.join(row["temp_unix"], directory)):
                failures.append(f"{directory} left behind")
        left = [n for n in onefile_names(row["temp_unix"]) if n not in row.get("kept", ())]
        if left:
            failures.append(f"left in TEMP: {left}")
        try:
            with open(os.path.join(look_alike, "user.txt")) as f:
                if f.read() != "the user's own":
                    failures.append("the current directory's look-alike was changed")
        except OSError:
            failures.append("the current directory's look-alike was deleted")
        if onefile_names(cwd_unix) != [LOOK_ALIKE]:
            failures.append(f"current directory now holds {onefile_names(cwd_unix)}")
        made_in_root = set(glob.glob("/onefile_*")) - roots_before
        if made_in_root:
            failures.append(f"made in the drive root: {sorted(made_in_root)}")
        if "after" in row:
            failures.extend(row["after"]())
        for failure in failures:
            self.failures.append(f"{name}: {failure}")
        if failures:
            self.failed += 1
        else:
            self.passed += 1


    def start_until_started(self, line, cwd, env, running=lambda: False):
        """Starts the command line through cmd; returns the process and, once
        it has ended, its output. Under load Wine's process creation fails
        now and then, which cmd reports as an unknown command: such a start
        never reached the launcher and is made again."""
        for _ in range(5):
            process = subprocess.Popen([self.args.wine_run, "cmd", "/c", line], cwd=cwd, env=env,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            if wait_for(lambda: running() or process.poll() is not None, 120) and running():
                return process, b"", b""
            out, err = process.communicate(timeout=120)
            if not err.startswith(b"Can't recognize"):
                break
        return process, out, err


def plant_stale(folder, name):
    path = os.path.join(folder, name)
    os.makedirs(os.path.join(path, "sub"), exist_ok=True)
    with open(os.path.join(path, "sub", "data.bin"), "w") as f:
        f.write("data")
    return path


def main():
    args = options().parse_args()
    links = device_links(wine_prefix(args.wine_run), "r:", "unc/localhost/share")
    if links is None:
        return 1
    work = fresh_work(args.work, "temp_forms_work")
    if work is None:
        return 1
    suite = Suite(args, work)
    drive_root = suite.folder("drive_r")
    with mapped(links, [drive_root, suite.folder("share")]):
        run_rows(suite, drive_root)
    shutil.rmtree(work, ignore_errors=True)
    for failure in suite.failures:
        print("FAILED:", failure)
    print(f"temp forms: {suite.passed} passed, {suite.failed} failed")
    return 1 if suite.failures else 0


def run_rows(suite, drive_root):
    plain = suite.folder("plain")
    cased = suite.folder("Cased")
    real = suite.folder("real")
    os.symlink(real, os.path.join(suite.work, "linked"))
    below_link = suite.folder("real", "temp")
    wide = suite.folder("临时_📁")
    other_drive = suite.folder("drive_r", "temp")
    unc = suite.folder("share", "temp")
    long_temp = suite.folder(*(["d" * 60] * 5))
    drive_cwd = suite.folder("drive_r", "work")
    plain_windows = windows_path(plain)

    # The sweep of the drive's root takes the stale directory there, and
    # only that: the current directory's look-alike stays.
    root_stale = os.path.join(drive_root, f"onefile_{DEAD_PID}_000000_CCCCCCCCCCC")

    def sweep_of(path):
        # Renamed to a tombstone first, then deleted: gone under both names.
        def gone():
            return not os.path.exists(path) and not os.path.exists(path + ".deleted")

        def check(_directory):
            return [] if wait_for(gone, 60) else [f"{path} not swept within 60 s"]
        return check

    # Read-only files with two names inside, and one whose other name is
    # outside, planted from the host while the application runs.
    outside = os.path.join(suite.work, "outside.txt")

    def plant_hard_links(directory):
        with open(outside, "w") as f:
            f.write("outside")
        os.chmod(outside, 0o444)
        os.link(outside, os.path.join(directory, "outside_name"))
        inside = os.path.join(directory, "inside_a")
        with open(inside, "w") as f:
            f.write("inside")
        os.chmod(inside, 0o444)
        os.link(inside, os.path.join(directory, "inside_b"))
        return []

    def outside_kept():
        with open(outside) as f:
            content = f.read()
        mode = os.stat(outside).st_mode & 0o777
        return [] if (content, mode) == ("outside", 0o444) else [f"outside file now {content!r}, mode {mode:o}"]

    # Tombstones that cannot be deleted (a Unix link inside each stays, and
    # the directories above it) before an ordinary stale directory.
    tombs_folder = suite.folder("tombs")
    tombs = [f"onefile_{DEAD_PID}_000000_AAAAAAAAAA{chr(ord('A') + i)}.deleted" for i in range(16)]
    tomb_stale = os.path.join(tombs_folder, f"onefile_{DEAD_PID}_000000_ZZZZZZZZZZZ")

    def plant_tombs():
        for tomb in tombs:
            os.makedirs(os.path.join(tombs_folder, tomb), exist_ok=True)
            os.symlink(real, os.path.join(tombs_folder, tomb, "link"))
        plant_stale(tombs_folder, os.path.basename(tomb_stale))

    rows = [
        # Forms that work.
        dict(name="plain", temp=plain_windows, temp_unix=plain),
        dict(name="other case", temp=windows_path(cased).upper(), temp_unix=cased),
        dict(name="trailing separator", temp=plain_windows + "\\", temp_unix=plain),
        dict(name="doubled separators", temp=plain_windows.replace("\\plain", "\\\\plain"), temp_unix=plain),
        dict(name="\\\\?\\ form", temp="\\\\?\\" + plain_windows, temp_unix=plain),
        dict(name="\\\\?\\UNC\\ form", temp="\\\\?\\UNC\\localhost\\share\\temp", temp_unix=unc),
        dict(name="other drive letter", temp="R:\\temp", temp_unix=other_drive),
        dict(name="below a Unix link", temp=windows_path(os.path.join(suite.work, "linked", "temp")),
             temp_unix=below_link),
        dict(name="CJK and emoji", temp=windows_path(wide), temp_unix=wide),
        # Forms that did harm.
        dict(name="drive root", temp="R:\\", temp_unix=drive_root, cwd_unix=drive_cwd, cwd_windows="R:\\work",
             before=lambda: plant_stale(drive_root, os.path.basename(root_stale)), while_running=sweep_of(root_stale),
             after=lambda: [f"{root_stale} left"] if os.path.exists(root_stale) else []),
        dict(name="longer than GetTempPathW returns", temp=windows_path(long_temp), temp_unix=long_temp, refused=True),
        dict(name="\\\\.\\ form", temp="\\\\.\\" + plain_windows, temp_unix=plain),
        dict(name="GLOBALROOT form", temp="\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\temp", temp_unix=plain,
             refused=True),
        dict(name="volume GUID form", temp="\\\\?\\Volume{00000000-0000-0000-0000-00000000005a}" + plain_windows[2:],
             temp_unix=plain, refused=True),
        dict(name="read-only files with two names", temp=plain_windows, temp_unix=plain,
             while_running=plant_hard_links, after=outside_kept),
        dict(name="undeletable tombstones", temp=windows_path(tombs_folder), temp_unix=tombs_folder, kept=tombs,
             before=plant_tombs, while_running=sweep_of(tomb_stale)),
    ]
    for code, row in enumerate(rows, start=10):
        row["code"] = code
        suite.run(row)


if __name__ == "__main__":
    sys.exit(main())
