#!/usr/bin/env bash
# Grows the kept corpus of each fuzzer (fuzz/corpus/<fuzzer>, replayed and used as the
# starting point by tools/run-fuzzers.sh): runs the fuzzer of build/fuzz for a while from
# its kept corpus and the generated seeds (tools/make-fuzz-seeds.py, fuzz/make_unzip_seeds.py),
# then merges everything (libFuzzer -merge=1) into a fresh folder that replaces the kept
# one: the smallest set of inputs that keeps every code edge reached (edges only, without
# hit counts: a fraction of the inputs for the same coverage). A fuzzer that
# finds a crash keeps its old corpus and the script fails. Run by hand, then commit the
# corpus (keep it small: a few hundred KB in all).
# Usage: tools/grow-fuzz-corpus.sh [seconds-per-fuzzer [fuzzer ...]]   (default 300, all)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
secs=${1:-300}
shift || true
bin=$root/build/fuzz/fuzz
work=$root/build/fuzz-grow
jobs=${KEB_FUZZ_JOBS:-4}
limits=(-rss_limit_mb=2048 -timeout=10)
rm -rf "$work"
mkdir -p "$work"
/usr/bin/python3 "$root/tools/make-fuzz-seeds.py" "$work/seeds"
/usr/bin/python3 "$root/fuzz/make_unzip_seeds.py" "$work/seeds/fuzz_unzip"

names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for f in "$bin"/fuzz_*; do [ -x "$f" ] && names+=("$(basename "$f")"); done
fi

grow() {
  local name=$1 kept=$root/fuzz/corpus/$1 dirs=("$work/$1") fresh=$work/$1.merged
  mkdir -p "$work/$name" "$fresh"
  [ -d "$kept" ] && dirs+=("$kept")
  [ -d "$work/seeds/$name" ] && dirs+=("$work/seeds/$name")
  (cd "$work" && "$bin/$name" -max_total_time="$secs" "${limits[@]}" -artifact_prefix="$work/$name-" "${dirs[@]}") \
    >"$work/$name.log" 2>&1 || { echo "$name: FAILED (see $work/$name.log)"; return 1; }
  (cd "$work" && "$bin/$name" -merge=1 -use_counters=0 "${limits[@]}" "$fresh" "${dirs[@]}") >>"$work/$name.log" 2>&1 ||
    { echo "$name: merge FAILED (see $work/$name.log)"; return 1; }
  rm -rf "$kept"
  mkdir -p "$kept"
  cp "$fresh"/* "$kept"/
  echo "$name: $(ls "$kept" | wc -l) inputs, $(du -sk "$kept" | cut -f1) KB"
}

status=0
running=0
for name in "${names[@]}"; do
  grow "$name" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
done
while [ "$running" -gt 0 ]; do
  wait -n || status=1
  running=$((running - 1))
done
echo "kept corpora: $(du -sk "$root/fuzz/corpus" | cut -f1) KB"
exit $status
