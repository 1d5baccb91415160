#!/usr/bin/env bash
# Live metrics: Debian's Prometheus, in the lab with docs/prometheus.yml at a
# 1 s interval, scrapes three ramp segments against Kea over IPv6, each on a
# port of its own on [::1]; its sum of completed clients is the merged
# report's, its p99 within one bucket of the report's. A metrics port already
# taken, over IPv4 or by [::], which takes IPv4 too, is an error at start.
# shellcheck source=tests/e2e/lab.bash
source "$(dirname "$0")/lab.bash"
command -v prometheus >/dev/null || { echo "prometheus not found: run scripts/install-deps" >&2; exit 1; }

sed 's/^\(  scrape_\(interval\|timeout\):\).*/\1 1s/' "$SOURCE_DIR/docs/prometheus.yml" >"$T/prometheus.yml"

# Prometheus runs beside the generators in the client namespace and answers
# the queries after they have gone; max_over_time reads their last samples.
# shellcheck disable=SC2016  # expanded inside the lab
SEGMENTS_BEFORE='prometheus --config.file="$PROM_CONFIG" --storage.tsdb.path="$base.tsdb" \
    --web.listen-address=127.0.0.1:9090 >"$base.prometheus.log" 2>&1 &
  python3 "$PROMQL" up >/dev/null' \
SEGMENTS_AFTER='q() { python3 "$PROMQL" "$@"; }
  q "sum(max_over_time(quorvelin_clients_completed_total[5m]))" >"$base.completed"
  q "sum(max_over_time(quorvelin_finished[5m]))" >"$base.finished"
  q "max_over_time(sum(quorvelin_offered_clients_per_second)[5m:1s])" >"$base.offered"
  q "histogram_quantile(0.99, sum by (le) (max_over_time(quorvelin_client_latency_seconds_bucket[5m])))" >"$base.p99"
  q "count by (le) (max_over_time(quorvelin_client_latency_seconds_bucket[5m]))" le >"$base.bounds"
  for taken in 127.0.0.1:9090 "[::]:9090"; do
    "$QUORVELIN" --metrics-listen "$taken" --test-mode once "$LAB_CLIENT_IF" >>"$base.taken" 2>&1 ||
      echo "status $?" >>"$base.taken"
  done' \
  PROM_CONFIG=$T/prometheus.yml PROMQL=$SOURCE_DIR/tests/e2e/promql.py \
  segments ramp 100 3 --server kea -- --ramp 500:1000:500:2 --timeout 1 --metrics-listen "[::1]:954@I@" \
  --metrics-linger 3

"$SOURCE_DIR/scripts/merge" -o "$T/ramp.jsonl" "$T"/ramp-{0,1,2}.jsonl
completed=$(report ramp 'summary["clients"]["completed"]')
check "Prometheus's sum of completed clients is the merged report's, not 0" "$(cat "$T/ramp.completed")/$((completed > 0))" = \
  "$completed/1"
check "Prometheus saw the three generators end" "$(cat "$T/ramp.finished")" = 3
# Each segment's share of a second is 333 or 334; a scrape may fall between ticks.
offered=$(cat "$T/ramp.offered")
check "Prometheus saw the test's 1000 clients/second offered while it ran" "$offered" -ge 998 -a "$offered" -le 1002
# The bucket of a latency: how many of the histogram's bounds lie below it.
bucket() { sort -g "$T/ramp.bounds" | awk -v s="$1" '$1 != "+Inf" && $1 + 0 < s + 0 { n++ } END { print n + 0 }'; }
report_p99=$(report ramp 'summary["latency_us"]["p99"] / 1e6')
prom_p99=$(cat "$T/ramp.p99") && distance=$(($(bucket "$prom_p99") - $(bucket "$report_p99")))
check "Prometheus's p99 ($prom_p99 s) is within one bucket of the report's ($report_p99 s)" \
  -n "$prom_p99" -a "${distance#-}" -le 1
check "a metrics port in use, over IPv4 or by [::]: one error line, status 1" "$(cat "$T/ramp.taken")" = \
  "$(printf 'Error: --metrics-listen %s: Address already in use\nstatus 1\n' 127.0.0.1:9090 '[::]:9090')"

finish
