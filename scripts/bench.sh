#!/usr/bin/env bash
# Builds the benchmarks with the "bench" preset (Release), runs every one of them (the update
# timing included) on fixed-seed corpora generated on the fly, and prints one table: function,
# input, our time, the best peer's time, the ratio, the targets and whether they were met.
# Usage: scripts/bench.sh [REPETITIONS]     (default 5; each benchmark's median is reported)
# The corpora (a 100,000-file tree, two pairs of archives of 50 MB and 200 MB) are kept in
# build/bench/corpus for the next run; the JSON results and the table are written to
# build/bench/results.
set -euo pipefail
cd "$(dirname "$0")/.."
repetitions=${1:-5}

scripts/deps.sh bench
cmake --preset bench >/dev/null
cmake --build --preset bench -j"$(nproc)" --target benchmarks >/dev/null

build=$PWD/build/bench
results=$build/results
mkdir -p "$results"
rm -f "$results"/*.json
export ORVANTA_BENCH_CORPUS_DIR=$build/corpus

echo "Machine: $(lscpu | sed -n 's/^Model name: *//p' | head -n1), $(nproc) CPUs," \
     "$(uname -sr); $(uptime | sed 's/.*load/load/')"
for program in "$build"/bench/*Benchmark; do
  [[ -x "$program" ]] || continue
  name=$(basename "$program")
  echo "Running $name ..." >&2
  # An update run lasts seconds and varies with the disk: it gets at least eleven repetitions.
  runs=$repetitions
  [[ $name == UpdateBenchmark && $runs -lt 11 ]] && runs=11
  # Repetitions in random order spread the machine's changing load over ours and the peers alike.
  "$program" --benchmark_repetitions="$runs" \
             --benchmark_enable_random_interleaving=true \
             --benchmark_min_time=0.1 \
             --benchmark_out="$results/$name.json" --benchmark_out_format=json \
             >"$results/$name.log" 2>&1 \
    || { echo "$name failed; see $results/$name.log" >&2; exit 1; }
done
"$build"/bench/bench_report "$results"/*.json | tee "$results/table.md"
