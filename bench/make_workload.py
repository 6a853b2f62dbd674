#!/usr/bin/env python3
"""Makes the benchmark's reference workload, the same bytes on every run.

    make_workload.py APP_DLL OUT_DIR [--total-bytes N]

The workload is shaped like a real application: 65 files, 73,569,904 bytes
in all. The first is the application library, APP_DLL (a real PE DLL
exporting run_code) padded with overlay data after its last section to
exactly 7,893,504 bytes; the loader ignores such overlay. Two files are
empty, 26 names have backslashes (at most three each) and the longest name
is 55 UTF-16 units.

The content is real machine code and data: the files listed in SOURCES,
which the packages that scripts/setup installs provide, read one after the
other as one stream and cut, in archive order, to the sizes in LAYOUT. Each
byte of the stream is used once, so the compressor sees no copies that a
real application would not have.

With --total-bytes, every size is scaled so the files add up to N bytes
instead (the same names, the same two empty files): the same application,
grown, for the memory figures of a larger one.

Writes OUT_DIR/<app dll name>, OUT_DIR/files/... and OUT_DIR/workload.json
(names, sizes, sources, the archive size the packer will produce and a
SHA-256 over all names and contents). When OUT_DIR/workload.json already
describes the same inputs, nothing is written again.
"""

import glob
import hashlib
import json
import os
import sys

TOTAL_BYTES = 73_569_904
APP_BYTES = 7_893_504

# The application library comes first; the packer stores the other files
# sorted by name, and the stream is cut in that order.
LAYOUT = [
    ("Qt6Core.dll", 5_551_104),
    ("Qt6Gui.dll", 5_206_528),
    ("Qt6Widgets.dll", 4_412_416),
    ("Qt6Network.dll", 1_590_272),
    ("Qt6Svg.dll", 372_736),
    ("Qt6OpenGL.dll", 1_884_160),
    ("libcrypto-3-x64.dll", 4_008_448),
    ("libssl-3-x64.dll", 776_192),
    ("sqlite3.dll", 1_523_712),
    ("libffi-8.dll", 35_840),
    ("zlib1.dll", 90_112),
    ("liblzma-5.dll", 162_304),
    ("libbz2-1.dll", 81_408),
    ("vcruntime140.dll", 109_440),
    ("vcruntime140_1.dll", 49_528),
    ("msvcp140.dll", 565_640),
    ("libgcc_s_seh-1.dll", 119_808),
    ("libwinpthread-1.dll", 60_928),
    ("icuuc73.dll", 2_004_480),
    ("icuin73.dll", 2_001_920),
    ("python311.dll", 4_469_248),
    ("base_library.zip", 1_386_496),
    ("_ssl.pyd", 178_176),
    ("_socket.pyd", 81_408),
    ("_ctypes.pyd", 128_000),
    ("select.pyd", 29_184),
    ("unicodedata.pyd", 1_120_768),
    ("_hashlib.pyd", 64_512),
    ("_lzma.pyd", 158_720),
    ("_bz2.pyd", 84_480),
    ("pyexpat.pyd", 197_632),
    ("_decimal.pyd", 263_680),
    ("_sqlite3.pyd", 98_304),
    ("_elementtree.pyd", 58_368),
    ("_asyncio.pyd", 65_024),
    ("_overlapped.pyd", 50_176),
    ("_queue.pyd", 25_088),
    ("app.exe.manifest", 0),
    ("platforms\\qwindows.dll", 889_856),
    ("platforms\\qminimal.dll", 72_192),
    ("platforms\\qoffscreen.dll", 610_304),
    ("imageformats\\qjpeg.dll", 450_560),
    ("imageformats\\qgif.dll", 41_984),
    ("imageformats\\qico.dll", 48_640),
    ("imageformats\\qsvg.dll", 38_400),
    ("imageformats\\qwebp.dll", 515_072),
    ("styles\\qwindowsvistastyle.dll", 172_032),
    ("tls\\qschannelbackend.dll", 160_256),
    ("tls\\qopensslbackend.dll", 252_928),
    ("lib\\app\\__init__.py", 0),
    ("lib\\app\\core.pyd", 2_355_200),
    ("lib\\app\\render.pyd", 1_468_416),
    ("lib\\app\\plugins\\exporter.pyd", 412_672),
    ("lib\\numpy\\core\\_multiarray_umath.pyd", 3_264_512),
    ("lib\\numpy\\core\\_simd.pyd", 2_151_424),
    ("lib\\numpy\\linalg\\_umath_linalg.pyd", 110_592),
    ("lib\\numpy\\random\\_generator.pyd", 676_864),
    ("lib\\numpy\\fft\\_pocketfft_internal.pyd", 134_144),
    ("lib\\numpy.libs\\libopenblas64__v0.3.23-293-gc2f4bdbb.dll", 6_291_456),
    ("lib\\PIL\\_imaging.cp311-win_amd64.pyd", 2_483_200),
    ("lib\\PIL\\_imagingft.cp311-win_amd64.pyd", 1_708_032),
    ("lib\\yaml\\_yaml.cp311-win_amd64.pyd", 233_472),
    ("resources\\app.rcc", 1_310_720),
    ("resources\\fonts\\DejaVuSans.ttf", 757_232),
]

