#!/usr/bin/env bash
# Start, start again, query, stop, start again on reused data, stop: the life
# cycle of scripts/test-server, on a folder and port of its own so that the
# main test server other tests use is never disturbed.
#
#   tests/scripts/test-server-restart.sh SOURCE_DIR
set -euo pipefail

src=${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
server=$src/scripts/test-server
[[ -x $server ]] || { echo "FAIL: $server not found" >&2; exit 1; }

dir=""
fail() {
  echo "FAIL: $*" >&2
  if [[ -n $dir && -s $dir/error.log ]]; then
    echo "---- last lines of the server's error log ----" >&2
    tail -n 30 "$dir/error.log" >&2
  fi
  exit 1
}
step() { echo "-- $*"; }

port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# A free port near 3397.
port=""
for p in $(seq 3397 3497); do
  if ! port_in_use "$p"; then port=$p; break; fi
done
[[ -n $port ]] || fail "no free port in 3397..3497"

dir=$(mktemp -d /tmp/lumo-restart-test.XXXXXX)
export LUMO_TEST_DIR=$dir LUMO_TEST_PORT=$port
# Stay well inside the test runner's time limit, which would kill this
# script before it can stop its server.
export LUMO_TEST_START_TIMEOUT=60 LUMO_TEST_STOP_TIMEOUT=30
cleanup() {
  "$server" stop >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap cleanup EXIT

# Process ids of the mariadbd that serves $dir.
server_pids() {
  local p
  local -a argv
  for p in /proc/[0-9]*; do
    mapfile -d '' argv 2>/dev/null <"$p/cmdline" || continue
    if ((${#argv[@]} >= 2)) && [[ ${argv[0]##*/} == mariadbd && ${argv[1]} == "--defaults-file=$dir/my.cnf" ]]; then
      echo "${p#/proc/}"
    fi
  done
}

query() {  # user password sql [client options]
  local user=$1 password=$2 sql=$3
  shift 3
  mariadb --no-defaults --protocol=TCP -h 127.0.0.1 -P "$port" -u "$user" ${password:+"-p$password"} \
    --connect-timeout=10 --batch --skip-column-names "$@" -e "$sql"
}

check_running() {
  "$server" status || fail "status does not report the server as running"
  [[ -n $(server_pids) ]] || fail "no mariadbd process for $dir"
  local v
  v=$(query root "" "SELECT value FROM vexa.settings WHERE name='programm_version'") ||
    fail "root with an empty password cannot query over TCP"
  [[ $v == 1.0.0 ]] || fail "programm_version is '$v', expected 1.0.0"
}

check_stopped() {
  local rc=0
  "$server" status || rc=$?
  ((rc != 0)) || fail "status reports a running server after stop"
  [[ -z $(server_pids) ]] || fail "mariadbd still running after stop: $(server_pids)"
  ! port_in_use "$port" || fail "port $port still accepts connections after stop"
  [[ ! -S $dir/mysqld.sock ]] || fail "socket $dir/mysqld.sock left behind"
}

t0=$SECONDS
step "first start in $dir, port $port"
"$server" start || fail "first start failed"
check_running
first_pid=$(server_pids)

step "second start is harmless"
"$server" start || fail "second start failed"
[[ $(server_pids) == "$first_pid" ]] || fail "second start changed the server process ($first_pid -> $(server_pids))"
check_running

step "accounts, TLS and settings"
eval "$("$server" env)"
[[ $LUMO_TEST_PORT == "$port" && $LUMO_TEST_SOCKET == "$dir/mysqld.sock" && $MYSQL_UNIX_PORT == "$LUMO_TEST_SOCKET" ]] ||
  fail "env prints the wrong port or socket: $LUMO_TEST_PORT $LUMO_TEST_SOCKET $MYSQL_UNIX_PORT"
[[ $(query "$LUMO_TEST_NATIVE_USER" "$LUMO_TEST_NATIVE_PASSWORD" "SELECT CURRENT_USER()") == "$LUMO_TEST_NATIVE_USER@%" ]] ||
  fail "the native-password account cannot log in"
[[ $(query root "" "SELECT JSON_VALUE(Priv, '\$.plugin') FROM mysql.global_priv WHERE User='$LUMO_TEST_OLD_USER'") == mysql_old_password ]] ||
  fail "the old-password account is missing or has the wrong plugin"
[[ $(query "$LUMO_TEST_OLD_USER" "$LUMO_TEST_OLD_PASSWORD" "SELECT CURRENT_USER()") == "$LUMO_TEST_OLD_USER@%" ]] ||
  fail "the old-password account cannot log in"
[[ $(query root "" "SELECT COUNT(*) FROM mysql.global_priv WHERE User=''") == 0 ]] ||
  fail "anonymous accounts left"
[[ $(query root "" "SELECT CONCAT_WS(' ', @@max_allowed_packet, @@secure_auth + 0, @@local_infile + 0)") == "1073741824 0 1" ]] ||
  fail "max_allowed_packet, secure_auth or local_infile not set"
query "$LUMO_TEST_NATIVE_USER" "$LUMO_TEST_NATIVE_PASSWORD" \
  "CREATE TABLE restart_marker (x INT); INSERT INTO restart_marker VALUES (7)" --database="$LUMO_TEST_SCRATCH_DATABASE" ||
  fail "the native-password account cannot work in the scratch database"
tls=$(query root "" "SHOW SESSION STATUS LIKE 'Ssl_version'" -h localhost \
  --ssl --ssl-ca="$LUMO_TEST_CA" --ssl-verify-server-cert) || fail "TLS connection with certificate check failed"
[[ $tls == Ssl_version$'\t'TLSv1.[23] ]] || fail "no TLS 1.2+ session: '$tls'"
[[ $(mariadb --no-defaults -S "$LUMO_TEST_SOCKET" -u root -N -e "SELECT CURRENT_USER()") == root@localhost ]] ||
  fail "root cannot log in over the Unix socket"

step "stop"
"$server" stop || fail "stop failed"
check_stopped

step "start again on the same data"
out=$("$server" start) || fail "start after stop failed"
echo "$out"
[[ $out != *"creating a new server"* ]] || fail "start after stop created a new server instead of reusing the data"
check_running
[[ $(query root "" "SELECT x FROM $LUMO_TEST_SCRATCH_DATABASE.restart_marker") == 7 ]] ||
  fail "data not reused: the row written before the stop is gone"

step "stop again"
"$server" stop || fail "second stop failed"
check_stopped

echo "test-server restart cycle passed in $((SECONDS - t0)) s"
