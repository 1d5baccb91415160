# Shared helpers of the end-to-end tests; sourced, not run (ctest runs only
# tests/e2e/*.sh). Every run is bounded in time and cleans up after itself.
set -euo pipefail

SOURCE_DIR=${QUORVELIN_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
LAB="$SOURCE_DIR/scripts/lab"
export QUORVELIN_RESPONDER=${QUORVELIN_RESPONDER:-$SOURCE_DIR/build/tests/quorvelin_responder}

E2E_TMP=$(mktemp -d "${TMPDIR:-/tmp}/quorvelin-e2e.XXXXXX")
trap 'rm -rf -- "$E2E_TMP"' EXIT

failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

pass() { echo "ok: $*"; }

# check DESCRIPTION TEST-ARGS...: runs `test` on the arguments.
check() {
  local what=$1
  shift
  if test "$@"; then pass "$what"; else fail "$what ($*)"; fi
}

finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  echo "all checks passed"
}

require_lab() {
  [ "$(id -u)" -eq 0 ] || { echo "end-to-end tests need root (network namespaces)" >&2; exit 1; }
  command -v perfdhcp >/dev/null || { echo "perfdhcp not found: run scripts/install-deps" >&2; exit 1; }
}

# lab_run OUTPUT LAB-ARGS... -- COMMAND...: runs the command in a lab, with
# a time bound and its standard output to OUTPUT; returns the lab's status.
# In the command, @LAB_CLIENT_IF@ and @LAB_SERVER_ADDR@ stand for the lab's
# values, which exist only once the lab is up.
lab_run() {
  local out=$1 lab_args=()
  shift
  while [ $# -gt 0 ] && [ "$1" != -- ]; do lab_args+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  # shellcheck disable=SC2016  # expanded inside the lab
  timeout -k 5 90 "$LAB" "${lab_args[@]}" -- bash -c '
    set -- "${@//@LAB_CLIENT_IF@/$LAB_CLIENT_IF}"
    set -- "${@//@LAB_SERVER_ADDR@/$LAB_SERVER_ADDR}"
    exec "$@"' lab-command "$@" >"$out"
}

# perfdhcp -6 in the lab's client namespace, bounded in time; extra
# arguments are passed on. Many clients, and half a second for late answers.
# shellcheck disable=SC2034  # used by the scripts that source this file
PERFDHCP=(timeout -k 2 40 perfdhcp -6 -R 1000000 -W 500000)

# perfdhcp_stat FILE EXCHANGE FIELD: a counter of perfdhcp's final report,
# e.g. perfdhcp_stat out SOLICIT-ADVERTISE "received packets".
perfdhcp_stat() {
  awk -v section="***Statistics for: $2***" -v field="$3:" '
    index($0, section) == 1 { inside = 1; next }
    /^\*\*\*/ { inside = 0 }
    inside && index($0, field) == 1 { print $NF; found = 1; exit }
    END { if (!found) print -1 }' "$1"
}

# responder_count LOG NAME: a counter from the responder's summary line.
responder_count() {
  local v
  v=$(grep -o "[[:space:]]$2=[0-9]*" "$1" | tail -n 1 | cut -d= -f2)
  echo "${v:--1}"
}
