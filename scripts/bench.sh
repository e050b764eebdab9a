#!/usr/bin/env bash
# Builds the benchmarks with the release preset (-O3) and runs them, each
# against its floor, interleaved in random order and repeated; every program
# ends with the ratios of the medians (variant / floor). The output of each
# goes to <out>/<program>.txt with the machine's load before and after, and
# the ratio lines are printed together at the end.
#
#   scripts/bench.sh [out-dir] [program...]
#
# Default out-dir: build/release/bench-results; default programs: all. Run on
# a quiet machine: the load (uptime) is recorded beside each result because
# other builds on the same cores inflate the ratios of the cheapest
# operations most. Extra Google Benchmark flags go in BENCH_FLAGS, e.g.
# BENCH_FLAGS=--benchmark_repetitions=20.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/release/bench-results}
shift || true
programs=("$@")
if [ ${#programs[@]} -eq 0 ]; then
    programs=(bench_logger bench_config_store bench_config_values bench_notes_api bench_browse bench_process
              bench_partition_service)
fi
cmake --preset release -DLNDB_BUILD_BENCH=ON >/dev/null
cmake --build --preset release
mkdir -p "$out"
for program in "${programs[@]}"; do
    echo "== $program"
    {
        echo "load before: $(uptime)"
        # shellcheck disable=SC2086
        "build/release/bin/$program" ${BENCH_FLAGS:-}
        echo "load after: $(uptime)"
    } >"$out/$program.txt" 2>&1
    sed -n '/^Ratios of medians\|^Requests per second\|^Parsing read\|latency at 1 client/,/^$/p' "$out/$program.txt"
done
