#!/usr/bin/env bash
# The lab with the test responder: perfdhcp completes its exchanges directly
# on the link and through one relay layer (to All_DHCP_Servers and to the
# unicast address), and the responder's counters account for every request.
# shellcheck source=tests/e2e/common.bash
source "$(dirname "$0")/common.bash"
require_lab

out=$E2E_TMP/direct.txt
log=$E2E_TMP/responder.log
rc=0
lab_run "$out" --server responder --server-log "$log" -- \
  "${PERFDHCP[@]}" -r 100 -n 300 -e address-and-prefix -l @LAB_CLIENT_IF@ || rc=$?
cat "$out" "$log"
check "perfdhcp ran against the responder (status $rc)" "$rc" -eq 0
# perfdhcp may start a few exchanges more than asked for: compare with what
# it reports having sent.
solicits=$(perfdhcp_stat "$out" SOLICIT-ADVERTISE "sent packets")
requests=$(perfdhcp_stat "$out" REQUEST-REPLY "sent packets")
check "perfdhcp sent its SOLICITs ($solicits)" "$solicits" -ge 300
check "every SOLICIT advertised" "$(perfdhcp_stat "$out" SOLICIT-ADVERTISE "received packets")" -eq "$solicits"
check "every advertisement requested" "$requests" -eq "$solicits"
check "every REQUEST replied" "$(perfdhcp_stat "$out" REQUEST-REPLY "received packets")" -eq "$requests"
check "no lease rejected" "$(perfdhcp_stat "$out" REQUEST-REPLY "rejected leases")" -eq 0
check "responder answered every request" "$(responder_count "$log" answered)" -eq $((solicits + requests))
check "responder sent each answer once" "$(responder_count "$log" sent)" -eq $((solicits + requests))
check "responder saw nothing malformed" "$(responder_count "$log" malformed)" -eq 0

for target in servers @LAB_SERVER_ADDR@; do
  out=$E2E_TMP/relay.txt
  rc=0
  lab_run "$out" --server responder --server-log "$log" -- \
    "${PERFDHCP[@]}" -A 1 -r 100 -n 100 -l @LAB_CLIENT_IF@ "$target" || rc=$?
  check "relayed perfdhcp to $target ran (status $rc)" "$rc" -eq 0
  requests=$(perfdhcp_stat "$out" REQUEST-REPLY "sent packets")
  check "relayed REQUESTs to $target sent ($requests)" "$requests" -ge 100
  check "relayed REQUESTs to $target replied" "$(perfdhcp_stat "$out" REQUEST-REPLY "received packets")" -eq "$requests"
  check "responder counted every request as relayed" "$(responder_count "$log" relayed)" \
    -eq $((requests + $(perfdhcp_stat "$out" SOLICIT-ADVERTISE "sent packets")))
done

finish
