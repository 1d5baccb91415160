#!/usr/bin/env bash
# quorvelin against the test responder's misbehaviour switches: the highload
# search finds a server's limit of new clients per second; refused IAs,
# dropped requests and duplicate answers have the effects the test modes
# promise; the debug log records the start, the scenarios and the packets.
# shellcheck source=tests/e2e/common.bash
source "$(dirname "$0")/common.bash"
# shellcheck source=tests/e2e/quorvelin.bash
source "$(dirname "$0")/quorvelin.bash"
require_lab
EX=$SOURCE_DIR/examples

# Highload search against a server that serves at most LIMIT new clients
# per second. Test runs of 3 s with a 1-s timeout judge at least one whole
# second of the responder's limit, so the search settles on the limit
# itself. A low limit keeps the bisection short (its steps halve the
# distance from 0 to the probe's high-water mark, down to 2).
LIMIT=50
search_limit() {
  qv limit 150 --server responder --responder-args "--max-new-per-second $LIMIT" -- \
    --test-duration 3 --timeout 1 --clients 40 --summary --report "$E2E_TMP/limit.jsonl" @LAB_CLIENT_IF@
  rate=$(reported_rate "$E2E_TMP/limit.out")
  [ "$qv_status" = 0 ] && [ "$rate" -ge $((LIMIT * 9 / 10)) ] && [ "$rate" -le $((LIMIT * 11 / 10)) ]
}
if ! search_limit; then
  echo "--- highload search missed the limit ($rate, status $qv_status): once more"
  search_limit || true
fi
check "limit: exit status 0" "$qv_status" = 0
marks=$(report_value "$E2E_TMP/limit.jsonl" '[summary["low_water"], summary["high_water"]]')
check "limit: search ends with its report, then the summary" \
  "$(summary_follows limit "Finished and report: $rate transactions per second.")" = \
  "$(sed -E 's/\[(.*), (.*)\]/Summary: highload test, '"$rate"' clients\/second; low-water mark \1, high-water mark \2/' <<<"$marks")"
check "limit: the report's result is the reported rate" "$(report_value "$E2E_TMP/limit.jsonl" 'summary["result"]')" = "$rate"
check "limit: every decision line is an event with its text" \
  "$(report_value "$E2E_TMP/limit.jsonl" '"\n".join(e["text"] for e in events if e["text"] and not e["text"].startswith("#"))')" = \
  "$(grep -v -e '|' -e '^Beginning DHCPv6' -e '^Summary' -e '^# delayd' "$E2E_TMP/limit.out" | sed '/^Finished and report/q')"
check "limit: reported rate $rate within 10 % of $LIMIT" "$rate" -ge $((LIMIT * 9 / 10)) -a "$rate" -le $((LIMIT * 11 / 10))

# Refused IAs: no REQUEST can be built from the ADVERTISE, every client
# times out, and the debug log names the refusal once per client.
log=$E2E_TMP/refuse.log
qv refuse 30 --server responder --responder-args --refuse -- \
  --test-mode once --clients 20 --timeout 1 -v --log-file "$log" @LAB_CLIENT_IF@
out=$E2E_TMP/refuse.out
check "refuse: exit status 0" "$qv_status" = 0
check "refuse: no client completed" "$(last_line "$out")" = "Finished and report: 0 transactions per second."
check "refuse: all 20 clients timed out" "$(column_sum "$out" 3)" -eq 20
check "refuse: the debug log names each refusal" \
  "$(grep -cxF '# failed status-code=2:NoAddrAvail on 3:IA_NA iaid=1' "$log" || true)" -eq 20
check "refuse: the hint says replies came but no client got through" "$(cat "$E2E_TMP/refuse.err")" = \
  "Hint: no client completed: replies reached clients but no client got through its scenario (--log-file shows refused IAs and messages that could not be built)."

# No answers at all: the probe gives up at its first timeouts.
qv silent 30 --server responder --responder-args "--drop-percent 100" -- \
  -v --timeout 1 --clients 100 @LAB_CLIENT_IF@
