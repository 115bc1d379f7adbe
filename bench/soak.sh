#!/usr/bin/env bash
# bench/soak.sh [SECONDS] [SENDERS] [RATE] [SEED]
#
# catchel built with AddressSanitizer (the sanitize preset) under datagrams
# from SENDERS concurrent udp_flood senders (default 4) for SECONDS (default
# 60), RATE datagrams a second each (default 300), of random sizes from 0 to
# 65507 bytes and random bytes, zero bytes included. Every step is bounded:
# the senders stop after SECONDS, the wait for catchel to finish printing
# after 60 s more.
#
# Passes when catchel is still running at the end and wrote nothing to
# standard error; every record matches a datagram its source sent, in order,
# with the same size and text (soak_check); the datagrams never printed are
# exactly those the kernel counted as dropped (Udp InErrors), so catchel lost
# none it was handed; and its resident memory grew by at most 512 KiB from
# the first sample after warm-up (5 s) to the end.
set -euo pipefail
source "$(dirname "$0")/common.sh"
bench_private_netns "$0" "$@"

seconds=${1:-60}
senders=${2:-4}
rate=${3:-300}
seed=${4:-$RANDOM}
port=${SOAK_PORT:-47400}
rss_allowance_kib=512
warm_up_s=5

bench_build
if [ -z "${NETLAYER_BENCH_NO_BUILD:-}" ]; then
  (cd "$bench_root" && cmake --preset sanitize >/dev/null && cmake --build --preset sanitize -j2 --target catchel >/dev/null)
fi
catchel=$bench_root/build/sanitize/catchel/catchel

work=$(mktemp -d /tmp/soak.XXXXXX)
catcher=
cleanup() {
  [ -n "$catcher" ] && kill "$catcher" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

any_alive() {
  for pid in "$@"; do kill -0 "$pid" 2>/dev/null && return 0; done
  return 1
}

load_note
echo "soak: $senders senders x $rate/s for ${seconds}s, seed $seed, catchel with AddressSanitizer"
ASAN_OPTIONS=abort_on_error=1 "$catchel" "$port" >"$work/out" 2>"$work/err" </dev/null &
catcher=$!
wait_port_bound "$port"
inerr_before=$(udp_counter InErrors)
rcvbuf_before=$(udp_counter RcvbufErrors)

flooders=()
for id in $(seq 0 $((senders - 1))); do
  "$bench_bin/bench/udp_flood" -port "$port" -soak "$seed" -sender "$id" -rate "$rate" \
    -count $((rate * seconds)) -seconds "$seconds" >"$work/sender.$id" &
  flooders+=($!)
done

# Resident memory every second while the senders run.
started=$SECONDS
rss_series=()
while any_alive "${flooders[@]}"; do
  kill -0 "$catcher" 2>/dev/null || break
  rss_series+=("$((SECONDS - started)):$(rss_kib "$catcher")")
  sleep 1
done
for pid in "${flooders[@]}"; do wait "$pid"; done
wait_quiet "$work/out"

alive=no
if kill -0 "$catcher" 2>/dev/null; then
  alive=yes
  rss_series+=("end:$(rss_kib "$catcher")")
  read -r cpu_user cpu_sys _ < <(cpu_of "$catcher")
  kill "$catcher"
  wait "$catcher" 2>/dev/null || true
fi
catcher=
inerr=$(($(udp_counter InErrors) - inerr_before))
rcvbuf=$(($(udp_counter RcvbufErrors) - rcvbuf_before))

cat "$work"/sender.* >"$work/senders"
cat "$work/senders"
check_status=0
"$bench_bin/bench/soak_check" "$seed" "$work/out" "$work/senders" >"$work/check" || check_status=$?
cat "$work/check"
missing=$(awk '$1 == "records" { print $6 }' "$work/check")

# The first sample at or after the warm-up, and the last one.
rss_first=
for sample in "${rss_series[@]}"; do
  at=${sample%%:*}
  if [ "$at" != end ] && [ "$at" -ge $warm_up_s ] && [ -z "$rss_first" ]; then rss_first=${sample#*:}; fi
done
rss_last=${rss_series[-1]#*:}
rss_first=${rss_first:-$rss_last}
echo "rss KiB (s:KiB): ${rss_series[*]}"
echo "catchel alive at the end: $alive; standard error: $(wc -c <"$work/err") bytes; cpu user ${cpu_user:-?}s system ${cpu_sys:-?}s"
echo "output: $(wc -c <"$work/out") bytes; missing ${missing:-?}; kernel drops: InErrors $inerr, RcvbufErrors $rcvbuf"
echo "rss: ${rss_first} KiB after ${warm_up_s}s, ${rss_last} KiB at the end"
head -c 2000 "$work/err"

verdict=pass
[ "$alive" = yes ] || { echo "FAIL: catchel did not survive"; verdict=fail; }
[ -s "$work/err" ] && { echo "FAIL: catchel wrote to standard error"; verdict=fail; }
[ "$check_status" = 0 ] || { echo "FAIL: records do not match what was sent"; verdict=fail; }
[ "${missing:-x}" = "$inerr" ] || { echo "FAIL: $missing datagrams missing but the kernel dropped $inerr"; verdict=fail; }
[ $((rss_last - rss_first)) -le $rss_allowance_kib ] || { echo "FAIL: resident memory grew by $((rss_last - rss_first)) KiB"; verdict=fail; }
echo "soak: $verdict; $(load_note)"
[ "$verdict" = pass ]
