#!/bin/sh
# Runs a test program beside a throwaway PostgreSQL 15 cluster of its own:
# pg_virtualenv makes it, sets PGHOST, PGPORT, PGUSER, PGPASSWORD and
# PGDATABASE, and drops it when the program ends. As root its cluster is
# always 15/regress in /etc/postgresql: one left by a run that was killed
# is dropped first (ctest runs one such test at a time).
set -eu
if [ "$(id -u)" = 0 ] && [ -e /etc/postgresql/15/regress ]; then
    pg_dropcluster --stop 15 regress 2>/dev/null || true
    rm -rf /etc/postgresql/15/regress /var/lib/postgresql/15/regress
fi
exec pg_virtualenv -v 15 "$@"
