#!/usr/bin/env bash
# Every libFuzzer target of build/fuzz (each program fuzz_*, found by name): first a replay
# of its kept corpus (fuzz/corpus/<target>, see tools/grow-fuzz-corpus.sh), every input
# once under ASan and UBSan, then a short run that starts from that corpus. The runs go
# side by side; each target writes its own logs and crash files into build/fuzz-corpus.
# Usage: tools/run-fuzzers.sh [seconds-per-target]   (default 20; longer by hand)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
secs=${1:-20}
bin=$root/build/fuzz/fuzz
work=$root/build/fuzz-corpus
mkdir -p "$work"
limits=(-rss_limit_mb=2048 -timeout=10)

names=()
for f in "$bin"/fuzz_*; do
  [ -x "$f" ] && names+=("$(basename "$f")")
done
[ ${#names[@]} -gt 0 ] || { echo "no fuzzers in $bin (build the fuzz preset)"; exit 1; }

# runall PHASE COMMAND-FOR-NAME: runs "COMMAND-FOR-NAME name" for every target side by
# side, then reports each; the status is 1 when any failed.
runall() {
  local phase=$1 make=$2 pids=() status=0 i
  for name in "${names[@]}"; do
    "$make" "$name" >"$work/$name.$phase.log" 2>&1 &
    pids+=($!)
  done
  for i in "${!pids[@]}"; do
    local name=${names[$i]} log=$work/${names[$i]}.$phase.log
    if wait "${pids[$i]}"; then
      echo "fuzz $phase ${name}: $(grep -E '^Done|no kept corpus' "$log" | tail -1)"
    else
      echo "fuzz $phase ${name}: FAILED"; tail -40 "$log"; status=1
    fi
  done
  return $status
}

replay() {  # every kept input once (-runs=0: the corpus is read and run, then the fuzzer ends)
  local name=$1 kept=$root/fuzz/corpus/$1
  if [ ! -d "$kept" ]; then echo "no kept corpus"; return 0; fi
  (cd "$work" && "$bin/$name" -runs=0 "${limits[@]}" -artifact_prefix="$work/$name-replay-" "$kept")
}

fuzz() {  # new inputs go to the scratch folder; the kept corpus is read only
  local name=$1 dirs=("$work/$1")
  mkdir -p "$work/$name"
  [ -d "$root/fuzz/corpus/$name" ] && dirs+=("$root/fuzz/corpus/$name")
  (cd "$work" && "$bin/$name" -max_total_time="$secs" "${limits[@]}" -artifact_prefix="$work/$name-" "${dirs[@]}")
}

status=0
runall replay replay || status=1
runall run fuzz || status=1
exit $status
