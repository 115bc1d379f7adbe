#!/usr/bin/env bash
# bench/pitchel_pace.sh [ROUNDS] [REFERENCE_PITCHEL]
#
# What a paced pitchel costs and keeps, to 127.0.0.1 only, in a private
# network namespace, beside REFERENCE_PITCHEL (another build, e.g. main's)
# run the same way in the same round. For each, ROUNDS times (default 3):
# - the share of a core "pitchel -r RATE -n ..." takes (perf's task clock
#   over the wall time) at 100 and 1000 a second (5 s each), to
#   pace_receiver, whose 99th percentile of the gaps (kernel timestamps) at
#   1000 a second is printed too; and at 1000 a second with "-seq -reply",
#   its probes echoed by "catchel -q -echo";
# - the median round trip "-seq -r RATE -reply 1 -c N" reports against
#   "catchel -q -echo", at 10, 1000, 10000 and 100000 a second.
# Prints one line per figure and round, then the medians.
set -euo pipefail
source "$(dirname "$0")/common.sh"
bench_private_netns "$0" "$@"

rounds=${1:-3}
reference=${2:-}
pace_port=47410
echo_port=47411
bench_build
pitchels=("$bench_bin/pitchel/pitchel")
names=(this)
if [ -n "$reference" ]; then
  pitchels+=("$reference")
  names+=(reference)
fi

work=$(mktemp -d /tmp/pitchel_pace.XXXXXX)
"$bench_bin/catchel/catchel" -q -echo $echo_port &
echo_pid=$!
trap 'kill $echo_pid; rm -rf "$work"' EXIT
wait_port_bound $echo_port

# cpu_share COMMAND...: the percent of a core the command took, its output
# dropped: perf's task clock over the wall time, exact to the nanosecond
# where user and system times are counted in 10 ms ticks.
cpu_share() {
  perf stat -x, -e task-clock -o "$work/perf" "$@" >/dev/null || true
  awk -F, '$3 == "task-clock" { printf "%.2f\n", 100 * $6 }' "$work/perf"
}

# paced NAME RATE COUNT PITCHEL: the share of a core, and the p99 gap in µs.
paced() {
  "$bench_bin/bench/pace_receiver" $pace_port "$3" >"$work/pace" &
  local receiver=$!
  wait_port_bound $pace_port
  local share
  share=$(cpu_share "$(realpath "$4")" -r "$2" -n "$3" 127.0.0.1 $pace_port hello)
  wait $receiver || true
  local p99
  p99=$(sed -n 's/.* p99 \([0-9.]*\) .*/\1/p' "$work/pace")
  echo "$share" >>"$work/$1.cpu$2"
  echo "$p99" >>"$work/$1.p99_$2"
  echo "$1 -r $2: cpu% $share gap p99 ${p99}us"
}

# rtt NAME RATE COUNT PITCHEL: the p50 round trip in ms.
rtt() {
  local p50
  p50=$("$4" -seq -n "$3" -r "$2" -reply 1 -c "$3" 127.0.0.1 $echo_port hi |
    sed -n 's/.* p50\/p90\/p99 \([0-9.]*\)\/.*/\1/p')
  echo "$p50" >>"$work/$1.rtt$2"
  echo "$1 rtt p50 at $2/s: ${p50} ms"
}

load_note
for round in $(seq "$rounds"); do
  wait_for_quiet
  echo "round $round"
  for i in "${!pitchels[@]}"; do
    name=${names[$i]}
    p=${pitchels[$i]}
    paced "$name" 100 500 "$p"
    paced "$name" 1000 5000 "$p"
    share=$(cpu_share "$(realpath "$p")" -seq -r 1000 -n 5000 -reply 1 -c 5000 127.0.0.1 $echo_port hi)
    echo "$share" >>"$work/$name.cpu_reply"
    echo "$name -seq -reply -r 1000: cpu% $share"
    rtt "$name" 10 50 "$p"
    rtt "$name" 1000 2000 "$p"
    rtt "$name" 10000 20000 "$p"
    rtt "$name" 100000 100000 "$p"
  done
done
echo "$(load_note)"
for name in "${names[@]}"; do
  for figure in cpu100 cpu1000 cpu_reply p99_1000 rtt10 rtt1000 rtt10000 rtt100000; do
    printf '%-9s %-10s median %s\n' "$name" "$figure" "$(median <"$work/$name.$figure")"
  done
done
