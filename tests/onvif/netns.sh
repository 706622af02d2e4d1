#!/bin/sh
# Runs a command in a network namespace of its own (unprivileged: a user namespace maps us to
# root there), where loopback is up and carries multicast. WS-Discovery's port 3702 and group
# 239.255.255.250 are then the test's alone, and nothing reaches the machine's networks.
set -e
PATH="$PATH:/usr/sbin:/sbin"
# K47_NETNS=1 tells the command (and this script's second run) that it is in the namespace.
if [ "${K47_NETNS:-}" != 1 ]; then
    export K47_NETNS=1
    exec unshare --user --map-root-user --net "$0" "$@"
fi
ip link set lo up
ip link set lo multicast on
ip route add 224.0.0.0/4 dev lo
exec "$@"
