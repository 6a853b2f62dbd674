#!/usr/bin/env python3
"""Cached mode under Wine, end to end: programs packed with --cache run from
a build unpacked once below TAVRIK_CACHE_DIR (a scratch folder here).

Each scenario starts from an empty cache, runs real launchers and asserts
their exit codes, what the application reported (its library path tells
which directory it ran from), and the files on disk: the builds, that no
staging folder is left, that a warm start writes nothing, and that a per-run
fallback leaves no directory in the temporary folder.

Usage: cached_mode_test.py --pack P --stub S --app A --wine-run W --work DIR
"""

import glob
import os
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from launcher_names import CACHE_VARIABLE  # noqa: E402
from wine_scripts import ScenarioFailure, check, fresh_work, options, scratch_cwd, windows_path  # noqa: E402
from wine_scripts import wine_env, wine_prefix, wine_temp  # noqa: E402

WORK_NAME = "cached_mode_work"
APP_EXIT_CODE = 7
BUILD_NAME_LENGTH = 32


class Setting:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.work)
        self.prefix = wine_prefix(args.wine_run)
        self.cwd = scratch_cwd()
        self.temp = wine_temp(self.prefix)

    def env(self, cache, report, extra=None):
        env = wine_env(self.prefix, {"TAVRIK_TEST_REPORT": windows_path(report),
                                     "TAVRIK_TEST_EXIT_CODE": str(APP_EXIT_CODE)})
        if cache is not None:
            # A Linux path is given as its Windows path; a Windows one as it is.
            env[CACHE_VARIABLE] = cache if "\\" in cache else windows_path(cache)
        env.update(extra or {})
        return env

    def pack(self, name, files, extra=()):
        exe = os.path.join(self.work, name)
        os.makedirs(os.path.dirname(exe), exist_ok=True)
        subprocess.run([self.args.pack, "pack", "--fast", "-q", "--cache", *extra, "-o", exe, "--stub",
                        self.args.stub, self.args.app, *files], check=True)
        return exe

    def start(self, exe, cache, report, extra=None):
        return subprocess.Popen([self.args.wine_run, windows_path(exe), "first", "second arg"],
                                env=self.env(cache, report, extra), stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=self.cwd)

    def run(self, exe, cache, report, extra=None):
        process = self.start(exe, cache, report, extra)
        out, err = process.communicate(timeout=180)
        return process.returncode, out, err


def read_report(path):
    check(os.path.exists(path), f"the application wrote no report to {path}")
    report = {}
    with open(path, encoding="utf-8") as f:
        for line in f.read().splitlines():
            key, _, value = line.partition("=")
            report[key] = value.replace("\\\\", "\\")
    return report


def tree(path):
    """Every entry below `path` with its size, modification and change times."""
    listing = {}
    for root, dirs, files in os.walk(path):
        for name in dirs + files:
            full = os.path.join(root, name)
            st = os.lstat(full)
            listing[os.path.relpath(full, path)] = (st.st_size, st.st_mtime_ns, st.st_ctime_ns, os.path.islink(full))
    return listing


def program_folder(cache):
    folders = os.listdir(cache)
    check(len(folders) == 1, f"one program folder expected in the cache, found {folders}")
    return os.path.join(cache, folders[0])


def builds(cache):
    folder = program_folder(cache)
    return sorted(name for name in os.listdir(folder))


def expect_ran(code, out, err, report, where):
    check(code == APP_EXIT_CODE, f"exit code {code}, expected {APP_EXIT_CODE}: {out!r} {err!r}")
    check(report.get("argv[1]") == "first" and report.get("argv[2]") == "second arg",
          f"arguments {report.get('argv[1]')!r} {report.get('argv[2]')!r}")
    library = report.get("library_path", "")
    check(library.startswith(where), f"the application ran from {library!r}, expected below {where!r}")


def expect_ran_from_build(setting, code, out, err, report, cache):
    expect_ran(code, out, err, report, windows_path(program_folder(cache)) + "\\")
    build = report["library_path"].split("\\")[-2]
    check(len(build) == BUILD_NAME_LENGTH, f"the application ran from {report['library_path']!r}, not a build")
    return build


