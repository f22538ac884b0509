#!/usr/bin/env bash
# Builds the bench preset (build/bench, Release) and measures the driver's own
# code on the host kernel: instruction counts of every case under callgrind,
# then timings with Google Benchmark, then the tables.
#
#   scripts/bench.sh            measure and write the tables into docs/performance.md
#   scripts/bench.sh --no-doc   measure, leave the document as it is
#
# The block list is the shipped one, made by elamctl from
# data/loldrivers-samples.csv. Everything the run leaves is in
# build/bench/results/: the configuration, callgrind profiles, timings.json
# and tables.md (the tables that go into the document).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

update_doc=1
[ "${1:-}" = "--no-doc" ] && update_doc=0

scripts/install-deps.sh
if ! command -v valgrind >/dev/null; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends valgrind
fi

cmake --preset bench >/dev/null
cmake --build --preset bench --parallel 2

build=build/bench
out=$build/results
rm -rf "$out"
mkdir -p "$out/callgrind"

# The shipped block list's configuration key, as the project makes it.
"$build/tool/elamctl" import loldrivers data/loldrivers-samples.csv -o "$out/loldrivers.toml" >"$out/import.txt"
"$build/tool/elamctl" config build "$out/loldrivers.toml" --service BootGuardElam -o "$out/config.reg" \
  >"$out/config.txt"

inputs=(--elam-config="$out/config.reg" --elam-fixtures="$build/tests/fixtures" --elam-demo="$build/demo")
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# 1. Instruction counts: one case per process, collection around its one run.
count_one() {
  local name=$1 scale=$2
  local stem="$out/callgrind/${name//\//_}-x$scale"
  valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$stem.out" \
    "$build/bench/elam_bench_count" "$name" "$scale" "${inputs[@]}" >"$stem.json" 2>"$stem.log"
  callgrind_annotate --inclusive=yes --threshold=100 "$stem.out" >"$stem.txt"
  callgrind_annotate --threshold=100 "$stem.out" >"$stem.self.txt"
  echo "counted $name ${scale}x: $(grep -E '^totals:' "$stem.out" | cut -d' ' -f2) instructions"
}
"$build/bench/elam_bench_count" --list >"$out/cases.txt"
while read -r name scale; do
  count_one "$name" "$scale"
done <"$out/cases.txt"

# 2. Timings, alone: the machine has two cores and other builds may run.
"$build/bench/elam_bench" "${inputs[@]}" \
  --benchmark_repetitions=9 --benchmark_min_time=0.2 \
  --benchmark_out="$out/timings.json" --benchmark_out_format=json \
  --benchmark_display_aggregates_only=true | tee "$out/timings.txt"
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# 3. The tables.
image=""
for candidate in build/host/winbuild/BootGuardElam.sys build/*/winbuild/BootGuardElam.sys; do
  if [ -f "$candidate" ]; then image="$root/$candidate"; break; fi
done
commit=$(git rev-parse --short HEAD)
git diff --quiet HEAD -- driver config image platform hostkernel bench || commit="$commit+changes"
python3 - "$out/run.json" <<EOF
import json, sys
cases = [line.split() for line in open("$out/cases.txt") if line.strip()]
json.dump({
    "root": "$root",
    "commit": "$commit",
    "date": "$(date -u +%Y-%m-%d)",
    "load_before": "$load_before",
    "load_after": "$load_after",
    "block_list": "$(head -1 "$out/config.txt" | sed 's/^[^:]*: //')",
    "image": "$image",
    "cases": [[name, int(scale)] for name, scale in cases],
}, open(sys.argv[1], "w"), indent=1)
EOF
doc_args=()
[ "$update_doc" = 1 ] && doc_args=(--doc docs/performance.md)
python3 bench/report.py "$out" "${doc_args[@]}"
echo "tables: $out/tables.md"
