#!/usr/bin/env bash
# Takes the picture of the main window that the README shows: the program started on a copy of
# examples/QLN.ini, drawn without a display (Qt's offscreen platform) and saved by its own
# --screenshot option as docs/main-window.png (or the file given).
set -euo pipefail
cd "$(dirname "$0")/.."
out="$(realpath -m "${1:-docs/main-window.png}")"

scripts/install-deps.sh

cmake -S . -B build/screenshot -G Ninja -DCMAKE_BUILD_TYPE=Release -DQLN_BUILD_TESTS=OFF \
  -DQLN_BUILD_BENCH=OFF -DQLN_BUILD_GUI=ON
cmake --build build/screenshot --target quillon

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp examples/QLN.ini "$work/QLN.ini"
mkdir -p "$(dirname "$out")"
(cd "$work" && QT_QPA_PLATFORM=offscreen "$OLDPWD/build/screenshot/quillon" --screenshot "$out")
echo "Saved $out"
