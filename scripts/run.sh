#!/usr/bin/env bash
# Builds Quillon and runs it on a virtual serial port, in run/ with its own copy of the example
# QLN.ini (made once, so that your changes to it survive; examples/QLN.ini stays as it is).
# With a display (DISPLAY or WAYLAND_DISPLAY set) it opens the main window, otherwise it runs the
# simulator without a window.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

gui=OFF program=quillon-headless
[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && gui=ON program=quillon
cmake -S . -B build/run -G Ninja -DCMAKE_BUILD_TYPE=Release -DQLN_BUILD_TESTS=OFF \
  -DQLN_BUILD_BENCH=OFF -DQLN_BUILD_GUI=$gui
cmake --build build/run --target $program

mkdir -p run
[ -e run/QLN.ini ] || cp examples/QLN.ini run/QLN.ini
port="$PWD/run/hart-port"

if [ $gui = ON ]; then
  echo "Quillon's window opens; its Open button opens the virtual port $port: point your HART"
  echo "master program at it (1200 baud, 8 data bits, odd parity, 1 stop bit)."
else
  echo "Quillon is answering on the virtual port $port: point your HART master program at it"
  echo "(1200 baud, 8 data bits, odd parity, 1 stop bit). Ctrl-C stops."
fi
cd run
exec ../build/run/$program --pty "$port"
