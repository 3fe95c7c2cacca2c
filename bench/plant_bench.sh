#!/usr/bin/env bash
# A plant of many instances on this machine, started without systemd: INSTANCES copies of
# quillon-headless (64 unless given), each a HART-IP I/O system with the eight enabled devices of
# examples/QLN.ini, made its own by quillon-seed (unique device IDs per instance), serving on
# 127.0.0.1 at ports 20001, 20002, ... with no serial port. Measures
#   - the time until every instance answers its probe (quillon-headless --probe),
#   - the time a HART-IP host (plant_discovery) takes to find every I/O system and every device
#     behind it (commands 0, 74, 84, and 0 through 77 to each device),
#   - resident memory per instance: RSS, and PSS (the shared libraries' pages shared out among
#     the instances, which is what they cost the machine together),
#   - CPU time while idle, per instance and for all,
# then stops them all with SIGTERM and checks that each ended cleanly.
#
#   bench/plant_bench.sh [BUILD_DIR] [INSTANCES] [IDLE_SECONDS]
#
# BUILD_DIR (build/rel unless given) must hold quillon-headless and bench/plant_discovery, for
# example from
#   cmake -S . -B build/rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DQLN_BUILD_GUI=OFF
#   cmake --build build/rel --target quillon-headless plant_discovery
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/rel}
count=${2:-64}
idle=${3:-30}
base_port=20000
headless="$PWD/$build/quillon-headless"
discovery="$PWD/$build/bench/plant_discovery"
for program in "$headless" "$discovery"; do
  [ -x "$program" ] || { echo "plant_bench: $program is missing: build it first (see the top of $0)" >&2; exit 2; }
done

work=$(mktemp -d)
pids=()
stop_all() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
}
trap 'stop_all; rm -rf "$work"' EXIT

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }

started=$(now)
for i in $(seq 1 "$count"); do
  dir="$work/plant-$i"
  mkdir "$dir"
  deploy/image/quillon-seed examples/QLN.ini "$dir/QLN.ini" "$i" 2>"$dir/seed.txt" ||
    { cat "$dir/seed.txt" >&2; exit 1; }
  (cd "$dir" && exec "$headless" --no-serial --hart-ip "127.0.0.1:$((base_port + i))" \
    >/dev/null 2>stderr.txt) &
  pids+=($!)
done

# Every instance answers its probe (each waits up to 2 s for an answer; 60 s in all).
for i in $(seq 1 "$count"); do
  until "$headless" --probe "$((base_port + i))" >/dev/null 2>&1; do
    if ! kill -0 "${pids[$((i - 1))]}" 2>/dev/null || [ "$(elapsed "$started" | cut -d. -f1)" -ge 60 ]; then
      echo "plant_bench: instance $i did not come up:" >&2
      cat "$work/plant-$i/stderr.txt" >&2
      exit 1
    fi
    sleep 0.1
  done
done
echo "$count instances, 8 devices each: all answered their probe $(elapsed "$started") s after the first start"

ports=()
for i in $(seq 1 "$count"); do ports+=($((base_port + i))); done
"$discovery" --expect $((count * 8)) "${ports[@]}" | tail -1

# Idle: the sessions of the discovery closed, nothing asks for anything.
sleep 2
ticks() {
  local sum=0 pid
  for pid in "${pids[@]}"; do
    sum=$((sum + $(awk '{ print $14 + $15 }' "/proc/$pid/stat")))
  done
  echo "$sum"
}
before=$(ticks)
sleep "$idle"
after=$(ticks)
awk -v t=$((after - before)) -v hz="$(getconf CLK_TCK)" -v s="$idle" -v n="$count" 'BEGIN {
  all = 100 * t / hz / s
  printf "idle CPU over %d s: %.3f %% of a core per instance, %.2f %% for all %d\n", s, all / n, all, n
}'

for pid in "${pids[@]}"; do
  rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status")
  pss=$(awk '/^Pss:/ { print $2 }' "/proc/$pid/smaps_rollup")
  echo "$rss $pss"
done | awk '{ rss += $1; pss += $2; if ($1 > max) max = $1 } END {
  printf "resident memory per instance: RSS %.1f MB on average (at most %.1f), PSS %.1f MB\n",
    rss / NR / 1024, max / 1024, pss / NR / 1024
}'

stop_all
clean=0
for pid in "${pids[@]}"; do
  if wait "$pid"; then clean=$((clean + 1)); fi
done
pids=()
echo "stopped with SIGTERM: $clean of $count ended with exit code 0"
[ "$clean" -eq "$count" ]
