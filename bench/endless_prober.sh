#!/usr/bin/env bash
# bench/endless_prober.sh [SECONDS] [RATE]
#
# An endless prober and its reflector, to 127.0.0.1 only, in a private
# network namespace: "pitchel -seq -n 0 -r RATE -reply 1 -q -i 10" against
# "catchel -q -echo" for SECONDS (default 60) at RATE (default 10) a second,
# then ended by SIGTERM as an operator would end it. Prints each side's
# share of a core over the run, pitchel's resident set after 10 s and at
# the end (an endless run must hold the same memory all along), and its
# summary.
set -euo pipefail
source "$(dirname "$0")/common.sh"
bench_private_netns "$0" "$@"

seconds=${1:-60}
rate=${2:-10}
port=47420
bench_build
work=$(mktemp -d /tmp/endless_prober.XXXXXX)
"$bench_bin/catchel/catchel" -q -echo $port &
echo_pid=$!
trap 'kill $echo_pid 2>/dev/null; rm -rf "$work"' EXIT
wait_port_bound $port
load_note

"$bench_bin/pitchel/pitchel" -seq -n 0 -r "$rate" -reply 1 -q -i 10 127.0.0.1 $port probe >"$work/out" &
prober=$!
sleep 10
early_kib=$(rss_kib $prober)
sleep $((seconds - 10))
late_kib=$(rss_kib $prober)
# cpu_of's on-CPU seconds, exact where user and system times count 10 ms ticks.
prober_cpu=$(cpu_of $prober | awk '{ print $3 }')
echo_cpu=$(cpu_of $echo_pid | awk '{ print $3 }')
kill -TERM $prober
wait $prober || true
awk -v p="$prober_cpu" -v e="$echo_cpu" -v s="$seconds" -v r="$rate" \
  'BEGIN { printf "-r %s for %s s: pitchel %.3f%% of a core, catchel -echo %.3f%%\n", r, s, 100 * p / s, 100 * e / s }'
echo "pitchel resident set: ${early_kib} KiB after 10 s, ${late_kib} KiB after ${seconds} s"
grep -v '^interval' "$work/out"
