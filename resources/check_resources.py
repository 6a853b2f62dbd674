#!/usr/bin/env python3
"""Check the Windows resources of a built tavrik-launcher.exe.

Reads the PE file's resource directory directly and verifies that:
  * an RT_MANIFEST (24) resource with id 1 exists and its XML asks for
    asInvoker, longPathAware true, Common-Controls 6.0.0.0 and lists the
    Vista, 7, 8, 8.1 and 10 supportedOS ids;
  * an RT_GROUP_ICON (14) resource lists exactly 7 images (or N), each of
    which is an existing RT_ICON (3) resource of the size the group states.

Exit status 0 when everything holds; otherwise one line on stdout says what
is wrong and the exit status is 1.

Usage: check_resources.py [--icon-count N] FILE.exe
"""

import struct
import sys
import xml.etree.ElementTree as ET

RT_ICON = 3
RT_GROUP_ICON = 14
RT_MANIFEST = 24
ICON_COUNT = 7

COMMON_CONTROLS = "Microsoft.Windows.Common-Controls"
COMMON_CONTROLS_VERSION = "6.0.0.0"
COMMON_CONTROLS_TOKEN = "6595b64144ccf1df"
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Windows Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10",
}

NO_RESOURCES = ("no resources at all: missing RT_MANIFEST and RT_GROUP_ICON "
                "(the PE file has no resource directory)")


class CheckError(Exception):
    """A problem with the file; the message is the one line to print."""


def _unpack(fmt, data, offset, what):
    size = struct.calcsize(fmt)
    if offset < 0 or offset + size > len(data):
        raise CheckError("truncated or malformed PE file: %s is out of bounds" % what)
    return struct.unpack_from(fmt, data, offset)


class PEFile:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise CheckError("not a PE file: no MZ header")
        (pe_offset,) = _unpack("<I", data, 0x3C, "e_lfanew")
        if data[pe_offset:pe_offset + 4] != b"PE\0\0":
            raise CheckError("not a PE file: no PE signature")
        coff = pe_offset + 4
        _, nsections, _, _, _, opt_size, _ = _unpack(
            "<HHIIIHH", data, coff, "COFF header")
        opt = coff + 20
        (magic,) = _unpack("<H", data, opt, "optional header")
        if magic == 0x20B:
            count_at, dirs_at = 108, 112
        elif magic == 0x10B:
            count_at, dirs_at = 92, 96
        else:
            raise CheckError("not a PE file: unknown optional header magic "
                             "0x%x" % magic)
        (ndirs,) = _unpack("<I", data, opt + count_at, "NumberOfRvaAndSizes")
        if ndirs <= 2 or dirs_at + 8 * 3 > opt_size:
            raise CheckError(NO_RESOURCES)
        self.rsrc_rva, self.rsrc_size = _unpack(
            "<II", data, opt + dirs_at + 8 * 2, "resource data directory")
        if self.rsrc_rva == 0 or self.rsrc_size == 0:
            raise CheckError(NO_RESOURCES)
        self.sections = []
        table = opt + opt_size
        for k in range(nsections):
            vsize, vaddr, raw_size, raw_ptr = _unpack(
                "<IIII", data, table + 40 * k + 8, "section header")
            self.sections.append((vaddr, max(vsize, raw_size), raw_size,
                                  raw_ptr))

    def read_rva(self, rva, size, what):
        """Bytes at an RVA, which must lie within one section's file data."""
        for vaddr, vsize, raw_size, raw_ptr in self.sections:
            if vaddr <= rva < vaddr + vsize:
                start = rva - vaddr
                if start + size > raw_size or raw_ptr + start + size > len(self.data):
                    break
                return self.data[raw_ptr + start:raw_ptr + start + size]
        raise CheckError("%s lies outside the file's sections" % what)

    def resources(self):
        """{type: {name: [bytes per language]}} with names as int or str."""
        rsrc = self.read_rva(self.rsrc_rva, self.rsrc_size,
                             "the resource directory")
        result = {}
        for rtype, tdir in self._directory(rsrc, 0, set()):
            if tdir is None:
                raise CheckError("malformed resource directory: type entry "
                                 "is not a subdirectory")
            names = result.setdefault(rtype, {})
            for name, ndir in self._directory(rsrc, tdir, set()):
                if ndir is None:
                    raise CheckError("malformed resource directory: name "
                                     "entry is not a subdirectory")
                langs = names.setdefault(name, [])
                for _, leaf in self._directory(rsrc, ndir, set(), leaves=True):
                    rva, size, _, _ = _unpack("<IIII", rsrc, leaf,
                                              "resource data entry")
                    langs.append(self.read_rva(rva, size, "resource data"))
        return result

    def _directory(self, rsrc, offset, seen, leaves=False):
        """Entries (id or name, child offset) of one resource directory.

        The child offset is None for a leaf where a subdirectory is expected
        (and the data entry offset when leaves is true)."""
        if offset in seen:
            raise CheckError("malformed resource directory: loop")
        seen.add(offset)
        _, _, _, _, nnamed, nids = _unpack("<IIHHHH", rsrc, offset,
                                           "resource directory")
        entries = []
        for k in range(nnamed + nids):
            name, child = _unpack("<II", rsrc, offset + 16 + 8 * k,
                                  "resource directory entry")
            if name & 0x80000000:
                at = name & 0x7FFFFFFF
                (length,) = _unpack("<H", rsrc, at, "resource name")
                raw = rsrc[at + 2:at + 2 + 2 * length]
                if len(raw) != 2 * length:
                    raise CheckError("truncated PE file: resource name lies "
                                     "outside the resource section")
                key = raw.decode("utf-16-le", "replace")
            else:
                key = name & 0xFFFF
            is_dir = bool(child & 0x80000000)
            child &= 0x7FFFFFFF
            if leaves:
                if is_dir:
                    raise CheckError("malformed resource directory: more "
                                     "than three levels")
                entries.append((key, child))
            else:
                entries.append((key, child if is_dir else None))
        return entries