def expect_ran_per_run(setting, code, out, err, report):
    expect_ran(code, out, err, report, "C:\\users\\")
    check("\\onefile_" in report["library_path"], f"not a per-run directory: {report['library_path']!r}")
    # Only this start's directory: other tests may unpack beside it.
    directory = os.path.join(setting.temp, report["library_path"].split("\\")[-2])
    check(not os.path.exists(directory), f"the per-run directory was left behind: {directory}")


def start_held(setting, exe, cache, report, release):
    """Starts `exe` with an application that runs until the file `release`
    exists; returns once it has reported."""
    running = setting.start(exe, cache, report,
                            {"TAVRIK_TEST_SLEEP_MS": "60000", "TAVRIK_TEST_SLEEP_UNTIL": windows_path(release)})
    deadline = time.monotonic() + 120
    while not os.path.exists(report):
        if running.poll() is not None or time.monotonic() > deadline:
            running.kill()
            raise ScenarioFailure(f"{exe} did not start its application (exit code {running.poll()})")
        time.sleep(0.05)
    return running


# Scenarios: each gets the setting, a fresh cache folder and the packed
# program, and raises ScenarioFailure.

def second_start_is_warm(setting, cache, exe):
    """The second start runs from the build and writes nothing at all."""
    code, out, err = setting.run(exe, cache, os.path.join(setting.work, "r1.txt"))
    first = expect_ran_from_build(setting, code, out, err, read_report(os.path.join(setting.work, "r1.txt")), cache)
    check(builds(cache) == [first], f"after the first start the program's folder holds {builds(cache)}")
    before = tree(cache)
    code, out, err = setting.run(exe, cache, os.path.join(setting.work, "r2.txt"))
    second = expect_ran_from_build(setting, code, out, err, read_report(os.path.join(setting.work, "r2.txt")), cache)
    check(second == first, f"the second start ran from {second}, the first from {first}")
    check(tree(cache) == before, "a warm start changed the cache")


def simultaneous_first_starts(setting, cache, exe):
    """Ten first starts at once: all run right, one build, no staging."""
    reports = [os.path.join(setting.work, f"c{i}.txt") for i in range(10)]
    processes = [setting.start(exe, cache, report) for report in reports]
    found = set()
    for process, report in zip(processes, reports):
        out, err = process.communicate(timeout=300)
        found.add(expect_ran_from_build(setting, process.returncode, out, err, read_report(report), cache))
    check(len(found) == 1, f"the starts ran from {sorted(found)}")
    check(builds(cache) == sorted(found), f"the program's folder holds {builds(cache)}")


def deleted_file_is_repaired(setting, cache, exe):
    """A file deleted from the build is unpacked afresh; nothing else stays."""
    setting.run(exe, cache, os.path.join(setting.work, "r1.txt"))
    build = os.path.join(program_folder(cache), builds(cache)[0])
    data = os.path.join(build, "data.txt")
    expected = open(data, "rb").read()
    os.remove(data)
    code, out, err = setting.run(exe, cache, os.path.join(setting.work, "r2.txt"))
    expect_ran_from_build(setting, code, out, err, read_report(os.path.join(setting.work, "r2.txt")), cache)
    check(os.path.exists(data) and open(data, "rb").read() == expected, "data.txt was not unpacked again")
    check(builds(cache) == [os.path.basename(build)], f"the program's folder holds {builds(cache)}")


def shortened_file_is_repaired(setting, cache, exe):
    """A file of another size than packed makes the build damaged."""
    setting.run(exe, cache, os.path.join(setting.work, "r1.txt"))
    build = os.path.join(program_folder(cache), builds(cache)[0])
    data = os.path.join(build, "data.txt")
    expected = open(data, "rb").read()
    with open(data, "wb") as f:
        f.write(expected[:-1])
    code, out, err = setting.run(exe, cache, os.path.join(setting.work, "r2.txt"))
    expect_ran_from_build(setting, code, out, err, read_report(os.path.join(setting.work, "r2.txt")), cache)
    check(open(data, "rb").read() == expected, "data.txt was not unpacked again")


