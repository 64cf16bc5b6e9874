#!/usr/bin/env bash
# Runs every libFuzzer target of build/fuzz for a while each.
# Usage: tools/run-fuzzers.sh [seconds-per-target]   (default 20; longer by hand)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
secs=${1:-20}
bin=$root/build/fuzz/fuzz
work=$root/build/fuzz-corpus
mkdir -p "$work"
/usr/bin/python3 "$root/tools/make-fuzz-seeds.py" "$work/seeds"
status=0
pids=()
names=()
for f in "$bin"/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  corpus=$work/$name
  mkdir -p "$corpus"
  dirs=("$corpus")
  [ -d "$work/seeds/$name" ] && dirs+=("$work/seeds/$name")
  [ -d "$root/fuzz/corpus/$name" ] && dirs+=("$root/fuzz/corpus/$name")
  # Run the targets side by side; each writes its own log and crash files.
  (cd "$work" && "$f" -max_total_time="$secs" -rss_limit_mb=2048 -timeout=10 \
      -artifact_prefix="$work/$name-" "${dirs[@]}" >"$work/$name.log" 2>&1) &
  pids+=($!)
  names+=("$name")
done
for i in "${!pids[@]}"; do
  if wait "${pids[$i]}"; then
    echo "fuzz ${names[$i]}: $(grep -E '^Done' "$work/${names[$i]}.log" | tail -1)"
  else
    echo "fuzz ${names[$i]}: FAILED"; tail -40 "$work/${names[$i]}.log"; status=1
  fi
done
exit $status
