#!/usr/bin/env bash
# The Grafana dashboard (docs/grafana-dashboard.json) against a real run:
# Debian's Prometheus, in the lab at a 1 s interval, scrapes a population
# test on [::1] against the test responder, which refuses a share of the
# requests so that the refusal series exist too; then every panel's every
# query, its variables substituted, runs over the run's span through
# Prometheus's HTTP API and must return series, as the segment variable's
# label values must. A panel whose query returns none is named.
# shellcheck source=tests/e2e/lab.bash
source "$(dirname "$0")/lab.bash"
command -v prometheus >/dev/null || { echo "prometheus not found: run scripts/install-deps" >&2; exit 1; }

cat >"$T/prometheus.yml" <<'YAML'
global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: quorvelin
    static_configs:
      - targets: ['[::1]:9547']
YAML

# Lifetimes of 100/200/300/400 s at 20 times: a RENEW every 5 s; 10 % of
# SOLICITs, REQUESTs and RENEWs refused (NoAddrAvail), so that some
# subscribers never bind and some are unbound.
# shellcheck disable=SC2016  # expanded inside the lab
in_lab dashboard 90 --server responder \
  --responder-args "--lease-times 100,200,300,400 --refuse-percent 10" -- bash -c '
  base=$1 queries=$2 dashboard=$3
  prometheus --config.file="$(dirname "$base")/prometheus.yml" --storage.tsdb.path="$base.tsdb" \
    --web.listen-address=127.0.0.1:9090 >"$base.prometheus.log" 2>&1 &
  prom=$!
  until python3 -c "import urllib.request; urllib.request.urlopen(\"http://127.0.0.1:9090/-/ready\", timeout=1)" \
    2>/dev/null; do sleep 0.2; done
  start=$(date +%s)
  "$QUORVELIN" --test-mode population --population 400 --clients 400 --time-compression 20 -t 12 --summary \
    --metrics-listen "[::1]:9547" --metrics-linger 3 "$LAB_CLIENT_IF" >"$base.run" 2>&1 || true
  end=$(date +%s)
  status=0
  python3 "$queries" "$dashboard" http://127.0.0.1:9090 "$start" "$end" || status=$?
  kill -TERM "$prom"
  wait "$prom" || true
  exit "$status"' dashboard "$T/dashboard" "$SOURCE_DIR/tests/e2e/dashboard_queries.py" \
  "$SOURCE_DIR/docs/grafana-dashboard.json"
sed 's/^/  run| /' "$T/dashboard.run"

check "dashboard: the population test bound subscribers and refused some requests" "$(grep -cE \
  '^Finished and report: [1-9][0-9]* subscribers bound\.$' "$T/dashboard.run")" = 1
check "dashboard: every panel's queries returned series$(sed -n 's/^no series: \(.*\)/; none: \1/p' \
  "$T/dashboard.out" | tr -d '\n')" "$status" = 0
check "dashboard: every panel and the segment variable were asked" "$(grep -cE ': [0-9]+ series: ' "$T/dashboard.out")" \
  = "$(python3 -c 'import json, sys
d = json.load(open(sys.argv[1]))
print(sum(len(p["targets"]) for p in d["panels"]) + sum(v["type"] == "query" for v in d["templating"]["list"]))' \
  "$SOURCE_DIR/docs/grafana-dashboard.json")"

finish
