#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the running
# service need, on Linux and for the Windows cross build, and adds source
# entries (deb-src) for this machine's Debian mirrors so that
# scripts/windows-deps.sh can fetch the libraries' Debian sources. Idempotent:
# packages already present are left alone, the source entries are rewritten
# only when the machine's apt sources changed, and the package index is
# refreshed only when something is missing or the entries changed.
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
  # checks of produced documents in tests; the status page in a browser
  poppler-utils libxml2-utils chromium
  # the Windows program: MinGW-w64 with POSIX threads (std::thread), zlib for
  # it, what the libraries' source builds need, Wine to run the tests, and
  # the installer tools
  g++-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev nasm
  autoconf automake libtool autopoint wine wine64 msitools wixl
)

SUDO=""
if [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null 2>&1; then
  SUDO="sudo"
fi

# --- deb-src entries: the same Debian mirrors, suites and keys as the deb ones --
# Only entries whose suites are this release's (bookworm, bookworm-updates,
# bookworm-security ...) are copied: third-party repositories publish no
# sources. One-line entries ("deb [signed-by=...] URI SUITE COMPONENTS") are
# turned into the same stanza form.
SRC_FILE=/etc/apt/sources.list.d/velmar-deb-src.sources
codename=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release 2>/dev/null || true)
deb_src_entries() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk -v rel="$codename" '
      $1 == "deb" {
        signed = ""
        i = 2
        if ($2 ~ /^\[/) {
          while (i <= NF) {
            opt = $i; gsub(/[][]/, "", opt)
            if (opt ~ /^signed-by=/) { signed = substr(opt, 11) }
            if ($i ~ /\]$/) { i++; break }
            i++
          }
        }
        uri = $i; suite = $(i + 1)
        if (suite !~ "^" rel "([-/]|$)") next
        comps = ""
        for (j = i + 2; j <= NF; j++) comps = comps " " $j
        printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents:%s\n", uri, suite, comps
        if (signed != "") printf "Signed-By: %s\n", signed
        printf "\n"
      }' "$f"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    if [ ! -f "$f" ] || [ "$f" = "$SRC_FILE" ]; then continue; fi
    # Stanzas are separated by blank lines; comments are dropped, continuation
    # lines (an inline key) stay with their field.
    awk -v rel="$codename" '
      function flush(   n, k, s, ok) {
        if (isdeb && nsuites > 0) {
          ok = 1
          n = split(suites, s, /[ \t]+/)
          for (k = 1; k <= n; k++) if (s[k] != "" && s[k] !~ "^" rel "([-/]|$)") ok = 0
          if (ok && enabled) printf "Types: deb-src\n%s\n\n", body
        }
        isdeb = 0; nsuites = 0; suites = ""; body = ""; enabled = 1
      }
      BEGIN { enabled = 1 }
      /^[ \t]*$/ { flush(); next }
      /^#/ { next }
      /^Types:/ { isdeb = ($0 ~ /[ \t]deb([ \t]|$)/); next }
      /^Enabled:/ { enabled = ($2 !~ /^no$/) }
      /^Suites:/ { suites = substr($0, 8); nsuites = 1 }
      { body = body (body == "" ? "" : "\n") $0 }
      END { flush() }' "$f"
  done
}
wanted=$(deb_src_entries)
src_changed=0
if [ -z "$wanted" ]; then
  echo "setup-deps: no Debian mirror in this machine's apt sources: no deb-src entries" >&2
elif [ ! -f "$SRC_FILE" ] || [ "$(cat "$SRC_FILE")" != "$wanted" ]; then
  if [ "$(id -u)" -ne 0 ] && [ -z "$SUDO" ]; then
    echo "setup-deps: $SRC_FILE needs writing and not root: run as root" >&2
    exit 1
  fi
  echo "setup-deps: writing $SRC_FILE (deb-src for the Debian mirrors)"
  printf '%s\n' "$wanted" | $SUDO tee "$SRC_FILE" >/dev/null
  src_changed=1
fi

missing=()
for pkg in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  if [ "$src_changed" -eq 1 ]; then
    $SUDO apt-get update -q
  fi
  echo "setup-deps: all ${#PACKAGES[@]} packages already installed"
  exit 0
fi

if [ "$(id -u)" -ne 0 ] && [ -z "$SUDO" ]; then
  echo "setup-deps: missing packages (${missing[*]}) and not root: run as root" >&2
  exit 1
fi

echo "setup-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
echo "setup-deps: done"
