#!/usr/bin/env python3
"""The identity tavrik-pack gives a packed executable, read back by two
readers that share no code with the packer: pefile (Debian's python3-pefile)
and Windows itself under Wine (identity_probe.exe: GetFileVersionInfoW,
VerQueryValueW, EnumResourceNamesW, LoadImageW).

Packs the application twice into the real launcher stub: with every
identity option, and with none. Checks the subsystem, the PE checksum, each
version string and number, the icon images byte for byte against the .ico,
the manifest (the stub's, with only the level changed), the base
relocations (moved behind the new resources, still the stub's), that no
string of the launcher's own identity is left, what list and verify print,
and that the customised executable runs its application and passes on its
exit code.

Usage: identity_test.py --pack P --stub S --app A.dll --icon I.ico
                        --probe identity_probe.exe --wine-run W --work DIR
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from wine_scripts import COMMON_OPTIONS, fresh_work, options, scratch_cwd  # noqa: E402

try:
    import pefile
except ImportError:
    print("pefile is missing: install python3-pefile (scripts/setup does)")
    sys.exit(1)

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
LAUNCHER_IDENTITY = ("Tavrik launcher", "Tavrik project", "Tavrik.Launcher", "tavrik-launcher")

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def resources(pe):
    """{(type, name): data} of the first language of each resource."""
    found = {}
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in rtype.directory.entries:
            leaf = name.directory.entries[0].data.struct
            found[(rtype.id, name.id if name.name is None else str(name.name))] = pe.get_data(
                leaf.OffsetToData, leaf.Size)
    return found


def ico_images(data):
    """[(width, height, colours, planes, bits, image bytes)] of a .ico file."""
    _, _, count = struct.unpack_from("<HHH", data, 0)
    images = []
    for i in range(count):
        w, h, colours, _, planes, bits, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        images.append((w, h, colours, planes, bits, data[offset:offset + size]))
    return images


def group_images(found, group):
    """The group's entries, each with the RT_ICON bytes it names."""
    data = found[(RT_GROUP_ICON, group)]
    _, _, count = struct.unpack_from("<HHH", data, 0)
    images = []
    for i in range(count):
        w, h, colours, _, planes, bits, size, icon_id = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
        image = found.get((RT_ICON, icon_id), b"")
        check(len(image) == size, f"group entry {i} states {size} bytes, RT_ICON {icon_id} has {len(image)}")
        images.append((w, h, colours, planes, bits, image))
    return images


def version(pe):
    """(file version, product version, {name: value}, translations)."""
    fixed = pe.VS_FIXEDFILEINFO[0]
    strings, translations = {}, []
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
        elif info.Key == b"VarFileInfo":
            translations += [v for var in info.Var for v in var.entry.values()]

    def text(high, low):
        return f"{high >> 16}.{high & 0xFFFF}.{low >> 16}.{low & 0xFFFF}"

    return (text(fixed.FileVersionMS, fixed.FileVersionLS), text(fixed.ProductVersionMS, fixed.ProductVersionLS),
            strings, translations)


def relocations(pe):
    blocks = getattr(pe, "DIRECTORY_ENTRY_BASERELOC", [])
    return [(entry.rva, entry.type) for block in blocks for entry in block.entries]


