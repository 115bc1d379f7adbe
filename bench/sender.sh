#!/usr/bin/env bash
# bench/sender.sh [RUNS] [ROUNDS]
#
# Start-to-exit time of one datagram sent three ways to a catchel listening
# on 127.0.0.1: "pitchel 127.0.0.1 PORT hello", "nc -u -w0 127.0.0.1 PORT"
# and socat, both of these given the same six bytes ("hello" and its zero
# byte) from a file. hyperfine times RUNS runs of each (default 300) after a
# warm-up, ROUNDS times over (default 3); each round prints the medians and
# the last line gives the median of the rounds' medians. nc needs a shell
# for its input, so every command runs through one and hyperfine subtracts
# the shell's own start-up; a second set without a shell times pitchel and
# socat alone.
set -euo pipefail
source "$(dirname "$0")/common.sh"
bench_private_netns "$0" "$@"

runs=${1:-300}
rounds=${2:-3}
port=${SENDER_PORT:-47300}
bench_build

work=$(mktemp -d /tmp/sender.XXXXXX)
"$bench_bin/catchel/catchel" "$port" >/dev/null &
catcher=$!
trap 'kill $catcher; rm -rf "$work"' EXIT
wait_port_bound "$port"
printf 'hello\0' >"$work/hello"

pitchel="$bench_bin/pitchel/pitchel 127.0.0.1 $port hello"
nc="nc -u -w0 127.0.0.1 $port < $work/hello"
socat="socat -u OPEN:$work/hello UDP-SENDTO:127.0.0.1:$port"

# medians_ms JSON: "name median" per command, in milliseconds.
medians_ms() {
  jq -r '.results[] | "\(.command) \(.median * 1e6 | round / 1e3)"' "$1"
}

load_note
for round in $(seq "$rounds"); do
  wait_for_quiet
  hyperfine --style none --warmup 30 --runs "$runs" --export-json "$work/shell.$round.json" \
    -n pitchel "$pitchel" -n nc "$nc" -n socat "$socat" >/dev/null
  hyperfine --style none -N --warmup 30 --runs "$runs" --export-json "$work/direct.$round.json" \
    -n pitchel-direct "$pitchel" -n socat-direct "$socat" >/dev/null
  echo "round $round (ms): $(medians_ms "$work/shell.$round.json" | tr '\n' ' ')$(medians_ms "$work/direct.$round.json" | tr '\n' ' ')"
done
echo "median of the rounds' medians (ms); $(load_note)"
for name in pitchel nc socat pitchel-direct socat-direct; do
  printf '%-15s %.3f\n' "$name" "$(cat "$work"/*.json | jq -r --arg n "$name" '.results[] | select(.command == $n) | .median * 1000' | median)"
done
