#!/usr/bin/env bash
# bench/metrics.sh [rounds] [count] [prober_seconds]
#
# What -metrics costs. 1) "catchel -q -stats" under a paced flood of probes
# (flood.sh quiet, FLOOD_PROBES=1, 100000 a second), without -metrics and
# with it and one scrape a second, rounds interleaved: CPU per datagram.
# 2) A scrape of a page of 256 streams (256 runs of "pitchel -seq -n 3"),
# timed by curl 50 times: median and largest. 3) An endless prober at 10 a
# second ("pitchel -seq -r 10 -reply 1 -q -metrics") against "catchel -echo
# -metrics -q", each scraped once a second, for prober_seconds (default 60):
# the CPU share of each and their resident sets, sampled every 10 s. Prints
# the load average with each part. Needs curl; all traffic is on 127.0.0.1.
set -euo pipefail
source "$(dirname "$0")/common.sh"
bench_private_netns "$0" "$@"
rounds=${1:-3}
count=${2:-1000000}
prober_seconds=${3:-60}
bench_build
export NETLAYER_BENCH_NO_BUILD=1 FLOOD_PROBES=1

echo "== catchel -q -stats at 100000/s, $count probes; load $(cut -d' ' -f1-3 /proc/loadavg)"
for round in $(seq "$rounds"); do
  FLOOD_LABEL=plain "$(dirname "$0")/flood.sh" quiet "$count" 64 100000
  http=$((45000 + RANDOM % 2000))
  FLOOD_LABEL=metrics CATCHEL_ARGS="-metrics 127.0.0.1:$http" FLOOD_SCRAPE=$http \
    "$(dirname "$0")/flood.sh" quiet "$count" 64 100000
  echo "   (round $round, load $(cut -d' ' -f1-3 /proc/loadavg))"
done

port=$((43000 + RANDOM % 1000))
http=$((44000 + RANDOM % 1000))
"$bench_bin/catchel/catchel" -q -metrics "127.0.0.1:$http" "$port" >/dev/null </dev/null &
catchel=$!
wait_port_bound "$port"
for _ in $(seq 256); do "$bench_bin/pitchel/pitchel" -seq -n 3 127.0.0.1 "$port" x >/dev/null; done
streams=$(curl -s "http://127.0.0.1:$http/metrics" | grep -c '^catchel_probes_received_total{')
echo "== a scrape of $streams sources of probes; load $(cut -d' ' -f1-3 /proc/loadavg)"
for _ in $(seq 50); do curl -s -o /dev/null -w '%{time_total}\n' "http://127.0.0.1:$http/metrics"; done |
  sort -n | awk '{ t[NR] = $1 } END { printf "scrape seconds: median %.4f largest %.4f of %d\n", t[int((NR + 1) / 2)], t[NR], NR }'
curl -s "http://127.0.0.1:$http/metrics" | wc -c | awk '{ print "page bytes " $1 }'
kill "$catchel"

echo "== endless prober, 10 a second, $prober_seconds s; load $(cut -d' ' -f1-3 /proc/loadavg)"
port=$((43000 + RANDOM % 1000))
catchel_http=$((44000 + RANDOM % 500))
pitchel_http=$((44500 + RANDOM % 500))
"$bench_bin/catchel/catchel" -q -echo -metrics "127.0.0.1:$catchel_http" "$port" >/dev/null </dev/null &
catchel=$!
wait_port_bound "$port"
"$bench_bin/pitchel/pitchel" -seq -n 0 -r 10 -reply 1 -q -metrics "127.0.0.1:$pitchel_http" \
  127.0.0.1 "$port" x >/dev/null </dev/null &
pitchel=$!
(while sleep 1; do
  curl -s -o /dev/null "http://127.0.0.1:$catchel_http/metrics"
  curl -s -o /dev/null "http://127.0.0.1:$pitchel_http/metrics"
done) &
scraper=$!
read -r _ _ catchel_cpu0 < <(cpu_of "$catchel")
read -r _ _ pitchel_cpu0 < <(cpu_of "$pitchel")
start=$(date +%s.%N)
for second in $(seq 10 10 "$prober_seconds"); do
  sleep 10
  echo "at ${second}s rss_kib catchel $(rss_kib "$catchel") pitchel $(rss_kib "$pitchel") load $(cut -d' ' -f1 /proc/loadavg)"
done
read -r _ _ catchel_cpu1 < <(cpu_of "$catchel")
read -r _ _ pitchel_cpu1 < <(cpu_of "$pitchel")
elapsed=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { print e - s }')
replies=$(curl -s "http://127.0.0.1:$pitchel_http/metrics" | sed -nE 's/^pitchel_replies_total\{.*\} ([0-9]+)/\1/p')
kill "$scraper" "$pitchel" "$catchel"
awk -v c0="$catchel_cpu0" -v c1="$catchel_cpu1" -v p0="$pitchel_cpu0" -v p1="$pitchel_cpu1" -v t="$elapsed" -v r="$replies" 'BEGIN {
  printf "over %.0f s: catchel %.3f%% of a core, pitchel %.3f%% of a core, replies %s\n", t, 100 * (c1 - c0) / t, 100 * (p1 - p0) / t, r }'
