#!/usr/bin/env bash
# What a real client gets right: an ADVERTISE where Rapid Commit asked for a
# REPLY stops the client under a reason of its own; a RELEASE answered
# NoBinding is done; --seed repeats the retransmission jitter and without it runs
# differ; a preferred lifetime of 0 raises the client's own times instead
# of renewing in a storm; IAs that are all discarded bind nothing and say so;
# a signal during a population releases it; a generator that falls behind
# says so and fails the gate.
# shellcheck source=tests/e2e/lab.bash
source "$(dirname "$0")/lab.bash"

# Kea without rapid commit answers the Rapid Commit SOLICIT with an
# ADVERTISE; the example's next message is a RELEASE, so no client has a
# binding to release: none completes, each under the new reason.
qv rapid 30 --server kea -- --test-mode once --clients 20 --timeout 2 --summary --report "$T/rapid.jsonl" @IF@ \
  "$EX"/rapid-commit/*.scn
check "rapid: 0 of 20 completed, 20 under the reason of their own" "$status/$(count rapid \
  '^Summary: once test, 0 of 20 clients completed$')/$(count rapid \
  '^Rapid commit not honoured at step 1 SOLICIT: 20$')" = 0/1/1
check "rapid: the report counts them at step 1, the clients stalled, no RELEASE sent" "$(report rapid \
  '[step(1)["rapid_commit_not_honoured"], summary["clients"]["stalled"], step(2)["sent"], sum(step(1)["refused"].values())]')" \
  = '[20, 20, 0, 0]'

# A RELEASE of an address only advertised: Kea answers NoBinding, and the
# release is done all the same.
qv nobinding 30 --server kea -- --test-mode once --clients 20 --summary --report "$T/nobinding.jsonl" @IF@ \
  "$EX"/default/1-solicit.scn "$EX"/default/3-release.scn
check "nobinding: 20 of 20 completed, 20 released without a binding" "$status/$(count nobinding \
  '^Summary: once test, 20 of 20 clients completed$')/$(count nobinding \
  '^Released without a binding at step 2 RELEASE: 20$')" = 0/1/1
check "nobinding: none refused" "$(report nobinding 'sum(step(2)["refused"].values())')" = 0

# Kea answers a RENEW with the very bytes it answered the REQUEST with (one
# transaction id per client): still the RENEW's answer, and the client
# releases after it.
qv renew 30 --server kea -- --test-mode once --clients 20 --summary @IF@ "$EX"/renew/*.scn
check "renew: 20 of 20 completed, no duplicates" "$status/$(count renew \
  '^Summary: once test, 20 of 20 clients completed$')/$(awk '/^[1-4] [A-Z]+ / && NF == 9 { d += $7 } END { print d + 0 }' \
  "$T/renew.out")" = 0/1/0

# Retransmissions: the responder drops the first SOLICIT of every client.
# offsets NAME: each client's second SOLICIT, in ms after its first.
offsets() {
  tshark -r "$T/$1.pcap" -Y 'dhcpv6.msgtype == 1' -T fields -e dhcpv6.xid -e frame.time_relative 2>/dev/null |
    awk '{ if (first[$1] == "") first[$1] = $2; else if (!done[$1]++) printf "%s %d\n", $1, ($2 - first[$1]) * 1000 }' |
    sort
}
for run in seed-a seed-b; do
  qv "$run" 30 --server responder --capture "$T/$run.pcap" --responder-args "--drop-first 1" -- \
    --test-mode once --clients 10 --retransmit --timeout 4 --seed 7 --summary @IF@
done
for run in clock-a clock-b; do
  qv "$run" 30 --server responder --capture "$T/$run.pcap" --responder-args "--drop-first 1" -- \
    --test-mode once --clients 10 --retransmit --timeout 4 --summary @IF@
done
# same A B TOLERANCE-MS: the clients whose offsets differ by more than it.
differing() { join <(offsets "$1") <(offsets "$2") | awk -v t="$3" '{ d = $2 - $3; if (d < -t || d > t) n++ } END { print n + 0 }'; }
check "seed: both runs retransmitted for all 10 clients" "$(offsets seed-a | wc -l)/$(offsets seed-b | wc -l)" = 10/10
check "seed: --seed 7 twice sends every retransmission at the same offset (within 10 ms)" \
  "$(differing seed-a seed-b 10)" -eq 0
check "seed: without --seed the offsets differ" "$(differing clock-a clock-b 20)" -gt 0
check "seed: the seed is printed in the summary" "$(count seed-a '^Seed: 7$')" -eq 1

# A preferred lifetime of 0: T1 and T2 left to the client come out at 0;
# raised to 10 s and 16 s of lease time (1 s and 1.6 s at 10 times) each
# subscriber renews about once a second instead of without pause.
qv zero 40 --server responder --responder-args "--lease-times 0,0,0,400" -- \
  --test-mode population --population 200 --clients 200 --time-compression 10 -t 6 --summary \
  --report "$T/zero.jsonl" @IF@
check "zero: exit status 0, the grants counted as raised" "$status/$(count zero '^Timers raised: ')" = 0/1
check "zero: about one RENEW per subscriber and second, no REBIND" "$(report zero '[
  summary["population"]["renew"]["sent"] <= 1400, summary["population"]["rebind"]["sent"],
  summary["population"]["timers_raised"] >= 200]')" = '[true, 0, true]'

# T1 above T2 in every IA: discarded, nothing binds; a hint says why, the
# count is in the report, and --fail-below sees the result of 0.
qv discarded 30 --server responder --responder-args "--lease-times 2000,1000,3000,4000" -- \
  --test-mode population --population 50 --clients 50 -t 3 --fail-below 1 --report "$T/discarded.jsonl" @IF@
check "discarded: exit status 3, the hint on standard error" "$status/$(grep -c \
  '^Hint: [0-9]* clients completed with a REPLY that bound nothing a client may keep' "$T/discarded.err")" = 3/1
check "discarded: counted as not bound, none bound" "$(report discarded \
  '[summary["population"]["not_bound"] >= 50, summary["result"]]')" = '[true, 0]'

# SIGINT 5 s into a population of 500 against Kea: the releases begin at
# once, the test ends when they are answered, and Kea holds no lease.
# shellcheck disable=SC2016  # expanded inside the lab
in_lab interrupt 60 -- bash -c '
  "$QUORVELIN" --test-mode population --population 500 --clients 500 --time-compression 100 -t 60 --summary \
    "$LAB_CLIENT_IF" &
  pid=$!
  sleep 5
  echo before: "$(python3 "$1" "$LAB_DIR/kea.sock")"
  kill -INT "$pid"
  wait "$pid" && status=0 || status=$?
  echo after: "$(python3 "$1" "$LAB_DIR/kea.sock")"
  exit $status' interrupt-run "$SOURCE_DIR/tests/e2e/kea_assigned.py"
check "interrupt: status 130, the releases announced, 500 bound when the signal came" "$status/$(count interrupt \
  '^Releasing 500 bound subscribers\.$')/$(count interrupt \
  '^Summary: population test, 500 of 500 subscribers bound at the end; interrupted$')" = 130/1/1
check "interrupt: Kea held 500 leases before and none after" "$(grep -c -e '^before: 500$' -e '^after: 0$' \
  "$T/interrupt.out")" -eq 2

# A generator stopped for 2 s mid-test (SIGSTOP) starts its next second
# late: it says the figures are its own, and --fail-below fails the run.
# shellcheck disable=SC2016  # expanded inside the lab
in_lab stopped 40 --server responder -- bash -c '
  "$QUORVELIN" --test-mode once --clients 2000 --timeout 6 --summary --fail-below 1 "$LAB_CLIENT_IF" &
  pid=$!
  sleep 0.5
  kill -STOP "$pid"
  sleep 2
  kill -CONT "$pid"
  wait "$pid"' stopped-run
check "stopped: exit status 3 with the saturation line and hint" "$status/$(count stopped \
  '^Generator saturated: .* ticks up to [0-9]* ms late; the figures measure this generator, not the server$')/$(
  grep -c '^Hint: the generator was saturated' "$T/stopped.err")" = 3/1/1

finish
