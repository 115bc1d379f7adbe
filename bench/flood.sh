#!/usr/bin/env bash
# bench/flood.sh RECEIVER [COUNT] [SIZE] [RATE]
#
# One receiver under a paced flood from udp_flood to 127.0.0.1: RECEIVER is
# catchel, floor (bench/floor_receiver.cpp, the least catchel's loop can do),
# quiet ("catchel -q -stats", the load-test receiver), mmsg
# (bench/mmsg_receiver.cpp, the same counting by hand with recvmmsg of
# MMSG_BATCH, default 64), gro (the same with UDP_GRO, its coalesced reads
# split by hand), nc
# (netcat-openbsd, "nc -u -l") or socat ("socat -u UDP-RECV:PORT -"),
# writing to a file; or iperf3 ("iperf3 -s", driven by its own client,
# "iperf3 -u -l SIZE" at the same rate and count, which tells the loss). Defaults: 200000 datagrams of 64 bytes at 100000 a second.
# Prints one line: what was sent and received, the loss, the part of it the
# kernel counted as receive-buffer drops (the rest is the program's), and
# the receiver's CPU time, and the CPU time that neither the receiver nor
# the sender used meanwhile: what others ran on the machine during the
# flood, the measure of how much to trust the line. CATCHEL names another
# catchel to run, for comparing builds, CATCHEL_ARGS its options (an output
# form: -x, -t, -json), and FLOOD_LABEL what to call it; FLOOD_BURST=<n>
# sends the same rate as bursts of n datagrams. BENCH_FAMILY=6 floods ::1
# instead, with catchel as "catchel -6" and each receiver on IPv6.
# FLOOD_PROBES=1 begins each datagram with a probe header (udp_flood -probe 1).
# FLOOD_SCRAPE=<port> fetches http://127.0.0.1:<port>/metrics once a second
# during the flood, as Prometheus would (CATCHEL_ARGS="-metrics 127.0.0.1:<port>").
# FLOOD_SENDER=pitchel sends with "pitchel -n COUNT -size SIZE" (with
# FLOOD_PROBES=1, -seq) instead, at its full speed, whatever RATE says: runs
# of segments the kernel cuts apart, or hands over whole to a receiver that
# coalesces; FLOOD_SENDER=sendto with bench/hand_sender.cpp, one datagram a
# sendto at its full speed. The receivers that count with -stats or by hand
# also tell the drops their socket counted (socket_drops): with coalesced
# reads the kernel counts a run dropped whole as one, as it does in
# kernel_drops.
set -euo pipefail
source "$(dirname "$0")/common.sh"
bench_private_netns "$0" "$@"

receiver=${1:?receiver: catchel, floor, quiet, mmsg, gro, nc, socat or iperf3}
count=${2:-200000}
size=${3:-64}
rate=${4:-100000}
burst=${FLOOD_BURST:-1}
# A port of its own per run, so that no run waits on the last one's socket.
port=${FLOOD_PORT:-$((47200 + RANDOM % 2000))}
bench_build
family=${BENCH_FAMILY:-4}
six=""
[ "$family" = 6 ] && six=-6

wait_for_quiet
out=$(mktemp /tmp/flood.XXXXXX)
trap 'rm -f "$out"' EXIT
case $receiver in
  # shellcheck disable=SC2086 # the options are words of their own
  catchel) "${CATCHEL:-$bench_bin/catchel/catchel}" ${CATCHEL_ARGS:-} $six "$port" >"$out" </dev/null & ;;
  # shellcheck disable=SC2086 # the options are words of their own
  quiet) "${CATCHEL:-$bench_bin/catchel/catchel}" -q -stats ${CATCHEL_ARGS:-} $six "$port" >"$out" </dev/null & ;;
  floor) "$bench_bin/bench/floor_receiver" "$port" "$family" >"$out" </dev/null & ;;
  mmsg) "$bench_bin/bench/mmsg_receiver" "$port" "${MMSG_BATCH:-64}" >"$out" </dev/null & ;;
  gro) "$bench_bin/bench/mmsg_receiver" "$port" 64 gro >"$out" </dev/null & ;;
  iperf3) iperf3 -s -p "$port" >"$out" </dev/null & ;;
  nc) nc $six -u -l "$port" >"$out" </dev/null & ;;
  socat) socat -u "UDP$([ "$family" = 6 ] && echo 6)-RECV:$port" - >"$out" </dev/null & ;;
  *) echo "unknown receiver $receiver" >&2; exit 2 ;;
esac
pid=$!
if [ "$receiver" = iperf3 ]; then
  sleep 0.5  # its UDP socket comes with the client's test; the control port is TCP
else
  wait_port_bound "$port"
fi
kill -0 "$pid" 2>/dev/null || { echo "$receiver did not start on port $port" >&2; exit 1; }

scraper=""
if [ -n "${FLOOD_SCRAPE:-}" ]; then
  (while sleep 1; do curl -s -o /dev/null "http://127.0.0.1:$FLOOD_SCRAPE/metrics"; done) &
  scraper=$!
