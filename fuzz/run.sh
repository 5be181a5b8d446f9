#!/usr/bin/env bash
# Runs every fuzz target in BINDIR for SECONDS each: first over its regression inputs
# (fuzz/regressions/<target>/, every input must pass), then fuzzing from its seed corpus
# (fuzz/corpus/<target>/). A crash fails the run and leaves its input in fuzz/crashes/.
set -euo pipefail
bindir=${1:?usage: fuzz/run.sh BINDIR [SECONDS]}
seconds=${2:-8}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$here/crashes"
status=0
for target in "$bindir"/fuzz_*; do
    [[ -x "$target" ]] || continue
    name=$(basename "$target")
    regress="$here/regressions/$name"
    if [[ -d "$regress" ]] && ls "$regress"/* >/dev/null 2>&1; then
        "$target" "$regress"/* >/dev/null 2>&1 || { echo "FAIL $name: regression input"; status=1; continue; }
    fi
    work=$(mktemp -d)
    [[ -d "$here/corpus/$name" ]] && cp -r "$here/corpus/$name/." "$work/"
    if "$target" -max_total_time="$seconds" -print_final_stats=1 -max_len=65536 -rss_limit_mb=2048 -timeout=10 \
        -artifact_prefix="$here/crashes/$name-" "$work" >"$work.log" 2>&1; then
        echo "ok   $name ($(grep -o 'stat::number_of_executed_units: [0-9]*' "$work.log" | tail -1 | awk '{print $2}') runs)"
    else
        echo "FAIL $name"; tail -40 "$work.log"; status=1
    fi
    rm -rf "$work" "$work.log"
done
exit $status
