# Shared by the end-to-end tests: running a command or quorvelin in a lab and
# reading what it printed. Sourced, not run (ctest runs only tests/e2e/*.sh).
# Every run is bounded in time and its lab cleans up after itself.
set -euo pipefail

SOURCE_DIR=${QUORVELIN_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
LAB=$SOURCE_DIR/scripts/lab
# shellcheck disable=SC2034  # used by the scripts that source this file
EX=$SOURCE_DIR/examples
export QUORVELIN=${QUORVELIN:-$SOURCE_DIR/build/quorvelin}
export QUORVELIN_RESPONDER=${QUORVELIN_RESPONDER:-$SOURCE_DIR/build/tests/quorvelin_responder}
[ "$(id -u)" -eq 0 ] || { echo "end-to-end tests need root (network namespaces)" >&2; exit 1; }
if ! command -v perfdhcp >/dev/null || ! command -v tshark >/dev/null; then
  echo "perfdhcp or tshark not found: run scripts/install-deps" >&2
  exit 1
fi
[ -x "$QUORVELIN" ] || { echo "quorvelin binary '$QUORVELIN' not found: build it first" >&2; exit 1; }

T=$(mktemp -d "${TMPDIR:-/tmp}/quorvelin-e2e.XXXXXX")
trap 'rm -rf -- "$T"' EXIT
# shellcheck disable=SC2034
PERFDHCP=(perfdhcp -6 -R 1000000 -W 500000) # many clients, half a second for late answers
failures=0

# check DESCRIPTION TEST-ARGS...: runs `test` on the arguments.
check() {
  local what=$1
  shift
  if test "$@"; then echo "ok: $what"; else echo "FAIL: $what ($*)" >&2; failures=$((failures + 1)); fi
}

finish() {
  [ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
  echo "all checks passed"
}

# in_lab NAME SECONDS LAB-ARGS... -- COMMAND...: runs the command in the
# client namespace of a fresh lab, stopped after SECONDS; @IF@ and @SERVER@
# in it stand for the lab's client device and server address. Leaves the
# command's output in $T/NAME.out and NAME.err, the device in $T/NAME.if and
# its exit status in $status (124: it was stopped), and prints the outputs.
in_lab() {
  local name=$1 seconds=$2 lab_args=() lab_status=0
  shift 2
  while [ "$1" != -- ]; do lab_args+=("$1"); shift; done
  shift
  # shellcheck disable=SC2016  # expanded inside the lab
  timeout -k 5 $((seconds + 60)) "$LAB" "${lab_args[@]}" -- bash -c '
    base=$1 seconds=$2
    shift 2
    echo "$LAB_CLIENT_IF" >"$base.if"
    set -- "${@//@IF@/$LAB_CLIENT_IF}"
    set -- "${@//@SERVER@/$LAB_SERVER_ADDR}"
    timeout -k 5 "$seconds" "$@" >"$base.out" 2>"$base.err" </dev/null && echo 0 >"$base.status" ||
      echo $? >"$base.status"' in-lab "$T/$name" "$seconds" "$@" || lab_status=$?
  status=$(cat "$T/$name.status" 2>/dev/null || echo none)
  echo "--- $name: status $status"
  sed 's/^/  out| /' "$T/$name.out" 2>/dev/null || true
  sed 's/^/  err| /' "$T/$name.err" 2>/dev/null || true
  check "$name: the lab ran" "$lab_status" -eq 0
}

# qv NAME SECONDS LAB-ARGS... -- QUORVELIN-ARGS...: in_lab running quorvelin.
qv() {
  local head=()
  while [ "$1" != -- ]; do head+=("$1"); shift; done
  shift
  in_lab "${head[@]}" -- "$QUORVELIN" "$@"
}

# last NAME: the last line of NAME's output.
last() { tail -n 1 "$T/$1.out"; }

# rate NAME: N of the last "Finished and report: N transactions per second.", or -1.
rate() {
  local n
  n=$(sed -n 's/^Finished and report: \([0-9][0-9]*\) transactions per second\.$/\1/p' "$T/$1.out" | tail -n 1)
  echo "${n:--1}"
}

# column NAME N: the sum of field N over NAME's progress lines.
column() { awk -v n="$2" '/^ *[0-9]+ +[0-9]+ +[0-9]+ +[0-9]+ \|/ { s += $n } END { print s + 0 }' "$T/$1.out"; }

# count NAME REGEX: the lines of NAME's output that match.
count() { grep -c -- "$2" "$T/$1.out" || true; }

# perfdhcp_stat NAME EXCHANGE FIELD: a counter of perfdhcp's final report,
# e.g. perfdhcp_stat run SOLICIT-ADVERTISE "received packets".
perfdhcp_stat() {
  awk -v section="***Statistics for: $2***" -v field="$3:" '
    index($0, section) == 1 { inside = 1; next }
    /^\*\*\*/ { inside = 0 }
    inside && index($0, field) == 1 { print $NF; found = 1; exit }
    END { if (!found) print -1 }' "$T/$1.out"
}

# responder_count LOG NAME: a counter from the test responder's summary line.
responder_count() {
  local v
  v=$(grep -o "[[:space:]]$2=[0-9]*" "$1" | tail -n 1 | cut -d= -f2)
  echo "${v:--1}"
}

# check_capture PCAP WHAT CLIENTS "TYPES" [awaited]: tshark decodes every
# DHCPv6 packet without a malformed packet or an error note, and each client
# 0 to CLIENTS-1, and no other, went through the message TYPES in order
# (relay layers looked through). With "awaited", replies that do not answer
# the client's last message are left out first: duplicates, wherever they fell.
check_capture() {
  check "$2: no malformed DHCPv6 packet" "$(tshark -r "$1" -Y 'dhcpv6 && _ws.malformed' 2>/dev/null | wc -l)" -eq 0
  check "$2: no Malformed or error note" "$(tshark -r "$1" -V 2>/dev/null | grep -c -e Malformed -e 'Expert Info (Error')" -eq 0
  tshark -r "$1" -Y dhcpv6 -T fields -E occurrence=a -E separator=/t -e dhcpv6.xid -e dhcpv6.msgtype 2>/dev/null |
    awk -F'\t' -v awaited="${5:-}" '{
        n = split($2, t, ","); m = t[n]     # the inner message is the last type
        if (awaited && (m == 2 || m == 7) && !(last[$1] == 1 && m == 2 || (last[$1] == 3 || last[$1] == 8) && m == 7))
          next
        last[$1] = m; seq[$1] = seq[$1] " " m
      }
      END { for (id in seq) printf "%s:%s\n", id, seq[id] }' | sort >"$T/sequences.got"
  for ((i = 0; i < $3; i++)); do printf '0x%06x: %s\n' "$i" "$4"; done >"$T/sequences.want"
  check "$2: each client's exchange runs $4" "$(diff "$T/sequences.want" "$T/sequences.got" | head -n 4 | tr '\n' ' ')" = ""
}

# summary_follows NAME LINE: the line right after LINE (the mode's last line)
# in NAME's output: the summary block's headline.
summary_follows() { awk -v line="$2" 'found { print; exit } $0 == line { found = 1 }' "$T/$1.out"; }

# report NAME EXPRESSION: a Python expression over $T/NAME.jsonl, the --report
# file, whose every line must be one JSON object: `records` (all of them),
# `start` (the first), `ticks`, `events`, `summary` (the last record) and
# `step(k)` (the summary's k-th step, from 1). Prints the value (JSON for
# lists, objects and booleans), nothing when a line is not such an object.
report() {
  python3 - "$T/$1.jsonl" "$2" <<'PYTHON'
import json, sys
records = [json.loads(line) for line in open(sys.argv[1])]
assert records and all(isinstance(r, dict) and "type" in r for r in records), "not one object per line"
start, summary = records[0], records[-1]
ticks = [r for r in records if r["type"] == "tick"]
events = [r for r in records if r["type"] == "event"]
step = lambda k: summary["steps"][k - 1]
value = eval(sys.argv[2])
print(json.dumps(value) if isinstance(value, (list, dict, bool)) else value)
PYTHON
}

# segments NAME SECONDS N LAB-ARGS... -- QUORVELIN-ARGS...: N instances in
# one lab, instance I as segment I/N on 2001:db8:1::1I (@I@ in the arguments is
# I), starting together 3 s after the shell command $SEGMENTS_BEFORE, then
# $SEGMENTS_AFTER (both see $base, $T/NAME); outputs in $T/NAME-I.out, reports
# in $T/NAME-I.jsonl.
segments() {
  local name=$1 seconds=$2 n=$3 lab_args=()
  shift 3
  while [ "$1" != -- ]; do lab_args+=("$1"); shift; done
  shift
  # shellcheck disable=SC2016  # expanded inside the lab
  in_lab "$name" "$seconds" "${lab_args[@]}" -- bash -c '
    base=$1 n=$2
    shift 2
    eval "${SEGMENTS_BEFORE:-}"
    at=$(date -u -d "+3 seconds" +%Y-%m-%dT%H:%M:%SZ)
    pids=()
    for ((i = 0; i < n; i++)); do
      ip addr add "2001:db8:1::1$i/64" dev "$LAB_CLIENT_IF" nodad
      "$QUORVELIN" --segment "$i/$n" --local-address "2001:db8:1::1$i" --start-at "$at" \
        --report "$base-$i.jsonl" "$LAB_CLIENT_IF" "${@//@I@/$i}" >"$base-$i.out" 2>&1 &
      pids+=($!)
    done
    status=0
    for pid in "${pids[@]}"; do wait "$pid" || status=1; done
    eval "${SEGMENTS_AFTER:-}"
    exit $status' segments "$T/$name" "$n" "$@"
  for ((i = 0; i < n; i++)); do sed "s/^/  $name-$i| /" "$T/$name-$i.out"; done
}
