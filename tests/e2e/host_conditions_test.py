#!/usr/bin/env python3
"""A packed launcher under conditions that only the host can make:

- run under `strace -f`, where Wine cannot read another process's memory:
  the child must still recognise its parent, so the application runs once,
  passes its exit code, and exactly one directory exists while it runs and
  none afterwards (before, every child took itself for a top-level
  instance and started another, without end);
- with its temporary folder on a file system too small for the archive:
  the write failure is reported with its exact line and exit code 2, and the
  partly unpacked directory is deleted;
- with Unix symbolic links planted from the Linux side (as a Unix program
  the application starts could make them) into its running directory, into
  a stale directory and into a tombstone of the sweep, and stale-looking
  names that are links themselves: Wine follows such links in every call
  that takes a path, yet what they point to keeps its content and mode, and
  only the links and the directories holding them are left;
- as a window program started with no console and no standard handles, on
  a display (Xvfb), whose application cannot load (a missing DLL): its line
  reaches no stream, so a message box titled with the program's file name
  appears; a window program that runs normally shows none.

Each launcher gets TMP and TEMP pointing at a folder of this test (Wine
takes both from its registry, so they are set through cmd) and starts in an
empty current directory."""
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from wine_scripts import options, windows_path, wine_env, wine_prefix  # noqa: E402


