#!/bin/sh
# Runs a test program beside a throwaway PostgreSQL 15 cluster of its own:
# pg_virtualenv makes it, sets PGHOST, PGPORT, PGUSER, PGPASSWORD and
# PGDATABASE, and drops it when the program ends. The cluster lives in a
# temporary folder of its own even as root, on a port no socket uses, so
# that two runs at once (one build's tests beside another's) never share one.
# The port lies below the kernel's ephemeral range: a client's connection
# made meanwhile never takes it before the server binds it.
set -eu
taken() { # PORT -> true when a TCP socket uses it, or a cluster's socket file is there
    hex=$(printf ':%04X ' "$1")
    [ -e "/var/run/postgresql/.s.PGSQL.$1" ] ||
        grep -q "^ *[0-9]*: [0-9A-F]*$hex" /proc/net/tcp /proc/net/tcp6 2>/dev/null
}
lowest=$(cut -f1 /proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || echo 32768)
port=$((20000 + $$ % (lowest - 20000)))
while taken "$port"; do port=$((port + 1)); done
PGPORT=$port exec pg_virtualenv -t -v 15 "$@"
