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
set -euo pipefail
shopt -s nullglob
cd "$(dirname "$0")"

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
