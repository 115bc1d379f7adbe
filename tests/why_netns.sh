#!/bin/sh
# why_netns.sh <catchel> <pitchel> <fault> <catchel args> <pitchel args>
# Builds a sender namespace $S and a receiver namespace $R joined by two
# veth links (s0-r0: 10.1.0.0/24, fd01::/64; s1-r1: 10.2.0.0/24,
# fd02::/64), the group routed by s0 and r0, then runs <fault> (shell, with
# $S, $R, $A and $WORK to make a router namespace and keep files in), then
# catchel -why in $R and pitchel in $S with the arguments given (an empty
# string: not run). Prints each program's output after a "== <name> <status>"
# line. Every namespace it made is removed on the way out. Root only.
set -u
catchel=$1 pitchel=$2 fault=$3 catchel_args=$4 pitchel_args=$5
tag=why$$
S=${tag}s R=${tag}r A=${tag}a WORK=$(mktemp -d)
export S R A WORK
cleanup() {
  [ -f "$WORK/smcroute.pid" ] && kill "$(cat "$WORK/smcroute.pid")" 2>/dev/null
  for ns in $S $R $A; do ip netns del "$ns" 2>/dev/null; done
  rm -rf "$WORK"
}
trap cleanup EXIT
in_ns() { ns=$1; shift; ip netns exec "$ns" "$@"; }
ip netns add "$S" && ip netns add "$R" || exit 1
for ns in $S $R; do
  in_ns "$ns" ip link set lo up
  in_ns "$ns" sysctl -qw net.ipv6.conf.all.accept_dad=0 net.ipv6.conf.default.accept_dad=0
done
for link in 0 1; do
  in_ns "$S" ip link add s$link type veth peer name r$link netns "$R"
  in_ns "$S" ip addr add 10.$((link + 1)).0.1/24 dev s$link
  in_ns "$R" ip addr add 10.$((link + 1)).0.2/24 dev r$link
  in_ns "$S" ip -6 addr add fd0$((link + 1))::1/64 dev s$link nodad
  in_ns "$R" ip -6 addr add fd0$((link + 1))::2/64 dev r$link nodad
  in_ns "$S" ip link set s$link up
  in_ns "$R" ip link set r$link up
done
in_ns "$S" ip route add 224.0.0.0/4 dev s0
in_ns "$R" ip route add 224.0.0.0/4 dev r0
sh -ec "$fault" || { echo "the fault could not be made"; exit 1; }
if [ -n "$catchel_args" ]; then
  # shellcheck disable=SC2086
  (in_ns "$R" "$catchel" -why -w 3 $catchel_args >"$WORK/catchel" 2>&1; echo $? >"$WORK/catchel.status") &
  sleep 0.7
fi
if [ -n "$pitchel_args" ]; then
  # shellcheck disable=SC2086
  in_ns "$S" "$pitchel" -n 10 -r 5 $pitchel_args >"$WORK/pitchel" 2>&1
  echo "== pitchel $?"
  cat "$WORK/pitchel"
fi
wait
if [ -n "$catchel_args" ]; then
  echo "== catchel $(cat "$WORK/catchel.status")"
  cat "$WORK/catchel"
fi
