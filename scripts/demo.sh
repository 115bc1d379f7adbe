#!/usr/bin/env bash
# Builds the programs and sends one datagram to a loopback port, caught here by a plain socket.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --workflow --preset build >/dev/null
port=${1:-9000}
python3 - "$port" <<'PY' &
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", int(sys.argv[1])))
s.settimeout(5)
data, source = s.recvfrom(65536)
print(f"received {len(data)} bytes from {source[0]}:{source[1]}: {data!r}")
PY
sleep 0.5
build/linux/pitchel/pitchel 127.0.0.1 "$port" hello
echo "pitchel exit status: $?"
wait