class Runner:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.cwd = os.path.join(work, "cwd")
        self.prefix = wine_prefix(args.wine_run)
        os.makedirs(self.cwd, exist_ok=True)

    def start(self, exe, temp, env, prefix=()):
        line = f"set TMP={windows_path(temp)}&& set TEMP={windows_path(temp)}&& {windows_path(exe)}"
        return subprocess.Popen(list(prefix) + [self.args.wine_run, "cmd", "/c", line], cwd=self.cwd,
                                env=wine_env(self.prefix, env), stdin=subprocess.DEVNULL,
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


def x_window_names(display):
    listing = subprocess.run(["xwininfo", "-root", "-tree", "-display", display], capture_output=True, text=True)
    names = set()
    for line in listing.stdout.splitlines():
        parts = line.split('"')
        if len(parts) >= 3:
            names.add(parts[1])
    return names


def message_box_without_streams(runner, failures):
    """A separate Wine prefix whose desktop starts on an Xvfb display (the
    suite's own session has no display, so Wine creates no window there);
    kept in the build tree, so only the first run pays for making it. The
    failing program is started by a packed report_app with no console and
    no standard handles, as a desktop shell starts a window program."""
    if shutil.which("Xvfb") is None or shutil.which("xwininfo") is None:
        print("message box: skipped, no Xvfb or xwininfo (scripts/setup installs them)")
        return 1
    number = next(n for n in range(90, 200) if not os.path.exists(f"/tmp/.X{n}-lock"))
    display = f":{number}"
    xvfb = subprocess.Popen(["Xvfb", display, "-nolisten", "tcp", "-screen", "0", "800x600x24"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    prefix = runner.args.box_prefix
    env = wine_env(prefix, {"DISPLAY": display})
    try:
        time.sleep(1)
        if not os.path.exists(os.path.join(prefix, "system.reg")):
            subprocess.run(["wineboot", "-i"], env=dict(env, WINEDLLOVERRIDES="mscoree,mshtml="),
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=300)
        # A fresh server for this display, its streams on /dev/null.
        subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-p60"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        # Packed without the DLL it imports, on purpose: the packer is told
        # the user's machine has it, the loader then finds none.
        failing = runner.pack("failing_window.exe", "--allow-missing", "dependency.dll", runner.args.dependent_app)
        starter = runner.pack("starter_window.exe", runner.args.app)
        report = os.path.join(runner.work, "starter_report.txt")
        env_start = dict(env, TAVRIK_TEST_SPAWN=windows_path(failing), TAVRIK_TEST_REPORT=windows_path(report))
        started = subprocess.run(["wine", starter], env=env_start, cwd=runner.cwd, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
        spawned = [line for line in open(report, encoding="utf-8").read().splitlines() if line.startswith("spawned=")]
        if started.returncode != 0 or not spawned or spawned[0].startswith("spawned=error"):
            failures.append(f"message box: the starter ended with {started.returncode}, {spawned}")
            return 0
        seen = set()
        deadline = time.monotonic() + 60
        while "failing_window.exe" not in seen and time.monotonic() < deadline:
            seen |= x_window_names(display)
            time.sleep(0.2)
        if "failing_window.exe" not in seen:
            failures.append(f"message box: no window titled failing_window.exe appeared; windows: {sorted(seen)}")
        if "starter_window.exe" in seen:
            failures.append("message box: the normal run showed a window")
    finally:
        subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
        xvfb.terminate()
        xvfb.wait(timeout=30)
    return 0


def unix_links(runner, failures):
    temp = os.path.join(runner.work, "links_temp")
    outside = os.path.join(runner.work, "outside")
    os.makedirs(temp)
    os.makedirs(outside)
    places = ("run", "stale", "tomb", "named")
    for place in places:
        with open(os.path.join(outside, place + ".txt"), "w") as f:
            f.write("precious " + place)
        os.chmod(os.path.join(outside, place + ".txt"), 0o444)
        os.makedirs(os.path.join(outside, place + "_dir"))
    before = {name: os.stat(os.path.join(outside, name)) for name in os.listdir(outside)}

    def plant(directory, place):
        os.symlink(os.path.join(outside, place + ".txt"), os.path.join(directory, "to_file"))
        os.symlink(os.path.join(outside, place + "_dir"), os.path.join(directory, "to_dir"))

    dead = "onefile_4000000001_123456_"
    stale = os.path.join(temp, dead + "AAAAAAAAAAA")
    tomb = os.path.join(temp, dead + "BBBBBBBBBBB.deleted")
    for directory, place in ((stale, "stale"), (tomb, "tomb")):
        os.makedirs(directory)
        with open(os.path.join(directory, "own.txt"), "w") as f:
            f.write("own")
        plant(directory, place)
    # Names of a stale directory and of a tombstone, themselves links.
    os.symlink(os.path.join(outside, "named_dir"), os.path.join(temp, dead + "CCCCCCCCCCC"))
    os.symlink(os.path.join(outside, "run_dir"), os.path.join(temp, dead + "DDDDDDDDDDD.deleted"))
    planted = set(onefile_directories(temp))

    exe = runner.pack("links.exe", runner.args.app)
    process = runner.start(exe, temp, {"TAVRIK_TEST_SLEEP_MS": "3000"})
    own = None
    deadline = time.monotonic() + 60
    while own is None and time.monotonic() < deadline and process.poll() is None:
        for name in set(onefile_directories(temp)) - planted:
            if not name.endswith(".deleted") and os.path.exists(os.path.join(temp, name, "report_app.dll")):
                own = os.path.join(temp, name)
        time.sleep(0.02)
    if own is not None:
        plant(own, "run")
    try:
        out, err = process.communicate(timeout=120)
    except subprocess.TimeoutExpired:
        process.kill()
        out, err = process.communicate()
        failures.append("links: launcher did not end within 120 s")
    if own is None:
        failures.append("links: the launcher's directory never appeared with its library")
    if process.returncode != 0 or out or err:
        failures.append(f"links: exit code {process.returncode}, out {out!r}, err {err!r}")
    for name, old in sorted(before.items()):
        path = os.path.join(outside, name)
        if not os.path.exists(path):
            failures.append(f"links: {name} outside was deleted")
            continue
        new = os.stat(path)
        if new.st_mode != old.st_mode:
            failures.append(f"links: mode of {name} outside changed from {oct(old.st_mode)} to {oct(new.st_mode)}")
        if name.endswith(".txt"):
            with open(path) as f:
                if f.read() != "precious " + name[:-4]:
                    failures.append(f"links: content of {name} outside changed")
        elif os.listdir(path):
            failures.append(f"links: {name} outside gained {os.listdir(path)}")
    # A leftover is the price: the links and the directories holding them.
    leftovers = [own, stale + ".deleted", tomb] if own is not None else [stale + ".deleted", tomb]
    for directory in leftovers:
        kept = sorted(os.listdir(directory)) if os.path.isdir(directory) else None
        if kept != ["to_dir", "to_file"]:
            failures.append(f"links: {os.path.basename(directory)} holds {kept}, expected the two links only")
    for name in (dead + "CCCCCCCCCCC", dead + "DDDDDDDDDDD.deleted"):
        if not os.path.islink(os.path.join(temp, name)):
            failures.append(f"links: the link named {name} is gone")


def main():
    args = options("--pack", "--stub", "--app", "--dependent-app", "--box-prefix", "--wine-run").parse_args()
    work = tempfile.mkdtemp(prefix="tavrik_host_conditions_")
    failures = []
    skipped = 0
    try:
        runner = Runner(args, work)
        traced_start(runner, failures)
        skipped += full_disk(runner, failures)
        unix_links(runner, failures)
        skipped += message_box_without_streams(runner, failures)
        if os.listdir(runner.cwd):
            failures.append(f"the current directory gained {os.listdir(runner.cwd)}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for failure in failures:
        print("FAILED:", failure)
    cases = 4 - skipped
    failed = min(len(failures), cases)
    print(f"host conditions: {cases - failed} passed, {failed} failed" + (f", {skipped} skipped" if skipped else ""))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
