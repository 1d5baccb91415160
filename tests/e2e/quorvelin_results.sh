#!/usr/bin/env bash
# What a run tells its user: the --summary block and the --report file
# against Kea and against the test responder's faults, counts checked
# against what the responder did; --fail-below's exit status; SIGINT and
# SIGTERM ending endless and highload runs with their summary.
# shellcheck source=tests/e2e/common.bash
source "$(dirname "$0")/common.bash"
# shellcheck source=tests/e2e/quorvelin.bash
source "$(dirname "$0")/quorvelin.bash"
require_lab

# signalled NAME LAB-ARGS... -- "DELAY SIGNAL..." -- QUORVELIN-ARGS...: qv,
# with quorvelin started in the background of a script (so with SIGINT
# ignored, as a script's background job is) and sent each SIGNAL DELAY
# seconds after the one before. The milliseconds from the last signal to
# quorvelin's end go to NAME.err as "took-ms N".
signalled() {
  local head=() schedule
  while [ "$1" != -- ]; do head+=("$1"); shift; done
  schedule=$2
  shift 3
  # shellcheck disable=SC2016  # expanded by the script in the lab
  qv_lab "${head[@]}" -- bash -c '
    schedule=$1; shift
    "$@" & pid=$!
    set -- $schedule
    while [ $# -ge 2 ]; do sleep "$1"; kill -"$2" "$pid"; sent=$(date +%s%N); shift 2; done
    status=0; wait "$pid" || status=$?
    echo "took-ms $((($(date +%s%N) - sent) / 1000000))" >&2
    exit "$status"' signalled "$schedule" "$QUORVELIN" "$@"
}

# Kea, once: every client completes; the summary and the report say so, with
# latencies in microseconds, and every line of the report is JSON.
report=$E2E_TMP/kea_once.jsonl
qv kea_once 30 --server kea -- --test-mode once --clients 300 -v --summary --report "$report" \
  --fail-below 300 @LAB_CLIENT_IF@
check "kea once: exit status 0 (300 completed, not below 300)" "$qv_status" = 0
check "kea once: the summary follows the report line" \
  "$(summary_follows kea_once 'Finished and report: 300 transactions per second.')" = \
  "Summary: once test, 300 of 300 clients completed"
check "kea once: start (format 1), one tick per progress line, the finishing event, summary last" \
  "$(report_value "$report" '[start["format"], len(ticks), events[-1]["text"], summary["type"]]')" = \
  "[1, $(grep -c '|' "$E2E_TMP/kea_once.out"), \"Finished and report: 300 transactions per second.\", \"summary\"]"
check "kea once: result and clients" \
  "$(report_value "$report" '[summary["result"], summary["interrupted"], summary["clients"]["completed"], summary["clients"]["timed_out"]]')" = \
  '[300, false, 300, 0]'
check "kea once: each step sent and answered 300" \
  "$(report_value "$report" '[[s["message"], s["sent"], s["answered"]] for s in summary["steps"]]')" = \
  '[["SOLICIT", 300, 300], ["REQUEST", 300, 300], ["RELEASE", 300, 300]]'
check "kea once: latencies in microseconds, not 0" "$(report_value "$report" 'summary["latency_us"]["p50"] > 0')" = true

# Kea, endless, interrupted by SIGINT although it started with SIGINT
# ignored: status 130, the partial second's progress line, the summary with
# the served rate, and the report's summary record marked interrupted.
report=$E2E_TMP/kea_endless.jsonl
signalled kea_endless 40 --server kea -- "4 INT" -- --test-mode endless --clients 200 -t 2 -v --summary \
  --report "$report" @LAB_CLIENT_IF@
out=$E2E_TMP/kea_endless.out
check "kea endless, SIGINT: exit status 130" "$qv_status" = 130
check "kea endless, SIGINT: no report line" "$(grep -c '^Finished' "$out" || true)" -eq 0
check "kea endless, SIGINT: the summary says interrupted" \
  "$(grep -c '^Summary: endless test, 200 clients/second offered, [0-9.]* served; interrupted$' "$out" || true)" -eq 1
check "kea endless, SIGINT: summary record interrupted, nobody left waiting" \
  "$(report_value "$report" '[summary["interrupted"], summary["clients"]["pending"]]')" = '[true, 0]'
check "kea endless, SIGINT: the interruption is an event" \
  "$(report_value "$report" '[e["signal"] for e in events if e["event"] == "interrupted"]')" = '[2]'
served=$(report_value "$report" 'int(summary["served_rate"])')
check "kea endless, SIGINT: Kea served about the 200/s offered ($served)" "$served" -ge 180 -a "$served" -le 201
check "kea endless, SIGINT: the result is the served rate" \
  "$(report_value "$report" 'summary["result"] == summary["served_rate"]')" = true

# The responder drops 10 % of requests: each step's sent messages and
# timeouts are what the responder received and dropped of that type.
report=$E2E_TMP/drop.jsonl
slog=$E2E_TMP/drop.responder
qv drop 30 --server responder --responder-args "--drop-percent 10" --server-log "$slog" -- \
  --test-mode once --clients 500 --timeout 1 --summary --report "$report" --fail-below 500 @LAB_CLIENT_IF@
cat "$slog"
check "drop: exit status 3 (fewer than 500 completed)" "$qv_status" = 3
k=1
for type in 1 3 8; do
  line=$(grep "type $type:" "$slog")
  received=$(sed 's/.*received=\([0-9]*\).*/\1/' <<<"$line")
  dropped=$(sed 's/.*dropped=\([0-9]*\).*/\1/' <<<"$line")
  check "drop: step $k sent $received, timed out $dropped" \
    "$(report_value "$report" "[step($k)['sent'], step($k)['timed_out'], step($k)['answered']]")" = \
    "[$received, $dropped, $((received - dropped))]"
  k=$((k + 1))
done
check "drop: every client completed or timed out" \
  "$(report_value "$report" 'summary["clients"]["completed"] + summary["clients"]["timed_out"]')" -eq 500
check "drop: the result is the completed clients" \
  "$(report_value "$report" 'summary["result"] == summary["clients"]["completed"]')" = true

# Refused IAs: counted by status at the SOLICIT step; the clients stall and
# time out; no REQUEST goes out.
report=$E2E_TMP/refuse.jsonl
qv refuse 30 --server responder --responder-args --refuse -- \
  --test-mode once --clients 50 --timeout 1 --summary --report "$report" @LAB_CLIENT_IF@
check "refuse: exit status 0" "$qv_status" = 0
check "refuse: 50 refusals with NoAddrAvail at the SOLICIT step" \
  "$(report_value "$report" '[step(1)["refused"], step(2)["sent"]]')" = '[{"2": 50}, 0]'
check "refuse: every client stalled and timed out" \
  "$(report_value "$report" '[summary["clients"]["timed_out"], summary["clients"]["stalled"]]')" = '[50, 50]'
check "refuse: the summary names the status" \
  "$(grep -c '^Refused at step 1 SOLICIT: 2:NoAddrAvail 50$' "$E2E_TMP/refuse.out" || true)" -eq 1

# No Server Identifier, quietly: nothing printed, every answer counted
# without one, and the clients still complete.
report=$E2E_TMP/nosid.jsonl
qv nosid 30 --server responder --responder-args --no-server-id -- \
  --test-mode once --clients 50 --timeout 1 --quiet --summary --report "$report" @LAB_CLIENT_IF@
check "no server id: exit status 0" "$qv_status" = 0
check "no server id: nothing printed with --quiet" ! -s "$E2E_TMP/nosid.out"
check "no server id: counted at every step, all completed" \
  "$(report_value "$report" '[[s["no_server_id"], s["answered"]] for s in summary["steps"]] + [summary["result"]]')" = \
  '[[50, 50], [50, 50], [50, 50], 50]'

# A report that cannot be written is said once, and the run ends with 1.
qv full 30 --server responder -- --test-mode once --clients 5 --report /dev/full @LAB_CLIENT_IF@
check "report on /dev/full: exit status 1" "$qv_status" = 1
check "report on /dev/full: said once" "$(cat "$E2E_TMP/full.err")" = \
  "Error: report /dev/full: write failed: No space left on device"

# Every answer twice: one answer per message moves a client on; the other
# is a duplicate, or unmatched when its client had already completed.
report=$E2E_TMP/twice.jsonl
qv twice 30 --server responder --responder-args --answer-twice -- \
  --test-mode once --clients 200 --timeout 1 --report "$report" @LAB_CLIENT_IF@
check "twice: exit status 0" "$qv_status" = 0
check "twice: all completed, each step answered once per client" \
  "$(report_value "$report" '[summary["result"]] + [s["answered"] for s in summary["steps"]]')" = '[200, 200, 200, 200]'
check "twice: the other 600 answers are duplicates or unmatched" \
  "$(report_value "$report" 'sum(s["duplicates"] for s in summary["steps"]) + summary["unmatched_replies"]')" -eq 600
check "twice: 1200 datagrams received" "$(report_value "$report" 'summary["received"]')" -eq 1200

# A server that takes at most 150 new clients per second, offered 200: the
# report line keeps the offered rate, the summary gives the served one, and
# --fail-below judges the served one. The responder counts whole seconds of
# its clock, which two seconds of sending may straddle three of.
report=$E2E_TMP/capped.jsonl
qv capped 40 --server responder --responder-args "--max-new-per-second 150" -- \
  --test-mode endless --clients 200 -t 3 --timeout 1 --summary --report "$report" --fail-below 190 @LAB_CLIENT_IF@
check "capped: exit status 3 (served below 190)" "$qv_status" = 3
check "capped: the report line gives the offered rate" \
  "$(grep -c '^Finished and report: 200 transactions per second\.$' "$E2E_TMP/capped.out" || true)" -eq 1
served=$(report_value "$report" 'int(summary["served_rate"])')
check "capped: served about 150/s ($served)" "$served" -ge 120 -a "$served" -lt 190
check "capped: served is completions per second of sending" \
  "$(report_value "$report" 'abs(summary["served_rate"] - summary["clients"]["completed"] * 200 / summary["clients"]["started"]) < 1e-9')" = true

# Highload interrupted by SIGINT during its search: the result is the
# low-water mark reached so far.
report=$E2E_TMP/highload_int.jsonl
signalled highload_int 40 --server responder --responder-args "--max-new-per-second 300" -- "6 INT" -- \
  --clients 100 -t 2 --timeout 1 --summary --report "$report" @LAB_CLIENT_IF@
check "highload, SIGINT: exit status 130" "$qv_status" = 130
check "highload, SIGINT: summary record interrupted, result the low-water mark" \
  "$(report_value "$report" '[summary["interrupted"], summary["result"] == summary["low_water"]]')" = '[true, true]'
check "highload, SIGINT: the summary says interrupted" \
  "$(grep -c '^Summary: highload test, .*; interrupted$' "$E2E_TMP/highload_int.out" || true)" -eq 1

# SIGTERM, twice: the first waits for replies due within --timeout (10 s,
# and none will come), the second ends the wait at once.
report=$E2E_TMP/term.jsonl
signalled term 40 --server responder --responder-args "--drop-percent 100" -- "2 TERM 1 TERM" -- \
  --test-mode endless --clients 50 --timeout 10 --report "$report" @LAB_CLIENT_IF@
took=$(sed -n 's/^took-ms //p' "$E2E_TMP/term.err")
check "term: exit status 143" "$qv_status" = 143
check "term: the second signal ends the run at once (${took} ms)" "${took:-9999}" -lt 1000
check "term: the clients still waiting are pending in the summary record" \
  "$(report_value "$report" '[summary["interrupted"], summary["clients"]["pending"] > 0]')" = '[true, true]'

finish
