#!/usr/bin/env bash
# bench/capture.sh [REPEATS] [COUNT] [RATE]
#
# catchel -q writing a capture (-pcap) against catchel -q without one, both
# with -stats to count what they took (bench/flood.sh's "quiet" receiver),
# under the same paced flood of 64-byte datagrams, taking turns REPEATS
# times (default 5): the loss of each, and the median over the rounds of
# -pcap's CPU per datagram over the other's in the same round.
# Then pitchel replaying a capture of REPLAY_COUNT packets (default 1000000)
# at -r RATE (default 100000) to a socat sink: its wall time against the
# (REPLAY_COUNT - 1) / RATE seconds the pacing asks for.
set -euo pipefail
source "$(dirname "$0")/common.sh"
bench_private_netns "$0" "$@"

repeats=${1:-5}
count=${2:-200000}
rate=${3:-100000}
replay_count=${REPLAY_COUNT:-1000000}
bench_build
export NETLAYER_BENCH_NO_BUILD=1

lines=$(mktemp /tmp/capture_lines.XXXXXX)
capture=$(mktemp /tmp/capture.XXXXXX)
trap 'rm -f "$lines" "$capture" "$capture.err"' EXIT
load_note

# With QUEUED_ROUNDS=<n>, instead of all below: "catchel -q -stats" without
# and with "-pcap", each stopped while pitchel queues a burst of
# QUEUED_COUNT (default 80000, less than its socket holds) datagrams of 64
# bytes and then let go, n times: the CPU time it takes to drain a burst,
# per datagram, and the median. The receiver's own cost at full speed,
# without the race against the sender that the full-speed figures hang on,
# and little moved by what others run.
if [ -n "${QUEUED_ROUNDS:-}" ]; then
  queued=${QUEUED_COUNT:-80000}
  on_cpu_ns() { awk '{ print $1 }' "/proc/$1/schedstat"; }
  for receiver in quiet pcap; do
    port=$((49700 + RANDOM % 100))
    options=(-q -stats)
    [ "$receiver" = pcap ] && options+=(-pcap "$capture")
    "${CATCHEL:-$bench_bin/catchel/catchel}" "${options[@]}" "$port" >"$lines" </dev/null &
    pid=$!
    wait_port_bound "$port"
    each=$(for _ in $(seq "$QUEUED_ROUNDS"); do
      kill -STOP "$pid"
      "$bench_bin/pitchel/pitchel" -n "$queued" -size 64 127.0.0.1 "$port" x >/dev/null
      before=$(on_cpu_ns "$pid")
      kill -CONT "$pid"
      sleep 0.5
      echo $((($(on_cpu_ns "$pid") - before) / queued))
    done)
    kill "$pid"
    wait "$pid" || true
    printf '%-7s queued %d x %s, %s; ns_per_datagram %s (rounds: %s)\n' "$receiver" "$queued" "$QUEUED_ROUNDS" \
      "$(grep -oE 'total datagrams [0-9]+|dropped [0-9]+' "$lines" | tr '\n' ' ')" "$(median <<<"$each")" \
      "$(tr '\n' ' ' <<<"$each")"
  done
  exit 0
fi

