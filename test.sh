#!/bin/bash
# Installs every missing Debian package, builds the three presets (Linux,
# Windows 64-bit, Windows 32-bit) and runs every test of both platforms: the
# Linux ones natively, the Windows ones under Wine on a virtual display.
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(
  cmake ninja-build g++ pkg-config python3 libgtest-dev googletest
  libcurl4-openssl-dev libjpeg62-turbo-dev libglib2.0-dev libcpp-httplib-dev libssl-dev
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 xvfb xauth
  imagemagick libjpeg-turbo-progs
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

for preset in linux windows windows-x86; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

tools/wine-setup

status=0
ctest --preset linux 2>&1 | tee build/ctest-linux.log || status=1
ctest --preset windows 2>&1 | tee build/ctest-windows.log || status=1

# One closing line for both platforms.
count() { grep -Eo "[0-9]+ tests failed out of [0-9]+" "$1" | tail -1; }
read -r lf _ _ _ _ lt < <(count build/ctest-linux.log) || true
read -r wf _ _ _ _ wt < <(count build/ctest-windows.log) || true
total=$((${lt:-0} + ${wt:-0})); failed=$((${lf:-0} + ${wf:-0}))
[ "$total" -gt 0 ] || status=1
echo "both platforms: $((total - failed)) passed, $failed failed"
exit $status
