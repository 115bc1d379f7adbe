# Sourced by the bench scripts: building, a private network namespace, and
# reading the kernel's counters for a process and for UDP.

bench_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench_bin=$bench_root/build/bench

# Builds the bench preset unless NETLAYER_BENCH_NO_BUILD is set.
bench_build() {
  [ -n "${NETLAYER_BENCH_NO_BUILD:-}" ] && return 0
  (cd "$bench_root" && cmake --workflow --preset bench >/dev/null)
}

# Runs the calling script again inside a network namespace of its own, so
# that the UDP counters and ports belong to this run alone and nothing that
# others run on the machine at the same time shows in them. Where no
# namespace can be made (not root) the script goes on in the shared one and
# says so.
bench_private_netns() {
  if [ -n "${NETLAYER_BENCH_NETNS:-}" ]; then
    return 0
  fi
  if [ "$(id -u)" = 0 ] && unshare --net true 2>/dev/null; then
    export NETLAYER_BENCH_NETNS=1
    exec unshare --net bash -c 'ip link set lo up && exec bash "$@"' bench "$@"
  fi
  echo "note: no private network namespace; the UDP counters include other traffic on this machine" >&2
  export NETLAYER_BENCH_NETNS=shared
}

# udp_counter NAME: a field of the Udp: line of /proc/net/snmp (InErrors,
# RcvbufErrors...); with BENCH_FAMILY=6 the same counter of IPv6 from
# /proc/net/snmp6, where the kernel counts the datagrams that came over IPv6.
udp_counter() {
  if [ "${BENCH_FAMILY:-4}" = 6 ]; then
    awk -v name="Udp6$1" '$1 == name { print $2 }' /proc/net/snmp6
    return
  fi
  awk -v name="$1" '$1 == "Udp:" { if (!header) { for (i = 2; i <= NF; i++) if ($i == name) col = i; header = 1 } else print $col }' \
    /proc/net/snmp
}

# cpu_of PID: "user system on_cpu" in seconds; user and system come from
# /proc/PID/stat in clock ticks, on_cpu from schedstat in nanoseconds.
cpu_of() {
  local ticks
  ticks=$(getconf CLK_TCK)
  awk -v hz="$ticks" '{ sub(/.*\) /, ""); printf "%.2f %.2f ", $12 / hz, $13 / hz }' "/proc/$1/stat"
  awk '{ printf "%.4f\n", $1 / 1e9 }' "/proc/$1/schedstat"
}

# rss_kib PID: the resident set of the process.
rss_kib() {
  awk '$1 == "VmRSS:" { print $2 }' "/proc/$1/status"
}

# wait_port_bound PORT: until some socket holds the UDP port, at most 10 s.
wait_port_bound() {
  local hex
  hex=$(printf ':%04X ' "$1")
  for _ in $(seq 100); do
    grep -q "$hex" /proc/net/udp /proc/net/udp6 2>/dev/null && return 0
    sleep 0.1
  done
  echo "nothing took UDP port $1" >&2
  return 1
}

# wait_quiet FILE: until the file has stopped growing for 0.6 s (at most 60 s).
wait_quiet() {
  local last=-1 same=0 size
  for _ in $(seq 300); do
    size=$(stat -c %s "$1")
    if [ "$size" = "$last" ]; then
      same=$((same + 1))
      [ $same -ge 3 ] && return 0
    else
      same=0
      last=$size
    fi
    sleep 0.2
  done
}

# median: of the numbers on standard input, one a line.
median() {
  sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# busy_seconds: CPU time the whole machine has spent not idle since boot.
busy_seconds() {
  awk -v hz="$(getconf CLK_TCK)" '$1 == "cpu" { printf "%.2f\n", ($2 + $3 + $4 + $7 + $8 + $9) / hz }' /proc/stat
}

# busy_percent: how much of the machine's CPU time was not idle over the next second.
busy_percent() {
  local before after
  before=$(awk '$1 == "cpu" { print $2 + $3 + $4 + $7 + $8 + $9, $5 + $6 }' /proc/stat)
  sleep 1
  after=$(awk '$1 == "cpu" { print $2 + $3 + $4 + $7 + $8 + $9, $5 + $6 }' /proc/stat)
  awk -v b="$before" -v a="$after" 'BEGIN { split(b, x, " "); split(a, y, " "); busy = y[1] - x[1]; idle = y[2] - x[2];
    printf "%d\n", (busy + idle > 0) ? 100 * busy / (busy + idle) : 0 }'
}

# wait_for_quiet: with BENCH_QUIET_WAIT=<seconds>, waits up to that long for
# a second in which under BENCH_QUIET_BUSY percent (default 15) of the CPU
# was busy, since others share this machine; without it, does not wait.
wait_for_quiet() {
  local limit=${BENCH_QUIET_WAIT:-0} busy
  for ((waited = 0; waited < limit; waited++)); do
    busy=$(busy_percent)
    [ "$busy" -lt "${BENCH_QUIET_BUSY:-15}" ] && return 0
  done
  # Never quiet: the run goes on, its load told beside its figures.
  return 0
}

# load_note: the load average and the busy share just before, printed beside every set of figures.
load_note() {
  echo "load average: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores, $(busy_percent)% busy"
}
