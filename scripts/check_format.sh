#!/usr/bin/env bash
# Checks every C++ file of the repository against .clang-format; names each file that differs.
# clang-format -i FILE formats one.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
