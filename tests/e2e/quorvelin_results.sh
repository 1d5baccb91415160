#!/usr/bin/env bash
# What a run tells its user: the --summary block and the --report file
# against the test responder's faults, counts checked against what the
# responder did; --fail-below's exit status; SIGINT, SIGTERM and SIGHUP
# ending endless and highload runs with their summary, and a wait for
# --start-at with an interrupted one. (A plain once run, refusals
# and duplicate answers are checked in the Kea and responder tests.)
# shellcheck source=tests/e2e/lab.bash
source "$(dirname "$0")/lab.bash"

# signalled NAME SECONDS LAB-ARGS... -- "DELAY SIGNAL..." -- QUORVELIN-ARGS...:
# qv, with quorvelin started in the background of a script (so with SIGINT
# ignored, as a script's background job is) and sent each SIGNAL DELAY
# seconds after the one before. The milliseconds from the last signal to
# quorvelin's end go to NAME.err as "took-ms N".
signalled() {
  local head=() schedule
  while [ "$1" != -- ]; do head+=("$1"); shift; done
  schedule=$2
  shift 3
  # shellcheck disable=SC2016  # expanded by the script in the lab
  in_lab "${head[@]}" -- bash -c '
    schedule=$1; shift
    "$@" & pid=$!
    set -- $schedule
    while [ $# -ge 2 ]; do sleep "$1"; kill -"$2" "$pid"; sent=$(date +%s%N); shift 2; done
    status=0; wait "$pid" || status=$?
    echo "took-ms $((($(date +%s%N) - sent) / 1000000))" >&2
    exit "$status"' signalled "$schedule" "$QUORVELIN" "$@"
}

# Kea, endless, interrupted by SIGINT although it started with SIGINT
# ignored: status 130, no report line, the summary with the served rate, and
# the report's summary record marked interrupted.
signalled kea_endless 40 --server kea -- "4 INT" -- --test-mode endless --clients 200 -t 2 -v --summary \
  --report "$T/kea_endless.jsonl" @IF@
check "kea endless, SIGINT: exit status 130, no report line, the summary says interrupted" \
  "$status/$(count kea_endless '^Finished')/$(count kea_endless \
  '^Summary: endless test, 200 clients/second offered, [0-9.]* served; interrupted$')" = 130/0/1
check "kea endless, SIGINT: interrupted, nobody left waiting, the signal an event, the result the served rate" \
  "$(report kea_endless '[summary["interrupted"], summary["clients"]["pending"], [e["signal"] for e in events
    if e["event"] == "interrupted"], summary["result"] == summary["served_rate"]]')" = '[true, 0, [2], true]'
served=$(report kea_endless 'int(summary["served_rate"])')
check "kea endless, SIGINT: Kea served about the 200/s offered ($served)" "$served" -ge 180 -a "$served" -le 201

# The responder drops 10 % of requests: each step's sent messages and
# timeouts are what the responder received and dropped of that type.
qv drop 30 --server responder --responder-args "--drop-percent 10" --server-log "$T/drop.responder" -- \
  --test-mode once --clients 500 --timeout 1 --summary --report "$T/drop.jsonl" --fail-below 500 @IF@
check "drop: exit status 3 (fewer than 500 completed)" "$status" = 3
for step in 1:1 2:3 3:8; do # step:message type
  k=${step%:*}
  line=$(grep "type ${step#*:}:" "$T/drop.responder")
  received=$(grep -o 'received=[0-9]*' <<<"$line" | cut -d= -f2)
  dropped=$(grep -o 'dropped=[0-9]*' <<<"$line" | cut -d= -f2)
  check "drop: step $k sent $received, timed out $dropped" \
    "$(report drop "[step($k)['sent'], step($k)['timed_out'], step($k)['answered']]")" = \
    "[$received, $dropped, $((received - dropped))]"
done
check "drop: every client completed or timed out; the result is the completed clients" "$(report drop \
  '[summary["clients"]["completed"] + summary["clients"]["timed_out"], summary["result"] == summary["clients"]["completed"]]')" \
  = '[500, true]'

# A server that takes at most 150 new clients per second, offered 200: the
# report line keeps the offered rate, the summary gives the served one, and
# --fail-below judges the served one. The responder counts whole seconds of
# its clock, which two seconds of sending may straddle three of.
qv capped 40 --server responder --responder-args "--max-new-per-second 150" -- \
  --test-mode endless --clients 200 -t 3 --timeout 1 --summary --report "$T/capped.jsonl" --fail-below 190 @IF@
check "capped: exit status 3 (served below 190), the report line gives the offered rate" \
  "$status/$(count capped '^Finished and report: 200 transactions per second\.$')" = 3/1
served=$(report capped 'int(summary["served_rate"])')
check "capped: served about 150/s ($served)" "$served" -ge 120 -a "$served" -lt 190
check "capped: served is completions per second of sending" "$(report capped \
  'abs(summary["served_rate"] - summary["clients"]["completed"] * 200 / summary["clients"]["started"]) < 1e-9')" = true

