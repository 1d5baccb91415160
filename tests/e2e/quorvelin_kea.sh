#!/usr/bin/env bash
# quorvelin against Kea in the lab: once tests with the default scenario
# (with its summary and report), prefix delegation and two relay layers
# complete every client, the packets
# decode cleanly, relay layers carry rising hop counts and each client walks
# its scenario in order; SOLICITs sent unrelayed to Kea's unicast address
# end with the hint; a short highload search ends with its report.
# shellcheck source=tests/e2e/lab.bash
source "$(dirname "$0")/lab.bash"

# completed NAME N: a once test that ended normally with all N clients done.
completed() {
  check "$1: exit status 0, nothing on stderr" "$status" = 0 -a ! -s "$T/$1.err"
  check "$1: all $2 clients completed" "$(last "$1")" = "Finished and report: $2 transactions per second."
}

# The default scenario: the start line, the report line, then the summary;
# the report file says the same, one JSON object a line, with latencies in
# microseconds; --fail-below 200 is met.
qv once 30 --server kea --capture "$T/once.pcap" -- --test-mode once --clients 200 -v --summary \
  --report "$T/once.jsonl" --fail-below 200 @IF@
check "once: exit status 0, nothing on stderr, start line first, no timeouts" \
  "$status/$(cat "$T/once.err")/$(head -n 1 "$T/once.out")/$(column once 3)" = "0//Beginning DHCPv6 load 1 test./0"
check "once: all 200 clients completed, then the summary" \
  "$(summary_follows once 'Finished and report: 200 transactions per second.')" = \
  "Summary: once test, 200 of 200 clients completed"
check "once: start (format 1), one tick per progress line, the finishing event, summary last" \
  "$(report once '[start["format"], len(ticks), events[-1]["text"], summary["type"]]')" = \
  "[1, $(count once '|'), \"Finished and report: 200 transactions per second.\", \"summary\"]"
check "once: result, clients, each step sent and answered 200, latencies in microseconds" "$(report once \
  '([summary["result"], summary["interrupted"], summary["clients"]["completed"], summary["clients"]["timed_out"]] +
    [[s["message"], s["sent"], s["answered"]] for s in summary["steps"]] + [summary["latency_us"]["p50"] > 0])')" = \
  '[200, false, 200, 0, ["SOLICIT", 200, 200], ["REQUEST", 200, 200], ["RELEASE", 200, 200], true]'
check "once: quorvelin sent 600 messages from port 546" \
  "$(tshark -r "$T/once.pcap" -Y 'dhcpv6 && udp.srcport == 546' 2>/dev/null | wc -l)" -eq 600
check_capture "$T/once.pcap" once 200 "1 2 3 7 8 7"

# Prefix delegation: every client gets a /64 from Kea's delegation pool,
# requests it and releases it; no IA was refused.
qv pd 30 --server kea --capture "$T/pd.pcap" -- --test-mode once --clients 100 --log-file "$T/pd.log" \
  @IF@ "$EX"/prefix-delegation/1-solicit.scn "$EX"/prefix-delegation/2-request.scn "$EX"/prefix-delegation/3-release.scn
completed pd 100
check "pd: no IA refused" "$(grep -c '^# failed' "$T/pd.log" || true)" -eq 0
check_capture "$T/pd.pcap" pd 100 "1 2 3 7 8 7"
check "pd: every REQUEST and RELEASE carries a delegated /64" "$(tshark -r "$T/pd.pcap" \
  -Y 'dhcpv6.msgtype == 3 || dhcpv6.msgtype == 8' -T fields -E separator=, -e dhcpv6.iaprefix.pref_addr \
  -e dhcpv6.iaprefix.pref_len 2>/dev/null | grep -c '^2001:db8:1[0-9a-f][0-9a-f]:[0-9a-f:]*,64$' || true)" -eq 200

# Two relay layers: Kea selects the subnet by the inner relay's link-address,
# answers through both layers, and leases from that subnet's pool.
qv relay 30 --server kea --capture "$T/relay.pcap" -- --test-mode once --clients 100 @IF@ \
  "$EX"/relay/two-relays.scn "$EX"/default/1-solicit.scn "$EX"/default/2-request.scn "$EX"/default/3-release.scn
completed relay 100
check_capture "$T/relay.pcap" relay 100 "1 2 3 7 8 7"
check "relay: 300 Relay-forward messages with both layers" "$(tshark -r "$T/relay.pcap" -Y 'dhcpv6.msgtype == 12' \
  -T fields -E occurrence=a -e dhcpv6.linkaddr 2>/dev/null | grep -cxF '2001:db8:ffff::1,2001:db8:1::1' || true)" -eq 300
check "relay: Kea leased from the inner link's subnet" "$(tshark -r "$T/relay.pcap" -Y 'dhcpv6.msgtype == 13' \
  -T fields -e dhcpv6.iaaddr.ip 2>/dev/null | grep -c '^2001:db8:1:0:1:' || true)" -eq 200
check "relay: hop counts 1 (outer) and 0 (inner) in every Relay-forward and Relay-reply" "$(tshark -r "$T/relay.pcap" \
  -Y 'dhcpv6.msgtype == 12 || dhcpv6.msgtype == 13' -T fields -E occurrence=a -e dhcpv6.hopcount 2>/dev/null |
  grep -cxF '1,0' || true)" -eq 600
check "relay: no expert warning in the decode (hop counts included)" \
  "$(tshark -r "$T/relay.pcap" -q -z expert,warn 2>/dev/null | grep -c -e 'Warns' -e 'hopcount' || true)" -eq 0

# SOLICITs sent straight to Kea's unicast address are discarded (RFC 8415
# section 16): nothing completes, and the run says why unless quiet.
qv unicast 30 --server kea -- --test-mode once --clients 5 --timeout 1 --server @SERVER@ @IF@
check "unicast: exit status 0, no client completed" "$status/$(last unicast)" = \
  "0/Finished and report: 0 transactions per second."
check "unicast: the hint names the unicast address and the silence" "$(cat "$T/unicast.err")" = "Hint: no client \
completed: the SOLICIT went to the unicast address 2001:db8:1::1 without relay layers, and servers discard it there \
(RFC 8415 section 16); no reply arrived at all."
qv unicast_quiet 30 --server kea -- -q --test-mode once --clients 5 --timeout 1 --server @SERVER@ @IF@
check "unicast, quiet: no hint" ! -s "$T/unicast_quiet.err"

# A short highload search: probe from 2000 clients/second, 2-second runs,
# 1-second timeout; it ends with its report whatever Kea manages here.
qv highload 200 --server kea -- -v --test-duration 2 --timeout 1 --clients 2000 --summary \
  --report "$T/highload.jsonl" @IF@
check "highload: exit status 0, nothing on stderr" "$status" = 0 -a ! -s "$T/highload.err"
check "highload: the probe found a high-water mark" \
  "$(count highload '^Inital probe complete: High-water mark is [0-9]* clients/second\.$')" -eq 1
check "highload: ends with its report, then the summary" "$(summary_follows highload \
  "Finished and report: $(rate highload) transactions per second." | cut -d';' -f1)" = \
  "Summary: highload test, $(rate highload) clients/second"
check "highload: the report's summary has the reported rate" \
  "$(report highload '[summary["result"], summary["interrupted"]]')" = "[$(rate highload), false]"
check "highload: Kea serves at least 100 clients/second" "$(rate highload)" -ge 100

finish
