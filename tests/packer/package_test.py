#!/usr/bin/env python3
"""Tavrik as another project sees it: installed with `cmake --install` into a
fresh prefix, found with find_package(Tavrik), used through tavrik_pack()
from a separate project cross-compiled with the MinGW-w64 toolchain file.
Nothing of this repository's build trees is used but what was installed.

The project is configured with the installed toolchain file (which looks
for packages below the MinGW-w64 root only) and CMAKE_PREFIX_PATH; a
toolchain file of the project's own finds the package as one installed in
/usr is found, through the file below the MinGW-w64 root.

For Unix Makefiles and for Ninja (which reads the packer's depfile itself):
the packed application runs under Wine
(its helper DLL and the base DLL that imports, collected from its runtime
DLLs, its plugin DLL, given as a target name, and its data folder all reach
it); a C program ported with <tavrik/main.h> gives, packed and run under
Wine, the bytes and exit codes it gives built natively; a DLL known as an
imported target is packed by its name; files deleted from (odd names among
them), added to or renamed in the packed folder change what `tavrik-pack
list` shows after the next build; a build with nothing changed packs nothing; touching
the installed stub, or a packed file whose name holds a space, "#", "$",
"%" and the like, packs again. tavrik-run.exe runs the unpacked DLL. Then
tavrik-run's refusals, and the mistakes configuration must stop at: no
packer, a missing ICON, a misspelt keyword after DIRECTORIES, an imported
target not seen where tavrik_pack() is called; and the build's refusal of
an import library. `tavrik-pack pack --dll-path` on the build folder packs
the application with the DLLs it imports, and that runs too. The notices
and the licence are installed.

Usage: package_test.py --host-build DIR --source DIR --work DIR
"""
import argparse
import glob
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

    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    prefix = os.path.join(args.work, "prefix")
    must(run(["cmake", "--install", args.host_build, "--prefix", prefix]), "cmake --install")
    pack = os.path.join(prefix, "bin", "tavrik-pack")
    stub = os.path.join(prefix, "share", "tavrik", "tavrik-launcher.exe")
    runner = os.path.join(prefix, "share", "tavrik", "tavrik-run.exe")
    toolchain = os.path.join(prefix, "share", "tavrik", "mingw-w64.cmake")
    installed = [pack, stub, runner, toolchain] + [
        os.path.join(prefix, *path.split("/")) for path in
        ("lib/cmake/Tavrik/TavrikConfig.cmake", "lib/cmake/Tavrik/TavrikConfigVersion.cmake",
         "lib/cmake/Tavrik/TavrikPack.cmake", "include/tavrik/main.h",
         "x86_64-w64-mingw32/lib/cmake/Tavrik/TavrikConfig.cmake",
         "x86_64-w64-mingw32/lib/cmake/Tavrik/TavrikConfigVersion.cmake")]
    for path in installed:
        check(os.path.isfile(path), f"not installed: {os.path.relpath(path, prefix)}")
    check_notices(args, prefix)
    if failures:
        report()

    prebuilt = build_prebuilt(args)
    for generator in ("Unix Makefiles", "Ninja"):
        check_generator(generator, args, prefix, pack, stub, runner, wine_run, toolchain, prebuilt)
    check_dll_path(args, pack, wine_run, os.path.join(args.work, "build-ninja"))
    check_runner_refusals(args, runner, wine_run)
    check_configuration_errors(args, prefix, toolchain, prebuilt)
    check_own_toolchain(args, prefix, prebuilt)
    report()


def check_notices(args, prefix):
    """zstd's licence as fetched, the MinGW-w64 runtime's notices, the place
    for the project's own licence, and Debian's copyright file holding all."""
    docs = os.path.join(prefix, "share", "doc", "tavrik")
    with open(os.path.join(args.source, "build", "third_party", "zstd", "LICENSE")) as f:
        zstd = f.read()
    with open("/usr/share/doc/mingw-w64-x86-64-dev/copyright") as f:
        mingw = f.read()
    with open(os.path.join(args.source, "LICENSE")) as f:
        own = f.read()
    for name, parts in (("THIRD-PARTY-NOTICES.txt", (zstd, mingw)), ("copyright", (own, zstd, mingw)),
                        ("LICENSE", (own,))):
        path = os.path.join(docs, name)
        if not check(os.path.isfile(path), f"not installed: share/doc/tavrik/{name}"):
            continue
        with open(path) as f:
            text = f.read()
        for part in parts:
            check(part in text, f"share/doc/tavrik/{name} lacks {part[:40]!r}")
    check(own.startswith("THE PROJECT'S OWN LICENCE GOES HERE."), "LICENSE lost its marked place")


