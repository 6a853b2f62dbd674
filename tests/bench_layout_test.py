#!/usr/bin/env python3
"""The benchmark reads packed executables with its own Python
(bench/bench.py: extract_frame, make_overlay_variant); checks that reading
against the packer's own reader on a real packed executable.

    bench_layout_test.py PACKED.exe TAVRIK-PACK TAVRIK-FUZZ-SEEDS
"""
import os
import subprocess
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "bench"))
import bench  # noqa: E402

packed, pack, seeds = sys.argv[1:4]
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


with tempfile.TemporaryDirectory() as work:
    # The packer's reader (PackedFile) writes the attached data it finds.
    subprocess.run([seeds, packed, os.path.join(work, "corpus")], check=True)
    with open(os.path.join(work, "corpus", "fuzz_attached_data", "packed.bin"), "rb") as f:
        attached = f.read()

    frame_path = os.path.join(work, "frame.zst")
    section_size = bench.extract_frame(packed, frame_path)
    with open(frame_path, "rb") as f:
        frame = f.read()
    check(section_size == len(attached), f"extract_frame: section of {section_size} bytes, the packer's {len(attached)}")
    check(frame == attached[3:], "extract_frame: not the attached data after its magic")

    overlay = os.path.join(work, "overlay.exe")
    check(bench.make_overlay_variant(packed, overlay), "make_overlay_variant found no .tavrik section")
    verified = subprocess.run([pack, "verify", overlay], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    check(verified.returncode != 0 and "no .tavrik section: not a packed executable" in verified.stderr,
          "the overlay variant still has its .tavrik section: " + verified.stderr)
    with open(packed, "rb") as f:
        original = f.read()
    with open(overlay, "rb") as f:
        changed = f.read()
    at = original.find(attached)
    check(at > 0 and len(changed) == len(original) and changed[at:at + len(attached)] == attached,
          "the overlay variant does not keep the attached data where it was")

for failure in failures:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)
