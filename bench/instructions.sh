#!/usr/bin/env bash
# Instructions per entry query (and per scratch memory object), counted by
# callgrind on the benchmark program: exact counts that do not move with the
# machine's load, unlike times on a shared machine.
#   bench/instructions.sh [BUILD]     BUILD: a Release build folder (default build/bench)
set -euo pipefail
cd "$(dirname "$0")/.."
build="$(cd "${1:-build/bench}" && pwd)"
export TVRX_DRIVER_IMAGE="$build/driver/tavrix.sys"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
count() {  # count BENCHMARK ANCHOR
    valgrind --tool=callgrind --callgrind-out-file="$out/$1.out" --toggle-collect="tvrx::bench::(anonymous namespace)::$1*" \
        "$build/bench/ioctl_bench" --benchmark_filter="^$1(/real_time/threads:1)?\$" --benchmark_min_time=0.5 >/dev/null 2>&1
    echo "== $1"
    python3 bench/callgrind_counts.py "$out/$1.out" "$2" "${TOP:-25}"
}
count RoundTrip 'plat::um::IoControl('
count ScratchMemoryObject 'WdfMemoryCreate'
