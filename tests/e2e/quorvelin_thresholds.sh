#!/usr/bin/env bash
# --threshold against the test responder: answers sent 5 ms late fail
# p99<1ms (exit status 3, the verdict lines after the summary, the verdicts
# in the report) while completed>=99% passes; with that one alone, every
# verdict passes and the exit status is 0. merge --threshold is tested on
# recorded segments in tests/thresholds.
# shellcheck source=tests/e2e/lab.bash
source "$(dirname "$0")/lab.bash"

qv late 30 --server responder --responder-args "--delay-ms 5" -- --test-mode once --clients 200 --timeout 2 --summary \
  --threshold "p99<1ms" --threshold "completed>=99%" --report "$T/late.jsonl" @IF@
check "late: exit status 3; after the summary's last line, each verdict; p99 fails, completed passes" \
  "$status/$(sed -n '/^Seed: /{n;p;n;p;n;p}' "$T/late.out" | sed 's/: [0-9.]* ms,/: X ms,/' | tr '\n' '|')" = \
  "3/Threshold p99<1ms: X ms, failed|Threshold completed>=99%: 100.000 %, passed|"
check "late: the report's summary holds both verdicts, p99 above 5 ms" \
  "$(report late '[[t["expression"], t["unit"], t["passed"]] for t in summary["thresholds"]] + [
    summary["thresholds"][0]["value"] == summary["latency_us"]["p99"] / 1000 > 5]')" = \
  '[["p99<1ms", "ms", false], ["completed>=99%", "%", true], true]'

# No latency is judged, so the run passes however busy the machine.
qv passed 30 --server responder -- --test-mode once --clients 200 --timeout 2 --threshold "completed>=99%" @IF@
check "passed: exit status 0, its verdict passed" \
  "$status/$(grep -c '^Threshold completed>=99%: 100.000 %, passed$' "$T/passed.out")" = 0/1

finish
