#!/usr/bin/env bash
# Builds the Debian packages with CPack into a clean build folder, as a package build makes them:
# Release, Debian's build flags with hardening, installed under /usr, no tests or benchmarks.
#
#   scripts/build-packages.sh DIR [--headless]
#
# DIR gets quillon-headless_VERSION_ARCH.deb and, unless --headless, the window's quillon_...deb.
set -euo pipefail
cd "$(dirname "$0")/.."

gui=ON
case "$#:${2:-}" in
  1:) ;;
  2:--headless) gui=OFF ;;
  *) echo "usage: scripts/build-packages.sh DIR [--headless]" >&2; exit 2 ;;
esac
build="$1"

rm -rf "$build"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
export CXXFLAGS LDFLAGS
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQLN_BUILD_TESTS=OFF \
  -DQLN_BUILD_BENCH=OFF -DQLN_BUILD_GUI="$gui" -DCMAKE_INSTALL_PREFIX=/usr
cmake --build "$build"
(cd "$build" && cpack)
