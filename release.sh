#!/bin/bash
# Builds the download packages into dist/ (emptied first):
#   pavo-<version>-linux-x86_64.tar.gz   pavo, pavo_image_service, documents
#   pavo-<version>-windows-x64.zip       pavo.exe, documents
#   pavo-<version>-windows-x86.zip       pavo.exe (32-bit), documents
# Each unpacks into one folder of its own. Options are passed to every
# configure, for the builder's image service, e.g.
#   ./release.sh -DPAVO_BASE_URL=https://images.example.org
# (./release.sh --root-only makes the build root alone.)
# Each release build starts from a fresh configuration, so an option given
# to an earlier run does not linger. The test builds (presets linux, windows,
# windows-x86) are not touched.
# Both pavo.exe are signed with Authenticode (SHA-256, tools/sign-exe) when a
# certificate is given, in the environment or as the first options:
#   PAVO_SIGN_PFX=cert.pfx PAVO_SIGN_PASSWORD=... ./release.sh
#   ./release.sh --sign-pfx cert.pfx --sign-timestamp-url http://timestamp.example.org
# (the password only through PAVO_SIGN_PASSWORD, never on a command line;
# the time-stamp server also as PAVO_SIGN_TIMESTAMP_URL). Without one they
# are built unsigned, and the run says so.
#
# The Linux program is built on the oldest system it supports, a Debian 11
# root (glibc 2.31, GCC 10, GLib 2.66; made once by tools/debian-root and
# kept outside the clone), with Debian 11's CMake and without presets, and
# packed by the linux-release preset in place of that build's own.
set -euo pipefail
shopt -s nullglob
cd "$(dirname "$0")"

while [ $# -gt 0 ]; do
  case "$1" in
    --sign-pfx) export PAVO_SIGN_PFX=$2; shift 2 ;;
    --sign-pfx=*) export PAVO_SIGN_PFX=${1#*=}; shift ;;
    --sign-timestamp-url) export PAVO_SIGN_TIMESTAMP_URL=$2; shift 2 ;;
    --sign-timestamp-url=*) export PAVO_SIGN_TIMESTAMP_URL=${1#*=}; shift ;;
    *) break ;;
  esac
done
if [ -n "${PAVO_SIGN_PFX:-}" ]; then
  [ -r "$PAVO_SIGN_PFX" ] || { echo "cannot read the certificate $PAVO_SIGN_PFX" >&2; exit 1; }
  PAVO_SIGN_PFX=$(realpath "$PAVO_SIGN_PFX")
  signing="signed with $PAVO_SIGN_PFX${PAVO_SIGN_TIMESTAMP_URL:+, time-stamped by $PAVO_SIGN_TIMESTAMP_URL}"
else
  signing="NOT signed (no certificate given: PAVO_SIGN_PFX or --sign-pfx)"
fi

tools/install-deps release

# The Debian 11 root sees this folder at the same path, through a mount of
# its own that ends with the build, and nothing of this system's environment.
root=$(tools/debian-root bullseye g++ cmake ninja-build pkg-config python3 libglib2.0-dev libcurl4-openssl-dev \
       libjpeg62-turbo-dev)
[ "${1:-}" != --root-only ] || exit 0
program=build/linux-release-program
rm -rf "$program"
mkdir -p "$root$PWD"
unshare --mount --propagation private /bin/sh -euc '
  root=$1; shift
  mount --bind "$PWD" "$root$PWD"
  mount -t proc proc "$root/proc"
  exec chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root /bin/sh -euc "cd \"\$1\"; shift
    cmake -S . -B build/linux-release-program -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
          -DPAVO_TOOLS=OFF -DPAVO_STATIC_JPEG=ON -DCMAKE_CXX_FLAGS=-Werror=deprecated-declarations \
          -DCMAKE_EXE_LINKER_FLAGS=-s \"\$@\" >/dev/null
    cmake --build build/linux-release-program --target pavo" sh "$PWD" "$@"' sh "$root" "$@"

rm -rf dist
mkdir dist
for preset in linux-release windows-release windows-x86-release; do
  own=()
  [ "$preset" != linux-release ] || own=(-DPAVO_PROGRAM="$PWD/$program/pavo")
  cmake --preset "$preset" --fresh "${own[@]}" "$@" >/dev/null
  cmake --build --preset "$preset"
  rm -f "build/$preset"/pavo-*.tar.gz "build/$preset"/pavo-*.zip
  cpack --preset "$preset" >/dev/null
  made=("build/$preset"/pavo-*.tar.gz "build/$preset"/pavo-*.zip)
  if [ ${#made[@]} -ne 1 ]; then
    echo "cpack made ${#made[@]} packages in build/$preset, not one" >&2
    exit 1
  fi
  mv "${made[0]}" dist/
done
ls -l dist
echo "pavo.exe in both Windows packages: $signing"
