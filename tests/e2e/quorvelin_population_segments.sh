#!/usr/bin/env bash
# The population test in segments and from a steady start. Three segments of
# a population of 3,000 against Kea, lifetimes run 200 times faster (T1 5 s):
# each keeps its 1,000, Kea holds the 3,000 leases their DUIDs name, and the
# merged report agrees, and so does Prometheus summing their live gauges;
# the segments together renew what one generator renews, and release them all.
# Then 20,000 subscribers against the test responder with --steady-start:
# once bound, every second sees 20,000 / T1 RENEWs, within 5 %.
# shellcheck source=tests/e2e/lab.bash
source "$(dirname "$0")/lab.bash"

command -v prometheus >/dev/null || { echo "prometheus not found: run scripts/install-deps" >&2; exit 1; }
sed 's/^\(  scrape_\(interval\|timeout\):\).*/\1 1s/' "$SOURCE_DIR/docs/prometheus.yml" >"$T/prometheus.yml"

# Kea's count and Prometheus's sum of the segments' bound gauges (scraped on
# [::1] every second) 10 s after the start (bound within 2 s, releases at
# 16 s), Kea's once more after the end, and the RENEWs Prometheus saw.
# shellcheck disable=SC2016  # expanded inside the lab
SEGMENTS_BEFORE='prometheus --config.file="$PROM_CONFIG" --storage.tsdb.path="$base.tsdb" \
    --web.listen-address=127.0.0.1:9090 >"$base.prometheus.log" 2>&1 &
  python3 "$PROMQL" up >/dev/null
  (sleep 13; python3 "$KEA_STATS" "$LAB_DIR/kea.sock" >"$base.kea-during"
   python3 "$PROMQL" "sum(quorvelin_population_bound)" >"$base.prom-during") & during=$!' \
  SEGMENTS_AFTER='wait "$during"; python3 "$KEA_STATS" "$LAB_DIR/kea.sock" >"$base.kea-after"
  python3 "$PROMQL" "sum(max_over_time(quorvelin_population_sent_total{exchange=\"RENEW\"}[5m]))" >"$base.prom-renew"' \
  KEA_STATS=$SOURCE_DIR/tests/e2e/kea_assigned.py PROM_CONFIG=$T/prometheus.yml PROMQL=$SOURCE_DIR/tests/e2e/promql.py \
  segments popseg 90 3 --server kea -- --test-mode population --population 3000 --clients 1500 \
  --time-compression 200 -t 16 --timeout 2 --summary --metrics-listen "[::1]:954@I@" --metrics-linger 3
for i in 0 1 2; do
  check "segments: segment $i kept its 1,000 and released them" "$(grep -c -e '^Releasing 1000 bound subscribers\.$' \
    -e '^Finished and report: 1000 subscribers bound\.$' \
    -e "^Summary: population test, 1000 of 1000 subscribers bound at the end; segment $i/3\$" "$T/popseg-$i.out")" = 3
done
check "segments: exit status 0" "$status" = 0
"$SOURCE_DIR/scripts/merge" -o "$T/popseg.jsonl" "$T"/popseg-{0,1,2}.jsonl
check "segments: the merged report's bound at the releases equal Kea's leases" \
  "$(report popseg 'summary["population"]["bound_at_end"]')/$(cat "$T/popseg.kea-during")" = 3000/3000
check "segments: Prometheus's sum of the segments' bound gauges while bound is the merged 3,000" \
  "$(cat "$T/popseg.prom-during")" = 3000
check "segments: Prometheus's sum of RENEWs sent is the merged report's" \
  "$(cat "$T/popseg.prom-renew")" = "$(report popseg 'summary["population"]["renew"]["sent"]')"
check "segments: every RELEASE answered, and Kea holds no lease after" \
  "$(report popseg 'summary["population"]["release_answered"]')/$(cat "$T/popseg.kea-after")" = 3000/0
# One generator renews its 3,000 every 5 s: 6,000 RENEWs in ticks 4 to 13;
# the segments' ticks merged, within 5 %, all answered, none lost.
check "segments: together 6,000 RENEWs (within 5 %) in ticks 4 to 13, as one generator" "$(report popseg '[
  5700 <= sum(t["second"]["population"]["renew"]["sent"] for t in ticks[4:14]) <= 6300]')" = '[true]'
check "segments: every renewal answered, no lease lost, nothing unmatched" "$(report popseg '[
  summary["population"]["renew"]["sent"] - summary["population"]["renew"]["answered"],
  summary["population"]["lost"], summary["unmatched_replies"]]')" = "[0, 0, 0]"

# The steady start: T1 5 s at 200 times (lease times 1000 s), 20,000
# subscribers bound within 2 s; from tick 3 on every tick counts 4,000 RENEWs
# within 5 %, where without it they would come 10,000 a second in two of
# every five.
qv steady 60 --server responder --responder-args "--lease-times 1000,2000,3000,4000" -- --test-mode population \
  --population 20000 --clients 10000 --time-compression 200 --steady-start --seed 7 -t 20 --summary \
  --report "$T/steady.jsonl" @IF@
check "steady: exit status 0, 20000 subscribers bound at the end" "$status/$(count steady \
  '^Finished and report: 20000 subscribers bound\.$')" = 0/1
check "steady: every tick from the 3rd to the 19th counts 4000 RENEWs within 5 %" "$(report steady '[
  t["tick"] for t in ticks[3:20] if abs(t["second"]["population"]["renew"]["sent"] - 4000) > 200]')" = '[]'

finish
