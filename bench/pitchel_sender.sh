#!/usr/bin/env bash
# bench/pitchel_sender.sh [ROUNDS] [COUNT] [RATE]
#
# pitchel as a test sender, to 127.0.0.1 only, in a private network namespace.
# Speed: "pitchel -n COUNT" (default 200000) against hand_sender, which makes
# the same two calls per datagram, timed by hyperfine side by side in each of
# ROUNDS rounds (default 5), to a socket that never reads. Pace: "pitchel -r
# RATE -n COUNT" (default 100000 a second) to pace_receiver, once a round:
# pitchel's own start-to-exit time and the spread of the gaps between the
# kernel's arrival times. BENCH_FAMILY=6 sends to ::1 instead.
set -euo pipefail
source "$(dirname "$0")/common.sh"
bench_private_netns "$0" "$@"

rounds=${1:-5}
count=${2:-200000}
rate=${3:-100000}
sink_port=47400
pace_port=47401
bench_build
family=${BENCH_FAMILY:-4}
loopback=127.0.0.1
[ "$family" = 6 ] && loopback=::1

work=$(mktemp -d /tmp/pitchel_sender.XXXXXX)
python3 -c 'import socket, sys, time
s = socket.socket(socket.AF_INET6 if ":" in sys.argv[2] else socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[2], int(sys.argv[1])))
time.sleep(3600)' "$sink_port" "$loopback" &
sink=$!
trap 'kill $sink; rm -rf "$work"' EXIT
wait_port_bound "$sink_port"

pitchel=$bench_bin/pitchel/pitchel
load_note
for round in $(seq "$rounds"); do
  wait_for_quiet
  hyperfine --style none -N --warmup 1 --runs 5 --export-json "$work/speed.$round.json" \
    -n pitchel "$pitchel -n $count $loopback $sink_port hello" \
    -n hand_sender "$bench_bin/bench/hand_sender $sink_port $count $family" >/dev/null
  jq -r --argjson n "$count" '.results[] | "\(.command) \($n / .median | round)"' "$work/speed.$round.json" |
    tr '\n' ' ' | sed "s/^/round $round datagrams\/s: /"
  echo

  "$bench_bin/bench/pace_receiver" "$pace_port" "$count" >"$work/pace.$round" &
  receiver=$!
  wait_port_bound "$pace_port"
  start=$(date +%s%N)
  "$pitchel" -r "$rate" -n "$count" "$loopback" "$pace_port" hello
  end=$(date +%s%N)
  wait $receiver || true
  echo "round $round paced: pitchel_s $(awk -v ns=$((end - start)) 'BEGIN { printf "%.4f", ns / 1e9 }') $(cat "$work/pace.$round")"
done
echo "$(load_note)"
for name in pitchel hand_sender; do
  printf '%-12s median datagrams/s %.0f\n' "$name" \
    "$(cat "$work"/speed.*.json | jq -r --arg n "$name" --argjson c "$count" '.results[] | select(.command == $n) | $c / .median' | median)"
done
