# The records and the plant's assignments from Windows: j4_flash.exe under
# Wine against the run's own PostgreSQL on the Linux side, over TCP with TLS
# verified against a test authority, the password from libpq's own file in
# %APPDATA%. Sourced by run.sh, whose helpers and Wine prefix it uses.

echo "== records and assignments in PostgreSQL, over TLS"
tls=$work/tls
mkdir -p "$tls"
make_certificate() { # NAME SUBJECT [AUTHORITY [openssl x509 options...]]
    local name=$1 subject=$2 authority=${3:-}
    shift $(($# < 3 ? $# : 3))
    openssl req -new -newkey rsa:2048 -nodes -subj "$subject" -keyout "$tls/$name.key" \
        -out "$tls/$name.csr" 2>/dev/null
    if [ -z "$authority" ]; then
        openssl x509 -req -in "$tls/$name.csr" -signkey "$tls/$name.key" -days 2 \
            -extfile <(echo "basicConstraints=critical,CA:true") -out "$tls/$name.pem" 2>/dev/null
    else
        openssl x509 -req -in "$tls/$name.csr" -CA "$tls/$authority.pem" \
            -CAkey "$tls/$authority.key" -CAcreateserial -days 2 "$@" \
            -out "$tls/$name.pem" 2>/dev/null
    fi
}
make_certificate ca "/CN=J4 test authority"
make_certificate other-ca "/CN=Another authority"
make_certificate server /CN=localhost ca \
    -extfile <(echo "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1")
data=$(pg_lsclusters -h | awk '$2 == "regress" { print $6 }')
owner=$(stat -c %U "$data")
install -o "$owner" -m 600 "$tls/server.pem" "$tls/server.key" "$data/"
psql -qAt -c "ALTER SYSTEM SET ssl_cert_file = '$data/server.pem'" \
    -c "ALTER SYSTEM SET ssl_key_file = '$data/server.key'" -c "ALTER SYSTEM SET ssl = on" \
    -c "SELECT pg_reload_conf()" >/dev/null
wait_until() { # SECONDS COMMAND... -> whether COMMAND succeeded within SECONDS
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}
sql() { PGPASSFILE=$linux_pgpass psql -qAt -c "$1" 2>/dev/null; }
sql_is() { [ "$(sql "$2")" = "$1" ]; } # WANT SQL
cluster() { pg_ctlcluster "$PGVERSION" regress "$1" -m fast; }

# The station's password in libpq's own file for Windows; none in the
# environment, which Wine would hand over. The Linux side's psql and
# j4_plant are given a file of their own.
appdata=$(windows_appdata)
mkdir -p "$appdata/postgresql"
echo "localhost:$PGPORT:$PGDATABASE:$PGUSER:$PGPASSWORD" >"$appdata/postgresql/pgpass.conf"
linux_pgpass=$work/linux.pgpass
echo "*:*:*:*:$PGPASSWORD" >"$linux_pgpass" && chmod 600 "$linux_pgpass"
unset PGPASSWORD
wait_until 30 sql_is on 'SHOW ssl'
records_url() { # AUTHORITY
    echo "postgresql://$PGUSER@localhost:$PGPORT/$PGDATABASE?sslmode=verify-full&sslrootcert=$(winepath -w "$tls/$1.pem" | tr '\\' /)"
}
url=$(records_url ca)
rows_sql="SELECT count(*) || ' ' || count(DISTINCT attempt) FROM j4_attempts"
rows() { sql "$rows_sql"; }

# Two devices; the second holds its first answer (its simulator stopped)
# until the first device's record is in the database, the database has
# gone away and come back. A short file: under Wine a port's frames go
# slowly after a long wait.
start_pair() { # COM12 is start_device's, capturing; COM5 the pair's
    start_device 12
    "$devsim" --link "$work/dev5" >/dev/null 2>&1 &
    pair_pid=$!
    wait_until 10 test -e "$work/dev5"
}
stop_pair() {
    kill -CONT "$devsim_pid" 2>/dev/null # a stopped process would not see the end
    kill "$pair_pid" 2>/dev/null
    wait "$pair_pid" 2>/dev/null
    pair_pid=""
    stop_device
}
# Four frames of 16 bytes.
for frame in 1 2 3 4; do printf '00 10 %s\n' "$(printf '%02x ' $(seq $((frame * 16)) $((frame * 16 + 15))))"; done \
    >"$work/short.j4u"
"$root/build/tools/j4_flash" --check "$work/short.j4u" --image-out "$work/short.bin" >/dev/null
start_pair
kill -STOP "$devsim_pid"
(cd "$work" && exec wine "$stage/bin/j4_flash.exe" --records "$url" \
    --log station.jsonl --station-id win-1 --timeout 600000 --port 5 --port 12 -q short.j4u) \
    >"$work/flash.out" 2>"$work/flash.err" &
run_pid=$!
check "a two-device run: the first device's record reaches the database over TLS" \
    wait_until 120 sql_is 1 'SELECT count(*) FROM j4_attempts'
cluster stop
cluster start
kill -CONT "$devsim_pid"
wait "$run_pid"
status=$?
stop_pair
err=$(tr -d '\r' <"$work/flash.err")
check "a two-device run: exit 0, both devices updated (got $status, '$err')" \
    test "$status" = 0 && cmp -s "$work/short.bin" "$work/capture.bin"
# What the run could not send when it ended goes with the next run; the
# log and its sent position keep anything from going twice.
start_pair
flash_status --records "$url" --log station.jsonl --station-id win-1 --port 5 --port 12 -q \
    demo.j4u
stop_pair
check "the next run: both attempts of each run in the database once (got '$(rows)', $status)" \
    wait_until 60 sql_is "4 4" "$rows_sql"
fields=$(sql "SELECT station, outcome, port_number, frames, image_bytes, file,
                     file_sha256 = '$(sha256sum "$work/demo.j4u" | cut -d' ' -f1)'
              FROM j4_attempts WHERE file = 'demo.j4u' ORDER BY port_number LIMIT 1")
check "a row's fields: station, outcome, port, frames, bytes, file, its SHA-256 (got '$fields')" \
    test "$fields" = "win-1|completed|5|96|24768|demo.j4u|t"

# Written while the database is down, sent with --send-records once it is
# back; sent again, nothing goes twice.
cluster stop
start_pair
flash_status --records "$url" --log down.jsonl --station-id win-1 --port 5 --port 12 -q demo.j4u
stop_pair
check "the database down: the update still completes, and says the records wait (got $status)" \
    test "$status" = 0 -a -n "$(grep -F '2 records wait in ' <<<"$err")"
cluster start
flash_status --send-records down.jsonl --records "$url"
check "--send-records after the outage: '2 new records sent' (got $status, '$out$err')" \
    test "$status" = 0 -a -n "$(grep -F 'down.jsonl: 2 new records sent' <<<"$out")"
flash_status --send-records down.jsonl --records "$url"
check "--send-records again: none twice (got '$(rows)', '$out')" \
    test "$status" = 0 -a "$(rows)" = "6 6" -a -n "$(grep -F '2 already in the database' <<<"$out")"
flash_status --send-records down.jsonl --records "$(records_url other-ca)"
check "a server another authority vouched for: exit 8, 'certificate verify failed' (got $status)" \
    test "$status" = 8 -a -n "$(grep -F 'certificate verify failed' <<<"$err")"
mv "$appdata/postgresql/pgpass.conf" "$work/windows.pgpass"
PGPASSFILE=$(winepath -w "$work/windows.pgpass") flash_status --send-records down.jsonl \
    --records "$url"
check "PGPASSFILE names the password's file instead (got $status)" test "$status" = 0
mv "$work/windows.pgpass" "$appdata/postgresql/pgpass.conf"

# A station of a line: it fetches what the plant assigned and updates a
# unit with it.
linux_url="postgresql://$PGUSER@localhost:$PGPORT/$PGDATABASE"
plant() { PGPASSFILE=$linux_pgpass "$root/build/tools/j4_plant" --records "$linux_url" "$@"; }
plant release add "$work/signed.j4u" --signature "$work/signed.j4u.minisig" \
    --trust-key "$work/release.pub" >"$work/plant.out" 2>&1 &&
    plant assign L7 --release 1.4.2 --work-order WO-W --quantity 2 >>"$work/plant.out" 2>&1
status=$?
check "j4_plant: the release added and line L7 assigned ($(tail -n 1 "$work/plant.out"))" \
    test "$status" = 0
line_out=$work/line.out
(cd "$work" && exec wine "$stage/bin/j4_flash.exe" --watch --line L7 \
    --records "$url" --port 5 --trust-key release.pub --station-id win-line --log line.jsonl) \
    >"$line_out" 2>&1 &
line_pid=$!
line_said() { tr -d '\r' <"$line_out" | grep -qF "$1"; }
check "a --line station: 'Line L7: release 1.4.2, work order WO-W, 0 of 2 units'" \
    wait_until 120 line_said "Line L7: release 1.4.2, work order WO-W, 0 of 2"
start_device 5
check "a --line station: the unit plugged in is updated with the assigned release" \
    wait_until 120 line_said "Update is completed."
stop_device
check "a --line station: the device holds the release bit-exact" \
    cmp -s "$work/demo.bin" "$work/capture.bin"
check "a --line station: the plant counts the unit (got '$(sql "SELECT count(*) FROM j4_claims WHERE state = 'completed'")')" \
    wait_until 60 sql_is 1 "SELECT count(*) FROM j4_claims WHERE state = 'completed'"
pkill -INT -f 'j4_flash.exe --watch --line L7' 2>/dev/null
wait_until 60 bash -c "! kill -0 $line_pid 2>/dev/null"
kill "$line_pid" 2>/dev/null
wait "$line_pid" 2>/dev/null
