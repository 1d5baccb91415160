#!/usr/bin/env bash
# Clients that retransmit (--retransmit): against the test responder that
# drops the first two transmissions of every exchange, every client completes
# after exactly two retransmissions per step, same transaction id, Elapsed
# Time brought up to date; an avalanche of 20,000 clients at once against a
# responder serving 2,000 new clients per second is served in the end;
# --check-leases counts leases granted to two clients at once exactly (the
# population test against Kea sees it count none where there are none); and
# SOLICITs with Rapid Commit complete against Kea in two exchanges.
# shellcheck source=tests/e2e/lab.bash
source "$(dirname "$0")/lab.bash"

# retransmitted STEP SENT N1 N2 N3: the summary's line for a step.
retransmitted() { printf '%-16s %10s %10s %10s %10s' "$@"; }

qv lost 60 --server responder --responder-args "--drop-first 2" --capture "$T/lost.pcap" -- --test-mode once \
  --clients 50 --retransmit --timeout 5 --summary --report "$T/lost.jsonl" @IF@ "$EX"/prefix-delegation/*.scn
check "lost: exit status 0, all 50 clients completed" "$status/$(count lost \
  '^Finished and report: 50 transactions per second\.$')" = 0/1
check "lost: the summary counts 100 retransmissions and 50 clients needing two at each step" "$(grep -A3 \
  '^Retransmitted' "$T/lost.out" | tail -n 3)" = "$(retransmitted '1 SOLICIT' 100 0 50 0; echo
  retransmitted '2 REQUEST' 100 0 50 0; echo; retransmitted '3 RELEASE' 100 0 50 0)"
check "lost: the report says the same, with the time of the last completion" "$(report lost '[[s["retransmitted"],
  s["needed_retransmissions"]] for s in summary["steps"]] + [0 < summary["last_completion_s"] < 20,
  start["settings"]["retransmit"]]')" = '[[100, [0, 50, 0]], [100, [0, 50, 0]], [100, [0, 50, 0]], true, true]'
check_capture "$T/lost.pcap" lost 50 "1 1 1 2 3 3 3 7 8 8 8 7"
# Elapsed Time of each client's three SOLICITs: 0, then about 1 s and 3 s
# (tshark shows it in milliseconds).
check "lost: retransmissions carry the time since the first transmission" "$(tshark -r "$T/lost.pcap" \
  -Y 'dhcpv6.msgtype == 1' -T fields -e dhcpv6.xid -e dhcpv6.elapsed_time 2>/dev/null | awk '
    { n = ++seen[$1]; e = $2 + 0 }
    n == 1 && e != 0 || n == 2 && (e < 1000 || e > 1150) || n == 3 && (e < 2900 || e > 3500) { bad++ }
    END { print NR, bad + 0 }')" = "150 0"

# A slow server: every answer comes 1.5 s late, after the SOLICIT's first
# retransmission. The answer to the first transmission completes the client,
# its latency counted from that transmission.
qv slow 30 --server responder --responder-args "--delay-ms 1500" -- --test-mode once --clients 20 --retransmit \
  --timeout 5 --report "$T/slow.jsonl" @IF@ "$EX"/default/1-solicit.scn
check "slow: all 20 completed after one retransmission each, within 1.5 to 1.9 s of the first transmission" \
  "$status/$(report slow '[summary["result"], step(1)["retransmitted"], step(1)["needed_retransmissions"],
  1500000 <= step(1)["latency_us"]["min"], step(1)["latency_us"]["max"] < 1900000]')" \
  = "0/[20, 20, [20, 0, 0], true, true]"

# The avalanche: every client starts within one second, the server serves
# 2,000 new clients a second, and the others retransmit until served.
qv avalanche 200 --server responder --responder-args "--max-new-per-second 2000" -- --test-mode once \
  --clients 20000 --retransmit --timeout 100 --summary --report "$T/avalanche.jsonl" @IF@
check "avalanche: exit status 0, all 20000 clients served" "$status/$(count avalanche \
  '^Finished and report: 20000 transactions per second\.$')" = 0/1
check "avalanche: the SOLICITs took retransmissions, the last client was served after 9 s or more" "$(report \
  avalanche '[step(1)["retransmitted"] >= 18000, sum(step(1)["needed_retransmissions"]) >= 14000,
  summary["last_completion_s"] >= 9]')" = '[true, true, true]'
check "avalanche: the summary says when the last client was served" \
  "$(count avalanche '^Last client served: [0-9.]* s after the test began; [0-9]* retransmissions sent$')" -eq 1

# Duplicate leases: the responder grants every client the same address and
# nobody releases it, so each client after the first is granted an address
# another client holds.
qv same 30 --server responder --responder-args --one-address -- --test-mode once --clients 40 --check-leases -v \
  --summary --log-file "$T/same.log" --report "$T/same.jsonl" @IF@ "$EX"/default/1-solicit.scn "$EX"/default/2-request.scn
check "same: all 40 clients completed, 39 duplicate leases at the REQUEST step, in the summary, the report, the log" \
  "$status/$(count same '^Finished and report: 40 transactions per second\.$')/$(count same '^Duplicate leases: 39$')/$(count \
  same '^Duplicate leases at step 2 REQUEST: 39$')/$(report same '[s["duplicate_leases"] for s in summary["steps"]]')/$(grep \
  -c '^# duplicate lease 2001:db8:1::1:1 granted to xid:[0-9]*, held by xid:[0-9]*$' "$T/same.log")" = "0/1/1/1/[0, 39]/39"
check "same: the progress lines' own lines add up to 39" "$(sed -n 's/^Duplicate leases in tick [0-9]*: //p' \
  "$T/same.out" | awk '{ s += $1 } END { print s }')" -eq 39

# Rapid commit: Kea answers each SOLICIT with a REPLY, so a client completes
# after its RELEASE in two exchanges.
qv rapid 30 --server kea --rapid-commit --capture "$T/rapid.pcap" -- --test-mode once --clients 100 \
  --report "$T/rapid.jsonl" @IF@ "$EX"/rapid-commit/*.scn
check "rapid: exit status 0, all 100 clients completed" "$status/$(count rapid \
  '^Finished and report: 100 transactions per second\.$')" = 0/1
check_capture "$T/rapid.pcap" rapid 100 "1 7 8 7"

finish
