#!/bin/bash
# Runs the daily job once against a throw-away program directory.
set -euo pipefail
cd "$(dirname "$0")"
./test.sh >/dev/null 2>&1 || true
d=$(mktemp -d)
cp build/linux/pavo "$d/"
set +e; HOME="$d/home" XDG_CONFIG_HOME="$d/home/.config" "$d/pavo"; status=$?; set -e
echo "Program directory: $d"
ls -R "$d"
echo "Exit status: $status"
