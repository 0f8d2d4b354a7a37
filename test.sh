#!/bin/bash
# Installs every missing Debian package, builds the three presets (Linux,
# Windows 64-bit, Windows 32-bit) and runs every test of both platforms: the
# Linux ones natively, the Windows ones under Wine on a virtual display. Then
# builds the download packages (./release.sh) and tries each as a user would.
set -euo pipefail
cd "$(dirname "$0")"

tools/install-deps all

for preset in linux windows windows-x86; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

tools/wine-setup

status=0
ctest --preset linux 2>&1 | tee build/ctest-linux.log || status=1
ctest --preset windows 2>&1 | tee build/ctest-windows.log || status=1

# The download packages, built and tried as a user gets them.
packages=failed
if ./release.sh >build/release.log 2>&1; then
  python3 tests/package/test_packages.py --dist dist --build build/package-test 2>&1 \
    | tee build/test-packages.log && packages=passed
else
  echo "./release.sh failed, see build/release.log"
fi
[ $packages = passed ] || status=1

# One closing line for both platforms.
count() { grep -Eo "[0-9]+ tests failed out of [0-9]+" "$1" | tail -1; }
read -r lf _ _ _ _ lt < <(count build/ctest-linux.log) || true
read -r wf _ _ _ _ wt < <(count build/ctest-windows.log) || true
total=$((${lt:-0} + ${wt:-0})); failed=$((${lf:-0} + ${wf:-0}))
[ "$total" -gt 0 ] || status=1
echo "both platforms: $((total - failed)) passed, $failed failed; packages: $packages"
exit $status
