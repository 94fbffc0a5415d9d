#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the running
# service need. Idempotent: packages already present are left alone and the
# package index is refreshed only when something is missing.
set -euo pipefail

PACKAGES=(
  # build
  build-essential cmake ninja-build pkg-config clang-format ccache shellcheck
  # tests, fuzzing and the sanitizer build
  libgtest-dev clang-14 libclang-rt-14-dev
  # pictures: JPEG codec, drawing surface, fonts
  libjpeg62-turbo-dev libcairo2-dev libfreetype-dev libfontconfig-dev fonts-liberation2
  # barcodes: the reader (loaded at run time) and a real encoder for test pictures
  libzbar0 libzbar-dev zint libzint-dev
  # QC reports: PostScript to PDF
  ghostscript
  # service manager
  libsystemd-dev systemd
  # the Debian package (cpack -G DEB: dpkg-shlibdeps lists the runtime libraries)
  dpkg-dev
  # the package checked under a real systemd: a Debian root booted in a container
  systemd-container mmdebstrap
  # checks of produced documents in tests
  poppler-utils libxml2-utils
)

missing=()
for pkg in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup-deps: all ${#PACKAGES[@]} packages already installed"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    SUDO="sudo"
  else
    echo "setup-deps: missing packages (${missing[*]}) and not root: run as root" >&2
    exit 1
  fi
fi

echo "setup-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
echo "setup-deps: done"