# (glob, Debian package): programs and libraries, stripped, read in this
# order. Only as much is read as the workload needs; the last entries are a
# reserve in case a package update makes the first ones smaller, and the
# content of a larger workload. cc1, cc1plus and lto1 share most of their
# code, so only cc1plus is used.
SOURCES = [
    ("/usr/lib/gcc/x86_64-w64-mingw32/*-posix/cc1plus", "g++-mingw-w64-x86-64-posix"),
    ("/usr/lib/gcc/x86_64-w64-mingw32/*-posix/libstdc++-6.dll", "gcc-mingw-w64-x86-64-posix-runtime"),
    ("/usr/bin/cmake", "cmake"),
    ("/usr/bin/x86_64-w64-mingw32-as", "binutils-mingw-w64-x86-64"),
    ("/usr/lib/gcc/x86_64-w64-mingw32/*-posix/libgomp-1.dll", "gcc-mingw-w64-x86-64-posix-runtime"),
    ("/usr/lib/gcc/x86_64-w64-mingw32/*-posix/libquadmath-0.dll", "gcc-mingw-w64-x86-64-posix-runtime"),
    ("/usr/bin/x86_64-w64-mingw32-objdump", "binutils-mingw-w64-x86-64"),
    ("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/kernelbase.dll", "libwine"),
    ("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/wined3d.dll", "libwine"),
    ("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/shell32.dll", "libwine"),
    ("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/msxml3.dll", "libwine"),
    ("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/mshtml.dll", "libwine"),
]


def resolve_sources():
    paths = []
    for pattern, package in SOURCES:
        found = sorted(glob.glob(pattern))
        if found:
            paths.append((os.path.realpath(found[-1]), package))
    return paths


class Stream:
    """The source files, one after the other, read on demand."""

    def __init__(self, sources):
        self.sources = list(sources)
        self.index = 0
        self.file = None
        self.used = []  # (path, package, bytes taken)

    def read(self, count):
        out = bytearray()
        while len(out) < count:
            if self.file is None:
                if self.index == len(self.sources):
                    sys.exit("make_workload: the source files are too small for the workload")
                path, package = self.sources[self.index]
                self.file = open(path, "rb")
                self.used.append([path, package, 0])
            chunk = self.file.read(count - len(out))
            if not chunk:
                self.file.close()
                self.file = None
                self.index += 1
                continue
            self.used[-1][2] += len(chunk)
            out += chunk
        return bytes(out)


def archive_bytes(names_and_sizes):
    # Per record: the UTF-16LE name, a zero unit, a 64-bit size, the content;
    # then one zero unit ends the archive.
    total = 2
    for name, size in names_and_sizes:
        total += len(name.encode("utf-16-le")) + 2 + 8 + size
    return total


def remove_old_workload(out_dir, files_dir, old):
    """Removes exactly the files an earlier run listed, then the directories
    they leave empty; nothing else."""
    os.unlink(os.path.join(out_dir, "workload.json"))
    for index, (name, _) in enumerate(old.get("entries", [])):
        parts = name.split("\\")
        path = os.path.join(out_dir, name) if index == 0 else os.path.join(files_dir, *parts)
        if os.path.isfile(path):
            os.unlink(path)
        for depth in range(len(parts) - 1, 0, -1):
            directory = os.path.join(files_dir, *parts[:depth])
            if index > 0 and os.path.isdir(directory) and not os.listdir(directory):
                os.rmdir(directory)


