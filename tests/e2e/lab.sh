#!/usr/bin/env bash
# The lab with either server: perfdhcp completes its exchanges directly on
# the link and through a relay to All_DHCP_Servers and to the server's
# unicast address; the test responder answers every request exactly once.
# shellcheck source=tests/e2e/lab.bash
source "$(dirname "$0")/lab.bash"

for server in kea responder; do
  log=$T/$server.log
  in_lab "$server" 40 --server "$server" --server-log "$log" -- \
    "${PERFDHCP[@]}" -r 100 -n 300 -e address-and-prefix -l @IF@
  # perfdhcp may start a few exchanges more than asked for, and Kea may miss
  # a few at this rate: compare with what perfdhcp reports having sent.
  solicits=$(perfdhcp_stat "$server" SOLICIT-ADVERTISE "sent packets")
  requests=$(perfdhcp_stat "$server" REQUEST-REPLY "sent packets")
  least=$([ "$server" = kea ] && echo 290 || echo "$solicits")
  check "$server: perfdhcp ran ($status)" "$status" = 0 -o "$status" = 3
  check "$server: perfdhcp sent its SOLICITs ($solicits)" "$solicits" -ge 300
  check "$server: SOLICITs advertised" "$(perfdhcp_stat "$server" SOLICIT-ADVERTISE "received packets")" -ge "$least"
  check "$server: REQUESTs replied" "$(perfdhcp_stat "$server" REQUEST-REPLY "received packets")" -ge "$least"
  check "$server: no lease rejected" "$(perfdhcp_stat "$server" REQUEST-REPLY "rejected leases")" -eq 0
  if [ "$server" = responder ]; then
    check "responder: every request answered once, none malformed" \
      "$(responder_count "$log" answered)/$(responder_count "$log" sent)/$(responder_count "$log" malformed)" = \
      "$((solicits + requests))/$((solicits + requests))/0"
  fi
  for target in servers @SERVER@; do
    in_lab relayed 40 --server "$server" -- "${PERFDHCP[@]}" -A 1 -r 100 -n 100 -l @IF@ "$target"
    check "$server, relayed to $target: perfdhcp ran ($status)" "$status" = 0 -o "$status" = 3
    check "$server, relayed to $target: REQUESTs replied" "$(perfdhcp_stat relayed REQUEST-REPLY "received packets")" -ge 95
  done
done

finish
