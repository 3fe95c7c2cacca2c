#!/usr/bin/env bash
# The container's first-start seed, deploy/image/quillon-seed, on the example and on small
# seeds of its own: line endings and every other line kept, COMNo emptied, the instance's unique
# IDs written in place or added, an existing file left alone, a bad instance refused with
# nothing written.
set -euo pipefail
source_dir="$1"
seed_tool="$source_dir/deploy/image/quillon-seed"
example="$source_dir/examples/QLN.ini"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

fail() { echo "quillon_seed_test: $*" >&2; exit 1; }

# The example as instance 3: only COMNo and the sixteen DevIDNo lines differ, and the I/O
# system's section is appended, all with CRLF.
"$seed_tool" "$example" "$work/a.ini" 3 2>/dev/null
[ "$(stat -c %a "$work/a.ini")" = 600 ] || fail "the seeded file is readable by others"
changed="$(diff "$example" "$work/a.ini" | grep '^>' | tr -d '\r' | paste -sd' ')" || true
ids="$(seq 0 15 | awk '{ printf "> DevIDNo=%d ", 1048576 + 3 * 16 + $1 }')"
[ "$changed" = "> COMNo= ${ids}>  > [HTDev_IOSystem] > DevIDNo=15728643 > LongTag=quillon-3" ] ||
  fail "instance 3 of the example: unexpected changes: $changed"
[ "$(grep -c $'\r$' "$work/a.ini")" -eq "$(wc -l <"$work/a.ini")" ] || fail "a line lost its CR"

# Without an instance the IDs stay; an existing target is not touched.
"$seed_tool" "$example" "$work/b.ini" 2>/dev/null
[ "$(diff "$example" "$work/b.ini" | grep -c '^[<>]')" -eq 2 ] || fail "more than COMNo changed"
echo keep >"$work/b.ini"
"$seed_tool" "$example" "$work/b.ini" 9 2>/dev/null
[ "$(cat "$work/b.ini")" = keep ] || fail "an existing QLN.ini was overwritten"

# A seed that has the I/O system's section, and a device section without DevIDNo (LF endings).
printf '%s\n' '[HTDev_Sys]' 'COMNo=4' '' '[HTDev02_Cmd000]' 'MfrID=38' '' '[HTDev_IOSystem]' \
  'Tag=KEEP' 'LongTag=old' 'DevIDNo=1' >"$work/seed.ini"
"$seed_tool" "$work/seed.ini" "$work/c.ini" 917503 2>/dev/null
expected="$(printf '%s\n' '[HTDev_Sys]' 'COMNo=' '' '[HTDev02_Cmd000]' 'MfrID=38' \
  'DevIDNo=15728626' '' '[HTDev_IOSystem]' 'Tag=KEEP' 'LongTag=quillon-917503' \
  'DevIDNo=16646143')"
[ "$(cat "$work/c.ini")" = "$expected" ] || fail "the small seed gave: $(cat "$work/c.ini")"

# Leading zeros: 000 is instance 0.
"$seed_tool" "$work/seed.ini" "$work/e.ini" 000 2>/dev/null
grep -qx 'LongTag=quillon-0' "$work/e.ini" || fail "instance 000 is not instance 0"

# Bad instances: refused with a message, nothing written.
for bad in 917504 99999999999999999999 -1 7x ''; do
  if message="$("$seed_tool" "$example" "$work/d.ini" "$bad" 2>&1)"; then
    fail "instance '$bad' was accepted"
  fi
  grep -q 917503 <<<"$message" || fail "instance '$bad': no clear message: $message"
  if [ -e "$work/d.ini" ] || [ -e "$work/d.ini.new" ]; then fail "instance '$bad' left a file"; fi
done
echo "quillon_seed_test: passed"
