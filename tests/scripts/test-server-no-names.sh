#!/usr/bin/env bash
# A first start of scripts/test-server on a machine where no host name
# resolves, not even 'localhost' (no /etc/hosts, as in minimal containers):
# inside a mount namespace of its own, empty files cover /etc/hosts and
# /etc/resolv.conf, then a fresh server is created, queried and stopped.
# Needs root for the namespace; exits 77 (skipped) without it, but fails
# then when CI=true.
#
#   tests/scripts/test-server-no-names.sh SOURCE_DIR
set -euo pipefail

src=${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
server=$src/scripts/test-server
[[ -x $server ]] || { echo "FAIL: $server not found" >&2; exit 1; }

in_ci() { [[ ${CI:-} == true || ${CI:-} == 1 ]]; }
cannot() {
  if in_ci; then echo "FAIL: $* (CI=$CI)" >&2; exit 1; fi
  echo "SKIP: $*"
  exit 77
}

if [[ -z ${LUMO_NO_NAMES_INSIDE:-} ]]; then
  ((EUID == 0)) || cannot "needs root for a mount namespace"
  command -v unshare >/dev/null 2>&1 || cannot "unshare is not installed"
  empty=$(mktemp /tmp/lumo-empty.XXXXXX)
  trap 'rm -f "$empty"' EXIT
  rc=0
  LUMO_NO_NAMES_INSIDE=$empty unshare --mount --propagation private "${BASH_SOURCE[0]}" "$src" || rc=$?
  exit "$rc"
fi

for f in /etc/hosts /etc/resolv.conf; do
  if [[ -e $f ]]; then
    mount --bind "$LUMO_NO_NAMES_INSIDE" "$f" || cannot "cannot cover $f in a mount namespace"
  fi
done
PATH=$PATH:/usr/sbin
if resolveip localhost >/dev/null 2>&1; then
  cannot "'localhost' still resolves without /etc/hosts (another name service answers)"
fi

dir=""
fail() {
  echo "FAIL: $*" >&2
  for log in install.log error.log; do
    if [[ -n $dir && -s $dir/$log ]]; then
      echo "---- last lines of $log ----" >&2
      tail -n 30 "$dir/$log" >&2
    fi
  done
  exit 1
}

port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
port=""
for p in $(seq 3498 3598); do
  if ! port_in_use "$p"; then port=$p; break; fi
done
[[ -n $port ]] || fail "no free port in 3498..3598"

dir=$(mktemp -d /tmp/lumo-no-names-test.XXXXXX)
export LUMO_TEST_DIR=$dir LUMO_TEST_PORT=$port LUMO_TEST_START_TIMEOUT=60 LUMO_TEST_STOP_TIMEOUT=30
cleanup() {
  "$server" stop >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap cleanup EXIT

echo "-- first start without name resolution in $dir, port $port"
"$server" start || fail "start failed"
v=$(mariadb --no-defaults --protocol=TCP -h 127.0.0.1 -P "$port" -u root --connect-timeout=10 \
  --batch --skip-column-names -e "SELECT value FROM vexa.settings WHERE name='programm_version'") ||
  fail "root cannot query over TCP"
[[ $v == 1.0.0 ]] || fail "programm_version is '$v', expected 1.0.0"
"$server" stop || fail "stop failed"
echo "test-server start without name resolution passed"
