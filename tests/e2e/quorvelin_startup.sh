#!/usr/bin/env bash
# quorvelin's start-up in the lab: an unknown device and a client port that
# is already taken end the program with one error line and status 1; with
# --quiet a successful test prints nothing and a failed one only its error;
# a debug log that takes no writes is reported once, and the test still runs
# to its report before it ends with status 1.
# shellcheck source=tests/e2e/common.bash
source "$(dirname "$0")/common.bash"
# shellcheck source=tests/e2e/quorvelin.bash
source "$(dirname "$0")/quorvelin.bash"
require_lab

# check_error NAME TEXT: the run failed with status 1, wrote nothing to
# standard output and exactly TEXT to standard error.
check_error() {
  check "$1: status 1" "$qv_status" = 1
  check "$1: nothing on stdout" ! -s "$E2E_TMP/$1.out"
  check "$1: stderr is the error alone" "$(cat "$E2E_TMP/$1.err")" = "$2"
  check "$1: stderr is one line" "$(wc -l <"$E2E_TMP/$1.err")" -eq 1
}

qv nodevice 20 --server none -- --test-mode once --clients 5 qvnosuchdev0
check_error nodevice "Error: if_nametoindex: No such device"

qv nodevice_quiet 20 --server none -- -q --test-mode once --clients 5 qvnosuchdev0
check_error nodevice_quiet "Error: if_nametoindex: No such device"

# hold PORT COMMAND...: runs the command while the test responder holds UDP
# PORT on all addresses of the client namespace.
# shellcheck disable=SC2016  # expanded inside the lab
hold='port=$1
shift
"$QUORVELIN_RESPONDER" --port "$port" >/dev/null 2>&1 &
holder=$!
for _ in $(seq 100); do
  [ -n "$(ss -Hlun "sport = :$port")" ] && break
  sleep 0.1
done
[ -n "$(ss -Hlun "sport = :$port")" ] || { echo "port $port not held" >&2; exit 99; }
status=0
"$@" || status=$?
kill "$holder"
wait "$holder" 2>/dev/null || true
exit "$status"'

qv_lab bound546 20 --server none -- bash -c "$hold" hold 546 \
  "$QUORVELIN" --test-mode once --clients 5 @LAB_CLIENT_IF@
check_error bound546 "Error: bind: Address already in use"

qv_lab bound546_quiet 20 --server none -- bash -c "$hold" hold 546 \
  "$QUORVELIN" -q --test-mode once --clients 5 @LAB_CLIENT_IF@
check_error bound546_quiet "Error: bind: Address already in use"

# With a relay list quorvelin receives on the server port instead.
qv_lab bound547 20 --server none -- bash -c "$hold" hold 547 \
  "$QUORVELIN" --test-mode once --clients 5 @LAB_CLIENT_IF@ "$SOURCE_DIR/examples/relay/two-relays.scn"
check_error bound547 "Error: bind: Address already in use"

qv fulllog 30 --server responder -- --test-mode once --clients 5 --log-file /dev/full @LAB_CLIENT_IF@
check "fulllog: status 1" "$qv_status" = 1
check "fulllog: the report" "$(last_line "$E2E_TMP/fulllog.out")" = "Finished and report: 5 transactions per second."
check "fulllog: one error line" \
  "$(cat "$E2E_TMP/fulllog.err")" = "Error: debug log /dev/full: write failed: No space left on device"

# Quiet and successful: nothing at all, status 0.
qv quiet 30 --server kea -- -q --test-mode once --clients 50 --log-file "$E2E_TMP/quiet.log" @LAB_CLIENT_IF@
check "quiet: status 0" "$qv_status" = 0
check "quiet: nothing on stdout" ! -s "$E2E_TMP/quiet.out"
check "quiet: nothing on stderr" ! -s "$E2E_TMP/quiet.err"
check "quiet: all 50 clients got their three answers" \
  "$(grep -c "^# received xid:" "$E2E_TMP/quiet.log" || true)" -eq 150

finish