out=$E2E_TMP/silent.out
check "silent: exit status 0" "$qv_status" = 0
check "silent: the probe is unable to continue" "$(last_line "$out")" = "Unable to continue."
check "silent: no report" "$(grep -c '^Finished' "$out" || true)" -eq 0
check "silent: timeouts were counted" "$(column_sum "$out" 3)" -gt 0
check "silent: the hint says no reply arrived" "$(cat "$E2E_TMP/silent.err")" = \
  "Hint: no client completed: no reply arrived at all."

# Endless: 5 % of requests dropped is far above the 0.1 % allowed, so the
# test ends with its report at the first tick that counts timeouts.
qv endless_drop 30 --server responder --responder-args "--drop-percent 5" -- \
  --test-mode endless -v --timeout 1 --test-duration 2 --clients 200 @LAB_CLIENT_IF@
out=$E2E_TMP/endless_drop.out
check "endless, drops: exit status 0" "$qv_status" = 0
check "endless, drops: start line first" "$(head -n 1 "$out")" = "Beginning DHCPv6 load endless test."
check "endless, drops: ends with its report" "$(last_line "$out")" = "Finished and report: 200 transactions per second."
check "endless, drops: timeouts were counted" "$(column_sum "$out" 3)" -gt 0

# Endless without failures does not end by itself: it cycles through sending
# and pausing (results cleared at each restart) until it is stopped.
qv endless_clean 6 --server responder -- \
  --test-mode endless -v --timeout 1 --test-duration 2 --clients 200 @LAB_CLIENT_IF@
out=$E2E_TMP/endless_clean.out
check "endless, no drops: still running when stopped" "$qv_status" = 124
check "endless, no drops: no report" "$(grep -c '^Finished' "$out" || true)" -eq 0
check "endless, no drops: no timeouts" "$(column_sum "$out" 3)" -eq 0
check "endless, no drops: results cleared for a new cycle" \
  "$(awk '/\|/ { if ($2 < last) cleared = 1; last = $2 } END { print cleared + 0 }' "$out")" -eq 1

# Endless against a server that never answers, with cycles no longer than
# the timeout: the pause lasts until every client of the cycle has timed
# out, so the run ends by itself at its first failing second and no client
# is cleared uncounted.
for t in 1 2; do
  qv "dead_t$t" 15 --server none -- \
    --test-mode endless -v --timeout 3 -t "$t" --clients 100 --summary @LAB_CLIENT_IF@
  out=$E2E_TMP/dead_t$t.out
  check "endless, dead server, -t $t: ends by itself, status 0" "$qv_status" = 0
  check "endless, dead server, -t $t: ends with its report" \
    "$(grep -c '^Finished and report: 100 transactions per second\.$' "$out" || true)" -eq 1
  # The first clients time out 3 s after tick 0, at tick 3 (or 4 when they
  # were sent after that tick's lateness).
  check "endless, dead server, -t $t: ends at the first second with timeouts, tick 3 or 4" \
    "$(awk '/\|/ { n++; if ($3 > 0 && !first) first = n } END { print (first == n && (n == 4 || n == 5)) ? "yes" : first " of " n }' "$out")" = yes
  check "endless, dead server, -t $t: every client started is timed out or pending, none cleared" \
    "$(sed -n 's/^Clients: \([0-9]*\) started, 0 completed, \([0-9]*\) timed out (0 after .*), \([0-9]*\) pending, 0 cleared$/\1 \2 \3/p' "$out" |
      awk -v t="$(column_sum "$out" 3)" '{ print ($1 == $2 + $3 && $2 == t && $2 > 0) ? $1 : "bad: " $0 }')" = $((100 * t))
done

# Duplicate answers: only the answer to the message a client waits on moves
# it on, so each client sends its REQUEST after an ADVERTISE and its RELEASE
# only after a REPLY that follows its REQUEST; the extra answers are ignored
# and every client completes.
slog=$E2E_TMP/twice.responder
pcap=$E2E_TMP/twice.pcap
qv twice 30 --server responder --responder-args --answer-twice --server-log "$slog" --capture "$pcap" -- \
  --test-mode once --clients 200 -v --timeout 1 @LAB_CLIENT_IF@
out=$E2E_TMP/twice.out
cat "$slog"
check "twice: exit status 0" "$qv_status" = 0
check "twice: all 200 clients completed" "$(last_line "$out")" = "Finished and report: 200 transactions per second."
check "twice: no timeouts" "$(column_sum "$out" 3)" -eq 0
check "twice: the responder answered every message twice" \
  "$(responder_count "$slog" sent)" -eq $((2 * $(responder_count "$slog" answered)))
