#!/bin/sh
# Runs a command inside a private network namespace whose loopback carries
# multicast, marking it with NETLAYER_PRIVATE_NETNS=1. Where no namespace
# can be made the command runs unmarked, and its multicast cases skip.
# A veth pair, wholly inside the namespace, gives multicast a second way
# out: its address goes to NETLAYER_NETNS_VETH_IP when it could be made.
# IPv6 multicast needs it too, as the kernel discards it on loopback: its
# two ends hold unique-local addresses, NETLAYER_NETNS_VETH_IP6 (netns0)
# and NETLAYER_NETNS_PEER_IP6 (netns1), two distinct sources. Duplicate
# address detection is off before the pair is made, so that these and the
# link-local addresses are usable at once.
if [ "$(id -u)" = 0 ] && unshare --net true 2>/dev/null; then
  exec unshare --net sh -c '
    ip link set lo up && ip link set lo multicast on && ip route add 224.0.0.0/4 dev lo &&
      NETLAYER_PRIVATE_NETNS=1 && export NETLAYER_PRIVATE_NETNS
    for conf in all default; do echo 0 >/proc/sys/net/ipv6/conf/$conf/accept_dad 2>/dev/null; done
    if ip link add netns0 type veth peer name netns1 2>/dev/null &&
      ip addr add 198.51.100.1/24 dev netns0 && ip link set netns0 up && ip link set netns1 up; then
      NETLAYER_NETNS_VETH_IP=198.51.100.1 && export NETLAYER_NETNS_VETH_IP
      if ip -6 addr add fd00:5eed::1/64 dev netns0 nodad 2>/dev/null &&
        ip -6 addr add fd00:5eed::2/64 dev netns1 nodad 2>/dev/null; then
        NETLAYER_NETNS_VETH_IP6=fd00:5eed::1 NETLAYER_NETNS_PEER_IP6=fd00:5eed::2
        export NETLAYER_NETNS_VETH_IP6 NETLAYER_NETNS_PEER_IP6
      fi
    fi
    exec "$@"' netns_run "$@"
fi
exec "$@"
