#!/usr/bin/env bash
# Makes the committed seed corpus from real packed bytes. Needs the built
# trees (scripts/build): the packer packs a real application with a few small
# files, and the seeds are cut from the result:
#   corpus/fuzz_packed_executable/  the packed executable, and a small DLL carrying the small archive
#   corpus/fuzz_attached_data/      its .tavrik section's bytes, and those of a small archive
#   corpus/fuzz_archive/            its decoded archive, and a small one with the same names
# Run it again when the formats change; the seeds need not follow every
# change of the stub.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
pack="$root/build/tavrik-pack"
stub="$root/build/windows/tavrik-launcher.exe"
app="$root/build/windows/tests/apps/dependent_app.dll"
for f in "$pack" "$stub" "$app"; do
    [ -f "$f" ] || { echo "make_corpus: $f missing: run scripts/build first" >&2; exit 1; }
done
command -v zstd >/dev/null || { echo "make_corpus: the zstd tool is missing" >&2; exit 1; }

work="$root/build/fuzz-corpus-work"
mkdir -p "$work/input/data"
printf 'x' >"$work/input/one.txt"
printf 'a small data file\n' >"$work/input/data/notes.txt"
"$pack" pack -o "$work/packed.exe" --stub "$stub" "$app" "$work/input/one.txt" "$work/input/data" >/dev/null

mkdir -p "$here/corpus/fuzz_packed_executable" "$here/corpus/fuzz_attached_data" "$here/corpus/fuzz_archive"
cp "$work/packed.exe" "$here/corpus/fuzz_packed_executable/packed.exe"

python3 - "$work/packed.exe" "$work" "$here/corpus" <<'PY'
import struct, subprocess, sys
exe_path, work, corpus = sys.argv[1:4]
exe = open(exe_path, "rb").read()
lfanew = struct.unpack_from("<I", exe, 0x3C)[0]
sections = struct.unpack_from("<H", exe, lfanew + 6)[0]
optional_size = struct.unpack_from("<H", exe, lfanew + 20)[0]
table = lfanew + 24 + optional_size
for i in range(sections):
    at = table + 40 * i
    if exe[at:at + 8].rstrip(b"\0") == b".tavrik":
        virtual_size, _, _, raw_offset = struct.unpack_from("<IIII", exe, at + 8)
        attached = exe[raw_offset:raw_offset + virtual_size]
        break
else:
    sys.exit("make_corpus: no .tavrik section")
open(f"{corpus}/fuzz_attached_data/packed.bin", "wb").write(attached)

def decode(frame):
    return subprocess.run(["zstd", "-d", "-c", "-q", "--memory=128MB"], input=frame,
                          stdout=subprocess.PIPE, check=True).stdout

def encode(archive):
    return subprocess.run(["zstd", "-19", "-c", "-q", "--no-check", "--no-content-size"], input=archive,
                          stdout=subprocess.PIPE, check=True).stdout

def attach(frame):
    data = b"ZUB" + frame + b"\0\0\0"
    return data + struct.pack("<Q", len(data)) + b"\0" * 8

archive = decode(attached[3:-19])
open(f"{corpus}/fuzz_archive/packed.bin", "wb").write(archive)

# The same records with their contents cut to a few bytes.
small, at = b"", 0
while True:
    end = at
    while archive[end:end + 2] != b"\0\0":
        end += 2
    if end == at:
        small += b"\0\0"
        break
    name = archive[at:end]
    size = struct.unpack_from("<Q", archive, end + 2)[0]
    content = archive[end + 10:end + 10 + size][:16]
    small += name + b"\0\0" + struct.pack("<Q", len(content)) + content
    at = end + 10 + size
open(f"{corpus}/fuzz_archive/small.bin", "wb").write(small)
small_attached = attach(encode(small))
open(f"{corpus}/fuzz_attached_data/small.bin", "wb").write(small_attached)

# A small DLL around the small attached data: headers, a .text section with
# an export directory naming run_code, and the .tavrik section. Mutations of
# a few kilobytes run far faster than those of the real stub.
def small_pe(attached):
    align, text_rva, tavrik_rva = 0x200, 0x1000, 0x2000
    text = bytearray(align)
    struct.pack_into("<IIHHIIIIIII", text, 0, 0, 0, 0, 0, text_rva + 0x70, 1, 1, 1,
                     text_rva + 0x40, text_rva + 0x48, text_rva + 0x50)
    struct.pack_into("<I", text, 0x40, text_rva + 0x100)
    struct.pack_into("<I", text, 0x48, text_rva + 0x60)
    text[0x60:0x69] = b"run_code\0"
    text[0x70:0x7a] = b"small.dll\0"
    text[0x100] = 0xC3
    tavrik = attached + b"\0" * (-len(attached) % align)
    size_of_image = tavrik_rva + (len(attached) + 0xFFF) // 0x1000 * 0x1000
    optional = bytearray(240)
    struct.pack_into("<HBBIIIIIQIIHHHHHHIIIIHHQQQQII", optional, 0, 0x20B, 14, 0, align, len(tavrik), 0, 0,
                     text_rva, 0x180000000, 0x1000, align, 6, 0, 0, 0, 6, 0, 0, size_of_image, align, 0, 2,
                     0x160, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    struct.pack_into("<II", optional, 112, text_rva, 0x80)  # the export directory
    sections = struct.pack("<8sIIIIIIHHI", b".text", 0x101, text_rva, align, align, 0, 0, 0, 0, 0x60000020)
    sections += struct.pack("<8sIIIIIIHHI", b".tavrik", len(attached), tavrik_rva, len(tavrik), 2 * align,
                            0, 0, 0, 0, 0x40000040)
    coff = struct.pack("<HHIIIHH", 0x8664, 2, 0, 0, 0, len(optional), 0x2022)
    headers = bytearray(align)
    headers[0:2] = b"MZ"
    struct.pack_into("<I", headers, 0x3C, 0x40)
    pe = b"PE\0\0" + coff + bytes(optional) + sections
    headers[0x40:0x40 + len(pe)] = pe
    image = bytearray(headers + text + tavrik)
    checksum_at = 0x40 + 4 + 20 + 64
    total = 0
    for i in range(0, len(image), 2):
        if checksum_at <= i < checksum_at + 4:
            continue
        total += image[i] | (image[i + 1] << 8 if i + 1 < len(image) else 0)
        total = (total & 0xFFFF) + (total >> 16)
    struct.pack_into("<I", image, checksum_at, ((total & 0xFFFF) + (total >> 16) & 0xFFFF) + len(image))
    return bytes(image)

open(f"{corpus}/fuzz_packed_executable/small.dll", "wb").write(small_pe(small_attached))
PY
rm -f "$work/packed.exe" "$work/input/one.txt" "$work/input/data/notes.txt"
rmdir "$work/input/data" "$work/input" "$work"
ls -l "$here"/corpus/*
