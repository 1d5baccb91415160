#!/usr/bin/env bash
# What a run leaves behind when its outputs misbehave, as scripts meet them:
# standard output into `head -1`, a report FIFO whose reader quits, the
# report truncated by a log rotation during the run, standard output closed,
# every output on a full disk. The test always runs to its end; a write that
# fails is said once per output on standard error and the exit status is 1.
# shellcheck source=tests/e2e/lab.bash
source "$(dirname "$0")/lab.bash"

# A once run against the test responder lasts two ticks: the start line and
# the first progress line go out at once, the rest a second later.
ONCE=(--test-mode once --clients 20 --timeout 1 -v)

# Standard output into `head -n 1`, which quits after the start line: the
# later lines find the pipe closed.
# shellcheck disable=SC2016  # expanded by the script in the lab
in_lab pipe 30 --server responder -- bash -c '"$@" | head -n 1; exit "${PIPESTATUS[0]}"' pipe \
  "$QUORVELIN" "${ONCE[@]}" --summary --report "$T/pipe.jsonl" @IF@
check "| head -1: exit status 1, the start line, the closed pipe said once" \
  "$status/$(cat "$T/pipe.out")/$(cat "$T/pipe.err")" = \
  "1/Beginning DHCPv6 load 1 test./Error: standard output: write failed: Broken pipe"
check "| head -1: the test ran to its end, the summary the report's last record" \
  "$(report pipe '[summary["type"], summary["interrupted"], summary["clients"]["completed"]]')" = '["summary", false, 20]'

# A report FIFO whose reader takes the start record and quits. (The reader
# opens it first: a FIFO nobody reads is refused at start.)
# shellcheck disable=SC2016
in_lab fifo 30 --server responder -- bash -c '
  fifo=$1
  shift
  mkfifo "$fifo"
  (exec 3<>"$fifo"; touch "$fifo.ready"; head -n 1 <&3 >"$fifo.first") &
  while [ ! -e "$fifo.ready" ]; do sleep 0.05; done
  "$@"' fifo "$T/fifo" "$QUORVELIN" "${ONCE[@]}" --report "$T/fifo" @IF@
check "report FIFO whose reader quits: exit status 1, the test ran to its end, the broken FIFO said once" \
  "$status/$(last fifo)/$(cat "$T/fifo.err")" = \
  "1/Finished and report: 20 transactions per second./Error: report $T/fifo: write failed: Broken pipe"
check "report FIFO whose reader quits: the reader got the start record" \
  "$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["type"])' "$T/fifo.first")" = start

# The report truncated two seconds into a run of about five, as a rotation
# with copytruncate does: it holds whole records from then on, no zeros.
# shellcheck disable=SC2016
in_lab rotate 40 --server responder --responder-args "--drop-percent 50" -- bash -c '
  report=$1
  shift
  "$@" & pid=$!
  sleep 2
  : >"$report"
  wait "$pid"' rotate "$T/rotate.jsonl" "$QUORVELIN" --test-mode once --clients 20 --timeout 4 -v \
  --report "$T/rotate.jsonl" @IF@
check "report truncated during the run: exit status 0, no NUL byte in it" \
  "$status/$(tr -cd '\000' <"$T/rotate.jsonl" | wc -c)" = 0/0
check "report truncated during the run: each line a record, ticks on to the summary" \
  "$(report rotate '[start["type"], summary["type"], summary["clients"]["started"]]')" = '["tick", "summary", 20]'

# Standard output closed: the report does not take its place.
# shellcheck disable=SC2016
in_lab closed 30 --server responder -- bash -c '"$@" >&-' closed "$QUORVELIN" "${ONCE[@]}" --summary \
  --report "$T/closed.jsonl" @IF@
check "stdout closed: exit status 0, nothing on standard error" "$status/$(cat "$T/closed.err")" = 0/
check "stdout closed: the report is records only, the summary last" \
  "$(report closed '[len(records) == len(ticks) + len(events) + 2, summary["clients"]["completed"]]')/$(grep -cv '^{' \
  "$T/closed.jsonl")" = '[true, 20]/0'

# Every output on a full disk: one line for each, in the order they failed.
# shellcheck disable=SC2016
in_lab fullout 30 --server responder -- bash -c '"$@" >/dev/full' fullout "$QUORVELIN" --test-mode once --clients 5 \
  --report /dev/full --log-file /dev/full @IF@
check "every output on /dev/full: exit status 1, a line for each" "$status/$(cat "$T/fullout.err")" = \
  "1/Error: debug log /dev/full: write failed: No space left on device
Error: report /dev/full: write failed: No space left on device
Error: standard output: write failed: No space left on device"

finish
