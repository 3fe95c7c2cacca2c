#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build/fuzz and runs each for the given number of
# seconds (30 by default), starting from a copy of its seed corpus in fuzz/corpus/<target>, so
# the tree is not changed. Fails when a target finds a crash (the input is kept in build/fuzz).
# With --build-only it only builds them.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"

CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQLN_FUZZ=ON -DQLN_WERROR=ON >/dev/null
cmake --build build/fuzz
[ "$seconds" != --build-only ] || exit 0

# The profile-file target writes its files here: in memory where possible.
scratch="$(mktemp -d /dev/shm/qln-fuzz.XXXXXX 2>/dev/null || mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
export TMPDIR="$scratch"

# One target: its corpus copied, run, its crash input kept. The targets run side by side, as many
# at once as there are cores, so a smoke run takes the seconds of one target per core.
run_target() {
  local target="$1" work="build/fuzz/run/$1"
  rm -rf "$work"
  mkdir -p "$work/corpus"
  if [ -d "fuzz/corpus/$target" ]; then cp -r "fuzz/corpus/$target/." "$work/corpus/"; fi
  (cd "$work" && "../../fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix=./ corpus 2>"log")
}

jobs_at_once="$(nproc)"
declare -A running=()
status=0
finish() {  # waits for one target and reports it
  local pid
  wait -n -p pid && result=0 || result=$?
  local target="${running[$pid]}"
  unset "running[$pid]"
  echo "== $target for ${seconds} s"
  if [ "$result" -ne 0 ]; then
    tail -n 60 "build/fuzz/run/$target/log"
    echo "$target: crash, input kept in build/fuzz/run/$target" >&2
    status=1
  else
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "build/fuzz/run/$target/log" || true
  fi
}
for source in fuzz/*_fuzz.cpp; do
  target="$(basename "$source" .cpp)"
  [ "${#running[@]}" -lt "$jobs_at_once" ] || finish
  run_target "$target" &
  running[$!]="$target"
done
while [ "${#running[@]}" -gt 0 ]; do finish; done
exit "$status"
