#!/usr/bin/env bash
# Builds the OCI image of quillon-headless: the project's own Debian package on a minimal
# Debian 12 (debootstrap --variant=minbase), run as the user quillon (10001) in the volume
# /var/lib/quillon by the entry point of deploy/image/.
#
#   scripts/build-image.sh [--deb FILE] [--archive FILE]
#     --deb FILE      the quillon-headless package to put in the image; without it the package is
#                     built (Release, headless only) in build/image/deb
#     --archive FILE  writes the image as an OCI archive (gzip-compressed layer) to FILE;
#                     without it the image goes to the local podman/buildah store as
#                     localhost/quillon-headless:VERSION and :latest
#     --check         only says whether this machine can build the image (root, deb.debian.org)
#
# No container is started: build machines may refuse the resource limits a container runtime
# sets. The root file system is made with debootstrap and chroot, and buildah turns it into an
# image in a store of its own under build/image (vfs: plain folders, no overlay mounts).
# Needs root (debootstrap and chroot) and http://deb.debian.org.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() { echo "build-image: $*" >&2; exit 1; }
usage() { sed -n '7,12p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }

mirror=http://deb.debian.org/debian
deb=""
archive=""
check_only=0
while [ $# -gt 0 ]; do
  case "$1" in
    --deb) [ $# -ge 2 ] || usage; deb="$2"; shift 2;;
    --archive) [ $# -ge 2 ] || usage; archive="$2"; shift 2;;
    --check) check_only=1; shift;;
    *) usage;;
  esac
done

# What the build needs from the machine, said plainly when it is missing.
[ "$(id -u)" -eq 0 ] ||
  fail "needs root (debootstrap and chroot make the image's root file system): run it as root," \
       "e.g. sudo scripts/build-image.sh"
# (Through a proxy, debootstrap's own download tells.)
[ -n "${http_proxy:-}" ] || timeout 10 bash -c 'exec 3<>/dev/tcp/deb.debian.org/80' 2>/dev/null ||
  fail "cannot reach $mirror (debootstrap downloads Debian 12 from there): check the network" \
       "or the proxy settings"
[ "$check_only" -eq 0 ] || exit 0

scripts/install-deps.sh
for tool in debootstrap buildah; do
  command -v "$tool" >/dev/null ||
    fail "$tool is missing: install it with apt-get install $tool (scripts/install-deps.sh does)"
done

version="$(sed -n 's/^project(Quillon VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
arch="$(dpkg --print-architecture)"
work="$PWD/build/image"
mkdir -p "$work"

if [ -z "$deb" ]; then
  # The package as scripts/package-test.sh builds it, without the window.
  scripts/build-packages.sh "$work/deb" --headless
  deb="$work/deb/quillon-headless_${version}_${arch}.deb"
fi
[ -f "$deb" ] || fail "no package $deb: build it with scripts/package-test.sh, or leave out --deb"
[ "$(dpkg-deb -f "$deb" Package)" = quillon-headless ] || fail "$deb is not quillon-headless"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] ||
  fail "$deb is version $(dpkg-deb -f "$deb" Version), the sources are $version: build it again"
if [ -n "$archive" ]; then
  archive="$(realpath -m "$archive")"
  [ -d "$(dirname "$archive")" ] || fail "no folder $(dirname "$archive") for the archive"
fi

root="$work/root"
store="$work/storage"
buildah=(buildah --storage-driver vfs --root "$store" --runroot "$work/run")
container=""
cleanup() {
  # debootstrap mounts /proc and /sys in the root while it works: an interrupted one may have
  # left them there, and they go before the folder does.
  awk -v r="$root/" 'index($2, r) == 1 { print $2 }' /proc/self/mounts | sort -r |
    xargs -r umount -l
  if [ -n "$container" ]; then "${buildah[@]}" rm "$container" >/dev/null 2>&1 || true; fi
  rm -rf "$root" "$store" "$work/run" "$work/image.tar"
}
# What an interrupted build left behind.
cleanup
trap cleanup EXIT

# ---- The root file system: Debian's minimal base and the package's libraries, then the package.
# The package's dependencies, without versions and alternatives, come with the base system;
# dpkg checks their versions when it installs the package.
depends="$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/:.*//; s/ //g' |
           grep . | paste -sd,)"
echo "build-image: Debian 12 minbase with $depends"
debootstrap --variant=minbase --include="$depends" bookworm "$root" "$mirror" \
  >"$work/debootstrap.log" 2>&1 ||
  fail "debootstrap failed (its log: $work/debootstrap.log): $(tail -n 3 "$work/debootstrap.log")"
cp "$deb" "$root/tmp/quillon-headless.deb"
chroot "$root" dpkg -i /tmp/quillon-headless.deb
rm "$root/tmp/quillon-headless.deb"