def build_prebuilt(args):
    """A DLL built outside the project, with its import library, as a
    library found on the system would be."""
    prebuilt = os.path.join(args.work, "prebuilt")
    os.makedirs(prebuilt)
    source = os.path.join(prebuilt, "prebuilt.c")
    with open(source, "w") as f:
        f.write("__declspec(dllexport) int prebuilt_answer(void) { return 42; }\n")
    must(run(["x86_64-w64-mingw32-gcc", "-shared", "-o", os.path.join(prebuilt, "prebuilt.dll"), source,
              "-Wl,--out-implib," + os.path.join(prebuilt, "libprebuilt.dll.a")]), "building prebuilt.dll")
    return prebuilt


ODD_FOLDER = "odd $#%~ ]é"
ODD_NAMES = ["a b.txt", "h#1.txt", "p$rice.txt", "$$.txt", "10%.txt", "~t.txt", "b].txt", "(x).txt", "é.txt",
             "!@{},+.txt", "-x.txt"]
# Beside the odd folder: a name with no "%" on its way.
ODD_OUTSIDE = "x #1 $é.txt"


def with_odd(names, odd=ODD_NAMES):
    """`names` with the odd folder's files `odd`, in archive order (by UTF-16 units)."""
    all_names = names + [ODD_FOLDER + "\\" + name for name in odd]
    return [all_names[0]] + sorted(all_names[1:], key=lambda name: name.encode("utf-16-be"))


def project_copy(args, name):
    """The test project with the example's icon, in a directory of its own."""
    source = os.path.join(args.work, name)
    shutil.copytree(os.path.join(args.source, "tests", "packer", "package_project"), source)
    shutil.copy(os.path.join(args.source, "examples", "hello", "hello.ico"), os.path.join(source, "app.ico"))
    return source


def configure(source, build, generator, prefix, toolchain, prebuilt, *extra):
    return run(["cmake", "-S", source, "-B", build, "-G", generator, "-DCMAKE_BUILD_TYPE=Release",
                "-DCMAKE_TOOLCHAIN_FILE=" + toolchain, "-DCMAKE_PREFIX_PATH=" + prefix, "-DPREBUILT_DIR=" + prebuilt,
                *extra])


# The C program's runs: arguments, standard input; UTF-8 beyond ASCII, and
# bytes a text-mode stream would change (CR LF, Ctrl+Z, NUL).
PORT_CASES = [
    (["plain", "two words", "Grüße, κόσμε, 日本語 😀"], b"line one\r\nline two\n\x1a after Ctrl+Z \x00\xff\n"),
    ([], b"\r\n" * 5000 + bytes(range(256)) * 64),
    (["first", "--exit", "never printed"], b"unread"),
]


def check_port(generator, args, prefix, build, wine_run):
    """port.c: the same bytes on each stream and the same exit code, built
    natively with the header doing nothing, and packed under Wine."""
    native = os.path.join(args.work, "port-native")
    if not os.path.exists(native):
        must(run(["cc", "-std=c99", "-Wall", "-Werror", "-I", os.path.join(prefix, "include"), "-o", native,
                  os.path.join(args.source, "tests", "packer", "package_project", "port.c")]), "native port")
    exe = os.path.join(build, "port.exe")
    for arguments, stdin in PORT_CASES:
        with tempfile.TemporaryDirectory(dir=args.work) as scratch:
            expected = subprocess.run([native, *arguments], input=stdin, capture_output=True, cwd=scratch)
            got = subprocess.run([wine_run, exe, *arguments], input=stdin, capture_output=True, cwd=scratch)
        check(expected.returncode in (3, 4), f"native port {arguments}: exit {expected.returncode}")
        check((got.returncode, got.stdout, got.stderr) == (expected.returncode, expected.stdout, expected.stderr),
              f"{generator}: port.exe {arguments}: {got.returncode} {got.stdout[:200]!r} {got.stderr[:200]!r}, "
              f"natively {expected.returncode} {expected.stdout[:200]!r} {expected.stderr[:200]!r}")


