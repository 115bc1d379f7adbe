#!/usr/bin/env bash
# bench/receivers.sh [REPEATS] [COUNT] [SIZE] [RATE]
#
# catchel, the hand-written floor of its loop, nc and socat under the same
# paced flood (bench/flood.sh), taking turns REPEATS times (default 5) so
# that a change in the machine's load falls on all alike; then the median of
# each figure per receiver.
# With CATCHEL_BASELINE=<path> another catchel build takes its turn too, as
# "base", to compare a change against. With CATCHEL_MODES="-x -t -json"
# catchel with each of those options takes a turn too, as catchel-x and so
# on, set against the default catchel of the same round. BENCH_RECEIVERS
# names the receivers to take turns instead (any of bench/flood.sh's);
# "quiet" (catchel -q -stats) is then set against "mmsg", the recvmmsg
# receiver that counts the same, and "gro", that one with UDP_GRO, round by
# round, in what they received and their CPU per datagram. flood.sh's
# FLOOD_SENDER and FLOOD_PROBES pass through.
set -euo pipefail
source "$(dirname "$0")/common.sh"
bench_private_netns "$0" "$@"

repeats=${1:-5}
shift || true
bench_build
export NETLAYER_BENCH_NO_BUILD=1

lines=$(mktemp /tmp/receivers.XXXXXX)
trap 'rm -f "$lines"' EXIT
read -r -a receivers <<<"${BENCH_RECEIVERS:-catchel floor nc socat}"
[ -n "${CATCHEL_BASELINE:-}" ] && receivers+=(base)
read -r -a modes <<<"${CATCHEL_MODES:-}"
for mode in "${modes[@]}"; do receivers+=("catchel$mode"); done
load_note
for round in $(seq "$repeats"); do
  for receiver in "${receivers[@]}"; do
    case $receiver in
      base) CATCHEL=$CATCHEL_BASELINE FLOOD_LABEL=base "$(dirname "$0")/flood.sh" catchel "$@" | tee -a "$lines" ;;
      catchel-*)
        CATCHEL_ARGS=${receiver#catchel} FLOOD_LABEL=$receiver "$(dirname "$0")/flood.sh" catchel "$@" |
          tee -a "$lines"
        ;;
      *) "$(dirname "$0")/flood.sh" "$receiver" "$@" | tee -a "$lines" ;;
    esac
  done
done
# field RECEIVER NAME: the median of the figure after NAME in that receiver's lines.
field() {
  grep "^$1 " "$lines" | awk -v name="$2" '{ for (i = 1; i < NF; i++) if ($i == name) print $(i + 1) }' | tr -d '%us' | median
}
echo "medians of $repeats runs; $(load_note)"
for receiver in "${receivers[@]}"; do
  printf '%-7s received %s loss %s%% kernel_drops %s socket_drops %s program_loss %s cpu %ss cpu_per_datagram %sus others_cpu %ss\n' \
    "$receiver" "$(field $receiver received)" "$(field $receiver loss)" "$(field $receiver kernel_drops)" \
    "$(field $receiver socket_drops)" \
    "$(field $receiver program_loss)" "$(field $receiver cpu)" "$(field $receiver cpu_per_datagram)" \
    "$(field $receiver others_cpu)"
done
# The cost of the same flood swings from one run to the next with the state
# of the machine, whichever program receives it. So each catchel run is set
# against the floor's and nc's runs in the same round, and the median of
# those ratios given.
per_round() {
  grep "^$1 " "$lines" | awk -v name="${3:-cpu_per_datagram}" '{ for (i = 1; i < NF; i++) if ($i == name) print $(i + 1) }' |
    tr -d 'us'
}
# ratio RECEIVER REFERENCE [FIGURE]: the median over the rounds of RECEIVER's figure over REFERENCE's.
ratio() {
  local figure=${3:-cpu_per_datagram} each
  each=$(paste <(per_round "$1" "" "$figure") <(per_round "$2" "" "$figure") |
    awk '{ printf "%.3f\n", ($2 > 0 ? $1 / $2 : 0) }')
  printf '%-7s %s / %s in the same round: %s (rounds: %s)\n' "$1" "$figure" "$2" "$(median <<<"$each")" \
    "$(tr '\n' ' ' <<<"$each")"
}
for receiver in catchel base; do
  [[ " ${receivers[*]} " == *" $receiver "* ]] || continue
  for reference in floor nc; do
    [[ " ${receivers[*]} " == *" $reference "* ]] && ratio "$receiver" "$reference"
  done
done
for reference in mmsg gro; do
  if [[ " ${receivers[*]} " == *" quiet "* && " ${receivers[*]} " == *" $reference "* ]]; then
    ratio quiet "$reference"
    ratio quiet "$reference" received
  fi
done
for mode in "${modes[@]}"; do ratio "catchel$mode" catchel; done
