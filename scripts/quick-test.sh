#!/usr/bin/env bash
# The developer's quick loop: the include and format checks, then the unit tests (no end-to-end,
# window, fuzz or package runs) in the AddressSanitizer/UBSan build of scripts/test.sh, which it
# builds only as far as the unit tests need. With that build warm it takes well under two
# minutes. Arguments go to the test program, for example --gtest_filter='ReplyStage.*'.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/check_layers.py
scripts/check_format.sh
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQLN_SANITIZE=ON -DQLN_WERROR=ON \
  >/dev/null
cmake --build build/test --target qln_unit_tests
build/test/tests/qln_unit_tests --gtest_brief=1 "$@"