def damaged_build_in_use_falls_back(setting, cache, exe):
    """A damaged build that a running start holds cannot be replaced: the
    next start runs from a per-run directory and leaves the build alone."""
    release = os.path.join(setting.work, "release")
    running = start_held(setting, exe, cache, os.path.join(setting.work, "r1.txt"), release)
    try:
        build = os.path.join(program_folder(cache), builds(cache)[0])
        os.remove(os.path.join(build, "data.txt"))
        damaged = tree(build)
        report = os.path.join(setting.work, "r2.txt")
        code, out, err = setting.run(exe, cache, report)
        expect_ran_per_run(setting, code, out, err, read_report(report))
        check(tree(build) == damaged, "the build in use was changed")
    finally:
        open(release, "w").close()
        running.communicate(timeout=120)
    # Once it is free, the next start repairs it.
    report = os.path.join(setting.work, "r3.txt")
    code, out, err = setting.run(exe, cache, report)
    expect_ran_from_build(setting, code, out, err, read_report(report), cache)
    check(os.path.exists(os.path.join(build, "data.txt")), "the build was not repaired once free")


def killed_cold_start_leaves_nothing(setting, cache, exe):
    """A launcher killed while it unpacks leaves its staging folder; the
    next start runs right and a moment later no staging folder is left."""
    process = setting.start(exe, cache, os.path.join(setting.work, "k.txt"))
    deadline = time.monotonic() + 120
    staging = None
    while staging is None and time.monotonic() < deadline and process.poll() is None:
        found = glob.glob(os.path.join(cache, "*", "*.staging-*", "data.txt"))
        staging = os.path.dirname(found[0]) if found else None
        time.sleep(0.002)
    process.send_signal(signal.SIGKILL)
    process.communicate(timeout=60)
    check(staging is not None, "no staging folder was seen while the launcher unpacked")
    check(os.path.isdir(staging), "the killed launcher's staging folder is gone already: the test saw nothing")
    report = os.path.join(setting.work, "r2.txt")
    code, out, err = setting.run(exe, cache, report, {"TAVRIK_TEST_SLEEP_MS": "2500"})
    expect_ran_from_build(setting, code, out, err, read_report(report), cache)
    check(not os.path.exists(staging), f"the staging folder {staging} is still there")
    check(len(builds(cache)) == 1, f"the program's folder holds {builds(cache)}")


def old_build_removed_once_unused(setting, cache, exe):
    """v1 runs while v2 of the same program starts: v1's build is left as it
    is while it runs, removed by a start after it ended; v2 runs."""
    v1 = setting.pack("v1/Tool.exe", [os.path.join(setting.work, "data.txt")])
    v2 = setting.pack("v2/Tool.exe", [os.path.join(setting.work, "data.txt"), os.path.join(setting.work, "more.txt")])
    release = os.path.join(setting.work, "release")
    running = start_held(setting, v1, cache, os.path.join(setting.work, "v1.txt"), release)
    try:
        v1_build = read_report(os.path.join(setting.work, "v1.txt"))["library_path"].split("\\")[-2]
        v1_tree = tree(os.path.join(program_folder(cache), v1_build))
        code, out, err = setting.run(v2, cache, os.path.join(setting.work, "v2.txt"), {"TAVRIK_TEST_SLEEP_MS": "2500"})
        v2_build = expect_ran_from_build(setting, code, out, err, read_report(os.path.join(setting.work, "v2.txt")),
                                         cache)
        check(v2_build != v1_build, "v1 and v2 share a build")
        check(builds(cache) == sorted([v1_build, v2_build]), f"while v1 runs the folder holds {builds(cache)}")
        check(tree(os.path.join(program_folder(cache), v1_build)) == v1_tree, "v1's build changed while it ran")
    finally:
        open(release, "w").close()
        out, err = running.communicate(timeout=120)
    check(running.returncode == APP_EXIT_CODE, f"v1 ended with {running.returncode}: {err!r}")
    code, out, err = setting.run(v2, cache, os.path.join(setting.work, "v2b.txt"), {"TAVRIK_TEST_SLEEP_MS": "2500"})
    expect_ran_from_build(setting, code, out, err, read_report(os.path.join(setting.work, "v2b.txt")), cache)
    check(builds(cache) == [v2_build], f"after v1 ended the folder holds {builds(cache)}, expected only v2's")


