#!/usr/bin/env bash
# quorvelin against Kea in the lab: once tests with the default scenario,
# prefix delegation and two relay layers complete every client; the packets
# quorvelin sends decode cleanly, relay layers carry rising hop counts, and
# each client walks its scenario in order; SOLICITs sent unrelayed to Kea's
# unicast address end with the hint; a short highload search ends with its
# report.
# shellcheck source=tests/e2e/common.bash
source "$(dirname "$0")/common.bash"
# shellcheck source=tests/e2e/quorvelin.bash
source "$(dirname "$0")/quorvelin.bash"
require_lab
EX=$SOURCE_DIR/examples

# Once test, default scenario: all 200 clients complete within the run.
qv once 30 --server kea -- --test-mode once --clients 200 -v @LAB_CLIENT_IF@
out=$E2E_TMP/once.out
check "once: exit status 0" "$qv_status" = 0
check "once: start line first" "$(head -n 1 "$out")" = "Beginning DHCPv6 load 1 test."
check "once: all 200 clients completed" "$(last_line "$out")" = "Finished and report: 200 transactions per second."
check "once: no timeouts in the progress lines" "$(column_sum "$out" 3)" -eq 0
check "once: nothing on stderr" ! -s "$E2E_TMP/once.err"

# The default scenario on the wire: every packet decodes, and every client
# goes SOLICIT, ADVERTISE, REQUEST, REPLY, RELEASE, REPLY in that order.
pcap=$E2E_TMP/default.pcap
qv capture 30 --server kea --capture "$pcap" -- --test-mode once --clients 100 @LAB_CLIENT_IF@
check "capture: exit status 0" "$qv_status" = 0
check "capture: all 100 clients completed" "$(last_line "$E2E_TMP/capture.out")" = "Finished and report: 100 transactions per second."
check "capture: quorvelin sent 300 messages from port 546" \
  "$(tshark -r "$pcap" -Y 'dhcpv6 && udp.srcport == 546' 2>/dev/null | wc -l)" -eq 300
check_capture_sane "$pcap" "capture"
check_sequences "$pcap" 'dhcpv6 && udp.srcport == 546' 100 "1 3 8" \
  "capture: each client sent SOLICIT, REQUEST, RELEASE in order"
check_sequences "$pcap" dhcpv6 100 "1 2 3 7 8 7" \
  "capture: each client's exchange runs SOLICIT ADVERTISE REQUEST REPLY RELEASE REPLY"

# Prefix delegation: every client gets a /64 from Kea's delegation pool,
# requests it and releases it; no IA was refused.
pcap=$E2E_TMP/pd.pcap
log=$E2E_TMP/pd.log
qv pd 30 --server kea --capture "$pcap" -- --test-mode once --clients 100 --log-file "$log" \
  @LAB_CLIENT_IF@ "$EX"/prefix-delegation/1-solicit.scn "$EX"/prefix-delegation/2-request.scn \
  "$EX"/prefix-delegation/3-release.scn
check "pd: exit status 0" "$qv_status" = 0
check "pd: all 100 clients completed" "$(last_line "$E2E_TMP/pd.out")" = "Finished and report: 100 transactions per second."
check "pd: no IA refused" "$(grep -c '^# failed' "$log" || true)" -eq 0
check_capture_sane "$pcap" "pd"
check_sequences "$pcap" dhcpv6 100 "1 2 3 7 8 7" "pd: each client's exchange in order"
prefixes=$(tshark -r "$pcap" -Y 'dhcpv6.msgtype == 3 || dhcpv6.msgtype == 8' -T fields -E separator=, \
  -e dhcpv6.iaprefix.pref_addr -e dhcpv6.iaprefix.pref_len 2>/dev/null |
  grep -c '^2001:db8:1[0-9a-f][0-9a-f]:[0-9a-f:]*,64$' || true)
check "pd: every REQUEST and RELEASE carries a delegated /64 ($prefixes)" "$prefixes" -eq 200

