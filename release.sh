#!/bin/bash
# Builds the download packages into dist/ (emptied first):
#   pavo-<version>-linux-x86_64.tar.gz   pavo, pavo_image_service, documents
#   pavo-<version>-windows-x64.zip       pavo.exe, documents
#   pavo-<version>-windows-x86.zip       pavo.exe (32-bit), documents
# Each unpacks into one folder of its own. Options are passed to every
# configure, for the builder's image service, e.g.
#   ./release.sh -DPAVO_BASE_URL=https://images.example.org
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

rm -rf dist
mkdir dist
for preset in linux-release windows-release windows-x86-release; do
  cmake --preset "$preset" --fresh "$@" >/dev/null
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