check "twice: each client sent three messages" "$(responder_count "$slog" received)" -eq 600
misordered=$(xid_sequences "$pcap" dhcpv6 | awk '{
    state = 0                      # 1: REQUEST sent, 2: then a REPLY came
    for (i = 2; i <= NF; i++) {
      if ($i == 3 && state == 0) state = 1
      else if ($i == 7 && state == 1) state = 2
      else if ($i == 8 && state != 2) { bad++; break }
    }
  } END { print bad + 0 }')
check "twice: no RELEASE left before its REQUEST was answered ($misordered)" "$misordered" -eq 0
check "twice: every client in the capture" "$(xid_sequences "$pcap" dhcpv6 | grep -c ' 8 ' || true)" -eq 200

# Debug log: start line, the three built-in scenarios, the socket's
# endpoints, one line per matched datagram; a second run appends, here with
# two relay layers in front of the built-in messages.
log=$E2E_TMP/debug.log
qv debug 30 --server responder -- --test-mode once --clients 5 --log-file "$log" @LAB_CLIENT_IF@
check "debug: exit status 0" "$qv_status" = 0
ifname=$(cat "$E2E_TMP/debug.if")
dump() {
  local relays=$1 type
  for type in 1 3 8; do
    printf '%s RELAYS=%s\n\n    [1] 1 = @auto\n    [2] 2 = @auto\n' "$type" "$relays"
    printf '    [3] 3 IAID=1 T1=0 T2=0 OPTIONS=\n        [1] 5 = @auto\n\n'
  done
}
start='------------------------------- quorvelin start -------------------------------'
{
  echo "$start"
  dump 0
  echo "# send:[ff02::1:2%$ifname]:547 recv:[::]:546"
} >"$E2E_TMP/debug.want"
head -n "$(wc -l <"$E2E_TMP/debug.want")" "$log" >"$E2E_TMP/debug.head"
if diff "$E2E_TMP/debug.want" "$E2E_TMP/debug.head" >&2; then
  pass "debug: start line, scenario dumps and endpoints"
else
  fail "debug: start line, scenario dumps and endpoints"
fi
received=$(grep -c "^# received xid:[0-4] from:\[fe80::1%$ifname\]:547\$" "$log" || true)
check "debug: three received lines per client ($received)" "$received" -eq 15
for xid in 0 1 2 3 4; do
  check "debug: client $xid received three answers" \
    "$(grep -c "^# received xid:$xid from:" "$log" || true)" -eq 3
done
check "debug: nothing else logged" "$(wc -l <"$log")" -eq $(($(wc -l <"$E2E_TMP/debug.want") + 15))

qv debug_relay 30 --server responder -- --test-mode once --clients 5 --log-file "$log" \
  @LAB_CLIENT_IF@ "$EX"/relay/two-relays.scn
check "debug, relay: exit status 0" "$qv_status" = 0
check "debug, relay: all 5 clients completed" "$(last_line "$E2E_TMP/debug_relay.out")" = "Finished and report: 5 transactions per second."
check "debug, relay: the second run appended its start line" "$(grep -cxF -- "$start" "$log")" -eq 2
dump 2 >"$E2E_TMP/debug_relay.want"
awk -v s="$start" '$0 == s { runs++; next } runs == 2' "$log" | head -n "$(wc -l <"$E2E_TMP/debug_relay.want")" \
  >"$E2E_TMP/debug_relay.got"
if diff "$E2E_TMP/debug_relay.want" "$E2E_TMP/debug_relay.got" >&2; then
  pass "debug, relay: the built-in messages dumped with two relay layers"
else
  fail "debug, relay: the built-in messages dumped with two relay layers"
fi
check "debug, relay: sent to All_DHCP_Servers, received on port 547" \
  "$(grep -c '^# send:\[ff05::1:3%[0-9a-z]*\]:547 recv:\[::\]:547$' "$log" || true)" -eq 1
check "debug, relay: answers come from the server's address" \
  "$(grep -c '^# received xid:[0-4] from:\[2001:db8:1::1\]:547$' "$log" || true)" -eq 15

finish
