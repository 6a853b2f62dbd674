#!/usr/bin/env python3
"""The benchmark's driver; scripts/bench builds first, then runs this.

Makes the workload, packs it, measures under a warm Wine through the
Windows-side harness, decodes natively for context, and writes
bench/RESULTS.md and bench/start-phases.png. Every figure written comes
from a measurement of this run.

Knobs (environment): BENCH_RUNS (Wine rounds, default 21),
BENCH_PACK_RUNS (packs at the default level, default 5),
BENCH_FAST_PACK_RUNS (packs at the fast level, default 11),
BENCH_CODEC_RUNS (native decodes per codec, default 11),
BENCH_STALE_RUNS (rounds of the series with stale directories, default 11),
BENCH_STALE_DIRS (stale directories planted per round, default 3),
BENCH_STALE_HOLD_MS (how long the application runs in that series' held
runs, default 1500; 0 leaves them out),
BENCH_MEMORY_RUNS (probe runs of the 120 MB application, default 5),
BENCH_WINDOW_LOGS (the decoding windows of the size-against-start table,
default 20,21,22,23,24,27), BENCH_WINDOW_BLOCKS and BENCH_WINDOW_ROUNDS
(blocks of rounds per window in that table and rounds per block, default 3
and 5),
BENCH_WARM_RUNS (rounds of the cached warm start against tavrik-run, a
series of their own on each processor setting, default 301),
BENCH_QUIET_WAIT (seconds to wait, before each part, for other programs on
the machine to go quiet; default 120).
"""

import datetime
import hashlib
import json
import os
import platform
import re
import shutil
import statistics
import struct
import subprocess
import sys
import time

ROOT = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
BENCH = os.path.join(ROOT, "bench")
WORK = os.path.join(ROOT, "build", "bench")
WINDOWS = os.path.join(ROOT, "build", "windows")
# What the build made; copied into build/bench/bin when a run starts, and
# only the copies are used, so a rebuild while the run goes on (the build
# trees are shared with whoever else works here) cannot mix two builds.
BUILT = {
    "pack": os.path.join(ROOT, "build", "host", "tavrik-pack"),
    "stub": os.path.join(WINDOWS, "tavrik-launcher.exe"),
    "app": os.path.join(WINDOWS, "bench", "tavrik-bench-app.dll"),
    "harness": os.path.join(WINDOWS, "bench", "tavrik-bench-harness.exe"),
    "floor": os.path.join(WINDOWS, "bench", "tavrik-bench-floor.exe"),
    "runner": os.path.join(WINDOWS, "tavrik-run.exe"),
}
BIN = os.path.join(WORK, "bin")
PACK = os.path.join(BIN, "tavrik-pack")
STUB = os.path.join(BIN, "tavrik-launcher.exe")
APP_DLL = os.path.join(BIN, "tavrik-bench-app.dll")
HARNESS = os.path.join(BIN, "tavrik-bench-harness.exe")
FLOOR = os.path.join(BIN, "tavrik-bench-floor.exe")
RUNNER = os.path.join(BIN, "tavrik-run.exe")
WINE_RUN = os.path.join(ROOT, "scripts", "wine-run")
CODECS = os.path.join(WORK, "codecs")
PACKED = os.path.join(WORK, "packed.exe")
PACKED_FAST = os.path.join(WORK, "packed-fast.exe")
# The same workload packed for cached mode, at the default level.
PACKED_CACHED = os.path.join(WORK, "packed-cached.exe")
# The same application grown to 120 MB, for its memory figures.
LARGE_BYTES = 120_000_000
PACKED_LARGE = os.path.join(WORK, "packed-120mb.exe")
# The workload laid out as the launcher extracts it: what a stale
# directory holds.
STALE_TEMPLATE = os.path.join(WORK, "stale-template")
RESULTS = os.path.join(BENCH, "RESULTS.md")
CHART = os.path.join(BENCH, "start-phases.png")
# What each launcher change bought, kept by hand from bench/compare.py runs.
CHANGES = os.path.join(BENCH, "CHANGES.md")

MiB = 1024 * 1024
KiB = 1024

# Targets: reported beside the figures, never enforced.
TARGET_START_OVER_FLOOR = 1.5
# The full start against the same job done plainly, per series.
TARGET_START_OVER_SAMEJOB = {"all": 1.25, "one": 1.15}
TARGET_PEAK_WS_MIB = 110
# The full start against the job's sequential limit, per series.
TARGET_START_OVER_LIMIT = {"one": 1.05}
# Peak working set of the top-level instance, reference workload and 120 MB
# application.
TARGET_TOP_WS_MIB = 40
TARGET_TOP_WS_LARGE_MIB = 64

# The job's parts as the floor program's --parts mode times them alone, in
# one process; their sum is the sequential limit.
LIMIT_PARTS = ["map_us", "decode_us", "write_us", "spawn_us", "delete_us"]
LIMIT_LABELS = {
    "map_us": "mapping the packed file and finding the frame",
    "decode_us": "cold decode of the packed frame (a fresh decoder, streamed through 1 MiB)",
    "write_us": "writing 65 files from memory (CREATE_NEW, 1 MiB writes)",
    "spawn_us": "starting a trivial child and waiting for it",
    "delete_us": "deleting the tree",
}
# Cached mode: a warm start against tavrik-run on the same unpacked files,
# a cold start against today's per-run full start.
TARGET_WARM_OVER_RUNNER = 1.10
TARGET_COLD_OVER_START = 1.10
TARGET_STUB_KIB = 200
TARGET_PACK_DEFAULT_S = 25
TARGET_PACK_FAST_S = 2


def knob(name, default):
    value = int(os.environ.get(name, default))
    if value < 1:
        sys.exit(f"bench: {name} must be at least 1")
    return value


def say(text):
    print("bench: " + text, flush=True)


def run(command, **kwargs):
    # Every program, Windows ones above all, starts in an empty directory of
    # the benchmark's own, never in the repository.
    scratch = os.path.join(WORK, "cwd")
    os.makedirs(scratch, exist_ok=True)
    kwargs.setdefault("cwd", scratch)
    return subprocess.run(command, check=True, **kwargs)


def windows_path(path):
    # Wine's Z: drive is the Unix root.
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def stats(values):
    values = [v for v in values if v is not None]
    if not values:
        return None
    return statistics.median(values), min(values), max(values)


# ---------------------------------------------------------------- machine

def machine_facts():
    facts = {"nproc": os.cpu_count()}
    try:
        facts["nproc"] = int(subprocess.run(["nproc"], capture_output=True, text=True).stdout.strip())
    except (OSError, ValueError):
        pass
    with open("/proc/cpuinfo") as f:
        models = [line.split(":", 1)[1].strip() for line in f if line.startswith("model name")]
    facts["cpu"] = models[0] if models else "unknown"
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal:"):
                facts["memory_gib"] = int(line.split()[1]) / (1024 * 1024)
    facts["kernel"] = platform.release()
    facts["wine"] = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    facts["date"] = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    git = ["git", "-C", ROOT]
    facts["commit"] = subprocess.run(git + ["rev-parse", "--short", "HEAD"], capture_output=True,
                                     text=True).stdout.strip()
    changed = subprocess.run(git + ["status", "--porcelain", "--untracked-files=no"], capture_output=True,
                             text=True).stdout.splitlines()
    facts["changed"] = [line[3:] for line in changed]
    return facts


def others_busy(seconds=3.0):
    """Processors kept busy by other programs: sampled from /proc/stat while
    this run does nothing, so none of it is ours."""
    def sample():
        with open("/proc/stat") as f:
            values = [int(v) for v in f.readline().split()[1:9]]  # user .. steal
        idle = values[3] + (values[4] if len(values) > 4 else 0)
        return sum(values) - idle, sum(values)
    busy0, total0 = sample()
    time.sleep(seconds)
    busy1, total1 = sample()
    processors = os.cpu_count() or 1
    return processors * (busy1 - busy0) / max(1, total1 - total0)


def wait_for_quiet(when, busy, limit):
    """Waits, up to `limit` seconds, until other programs keep less than a
    fifth of a processor busy; notes what it saw in `busy`."""
    start = time.perf_counter()
    while True:
        value = others_busy()
        waited = time.perf_counter() - start
        if value < 0.2 or waited >= limit:
            busy[when] = (value, waited)
            if waited >= 3.5:
                say(f"waited {waited:.0f} s for other work to end {when}; now {value:.2f} processors busy")
            return


# ---------------------------------------------------------------- packing

