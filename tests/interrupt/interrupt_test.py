#!/usr/bin/env python3
"""Ctrl+C against a packed launcher under Wine, driven from the Linux side.

A Wine program hears SIGINT as CTRL_C_EVENT only when it has a console, and
it gets one when its standard input is a terminal; so every launcher here is
started with a fresh pseudo-terminal on its standard input, in a process
group of its own. It is not made a session leader: a session leader's end
would hang up its terminal and end the child with it, and a child killed
that way could pass for one the launcher terminated. (Wine does not
implement GenerateConsoleCtrlEvent, so a Windows-side test cannot do this.)

What Wine does with the event, as these scenarios pin it down:
  * SIGINT sent to the launcher's Linux process reaches the launcher alone.
    Wine does not hand a console event on to the other processes of the
    console, so the child hears nothing: the launcher's handler gives it the
    five-second grace period and then terminates it with exit code 0, whether
    or not the child would have honoured Ctrl+C.
  * Ctrl+C typed at a terminal is SIGINT to the terminal's foreground process
    group (Wine's conhost does not turn a 0x03 it reads into an event; the
    tty driver does the work). The child lives in the launcher's process
    group, so SIGINT to that group reaches the launcher and the child alike,
    as on Windows. A child that does not ignore it ends at once through
    Wine's default handling, which exits with code 0 (Windows would use
    STATUS_CONTROL_C_EXIT), and the launcher's handler finds it gone and
    deletes the directory straight away.
  * After the clean-up the launcher's handler ends it itself: with the
    child's exit code when the child ended by itself within the grace period
    (an ordinary child ended by Wine's default handling gives 0, one that
    handles Ctrl+C gives its own code), and with STATUS_CONTROL_C_EXIT when
    the launcher had to terminate it or no child ran yet.
  * Ctrl+C while the launcher unpacks (a large application, interrupted at
    several points of its unpacking) ends the launcher within seconds with
    STATUS_CONTROL_C_EXIT, and nothing of what it unpacked is left.

Every scenario checks the time from the interrupt to the launcher's end, the
child's whole exit code (seen by exit_observer.exe, which holds the child
from before the interrupt), the launcher's exit code, and that the
extraction directory is gone.

With --console the launcher is packed as a console program (tavrik-pack
--console) and the scenarios that reach the launcher's own handler run again:
the subsystem changes how Windows sets up the console, not what the
launcher does with its events.

Usage: interrupt_test.py --pack P --stub S --app A --observer O --work DIR [--console]
"""

import contextlib
import glob
import os
import pty
import select
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from launcher_names import CACHE_VARIABLE, PARENT_VARIABLE  # noqa: E402
from wine_scripts import ScenarioFailure, check, fresh_work, options, scratch_cwd, windows_path  # noqa: E402
from wine_scripts import wine_env, wine_prefix, wine_temp  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WINE_RUN = os.path.join(ROOT, "scripts", "wine-run")
PREFIX = wine_prefix(WINE_RUN)
STATUS_CONTROL_C_EXIT = 0xC000013A
APP_OWN_EXIT_CODE = 7
APP_CTRL_EXIT_CODE = 130
# The large application whose unpacking is interrupted: tens of MB.
BIG_FILE_COUNT = 6
BIG_FILE_SIZE = 8 << 20
UNPACKING_LIMIT_S = 15
# Tries at each point for an interrupt that lands before the application runs.
UNPACKING_ATTEMPTS = 3


def linux_path(win_path):
    # The prefix's dosdevices hold one link per drive letter (c: -> drive_c,
    # z: -> /).
    drive, rest = win_path[:2].lower(), win_path[2:].lstrip("\\")
    return os.path.join(PREFIX, "dosdevices", drive, rest.replace("\\", "/"))


def parse_report(text):
    items = {}
    for line in text.splitlines():
        key, _, value = line.partition("=")
        out, i = [], 0
        while i < len(value):
            if value[i] == "\\" and i + 1 < len(value):
                out.append({"\\": "\\", "n": "\n", "r": "\r", "t": "\t", "v": "\v"}.get(value[i + 1], value[i + 1]))
                i += 2
            else:
                out.append(value[i])
                i += 1
        items[key] = "".join(out)
    return items


