#!/usr/bin/env bash
# Smoke test of the container image: builds it as an OCI archive (scripts/build-image.sh), or
# takes one with --archive FILE, and checks it from the archive itself: its settings (user,
# volume, entry point, command, ports, stop signal, labels), then its file system unpacked and
# run without a container runtime, chrooted as the user 10001 as a runtime would start it:
#   - the entry point seeds the volume from the example, with COMNo empty and the unique IDs of
#     instance 5 (QUILLON_INSTANCE) or of the host name's number (quillon-7);
#   - a HART-IP host (the bench program plant_discovery) finds the I/O system and its eight
#     devices;
#   - SIGTERM stops the simulator cleanly (exit code 0).
# Building needs root and http://deb.debian.org: without them the test is skipped (exit 0) with
# a message saying so. Needs the test build's build/test/bench/plant_discovery.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() { echo "image-test: $*" >&2; exit 1; }

archive=""
if [ $# -eq 2 ] && [ "$1" = --archive ]; then
  archive="$(realpath "$2")"
elif [ $# -ne 0 ]; then
  echo "usage: scripts/image-test.sh [--archive FILE]" >&2
  exit 2
fi

if [ -z "$archive" ] && ! reason="$(scripts/build-image.sh --check 2>&1)"; then
  echo "image-test: skipped: ${reason#build-image: }." \
       "Run scripts/image-test.sh as root on a machine that reaches deb.debian.org." >&2
  exit 0
fi
[ "$(id -u)" -eq 0 ] || fail "needs root to run the image's file system in a chroot"
discovery=build/test/bench/plant_discovery
[ -x "$discovery" ] ||
  fail "no $discovery: build the tests first (cmake -S . -B build/test && cmake --build build/test)"

version="$(sed -n 's/^project(Quillon VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
work="$(mktemp -d)"
simulator=""
cleanup() {
  # The simulator first: the namespace that has /dev and /proc mounted in the root ends with it,
  # and only then is the root an ordinary folder to remove.
  if [ -n "$simulator" ]; then
    kill -KILL "$simulator" 2>/dev/null || true
    wait "$simulator" || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

if [ -z "$archive" ]; then
  archive="$work/quillon-headless.tar"
  start=$SECONDS
  # The package the package test has just built, when there is one of this version.
  deb="build/package/quillon-headless_${version}_$(dpkg --print-architecture).deb"
  deb_option=()
  [ -f "$deb" ] && deb_option=(--deb "$deb")
  scripts/build-image.sh "${deb_option[@]}" --archive "$archive"
  echo "image-test: image built in $((SECONDS - start)) s"
fi

# ---- The image's settings, and its layers unpacked in order into $root.
root="$work/root"
mkdir "$root" "$work/oci"
tar -C "$work/oci" -xf "$archive"
env_file="$work/env"
# The script checks the settings, writes the environment to $env_file and prints the layers' paths,
# bottom first.
layers="$(python3 - "$work/oci" "$version" "$env_file" <<'EOF'
import json, sys
oci, version, env_file = sys.argv[1:]
def blob(digest):
    return f"{oci}/blobs/{digest.replace(':', '/')}"
index = json.load(open(f"{oci}/index.json"))
manifest = json.load(open(blob(index["manifests"][0]["digest"])))
config = json.load(open(blob(manifest["config"]["digest"])))["config"]
expected = {
    "User": "10001:10001",
    "WorkingDir": "/var/lib/quillon",
    "Entrypoint": ["/usr/local/bin/quillon-entrypoint"],
    "Cmd": ["--no-serial", "--hart-ip", "0.0.0.0:5094"],
    "ExposedPorts": {"5094/tcp": {}, "5094/udp": {}},
    "Volumes": {"/var/lib/quillon": {}},
    "StopSignal": "SIGTERM",
}
wrong = [f"{k} is {config.get(k)!r}, not {v!r}" for k, v in expected.items() if config.get(k) != v]
labels = config.get("Labels") or {}
for key, value in (("title", "quillon-headless"), ("version", version)):
    if labels.get(f"org.opencontainers.image.{key}") != value:
        wrong.append(f"label org.opencontainers.image.{key} is not {value}")
for key in ("description", "licenses"):
    if not labels.get(f"org.opencontainers.image.{key}"):
        wrong.append(f"no label org.opencontainers.image.{key}")
for message in wrong:
    print(f"image-test: {message}", file=sys.stderr)
with open(env_file, "w") as out:
    out.write("\n".join(config.get("Env", [])) + "\n")
for layer in manifest["layers"]:
    print(blob(layer["digest"]))
sys.exit(1 if wrong else 0)
EOF
)" || fail "the image's settings are wrong"
# (tar tells a gzip-compressed layer from a plain one.)
while read -r layer; do tar -C "$root" -xpf "$layer" --numeric-owner; done <<<"$layers"
rm -rf "$work/oci"
volume="$root/var/lib/quillon"
[ "$(stat -c %u:%g "$volume")" = 10001:10001 ] || fail "/var/lib/quillon is not the user 10001's"

# Runs the image's entry point with the arguments given, as a runtime starts it: in the image's
# root, with its environment and the extra variables of $extra_env, as the user 10001, with /dev
# and /proc mounted in a mount namespace of its own (they vanish with it), optionally under the
# host name $hostname (a UTS namespace of its own). The processes exec each other: $! is the
# simulator.
extra_env=()
hostname=""
start_image() {
  local uts=()
  [ -n "$hostname" ] && uts=(--uts)
  mapfile -t image_env <"$env_file"
  # shellcheck disable=SC2016  # (the inner script expands its own arguments)
  unshare --mount "${uts[@]}" sh -c '
    root="$1"; name="$2"; shift 2
    mount --rbind /dev "$root/dev" && mount -t proc proc "$root/proc" || exit 1
    if [ -n "$name" ]; then hostname "$name" || exit 1; fi
    exec chroot --userspec=10001:10001 "$root" "$@"' \
    sh "$root" "$hostname" env -i "${image_env[@]}" "${extra_env[@]}" \
    /usr/local/bin/quillon-entrypoint "$@" &
  simulator=$!
}

# Checks the seeded QLN.ini of instance $1: COMNo empty, the devices' and the I/O system's IDs
# and the I/O system's long tag the instance's own, every other line the example's.
check_seed() {
  local instance="$1" ini="$volume/QLN.ini" expected
  [ -f "$ini" ] || fail "the entry point did not seed /var/lib/quillon/QLN.ini"
  [ "$(stat -c '%u %a' "$ini")" = "10001 600" ] || fail "QLN.ini is not the user's alone"
  expected="$(awk -v i="$instance" '
    /^\[/ { s = $0; sub(/\r$/, "", s) }
    /^COMNo=/ { $0 = "COMNo=\r" }
    /^DevIDNo=/ && s ~ /^\[HTDev[0-9][0-9]_Cmd000\]$/ {
      $0 = "DevIDNo=" 1048576 + i * 16 + substr(s, 7, 2) "\r" }
    { print }
    END { print "\r"; print "[HTDev_IOSystem]\r"; print "DevIDNo=" 15728640 + i "\r"
          print "LongTag=quillon-" i "\r" }' "$root/usr/share/quillon/QLN.ini")"
  # The simulator adds nothing to the section it finds, so the file is exactly this.
  [ "$(cat "$ini")" = "$expected" ] ||
    fail "the seeded QLN.ini of instance $instance differs:" \
         "$(diff <(echo "$expected") "$ini" | head -n 20)"
}

# The host name's number is the instance when QUILLON_INSTANCE is not set (the program only
# shows its help here).
hostname=quillon-7
start_image --help >/dev/null
wait "$simulator" || fail "the entry point with --help ended with $?"
simulator=""
check_seed 7
rm "$volume/QLN.ini"

# The simulator as a plant's instance 5, on HART-IP at a free port of the loopback.
hostname=""
extra_env=(QUILLON_INSTANCE=5)
port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])')"
start_image --no-serial --hart-ip "127.0.0.1:$port" >"$work/traffic.log" 2>"$work/notes.log"
# Ready when the image's own probe (the one the Kubernetes manifests run) says so.
ready=0
for _ in $(seq 50); do
  chroot --userspec=10001:10001 "$root" /usr/bin/quillon-headless --probe "127.0.0.1:$port" \
    >"$work/probe.log" 2>&1 && { ready=1; break; }
  kill -0 "$simulator" 2>/dev/null ||
    fail "the simulator ended at its start: $(cat "$work/notes.log")"
  sleep 0.2
done
[ "$ready" -eq 1 ] ||
  fail "the image's quillon-headless --probe got no answer in 50 tries: $(cat "$work/probe.log")"
echo "image-test: probe: $(cat "$work/probe.log")"
"$discovery" --expect 8 "$port" ||
  fail "plant_discovery did not find the I/O system and its 8 devices: $(cat "$work/notes.log")"
kill -TERM "$simulator"
code=0
wait "$simulator" || code=$?
simulator=""
[ "$code" -eq 0 ] || fail "the simulator ended with $code on SIGTERM: $(cat "$work/notes.log")"
check_seed 5

echo "image-test: image checked: $(du -h "$archive" | cut -f1) archive," \
     "$(du -sh "$root" | cut -f1) unpacked"