def sha256_file(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def pack_runs(workload, threads, default_runs, fast_runs):
    """Packs at the default and at the fast level, interleaved."""
    help_text = subprocess.run([PACK, "pack", "--help"], capture_output=True, text=True).stdout
    level = re.search(r"--level N\s+zstd level [0-9-]+ \(default (\d+)", help_text)
    fast = re.search(r"--fast\s+zstd level (\d+)", help_text)
    if fast:
        fast_option, fast_level = ["--fast"], int(fast.group(1))
    else:
        fast_option, fast_level = ["--level", "3"], 3
    has_threads = "--threads" in help_text
    results = {"default": {"times": [], "sizes": set(), "hashes": set(),
                           "level": int(level.group(1)) if level else None},
               "fast": {"times": [], "sizes": set(), "hashes": set(), "level": fast_level,
                        "option": " ".join(fast_option)}}
    for i in range(max(default_runs, fast_runs)):
        for kind, runs, out, extra in (("default", default_runs, PACKED, []),
                                       ("fast", fast_runs, PACKED_FAST, fast_option)):
            if i >= runs:
                continue
            command = [PACK, "pack", "-o", out, "--stub", STUB] + extra
            if has_threads:
                command += ["--threads", str(threads)]
            command += [workload["app_dll"], workload["files_dir"]]
            start = time.perf_counter()
            run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            took = time.perf_counter() - start
            results[kind]["times"].append(took)
            results[kind]["sizes"].add(os.path.getsize(out))
            results[kind]["hashes"].add(sha256_file(out))
            say(f"pack {kind} #{len(results[kind]['times'])}: {took:.2f} s")
    results["threads"] = threads if has_threads else None
    return results


def make_overlay_variant(packed, out):
    """The packed file with its last section header (".tavrik") removed and
    the image size cut to match: the same bytes, but the archive is now
    overlay that the loader does not map."""
    with open(packed, "rb") as f:
        data = bytearray(f.read())
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections = struct.unpack_from("<H", data, pe + 6)[0]
    optional = struct.unpack_from("<H", data, pe + 20)[0]
    last = pe + 24 + optional + 40 * (sections - 1)
    if data[last:last + 8] != b".tavrik\0":
        return False
    virtual_address = struct.unpack_from("<I", data, last + 12)[0]
    struct.pack_into("<H", data, pe + 6, sections - 1)
    struct.pack_into("<I", data, pe + 24 + 56, virtual_address)  # SizeOfImage
    data[last:last + 40] = bytes(40)
    with open(out, "wb") as f:
        f.write(data)
    return True


def extract_frame(packed, out):
    """The zstd frame of the ".tavrik" section (after the three-byte magic)."""
    with open(packed, "rb") as f:
        data = f.read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections = struct.unpack_from("<H", data, pe + 6)[0]
    optional = struct.unpack_from("<H", data, pe + 20)[0]
    table = pe + 24 + optional
    for i in range(sections):
        entry = table + 40 * i
        if data[entry:entry + 8] == b".tavrik\0":
            virtual_size, _, raw_size, raw_pointer = struct.unpack_from("<IIII", data, entry + 8)
            section = data[raw_pointer:raw_pointer + min(virtual_size, raw_size)]
            if section[:3] != b"ZUB":
                sys.exit("bench: the .tavrik section does not start with the magic")
            with open(out, "wb") as f:
                f.write(section[3:])
            return len(section)
    sys.exit("bench: no .tavrik section in " + packed)


# ---------------------------------------------------------------- Wine

# The benchmark's own Wine prefix, created by scripts/wine-run on first use:
# its server can be stopped and restarted with the processor set each
# series needs without touching anyone's work in build/wineprefix.
PREFIX = os.path.join(WORK, "wineprefix")

# The two series: Wine free to use every processor, and Wine with all its
# processes and its server held to processor 0 (taskset). The second exists
# because on this kind of virtual machine handing work between processes on
# two processors costs far more than on one; the report shows both.
SERIES = [
    ("all", "all processors", []),
    ("one", "one processor (`taskset -c 0`)", ["taskset", "-c", "0"]),
]


def wine_env():
    env = dict(os.environ)
    env["WINEPREFIX"] = PREFIX
    env["WINEDEBUG"] = "-all"
    env["LC_ALL"] = "C.UTF-8"
    return env


def stop_server(env):
    """Stops this prefix's server (ours alone) and waits for it to end."""
    subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def harness_run(key, pin, rounds, packed, archive_bytes, extra):
    """One harness run on a freshly started server; its rows."""
    env = wine_env()
    if not os.path.exists(os.path.join(PREFIX, "system.reg")):
        say("creating the benchmark's Wine prefix " + os.path.relpath(PREFIX, ROOT))
        run([WINE_RUN, FLOOR, "--child"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    stop_server(env)
    # A fresh server that stays for 120 s after its last client, warmed
    # with one process whose output goes nowhere.
    run(pin + ["wineserver", "-p120"], env=env)
    run(pin + [WINE_RUN, FLOOR, "--child"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    out = os.path.join(WORK, f"runs-{key}.tsv")
    start = time.perf_counter()
    run(pin + [WINE_RUN, HARNESS, "--runs", str(rounds), "--out", windows_path(out), "--work", windows_path(WORK),
               "--launcher", windows_path(packed), "--floor", windows_path(FLOOR),
               "--archive-bytes", str(archive_bytes)] + extra, env=env)
    say(f"Wine rounds '{key}' took {time.perf_counter() - start:.1f} s")
    return parse_runs(out)


# The harness's options for the workload packed for cached mode, by the
# workload's digest: packed once per run of the bench.
CACHED_OPTIONS = {}


def pack_cached(workload):
    """The workload packed for cached mode; the harness's options for it."""
    if workload["sha256"] not in CACHED_OPTIONS:
        run([PACK, "pack", "-q", "--cache", "-o", PACKED_CACHED, "--stub", STUB, workload["app_dll"],
             workload["files_dir"]], stdout=subprocess.DEVNULL)
        CACHED_OPTIONS[workload["sha256"]] = ["--cached", windows_path(PACKED_CACHED), "--runner",
                                              windows_path(RUNNER), "--library",
                                              os.path.basename(workload["app_dll"])]
    return CACHED_OPTIONS[workload["sha256"]]


def wine_series(workload, rounds, key, pin):
    overlay = os.path.join(WORK, "packed-overlay.exe")
    extra = ["--overlay", windows_path(overlay)] if make_overlay_variant(PACKED, overlay) else []
    if os.path.exists(RUNNER):
        extra += pack_cached(workload)
    return harness_run(key, pin, rounds, PACKED, workload["archive_bytes"], extra)


def warm_series(workload, rounds, key, pin):
    """Rounds of only the cached warm start and tavrik-run on its files: a
    round costs some 30 ms, so many of them give a steadier ratio than the
    full series' few."""
    return harness_run(f"warm-{key}", pin, rounds, PACKED, workload["archive_bytes"],
                       pack_cached(workload) + ["--mode", "warm"])


def make_stale_template(workload):
    """The workload as the launcher lays it out (the application library and
    the files below one directory), linked or copied once per workload."""
    marker = os.path.join(STALE_TEMPLATE, ".workload")
    if os.path.exists(marker) and open(marker).read() == workload["sha256"]:
        return
    if os.path.isdir(STALE_TEMPLATE):
        shutil.rmtree(STALE_TEMPLATE)
    os.makedirs(STALE_TEMPLATE)

    def place(source, target):
        os.makedirs(os.path.dirname(target), exist_ok=True)
        try:
            os.link(source, target)
        except OSError:
            shutil.copy2(source, target)

    place(workload["app_dll"], os.path.join(STALE_TEMPLATE, os.path.basename(workload["app_dll"])))
    for name, _ in workload["entries"][1:]:
        place(os.path.join(workload["files_dir"], *name.split("\\")), os.path.join(STALE_TEMPLATE, *name.split("\\")))
    with open(marker, "w") as f:
        f.write(workload["sha256"])


def stale_series(workload, rounds, count, hold_ms):
    """Wine held to one processor: the full start with and without `count`
    stale directories planted before it, also with an application that runs
    `hold_ms` before returning."""
    make_stale_template(workload)
    return harness_run("stale", SERIES[1][2], rounds, PACKED, workload["archive_bytes"],
                       ["--mode", "stale", "--stale", str(count), "--stale-source", windows_path(STALE_TEMPLATE),
                        "--hold-ms", str(hold_ms)])


def memory_series(large, rounds):
    """Probe runs of the 120 MB application, Wine held to one processor."""
    return harness_run("memory-120mb", SERIES[1][2], rounds, PACKED_LARGE, large["archive_bytes"],
                       ["--mode", "memory"])


def default_window_log():
    """The packer's default decoding window, from its help text."""
    help_text = subprocess.run([PACK, "pack", "--help"], capture_output=True, text=True).stdout
    found = re.search(r"--window-log N\s+decoding window of 2\^N bytes, [0-9-]+ \(default (\d+)", help_text)
    return int(found.group(1)) if found else 27


def window_series(workload, logs, blocks, rounds, quiet_wait, busy):
    """The reference workload packed with each decoding window, then blocks of
    pair-mode rounds (full start, same-job floor, the job's parts) on one
    processor that alternate between the windows, the order reversed every
    other block, and a few probe runs of each for the peak working set."""
    pin = dict((key, pin) for key, _, pin in SERIES)["one"]
    packed, sizes = {}, {}
    for log in logs:
        packed[log] = os.path.join(WORK, f"packed-window-{log}.exe")
        run([PACK, "pack", "-o", packed[log], "--stub", STUB, "--window-log", str(log), workload["app_dll"],
             workload["files_dir"]], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        sizes[log] = extract_frame(packed[log], os.path.join(WORK, f"frame-window-{log}.zst"))
    rows = {log: [] for log in logs}
    wait_for_quiet("before the rounds of each window", busy, quiet_wait)
    for block in range(blocks):
        for log in logs if block % 2 == 0 else logs[::-1]:
            found = harness_run(f"window-{log}", pin, rounds, packed[log], workload["archive_bytes"],
                                ["--mode", "pair"])
            rows[log] += [dict(r, round=r["round"] + 1000 * block) for r in found if r["round"] > 0]
    for log in logs:
        rows[log] += harness_run(f"window-{log}-memory", pin, 2, packed[log], workload["archive_bytes"],
                                 ["--mode", "memory"])
    return {log: {"section": sizes[log], "figures": summarise(rows[log])} for log in logs}


def parse_runs(path):
    rows = []
    with open(path) as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            fields = line.rstrip("\n").split("\t")
            row = {"kind": fields[0], "round": int(fields[1]),
                   "total_us": None if fields[2] == "NA" else float(fields[2]), "exit": fields[3]}
            for field in fields[4:]:
                key, _, value = field.partition("=")
                try:
                    row[key] = float(value)
                except ValueError:
                    row[key] = value
            rows.append(row)
    for row in rows:
        if row["kind"] in ("launcher", "floor", "samejob", "probe", "samejob-probe", "trivial", "decode",
                           "limit", "stale", "held", "stale-held") and row["exit"] != "0":
            sys.exit(f"bench: a {row['kind']} run ended with {row['exit']}; see {path}")
        if row["kind"] in ("probe", "samejob-probe") and row.get("report") != "ok":
            sys.exit(f"bench: a probe run left no report; see {path}")
    return rows


# The start of the packed workload broken into what can be seen from the
# outside: (key, label, from, to, what it covers).
PHASES = [
    ("create", "CreateProcessW until the top-level exists", None, "top_created_us",
     "the caller's CreateProcessW up to the moment the system records the new process"),
    ("startup", "top-level start-up", "top_created_us", "dir_us",
     "loading and initialising the launcher image, the role decision, working out the target directory, "
     "opening the archive and decoding its first bytes, until the target directory appears"),
    ("extract", "extraction (decode + write 65 files)", "dir_us", "last_written_us",
     "from the target directory's appearance to the last write into any extracted file"),
    ("child_launch", "child launch by the top-level", "last_written_us", "child_created_us",
     "closing the last file and the decoder, preparing the child's environment and command line, "
     "CreateProcessW up to the moment the child process exists"),
    ("child_start", "child start-up and library load", "child_created_us", "run_code_entry_us",
     "loading and initialising the child, its role decision, reading the first archive name, "
     "LoadLibraryExW of the application DLL, up to run_code's first instruction"),
    ("run_code", "run_code (bench reporting only)", "run_code_entry_us", "run_code_return_us",
     "only the bench application's own reporting, which the plain runs skip"),
    ("child_exit", "child exit", "run_code_return_us", "child_exit_us",
     "from run_code's return to the system's record of the child's end"),
    ("cleanup", "clean-up and top-level exit", "child_exit_us", "top_exit_us",
     "the top-level waking up, deleting the target directory, and ending"),
    ("notice", "end seen by the caller", "top_exit_us", "total_us",
     "from the top-level's recorded end to the caller's wait returning"),
]


# The same-job floor's run broken into its steps, from the counter readings
# it reports and the system's times of it and its child.
SAMEJOB_PHASES = [
    ("create", "CreateProcessW until the process exists", None, "top_created_us",
     "the caller's CreateProcessW up to the moment the system records the new process"),
    ("startup", "start-up", "top_created_us", "entry_us",
     "loading and initialising the program until its main function runs"),
    ("decode", "mapping and decoding into one buffer", "entry_us", "decoded_us",
     "mapping the packed file, ZSTD_decompressDCtx of the whole frame"),
    ("write", "writing 65 files (1 MiB writes)", "decoded_us", "written_us",
     "creating the directory and its subdirectories, CreateFileW, WriteFile of up to 1 MiB from the decoded "
     "buffer, CloseHandle"),
    ("release", "freeing the buffer, unmapping", "written_us", "released_us",
     "free() of the decoded archive, UnmapViewOfFile, closing the file"),
    ("child_launch", "child launch", "released_us", "child_created_us",
     "GetModuleFileNameW, CreateProcessW up to the moment the child process exists"),
    ("child", "trivial child start to end", "child_created_us", "child_exit_us",
     "a process of the same program that returns at once"),
    ("cleanup", "deleting the tree", "child_exit_us", "deleted_us",
     "waking up from the wait, FindFirstFileW/DeleteFileW/RemoveDirectoryW walk over the tree"),
    ("exit", "report and exit (probe only)", "deleted_us", "top_exit_us",
     "writing the probe's report, ending the process"),
    ("notice", "end seen by the caller", "top_exit_us", "total_us",
     "from the process's recorded end to the caller's wait returning"),
]


def phase_durations(probe, phases=PHASES):
    probe = dict(probe)
    if "dir_seen_us" in probe and "dir_unseen_us" in probe:
        probe["dir_us"] = (probe["dir_seen_us"] + probe["dir_unseen_us"]) / 2
    durations = {}
    for key, _, start, end, _ in phases:
        begin = 0.0 if start is None else probe.get(start)
        finish = probe.get(end)
        durations[key] = None if begin is None or finish is None else (finish - begin) / 1000
    return durations


# ---------------------------------------------------------------- native decoding

def codec_runs(workload, frame_path, runs):
    out = subprocess.run([CODECS, frame_path, str(workload["archive_bytes"]), str(runs), WORK],
                         check=True, capture_output=True, text=True)
    if out.stderr:
        sys.stderr.write(out.stderr)
    sizes, versions, times = {}, {}, {}
    for line in out.stdout.splitlines():
        parts = line.split()
        if parts[0] == "size":
            sizes[parts[1]] = int(parts[2])
        elif parts[0] == "version":
            versions[parts[1]] = parts[2]
        elif parts[0] == "time" and int(parts[2]) > 0:
            times.setdefault(parts[1], []).append(float(parts[3]) / 1000)
    return sizes, versions, times


# ---------------------------------------------------------------- report

def ms(value):
    return "n/a" if value is None else f"{value:,.1f} ms"


def mib(value):
    return "n/a" if value is None else f"{value / MiB:,.1f} MiB"


def seconds(value):
    return f"{value:,.2f} s"


def met(ok):
    return "yes" if ok else "**no**"


def row(cells):
    return "| " + " | ".join(cells) + " |"


def factor(value):
    return "n/a" if value is None else f"{value:.2f}"


def percent(value):
    return "n/a" if value is None else f"{value * 100:.1f} %"


def three(s, unit=ms):
    return [unit(None), "", ""] if s is None else [unit(s[0]), unit(s[1]), unit(s[2])]


def summarise(rows):
    """Every figure of one series of Wine rounds (round 0, the warm-up, left out)."""
    rounds = [r for r in rows if r["round"] > 0]

    def kind(name):
        return [r for r in rounds if r["kind"] == name]

    def times(name, key="total_us"):
        return [r[key] / 1000 for r in kind(name) if key in r and r[key] is not None]

    def per_round(numerator, denominator):
        below = {r["round"]: r["total_us"] for r in kind(denominator)}
        return stats([r["total_us"] / below[r["round"]] for r in kind(numerator) if r["round"] in below])

    limit = {r["round"]: sum(r[key] for key in LIMIT_PARTS) / 1000 for r in kind("limit")
             if all(key in r for key in LIMIT_PARTS)}

    launcher_ms = {r["round"]: r["total_us"] / 1000 for r in kind("launcher") if r["total_us"]}

    def over_limit(name):
        return stats([r["total_us"] / 1000 / limit[r["round"]] for r in kind(name) if r["round"] in limit])

    # The limit with one process's own start and end added, which every
    # full start carries and the limit, timed inside a running process, has not.
    trivial_ms = {r["round"]: r["total_us"] / 1000 for r in kind("trivial") if r["total_us"]}
    over_limit_and_start = stats([ms / (limit[n] + trivial_ms[n]) for n, ms in launcher_ms.items()
                                  if n in limit and n in trivial_ms])

    probes = kind("probe")
    durations = [phase_durations(p) for p in probes]
    samejob_probes = kind("samejob-probe")
    samejob_durations = [phase_durations(p, SAMEJOB_PHASES) for p in samejob_probes]
    out = {
        "launcher": stats(times("launcher")),
        "floor": stats(times("floor")),
        "ratio": per_round("launcher", "floor"),
        "samejob": stats(times("samejob")),
        "ratio_samejob": per_round("launcher", "samejob"),
        "samejob_over_floor": per_round("samejob", "floor"),
        "limit": stats(list(limit.values())),
        "limit_parts": {key: stats(times("limit", key)) for key in LIMIT_PARTS},
        "ratio_limit": over_limit("launcher"),
        "samejob_over_limit": over_limit("samejob"),
        "ratio_limit_and_start": over_limit_and_start,
        "checksum": stats(times("limit", "checksum_us")),
        "checksum_share": stats([r["checksum_us"] / 1000 / launcher_ms[r["round"]] for r in kind("limit")
                                 if "checksum_us" in r and r["round"] in launcher_ms]),
        "samejob_probe": stats(times("samejob-probe")),
        "samejob_phases": {key: stats([d[key] for d in samejob_durations]) for key, *_ in SAMEJOB_PHASES},
        "samejob_ws": stats([r["peak_working_set"] for r in samejob_probes]),
        "samejob_files": stats([r["files"] for r in samejob_probes]),
        "stale": stats(times("stale")),
        "ratio_stale": per_round("stale", "launcher"),
        "ratio_stale_samejob": per_round("stale", "samejob"),
        "stale_planted": sum(r.get("planted", 0) for r in kind("stale")),
        "stale_left": sum(r.get("stale_left", 0) for r in kind("stale")),
        "held": stats(times("held")),
        "stale_held": stats(times("stale-held")),
        "ratio_stale_held": per_round("stale-held", "held"),
        "stale_held_planted": sum(r.get("planted", 0) for r in kind("stale-held")),
        "stale_held_left": sum(r.get("stale_left", 0) for r in kind("stale-held")),
        "trivial": stats(times("trivial")),
        "cached_warm": stats(times("cached-warm")),
        "cached_cold": stats(times("cached-cold")),
        "run_same": stats(times("run-same")),
        "warm_over_runner": per_round("cached-warm", "run-same"),
        "cold_over_start": per_round("cached-cold", "launcher"),
        "probe": stats(times("probe")),
        "decode": stats(times("decode", "decode_us")),
        "map": stats(times("decode", "map_us")),
        "created_launcher": stats(times("launcher", "created_us")),
        "created_overlay": stats(times("overlay", "created_us")),
        "created_floor": stats(times("floor", "created_us")),
        "created_trivial": stats(times("trivial", "created_us")),
        "top_ws_values": [r["top_peak_working_set"] for r in probes],
        "dir_bytes": stats([r["bytes"] for r in probes]),
        "child_ws_values": [r["child_peak_working_set"] for r in probes],
        "top_ws": stats([r["top_peak_working_set"] for r in probes]),
        "top_private": stats([r["top_peak_private"] for r in probes if "top_peak_private" in r]),
        "child_ws": stats([r["child_peak_working_set"] for r in probes]),
        "child_private": stats([r["child_peak_private"] for r in probes]),
        "dir_window": stats([(r["dir_seen_us"] - r["dir_unseen_us"]) / 1000 for r in probes if "dir_seen_us" in r]),
        "polls": stats([r["polls"] for r in probes]),
        "memory_samples": stats([r["memory_samples"] for r in probes]),
        "phases": {key: stats([d[key] for d in durations]) for key, *_ in PHASES},
        "negative": sum(1 for d in durations + samejob_durations for v in d.values() if v is not None and v < 0),
        "runs": len(kind("launcher")),
        "probes": len(probes),
        "idle": next((r for r in rows if r["kind"] == "idle"), {}),
        "leftover": next((r for r in rows if r["kind"] == "leftover"), {}),
    }
    return out


def write_chart(series, chart_data, chart_script):
    """One panel per series: the launcher's median phases end to end, the
    same-job floor's beside them on the same time axis, then the plain
    runs' median totals."""
    panels = []
    right = 0.0
    for key, label, _ in SERIES:
        figures = series[key]
        path = f"{chart_data}.{key}"
        row_index = 0
        with open(path, "w") as f:
            ends = []
            for phases, durations, who in ((PHASES, figures["phases"], "launcher"),
                                           (SAMEJOB_PHASES, figures["samejob_phases"], "same-job floor")):
                position = 0.0
                for k, name, *_ in phases:
                    if durations[k] is None:
                        continue
                    duration = durations[k][0]
                    f.write(f'{row_index}\t"{who}: {name}"\t{position:.3f}\t{position + duration:.3f}\t'
                            f'{duration:.3f}\n')
                    position += duration
                    row_index += 1
                f.write("\n\n")
                ends.append(position)
                row_index += 1
            totals = [("launcher total (plain runs)", figures["launcher"][0]),
                      ("same-job floor total (plain runs)", figures["samejob"][0]),
                      ("floor total (decode + trivial child)", figures["floor"][0])]
            for name, value in totals:
                f.write(f'{row_index}\t"{name}"\t0\t{value:.3f}\t{value:.3f}\n')
                row_index += 1
        target = TARGET_START_OVER_SAMEJOB[key] * figures["samejob"][0]
        right = max(right, target, *ends, *(value for _, value in totals))
        panels.append((key, label.replace("`", ""), path, row_index, target))
    right *= 1.25
    height = sum(80 + 26 * rows for *_, rows, _ in panels) + 60
    script = [f'set terminal pngcairo noenhanced size 1300,{height} font "DejaVu Sans,10"',
              f'set output "{CHART}"',
              f'set multiplot layout {len(panels)},1 title "Start of the packed workload under Wine: '
              f'median of each phase (probe runs), laid end to end, beside the same job done plainly"',
              f"set xrange [0:{right:.1f}]", "set ytics scale 0", 'set grid xtics lc rgb "#dddddd"', "set key off",
              'set style fill solid 0.85 border lc rgb "#333333"', "set style textbox opaque noborder",
              "set xlabel \"milliseconds from the caller's CreateProcessW\""]
    for key, label, path, rows, target in panels:
        script += [f'set title "Wine on {label}"',
                   f"set yrange [{rows - 0.5}:-0.7]",
                   "unset arrow", "unset label",
                   f'set arrow from {target:.3f}, graph 0 to {target:.3f}, graph 1 nohead back dt 2 lw 2 '
                   'lc rgb "#c0392b"',
                   f'set label "target: {TARGET_START_OVER_SAMEJOB[key]} x same-job floor = {target:.0f} ms" '
                   f'at {target:.3f}, graph 0.97 right offset -0.5,0 tc rgb "#c0392b"',
                   f'plot "{path}" index 0 using (($3+$4)/2):1:3:4:($1-0.36):($1+0.36):ytic(2) with boxxyerror '
                   'lc rgb "#2e86c1", \\',
                   '     "" index 0 using 4:1:(sprintf("%.1f ms", $5)) with labels boxed left offset 0.6,0, \\',
                   '     "" index 1 using (($3+$4)/2):1:3:4:($1-0.36):($1+0.36):ytic(2) with boxxyerror '
                   'lc rgb "#27ae60", \\',
                   '     "" index 1 using 4:1:(sprintf("%.1f ms", $5)) with labels boxed left offset 0.6,0, \\',
                   '     "" index 2 using (($3+$4)/2):1:3:4:($1-0.36):($1+0.36):ytic(2) with boxxyerror '
                   'lc rgb "#7f8c8d", \\',
                   '     "" index 2 using 4:1:(sprintf("%.1f ms", $5)) with labels boxed left offset 0.6,0']
    script.append("unset multiplot")
    with open(chart_script, "w") as f:
        f.write("\n".join(script) + "\n")
    run(["gnuplot", chart_script])


def stale_section(add, stale, workload):
    figures, count, hold = stale["figures"], stale["count"], stale["hold_ms"]
    add("## Stale directories in %TEMP%")
    add("")
    held_text = (f" Then the same again with an application that runs {hold:,} ms before it returns "
                 "(`TAVRIK_BENCH_HOLD_MS`), long enough for a sweep that starts a while after the child: the "
                 "launcher without, then with planted directories." if figures["held"] else "")
    add(f"A third series, Wine held to one processor ({figures['runs']} rounds after a warm-up round): every "
        f"round starts the packed launcher plainly, then the same-job floor, then plants {count} stale "
        "directories in the prefix's %TEMP% and starts the packed launcher again." + held_text + " Each planted "
        "directory is named as the launcher names its own (`onefile_<pid>_<6 digits>_<11 characters>`), with "
        "the PID of a process that has just ended, and holds a copy of the workload as the launcher lays it out "
        f"({workload['files']} files, {workload['bytes']:,} bytes). After each run the harness counts the "
        "planted directories that are left and deletes them.")
    add("")
    add(row(["figure", "median", "min", "max", "planted directories the launcher removed"]))
    add(row(["---"] * 5))

    def removed(planted, left):
        return "n/a" if planted == 0 else f"{planted - left:.0f} of {planted:.0f}"

    add(row(["full start, no stale directories"] + three(figures["launcher"]) + [""]))
    add(row([f"full start with {count} stale directories planted before it"] + three(figures["stale"])
            + [removed(figures["stale_planted"], figures["stale_left"])]))
    add(row(["with ÷ without, per round"] + three(figures["ratio_stale"], factor) + [""]))
    add(row(["same-job floor (never looks at other directories)"] + three(figures["samejob"]) + [""]))
    add(row(["full start with stale directories ÷ same-job floor, per round"]
            + three(figures["ratio_stale_samejob"], factor) + [""]))
    if figures["held"]:
        add(row([f"full start, application running {hold:,} ms, no stale directories"] + three(figures["held"])
                + [""]))
        add(row([f"full start, application running {hold:,} ms, {count} stale directories planted"]
                + three(figures["stale_held"]) + [removed(figures["stale_held_planted"], figures["stale_held_left"])]))
        add(row(["with ÷ without, application running, per round"] + three(figures["ratio_stale_held"], factor)
                + [""]))
    add("")
    quick_removed = figures["stale_planted"] - figures["stale_left"]
    held_removed = figures["stale_held_planted"] - figures["stale_held_left"]
    if figures["stale_planted"] and quick_removed == 0 and held_removed > 0:
        add("The launcher removes stale directories on a thread that starts a while after the child: a start that "
            "ends sooner, as the plain one does here, removes none of them and pays nothing for them; with the "
            f"application running {hold:,} ms it removed {held_removed:.0f} of {figures['stale_held_planted']:.0f}, "
            "and the per-round ratio shows what that removal cost the start.")
        add("")
    elif figures["stale_planted"] and quick_removed == 0 and not figures["stale_held_planted"]:
        add("The launcher removed none of the planted directories.")
        add("")


def window_section(add, windows, default_log):
    if not windows:
        return
    largest = windows[max(windows)]
    add("## Decoding window: size against start")
    add("")
    add(f"The reference workload packed at the default level with each window (`--window-log N`), then "
        f"{windows[min(windows)]['figures']['runs']} plain full starts of each on one processor (`taskset -c 0`), "
        "in blocks that alternate between the windows, each round also running the same-job floor and the "
        "job's parts (both read the packed file of that window); the peak working set from 2 probe runs each. "
        f"The size cost is against the {1 << (max(windows) - 20)} MiB window.")
    add("")
    add(row(["window", ".tavrik section", "size cost", "full start (median)", "full start ÷ same-job floor, "
             "per round", "full start ÷ sequential limit, per round", "top-level peak working set"]))
    add(row(["---"] * 7))
    for log in sorted(windows):
        w = windows[log]
        f = w["figures"]
        size = (f"{1 << (log - 20)} MiB" if log >= 20 else f"{1 << (log - 10)} KiB")
        cost = (w["section"] - largest["section"]) / largest["section"] * 100
        add(row([f"2^{log} ({size})" + (", the default" if log == default_log else ""), f"{w['section']:,} B",
                 f"{cost:+.2f} %", ms(f["launcher"] and f["launcher"][0]),
                 factor(f["ratio_samejob"] and f["ratio_samejob"][0]),
                 factor(f["ratio_limit"] and f["ratio_limit"][0]), mib(f["top_ws"] and f["top_ws"][2])]))
    add("")


def memory_section(add, series, memory, workload, frame_bytes, window_log):
    window = 1 << window_log
    idle = series["one"]["idle"].get("peak_working_set")
    add("## Memory: what bounds the peak working set")
    add("")
    add(row(["application", "decoded archive", ".tavrik section (compressed)", "top-level peak working set "
             "(median)", "idle process + decoded (up to the window) + section", "nested peak working set (median)"]))
    add(row(["---"] * 6))
    cases = [(f"reference workload ({workload['bytes']:,} B, both series)", workload["archive_bytes"],
              frame_bytes["section"], stats(series["all"]["top_ws_values"] + series["one"]["top_ws_values"]),
              stats(series["all"]["child_ws_values"] + series["one"]["child_ws_values"])),
             (f"120 MB application ({memory['workload']['bytes']:,} B, one processor)",
              memory["workload"]["archive_bytes"], memory["section"], memory["figures"]["top_ws"],
              memory["figures"]["child_ws"])]
    for label, archive, section, top, nested in cases:
        estimate = None if idle is None else idle + min(archive, window) + section
        add(row([label, mib(archive), mib(section), mib(top and top[0]), mib(estimate), mib(nested and nested[0])]))
    add("")
    add(f"What bounds it: the top-level instance decodes with zstd's streaming decoder, which keeps what it has "
        f"decoded in its own buffer of the frame's window, 2^{window_log} bytes ({window // MiB} MiB, the "
        "packer's default window); every page of that buffer the decoder has written stays in the working "
        "set, and so do the pages of the `.tavrik` section the decoder has read. Up to the window the peak "
        "grows with the application, about an idle process plus the decoded archive plus the compressed "
        f"section (the column before last); past 2^{window_log} decoded bytes the buffer is reused from its "
        f"start, so the decoder's share stops at {window // MiB} MiB and only the section's pages keep growing "
        "with the application. The 1 MiB write buffer and the 128 KiB output buffer are fixed. The nested "
        "instance reads only the first name: it stays near an idle process whatever the application's size.")
    add("")


def report(facts, workload, packs, frame_bytes, series, busy, codecs, stub_bytes, stale, memory, windows,
           window_log):
    write_chart(series, os.path.join(WORK, "start-phases.dat"), os.path.join(WORK, "start-phases.gp"))
    every, one = series["all"], series["one"]
    archive = workload["archive_bytes"]
    ratio_default = archive / frame_bytes["default"]
    ratio_fast = archive / frame_bytes["fast"]
    s_pack_default = stats(packs["default"]["times"])
    s_pack_fast = stats(packs["fast"]["times"])
    threads = packs["threads"]
    thread_text = f"{threads} threads" if threads else "the packer's default threads"
    level = packs["default"]["level"]

    lines = []
    add = lines.append
    add("# Benchmark results")
    add("")
    add("Written by `scripts/bench`; every figure below is measured in the run that wrote this file. "
        "A benchmark, not a test: the targets are reported, never enforced.")
    add("")
    add(f"- Date: {facts['date']}")
    changed = facts["changed"]
    add(f"- Commit: `{facts['commit']}`" + (" with local changes to " + ", ".join(f"`{c}`" for c in changed)
                                           if changed else ""))
    add(f"- Machine: {facts['nproc']} processors (`nproc`), {facts['cpu']}, "
        f"{facts['memory_gib']:.1f} GiB memory, Linux {facts['kernel']}, {facts['wine']}")
    add("- Other work on the machine (processors kept busy by other programs, measured over 3 s while this run "
        "was idle; before each part the run waits up to BENCH_QUIET_WAIT seconds for less than 0.2): "
        + "; ".join(f"{when} {value:.2f}" + (f" after waiting {waited:.0f} s" if waited >= 3.5 else "")
                    for when, (value, waited) in busy.items()))
    busiest = max(value for value, _ in busy.values())
    if busiest > 0.25:
        add(f"- **Other work was running on the machine during this run** (up to {busiest:.2f} of "
            f"{facts['nproc']} processors busy): the times are likely longer and more spread than on an idle "
            "machine.")
    add("")
    add("## Figures")
    add("")
    add("Wine ran two series of rounds: free to use all processors, and held to one processor; see "
        "\"Two series\" below for why.")
    add("")
    add(row(["figure", "median", "min", "max", "target", "met"]))
    add(row(["---"] * 6))
    for key, label, _ in SERIES:
        f = series[key]
        target = TARGET_START_OVER_FLOOR * f["floor"][0]
        add(row([f"full start of the packed workload, Wine on {label} ({f['runs']} runs)"] + three(f["launcher"])
                + [f"≤ {TARGET_START_OVER_FLOOR} × floor = {target:,.1f} ms", met(f["launcher"][0] <= target)]))
        add(row([f"floor: decode from memory + trivial child, Wine on {label}"] + three(f["floor"]) + ["", ""]))
        add(row([f"full start ÷ floor, per round, Wine on {label}"]
                + three(f["ratio"], factor)
                + [f"≤ {TARGET_START_OVER_FLOOR}", met(f["ratio"][0] <= TARGET_START_OVER_FLOOR)]))
        add(row([f"same-job floor: map, decode, write 65 files the best plain way (CREATE_NEW, 1 MiB writes), "
                 f"trivial child, delete walk, Wine on {label}"] + three(f["samejob"]) + ["", ""]))
        goal = TARGET_START_OVER_SAMEJOB[key]
        add(row([f"full start ÷ same-job floor, per round, Wine on {label}"] + three(f["ratio_samejob"], factor)
                + [f"≤ {goal}", met(f["ratio_samejob"][0] <= goal)]))
        add(row([f"sequential limit: the job's parts timed alone in one process (map, cold decode, write 65 "
                 f"files, spawn and wait, delete) and summed, Wine on {label}"] + three(f["limit"]) + ["", ""]))
        goal = TARGET_START_OVER_LIMIT.get(key)
        add(row([f"full start ÷ sequential limit, per round, Wine on {label}"] + three(f["ratio_limit"], factor)
                + ([f"≤ {goal}", met(f["ratio_limit"][0] <= goal)] if goal else ["", ""])))
        if f.get("warm_over_runner"):
            add(row([f"cached warm start, Wine on {label} ({f['warm_runs']} rounds of their own)"]
                    + three(f["cached_warm"]) + ["", ""]))
            add(row([f"tavrik-run on the same files, Wine on {label}"] + three(f["run_same"]) + ["", ""]))
            add(row([f"cached warm start ÷ tavrik-run on the same files, per round, Wine on {label}"]
                    + three(f["warm_over_runner"], factor)
                    + [f"≤ {TARGET_WARM_OVER_RUNNER}", met(f["warm_over_runner"][0] <= TARGET_WARM_OVER_RUNNER)]))
            add(row([f"cached cold start (unpack into staging, commit, run), Wine on {label}"]
                    + three(f["cached_cold"]) + ["", ""]))
            add(row([f"cached cold start ÷ per-run full start, per round, Wine on {label}"]
                    + three(f["cold_over_start"], factor)
                    + [f"≤ {TARGET_COLD_OVER_START}", met(f["cold_over_start"][0] <= TARGET_COLD_OVER_START)]))
    for who, key, goal in (("top-level", "top_ws_values", TARGET_TOP_WS_MIB),
                           ("nested", "child_ws_values", TARGET_PEAK_WS_MIB)):
        values = every[key] + one[key]
        s = stats(values)
        add(row([f"peak working set, {who} instance ({len(values)} probe runs, both series)"] + three(s, mib)
                + [f"≤ {goal} MiB", met(s[2] <= goal * MiB)]))
    for who, key, goal in (("top-level", "top_ws", TARGET_TOP_WS_LARGE_MIB), ("nested", "child_ws", None)):
        s = memory["figures"][key]
        add(row([f"peak working set, {who} instance, 120 MB application ({memory['figures']['probes']} probe "
                 f"runs, one processor)"] + three(s, mib)
                + ([f"≤ {goal} MiB", met(s[2] <= goal * MiB)] if goal else ["", ""])))
    add(row(["launcher stub size (`build/windows/tavrik-launcher.exe`)",
             f"{stub_bytes:,} B ({stub_bytes / KiB:.1f} KiB)", "", "", f"≤ {TARGET_STUB_KIB} KiB",
             met(stub_bytes <= TARGET_STUB_KIB * KiB)]))
    add(row([f"packing time, default level ({level}), {thread_text} ({len(packs['default']['times'])} runs)"]
            + three(s_pack_default, seconds) + [f"≤ {TARGET_PACK_DEFAULT_S} s",
                                                met(s_pack_default[0] <= TARGET_PACK_DEFAULT_S)]))
    add(row([f"packing time, fast level (`{packs['fast']['option']}`, level {packs['fast']['level']}), "
             f"{thread_text} ({len(packs['fast']['times'])} runs)"] + three(s_pack_fast, seconds)
            + [f"≤ {TARGET_PACK_FAST_S} s", met(s_pack_fast[0] <= TARGET_PACK_FAST_S)]))
    add(row(["compression ratio, default level (archive ÷ frame)", f"{ratio_default:.2f} : 1", "", "",
             "about 3.5 : 1 (workload design)", ""]))
    add(row(["compression ratio, fast level", f"{ratio_fast:.2f} : 1", "", "", "", ""]))
    add("")
    add("\"met\" compares the median with the target, except for the working sets, where the largest value "
        "counts.")
    add("")
    add("Context, measured in the same rounds:")
    add("")
    header = ["figure"]
    for _, label, _ in SERIES:
        header += [f"median, {label}", "min", "max"]
    add(row(header))
    add(row(["---"] * len(header)))

    def context(label, key, unit=ms):
        cells = [label]
        for k, *_ in SERIES:
            cells += three(series[k][key], unit)
        add(row(cells))

    for part in LIMIT_PARTS:
        cells = [f"sequential limit's part: {LIMIT_LABELS[part]}"]
        for k, *_ in SERIES:
            cells += three(series[k]["limit_parts"][part])
        add(row(cells))
    cells = ["same-job floor ÷ sequential limit, per round"]
    for k, *_ in SERIES:
        cells += three(series[k]["samejob_over_limit"], factor)
    add(row(cells))
    cells = ["the content checksum alone: XXH64 over the decoded archive (inside the cold decode, not added again)"]
    for k, *_ in SERIES:
        cells += three(series[k]["checksum"])
    add(row(cells))
    cells = ["content checksum ÷ full start, per round"]
    for k, *_ in SERIES:
        cells += three(series[k]["checksum_share"], percent)
    add(row(cells))
    cells = ["full start ÷ (sequential limit + the trivial process's start to end), per round: the limit with "
             "the one process start and end that every full start carries"]
    for k, *_ in SERIES:
        cells += three(series[k]["ratio_limit_and_start"], factor)
    add(row(cells))
    context("trivial process (the floor's child alone), start to end", "trivial")
    context("the floor's decoding alone (ZSTD_decompressDCtx, timed inside the process)", "decode")
    context("the floor's mapping of the packed file and finding the frame, timed the same way", "map")
    context("CreateProcessW until the process exists: packed launcher", "created_launcher")
    if every["created_overlay"]:
        context("CreateProcessW until the process exists: the packed file with its `.tavrik` section header "
                "removed (the same bytes as overlay; the launcher then stops at once)", "created_overlay")
    context("CreateProcessW until the process exists: floor program", "created_floor")
    context("CreateProcessW until the process exists: trivial process", "created_trivial")
    context("full start with the probe's reporting and polling", "probe")
    context("same-job floor with its report (the probe runs of its phases)", "samejob_probe")
    cells = ["same-job floor ÷ floor, per round"]
    for k, *_ in SERIES:
        cells += three(series[k]["samejob_over_floor"], factor)
    add(row(cells))
    context("peak working set, top-level instance", "top_ws", mib)
    context("peak working set, nested instance", "child_ws", mib)
    context("peak private bytes (PeakPagefileUsage), top-level instance", "top_private", mib)
    context("peak private bytes (PeakPagefileUsage), nested instance", "child_private", mib)
    context("peak working set, same-job floor (decodes into one buffer)", "samejob_ws", mib)
    add(row(["idle process (one run): peak working set / peak private bytes"]
            + sum(([f"{mib(series[k]['idle'].get('peak_working_set'))} / "
                    f"{mib(series[k]['idle'].get('peak_private'))}", "", ""] for k, *_ in SERIES), [])))
    add("")
    if os.path.exists(CHANGES):
        add("## What each change bought")
        add("")
        with open(CHANGES) as f:
            add(f.read().rstrip("\n"))
        add("")
    add("## Where the start goes")
    add("")
    add("![Start of the packed workload broken into phases](start-phases.png)")
    add("")
    add(f"Phases of the probe runs ({every['probes']} and {one['probes']}), from timestamps taken outside the "
        "launcher; the chart lays the medians end to end, so its last bar can differ a little from the median "
        "total.")
    add("")
    header = ["phase"]
    for _, label, _ in SERIES:
        header += [f"median, {label}", "min", "max"]
    header.append("what it covers")
    add(row(header))
    add(row(["---"] * len(header)))
    for key, label, _, _, covers in PHASES:
        cells = [label]
        for k, *_ in SERIES:
            cells += three(series[k]["phases"][key])
        add(row(cells + [covers]))
    add("")
    add("How the boundaries are taken (all put on the harness's QueryPerformanceCounter time line; system "
        "times are converted through a reading of both clocks taken just before each start):")
    add("")
    add("- the top-level's and the child's creation and end: the times the system records for each process "
        "(GetProcessTimes; the harness holds the top-level's handle, the bench application duplicates a "
        "handle to the child into the harness);")
    window = every["dir_window"]
    add(f"- the target directory's appearance: the harness looks for it in %TEMP% about once a millisecond "
        f"({every['polls'][0]:.0f} polls per run, median, all processors); the boundary is the middle of the "
        f"last look that missed it and the first that found it, a window of {window[0]:.2f} ms median "
        f"({window[1]:.2f} to {window[2]:.2f}). Wine reports a file's creation time as its last write time, so "
        "the directory's own creation time cannot be used;")
    add("- the end of the extraction: the latest last-write time of any extracted file, read by the bench "
        "application at run_code entry;")
    add("- run_code's entry and return: QueryPerformanceCounter in the bench application.")
    add("")
    add("The same-job floor's phases, from its probe runs (one per round in each series): the program reads QueryPerformanceCounter at the end of each step and "
        "the system's creation and end times of its child, and writes them to a report after the deletion; "
        "its own creation and end come from GetProcessTimes in the harness. Nothing polls it, while the "
        "harness looks at the launcher's probe runs about once a millisecond: those take "
        f"{every['probe'][0] - every['launcher'][0]:.1f} ms (all processors) and "
        f"{one['probe'][0] - one['launcher'][0]:.1f} ms (one processor) longer than its plain runs (medians), "
        "and most of that lands in the extraction, so compare the two sets of phases with that in mind; the "
        "plain totals at the bottom carry no polling.")
    add("")
    add(row(header))
    add(row(["---"] * len(header)))
    for key, label, _, _, covers in SAMEJOB_PHASES:
        cells = [label]
        for k, *_ in SERIES:
            cells += three(series[k]["samejob_phases"][key])
        add(row(cells + [covers]))
    add("")
    negative = every["negative"] + one["negative"]
    if negative:
        add(f"Warning: {negative} phase durations came out negative (clock conversion); they are included.")
        add("")
    add("## Two series")
    add("")
    add(f"On this machine Wine is much slower when its processes and its server spread over both processors "
        f"than when all of them share one: a trivial process takes {every['trivial'][0]:.1f} ms (median) with "
        f"all processors and {one['trivial'][0]:.1f} ms on one; the full start {every['launcher'][0]:.1f} and "
        f"{one['launcher'][0]:.1f} ms; the clean-up phase {every['phases']['cleanup'][0]:.1f} and "
        f"{one['phases']['cleanup'][0]:.1f} ms. The likely cause: every request to the wineserver hands work "
        "to another process, and on a virtual machine waking an idle processor for that is expensive, while on "
        "one processor the hand-over is a plain context switch (in earlier runs, other programs keeping one "
        "processor busy had the same effect as holding Wine to one). The one-processor series is therefore "
        "closer to what the launcher itself costs; both are real measurements. The series run one after the "
        "other, each with a freshly started server; within a series the kinds of runs are interleaved.")
    add("")
    stale_section(add, stale, workload)
    memory_section(add, series, memory, workload, frame_bytes, window_log)
    window_section(add, windows, window_log)
    add("## Native decoding, for context")
    add("")
    sizes, versions, times = codecs
    add(f"The same archive ({archive:,} bytes) decoded on Linux by `bench/codecs.c` (C, single thread, "
        f"linked with Debian's zstd {versions.get('zstd')}, zlib {versions.get('zlib')} and liblzma "
        f"{versions.get('xz')}); zlib level 9 with `compress2`, xz level 9 with `lzma_easy_buffer_encode`; "
        f"each decode into one buffer except zstd-stream, which decodes through a 128 KiB buffer as the "
        f"launcher does. {len(times.get('zstd', []))} runs each, interleaved. Debian's libzstd uses its x86-64 "
        "assembly Huffman decoder, which the Windows build disables.")
    add("")
    add(row(["codec", "compressed", "ratio", "decode median", "min", "max", "MB/s (median)"]))
    add(row(["---"] * 7))
    for name, label, size_key in (("zstd", f"zstd level {level} (the packed frame)", "zstd"),
                                  ("zstd-stream", "zstd, streamed through 128 KiB", "zstd"),
                                  ("zlib", "zlib level 9", "zlib"), ("xz", "xz level 9", "xz")):
        s = stats(times.get(name, []))
        if s is None:
            continue
        size = sizes[size_key]
        add(row([label, f"{size:,} B", f"{archive / size:.2f}"] + three(s)
                + [f"{archive / 1e6 / (s[0] / 1000):,.0f}"]))
    add("")
    add("## The workload")
    add("")
    sources = ", ".join(f"`{s['path']}` ({s['package']}, {s['bytes_used']:,} B)" for s in workload["sources"])
    add(f"Made by `bench/make_workload.py` from the built `tavrik-bench-app.dll`: {workload['files']} files, "
        f"{workload['bytes']:,} bytes; the first, the application DLL, {workload['app_bytes']:,} bytes "
        f"({workload['app_pe_bytes']:,} of them the DLL itself, the rest overlay after its last section); "
        f"{workload['empty_files']} empty files; {workload['names_with_backslashes']} names with backslashes "
        f"(at most {workload['most_backslashes']} each); the longest name {workload['longest_name_units']} "
        f"UTF-16 units. Contents: real programs and libraries read in this order and cut to the file sizes: "
        f"{sources}. Archive {archive:,} bytes; SHA-256 over names, sizes and contents "
        f"`{workload['sha256'][:16]}…`. Packed: `{os.path.relpath(PACKED, ROOT)}`, "
        f"{max(packs['default']['sizes']):,} bytes at the default level. "
        + ("Every pack of a level gave the same bytes."
           if len(packs["default"]["hashes"]) == 1 and len(packs["fast"]["hashes"]) == 1
           else "**Packs of the same level gave different bytes.**"))
    add("")
    add("## How it is measured")
    add("")
    add(f"- Wine runs through `scripts/wine-run` in the benchmark's own prefix, "
        f"`{os.path.relpath(PREFIX, ROOT)}`, so that its server can be restarted for each series without "
        "disturbing other work in `build/wineprefix`. Each series starts a fresh server with `-p120` (under "
        "`taskset -c 0` for the one-processor series) and warms it with one process whose output goes nowhere.")
    add(f"- `tavrik-bench-harness.exe` (`bench/harness.cpp`) starts every program with CreateProcessW, NUL as "
        "its standard handles, waits for it and times it with QueryPerformanceCounter, so the `wine` "
        f"command's own start-up is never counted. {every['runs']} rounds follow one warm-up round that is not "
        "counted; each round runs, in turn, the packed launcher (plain), the floor, the same-job floor, the "
        "packed launcher again as a probe, the same-job floor again with its report, the trivial process, the "
        "floor's decoding alone, the job's parts and the overlay variant, so drift affects every kind alike.")
    add("- Full start: the packed launcher with `tavrik-bench-app.dll`, whose run_code returns at once: "
        "top-level start, extraction, child start, library load, return, clean-up, end.")
    add("- Same-job floor (`tavrik-bench-floor.exe --same-job`, the same program as the floor): the "
        "launcher's whole job done the plainest fast way. It maps the packed executable, decodes the whole "
        "frame into one buffer with ZSTD_decompressDCtx, creates `%TEMP%\\samejob_<pid>_<6 digits>` and "
        "below it every file of the archive the best plain way (CreateFileW with CREATE_NEW, WriteFile of "
        "up to 1 MiB straight from the decoded buffer, CloseHandle), frees the buffer, starts itself with "
        "`--child` (which returns at once), waits, and deletes the tree with a FindFirstFileW / DeleteFileW / "
        "RemoveDirectoryW walk.")
    add("- Sequential limit (`tavrik-bench-floor.exe --parts`): the job's parts, each timed alone with "
        "QueryPerformanceCounter inside one process, and their sum: mapping the packed file and finding the "
        "frame; a cold decode of the packed frame (a fresh decoder streaming it through a 1 MiB buffer, the "
        "output thrown away); writing the archive's 65 files from memory as the same-job floor writes them "
        "(the archive decoded into one buffer beforehand, untimed); starting a trivial child and waiting for "
        "it; deleting the tree. Nothing is paid twice and nothing waits on anything else, so no sequential "
        "implementation of the job can take less within one process; the process's own start and end, which "
        "every full start carries, are not part of it.")
    add("- Floor (`bench/floor.cpp`, built like the stub: GUI subsystem, Universal CRT, the same zstd decoder "
        "library): maps the packed executable read-only, as the loader maps the launcher's image, decodes the "
        "frame of its `.tavrik` section from memory on one thread into one buffer with ZSTD_decompressDCtx, "
        "starts itself with `--child` (which returns at once) and waits. The mapping and the decode are part "
        "of its timed run, as the launcher's are of its own; writing files is not.")
    add("- Probe runs set `TAVRIK_BENCH_REPORT`: the bench application then reports timestamps and its own "
        "GetProcessMemoryInfo at the end of its work (the nested instance's peak working set), and the harness "
        "polls the top-level's GetProcessMemoryInfo about once a millisecond while it runs "
        f"({every['memory_samples'][0]:.0f} samples per run, median, all processors; Wine has no figures for "
        "an ended process, so the peak is the last one read before the end). The plain runs, which give the "
        "full-start figure, do neither.")
    add(f"- Packing: `build/host/tavrik-pack pack` on Linux, wall time, default level and "
        f"`{packs['fast']['option']}` interleaved.")
    add(f"- The packer, the stub (SHA-256 `{sha256_file(STUB)[:16]}…`) and the bench programs are copied into "
        "`build/bench/bin` when the run starts and used from there, so a rebuild during the run cannot mix "
        "two builds.")
    counts = "; ".join(f"{series[k]['leftover'].get('before', 0):.0f} before and "
                       f"{series[k]['leftover'].get('after', 0):.0f} after the series on {label}"
                       for k, label, _ in SERIES)
    add(f"- Extraction directories in the prefix's %TEMP%: {counts}.")
    samejob_left = sum(max(0, series[k]["leftover"].get("samejob_after", 0)
                           - series[k]["leftover"].get("samejob_before", 0)) for k, *_ in SERIES)
    if samejob_left:
        add(f"- **{samejob_left:.0f} directories of the same-job floor were left behind.**")
    retries = sum(series[k]["leftover"].get("start_retries", 0) for k, *_ in SERIES)
    if retries:
        add(f"- Wine failed {retries:.0f} starts at the first attempt (ERROR_INTERNAL_ERROR, seen under load); the "
            "harness started them again.")
    left = sum(max(0, series[k]["leftover"].get("after", 0) - series[k]["leftover"].get("before", 0))
               for k, *_ in SERIES)
    if left:
        add(f"- **{left:.0f} extraction directories were left behind by the launches of this run.**")
    add("")
    with open(RESULTS, "w") as f:
        f.write("\n".join(lines))
    say("wrote " + os.path.relpath(RESULTS, ROOT) + " and " + os.path.relpath(CHART, ROOT))


def main():
    rounds = knob("BENCH_RUNS", 21)
    warm_rounds = knob("BENCH_WARM_RUNS", 301)
    default_runs = knob("BENCH_PACK_RUNS", 5)
    fast_runs = knob("BENCH_FAST_PACK_RUNS", 11)
    codec_rounds = knob("BENCH_CODEC_RUNS", 11)
    stale_rounds = knob("BENCH_STALE_RUNS", 11)
    stale_dirs = knob("BENCH_STALE_DIRS", 3)
    stale_hold = int(os.environ.get("BENCH_STALE_HOLD_MS", 1500))
    memory_rounds = knob("BENCH_MEMORY_RUNS", 5)
    window_logs = [int(v) for v in os.environ.get("BENCH_WINDOW_LOGS", "20,21,22,23,24,27").split(",") if v]
    window_blocks = knob("BENCH_WINDOW_BLOCKS", 3)
    window_rounds = knob("BENCH_WINDOW_ROUNDS", 5)
    quiet_wait = int(os.environ.get("BENCH_QUIET_WAIT", 120))
    for path in list(BUILT.values()) + [CODECS]:
        if not os.path.exists(path):
            sys.exit("bench: missing " + path + " (scripts/bench builds it)")
    os.makedirs(BIN, exist_ok=True)
    for path in BUILT.values():
        shutil.copy2(path, BIN)
    facts = machine_facts()

    workload_dir = os.path.join(WORK, "workload")
    run([sys.executable, os.path.join(BENCH, "make_workload.py"), APP_DLL, workload_dir])
    with open(os.path.join(workload_dir, "workload.json")) as f:
        workload = json.load(f)
    large_dir = os.path.join(WORK, "workload-120mb")
    run([sys.executable, os.path.join(BENCH, "make_workload.py"), APP_DLL, large_dir,
         "--total-bytes", str(LARGE_BYTES)])
    with open(os.path.join(large_dir, "workload.json")) as f:
        large = json.load(f)

    busy = {}
    wait_for_quiet("before packing", busy, quiet_wait)
    packs = pack_runs(workload, facts["nproc"], default_runs, fast_runs)
    busy["after packing"] = (others_busy(), 0.0)
    frame_bytes = {}
    for kind, packed in (("fast", PACKED_FAST), ("default", PACKED)):
        frame_path = os.path.join(WORK, f"frame-{kind}.zst")
        section = extract_frame(packed, frame_path)
        if kind == "default":
            frame_bytes["section"] = section
        size = subprocess.run([CODECS, "--frame-size", frame_path], check=True, capture_output=True, text=True)
        frame_bytes[kind] = int(size.stdout)
    say("packing the 120 MB application")
    run([PACK, "pack", "-o", PACKED_LARGE, "--stub", STUB, large["app_dll"], large["files_dir"]],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    memory = {"workload": large, "section": extract_frame(PACKED_LARGE, os.path.join(WORK, "frame-120mb.zst"))}

    series = {}
    for key, label, pin in SERIES:
        wait_for_quiet(f"before the Wine rounds on {label.split(' (')[0]}", busy, quiet_wait)
        series[key] = summarise(wine_series(workload, rounds, key, pin))
        if os.path.exists(RUNNER):
            warm = summarise(warm_series(workload, warm_rounds, key, pin))
            series[key].update({name: warm[name] for name in ("cached_warm", "run_same", "warm_over_runner")})
            series[key]["warm_runs"] = warm_rounds
        busy[f"after the Wine rounds on {label.split(' (')[0]}"] = (others_busy(), 0.0)
    wait_for_quiet("before the rounds with stale directories", busy, quiet_wait)
    stale = {"count": stale_dirs, "hold_ms": stale_hold,
             "figures": summarise(stale_series(workload, stale_rounds, stale_dirs, stale_hold))}
    wait_for_quiet("before the 120 MB application's rounds", busy, quiet_wait)
    memory["figures"] = summarise(memory_series(large, memory_rounds))
    windows = window_series(workload, window_logs, window_blocks, window_rounds, quiet_wait, busy)
    stop_server(wine_env())
    wait_for_quiet("before the native decoding", busy, quiet_wait)
    codecs = codec_runs(workload, os.path.join(WORK, "frame-default.zst"), codec_rounds)
    report(facts, workload, packs, frame_bytes, series, busy, codecs, os.path.getsize(STUB), stale, memory,
           windows, default_window_log())


if __name__ == "__main__":
    main()
