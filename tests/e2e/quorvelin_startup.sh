#!/usr/bin/env bash
# quorvelin's start-up in the lab: an unknown device and a client port that
# is already taken end the program with one error line and status 1, quiet
# or not, and so does a client port an ordinary user may not bind; with
# --quiet a successful test prints nothing; a debug log that takes no
# writes is reported once, and the test still runs to its report before it
# ends with status 1.
# shellcheck source=tests/e2e/lab.bash
source "$(dirname "$0")/lab.bash"

# hold PORT COMMAND...: runs the command while the test responder holds UDP
# PORT on all addresses of the client namespace.
# shellcheck disable=SC2016  # expanded inside the lab
hold='port=$1
shift
"$QUORVELIN_RESPONDER" --port "$port" >/dev/null 2>&1 &
holder=$!
for _ in $(seq 100); do [ -n "$(ss -Hlun "sport = :$port")" ] && break; sleep 0.1; done
[ -n "$(ss -Hlun "sport = :$port")" ] || { echo "port $port not held" >&2; exit 99; }
status=0
"$@" || status=$?
kill "$holder"
wait "$holder" 2>/dev/null || true
exit "$status"'

for quiet in "" -q; do
  in_lab nodevice 20 --server none -- "$QUORVELIN" ${quiet:+"$quiet"} --test-mode once --clients 5 qvnosuchdev0
  check "unknown device $quiet: status 1, one error line and nothing else" \
    "$status/$(cat "$T/nodevice.out")/$(cat "$T/nodevice.err")" = "1//Error: if_nametoindex: No such device"
  # With a relay list quorvelin receives on the server port instead.
  for port in 546 547; do
    relays=()
    [ $port = 546 ] || relays=("$EX/relay/two-relays.scn")
    in_lab bound 20 --server none -- bash -c "$hold" hold $port "$QUORVELIN" ${quiet:+"$quiet"} --test-mode once \
      --clients 5 @IF@ "${relays[@]}"
    check "port $port taken $quiet: status 1, one error line and nothing else" \
      "$status/$(cat "$T/bound.out")/$(cat "$T/bound.err")" = "1//Error: bind: Address already in use"
  done
done

# An ordinary user may not bind the DHCPv6 ports: the error names the port
# and the command that grants the capability to this very binary. The lab's
# fresh namespace has the kernel's default privileged ports (below 1024).
binary=$(readlink -f "$QUORVELIN")
for port in 546 547; do
  relays=()
  [ $port = 546 ] || relays=("$EX/relay/two-relays.scn")
  in_lab unprivileged 20 --server none -- setpriv --reuid=nobody --regid=nogroup --clear-groups "$QUORVELIN" \
    --test-mode once --clients 5 lo "${relays[@]}"
  check "port $port as nobody: status 1, one error line that says what the port needs" \
    "$status/$(cat "$T/unprivileged.out")/$(cat "$T/unprivileged.err")" = "1//Error: bind: Permission denied: UDP \
port $port needs root or the capability CAP_NET_BIND_SERVICE; to run without root, grant it to the binary once: \
setcap cap_net_bind_service=+ep $binary"
done

qv fulllog 30 --server responder -- --test-mode once --clients 5 --log-file /dev/full @IF@
check "full log: status 1, the report, one error line" "$status/$(last fulllog)/$(cat "$T/fulllog.err")" = \
  "1/Finished and report: 5 transactions per second./Error: debug log /dev/full: write failed: No space left on device"

qv quiet 30 --server kea -- -q --test-mode once --clients 50 --log-file "$T/quiet.log" @IF@
check "quiet: status 0, nothing on stdout or stderr" "$status/$(cat "$T/quiet.out" "$T/quiet.err")" = 0/
check "quiet: all 50 clients got their three answers" "$(grep -c "^# received xid:" "$T/quiet.log" || true)" -eq 150

finish
