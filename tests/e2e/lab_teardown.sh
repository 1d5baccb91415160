#!/usr/bin/env bash
# The lab leaves nothing behind (namespaces, server, temporary files) after a
# successful command, a failing one, a SIGTERM and a Ctrl-C, passes the
# command's status on, and writes a complete capture.
# shellcheck source=tests/e2e/common.bash
source "$(dirname "$0")/common.bash"
require_lab

facts=$E2E_TMP/facts
# shellcheck disable=SC2016  # expanded inside the lab
record='echo "$LAB_NS_CLIENT $LAB_NS_SERVER $LAB_SERVER_PID $LAB_DIR" >'"$facts"

# check_gone WHEN: what the last lab recorded no longer exists.
check_gone() {
  local ns_client ns_server pid dir
  read -r ns_client ns_server pid dir <"$facts"
  check "$1: client namespace removed" -z "$(ip netns list | grep -w -- "$ns_client" || true)"
  check "$1: server namespace removed" -z "$(ip netns list | grep -w -- "$ns_server" || true)"
  check "$1: server stopped" ! -e "/proc/$pid"
  check "$1: temporary directory removed" ! -e "$dir"
}

for server in kea responder; do
  rc=0
  timeout -k 5 60 "$LAB" --server "$server" -- bash -c "$record; exit 5" || rc=$?
  check "$server: the lab exits with the command's status" "$rc" -eq 5
  check_gone "$server, failing command"
done

# SIGTERM to the lab alone: it stops the command and tears down.
rm -f "$facts"
timeout -k 5 60 "$LAB" --server responder -- bash -c "$record; exec sleep 60" &
lab_pid=$!
for _ in $(seq 100); do [ -s "$facts" ] && break; sleep 0.1; done
kill -TERM "$lab_pid"
rc=0
wait "$lab_pid" || rc=$?
check "SIGTERM: the lab exits with 143" "$rc" -eq 143
check_gone "SIGTERM"

# Ctrl-C reaches the whole foreground process group: the command sees it
# first, and its status is the lab's (130 when it died of the signal).
ctrl_c() {
  rm -f "$facts" "$E2E_TMP/int-status"
  setsid bash -c "\"$LAB\" --server responder -- bash -c '$record; $1'; echo \$? >$E2E_TMP/int-status" &
  local group=$!
  for _ in $(seq 100); do [ -s "$facts" ] && break; sleep 0.1; done
  kill -INT -- "-$group"
  for _ in $(seq 100); do [ -s "$E2E_TMP/int-status" ] && break; sleep 0.1; done
  cat "$E2E_TMP/int-status" 2>/dev/null || echo none
}
check "Ctrl-C: a command that handles it passes its status on" \
  "$(ctrl_c 'trap "exit 9" INT; sleep 60 & wait')" = 9
check_gone "Ctrl-C, handled"
check "Ctrl-C: a command that dies of it makes the lab exit with 130" "$(ctrl_c 'exec sleep 60')" = 130
check_gone "Ctrl-C, default"

# The capture holds every exchange, the last answers included.
pcap=$E2E_TMP/lab.pcap
rc=0
lab_run /dev/null --server responder --capture "$pcap" -- \
  "${PERFDHCP[@]}" -r 100 -n 50 -l @LAB_CLIENT_IF@ || rc=$?
check "perfdhcp with capture ran (status $rc)" "$rc" -eq 0
check "capture file written" -s "$pcap"
count() { tshark -r "$pcap" -Y "dhcpv6.msgtype == $1" 2>/dev/null | wc -l; }
solicits=$(count 1)
check "capture has the SOLICITs ($solicits)" "$solicits" -ge 50
check "capture has as many ADVERTISEs" "$(count 2)" -eq "$solicits"
check "capture has as many REPLYs, the last included" "$(count 7)" -eq "$solicits"

finish
