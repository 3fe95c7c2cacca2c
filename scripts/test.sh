#!/usr/bin/env bash
# Builds every test with AddressSanitizer and UndefinedBehaviorSanitizer and runs them all, then
# builds them again with ThreadSanitizer and runs the tests that use threads, then builds and
# checks the Debian packages (scripts/package-test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQLN_SANITIZE=ON
cmake --build build/test
ctest --test-dir build/test --output-on-failure -j2

cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQLN_TSAN=ON -DQLN_BUILD_BENCH=OFF \
  -DQLN_BUILD_GUI=OFF
cmake --build build/tsan
ctest --test-dir build/tsan --output-on-failure -L threaded

# The Debian packages: built and checked always; installed, run and removed again as root (CI).
scripts/package-test.sh
