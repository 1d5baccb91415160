#!/usr/bin/env bash
# The lab with Kea: perfdhcp completes its exchanges directly on the link,
# through a relay to All_DHCP_Servers and through a relay to the server's
# unicast address; the lab exits with the command's status.
# shellcheck source=tests/e2e/common.bash
source "$(dirname "$0")/common.bash"
require_lab

out=$E2E_TMP/direct.txt
rc=0
lab_run "$out" --server kea -- "${PERFDHCP[@]}" -r 100 -n 300 -e address-and-prefix -l @LAB_CLIENT_IF@ || rc=$?
cat "$out"
check "perfdhcp ran against Kea (status $rc)" "$rc" -eq 0 -o "$rc" -eq 3
check "Kea advertised to nearly every SOLICIT" "$(perfdhcp_stat "$out" SOLICIT-ADVERTISE "received packets")" -ge 290
check "Kea replied to nearly every REQUEST" "$(perfdhcp_stat "$out" REQUEST-REPLY "received packets")" -ge 290
check "Kea rejected no lease" "$(perfdhcp_stat "$out" SOLICIT-ADVERTISE "rejected leases")" -eq 0

for target in servers @LAB_SERVER_ADDR@; do
  out=$E2E_TMP/relay.txt
  rc=0
  lab_run "$out" --server kea -- "${PERFDHCP[@]}" -A 1 -r 100 -n 100 -l @LAB_CLIENT_IF@ "$target" || rc=$?
  check "relayed perfdhcp to $target ran (status $rc)" "$rc" -eq 0 -o "$rc" -eq 3
  check "Kea answered relayed REQUESTs sent to $target" "$(perfdhcp_stat "$out" REQUEST-REPLY "received packets")" -ge 95
done

rc=0
lab_run /dev/null --server kea -- sh -c 'exit 7' || rc=$?
check "the lab exits with the command's status" "$rc" -eq 7

finish