install -m 0755 deploy/image/quillon-entrypoint deploy/image/quillon-seed "$root/usr/local/bin/"
chroot "$root" groupadd --gid 10001 quillon
# In the group dialout, so that a serial port passed in with --device opens as on the host.
chroot "$root" useradd --uid 10001 --gid quillon --groups dialout --home-dir /var/lib/quillon \
  --no-create-home --shell /usr/sbin/nologin quillon
# QLN.ini may hold HART-IP's pre-shared keys: the folder is the simulator's alone.
install -d -m 0700 -o 10001 -g 10001 "$root/var/lib/quillon"

# ---- Trimmed to what the simulator needs at run time. Every package stays known to dpkg (the
# image can be scanned and extended); what goes is the downloaded packages and lists, the
# documentation except the copyright notices, manual pages, translations, logs, and what the
# container runtime provides (/dev, the host name, the resolver). Later installs leave the same
# out, as Debian's slim images do.
find "$root/usr/share/doc" -mindepth 1 ! -type d ! -name copyright -delete
find "$root/usr/share/doc" -mindepth 1 -type d -empty -delete
rm -rf "${root:?}"/var/cache/apt/* "${root:?}"/var/lib/apt/lists/* "${root:?}"/usr/share/man/* \
  "${root:?}"/usr/share/info/* "${root:?}"/usr/share/lintian "${root:?}"/var/log/* \
  "${root:?}"/dev/* "$root"/var/cache/debconf/*-old "$root"/var/lib/dpkg/*-old "$root"/tmp/* \
  "$root"/etc/hostname "$root"/etc/resolv.conf
find "$root/usr/share/locale" -mindepth 1 -maxdepth 1 ! -name locale.alias -exec rm -rf {} +
cat >"$root/etc/dpkg/dpkg.cfg.d/quillon-image" <<'EOF'
# A container image: no documentation, manual pages or translations (copyright notices stay).
path-exclude /usr/share/doc/*
path-include /usr/share/doc/*/copyright
path-exclude /usr/share/man/*
path-exclude /usr/share/info/*
path-exclude /usr/share/locale/*
path-include /usr/share/locale/locale.alias
EOF
if [ ! -x "$root/usr/bin/quillon-headless" ] || [ ! -f "$root/usr/share/quillon/QLN.ini" ]; then
  fail "the package did not install /usr/bin/quillon-headless and /usr/share/quillon/QLN.ini"
fi

# ---- The image, made without running anything in it.
# (sed reads to the end: head would leave dpkg-deb to die of SIGPIPE, a failure under pipefail.)
summary="$(dpkg-deb -f "$deb" Description | sed -n 1p)"
container="$("${buildah[@]}" from scratch)"
mount="$("${buildah[@]}" mount "$container")"
tar -C "$root" -cf - . | tar -C "$mount" -xpf - --numeric-owner
"${buildah[@]}" umount "$container" >/dev/null
# The upstream has not chosen a licence yet (packaging/debian/copyright): NONE until it does.
"${buildah[@]}" config \
  --os linux --arch "$arch" \
  --env PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  --user 10001:10001 --workingdir /var/lib/quillon --volume /var/lib/quillon \
  --entrypoint '["/usr/local/bin/quillon-entrypoint"]' \
  --cmd '["--no-serial", "--hart-ip", "0.0.0.0:5094"]' \
  --port 5094/tcp --port 5094/udp --stop-signal SIGTERM \
  --label org.opencontainers.image.title=quillon-headless \
  --label "org.opencontainers.image.version=$version" \
  --label "org.opencontainers.image.description=$summary" \
  --label org.opencontainers.image.licenses=NONE \
  "$container"

if [ -n "$archive" ]; then
  "${buildah[@]}" commit --quiet --disable-compression=false "$container" \
    "oci-archive:$archive:localhost/quillon-headless:$version" >/dev/null
  echo "build-image: wrote $archive ($(du -h "$archive" | cut -f1) compressed;" \
       "$(du -sh "$root" | cut -f1) unpacked)"
else
  # Committed to an archive first and then pulled into the local store, which may use another
  # storage driver than the vfs store the image was assembled in.
  "${buildah[@]}" commit --quiet "$container" "oci-archive:$work/image.tar" >/dev/null
  id="$(buildah pull --quiet "oci-archive:$work/image.tar")" ||
    fail "could not put the image into the local store (buildah info shows its settings);" \
         "--archive FILE writes it to a file instead"
  buildah tag "$id" "localhost/quillon-headless:$version" "localhost/quillon-headless:latest"
  echo "build-image: localhost/quillon-headless:$version and :latest," \
       "$(buildah images --format '{{.Size}}' "localhost/quillon-headless:$version")"
fi