fi
rcvbuf_before=$(udp_counter RcvbufErrors)
inerr_before=$(udp_counter InErrors)
busy_before=$(busy_seconds)
seconds_limit=$((count / (rate > 0 ? rate : count) * 3 + 10))
# timed_send COMMAND...: a sender of COUNT datagrams at its full speed, told
# as udp_flood tells itself: its wall time and its CPU time.
# A sender that fails is told as failed 1, its count still taken as sent.
timed_send() {
  local took failed=0
  took=$({ TIMEFORMAT='%R %U %S'; time "$@" >/dev/null 2>&1; } 2>&1) || failed=1
  took=$(tail -n 1 <<<"$took")
  awk -v c="$count" -v t="$took" -v f="$failed" 'BEGIN { split(t, w, " ");
    printf "sender 0 port 0 sent %d failed %d seconds %s cpu %.2f\n", c, f, w[1], w[2] + w[3] }'
}
probe_option=""
[ "${FLOOD_PROBES:-0}" = 1 ] && probe_option=-seq
loopback=127.0.0.1
[ "$family" = 6 ] && loopback=::1
if [ "${FLOOD_SENDER:-}" = pitchel ]; then
  # shellcheck disable=SC2086 # no option is an empty word
  sent_line=$(timed_send "$bench_bin/pitchel/pitchel" -n "$count" -size "$size" $probe_option "$loopback" "$port" x)
elif [ "${FLOOD_SENDER:-}" = sendto ]; then
  sent_line=$(timed_send "$bench_bin/bench/hand_sender" "$port" "$count" "$family" "$size")
elif [ "$receiver" = iperf3 ]; then
  # Its client paces itself; its sender CPU time is not told, so it counts as others'.
  client=$(iperf3 -c 127.0.0.1 -p "$port" -u -l "$size" -b $((rate * size * 8)) -n $((count * size)) -J)
  read -r sent iperf_lost seconds < <(jq -r '.end.sum | "\(.packets) \(.lost_packets) \(.seconds)"' <<<"$client")
  sent_line="sender 0 port 0 sent $sent failed 0 seconds $seconds cpu 0"
else
  sent_line=$("$bench_bin/bench/udp_flood" -port "$port" -count "$count" -size "$size" -rate "$rate" -burst "$burst" \
    -seconds "$seconds_limit" -family "$family" -probe "${FLOOD_PROBES:-0}")
fi
wait_quiet "$out"
[ -n "$scraper" ] && kill "$scraper"
read -r cpu_user cpu_sys cpu_total < <(cpu_of "$pid")
busy=$(awk -v a="$(busy_seconds)" -v b="$busy_before" 'BEGIN { print a - b }')
kill "$pid" 2>/dev/null || echo "$receiver ended before the flood did" >&2
wait "$pid" 2>/dev/null || true
rcvbuf=$(($(udp_counter RcvbufErrors) - rcvbuf_before))
inerr=$(($(udp_counter InErrors) - inerr_before))

read -r _ _ _ _ _ sent _ _ _ seconds _ sender_cpu <<<"$sent_line"
if [ "$receiver" = iperf3 ]; then
  received=$((sent - iperf_lost))
elif [ "$receiver" = quiet ] || [ "$receiver" = mmsg ] || [ "$receiver" = gro ]; then
  received=$(sed -nE 's/^total datagrams ([0-9]+) .*/\1/p; s/^\{"total":\{"datagrams":([0-9]+),.*/\1/p' "$out")
  received=${received:-0}
  socket_drops=$(sed -nE 's/^total datagrams .* dropped ([0-9]+).*/\1/p' "$out")
elif [ "$receiver" = catchel ] || [ "$receiver" = floor ]; then
  # The number of the last record, after its time with -t, or of the last
  # JSON line; the count of records says the same when none is missing from the file.
  received=$(sed -nE 's/^([0-9TZ:.-]+ )?udp ([0-9]+) from .*/\2/p; s/^\{"n":([0-9]+),.*/\1/p' "$out" | tail -n 1)
  received=${received:-0}
else
  received=$(($(stat -c %s "$out") / size))
fi
lost=$((sent - received))
awk -v r="${FLOOD_LABEL:-$receiver}" -v sd="${socket_drops:--}" -v s="$sent" -v got="$received" -v lost="$lost" -v k="$rcvbuf" -v ie="$inerr" \
  -v u="$cpu_user" -v sy="$cpu_sys" -v c="$cpu_total" -v secs="$seconds" -v rate="$rate" -v burst="$burst" -v size="$size" \
  -v busy="$busy" -v sc="$sender_cpu" 'BEGIN {
  printf "%-7s rate %d burst %d size %d sent %d in %.2fs received %d loss %.4f%% kernel_drops %d (InErrors %d) socket_drops %s program_loss %d cpu_user %.2f cpu_sys %.2f cpu %.3fs cpu_per_datagram %.2fus sender_cpu %.2fs others_cpu %.2fs\n",
    r, rate, burst, size, s, secs, got, 100 * lost / s, k, ie, sd, lost - k, u, sy, c, got ? 1e6 * c / got : 0, sc, busy - c - sc
}'
