#!/usr/bin/env bash
# bench/rate_sweep.sh [REPEATS] [RATES...]
#
# catchel under the paced flood of bench/flood.sh at rising rates, 2 seconds
# of 64-byte datagrams at each, REPEATS times (default 3); prints the median
# loss per rate and the highest rate up to which every median loss stayed
# below 0.1%.
# The rate the sender reached is printed too: past some rate udp_flood
# itself cannot keep the pace, and the figure is then the sender's.
set -euo pipefail
source "$(dirname "$0")/common.sh"
bench_private_netns "$0" "$@"

repeats=${1:-3}
shift || true
rates=("$@")
[ ${#rates[@]} -gt 0 ] || rates=(100000 150000 200000 250000 300000 350000 400000)
bench_build
export NETLAYER_BENCH_NO_BUILD=1

lines=$(mktemp /tmp/sweep.XXXXXX)
trap 'rm -f "$lines"' EXIT
load_note
best=none
failed=no
for rate in "${rates[@]}"; do
  : >"$lines"
  for _ in $(seq "$repeats"); do
    "$(dirname "$0")/flood.sh" catchel $((rate * 2)) 64 "$rate" >>"$lines"
  done
  loss=$(awk '{ for (i = 1; i < NF; i++) if ($i == "loss") print $(i + 1) }' "$lines" | tr -d '%' | median)
  reached=$(awk '{ for (i = 1; i < NF; i++) if ($i == "in") { s = $(i + 1); sub(/s$/, "", s); print $(i - 1) / s } }' "$lines" | median)
  cpu=$(awk '{ for (i = 1; i < NF; i++) if ($i == "cpu_per_datagram") print $(i + 1) }' "$lines" | tr -d 'us' | median)
  others=$(awk '{ for (i = 1; i < NF; i++) if ($i == "others_cpu") print $(i + 1) }' "$lines" | tr -d 's' | median)
  printf 'rate %7d sent at %7.0f/s median loss %.4f%% cpu_per_datagram %sus others_cpu %ss (losses: %s)\n' "$rate" \
    "$reached" "$loss" "$cpu" "$others" "$(awk '{ for (i = 1; i < NF; i++) if ($i == "loss") printf "%s ", $(i + 1) }' "$lines")"
  if awk -v l="$loss" 'BEGIN { exit !(l < 0.1) }'; then
    [ $failed = no ] && best=$rate
  else
    failed=yes
  fi
done
echo "highest rate up to which the median loss stayed below 0.1%: $best; $(load_note)"
