#!/usr/bin/env bash
# bench/all.sh: every benchmark and the soak in one go, as bench/RESULTS.md
# reports them; about ten minutes. Before each measurement it waits up to
# BENCH_QUIET_WAIT seconds (default 60) for the machine to fall quiet.
set -uo pipefail
source "$(dirname "$0")/common.sh"
bench_private_netns "$0" "$@"

export BENCH_QUIET_WAIT=${BENCH_QUIET_WAIT:-60}
bench_build
export NETLAYER_BENCH_NO_BUILD=1
here=$(dirname "$0")

# step SCRIPT ARGS...: runs one benchmark; a failure is reported and the rest still run.
step() {
  "$@" || echo "FAILED: $* (status $?)"
}

echo "== machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p'), $(uname -r)"
echo "== layer overhead (bench/layer.sh)"
step "$here/layer.sh" 20
echo "== receivers under 200000 datagrams of 64 bytes at 100000/s (bench/receivers.sh)"
step "$here/receivers.sh" 5
echo "== highest rate catchel takes with loss below 0.1% (bench/rate_sweep.sh)"
step "$here/rate_sweep.sh" 3
echo "== catchel's capture against plain catchel, pitchel's replay (bench/capture.sh)"
step "$here/capture.sh" 5
echo "== sender start to exit (bench/sender.sh)"
step "$here/sender.sh" 300 3
echo "== pitchel's batches and pace beside hand-written senders (bench/pitchel_batches.sh)"
step "$here/pitchel_batches.sh" 5
echo "== an endless prober for a minute (bench/endless_prober.sh)"
step "$here/endless_prober.sh" 60 10
echo "== soak: catchel with AddressSanitizer (bench/soak.sh)"
(cd "$bench_root" && cmake --preset sanitize >/dev/null && cmake --build --preset sanitize -j2 --target catchel >/dev/null)
step "$here/soak.sh" 60 4 300
