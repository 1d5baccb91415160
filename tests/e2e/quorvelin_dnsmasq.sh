#!/usr/bin/env bash
# quorvelin against dnsmasq, a second real server that puts its refusals
# where RFC 8415 section 18.3.9 says: asked for a delegated prefix it has
# none to give, so its ADVERTISE carries no IA and a message-level
# NoAddrsAvail. Addresses (default and renew scenarios) are served.
# shellcheck source=tests/e2e/lab.bash
source "$(dirname "$0")/lab.bash"

for set in default renew; do
  qv "$set" 30 --server dnsmasq -- --test-mode once --clients 100 --timeout 2 --summary @IF@ "$EX/$set"/*.scn
  check "$set: exit status 0, nothing on stderr, all 100 clients completed" \
    "$status/$(cat "$T/$set.err")/$(summary_follows "$set" 'Finished and report: 100 transactions per second.')" = \
    "0//Summary: once test, 100 of 100 clients completed"
  check "$set: nothing refused" "$(count "$set" '^Refused at step')" -eq 0
done

# Prefix delegation: every ADVERTISE refuses the SOLICIT; no REQUEST is sent.
qv pd 30 --server dnsmasq -- --test-mode once --clients 100 --timeout 1 --summary --report "$T/pd.jsonl" \
  --log-file "$T/pd.log" @IF@ "$EX"/prefix-delegation/*.scn
check "pd: exit status 0, no client completed, all 100 refused under NoAddrAvail at the SOLICIT" \
  "$status/$(summary_follows pd 'Finished and report: 0 transactions per second.')/$(count pd \
  '^Refused at step 1 SOLICIT: 2:NoAddrAvail 100$')" = "0/Summary: once test, 0 of 100 clients completed/1"
check "pd: the report counts them at step 1, every client stalled, no REQUEST sent" \
  "$(report pd '[step(1)["refused"], step(1)["no_lease_offered"], step(2)["sent"], summary["clients"]["stalled"]]')" = \
  '[{"2": 100}, 0, 0, 100]'
check "pd: the debug log names each refusal" \
  "$(grep -cxF '# failed status-code=2:NoAddrAvail on 2:ADVERTISE' "$T/pd.log" || true)" -eq 100

finish
