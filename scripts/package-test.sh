#!/usr/bin/env bash
# Builds the Debian packages quillon-headless and quillon in a clean build folder (Release, no
# tests or benchmarks) and checks them: lintian without errors or warnings, the manual pages
# render without warnings and name every option of --help, the desktop entry is valid, the
# icon matches its script, and the headless package needs no Qt.
# As root (CI) it then installs both packages with apt-get, runs the installed simulator on a
# virtual port with the installed example, and the service's first start as the unit describes
# it, polls each with command 0, and removes the packages again.
# With --built it checks the packages already in build/package instead of building them.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

fail() { echo "package-test: $*" >&2; exit 1; }

build=build/package
[ "${1:-}" = --built ] || scripts/build-packages.sh "$build"

version="$(sed -n 's/^project(Quillon VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
arch="$(dpkg --print-architecture)"
headless_deb="$build/quillon-headless_${version}_${arch}.deb"
gui_deb="$build/quillon_${version}_${arch}.deb"
[ -f "$headless_deb" ] && [ -f "$gui_deb" ] || fail "cpack did not make $headless_deb and $gui_deb"

# No remaining warning needs explaining: lintian fails on any warning as on any error.
lintian --fail-on error,warning "$headless_deb" "$gui_deb"

headless_depends="$(dpkg-deb -f "$headless_deb" Depends)"
gui_depends="$(dpkg-deb -f "$gui_deb" Depends)"
case "$headless_depends" in
  *qt*|*Qt*) fail "quillon-headless depends on Qt: $headless_depends";;
esac
# HART-IP's TLS and DTLS need OpenSSL's library.
case "$headless_depends" in *libssl3*) ;;
  *) fail "quillon-headless must depend on libssl3 (OpenSSL): $headless_depends";; esac
case "$gui_depends" in *"quillon-headless (= $version)"*libqt6widgets6*) ;;
  *) fail "quillon must depend on quillon-headless and Qt Widgets: $gui_depends";; esac

# The manual pages as packaged: no warnings at 80 columns, and every option of --help in them.
for program in quillon-headless quillon; do
  page="$build/packaging/$program.1.gz"
  warnings="$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)"
  [ -z "$warnings" ] || fail "$page renders with warnings: $warnings"
  text="$(MANWIDTH=80 man -l "$page" 2>/dev/null)"
  options="$(QT_QPA_PLATFORM=offscreen "$build/$program" --help | grep -o -- '--[a-z-]*')"
  for option in $options; do
    grep -q -- "$option" <<<"$text" || fail "$page does not describe $option"
  done
done

desktop-file-validate packaging/quillon.desktop

icons="$(mktemp -d)"
trap 'rm -rf "$icons"' EXIT
python3 scripts/draw_icon.py "$icons"
for icon in quillon.svg quillon.png; do
  cmp -s "$icons/$icon" "packaging/icons/$icon" ||
    fail "packaging/icons/$icon differs from what scripts/draw_icon.py draws: run it again"
done

if [ "$(id -u)" -ne 0 ]; then
  echo "package-test: packages built and checked; installing them needs root (skipped)"
  exit 0
fi

# ---- As root: install, run, remove. ----
work="$(mktemp -d)"
simulator=""
cleanup() {
  [ -n "$simulator" ] && kill "$simulator" 2>/dev/null && wait "$simulator" 2>/dev/null
  rm -rf "$work" "$icons"
  if dpkg -s quillon-headless >/dev/null 2>&1; then
    apt-get remove --purge -y quillon quillon-headless >/dev/null 2>&1 || true
  fi
}
trap cleanup EXIT

DEBIAN_FRONTEND=noninteractive apt-get install -y "./$headless_deb" "./$gui_deb"
for file in /usr/bin/quillon /usr/bin/quillon-headless /usr/share/doc/quillon/README.md \
            /usr/share/man/man1/quillon.1.gz /usr/share/man/man1/quillon-headless.1.gz \
            /usr/share/applications/quillon.desktop \
            /usr/share/icons/hicolor/256x256/apps/quillon.png \
            /usr/lib/systemd/system/quillon-headless@.service; do
  [ -e "$file" ] || fail "$file is not installed"
done
# (Output taken whole first: grep -q stopping early would fail the pipe under pipefail.)
libraries="$(ldd /usr/bin/quillon-headless)"
if grep -qi qt <<<"$libraries"; then fail "quillon-headless loads Qt"; fi
[ "$(/usr/bin/quillon-headless --version)" = "quillon-headless $version" ] ||
  fail "the installed quillon-headless is not version $version"