def run(command, cwd=None):
    """Output goes through files, not pipes: a Wine process that needs a
    desktop starts explorer.exe, which would inherit a pipe and hold it open
    long after the program ended."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=120, cwd=cwd)
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(command, result.returncode, out.read(), err.read())


def main():
    args = options(*COMMON_OPTIONS, "--icon", "--probe").parse_args()
    work = fresh_work(args.work, "identity_work")
    if work is None:
        return 1

    strings = {
        "CompanyName": "Example Ltd.",
        "FileDescription": "Identity test",
        "LegalCopyright": "\u00a9 2026 Example Ltd.",
        "ProductName": "Example \u00dcberprodukt",
        "Comments": "any other name",
    }
    custom = os.path.join(work, "custom.exe")
    command = [args.pack, "pack", "--fast", "-o", custom, "--stub", args.stub, "--icon", args.icon,
               "--file-version", "1.2.3.4", "--product-version", "5.6.7.8", "--console",
               "--execution-level", "requireAdministrator"]
    for name, value in strings.items():
        command += ["--version-string", f"{name}={value}"]
    result = run(command + [args.app])
    if result.returncode != 0:
        print("packing failed:", result.stderr.decode(errors="replace"))
        return 1
    plain = os.path.join(work, "plain.exe")
    result = run([args.pack, "pack", "--fast", "-o", plain, "--stub", args.stub, args.app])
    if result.returncode != 0:
        print("packing failed:", result.stderr.decode(errors="replace"))
        return 1

    stub = pefile.PE(args.stub)
    stub_resources = resources(stub)
    with open(args.icon, "rb") as f:
        icon = ico_images(f.read())
    app_base = os.path.splitext(os.path.basename(args.app))[0]
    expected = dict(strings, InternalName="custom", OriginalFilename="custom.exe", FileVersion="1.2.3.4",
                    ProductVersion="5.6.7.8")

    # pefile: the customised executable.
    pe = pefile.PE(custom)
    found = resources(pe)
    check(pe.OPTIONAL_HEADER.Subsystem == 3, f"subsystem {pe.OPTIONAL_HEADER.Subsystem}, expected 3 (console)")
    check(pe.verify_checksum(), "PE checksum does not match")
    file_version, product_version, found_strings, translations = version(pe)
    check((file_version, product_version) == ("1.2.3.4", "5.6.7.8"),
          f"fixed versions {file_version}, {product_version}")
    check(found_strings == expected, f"version strings {found_strings}, expected {expected}")
    check(translations == ["0x0409 0x04b0"], f"translations {translations}")
    groups = [name for (rtype, name) in found if rtype == RT_GROUP_ICON]
    check(groups == [1], f"icon groups {groups}")
    check(group_images(found, 1) == icon, "icon group or images differ from the .ico's")
    check(not any((RT_ICON, k) in found for k in range(len(icon) + 1, 64)), "launcher icon images left behind")
    stub_manifest = stub_resources[(RT_MANIFEST, 1)]
    check(found[(RT_MANIFEST, 1)] == stub_manifest.replace(b'level="asInvoker"', b'level="requireAdministrator"'),
          "manifest is not the stub's with only the level changed")
    check(relocations(pe) == relocations(stub), "base relocations differ from the stub's")

    # pefile: without options, the stub's icon, a GUI program, derived strings.
    pe_plain = pefile.PE(plain)
    found_plain = resources(pe_plain)
    check(pe_plain.OPTIONAL_HEADER.Subsystem == 2, f"plain: subsystem {pe_plain.OPTIONAL_HEADER.Subsystem}")
    check(group_images(found_plain, 1) == group_images(stub_resources, 1), "plain: the stub's icon is not kept")
    check(found_plain[(RT_MANIFEST, 1)] == stub_manifest, "plain: manifest differs from the stub's")
    _, _, plain_strings, _ = version(pe_plain)
    check(plain_strings == {"FileDescription": app_base, "ProductName": app_base, "InternalName": "plain",
                            "OriginalFilename": "plain.exe", "FileVersion": "0.0.0.0",
                            "ProductVersion": "0.0.0.0"}, f"plain: version strings {plain_strings}")
    for path in (custom, plain):
        with open(path, "rb") as f:
            data = f.read().lower()
        for text in LAUNCHER_IDENTITY:
            for encoding in ("utf-8", "utf-16-le"):
                check(text.lower().encode(encoding) not in data, f"{os.path.basename(path)} contains {text!r}")

    # list and verify.
    identity = ["subsystem: console", "execution level: requireAdministrator",
                "icon: " + ", ".join(f"{w or 256}x{h or 256}" for w, h, *_ in icon),
                "file version: 1.2.3.4", "product version: 5.6.7.8"]
    identity += [f"string {name}: {expected[name]}" for name in sorted(expected, key=str.lower)]
    identity += ["start: per-run"]
    size = os.path.getsize(args.app)
    result = run([args.pack, "verify", custom])
    check(result.stdout.decode().splitlines() == [f"OK: 1 file, {size} bytes"] + identity,
          f"verify printed {result.stdout.decode()!r} {result.stderr.decode()!r}")
    result = run([args.pack, "list", custom])
    check(result.stdout.decode().splitlines() == [f"{size} {os.path.basename(args.app)}"] + identity,
          f"list printed {result.stdout.decode()!r}")

    # Windows: what Explorer would read, and the program running, started
    # in an empty directory of their own.
    cwd = scratch_cwd()
    result = run([args.wine_run, args.probe, custom] + sorted(expected), cwd=cwd)
    probe = result.stdout.decode("utf-8", "replace").splitlines()
    check(result.returncode == 0, f"identity_probe failed: {result.stderr.decode(errors='replace')}")
    check(probe[:2] == ["file_version=1.2.3.4", "product_version=5.6.7.8"], f"probe: {probe[:2]}")
    check(probe[2:2 + len(expected)] == [f"string {n}={expected[n]}" for n in sorted(expected)],
          f"probe strings: {probe[2:2 + len(expected)]}")
    icons = probe[2 + len(expected):]
    check(icons[:1] == ["group 1"], f"probe groups: {icons[:1]}")
    wanted = [f"icon {w or 256}x{h or 256} loaded={w or 256}x{h or 256} bytes={data.hex()}"
              for w, h, _, _, _, data in icon]
    check(icons[1:] == wanted, "probe: Windows loads other icons: " + " | ".join(i[:60] for i in icons))

    result = run([args.wine_run, custom, "one", "--exit", "7"], cwd=cwd)
    check(os.listdir(cwd) == [], f"the current directory gained {os.listdir(cwd)}")
    check(result.returncode == 7, f"customised executable exited with {result.returncode}: {result.stderr!r}")
    check(b"argument 1: one" in result.stdout, f"customised executable printed {result.stdout!r}")

    for failure in failures:
        print("FAILED:", failure)
    print("identity: %d checks failed" % len(failures) if failures else "identity: all checks passed")
    shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