# Two relay layers before the default messages: Kea selects the subnet by
# the inner relay's link-address, answers through both layers, and hands
# out addresses from that subnet's pool.
pcap=$E2E_TMP/relay.pcap
qv relay 30 --server kea --capture "$pcap" -- --test-mode once --clients 100 @LAB_CLIENT_IF@ \
  "$EX"/relay/two-relays.scn "$EX"/default/1-solicit.scn "$EX"/default/2-request.scn "$EX"/default/3-release.scn
check "relay: exit status 0" "$qv_status" = 0
check "relay: all 100 clients completed" "$(last_line "$E2E_TMP/relay.out")" = "Finished and report: 100 transactions per second."
check_capture_sane "$pcap" "relay"
check "relay: quorvelin sent 300 Relay-forward messages with both layers" \
  "$(tshark -r "$pcap" -Y 'dhcpv6.msgtype == 12' -T fields -E occurrence=a -e dhcpv6.linkaddr 2>/dev/null |
     grep -cxF '2001:db8:ffff::1,2001:db8:1::1' || true)" -eq 300
check_sequences "$pcap" dhcpv6 100 "1 2 3 7 8 7" "relay: each client's exchange in order through the relays"
check "relay: hop counts 1 (outer) and 0 (inner) in every Relay-forward and Relay-reply" \
  "$(tshark -r "$pcap" -Y 'dhcpv6.msgtype == 12 || dhcpv6.msgtype == 13' -T fields -E occurrence=a \
     -e dhcpv6.hopcount 2>/dev/null | grep -cxF '1,0' || true)" -eq 600
check "relay: no expert warning in the decode (hop counts included)" \
  "$(tshark -r "$pcap" -q -z expert,warn 2>/dev/null | grep -c -e 'Warns' -e 'hopcount' || true)" -eq 0
addresses=$(tshark -r "$pcap" -Y 'dhcpv6.msgtype == 13' -T fields -e dhcpv6.iaaddr.ip 2>/dev/null |
  grep -c '^2001:db8:1:0:1:' || true)
check "relay: Kea leased from the inner link's subnet ($addresses answers)" "$addresses" -eq 200

# SOLICITs sent straight to Kea's unicast address are discarded (RFC 8415
# section 16): nothing completes, and the run says why.
qv unicast 30 --server kea -- --test-mode once --clients 5 --timeout 1 --server @LAB_SERVER_ADDR@ @LAB_CLIENT_IF@
check "unicast: exit status 0" "$qv_status" = 0
check "unicast: no client completed" "$(last_line "$E2E_TMP/unicast.out")" = "Finished and report: 0 transactions per second."
check "unicast: the hint names the unicast address and the silence" "$(cat "$E2E_TMP/unicast.err")" = \
  "Hint: no client completed: the SOLICIT went to the unicast address 2001:db8:1::1 without relay layers, and servers discard it there (RFC 8415 section 16); no reply arrived at all."
qv unicast_quiet 30 --server kea -- -q --test-mode once --clients 5 --timeout 1 --server @LAB_SERVER_ADDR@ @LAB_CLIENT_IF@
check "unicast, quiet: no hint" ! -s "$E2E_TMP/unicast_quiet.err"

# A short highload search: probe from 2000 clients/second, 2-second runs,
# 1-second timeout; it ends with its report whatever Kea manages here.
qv highload 200 --server kea -- -v --test-duration 2 --timeout 1 --clients 2000 --summary \
  --report "$E2E_TMP/highload.jsonl" @LAB_CLIENT_IF@
out=$E2E_TMP/highload.out
rate=$(reported_rate "$out")
check "highload: exit status 0" "$qv_status" = 0
check "highload: the probe found a high-water mark" "$(grep -c '^Inital probe complete: High-water mark is [0-9]* clients/second\.$' "$out" || true)" -eq 1
check "highload: ends with its report ($rate), then the summary" \
  "$(summary_follows highload "Finished and report: $rate transactions per second." | cut -d';' -f1)" = \
  "Summary: highload test, $rate clients/second"
check "highload: the report's summary has the reported rate" \
  "$(report_value "$E2E_TMP/highload.jsonl" '[summary["result"], summary["interrupted"]]')" = "[$rate, false]"
check "highload: Kea serves at least 100 clients/second" "$rate" -ge 100
check "highload: nothing on stderr" ! -s "$E2E_TMP/highload.err"

finish
