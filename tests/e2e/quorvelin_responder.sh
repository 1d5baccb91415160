#!/usr/bin/env bash
# quorvelin against the test responder's misbehaviour switches: the highload
# search finds a server's limit of new clients per second; refused IAs, a
# server that never answers and duplicate answers have the effects the test
# modes promise. (A refusal among the answer's own options is met in the
# dnsmasq test, which puts it there.)
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
    --test-duration 3 --timeout 1 --clients 40 --summary --report "$T/limit.jsonl" @IF@
  [ "$status" = 0 ] && [ "$(rate limit)" -ge $((LIMIT * 9 / 10)) ] && [ "$(rate limit)" -le $((LIMIT * 11 / 10)) ] && break
  echo "--- attempt $attempt: the highload search missed the limit"
done
check "limit: exit status 0, the report line, then the summary with the marks" \
  "$status/$(summary_follows limit "Finished and report: $(rate limit) transactions per second.")" = "0/$(report limit \
  '"Summary: highload test, %d clients/second; low-water mark %d, high-water mark %d" % (summary["result"],
  summary["low_water"], summary["high_water"])')"
check "limit: every decision line is an event with its text" \
  "$(report limit '"\n".join(e["text"] for e in events if e["text"] and not e["text"].startswith("#"))')" = \
  "$(grep -v -e '|' -e '^Beginning DHCPv6' -e '^Summary' -e '^# delayd' "$T/limit.out" | sed '/^Finished and report/q')"
check "limit: reported rate $(rate limit) within 10 % of $LIMIT" \
  "$(rate limit)" -ge $((LIMIT * 9 / 10)) -a "$(rate limit)" -le $((LIMIT * 11 / 10))

# Refused IAs: no REQUEST can be built from the ADVERTISE, every client
# stalls and times out; the debug log names the refusal once per client, the
# summary and the report count it by status at the SOLICIT step.
qv refuse 30 --server responder --responder-args --refuse -- --test-mode once --clients 20 --timeout 1 -v \
  --log-file "$T/refuse.log" --summary --report "$T/refuse.jsonl" @IF@
check "refuse: exit status 0, no client completed, the summary names the status" "$status/$(count refuse \
  '^Finished and report: 0 transactions per second\.$')/$(count refuse '^Refused at step 1 SOLICIT: 2:NoAddrAvail 20$')" \
  = 0/1/1
check "refuse: 20 refusals with NoAddrAvail at the SOLICIT step, every client stalled and timed out" \
  "$(report refuse '[step(1)["refused"], step(2)["sent"], summary["clients"]["timed_out"], summary["clients"]["stalled"]]')" \
  = '[{"2": 20}, 0, 20, 20]'
check "refuse: the debug log names each refusal" \
  "$(grep -cxF '# failed status-code=2:NoAddrAvail on 3:IA_NA iaid=1' "$T/refuse.log" || true)" -eq 20
check "refuse: the hint says replies came but no client got through" "$(cat "$T/refuse.err")" = "Hint: no client \
completed: replies reached clients but no client got through its scenario (--log-file shows refused IAs and messages \
that could not be built)."

# Endless against a server that never answers, cycles no longer than the
# timeout: the pause lasts until every client of the cycle has timed out, so
# the run ends by itself at its first tick with timeouts (3, or 4 for clients
# sent late in tick 0), each client started counted, none cleared.
for t in 1 2; do
  qv "dead$t" 15 --server none -- --test-mode endless -v --timeout 3 -t "$t" --clients 100 --report "$T/dead$t.jsonl" @IF@
  check "endless, dead server, -t $t: status 0, ends with its report at its first tick with timeouts, counts all" \
    "$status/$(head -n 1 "$T/dead$t.out")/$(last "dead$t")/$(report "dead$t" '[
    [t["tick"] for t in ticks if t["timeouts"]][:1] == [ticks[-1]["tick"]], ticks[-1]["tick"] in (3, 4),
    summary["clients"]["timed_out"] > 0, summary["clients"]["started"] - summary["clients"]["timed_out"] -
    summary["clients"]["pending"], summary["clients"]["cleared"], summary["clients"]["started"]]')" = \
    "0/Beginning DHCPv6 load endless test./Finished and report: 100 transactions per second./[true, true, true, 0, 0, \
$((100 * t))]"
done

# Duplicate answers: only the answer to the message a client waits on moves
# it on, so each client sends its REQUEST after an ADVERTISE and its RELEASE
# only after a REPLY that follows its REQUEST; the extra answers are counted
# as duplicates, or unmatched once the client completed.
qv twice 30 --server responder --responder-args --answer-twice --server-log "$T/twice.responder" \
  --capture "$T/twice.pcap" -- --test-mode once --clients 200 -v --timeout 1 --report "$T/twice.jsonl" @IF@
check "twice: exit status 0, all 200 clients completed" "$status/$(last twice)" = \
  "0/Finished and report: 200 transactions per second."
check "twice: the responder got three messages per client and answered each twice" \
  "$(responder_count "$T/twice.responder" received)/$(responder_count "$T/twice.responder" sent)" = 600/1200
check_capture "$T/twice.pcap" twice 200 "1 2 3 7 8 7" awaited
check "twice: each step answered once per client, the other 600 duplicates or unmatched" \
  "$(report twice '[summary["result"]] + [s["answered"] for s in summary["steps"]] + [sum(s["duplicates"]
    for s in summary["steps"]) + summary["unmatched_replies"], summary["received"]]')" = '[200, 200, 200, 200, 600, 1200]'

finish