def link_as_build_is_never_followed(setting, cache, exe):
    """A Unix link planted where the build would be is neither used nor
    touched; the program runs from a per-run directory."""
    probe = os.path.join(setting.work, "probe_cache")
    setting.run(exe, probe, os.path.join(setting.work, "r0.txt"))
    program = os.path.basename(program_folder(probe))
    build = builds(probe)[0]
    elsewhere = os.path.join(setting.work, "elsewhere")
    os.makedirs(elsewhere)
    with open(os.path.join(elsewhere, "keep.txt"), "w") as f:
        f.write("keep")
    os.makedirs(os.path.join(cache, program))
    os.symlink(elsewhere, os.path.join(cache, program, build))
    before = tree(elsewhere)
    report = os.path.join(setting.work, "r1.txt")
    code, out, err = setting.run(exe, cache, report)
    expect_ran_per_run(setting, code, out, err, read_report(report))
    check(tree(elsewhere) == before, "what the link points to changed")
    check(os.path.islink(os.path.join(cache, program, build)), "the link itself is gone")
    check(sorted(os.listdir(os.path.join(cache, program))) == [build], "something was left beside the link")


def program_folder_link_is_never_followed(setting, cache, exe):
    """The same for a link in place of the program's folder."""
    probe = os.path.join(setting.work, "probe_cache")
    setting.run(exe, probe, os.path.join(setting.work, "r0.txt"))
    program = os.path.basename(program_folder(probe))
    elsewhere = os.path.join(setting.work, "elsewhere")
    os.makedirs(elsewhere)
    os.makedirs(cache)
    os.symlink(elsewhere, os.path.join(cache, program))
    report = os.path.join(setting.work, "r1.txt")
    code, out, err = setting.run(exe, cache, report)
    expect_ran_per_run(setting, code, out, err, read_report(report))
    check(os.listdir(elsewhere) == [], f"something was written through the link: {os.listdir(elsewhere)}")


def location_that_cannot_be_made(setting, cache, exe):
    """A location below a file cannot be made: the start falls back."""
    with open(cache, "w") as f:
        f.write("a file, not a folder")
    for location in (os.path.join(cache, "below"), "relative\\cache"):
        report = os.path.join(setting.work, "r1.txt")
        if os.path.exists(report):
            os.remove(report)
        code, out, err = setting.run(exe, location if location.startswith("relative") else windows_path(location),
                                     report)
        expect_ran_per_run(setting, code, out, err, read_report(report))
    check(open(cache).read() == "a file, not a folder", "the file in the way changed")
    check(not os.path.exists(os.path.join(setting.cwd, "relative")), "a relative location was made in the cwd")


class Skipped(Exception):
    pass


def make_unwritable(paths):
    """Marks every folder and file in `paths` immutable (chattr +i): root,
    as whom Wine runs here, can then neither create, rename nor delete
    anything in them, nor change the files, where a mode of 0555 would not
    stop it."""
    result = subprocess.run(["chattr", "+i", *paths], capture_output=True, text=True)
    if result.returncode != 0:
        make_writable(paths)
        raise Skipped(f"chattr +i: {result.stderr.strip()}")
    probe = os.path.join(paths[0], "probe") if os.path.isdir(paths[0]) else paths[0] + ".probe"
    try:
        open(probe, "x").close()
    except PermissionError:
        return
    os.remove(probe)
    make_writable(paths)
    raise Skipped("an immutable folder still takes new files here")


def make_writable(paths):
    subprocess.run(["chattr", "-i", *[p for p in paths if os.path.lexists(p)]], capture_output=True)


def every_path(top):
    found = [top]
    for root, dirs, files in os.walk(top):
        found += [os.path.join(root, name) for name in dirs + files]
    return found


