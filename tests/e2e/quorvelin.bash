# Helpers of the end-to-end tests that run quorvelin itself in the lab;
# sourced after common.bash, not run (ctest runs only tests/e2e/*.sh).
QUORVELIN=${QUORVELIN:-$SOURCE_DIR/build/quorvelin}
export QUORVELIN
[ -x "$QUORVELIN" ] || { echo "quorvelin binary '$QUORVELIN' not found: build it first" >&2; exit 1; }

# qv_lab NAME SECONDS LAB-ARGS... -- COMMAND...: runs the command in the
# client namespace of a fresh lab, stopped after SECONDS. In the command,
# @LAB_CLIENT_IF@ and @LAB_SERVER_ADDR@ stand for the lab's values. Leaves
#   $E2E_TMP/NAME.out, NAME.err  the command's standard output and error
#   $E2E_TMP/NAME.if             the lab's client device
#   qv_status                    the command's exit status (124: it was stopped)
# and prints both outputs for the test log. A lab that failed is a failed check.
qv_lab() {
  local name=$1 seconds=$2 lab_args=() lab_status=0
  shift 2
  while [ $# -gt 0 ] && [ "$1" != -- ]; do lab_args+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  local base=$E2E_TMP/$name
  rm -f -- "$base".out "$base".err "$base".status "$base".if
  # shellcheck disable=SC2016  # expanded inside the lab
  timeout -k 5 $((seconds + 60)) "$LAB" "${lab_args[@]}" -- bash -c '
    base=$1 seconds=$2
    shift 2
    echo "$LAB_CLIENT_IF" >"$base.if"
    set -- "${@//@LAB_CLIENT_IF@/$LAB_CLIENT_IF}"
    set -- "${@//@LAB_SERVER_ADDR@/$LAB_SERVER_ADDR}"
    status=0
    timeout -k 5 "$seconds" "$@" >"$base.out" 2>"$base.err" </dev/null || status=$?
    echo "$status" >"$base.status"' qv-lab "$base" "$seconds" "$@" || lab_status=$?
  qv_status=$(cat "$base.status" 2>/dev/null || echo none)
  echo "--- $name: status $qv_status"
  sed 's/^/  out| /' "$base.out" 2>/dev/null || true
  sed 's/^/  err| /' "$base.err" 2>/dev/null || true
  [ "$lab_status" -eq 0 ] || fail "$name: the lab failed (status $lab_status)"
}

# qv NAME SECONDS LAB-ARGS... -- QUORVELIN-ARGS...: qv_lab running quorvelin.
qv() {
  local head=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do head+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  qv_lab "${head[@]}" -- "$QUORVELIN" "$@"
}

# has_line FILE TEXT: the file holds TEXT as a whole line.
has_line() { grep -qxF -- "$2" "$1"; }

# last_line FILE: the file's last line.
last_line() { tail -n 1 "$1" 2>/dev/null; }

# reported_rate FILE: N from the last "Finished and report: N transactions
# per second." line, or -1.
reported_rate() {
  local n
  n=$(sed -n 's/^Finished and report: \([0-9][0-9]*\) transactions per second\.$/\1/p' "$1" | tail -n 1)
  echo "${n:--1}"
}

# column_sum FILE N: the sum of field N of the progress lines in FILE.
column_sum() {
  awk -v n="$2" '/^ *[0-9]+ +[0-9]+ +[0-9]+ +[0-9]+ \|/ { s += $n } END { print s + 0 }' "$1"
}

# xid_sequences PCAP FILTER: for each DHCPv6 transaction id in the capture
# (relay layers looked through), its message types in capture order, one
# "0x00002a: t1 t2 ..." line per id, ordered by id.
xid_sequences() {
  tshark -r "$1" -Y "$2" -T fields -E occurrence=a -E separator=/t \
    -e dhcpv6.xid -e dhcpv6.msgtype 2>/dev/null |
    awk -F'\t' '{
      n = split($2, t, ",")          # relay types first, the inner message last
      id = $1
      seq[id] = seq[id] " " t[n]
      if (!(id in seen)) { seen[id] = 1; ids[++count] = id }
    }
    END { for (i = 1; i <= count; i++) printf "%s:%s\n", ids[i], seq[ids[i]] }' |
    sort
}

# check_capture_sane PCAP WHAT: tshark decodes every DHCPv6 packet of the
# capture without a malformed packet or an error-level expert note.
check_capture_sane() {
  check "$2: no malformed DHCPv6 packet" \
    "$(tshark -r "$1" -Y 'dhcpv6 && _ws.malformed' 2>/dev/null | wc -l)" -eq 0
  check "$2: no Malformed or error note in the full decode" \
    "$(tshark -r "$1" -V 2>/dev/null | grep -c -e Malformed -e 'Expert Info (Error')" -eq 0
}

# expected_sequences COUNT "TYPES": what xid_sequences gives when clients 0
# to COUNT-1 each went through TYPES.
expected_sequences() {
  local i
  for ((i = 0; i < $1; i++)); do printf '0x%06x: %s\n' "$i" "$2"; done
}

# check_sequences PCAP FILTER COUNT "TYPES" WHAT: every client 0 to COUNT-1,
# and no other, went through TYPES in order.
check_sequences() {
  local got=$E2E_TMP/sequences.got want=$E2E_TMP/sequences.want
  xid_sequences "$1" "$2" >"$got"
  expected_sequences "$3" "$4" >"$want"
  if diff -q "$want" "$got" >/dev/null; then
    pass "$5"
  else
    fail "$5"
    diff "$want" "$got" | head -n 10 >&2 || true
  fi
}

# summary_follows NAME LINE: the line right after LINE (the mode's last line)
# in NAME's output: the summary block's headline.
summary_follows() {
  awk -v line="$2" 'found { print; exit } $0 == line { found = 1 }' "$E2E_TMP/$1.out"
}

# report_value FILE EXPRESSION: a Python expression over the --report FILE,
# whose every line must be one JSON object: `records` (all of them), `start`
# (the first), `ticks`, `events`, `summary` (the last record) and `step(k)`
# (the summary's k-th step, from 1). Prints the value (JSON for lists and
# objects), or "invalid: ..." when a line is not a JSON object.
report_value() {
  python3 - "$1" "$2" <<'PYTHON'
import json, sys
try:
    with open(sys.argv[1]) as f:
        records = [json.loads(line) for line in f]
    assert records and all(isinstance(r, dict) and "type" in r for r in records), "not one object per line"
except (ValueError, AssertionError, OSError) as e:
    print("invalid:", e)
    sys.exit()
start, summary = records[0], records[-1]
ticks = [r for r in records if r["type"] == "tick"]
events = [r for r in records if r["type"] == "event"]
step = lambda k: summary["steps"][k - 1]
value = eval(sys.argv[2])
print(json.dumps(value) if isinstance(value, (list, dict, bool)) else value)
PYTHON
}
