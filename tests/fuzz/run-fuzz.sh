#!/usr/bin/env bash
# Runs one libFuzzer target for a bounded time, starting from its seed folders (read only; new
# inputs go to a scratch folder): run-fuzz.sh TARGET FINDINGS SECONDS SEEDS...
# Any crash, leak, sanitizer report, timeout or failed property fails the test; the input that
# caused it is kept in the findings folder, to become a seed.
set -euo pipefail
target=$1 findings=$2 seconds=$3
shift 3  # the rest: seed folders
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$findings"
name=$(basename "$target")
if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$findings/$name-" "$work" "$@" 2>"$work/log"; then
    tail -n 60 "$work/log"
    echo "FAIL: $name found a problem; the input is in $findings"
    exit 1
fi
grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units)' "$work/log" || true
echo "$name: no findings in $seconds s"
