#!/usr/bin/env bash
# The test responder's misbehaviour switches visibly change what perfdhcp
# gets: refused leases, dropped requests, a cap on new clients, duplicate
# answers and a missing Server Identifier.
# shellcheck source=tests/e2e/common.bash
source "$(dirname "$0")/common.bash"
require_lab

out=$E2E_TMP/perfdhcp.txt
log=$E2E_TMP/responder.log

# run_with "RESPONDER ARGS": 200 exchanges at 100 per second.
run_with() {
  rc=0
  lab_run "$out" --server responder --responder-args "$1" --server-log "$log" -- \
    "${PERFDHCP[@]}" -r 100 -n 200 -l @LAB_CLIENT_IF@ 2>"$E2E_TMP/stderr.txt" || rc=$?
  echo "--- responder $1: perfdhcp status $rc"
  cat "$out" "$E2E_TMP/stderr.txt" "$log"
}

run_with --refuse
check "refused leases are rejected by perfdhcp" "$(perfdhcp_stat "$out" SOLICIT-ADVERTISE "rejected leases")" \
  -eq "$(perfdhcp_stat "$out" SOLICIT-ADVERTISE "sent packets")"
check "no REQUEST follows a refusal" "$(perfdhcp_stat "$out" REQUEST-REPLY "sent packets")" -eq 0

run_with "--drop-percent 50"
check "perfdhcp reports incomplete exchanges" "$rc" -eq 3
advertised=$(perfdhcp_stat "$out" SOLICIT-ADVERTISE "received packets")
check "about half the SOLICITs answered ($advertised)" "$advertised" -ge 60 -a "$advertised" -le 140
check "responder dropped requests" "$(responder_count "$log" dropped)" -gt 0

run_with "--max-new-per-second 40"
check "perfdhcp reports incomplete exchanges" "$rc" -eq 3
advertised=$(perfdhcp_stat "$out" SOLICIT-ADVERTISE "received packets")
check "at most 40 SOLICITs answered per second ($advertised)" "$advertised" -ge 40 -a "$advertised" -le 160
check "responder rate-limited SOLICITs" "$(responder_count "$log" rate-limited)" -gt 0
check "no REQUEST was rate-limited" "$(perfdhcp_stat "$out" REQUEST-REPLY "drops")" -eq 0

run_with --answer-twice
check "duplicate answers show up as orphans" "$(perfdhcp_stat "$out" SOLICIT-ADVERTISE "orphans")" -ge 190
check "responder sent twice what it answered" \
  "$(responder_count "$log" sent)" -eq "$(($(responder_count "$log" answered) * 2))"

run_with --no-server-id
check "perfdhcp refuses an ADVERTISE without Server Identifier" "$rc" -ne 0 -a "$rc" -ne 3
check "perfdhcp names the missing Server Identifier" "$(grep -c 'server id not found' "$E2E_TMP/stderr.txt")" -ge 1

finish