def warm_wineserver(observer):
    # A cold wineserver makes the first process slow and takes over whatever
    # streams it is started with; one throwaway process with no streams
    # starts it. exit_observer with pid 0 fails to open it and ends at once.
    subprocess.run([WINE_RUN, observer, "0", "1"], env=wine_env(PREFIX), stdin=subprocess.DEVNULL, cwd=scratch_cwd(),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=180)


def open_observer(observer, pid):
    """Starts exit_observer on Windows process `pid`. Returns the observer
    and the path of the executable the process runs, or None and what the
    observer said when it could not open the process."""
    process = subprocess.Popen([WINE_RUN, observer, str(pid), "60000"], env=wine_env(PREFIX),
                               stdin=subprocess.DEVNULL, cwd=scratch_cwd(),
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    ready, _, _ = select.select([process.stdout], [], [], 30)
    line = process.stdout.readline().strip() if ready else "<nothing within 30 s>"
    # The image line follows "opened" at once, before the observer waits.
    image = process.stdout.readline().strip() if line == "opened" else ""
    if not image.startswith("image="):
        process.kill()
        process.wait(timeout=30)
        return None, line if line != "opened" else image
    return process, image[len("image="):]


def runs_executable(image, executable):
    # Windows paths compare without regard to case.
    return image.lower() == windows_path(executable).lower()


def start_observer(observer, pid, executable):
    """An observer of process `pid`, which must be running `executable`."""
    process, image = open_observer(observer, pid)
    if process is None:
        raise ScenarioFailure(f"exit_observer for pid {pid}: {image}")
    if not runs_executable(image, executable):
        process.kill()
        process.wait(timeout=30)
        raise ScenarioFailure(f"pid {pid} runs {image}, not {windows_path(executable)}")
    return process


def observed_exit_code(process):
    try:
        out, _ = process.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        process.kill()
        raise ScenarioFailure("exit_observer saw no end within 30 s")
    for line in out.splitlines():
        if line.startswith("exit_code="):
            return int(line.split("=", 1)[1])
    raise ScenarioFailure(f"exit_observer: {out.strip()!r}")


def start_launcher(args, app, name, settings):
    """Starts `app` with a fresh pseudo-terminal on its standard input, in a
    process group of its own. Returns the process, the terminal's master
    side and the output file."""
    warm_wineserver(args.observer)
    master, slave = pty.openpty()
    output = open(os.path.join(args.work, name + ".out"), "wb")
    launcher = subprocess.Popen([WINE_RUN, app], env=wine_env(PREFIX, settings), stdin=slave, stdout=output,
                                cwd=scratch_cwd(), stderr=subprocess.STDOUT, process_group=0)
    os.close(slave)
    return launcher, master, output


def wait_for_report(launcher, report_file):
    deadline = time.monotonic() + 60
    while not os.path.exists(report_file):
        check(launcher.poll() is None, f"launcher ended before the app reported (code {launcher.returncode})")
        check(time.monotonic() < deadline, "no report from the app within 60 s")
        time.sleep(0.05)
    with open(report_file, encoding="utf-8") as f:
        return parse_report(f.read())


def end_scenario(launcher, observers, master, output, directory):
    # The whole group, even when the launcher has ended: a launcher that
    # failed to stop its child leaves it running there (a stopped one is
    # resumed first, so that it can be killed).
    try:
        os.killpg(launcher.pid, signal.SIGCONT)
        os.killpg(launcher.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    for process in [launcher] + observers:
        if process.poll() is None:
            process.kill()
        process.wait(timeout=30)
    os.close(master)
    output.close()
    if directory and os.path.basename(directory).startswith("onefile_") and os.path.isdir(directory):
        shutil.rmtree(directory, ignore_errors=True)


@contextlib.contextmanager
def sleeping_app(args, app, name):
    """Starts `app` with an application that reports and then sleeps; gives
    the launcher, the target directory and an observer of the child, and
    ends them all afterwards, whatever happened."""
    report_file = os.path.join(args.work, name + ".report")
    settings = {"TAVRIK_TEST_REPORT": windows_path(report_file), "TAVRIK_TEST_SLEEP_MS": "60000"}
    launcher, master, output = start_launcher(args, app, name, settings)
    observers = []
    directory = None
    try:
        report = wait_for_report(launcher, report_file)
        directory = linux_path(report["library_path"].rsplit("\\", 1)[0])
        child_observer = start_observer(args.observer, report["pid"], app)
        observers.append(child_observer)
        yield launcher, directory, child_observer
    finally:
        end_scenario(launcher, observers, master, output, directory)


def run_scenario(args, app, name, child_on_ctrl, deliver, seconds_range, child_codes, launcher_code):
    """`child_on_ctrl`: "ignore", "default" or "handle" (returns
    APP_CTRL_EXIT_CODE); `launcher_code`: the launcher's expected exit code,
    or "child" for the child's own."""
    lowest, highest = seconds_range
    report_file = os.path.join(args.work, name + ".report")
    settings = {
        "TAVRIK_TEST_REPORT": windows_path(report_file),
        "TAVRIK_TEST_SLEEP_MS": "60000",
        "TAVRIK_TEST_EXIT_CODE": str(APP_OWN_EXIT_CODE),
    }
    ignore_ctrl = child_on_ctrl == "ignore"
    if ignore_ctrl:
        settings["TAVRIK_TEST_IGNORE_CTRL"] = "1"
    if child_on_ctrl == "handle":
        settings["TAVRIK_TEST_CTRL_EXIT_CODE"] = str(APP_CTRL_EXIT_CODE)
    launcher, master, output = start_launcher(args, app, name, settings)
    observers = []
    directory = None
    try:
        report = wait_for_report(launcher, report_file)
        check(report.get("ignore_ctrl") == ("1" if ignore_ctrl else None), f"app's ctrl setting: {report}")
        library = report["library_path"]
        directory = linux_path(library.rsplit("\\", 1)[0])
        check(os.path.isfile(linux_path(library)), f"library not found where reported: {linux_path(library)}")

        child_observer = start_observer(args.observer, report["pid"], app)
        observers.append(child_observer)
        launcher_observer = start_observer(args.observer, report["env:" + PARENT_VARIABLE], app)
        observers.append(launcher_observer)
        check(launcher.poll() is None, "launcher ended before the interrupt")

        started = time.monotonic()
        if deliver == "launcher":
            os.kill(launcher.pid, signal.SIGINT)
        else:
            os.killpg(launcher.pid, signal.SIGINT)
        try:
            launcher.wait(timeout=highest + 10)
        except subprocess.TimeoutExpired:
            raise ScenarioFailure(f"launcher still running {highest + 10} s after the interrupt")
        elapsed = time.monotonic() - started

        child_code = observed_exit_code(child_observer)
        launcher_code_seen = observed_exit_code(launcher_observer)
        print(f"  {name}: launcher ended after {elapsed:.2f} s, exit code {launcher_code_seen:#x}; "
              f"child exit code {child_code:#x}")
        check(lowest <= elapsed <= highest, f"launcher ended after {elapsed:.2f} s, expected {lowest}-{highest} s")
        check(child_code in child_codes, f"child exit code {child_code:#x}, expected one of "
                                         f"{[hex(c) for c in child_codes]}")
        check(launcher.returncode >= 0, f"launcher's Linux process died of signal {-launcher.returncode}")
        expected = child_code if launcher_code == "child" else launcher_code
        check(launcher_code_seen == expected,
              f"launcher exit code {launcher_code_seen:#x}, expected {expected:#x}")
        check(not os.path.exists(directory), f"extraction directory left behind: {directory}")
    finally:
        end_scenario(launcher, observers, master, output, directory)


def linux_processes_of_group(group):
    """Linux PIDs of the processes in process group `group`, with their
    command lines."""
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            if int(fields[2]) != group:
                continue
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                found[int(entry)] = f.read().replace(b"\0", b" ").decode(errors="replace")
        except (OSError, IndexError, ValueError):
            continue
    return found


def run_nested_scenario(args, plain_app):
    """The nested instance registers no console handler: Ctrl+C that reaches
    only the nested instance ends it through the default handling and
    deletes nothing. The top-level instance is held stopped meanwhile, so
    that any deletion could only come from the nested one; resumed, it
    deletes the directory as usual."""
    name = "nested_instance_has_no_handler"
    # A file besides the application, which unlike the loaded library could
    # be deleted while the nested instance runs.
    data = os.path.join(args.work, "data.txt")
    with open(data, "w") as f:
        f.write("data")
    app = os.path.join(args.work, "nested_app.exe")
    subprocess.run([args.pack, "pack", "--fast", "-o", app, "--stub", args.stub, args.app, data], check=True,
                   stdout=subprocess.DEVNULL)
    with sleeping_app(args, app, name) as (launcher, directory, child_observer):
        # The nested instance is the one process of the launcher's group,
        # besides the launcher, that runs the packed executable.
        exe_name = os.path.basename(app)
        nested = [pid for pid, command in linux_processes_of_group(launcher.pid).items()
                  if pid != launcher.pid and exe_name in command]
        check(len(nested) == 1, f"expected one nested instance in the group, found {nested}")

        os.kill(launcher.pid, signal.SIGSTOP)
        try:
            os.kill(nested[0], signal.SIGINT)
            child_code = observed_exit_code(child_observer)
            time.sleep(1.0)  # room for a deletion, were there one
            check(os.path.isfile(os.path.join(directory, "data.txt")),
                  "unpacked files were deleted while only the nested instance could act")
        finally:
            os.kill(launcher.pid, signal.SIGCONT)
        try:
            launcher.wait(timeout=30)
        except subprocess.TimeoutExpired:
            raise ScenarioFailure("launcher still running 30 s after its child ended")
        print(f"  {name}: child exit code {child_code:#x}, launcher exit code {launcher.returncode}")
        check(child_code == 0, f"child exit code {child_code:#x}, expected 0 (Wine's default Ctrl+C handling)")
        check(launcher.returncode == 0, f"launcher exit code {launcher.returncode}, expected the child's 0")
        check(not os.path.exists(directory), f"extraction directory left behind: {directory}")


def run_kill_scenario(args, app):
    """kill -9 of the top-level instance's Wine process runs no clean-up at
    all, yet the application must not outlive it: the child ends within a
    second or two. (The directory stays; a later start removes it.)"""
    name = "sigkill_to_launcher_ends_child"
    with sleeping_app(args, app, name) as (launcher, directory, child_observer):
        started = time.monotonic()
        os.kill(launcher.pid, signal.SIGKILL)
        observed_exit_code(child_observer)
        elapsed = time.monotonic() - started
        print(f"  {name}: child ended {elapsed:.2f} s after the kill")
        check(elapsed <= 3, f"the child ran on for {elapsed:.2f} s after its launcher was killed")


def make_big_files(args):
    files = []
    for i in range(BIG_FILE_COUNT):
        path = os.path.join(args.work, f"big{i + 1}.bin")
        with open(path, "wb") as f:
            f.write(os.urandom(BIG_FILE_SIZE))
        files.append(path)
    return files


def find_own_directory(args, launcher, app, judged, deadline):
    """The target directory of `launcher`, which runs `app`, as soon as it
    appears in the prefix's temporary folder, and an observer that holds the
    launcher. Other tests' launchers unpack into the same folder meanwhile,
    and one's directory can appear and go between two looks: a directory is
    this launcher's only when the process its name carries runs `app`.
    `judged`: directories already known not to be this launcher's; those
    found another's are added."""
    temp = wine_temp(PREFIX)
    while True:
        for candidate in sorted(set(glob.glob(os.path.join(temp, "onefile_*"))) - judged):
            judged.add(candidate)
            # Gone already: a launcher that ended (this one has not: see
            # below).
            if not os.path.isdir(candidate):
                continue
            # Held while the observer starts, so that a directory of its
            # own is still being unpacked once it is known for one.
            os.kill(launcher.pid, signal.SIGSTOP)
            try:
                observer, image = open_observer(args.observer, os.path.basename(candidate).split("_")[1])
            finally:
                os.kill(launcher.pid, signal.SIGCONT)
            if observer is not None and runs_executable(image, app):
                return candidate, observer
            # Another launcher's, running or ended already.
            print(f"  not this launcher's: {os.path.basename(candidate)} ({image})")
            if observer is not None:
                observer.kill()
                observer.wait(timeout=30)
        check(launcher.poll() is None, f"launcher ended before unpacking (code {launcher.returncode})")
        check(time.monotonic() < deadline, "no target directory within 60 s")
        time.sleep(0.001)


def interrupt_at(launcher, launcher_observer, name, directory, point, deadline):
    """Waits until big file `point` appears in `directory` (0: at once),
    sends SIGINT and checks that the launcher ends soon; its exit code, as
    `launcher_observer` saw it."""
    if point:
        big = os.path.join(directory, f"big{point}.bin")
        while not os.path.exists(big) and launcher.poll() is None and time.monotonic() < deadline:
            time.sleep(0.001)
        check(os.path.exists(big), f"{name}: big{point}.bin never appeared in {directory}")
    started = time.monotonic()
    os.kill(launcher.pid, signal.SIGINT)
    try:
        launcher.wait(timeout=UNPACKING_LIMIT_S)
    except subprocess.TimeoutExpired:
        raise ScenarioFailure(f"{name}: launcher still running {UNPACKING_LIMIT_S} s after the interrupt")
    elapsed = time.monotonic() - started
    code = observed_exit_code(launcher_observer)
    print(f"  {name}: launcher ended after {elapsed:.2f} s, exit code {code:#x}")
    return code


def interrupt_unpacking(args, app, point, name):
    """One Ctrl+C to `app` when big file `point` (0: the target directory)
    appears; True when it came before the application ran. The launcher's
    end is checked either way."""
    report_file = os.path.join(args.work, name + ".report")
    with contextlib.suppress(FileNotFoundError):
        os.remove(report_file)
    judged = set(glob.glob(os.path.join(wine_temp(PREFIX), "onefile_*")))
    settings = {"TAVRIK_TEST_REPORT": windows_path(report_file), "TAVRIK_TEST_SLEEP_MS": "60000"}
    launcher, master, output = start_launcher(args, app, name, settings)
    observers = []
    directory = None
    try:
        deadline = time.monotonic() + 60
        directory, launcher_observer = find_own_directory(args, launcher, app, judged, deadline)
        observers.append(launcher_observer)
        code = interrupt_at(launcher, launcher_observer, name, directory, point, deadline)
        # The application reports as soon as it runs.
        app_ran = os.path.exists(report_file)
        if app_ran:
            print(f"  {name}: the application had started")
        check(code == STATUS_CONTROL_C_EXIT, f"{name}: launcher exit code {code:#x}")
        check(not os.path.exists(directory), f"{name}: extraction directory left behind: {directory}")
        return not app_ran
    finally:
        end_scenario(launcher, observers, master, output, directory)


def run_unpacking_scenario(args, _app):
    """Ctrl+C while a large application is unpacked, at several points: as
    soon as the target directory appears, and when the 2nd, 4th and last of
    its big files appear. Each time the launcher ends within seconds with
    STATUS_CONTROL_C_EXIT and its directory is gone. An interrupt that
    reaches the launcher only after the application started (the last file
    can be written meanwhile on a loaded machine) tests the running child
    instead, and is made again. (Wine's console lock and the loader lock
    once made every such launcher hang for ever.)"""
    files = make_big_files(args)
    app = os.path.join(args.work, "big_app.exe")
    subsystem = ["--console"] if args.console else []
    subprocess.run([args.pack, "pack", "--fast", "-o", app, "--stub", args.stub] + subsystem + [args.app] + files,
                   check=True, stdout=subprocess.DEVNULL)
    problems = []
    for point in (0, 2, 4, BIG_FILE_COUNT):
        name = f"ctrl_c_during_unpacking_at_{point}"
        try:
            if not any(interrupt_unpacking(args, app, point, name) for _ in range(UNPACKING_ATTEMPTS)):
                raise ScenarioFailure(f"{name}: the application started before the interrupt in each of "
                                      f"{UNPACKING_ATTEMPTS} tries")
        except ScenarioFailure as failure:
            problems.append(str(failure))
    for path in files:
        os.remove(path)
    os.remove(app)
    check(not problems, "; ".join(problems))


def interrupt_cached_unpacking(args, app, point, name, cache):
    """One Ctrl+C to `app`, packed for cached mode, when big file `point` (0:
    the staging folder) appears in its staging folder; True when it came
    before the application ran. Then the launcher ended with
    STATUS_CONTROL_C_EXIT and the program's folder is empty. After, the
    application had the event in the launcher's process, as it would in a
    warm start, and ended by its default handling."""
    shutil.rmtree(cache, ignore_errors=True)
    report_file = os.path.join(args.work, name + ".report")
    with contextlib.suppress(FileNotFoundError):
        os.remove(report_file)
    settings = {"TAVRIK_TEST_REPORT": windows_path(report_file), "TAVRIK_TEST_SLEEP_MS": "60000",
                CACHE_VARIABLE: windows_path(cache)}
    launcher, master, output = start_launcher(args, app, name, settings)
    observers = []
    try:
        deadline = time.monotonic() + 60
        staging = None
        while staging is None:
            found = glob.glob(os.path.join(cache, "*", "*.staging-*"))
            staging = found[0] if found else None
            check(launcher.poll() is None or staging, f"launcher ended before unpacking ({launcher.returncode})")
            check(time.monotonic() < deadline, "no staging folder within 60 s")
            time.sleep(0.001)
        # Held while its observer starts; the staging folder's name carries
        # the launcher's Windows PID.
        os.kill(launcher.pid, signal.SIGSTOP)
        try:
            observers.append(start_observer(args.observer, staging.rsplit("-", 1)[1], app))
        finally:
            os.kill(launcher.pid, signal.SIGCONT)
        code = interrupt_at(launcher, observers[0], name, staging, point, deadline)
        if os.path.exists(report_file):
            print(f"  {name}: the application had started")
            check(code in (0, STATUS_CONTROL_C_EXIT), f"{name}: application's exit code {code:#x}")
            return False
        check(code == STATUS_CONTROL_C_EXIT, f"{name}: launcher exit code {code:#x}")
        left = [os.listdir(folder) for folder in glob.glob(os.path.join(cache, "*"))]
        check(left == [[]], f"{name}: the cache holds {left} afterwards, expected an empty program folder")
        return True
    finally:
        end_scenario(launcher, observers, master, output, None)


def run_cached_unpacking_scenario(args, _app):
    """Ctrl+C while a program packed for cached mode unpacks its first
    build: as soon as its staging folder appears and when the 2nd and the
    last but one big files appear. Each time the launcher ends within
    seconds with STATUS_CONTROL_C_EXIT, the program's folder holds no build
    and no staging folder, and the next start unpacks and runs. An
    interrupt that lands after the build was committed (the last file can
    be written meanwhile on a loaded machine) is made again."""
    files = make_big_files(args)
    app = os.path.join(args.work, "cached_app.exe")
    subsystem = ["--console"] if args.console else []
    subprocess.run([args.pack, "pack", "--fast", "--cache", "-o", app, "--stub", args.stub] + subsystem +
                   [args.app] + files, check=True, stdout=subprocess.DEVNULL)
    cache = os.path.join(args.work, "cache")
    problems = []
    for point in (0, 2, BIG_FILE_COUNT - 1):
        name = f"ctrl_c_during_cached_unpacking_at_{point}"
        try:
            if not any(interrupt_cached_unpacking(args, app, point, name, cache) for _ in range(UNPACKING_ATTEMPTS)):
                raise ScenarioFailure(f"{name}: the application started before the interrupt in each of "
                                      f"{UNPACKING_ATTEMPTS} tries")
        except ScenarioFailure as failure:
            problems.append(str(failure))
    # After all that, a start unpacks and runs as if nothing had happened.
    report = os.path.join(args.work, "cached_report.txt")
    result = subprocess.run([WINE_RUN, app], env=wine_env(PREFIX, {CACHE_VARIABLE: windows_path(cache),
                                                                   "TAVRIK_TEST_REPORT": windows_path(report),
                                                                   "TAVRIK_TEST_EXIT_CODE": str(APP_OWN_EXIT_CODE)}),
                            stdin=subprocess.DEVNULL, capture_output=True, cwd=scratch_cwd(), timeout=120)
    if result.returncode != APP_OWN_EXIT_CODE or not os.path.exists(report):
        problems.append(f"the start after the interrupts ended with {result.returncode}: {result.stderr!r}")
    for path in files:
        os.remove(path)
    os.remove(app)
    shutil.rmtree(cache, ignore_errors=True)
    check(not problems, "; ".join(problems))


def main():
    parser = options("--pack", "--stub", "--app", "--observer", "--work")
    parser.add_argument("--console", action="store_true")
    args = parser.parse_args()

    try:
        master, slave = pty.openpty()
        os.close(master)
        os.close(slave)
    except OSError as error:
        print(f"skipped: no pseudo-terminal ({error}); a console is needed for Ctrl+C under Wine")
        return 0

    if fresh_work(args.work, "work_console" if args.console else "work") is None:
        return 1
    app = os.path.join(args.work, "interrupt_app.exe")
    subsystem = ["--console"] if args.console else []
    subprocess.run([args.pack, "pack", "-o", app, "--stub", args.stub] + subsystem + [args.app], check=True,
                   stdout=subprocess.DEVNULL)

    terminated = [0]
    # Ended by Ctrl+C's default handling: 0 in Wine, the status on Windows.
    ended_by_event = [0, STATUS_CONTROL_C_EXIT]
    scenarios = [
        ("ignoring_child_sigint_to_launcher", "ignore", "launcher", (3, 20), terminated, STATUS_CONTROL_C_EXIT),
        ("ignoring_child_ctrl_c_to_group", "ignore", "group", (3, 20), terminated, STATUS_CONTROL_C_EXIT),
        ("ordinary_child_ctrl_c_to_group", "default", "group", (0, 3), ended_by_event, "child"),
        # The launcher's event is not passed on to the child, so an ordinary
        # child also sits out the grace period and is terminated.
        ("ordinary_child_sigint_to_launcher_only", "default", "launcher", (3, 20), terminated, STATUS_CONTROL_C_EXIT),
        # A child that handles Ctrl+C and returns its own code within the
        # grace period: that code is the launcher's.
        ("handling_child_ctrl_c_to_group", "handle", "group", (0, 3), [APP_CTRL_EXIT_CODE], APP_CTRL_EXIT_CODE),
    ]
    with open(app, "rb") as f:
        image = f.read(4096)
    subsystem_at = int.from_bytes(image[0x3C:0x40], "little") + 4 + 20 + 68
    subsystem_found = int.from_bytes(image[subsystem_at:subsystem_at + 2], "little")
    if subsystem_found != (3 if args.console else 2):
        print(f"FAILED: the packed launcher has subsystem {subsystem_found}")
        return 1
    if args.console:
        scenarios = [s for s in scenarios if s[0] in ("ignoring_child_sigint_to_launcher",
                                                      "ordinary_child_ctrl_c_to_group",
                                                      "handling_child_ctrl_c_to_group")]
    failures = 0
    for name, child_on_ctrl, deliver, seconds_range, child_codes, launcher_code in scenarios:
        try:
            run_scenario(args, app, name, child_on_ctrl, deliver, seconds_range, child_codes, launcher_code)
            print(f"ok: {name}")
        except ScenarioFailure as failure:
            failures += 1
            print(f"FAILED: {name}: {failure}")
    total = len(scenarios)
    extra = (("nested_instance_has_no_handler", run_nested_scenario),
             ("sigkill_to_launcher_ends_child", run_kill_scenario))
    unpacking = (("ctrl_c_during_unpacking", run_unpacking_scenario),
                 ("ctrl_c_during_cached_unpacking", run_cached_unpacking_scenario))
    for name, scenario in unpacking + (() if args.console else extra):
        total += 1
        try:
            scenario(args, app)
            print(f"ok: {name}")
        except ScenarioFailure as failure:
            failures += 1
            print(f"FAILED: {name}: {failure}")
    print(f"{total - failures} of {total} scenarios passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
