#!/usr/bin/env python3
"""Tavrik as another project sees it: installed with `cmake --install` into a
fresh prefix, found with find_package(Tavrik), used through tavrik_pack()
from a separate project cross-compiled with the MinGW-w64 toolchain file.
Nothing of this repository's build trees is used but what was installed.

For Unix Makefiles and for Ninja (which reads the packer's depfile itself):
the packed application runs under Wine
(its helper DLL, given as $<TARGET_FILE:helper>, its plugin DLL, given as a
target name, and its data folder all reach it); a file deleted from, added
to or renamed in the packed folder changes what `tavrik-pack list` shows
after the next build; a build with nothing changed packs nothing; touching
the installed stub, or a packed file whose name holds a space, "#", "$",
"%" and the like, packs again. tavrik-run.exe runs the unpacked DLL. Then
tavrik-run's refusals, and the mistakes configuration must stop at: no
packer, a missing ICON, a misspelt keyword after DIRECTORIES.

Usage: package_test.py --host-build DIR --source DIR --work DIR
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def run(args, cwd=None, env=None):
    return subprocess.run(args, cwd=cwd, env=env, capture_output=True, text=True)


def must(result, what):
    if result.returncode != 0:
        print(f"{what} failed ({result.returncode}):\n{result.stdout}\n{result.stderr}")
        sys.exit(1)
    return result


def listed_names(pack, exe):
    """The file names `tavrik-pack list` shows, in archive order."""
    result = must(run([pack, "list", exe]), "list")
    return [line.split(" ", 1)[1] for line in result.stdout.splitlines() if re.match(r"^[0-9]+ ", line)]


def after(path, work):
    """Returns once the file system stamps a change later than `path`'s time:
    its clock is coarse (some milliseconds), and a change in the same tick
    as the packing would look older to make and Ninja, as it would not for
    a person editing files."""
    probe = os.path.join(work, "clock-probe")
    while True:
        with open(probe, "w"):
            pass
        if os.stat(probe).st_mtime_ns > os.stat(path).st_mtime_ns:
            return
        time.sleep(0.005)


def one_line(text):
    """CMake wraps long messages: compare them with whitespace collapsed."""
    return " ".join(text.split())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host-build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    wine_run = os.path.join(args.source, "scripts", "wine-run")
    toolchain = os.path.join(args.source, "cmake", "mingw-w64.cmake")

    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    prefix = os.path.join(args.work, "prefix")
    must(run(["cmake", "--install", args.host_build, "--prefix", prefix]), "cmake --install")
    pack = os.path.join(prefix, "bin", "tavrik-pack")
    stub = os.path.join(prefix, "share", "tavrik", "tavrik-launcher.exe")
    runner = os.path.join(prefix, "share", "tavrik", "tavrik-run.exe")
    for path in [pack, stub, runner] + [os.path.join(prefix, "lib", "cmake", "Tavrik", name) for name in
                                        ("TavrikConfig.cmake", "TavrikConfigVersion.cmake", "TavrikPack.cmake")]:
        check(os.path.isfile(path), f"not installed: {os.path.relpath(path, prefix)}")
    if failures:
        report()

    for generator in ("Unix Makefiles", "Ninja"):
        check_generator(generator, args, prefix, pack, stub, runner, wine_run, toolchain)
    check_runner_refusals(args, runner, wine_run)
    check_configuration_errors(args, prefix, toolchain)
    report()


ODD_FOLDER = "odd $#%~ ]é"
ODD_NAMES = ["a b.txt", "h#1.txt", "p$rice.txt", "$$.txt", "10%.txt", "~t.txt", "b].txt", "(x).txt", "é.txt",
             "!@{},+.txt", "-x.txt"]


def with_odd(names):
    """`names` with the odd folder's files, in archive order (by UTF-16 units)."""
    all_names = names + [ODD_FOLDER + "\\" + name for name in ODD_NAMES]
    return [all_names[0]] + sorted(all_names[1:], key=lambda name: name.encode("utf-16-be"))


