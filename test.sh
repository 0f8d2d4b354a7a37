#!/bin/bash
# Installs every missing Debian package, builds the four presets (Linux, Linux
# with sanitizers, Windows 64-bit, Windows 32-bit) and runs every test of both
# platforms: the Linux ones natively (and again with AddressSanitizer and
# UndefinedBehaviorSanitizer, with the fuzz targets a few seconds each), the
# Windows ones under Wine on a virtual display. Then
# builds the download packages (./release.sh) and tries each as a user would.
set -euo pipefail
cd "$(dirname "$0")"

tools/install-deps all

# The Debian roots (release.sh's build root, the Debian 11 and 13 roots of
# the package test) are made once, outside the clone: on a
# fresh machine they are fetched, side by side, while the builds run.
mkdir -p build
roots=()
./release.sh --root-only >build/debian-root-build.log 2>&1 & roots+=($!)
for what in "Debian 11" "Debian 13"; do
  python3 -c 'import sys; sys.path.insert(0, "tests/e2e"); import program; program.debian_root(sys.argv[1])' \
    "$what" >"build/debian-root-${what// /-}.log" 2>&1 & roots+=($!)
done

for preset in linux linux-asan windows windows-x86; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

tools/wine-setup

status=0
# The sanitized build's tests mostly wait (on time-outs, on the local
# service), as the others do: they run beside them.
ctest --preset linux-asan >build/ctest-linux-asan.log 2>&1 &
asan=$!
ctest --preset linux 2>&1 | tee build/ctest-linux.log || status=1
ctest --preset windows 2>&1 | tee build/ctest-windows.log || status=1
wait $asan || status=1
sed -n '/tests passed/,$p' build/ctest-linux-asan.log

# The download packages, built and tried as a user gets them; signed with a
# throw-away certificate made here (its key never leaves build/sign), as a
# builder's own would sign them.
for r in "${roots[@]}"; do wait "$r" || echo "a Debian root could not be made, see build/debian-root-*.log"; done
packages=failed
rm -rf build/sign && mkdir -p build/sign
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Pavo test signer" \
  -addext extendedKeyUsage=codeSigning -keyout build/sign/key.pem -out build/sign/cert.pem 2>/dev/null
openssl pkcs12 -export -inkey build/sign/key.pem -in build/sign/cert.pem -out build/sign/cert.pfx \
  -passout pass:throw-away
if PAVO_SIGN_PFX=build/sign/cert.pfx PAVO_SIGN_PASSWORD=throw-away ./release.sh >build/release.log 2>&1; then
  python3 tests/package/test_packages.py --dist dist --build build/package-test --signed-by build/sign/cert.pem 2>&1 \
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
read -r af _ _ _ _ at < <(count build/ctest-linux-asan.log) || true
[ "${at:-0}" -gt 0 ] || status=1
echo "both platforms: $((total - failed)) passed, $failed failed; with sanitizers: $((${at:-0} - ${af:-0})) passed, ${af:-0} failed; packages: $packages"
exit $status