def scaled(entries, total):
    """The sizes scaled to add up to `total`; the largest file takes the
    rounding."""
    out = [(name, size * total // TOTAL_BYTES) for name, size in entries]
    largest = max(range(len(out)), key=lambda i: out[i][1])
    name, size = out[largest]
    out[largest] = (name, size + total - sum(s for _, s in out))
    return out


def main():
    arguments = sys.argv[1:]
    total = TOTAL_BYTES
    if len(arguments) == 4 and arguments[2] == "--total-bytes":
        total = int(arguments[3])
        arguments = arguments[:2]
    if len(arguments) != 2 or total < TOTAL_BYTES // 2:
        sys.exit("usage: make_workload.py APP_DLL OUT_DIR [--total-bytes N]")
    app_path, out_dir = arguments
    app_name = os.path.basename(app_path)
    with open(app_path, "rb") as f:
        app = f.read()
    sources = resolve_sources()

    entries = [(app_name, APP_BYTES)] + sorted(LAYOUT, key=lambda e: e[0])
    if total != TOTAL_BYTES:
        entries = scaled(entries, total)
    names = [name for name, _ in entries]
    assert len(entries) == 65
    assert sum(size for _, size in entries) == total
    assert sum(1 for _, size in entries if size == 0) == 2
    assert sum(1 for name in names if "\\" in name) == 26
    assert max(name.count("\\") for name in names) <= 3
    assert max(len(name.encode("utf-16-le")) // 2 for name in names) == 55
    assert len(app) < entries[0][1]

    key = hashlib.sha256()
    key.update(str(total).encode())
    with open(__file__, "rb") as f:
        key.update(f.read())
    key.update(app)
    for path, _ in sources:
        st = os.stat(path)
        key.update(f"{path}\0{st.st_size}\0{st.st_mtime_ns}\0".encode())
    key = key.hexdigest()
    summary_path = os.path.join(out_dir, "workload.json")
    files_dir = os.path.join(out_dir, "files")
    if os.path.exists(summary_path):
        with open(summary_path) as f:
            old = json.load(f)
        if old.get("key") == key:
            print("make_workload: cached in " + out_dir)
            return
        remove_old_workload(out_dir, files_dir, old)
    if os.path.exists(files_dir) and os.listdir(files_dir):
        sys.exit("make_workload: " + files_dir + " holds files of no known workload; remove them first")
    os.makedirs(files_dir, exist_ok=True)
    stream = Stream(sources)
    digest = hashlib.sha256()
    for index, (name, size) in enumerate(entries):
        if index == 0:
            content = app + stream.read(size - len(app))
            path = os.path.join(out_dir, name)
        else:
            content = stream.read(size)
            path = os.path.join(files_dir, *name.split("\\"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)
        digest.update(name.encode("utf-16-le") + b"\0\0" + size.to_bytes(8, "little"))
        digest.update(content)

    summary = {
        "key": key,
        "app_dll": os.path.join(out_dir, app_name),
        "files_dir": files_dir,
        "files": len(entries),
        "bytes": total,
        "app_bytes": entries[0][1],
        "app_pe_bytes": len(app),
        "empty_files": sum(1 for _, size in entries if size == 0),
        "names_with_backslashes": sum(1 for name in names if "\\" in name),
        "most_backslashes": max(name.count("\\") for name in names),
        "longest_name_units": max(len(name.encode("utf-16-le")) // 2 for name in names),
        "archive_bytes": archive_bytes(entries),
        "sha256": digest.hexdigest(),
        "sources": [{"path": p, "package": pkg, "bytes_used": n} for p, pkg, n in stream.used],
        "entries": [[name, size] for name, size in entries],
    }
    with open(summary_path, "w") as f:
        json.dump(summary, f, indent=1)
    print("make_workload: wrote %d files, %d bytes, into %s" % (len(entries), total, out_dir))


if __name__ == "__main__":
    main()
