#!/usr/bin/env bash
# Makes the committed seed corpus from real packed bytes. Needs the built
# trees (scripts/build): the packer packs a real application with a few small
# files, and tavrik-fuzz-seeds (make_seeds.cpp) cuts the seeds from the
# result with the packer's own reader and writers.
# Run it again when the formats change; the seeds need not follow every
# change of the stub.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
pack="$root/build/tavrik-pack"
seeds="$root/build/host/tests/fuzz/tavrik-fuzz-seeds"
stub="$root/build/windows/tavrik-launcher.exe"
app="$root/build/windows/tests/apps/dependent_app.dll"
for f in "$pack" "$seeds" "$stub" "$app"; do
    [ -f "$f" ] || { echo "make_corpus: $f missing: run scripts/build first" >&2; exit 1; }
done

work="$root/build/fuzz-corpus-work"
mkdir -p "$work/input/data"
printf 'x' >"$work/input/one.txt"
printf 'a small data file\n' >"$work/input/data/notes.txt"
"$pack" pack -o "$work/packed.exe" --stub "$stub" "$app" "$work/input/one.txt" "$work/input/data" >/dev/null
"$seeds" "$work/packed.exe" "$here/corpus"
rm -f "$work/packed.exe" "$work/input/one.txt" "$work/input/data/notes.txt"
rmdir "$work/input/data" "$work/input" "$work"
ls -l "$here"/corpus/*
