#!/usr/bin/env bash
# Several generators, one test: segments of one once test against Kea, each
# on its own address of the client link, started together and merged; the
# capacity ramp against the test responder capped at a known rate, one
# generator at the whole rate beside three segments merged; and the errors
# of an address that is not the device's.
# shellcheck source=tests/e2e/lab.bash
source "$(dirname "$0")/lab.bash"
MERGE=$SOURCE_DIR/scripts/merge

# Three once segments of a test of 6,000 clients against Kea, SOLICIT and
# REQUEST only so that every lease stays assigned: 6,000 completed, and Kea
# counts 6,000 leases, so no two generators shared a client.
# shellcheck disable=SC2016  # expanded inside the lab
SEGMENTS_AFTER='python3 "$KEA_STATS" "$LAB_DIR/kea.sock" >"$base.kea"' KEA_STATS=$SOURCE_DIR/tests/e2e/kea_assigned.py \
  segments once 60 3 --server kea -- --test-mode once --clients 6000 --timeout 2 \
  "$EX/default/1-solicit.scn" "$EX/default/2-request.scn"
check "once: each segment waited for the start and completed its 2,000" "$(cat "$T"/once-?.out | grep -c \
  -e '^Waiting until .* to begin\.$' -e '^Finished and report: 2000 transactions per second\.$')" -eq 6
"$MERGE" -o "$T/once.jsonl" "$T"/once-{2,0,1}.jsonl
check "once: the merged report has 6,000 of 6,000 completed, none timed out" \
  "$(report once '[summary["result"], summary["clients"]["started"], summary["clients"]["timed_out"],
    start["merged"]["segments"], summary["latency_us"]["count"]]')" = "[6000, 6000, 0, 3, 6000]"
check "once: Kea assigned 6,000 addresses" "$(cat "$T/once.kea")" = 6000

# The ramp against a responder that answers at most 250 new clients per
# second: 100 and 200 pass, 300 to 400 fail, so one generator at the whole
# rate and three segments merged both find 200, within one step of the cap.
ramp=(--ramp 100:400:100:3 --timeout 1 --summary)
qv ramp 90 --server responder --responder-args "--max-new-per-second 250" -- "${ramp[@]}" --report "$T/ramp.jsonl" @IF@
check "ramp: one generator finds 200 and names each step" "$status/$(rate ramp)/$(count ramp '^Ramp step [1-4][: ]')" \
  = "0/200/12"
segments rampseg 90 3 --server responder --responder-args "--max-new-per-second 250" -- "${ramp[@]}"
"$MERGE" -o "$T/rampseg.jsonl" --fail-below 201 "$T"/rampseg-{0,1,2}.jsonl && merged=0 || merged=$?
check "ramp: three segments merged find the same 200 (and --fail-below 201 gives 3)" \
  "$merged/$(report rampseg '[summary["result"], [s["passed"] for s in summary["ramp"]["steps"]]]')" = \
  "3/[200, [true, true, false, false]]"
check "ramp: the steps' clients add up to the single generator's" \
  "$(report rampseg '[s["started"] for s in summary["ramp"]["steps"]]')" = \
  "$(report ramp '[s["started"] for s in summary["ramp"]["steps"]]')"

# An address that is not the device's is an error at start.
qv foreign 15 --server none -- --local-address 2001:db8:9::1 @IF@
check "foreign address: exit status 1 and the reason" "$status/$(cat "$T/foreign.err")" = \
  "1/Error: local address 2001:db8:9::1 is not an address of device $(cat "$T/foreign.if")"

finish
