#!/usr/bin/env bash
# Builds Quillon and runs it on a virtual serial port, in run/ with its own copy of the example
# QLN.ini (made once, so that your changes to it survive; examples/QLN.ini stays as it is).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

cmake -S . -B build/run -G Ninja -DCMAKE_BUILD_TYPE=Release -DQLN_BUILD_TESTS=OFF \
  -DQLN_BUILD_BENCH=OFF -DQLN_BUILD_GUI=OFF
cmake --build build/run --target quillon-headless

mkdir -p run
[ -e run/QLN.ini ] || cp examples/QLN.ini run/QLN.ini
port="$PWD/run/hart-port"

echo "Quillon is answering on the virtual port $port: point your HART master program at it"
echo "(1200 baud, 8 data bits, odd parity, 1 stop bit). Ctrl-C stops."
cd run
exec ../build/run/quillon-headless --pty "$port"