def project_copy(args, name):
    """The test project with the example's icon, in a directory of its own."""
    source = os.path.join(args.work, name)
    shutil.copytree(os.path.join(args.source, "tests", "host", "package_project"), source)
    shutil.copy(os.path.join(args.source, "examples", "hello", "hello.ico"), os.path.join(source, "app.ico"))
    return source


def configure(source, build, generator, prefix, toolchain, *extra):
    return run(["cmake", "-S", source, "-B", build, "-G", generator, "-DCMAKE_BUILD_TYPE=Release",
                "-DCMAKE_TOOLCHAIN_FILE=" + toolchain, "-DCMAKE_PREFIX_PATH=" + prefix, *extra])


def check_generator(generator, args, prefix, pack, stub, runner, wine_run, toolchain):
    tag = generator.split()[-1].lower()
    source = project_copy(args, "project-" + tag)
    build = os.path.join(args.work, "build-" + tag)
    # Names with what the depfile must escape, or make or Ninja would
    # misread, in a folder whose own name holds some too.
    odd = os.path.join(source, "data", ODD_FOLDER)
    os.makedirs(odd)
    for name in ODD_NAMES:
        with open(os.path.join(odd, name), "w") as file:
            file.write(name)
    must(configure(source, build, generator, prefix, toolchain), f"{generator}: configure")
    must(run(["cmake", "--build", build]), f"{generator}: first build")
    exe = os.path.join(build, "app.exe")
    names = listed_names(pack, exe)
    check(names == with_odd(["app.dll", "extra.txt", "greeting.txt", "helper.dll", "plugin.dll", "sub\\deep.txt"]),
          f"{generator}: packed {names}")
    check("subsystem: console" in must(run([pack, "list", exe]), "list").stdout, f"{generator}: not a console program")

    # The packed program, from an empty directory of its own.
    expected = ("helper: helper.dll answers\nplugin: plugin.dll answers\ngreeting: Hello from the data folder\n"
                "icon: found\n"
                "argument 1: one\nargument 2: two words\n")
    with tempfile.TemporaryDirectory(dir=args.work) as scratch:
        result = run([wine_run, exe, "one", "two words"], cwd=scratch)
        check(result.returncode == 7, f"{generator}: app.exe exited with {result.returncode}: {result.stderr}")
        check(result.stdout.replace("\r\n", "\n") == expected, f"{generator}: app.exe printed {result.stdout!r}")
        # The same DLL unpacked, through tavrik-run.exe: argv[0] is
        # tavrik-run's, the rest follows; nothing but the data file is
        # missing beside the DLL in the build tree.
        result = run([wine_run, runner, os.path.join(build, "app.dll"), "one", "two words"], cwd=scratch)
        check(result.returncode == 7, f"{generator}: tavrik-run exited with {result.returncode}: {result.stderr}")
        check(result.stdout.replace("\r\n", "\n") == expected.replace("Hello from the data folder", "(not found)"),
              f"{generator}: tavrik-run printed {result.stdout!r}")

    # Changes below come after the stamp, touched after each packing: Ninja
    # takes the newer of a command's outputs for its time.
    stamp = os.path.join(build, "CMakeFiles", "app_packed.stamp")
    expect_no_packing(generator, build, exe, "after the first build")

    # Each of those files, changed, packs again.
    for name in ODD_NAMES:
        before = os.stat(exe).st_mtime_ns
        after(stamp, args.work)
        os.utime(os.path.join(odd, name))
        must(run(["cmake", "--build", build]), f"{generator}: build after touching {name}")
        check(os.stat(exe).st_mtime_ns != before, f"{generator}: touching {ODD_FOLDER}/{name} did not pack again")
    expect_no_packing(generator, build, exe, "after the odd names changed")

    # The packed folder changes: deleted, added, renamed in a sub-folder.
    data = os.path.join(source, "data")
    after(stamp, args.work)
    os.remove(os.path.join(data, "extra.txt"))
    must(run(["cmake", "--build", build]), f"{generator}: build after deleting a file")
    names = listed_names(pack, exe)
    check("extra.txt" not in names, f"{generator}: deleted extra.txt still packed: {names}")
    after(stamp, args.work)
    with open(os.path.join(data, "new.txt"), "w") as new:
        new.write("new")
    os.rename(os.path.join(data, "sub", "deep.txt"), os.path.join(data, "sub", "deeper.txt"))
    must(run(["cmake", "--build", build]), f"{generator}: build after adding and renaming")
    names = listed_names(pack, exe)
    check(names == with_odd(["app.dll", "greeting.txt", "helper.dll", "new.txt", "plugin.dll", "sub\\deeper.txt"]),
          f"{generator}: after adding new.txt and renaming sub/deep.txt: {names}")
    # The files that went are no dependencies any more.
    expect_no_packing(generator, build, exe, "after files went")

    # A newer stub packs again.
    before = os.stat(exe).st_mtime_ns
    after(stamp, args.work)
    os.utime(stub)
    must(run(["cmake", "--build", build]), f"{generator}: build after touching the stub")
    check(os.stat(exe).st_mtime_ns != before, f"{generator}: touching the stub did not pack again")


