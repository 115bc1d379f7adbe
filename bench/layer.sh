#!/usr/bin/env bash
# bench/layer.sh [REPETITIONS] [extra layer_bench options...]
#
# Runs layer_bench REPETITIONS times over (default 20), the repetitions of
# all benchmarks shuffled together so that a change in the machine's load
# falls on every variant alike, and prints each one's median time per round
# trip with the ratios of the layer to the hand-written calls and to the
# bare calls. CPU time is the figure to read on a busy machine: a round trip
# never sleeps, so its CPU time leaves out the time others held the core.
set -euo pipefail
source "$(dirname "$0")/common.sh"

repetitions=${1:-20}
shift || true
bench_build
json=$(mktemp /tmp/layer_bench.XXXXXX)
trap 'rm -f "$json"' EXIT

wait_for_quiet
load_note
"$bench_bin/bench/layer_bench" --benchmark_repetitions="$repetitions" --benchmark_enable_random_interleaving=true \
  --benchmark_min_time=0.1 --benchmark_report_aggregates_only=true --benchmark_format=json "$@" >"$json"
jq -r '
  [.benchmarks[] | select(.aggregate_name == "median" or .aggregate_name == "cv")] as $rows
  | ($rows | map(select(.aggregate_name == "median")) | map({key: .run_name, value: .}) | from_entries) as $m
  | ($rows | map(select(.aggregate_name == "cv")) | map({key: .run_name, value: .}) | from_entries) as $cv
  | $m | keys[] | select(startswith("layer_round_trip/")) | ltrimstr("layer_round_trip/") as $size
  | $m["layer_round_trip/" + $size] as $l | $m["hand_written_round_trip/" + $size] as $h | $m["bare_round_trip/" + $size] as $b
  | "size \($size): cpu ns layer \($l.cpu_time | round) hand \($h.cpu_time | round) bare \($b.cpu_time | round)"
    + " | layer/hand \($l.cpu_time / $h.cpu_time * 1000 | round / 1000) layer/bare \($l.cpu_time / $b.cpu_time * 1000 | round / 1000)"
    + " | real ns layer \($l.real_time | round) hand \($h.real_time | round) bare \($b.real_time | round)"
    + " layer/hand \($l.real_time / $h.real_time * 1000 | round / 1000)"
    + " | cv% layer \($cv["layer_round_trip/" + $size].cpu_time * 1000 | round / 10) hand \($cv["hand_written_round_trip/" + $size].cpu_time * 1000 | round / 10)"
' "$json"
load_note