def check_generator(generator, args, prefix, pack, stub, runner, wine_run, toolchain, prebuilt):
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
    with open(os.path.join(source, "data", ODD_OUTSIDE), "w") as file:
        file.write(ODD_OUTSIDE)
    must(configure(source, build, generator, prefix, toolchain, prebuilt), f"{generator}: configure")
    must(run(["cmake", "--build", build]), f"{generator}: first build")
    exe = os.path.join(build, "app.exe")
    names = listed_names(pack, exe)
    check(names == with_odd(["app.dll", "base.dll", "extra.txt", "greeting.txt", "helper.dll", "plugin.dll", "sub\\deep.txt",
                             ODD_OUTSIDE]),
          f"{generator}: packed {names}")
    check("subsystem: console" in must(run([pack, "list", exe]), "list").stdout, f"{generator}: not a console program")
    names = listed_names(pack, os.path.join(build, "port.exe"))
    check(names == ["port.dll", "prebuilt.dll"], f"{generator}: port.exe packed {names}")
    check_port(generator, args, prefix, build, wine_run)

    # The packed program, from an empty directory of its own.
    expected = ("helper: helper.dll answers through base.dll\nplugin: plugin.dll answers\n"
                "greeting: Hello from the data folder\n"
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

    # CACHE_DIR: the spec as given, "/" taken for "\", and a start that
    # unpacks below TAVRIK_CACHE_DIR and prints what the per-run one does.
    cached = os.path.join(build, "app-cached.exe")
    lines = must(run([pack, "list", cached]), "list").stdout.splitlines()
    check(lines[-1].startswith("start: cached in {CACHE_DIR}\\TavrikCheck\\app-cached-"),
          f"{generator}: app-cached.exe lists {lines[-1]!r}")
    with tempfile.TemporaryDirectory(dir=args.work) as scratch:
        cache = os.path.join(scratch, "cache")
        env = dict(os.environ, TAVRIK_CACHE_DIR="Z:" + cache.replace("/", "\\"))
        for start in ("cold", "warm"):
            result = run([wine_run, cached, "one", "two words"], cwd=scratch, env=env)
            check(result.returncode == 7 and result.stdout.replace("\r\n", "\n") == expected,
                  f"{generator}: app-cached.exe, {start} start, exited with {result.returncode}: {result.stdout!r}")
        check(glob.glob(os.path.join(cache, "app-cached-*", "*", "helper.dll")), f"{generator}: nothing in {cache}")

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
    # The files deleted have names the build tool must read back; with
    # make, none whose path holds "%" (as the odd folder's does): CMake
    # writes the rule that lets make go on without such a file as a pattern
    # rule, and make stops.
    data = os.path.join(source, "data")
    gone = ["a b.txt", "h#1.txt", "p$rice.txt", "$$.txt", "10%.txt"] if tag == "ninja" else []
    after(stamp, args.work)
    os.remove(os.path.join(data, "extra.txt"))
    os.remove(os.path.join(data, ODD_OUTSIDE))
    for name in gone:
        os.remove(os.path.join(odd, name))
    must(run(["cmake", "--build", build]), f"{generator}: build after deleting files")
    names = listed_names(pack, exe)
    kept = [name for name in ODD_NAMES if name not in gone]
    check(names == with_odd(["app.dll", "base.dll", "greeting.txt", "helper.dll", "plugin.dll", "sub\\deep.txt"], kept),
          f"{generator}: after deleting extra.txt, {ODD_OUTSIDE} and {gone}: {names}")
    expect_no_packing(generator, build, exe, "after files were deleted")
    after(stamp, args.work)
    with open(os.path.join(data, "new.txt"), "w") as new:
        new.write("new")
    os.rename(os.path.join(data, "sub", "deep.txt"), os.path.join(data, "sub", "deeper.txt"))
    must(run(["cmake", "--build", build]), f"{generator}: build after adding and renaming")
    names = listed_names(pack, exe)
    check(names == with_odd(["app.dll", "base.dll", "greeting.txt", "helper.dll", "new.txt", "plugin.dll", "sub\\deeper.txt"],
                            kept),
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


def check_dll_path(args, pack, wine_run, build):
    """tavrik-pack --dll-path on a build folder: the application, the DLL it
    imports and the one that imports, and the result runs; without the
    folder, the refusal names the importer."""
    exe = os.path.join(args.work, "direct.exe")
    app = os.path.join(build, "app.dll")
    result = must(run([pack, "pack", "--fast", "--console", "--dll-path", build, "-o", exe, app]), "pack --dll-path")
    check(listed_names(pack, exe) == ["app.dll", "base.dll", "helper.dll"], f"--dll-path packed {listed_names(pack, exe)}")
    with tempfile.TemporaryDirectory(dir=args.work) as scratch:
        result = run([wine_run, exe, "one"], cwd=scratch)
    check((result.returncode, result.stdout.replace("\r\n", "\n")) ==
          (7, "helper: helper.dll answers through base.dll\nplugin: (not found)\ngreeting: (not found)\n"
              "icon: found\nargument 1: one\n"), f"direct.exe: {result.returncode} {result.stdout!r} {result.stderr!r}")
    result = run([pack, "pack", "--dry-run", "--dll-path", os.path.join(build, "helper.dll"), app])
    check((result.returncode, result.stderr) ==
          (1, 'tavrik-pack: error: packed file "helper.dll" imports "base.dll", which is not packed nor in a '
              "--dll-path folder; pack it, or give --allow-missing base.dll if the user's machine provides it\n"),
          f"--dll-path without base.dll: {result.returncode} {result.stderr!r}")


def check_configuration_errors(args, prefix, toolchain, prebuilt):
    source = project_copy(args, "project-errors")
    build = os.path.join(args.work, "build-errors")
    must(configure(source, build, "Unix Makefiles", prefix, toolchain, prebuilt), "configure")
    missing = os.path.join(args.work, "no-such-dir", "tavrik-pack")
    cases = [
        (["-DTAVRIK_HOST_PACK=" + missing],
         f'tavrik_pack: the packer "{missing}" (TAVRIK_HOST_PACK) does not exist'),
        (["-DTAVRIK_HOST_PACK=", "-DCHECK_CASE=missing_icon"],
         f'tavrik_pack: ICON "no-such.ico" does not exist ({source}/no-such.ico)'),
        (["-DCHECK_CASE=misspelt_keyword"],
         f'tavrik_pack: DIRECTORIES entry "CONSOL" is not a directory ({source}/CONSOL); '
         "did you mean the keyword CONSOLE?"),
        (["-DCHECK_CASE=hidden_import"],
         'tavrik_pack: FILES entry "Hidden::dll" is not a target here: an imported target is seen only in the '
         "directory whose find_package() or add_library() made it, and below; call find_package() in this "
         "directory (or above), or make the target GLOBAL"),
    ]
    for extra, message in cases:
        result = configure(source, build, "Unix Makefiles", prefix, toolchain, prebuilt, *extra)
        check(result.returncode != 0, f"configure with {extra} succeeded")
        check(one_line(message) in one_line(result.stderr), f"configure with {extra}: {result.stderr}")
    # Configured, refused when packing: an import library in FILES, named
    # with its DLL; the runtime DLLs not offered, the first one missing.
    library = os.path.join(prebuilt, "libprebuilt.dll.a")
    cases = [
        ("import_library", f'tavrik-pack: error: file "{library}" is an import library for "prebuilt.dll", not a '
                           'DLL: pack "prebuilt.dll" instead (or give its folder to --dll-path)\n'),
        ("no_runtime_dlls", 'tavrik-pack: error: application "app.dll" imports "helper.dll", which is not packed; '
                            "pack it, or give --allow-missing helper.dll if the user's machine provides it\n"),
    ]
    for case, line in cases:
        must(configure(source, build, "Unix Makefiles", prefix, toolchain, prebuilt, "-DCHECK_CASE=" + case),
             f"configure with {case}")
        result = run(["cmake", "--build", build, "--target", "app_packed"])
        check(result.returncode != 0 and line in result.stderr, f"packing with {case}: {result.stderr}")
    # Mended, the same build tree configures again.
    result = configure(source, build, "Unix Makefiles", prefix, toolchain, prebuilt, "-DCHECK_CASE=")
    check(result.returncode == 0, f"configure after the mistakes: {result.stderr}")


def check_own_toolchain(args, prefix, prebuilt):
    """A project's own toolchain file, as usual for MinGW-w64 (every find
    below its root only), finds the package the way a package installed in
    /usr is found: here the root is the prefix's x86_64-w64-mingw32 folder
    beside the system's, as /usr/x86_64-w64-mingw32 is beside /usr."""
    toolchain = os.path.join(args.work, "own-toolchain.cmake")
    with open(toolchain, "w") as f:
        f.write("set(CMAKE_SYSTEM_NAME Windows)\n"
                "set(CMAKE_SYSTEM_PROCESSOR x86_64)\n"
                "set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)\n"
                "set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)\n"
                f"set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 {prefix}/x86_64-w64-mingw32)\n"
                "set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)\n"
                "set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)\n"
                "set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)\n"
                "set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)\n"
                "set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)\n")
    source = project_copy(args, "project-own")
    build = os.path.join(args.work, "build-own")
    result = run(["cmake", "-S", source, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                  "-DCMAKE_TOOLCHAIN_FILE=" + toolchain, "-DPREBUILT_DIR=" + prebuilt])
    check(result.returncode == 0, f"configure with the project's own toolchain file: {result.stderr}")


def report():
    for failure in failures:
        print("FAIL:", failure)
    print("package test:", "failed" if failures else "passed")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