# With FULL_SPEED_ROUNDS=<n>, instead of all below: n rounds at pitchel's
# full speed of FULL_SPEED_COUNT (default 1000000) datagrams of 64 bytes:
# "catchel -q -stats -pcap", its records in the capture and how many of them
# "tcpdump -r" reads, with the buffer the system's cap grants and then with
# "-rcvbuf FORCED_RCVBUF -rcvbuf-force" (default 64 MiB, which Linux doubles);
# then "tcpdump -w" on lo (root, in the private namespace) beside the gro
# receiver, with its own buffer and then with "-B" as large as the forced
# one: the packets it wrote (on lo a run that the kernel never cut apart is
# one packet), the datagrams they hold, and the packets it says the kernel
# dropped.
if [ -n "${FULL_SPEED_ROUNDS:-}" ]; then
  full=${FULL_SPEED_COUNT:-1000000}
  forced=${FORCED_RCVBUF:-67108864}
  for round in $(seq "$FULL_SPEED_ROUNDS"); do
    for label in pcap forced; do
      options="-pcap $capture"
      [ "$label" = forced ] && options="-rcvbuf $forced -rcvbuf-force $options"
      FLOOD_SENDER=pitchel CATCHEL_ARGS="$options" FLOOD_LABEL=$label "$(dirname "$0")/flood.sh" quiet "$full" 64 0 |
        tee -a "$lines"
      echo "$label round $round records $((($(stat -c %s "$capture") - 24) / (16 + 28 + 64))) tcpdump_reads" \
        "$(tcpdump -r "$capture" -n 2>/dev/null | wc -l)"
    done
    for buffer in default $((2 * forced / 1024)); do
      port=$((49800 + RANDOM % 100))
      dump_options=()
      [ "$buffer" != default ] && dump_options=(-B "$buffer")
      tcpdump -i lo -n "${dump_options[@]}" -w "$capture" udp port "$port" 2>"$capture.err" &
      dump=$!
      sleep 1
      FLOOD_PORT=$port FLOOD_SENDER=pitchel FLOOD_LABEL=gro-td "$(dirname "$0")/flood.sh" gro "$full" 64 0
      sleep 0.5
      kill -INT "$dump"
      wait "$dump" || true
      echo "tcpdump round $round buffer_kib $buffer packets $(tcpdump -r "$capture" -n 2>/dev/null | wc -l)" \
        "datagrams_in_them $(tcpdump -r "$capture" -n 2>/dev/null | awk '{ n += $NF / 64 } END { print n + 0 }')" \
        "dropped_by_kernel $(awk '/dropped by kernel/ { print $1 }' "$capture.err")"
    done
  done
  exit 0
fi
for _ in $(seq "$repeats"); do
  "$(dirname "$0")/flood.sh" quiet "$count" 64 "$rate" | tee -a "$lines"
  CATCHEL_ARGS="-pcap $capture" FLOOD_LABEL=pcap "$(dirname "$0")/flood.sh" quiet "$count" 64 "$rate" |
    tee -a "$lines"
  # Each record: 16 bytes of record header, 20 of IPv4, 8 of UDP, the payload.
  echo "pcap    records in the capture: $((($(stat -c %s "$capture") - 24) / (16 + 28 + 64)))" | tee -a "$lines"
done
figure() {
  grep "^$1 " "$lines" | awk -v name="$2" '{ for (i = 1; i < NF; i++) if ($i == name) print $(i + 1) }' | tr -d '%us'
}
echo "medians of $repeats runs; $(load_note)"
for receiver in quiet pcap; do
  printf '%-7s loss %s%% cpu_per_datagram %sus\n' "$receiver" "$(figure $receiver loss | median)" \
    "$(figure $receiver cpu_per_datagram | median)"
done
ratios=$(paste <(figure pcap cpu_per_datagram) <(figure quiet cpu_per_datagram) | awk '{ printf "%.3f\n", $1 / $2 }')
printf 'pcap cpu_per_datagram / quiet in the same round: %s (rounds: %s)\n' "$(median <<<"$ratios")" \
  "$(tr '\n' ' ' <<<"$ratios")"

# A classic pcap of RAW IPv4 packets, 64-byte payloads 10 µs apart, laid out here.
python3 - "$capture" "$replay_count" <<'PY'
import struct, sys
path, n = sys.argv[1], int(sys.argv[2])
payload = bytes(64)
packet = struct.pack('!BBHHHBBH4s4sHHHH', 0x45, 0, 92, 0, 0, 64, 17, 0, bytes([127, 0, 0, 1]), bytes([127, 0, 0, 1]),
                     40000, 9, 72, 0) + payload
with open(path, 'wb') as f:
    f.write(struct.pack('=IHHiIII', 0xa1b2c3d4, 2, 4, 0, 0, 65535, 101))
    for i in range(n):
        t = 1700000000000000 + 10 * i
        f.write(struct.pack('=IIII', t // 1000000, t % 1000000, len(packet), len(packet)) + packet)
PY
port=$((49300 + RANDOM % 500))
socat -u "UDP-RECV:$port" - >/dev/null &
sink=$!
wait_port_bound "$port"
wait_for_quiet
start=$(date +%s.%N)
"$bench_bin/pitchel/pitchel" -v -r "$rate" -pcap "$capture" 127.0.0.1 "$port"
end=$(date +%s.%N)
kill "$sink"
awk -v s="$start" -v e="$end" -v n="$replay_count" -v r="$rate" 'BEGIN {
  intended = (n - 1) / r
  printf "replay of %d packets at -r %d: %.3fs, intended %.3fs, off by %+.2f%%\n", n, r, e - s, intended,
    100 * (e - s - intended) / intended
}'
