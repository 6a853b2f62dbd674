#!/usr/bin/env python3
"""The packer's folders stack one way: README's Layout lists them from the
top down, and a file may include only from its own folder and the folders
listed below it.

    rooms_test.py REPOSITORY
"""
import os
import re
import sys

root = sys.argv[1]
with open(os.path.join(root, "README.md"), encoding="utf-8") as f:
    readme = f.read()
layout = readme[readme.index("## Layout"):]
packer_part = layout[layout.index("- `packer/`"):]
packer_part = packer_part[:packer_part.index("\n- ")]
order = re.findall(r"^  - `([a-z_]+)/`", packer_part, re.MULTILINE)
failures = []
rooms = sorted(d for d in os.listdir(os.path.join(root, "packer"))
               if os.path.isdir(os.path.join(root, "packer", d)))
if sorted(order) != rooms:
    failures.append(f"README's Layout lists the packer's folders {order}, the tree has {rooms}")

include = re.compile(r'^\s*#\s*include\s+"packer/([a-z_]+)/', re.MULTILINE)
for room in rooms:
    below = order[order.index(room):] if room in order else []
    for directory, _, files in os.walk(os.path.join(root, "packer", room)):
        for name in sorted(files):
            if not name.endswith((".h", ".cpp")):
                continue
            path = os.path.join(directory, name)
            with open(path, encoding="utf-8") as f:
                text = f.read()
            for included in include.findall(text):
                if included not in below:
                    failures.append(f"{os.path.relpath(path, root)} includes from packer/{included}/, "
                                    f"which is not below packer/{room}/")

for failure in failures:
    print(failure)
print(f"{len(order)} folders, {len(failures)} problem(s)")
sys.exit(1 if failures else 0)
