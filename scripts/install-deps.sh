#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when they are missing.
set -euo pipefail

# clang-format checks the layout of the C++ files (scripts/check_format.sh).
# clang and libclang-rt-14-dev build and run the libFuzzer targets (scripts/fuzz.sh).
# tshark decodes the HART-IP test's capture (its setuid capture helper is not installed: the test
# reads a file and captures nothing).
# libssl-dev is OpenSSL for HART-IP's TLS and DTLS; the openssl program is the independent client
# of the secured HART-IP tests.
# qt6-base-dev brings Qt Widgets and Qt Test, the OpenGL and Vulkan headers Qt's CMake package
# requires, and the offscreen platform the GUI tests run on; the tests draw text in a DejaVu font.
# The package test (scripts/package-test.sh) builds the Debian packages (dpkg-dev for
# dpkg-shlibdeps and dpkg-buildflags, file for CPack's search of the binaries), checks them with
# lintian, man (man-db) and desktop-file-validate (desktop-file-utils), and runs its small HART
# master and the icon's drawing script with python3.
# kubectl renders the Kubernetes manifests of deploy/kubernetes with its built-in kustomize, and
# python3-yaml reads what it renders (tests/deploy/kubernetes_render_test.py). Debian's
# kubernetes-client is installed only where no kubectl is there: a kubectl installed another way
# owns the same path, and any kubectl renders them.
# The container image (scripts/build-image.sh, scripts/image-test.sh): debootstrap makes its
# Debian 12 root file system, buildah turns that into an OCI image without running a container.
packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          libssl-dev openssl qt6-base-dev fonts-dejavu-core clang clang-format libclang-rt-14-dev
          dpkg-dev file lintian man-db desktop-file-utils python3 python3-yaml tshark
          debootstrap buildah)
command -v kubectl >/dev/null || packages+=(kubernetes-client)

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing missing packages: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update
  echo "wireshark-common wireshark-common/install-setuid boolean false" |
    "${sudo_cmd[@]}" debconf-set-selections
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y "${missing[@]}"
fi
