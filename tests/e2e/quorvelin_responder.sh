#!/usr/bin/env bash
# quorvelin against the test responder's misbehaviour switches: the highload
# search finds a server's limit of new clients per second; refused IAs,
# dropped requests and duplicate answers have the effects the test modes
# promise.
# shellcheck source=tests/e2e/lab.bash
source "$(dirname "$0")/lab.bash"

# Highload search against a server that serves at most LIMIT new clients per
# second. Test runs of 3 s with a 1-s timeout judge at least one whole second
# of the limit, so the search settles on the limit itself. A low limit keeps
# the bisection short (its steps halve the distance from 0 to the probe's
# high-water mark, down to 2).
LIMIT=50
for attempt in 1 2; do
  qv limit 150 --server responder --responder-args "--max-new-per-second $LIMIT" -- \
    --test-duration 3 --timeout 1 --clients 40 @IF@
  [ "$status" = 0 ] && [ "$(rate limit)" -ge $((LIMIT * 9 / 10)) ] && [ "$(rate limit)" -le $((LIMIT * 11 / 10)) ] && break
  echo "--- attempt $attempt: the highload search missed the limit"
done
check "limit: exit status 0, ends with its report" "$status/$(last limit)" = \
  "0/Finished and report: $(rate limit) transactions per second."
check "limit: reported rate $(rate limit) within 10 % of $LIMIT" \
  "$(rate limit)" -ge $((LIMIT * 9 / 10)) -a "$(rate limit)" -le $((LIMIT * 11 / 10))

# Refused IAs: no REQUEST can be built from the ADVERTISE, every client times
# out, and the debug log names the refusal once per client.
qv refuse 30 --server responder --responder-args --refuse -- \
  --test-mode once --clients 20 --timeout 1 -v --log-file "$T/refuse.log" @IF@
check "refuse: exit status 0, no client completed" "$status/$(last refuse)" = "0/Finished and report: 0 transactions per second."
check "refuse: all 20 clients timed out" "$(column refuse 3)" -eq 20
check "refuse: the debug log names each refusal" \
  "$(grep -cxF '# failed status-code=2:NoAddrAvail on 3:IA_NA iaid=1' "$T/refuse.log" || true)" -eq 20
check "refuse: the hint says replies came but no client got through" "$(cat "$T/refuse.err")" = "Hint: no client \
completed: replies reached clients but no client got through its scenario (--log-file shows refused IAs and messages \
that could not be built)."

# No answers at all: the probe gives up at its first timeouts.
qv silent 30 --server responder --responder-args "--drop-percent 100" -- -v --timeout 1 --clients 100 @IF@
check "silent: exit status 0, the probe is unable to continue" "$status/$(last silent)" = "0/Unable to continue."
check "silent: timeouts counted, no report" "$(column silent 3)" -gt 0 -a "$(count silent '^Finished')" -eq 0
check "silent: the hint says no reply arrived" "$(cat "$T/silent.err")" = "Hint: no client completed: no reply arrived at all."

# Endless: 5 % of requests dropped is far above the 0.1 % allowed, so the
# test ends with its report at the first tick that counts timeouts.
qv endless_drop 30 --server responder --responder-args "--drop-percent 5" -- \
  --test-mode endless -v --timeout 1 --test-duration 2 --clients 200 @IF@
check "endless, drops: start line first" "$(head -n 1 "$T/endless_drop.out")" = "Beginning DHCPv6 load endless test."
check "endless, drops: exit status 0, ends with its report" "$status/$(last endless_drop)" = \
  "0/Finished and report: 200 transactions per second."
check "endless, drops: timeouts were counted" "$(column endless_drop 3)" -gt 0

# Without failures it does not end by itself: it cycles through sending and
# pausing (results cleared at each restart) until it is stopped.
qv endless_clean 6 --server responder -- --test-mode endless -v --timeout 1 --test-duration 2 --clients 200 @IF@
check "endless, no drops: still running when stopped, no report" "$status/$(count endless_clean '^Finished')" = 124/0
check "endless, no drops: no timeouts" "$(column endless_clean 3)" -eq 0
check "endless, no drops: results cleared for a new cycle" \
  "$(awk '/\|/ { if ($2 < last) cleared = 1; last = $2 } END { print cleared + 0 }' "$T/endless_clean.out")" -eq 1

# Duplicate answers: every datagram matching a live client advances it by one
# message, so the second ADVERTISE already draws the RELEASE and the first
# REPLY completes the client; the rest are dropped unlogged.
qv twice 30 --server responder --responder-args --answer-twice --server-log "$T/twice.responder" -- \
  --test-mode once --clients 200 -v --timeout 1 --log-file "$T/twice.log" @IF@
check "twice: exit status 0, all 200 clients completed" "$status/$(last twice)" = \
  "0/Finished and report: 200 transactions per second."
check "twice: no timeouts" "$(column twice 3)" -eq 0
check "twice: the responder got three messages per client and answered each twice" \
  "$(responder_count "$T/twice.responder" received)/$(responder_count "$T/twice.responder" sent)" = 600/1200
check "twice: each client completed on its third datagram" \
  "$(grep -o '^# received xid:[0-9]* ' "$T/twice.log" | sort | uniq -c | awk '$1 == 3' | wc -l)" -eq 200

finish
