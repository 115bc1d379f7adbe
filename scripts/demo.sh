#!/usr/bin/env bash
# Builds both programs, starts catchel on a loopback port, sends it a message
# with pitchel, shows what catchel printed and stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --workflow --preset build >/dev/null
port=${1:-9000}
out=$(mktemp)
build/linux/catchel/catchel "$port" >"$out" &
catcher=$!
trap 'kill $catcher 2>/dev/null; rm -f "$out"' EXIT
sleep 0.3
build/linux/pitchel/pitchel 127.0.0.1 "$port" "hello from pitchel"
sleep 0.3
echo "catchel printed:"
cat "$out"
