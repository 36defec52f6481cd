#!/usr/bin/env bash
# Installs everything Quillet needs to build and test on Debian 12, from
# Debian's own archive: the native toolchain and libraries, the mingw-w64
# cross compiler with Wine for the Windows target, the archive tools that
# make test fixtures, and the source packages the Windows test DLLs are
# built from. Safe to run again: it only installs what is missing.
#
#   scripts/setup.sh            everything the tests need (the test command)
#   scripts/setup.sh --sample   only what building and running Quillet on
#                               Linux needs (the sample job)
set -euo pipefail

mode=all
case "${1:-}" in
  "") ;;
  --sample) mode=sample ;;
  *) echo "usage: scripts/setup.sh [--sample]" >&2; exit 2 ;;
esac

# Building the Linux module and quillet-thumbnail, and running them: the
# 7-Zip and unrar libraries, gdk-pixbuf with its loaders (WebP, AVIF, HEIF),
# libpng.
packages=(
  build-essential cmake ninja-build pkg-config ca-certificates
  libgdk-pixbuf-2.0-dev libglib2.0-dev webp-pixbuf-loader libavif-gdk-pixbuf heif-gdk-pixbuf libpng-dev
  libjpeg62-turbo-dev
  p7zip-full libunrar5
)
if [ "$mode" = all ]; then
  packages+=(
    git libgtest-dev libgmock-dev googletest libbenchmark-dev
    7zip tar libunrar-dev unrar rar
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools
    wine64 wine
    dpkg-dev
    python3 file binutils zip unzip time libavif-bin libheif-examples
    bubblewrap shared-mime-info python3-gi gir1.2-gnomedesktop-3.0
    tumbler dbus dbus-daemon dbus-bin evince imagemagick linux-perf
    valgrind clang libclang-rt-dev
  )
fi

sudo_if_needed() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

enable_components() {
  # Debian's non-free component carries unrar and rar; deb-src entries give
  # the 7-Zip and unrar sources for the Windows test libraries (tests only).
  local f=/etc/apt/sources.list.d/debian.sources changed=0
  if [ -f "$f" ]; then
    if grep -q '^Components:' "$f" && ! grep -q '^Components:.*non-free\b' "$f"; then
      sudo_if_needed sed -i -E '/^Components:/ s/$/ contrib non-free non-free-firmware/' "$f"
      changed=1
    fi
    if [ "$mode" = all ] && ! grep -q '^Types:.*deb-src' "$f"; then
      sudo_if_needed sed -i -E 's/^Types: deb$/Types: deb deb-src/' "$f"
      changed=1
    fi
  fi
  if [ -f /etc/apt/sources.list ] && grep -q '^deb ' /etc/apt/sources.list; then
    if ! grep -q '^deb .* non-free' /etc/apt/sources.list; then
      sudo_if_needed sed -i -E '/^deb / s/ main$/ main contrib non-free non-free-firmware/' /etc/apt/sources.list
      changed=1
    fi
    if [ "$mode" = all ] && ! grep -q '^deb-src ' /etc/apt/sources.list; then
      grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
        sudo_if_needed tee -a /etc/apt/sources.list >/dev/null
      changed=1
    fi
  fi
  echo "$changed"
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

changed=$(enable_components)
if [ "${#missing[@]}" -gt 0 ] || [ "$changed" = 1 ] || [ ! -d /var/lib/apt/lists ] ||
   { [ "$mode" = all ] && [ -z "$(ls /var/lib/apt/lists/*Sources* 2>/dev/null)" ]; }; then
  sudo_if_needed apt-get update -q
fi
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_if_needed env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
echo "setup: system packages are in place"

# The Windows tests load 7-Zip's and unrar's DLLs, cross-built from the Debian
# sources above into a cache outside the work tree; a no-op once they exist.
# The sample job needs none of them.
if [ "$mode" = all ]; then
  "$(dirname "${BASH_SOURCE[0]}")/build-windows-libs.sh"
fi