def read_only_locations(setting, cache, exe):
    """A location that cannot be written: the start falls back to a per-run
    directory and changes nothing there, except that a complete build
    already in it still starts warm."""
    probe = os.path.join(setting.work, "probe_cache")
    setting.run(exe, probe, os.path.join(setting.work, "r0.txt"))
    program = os.path.basename(program_folder(probe))
    build = builds(probe)[0]
    in_program_dir = setting.pack("ro_app/Tool.exe", [os.path.join(setting.work, "data.txt")],
                                  ["--cache-dir", "{PROGRAM_DIR}\\cache"])

    def empty_location():
        os.makedirs(cache)
        return cache

    def empty_program_folder():
        os.makedirs(os.path.join(cache, program))
        return cache

    def complete_build():
        shutil.copytree(probe, cache, symlinks=True)
        return cache

    def damaged_build():
        shutil.copytree(probe, cache, symlinks=True)
        os.remove(os.path.join(cache, program, build, "data.txt"))
        return cache

    # What is made unwritable, the program, and whether it runs warm.
    rows = [
        ("an empty location", empty_location, exe, False),
        ("an empty program folder", empty_program_folder, exe, False),
        ("a complete build", complete_build, exe, True),
        ("a build with a file missing", damaged_build, exe, False),
        ("{PROGRAM_DIR} for a location below it", lambda: os.path.dirname(in_program_dir), in_program_dir, False),
    ]
    problems = []
    for number, (label, make, program_exe, warm) in enumerate(rows):
        shutil.rmtree(cache, ignore_errors=True)
        top = make()
        paths = every_path(top)
        make_unwritable(paths)
        # After the flags were set: setting them changes entries' times.
        before = tree(top)
        try:
            report = os.path.join(setting.work, f"ro{number}.txt")
            code, out, err = setting.run(program_exe, None if program_exe == in_program_dir else cache, report)
            if warm:
                expect_ran(code, out, err, read_report(report), windows_path(os.path.join(cache, program, build)))
            else:
                expect_ran_per_run(setting, code, out, err, read_report(report))
            check(tree(top) == before, "the unwritable location changed")
        except ScenarioFailure as failure:
            problems.append(f"{label}: {failure}")
        finally:
            make_writable(paths)
    check(not problems, "; ".join(problems))


SCENARIOS = [
    second_start_is_warm,
    simultaneous_first_starts,
    deleted_file_is_repaired,
    shortened_file_is_repaired,
    damaged_build_in_use_falls_back,
    killed_cold_start_leaves_nothing,
    old_build_removed_once_unused,
    link_as_build_is_never_followed,
    program_folder_link_is_never_followed,
    location_that_cannot_be_made,
    read_only_locations,
]


def main():
    parser = options()
    parser.add_argument("--only", default="")
    args = parser.parse_args()
    setting = Setting(args)
    if os.path.basename(setting.work) != WORK_NAME:
        print("refusing an unexpected work directory")
        return 1
    # A cold wineserver makes the first process slow: one throwaway start.
    subprocess.run([args.wine_run, "cmd", "/c", "exit"], env=setting.env(None, "unused"), stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=setting.cwd, timeout=300)
    failures = 0
    scenarios = [s for s in SCENARIOS if args.only in s.__name__]
    for scenario in scenarios:
        # A run stopped midway may have left immutable entries.
        if os.path.isdir(setting.work):
            make_writable(every_path(setting.work))
        fresh_work(setting.work, WORK_NAME)
        # Big enough that unpacking takes a moment: random bytes do not
        # compress.
        with open(os.path.join(setting.work, "data.txt"), "wb") as f:
            f.write(os.urandom(48 << 20))
        with open(os.path.join(setting.work, "more.txt"), "w") as f:
            f.write("v2")
        exe = setting.pack("app/Tool.exe", [os.path.join(setting.work, "data.txt")])
        try:
            scenario(setting, os.path.join(setting.work, "cache"), exe)
            print(f"ok: {scenario.__name__}")
        except Skipped as reason:
            print(f"skipped: {scenario.__name__}: {reason}")
        except ScenarioFailure as failure:
            failures += 1
            print(f"FAILED: {scenario.__name__}: {failure}")
    shutil.rmtree(setting.work, ignore_errors=True)
    print(f"cached mode: {len(scenarios) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