def expect_no_packing(generator, build, exe, when):
    """Nothing changed: two more builds pack nothing. (Ninja would pack every
    time if the depfile named another target than the command's first output,
    make if a file named in an old depfile stayed a dependency.)"""
    before = os.stat(exe).st_mtime_ns
    for _ in range(2):
        result = must(run(["cmake", "--build", build]), f"{generator}: build with nothing changed")
        check("Packing" not in result.stdout and os.stat(exe).st_mtime_ns == before,
              f"{generator}: packed again with nothing changed {when}:\n{result.stdout}")


def check_runner_refusals(args, runner, wine_run):
    """tavrik-run ends as the launcher's child would, or with its usage."""
    with tempfile.TemporaryDirectory(dir=args.work) as scratch:
        result = run([wine_run, runner, "missing.dll"], cwd=scratch)
        check((result.returncode, result.stdout, result.stderr.replace("\r\n", "\n")) ==
              (2, "", "Error, load DLL. ([Error 126] Module not found.)\n"),
              f"tavrik-run missing.dll: {result.returncode} {result.stdout!r} {result.stderr!r}")
        result = run([wine_run, runner], cwd=scratch)
        check(result.returncode == 2 and result.stderr.startswith("usage: tavrik-run APP.dll [ARGUMENTS...]"),
              f"tavrik-run without arguments: {result.returncode} {result.stderr!r}")


def check_configuration_errors(args, prefix, toolchain):
    source = project_copy(args, "project-errors")
    build = os.path.join(args.work, "build-errors")
    must(configure(source, build, "Unix Makefiles", prefix, toolchain), "configure")
    missing = os.path.join(args.work, "no-such-dir", "tavrik-pack")
    cases = [
        (["-DTAVRIK_HOST_PACK=" + missing],
         f'tavrik_pack: the packer "{missing}" (TAVRIK_HOST_PACK) does not exist'),
        (["-DTAVRIK_HOST_PACK=", "-DCHECK_CASE=missing_icon"],
         f'tavrik_pack: ICON "no-such.ico" does not exist ({source}/no-such.ico)'),
        (["-DCHECK_CASE=misspelt_keyword"],
         f'tavrik_pack: DIRECTORIES entry "CONSOL" is not a directory ({source}/CONSOL); '
         "did you mean the keyword CONSOLE?"),
    ]
    for extra, message in cases:
        result = configure(source, build, "Unix Makefiles", prefix, toolchain, *extra)
        check(result.returncode != 0, f"configure with {extra} succeeded")
        check(one_line(message) in one_line(result.stderr), f"configure with {extra}: {result.stderr}")
    # Mended, the same build tree configures again.
    result = configure(source, build, "Unix Makefiles", prefix, toolchain, "-DCHECK_CASE=")
    check(result.returncode == 0, f"configure after the mistakes: {result.stderr}")


def report():
    for failure in failures:
        print("FAIL:", failure)
    print("package test:", "failed" if failures else "passed")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
