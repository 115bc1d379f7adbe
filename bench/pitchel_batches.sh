#!/usr/bin/env bash
# bench/pitchel_batches.sh [ROUNDS] [COUNT]
#
# pitchel's batches and pace, to 127.0.0.1 only, in a private network
# namespace, each round side by side with the hand-written senders:
# - unpaced, COUNT (default 2000000) datagrams of 64 B to a socket that never
#   reads: batch_sender (segmenting sendmmsg), pitchel -n, pitchel -seq -n and
#   pitchel_single (one datagram a call, as on Windows and old kernels),
#   datagrams a second from each one's start to its exit; then iperf3 -u -b 0
#   -l 64 for 3 s, its own count of datagrams sent over its own seconds;
# - pitchel -n 1000000 -r 500000, the rate reached from start to exit;
# - the gaps between arrivals at pace_receiver (kernel timestamps) for
#   pitchel and paced_sender at 1000/s (2000 datagrams) and 100000/s (200000).
set -euo pipefail
source "$(dirname "$0")/common.sh"
bench_private_netns "$0" "$@"

rounds=${1:-5}
count=${2:-2000000}
sink_port=47410
iperf_port=47411
pace_port=47412
bench_build
work=$(mktemp -d /tmp/pitchel_batches.XXXXXX)
python3 -c 'import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", int(sys.argv[1])))
time.sleep(3600)' "$sink_port" &
sink=$!
iperf3 -s -p "$iperf_port" -B 127.0.0.1 >/dev/null 2>&1 &
iperf=$!
trap 'kill $sink $iperf; rm -rf "$work"' EXIT
wait_port_bound "$sink_port"
sleep 0.5

pitchel=$bench_bin/pitchel/pitchel
# rate NAME COMMAND...: datagrams a second from start to exit, into $work/NAME.
rate() {
  local name=$1 start end
  shift
  start=$(date +%s%N)
  "$@" >/dev/null
  end=$(date +%s%N)
  awk -v n="$count" -v ns=$((end - start)) 'BEGIN { printf "%.0f\n", n / (ns / 1e9) }' | tee -a "$work/$name"
}
# pace NAME COUNT COMMAND...: pace_receiver's line for the command's datagrams.
pace() {
  local name=$1 n=$2
  shift 2
  "$bench_bin/bench/pace_receiver" "$pace_port" "$n" >"$work/pace" &
  local receiver=$!
  wait_port_bound "$pace_port"
  "$@" >/dev/null
  wait $receiver || true
  sed -n 's/.* p99 \([0-9.]*\) .*/\1/p' "$work/pace" >>"$work/$name"
  echo "$name $(cat "$work/pace")"
}

load_note
for round in $(seq "$rounds"); do
  wait_for_quiet
  echo "round $round datagrams/s:" \
    "batch_sender $(rate batch_sender "$bench_bin/bench/batch_sender" $sink_port "$count" 64)" \
    "pitchel $(rate pitchel "$pitchel" -n "$count" -size 64 127.0.0.1 $sink_port x)" \
    "pitchel_seq $(rate pitchel_seq "$pitchel" -seq -n "$count" -size 64 127.0.0.1 $sink_port x)" \
    "pitchel_single $(rate pitchel_single "$bench_bin/bench/pitchel_single" -n "$count" -size 64 127.0.0.1 $sink_port x)" \
    "iperf3 $(iperf3 -c 127.0.0.1 -p $iperf_port -u -b 0 -l 64 -t 3 -J |
      jq '.end.sum.packets / .end.sum.seconds | round' | tee -a "$work/iperf3")"
  count_saved=$count
  count=1000000
  echo "round $round -r 500000 reached: $(rate paced_500000 "$pitchel" -n 1000000 -r 500000 127.0.0.1 $sink_port hello)"
  count=$count_saved
  pace pitchel_1000 2000 "$pitchel" -n 2000 -r 1000 127.0.0.1 $pace_port hello
  pace paced_sender_1000 2000 "$bench_bin/bench/paced_sender" $pace_port 2000 1000
  pace pitchel_100000 200000 "$pitchel" -n 200000 -r 100000 127.0.0.1 $pace_port hello
  pace paced_sender_100000 200000 "$bench_bin/bench/paced_sender" $pace_port 200000 100000
done
load_note
for name in batch_sender pitchel pitchel_seq pitchel_single iperf3 paced_500000; do
  printf '%-20s median datagrams/s %.0f\n' "$name" "$(median <"$work/$name")"
done
for name in pitchel_1000 paced_sender_1000 pitchel_100000 paced_sender_100000; do
  printf '%-20s median p99 gap us %.3f\n' "$name" "$(median <"$work/$name")"
done
