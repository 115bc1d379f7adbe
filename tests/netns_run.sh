#!/bin/sh
# Runs a command inside a private network namespace whose loopback carries
# multicast, marking it with NETLAYER_PRIVATE_NETNS=1. Where no namespace
# can be made the command runs unmarked, and its multicast cases skip.
if [ "$(id -u)" = 0 ] && unshare --net true 2>/dev/null; then
  exec unshare --net sh -c '
    ip link set lo up && ip link set lo multicast on && ip route add 224.0.0.0/4 dev lo &&
      NETLAYER_PRIVATE_NETNS=1 && export NETLAYER_PRIVATE_NETNS
    exec "$@"' netns_run "$@"
fi
exec "$@"
