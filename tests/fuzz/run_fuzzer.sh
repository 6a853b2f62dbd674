#!/usr/bin/env bash
# Runs one fuzz target, bounded in time:
#   run_fuzzer.sh TARGET_BINARY WORK_ROOT SECONDS [libFuzzer options...]
# First every input kept in regressions/<target>/ is replayed (each must
# pass), then the target fuzzes for SECONDS from the seeds in
# corpus/<target>/. Inputs it finds go to WORK_ROOT/<target>/corpus, never
# into the repository; a crash leaves its input in WORK_ROOT/<target>/
# artifacts/ (copy it into regressions/<target>/ to keep it) and fails.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
binary=$1 work_root=$2 seconds=$3
shift 3
name=$(basename "$binary")
work="$work_root/$name"
mkdir -p "$work/corpus" "$work/artifacts"
# A fresh start every time: the same seeds, the same libFuzzer seed.
find "$work/corpus" -maxdepth 1 -type f -delete

shopt -s nullglob
regressions=("$here/regressions/$name"/*)
if [ ${#regressions[@]} -gt 0 ]; then
    echo "$name: replaying ${#regressions[@]} regression input(s)"
    if ! "$binary" "${regressions[@]}" >"$work/regressions.log" 2>&1; then
        tail -n 40 "$work/regressions.log"
        echo "$name: a regression input fails again"
        exit 1
    fi
fi

dictionary=()
[ -f "$here/dictionaries/$name.dict" ] && dictionary=("-dict=$here/dictionaries/$name.dict")
status=0
"$binary" -seed=1 -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2560 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "${dictionary[@]}" "$@" "$work/corpus" "$here/corpus/$name" \
    >"$work/fuzz.log" 2>&1 || status=$?
if [ $status -ne 0 ]; then
    tail -n 60 "$work/fuzz.log"
    echo "$name: FAILED (status $status); the input is in $work/artifacts/"
    exit 1
fi
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/fuzz.log")
coverage=$(grep -oE 'cov: [0-9]+' "$work/fuzz.log" | tail -n 1 || true)
echo "$name: ${runs:-?} runs in ${seconds}s, ${coverage:-cov: ?}, corpus $(ls "$work/corpus" | wc -l) new input(s), no crash"
