#!/usr/bin/env bash
# The population test: 2,000 subscribers against Kea, its lifetimes run 200
# times faster (T1 1000 s: a RENEW every 5 s), renew at the rate their T1
# gives while Kea holds exactly 2,000 leases, with no lease granted twice,
# and release them all at the end; against the test responder going silent, renewals time out at T2,
# turn into rebinds, and the population is whole again once it answers; on the wire its RENEW and REBIND
# carry Option Request and Elapsed Time, its RELEASE Elapsed Time, and the releases begin -t seconds in.
# shellcheck source=tests/e2e/lab.bash
source "$(dirname "$0")/lab.bash"

# Kea's count every 2 s from the 4th second, when every client is bound, to
# the 18th, before the releases at the 23rd (between two rounds of renewals);
# and once more after the end.
# shellcheck disable=SC2016  # expanded inside the lab
in_lab kea 60 -- bash -c '
  "$QUORVELIN" --test-mode population --population 2000 --clients 2000 --time-compression 200 -t 23 --summary \
    --check-leases --report "$1.jsonl" "$LAB_CLIENT_IF" >"$1.log" 2>&1 &
  pid=$!
  sleep 4
  for _ in 1 2 3 4 5 6 7 8; do python3 "$2" "$LAB_DIR/kea.sock" >>"$1.kea" || echo none >>"$1.kea"; sleep 2; done
  wait "$pid" && status=0 || status=$?
  cat "$1.log"
  echo after: "$(python3 "$2" "$LAB_DIR/kea.sock")"
  exit $status' kea-run "$T/kea" "$SOURCE_DIR/tests/e2e/kea_assigned.py"
check "kea: exit status 0, 2000 subscribers bound at the end" "$status/$(count kea \
  '^Finished and report: 2000 subscribers bound\.$')" = 0/1
check "kea: Kea held 2000 leases throughout the run" "$(sort -u "$T/kea.kea" | tr '\n' ' ')" = "2000 "
check "kea: and none once they were released" "$(grep -c '^after: 0$' "$T/kea.out")" = 1
# Every subscriber renews once every 5 s: three rounds of 2,000 in any 15 s.
check "kea: 6000 renewals (within 5 %) in ticks 4 to 18, all answered" "$(report kea '[
  5700 <= sum(t["second"]["population"]["renew"]["sent"] for t in ticks[4:19]) <= 6300,
  summary["population"]["renew"]["sent"] == summary["population"]["renew"]["answered"],
  summary["population"]["lost"], summary["population"]["released"], summary["population"]["release_answered"]]')" \
  = '[true, true, 0, 2000, 2000]'
# Each renewal is an exchange of its own: Kea answers it under its own id,
# nothing comes back unmatched, and no lease Kea renews is another's.
check "kea: no unmatched reply, no duplicate lease, renewals checked too" "$(report kea '[
  summary["unmatched_replies"], summary["duplicate_leases"], summary["population"]["renew"]["duplicate_leases"]]')" \
  = '[0, 0, 0]'

# Lifetimes of 100/200/300/400 s at 20 times: T1 5 s, T2 10 s, valid 20 s
# after a binding; the responder is silent from 3 s to 13 s after it started.
qv silent 60 --server responder --responder-args "--lease-times 100,200,300,400 --silent-from 3 --silent-for 10" \
  --capture "$T/silent.pcap" -- --test-mode population --population 500 --clients 500 --time-compression 20 -t 22 \
  --summary --report "$T/silent.jsonl" @IF@
check "silent: exit status 0, 500 subscribers bound at the end" "$status/$(count silent \
  '^Finished and report: 500 subscribers bound\.$')" = 0/1
# Rebinds answered once the responder is back: each subscriber renews once more before the end.
check "silent: every renewal timed out at T2, every rebind and the next renewal were answered, no lease lost" \
  "$(report silent '[
  p[k] for p in [summary["population"]] for k in ["lost", "unbound"]] + [summary["population"][x][y]
  for x, y in [("renew", "timed_out"), ("rebind", "sent"), ("rebind", "answered"), ("renew", "answered")]]')" \
  = '[0, 0, 500, 500, 500, 500]'
check "silent: the rebinds began at T2, 10 s after the subscribers bound" "$(report silent 'min(t["tick"] for t in ticks if t["second"]["population"]["rebind"]["sent"]) in (10, 11, 12)')" = true
tshark -r "$T/silent.pcap" -Y 'dhcpv6 && udp.srcport == 546' -T fields -E separator=/t -E occurrence=a \
  -e frame.time_relative -e dhcpv6.msgtype -e dhcpv6.requested_option_code -e dhcpv6.elapsed_time \
  2>/dev/null >"$T/silent.fields"
# carries TYPE ORO: "all of N" when every one of the N messages of TYPE carries Elapsed Time (and, with ORO
# 1, an Option Request with option 82), else how many do.
carries() {
  awk -F'\t' -v type="$1" -v oro="$2" '$2 == type {
      n++; if ($4 != "" && (!oro || $3 ~ /(^|,)82(,|$)/)) ok++ }
    END { printf "%s of %d", (ok == n && n ? "all" : ok + 0), n }' "$T/silent.fields"
}
check "silent: every RENEW and REBIND carries Option Request with 82 and Elapsed Time, every RELEASE Elapsed Time" \
  "$(carries 5 1 | cut -d' ' -f1)/$(carries 6 1 | cut -d' ' -f1)/$(carries 8 0)" = "all/all/all of 500"
check "silent: the first RELEASE 22 s (within 0.2 s) after the first SOLICIT" "$(awk -F'\t' '
  $2 == 1 && solicit == "" { solicit = $1 } $2 == 8 && release == "" { release = $1 }
  END { d = release - solicit; print (d >= 21.8 && d <= 22.2) ? "yes" : d }' "$T/silent.fields")" = yes

finish
