#!/bin/sh
# Runs a test program beside a throwaway PostgreSQL 15 cluster of its own:
# pg_virtualenv makes it, sets PGHOST, PGPORT, PGUSER, PGPASSWORD and
# PGDATABASE, and drops it when the program ends. The cluster lives in a
# temporary folder of its own even as root, on a port nobody listens on, so
# that two runs at once (one build's tests beside another's) never share one.
set -eu
listening() { # PORT -> true when a TCP socket listens on it, or a cluster's socket file is there
    hex=$(printf ':%04X ' "$1")
    [ -e "/var/run/postgresql/.s.PGSQL.$1" ] ||
        grep -q "$hex[0-9A-F:]* 0A " /proc/net/tcp /proc/net/tcp6 2>/dev/null
}
port=$((20000 + $$ % 20000))
while listening "$port"; do port=$((port + 1)); done
PGPORT=$port exec pg_virtualenv -t -v 15 "$@"
