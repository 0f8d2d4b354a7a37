#!/bin/bash
# Measures the program against the tools that do the same work and prints one
# table (the one kept in BENCHMARKS.md): the conversion against djpeg, a whole
# run against curl + curl + djpeg (and djpeg alone), the waits' CPU, a start
# on a day already done against /bin/true, sizes and run-time dependencies,
# and under Wine the CPU of the delay. Not a test: it judges nothing on a
# busy machine, it only reports.
#   ./bench.sh [--runs N]
set -euo pipefail
cd "$(dirname "$0")"

tools/install-deps bench
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release >/dev/null
cmake --preset windows-release >/dev/null
cmake --build --preset windows-release >/dev/null
tools/wine-setup
exec python3 tools/bench.py --build build/linux-release --windows-exe build/windows-release/pavo.exe --wine "$@"