def _local(tag):
    return tag.rsplit("}", 1)[-1]


def check_manifest(resources):
    manifests = resources.get(RT_MANIFEST, {})
    if 1 not in manifests or not manifests[1]:
        raise CheckError("missing RT_MANIFEST resource with id 1")
    text = manifests[1][0]
    if text.startswith(b"\xef\xbb\xbf"):
        text = text[3:]
    try:
        root = ET.fromstring(text)
    except ET.ParseError as e:
        raise CheckError("manifest is not well-formed XML: %s" % e)
    elements = list(root.iter())

    def find(name):
        return [e for e in elements if _local(e.tag) == name]

    levels = [e.get("level") for e in find("requestedExecutionLevel")]
    if levels != ["asInvoker"]:
        raise CheckError("manifest does not request execution level asInvoker")
    long_path = [(e.text or "").strip().lower() for e in find("longPathAware")]
    if long_path != ["true"]:
        raise CheckError("manifest does not declare longPathAware true")
    controls = [e for d in find("dependentAssembly") for e in d
                if _local(e.tag) == "assemblyIdentity"
                and e.get("name") == COMMON_CONTROLS]
    if not any(e.get("version") == COMMON_CONTROLS_VERSION
               and (e.get("publicKeyToken") or "").lower() == COMMON_CONTROLS_TOKEN
               for e in controls):
        raise CheckError("manifest lacks the dependency on %s %s"
                         % (COMMON_CONTROLS, COMMON_CONTROLS_VERSION))
    listed = {(e.get("Id") or "").lower() for e in find("supportedOS")}
    missing = [v for k, v in SUPPORTED_OS.items() if k not in listed]
    if missing:
        raise CheckError("manifest lacks supportedOS for %s" % ", ".join(missing))


def check_icons(resources, icon_count):
    groups = resources.get(RT_GROUP_ICON, {})
    if not groups:
        raise CheckError("missing RT_GROUP_ICON resource")
    icons = resources.get(RT_ICON, {})
    for name, datas in sorted(groups.items(), key=lambda kv: str(kv[0])):
        for data in datas:
            reserved, rtype, count = _unpack("<HHH", data, 0, "GRPICONDIR")
            if reserved != 0 or rtype != 1:
                raise CheckError("icon group %s has a bad GRPICONDIR header"
                                 % name)
            if count != icon_count:
                raise CheckError("icon group %s lists %d images, expected %d"
                                 % (name, count, icon_count))
            if len(data) < 6 + 14 * count:
                raise CheckError("icon group %s is truncated" % name)
            for k in range(count):
                _, _, _, _, _, _, size, icon_id = struct.unpack_from(
                    "<BBBBHHIH", data, 6 + 14 * k)
                if icon_id not in icons or not icons[icon_id]:
                    raise CheckError("icon group %s refers to missing RT_ICON "
                                     "%d" % (name, icon_id))
                image = icons[icon_id][0]
                if len(image) != size:
                    raise CheckError("RT_ICON %d is %d bytes, icon group %s "
                                     "says %d" % (icon_id, len(image), name, size))
                if not (image.startswith(b"\x89PNG\r\n\x1a\n")
                        or image[:4] == b"\x28\0\0\0"):
                    raise CheckError("RT_ICON %d is neither a DIB nor a PNG"
                                     % icon_id)


def check(path, icon_count=ICON_COUNT):
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise CheckError("cannot read %s: %s" % (path, e.strerror))
    resources = PEFile(data).resources()
    check_manifest(resources)
    check_icons(resources, icon_count)


def main(argv):
    icon_count = ICON_COUNT
    if len(argv) == 4 and argv[1] == "--icon-count" and argv[2].isdigit():
        icon_count = int(argv[2])
        argv = argv[:1] + argv[3:]
    if len(argv) != 2:
        print("usage: check_resources.py [--icon-count N] FILE.exe", file=sys.stderr)
        return 2
    try:
        check(argv[1], icon_count)
    except CheckError as e:
        print("%s: %s" % (argv[1], e))
        return 1
    print("%s: resources OK" % argv[1])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
