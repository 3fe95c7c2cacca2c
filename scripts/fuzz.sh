#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build/fuzz and runs each for the given number of
# seconds (30 by default), starting from a copy of its seed corpus in fuzz/corpus/<target>, so
# the tree is not changed. Fails when a target finds a crash (the input is kept in build/fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"

CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQLN_FUZZ=ON -DQLN_WERROR=ON >/dev/null
cmake --build build/fuzz

# The profile-file target writes its files here: in memory where possible.
scratch="$(mktemp -d /dev/shm/qln-fuzz.XXXXXX 2>/dev/null || mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
export TMPDIR="$scratch"

status=0
for source in fuzz/*_fuzz.cpp; do
  target="$(basename "$source" .cpp)"
  work="build/fuzz/run/$target"
  rm -rf "$work"
  mkdir -p "$work/corpus"
  if [ -d "fuzz/corpus/$target" ]; then cp -r "fuzz/corpus/$target/." "$work/corpus/"; fi
  echo "== $target for ${seconds} s"
  if ! (cd "$work" && "../../fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix=./ corpus 2>"log"); then
    tail -n 60 "$work/log"
    echo "$target: crash, input kept in $work" >&2
    status=1
  else
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$work/log" || true
  fi
done
exit "$status"