# Highload interrupted by SIGINT during its search: the result is the
# low-water mark reached so far.
signalled highload_int 40 --server responder --responder-args "--max-new-per-second 300" -- "6 INT" -- \
  --clients 100 -t 2 --timeout 1 --summary --report "$T/highload_int.jsonl" @IF@
check "highload, SIGINT: exit status 130, the summary says interrupted" \
  "$status/$(count highload_int '^Summary: highload test, .*; interrupted$')" = 130/1
check "highload, SIGINT: summary record interrupted, result the low-water mark" \
  "$(report highload_int '[summary["interrupted"], summary["result"] == summary["low_water"]]')" = '[true, true]'

# SIGTERM, twice: the first waits for replies due within --timeout (10 s,
# and none will come), the second ends the wait at once.
signalled term 40 --server responder --responder-args "--drop-percent 100" -- "2 TERM 1 TERM" -- \
  --test-mode endless --clients 50 --timeout 10 --report "$T/term.jsonl" @IF@
took=$(sed -n 's/^took-ms //p' "$T/term.err")
check "term: exit status 143, the second signal ends the run at once (${took} ms)" \
  "$status" = 143 -a "${took:-9999}" -lt 1000
check "term: the clients still waiting are pending in the summary record" \
  "$(report term '[summary["interrupted"], summary["clients"]["pending"] > 0]')" = '[true, true]'

# SIGHUP (the terminal or ssh session closed) ends a run like SIGTERM, with
# its summary and report, and exit status 129.
signalled hup 40 --server responder -- "2 HUP" -- --test-mode endless --clients 50 --timeout 1 --summary \
  --report "$T/hup.jsonl" @IF@
check "hup: exit status 129, the summary says interrupted" \
  "$status/$(count hup '^Summary: endless test, 50 clients/second offered, [0-9.]* served; interrupted$')" = 129/1
check "hup: the summary record interrupted, the signal an event" \
  "$(report hup '[summary["interrupted"], [e["signal"] for e in events if e["event"] == "interrupted"]]')" = \
  '[true, [1]]'

# Under nohup SIGHUP stays ignored: the run goes on until SIGTERM.
# shellcheck disable=SC2016  # expanded by the script in the lab
in_lab nohup 40 --server responder -- bash -c '
  nohup "$@" & pid=$!
  sleep 2
  kill -HUP "$pid"
  sleep 1
  kill -TERM "$pid"
  wait "$pid"' nohup "$QUORVELIN" --test-mode endless --clients 50 --timeout 1 --report "$T/nohup.jsonl" @IF@
check "nohup: SIGHUP ignored, SIGTERM ends the run: exit status 143, the only signal recorded" \
  "$status/$(report nohup '[e["signal"] for e in events if e["event"] == "interrupted"]')" = '143/[15]'

# SIGTERM during the wait for --start-at (a fleet stopped before its start,
# `podman stop`): the run never began, yet its report has the start record,
# the signal and a summary marked interrupted with nothing counted, which
# merge reads like any other; the summary block says interrupted.
# shellcheck disable=SC2016  # expanded by the script in the lab
in_lab startwait 40 --server none -- bash -c '
  out=$1
  shift
  "$@" --start-at "$(date -u -d "+30 seconds" +%Y-%m-%dT%H:%M:%SZ)" >"$out" & pid=$!
  for _ in $(seq 100); do grep -q "^Waiting until" "$out" && break; sleep 0.1; done
  kill -TERM "$pid"
  status=0; wait "$pid" || status=$?
  cat "$out"
  exit "$status"' startwait "$T/startwait.qv" "$QUORVELIN" --test-mode endless --clients 200 --summary \
  --report "$T/startwait.jsonl" @IF@
check "start wait, SIGTERM: exit status 143, no test began, the summary says interrupted" \
  "$status/$(count startwait '^Waiting until')/$(count startwait '^Beginning')/$(count startwait \
  '^Summary: endless test, 200 clients/second offered, 0.0 served; interrupted$')" = 143/1/0/1
# (What such a report holds field by field is pinned in run_report_test.cpp.)
check "start wait, SIGTERM: the report's start, the signal, an interrupted summary of the run's settings" \
  "$(report startwait '[[r["type"] for r in records], [e["signal"] for e in events], summary["interrupted"],
    start["mode"], summary["offered_rate"], [s["sent"] for s in summary["steps"]]]')" = \
  '[["start", "event", "summary"], [15], true, "endless", 200, [0, 0, 0]]'
check "start wait, SIGTERM: merge takes the report" \
  "$(python3 "$SOURCE_DIR/scripts/merge" "$T/startwait.jsonl" | tail -n 1 | python3 -c \
  'import json, sys; s = json.load(sys.stdin); print(s["interrupted"], s["clients"]["started"])')" = "True 0"

finish