# Starts the installed simulator in the directory $1 with the options that follow, waits for its
# virtual port $port, and polls device 0 there; then stops it with SIGTERM, as systemctl stop
# does, and expects it to end cleanly having logged the exchange.
poll_installed() {
  local directory="$1"
  shift
  (cd "$directory" && exec /usr/bin/quillon-headless "$@" >traffic.log 2>notes.log) &
  simulator=$!
  for _ in $(seq 50); do [ -e "$port" ] && break; sleep 0.1; done
  [ -e "$port" ] || fail "no virtual port at $port: $(cat "$directory/notes.log")"
  python3 scripts/hart_poll.py "$port" 0 || fail "command 0 to poll address 0 not answered"
  kill -TERM "$simulator"
  local code=0
  wait "$simulator" || code=$?
  simulator=""
  [ "$code" -eq 0 ] || fail "quillon-headless ended with $code on SIGTERM"
  grep -q '  <==  FF FF FF FF FF 02 80 00 00 82' "$directory/traffic.log" ||
    fail "the request is not in the traffic log"
  [ ! -e "$port" ] || fail "the virtual port $port outlived the program"
}

# The installed program, on a copy of the installed example.
mkdir "$work/run"
cp /usr/share/doc/quillon/examples/QLN.ini "$work/run/QLN.ini"
port="$work/run/hart-port"
poll_installed "$work/run" --pty "$port"

# The unit as systemd reads it: any unknown key, bad value or missing program is reported.
if command -v systemd-analyze >/dev/null; then
  verified="$(systemd-analyze verify quillon-headless@package-test.service 2>&1)" ||
    fail "systemd-analyze verify: $verified"
  [ -z "$verified" ] || fail "systemd-analyze verify: $verified"
fi

# The service's first start without systemd: the unit's own ExecStartPre in an empty instance
# directory, then its ExecStart with the virtual port moved into the temporary folder.
unit=/usr/lib/systemd/system/quillon-headless@.service
# (systemd joins a line ending in a backslash with the next one, with a space between.)
prepare="$(sed -e ':join' -e '/\\$/{N;s/\\\n/ /;b join}' "$unit" |
           sed -n "s|^ExecStartPre=/bin/sh -c '\(.*\)'$|\1|p")"
[ -n "$prepare" ] || fail "no ExecStartPre=/bin/sh -c '...' in $unit"
mkdir "$work/instance"
(cd "$work/instance" && sh -c "$prepare")
# The example, line for line, but with an empty COMNo (the example's line ends kept).
diff <(grep -v '^COMNo=' /usr/share/quillon/QLN.ini) <(grep -v '^COMNo=' "$work/instance/QLN.ini") \
  || fail "the first start's QLN.ini is not the example"
[ "$(grep '^COMNo=' "$work/instance/QLN.ini" | tr -d '\r')" = COMNo= ] ||
  fail "the first start did not leave COMNo empty"
grep -q -- '--fallback-pty %t/quillon/%i/hart-port$' "$unit" || fail "unexpected ExecStart in $unit"
port="$work/instance/hart-port"
poll_installed "$work/instance" --fallback-pty "$port"

# With systemd running (a CI machine, not a container), the real service.
if [ -d /run/systemd/system ]; then
  systemctl start quillon-headless@package-test
  port=/run/quillon/package-test/hart-port
  for _ in $(seq 50); do [ -e "$port" ] && break; sleep 0.1; done
  python3 scripts/hart_poll.py "$port" 0 || fail "the service does not answer on $port"
  systemctl stop quillon-headless@package-test
  [ "$(systemctl show -P Result quillon-headless@package-test)" = success ] ||
    fail "the service did not stop cleanly"
  journal="$(journalctl -u quillon-headless@package-test -o cat)"
  grep -q '  <==  FF FF FF FF FF 02 80' <<<"$journal" ||
    fail "the service's traffic log is not in the journal"
fi

DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y quillon quillon-headless
for file in /usr/bin/quillon /usr/bin/quillon-headless "$unit"; do
  [ ! -e "$file" ] || fail "$file is still there after the purge"
done
if dpkg -s quillon-headless >/dev/null 2>&1 || dpkg -s quillon >/dev/null 2>&1; then
  fail "a package is still known to dpkg after the purge"
fi
echo "package-test: packages built, checked, installed, run and removed"
