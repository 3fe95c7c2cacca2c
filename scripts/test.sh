#!/usr/bin/env bash
# Checks the includes and the layout, builds every test with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs them all, builds the tests again with ThreadSanitizer and
# runs the tests that use threads, builds and checks the Debian packages (scripts/package-test.sh)
# and the container image made from the headless one (scripts/image-test.sh), and runs the fuzz
# targets.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

# Every include follows the layer order of src/layers.txt, and every C++ file .clang-format.
scripts/check_layers.py
scripts/check_format.sh

cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQLN_SANITIZE=ON -DQLN_WERROR=ON
cmake --build build/test

# Jobs beside the others, each with its output in build/NAME.log, shown when it is waited for.
# The end-to-end tests mostly wait on the line's timing and leave the cores nearly idle: the
# later builds run beside the tests at idle priority (SCHED_IDLE: a core only when no test wants
# it).
declare -A running=()
start() {  # NAME [--idle] COMMAND...
  local name="$1" idle=0
  shift
  [ "$1" != --idle ] || { idle=1; shift; }
  (
    [ "$idle" -eq 0 ] || chrt --idle -p 0 "$BASHPID" >/dev/null
    "$@"
  ) >"build/$name.log" 2>&1 &
  running[$name]=$!
}
finish() {  # NAME: waits for the job, shows its output, fails when it failed
  local code=0
  wait "${running[$1]}" || code=$?
  unset "running[$1]"
  cat "build/$1.log"
  [ "$code" -eq 0 ] || { echo "test: $1 failed (exit code $code)" >&2; exit 1; }
}
wait_all() {  # nothing goes on running after the suite ended, whichever way it ended
  local pid
  for pid in "${running[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap wait_all EXIT

# The ThreadSanitizer build first, its outcome in build/tsan.done ("ok" or "failed") so that its
# tests can start as soon as the first ones end; then the packages and the fuzz targets.
later_builds() {
  rm -f build/tsan.done
  if cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQLN_TSAN=ON -DQLN_WERROR=ON \
    -DQLN_BUILD_BENCH=OFF -DQLN_BUILD_GUI=OFF && cmake --build build/tsan; then
    echo ok >build/tsan.done
  else
    echo failed >build/tsan.done
    return 1
  fi
  scripts/build-packages.sh build/package
  scripts/fuzz.sh --build-only
}
start builds --idle later_builds

ctest --test-dir build/test --output-on-failure -j2

# The tests that use threads again, under ThreadSanitizer. Two end-to-end tests are left out
# here. The crash-safety test kills and restarts the program forty times and more: it checks the
# file and the restarts, not races, and under ThreadSanitizer it would take minutes. The strict
# master reads the bytes on the line three times over, with the same threads at work as in the
# other end-to-end tests that run here.
until [ -s build/tsan.done ] || ! kill -0 "${running[builds]}" 2>/dev/null; do sleep 1; done
[ "$(cat build/tsan.done)" = ok ] || finish builds
ctest --test-dir build/tsan --output-on-failure -L threaded -E 'CrashSafety|StrictMaster'

# The Debian packages: checked always; installed, run and removed again as root (CI).
finish builds
scripts/package-test.sh --built

# The container image from that package, checked from its archive: as root with access to
# deb.debian.org (CI); skipped with a message elsewhere. Mostly waiting for Debian's archive, it
# runs beside the fuzz run.
start image scripts/image-test.sh

# The libFuzzer targets, 10 s each from their seed corpora (a smoke run; scripts/fuzz.sh 600 runs
# them longer); a crash fails the suite.
scripts/fuzz.sh 10
finish image
