#!/usr/bin/env bash
# The lab leaves nothing behind (namespaces, server, temporary files) after a
# failing command, a SIGTERM and a Ctrl-C, and passes the command's status
# on. (Its captures are read in the quorvelin end-to-end tests.)
# shellcheck source=tests/e2e/lab.bash
source "$(dirname "$0")/lab.bash"

facts=$T/facts
# shellcheck disable=SC2016  # expanded inside the lab
record='echo "$LAB_NS_CLIENT $LAB_NS_SERVER $LAB_SERVER_PID $LAB_DIR" >'"$facts"

# check_gone WHEN: what the last lab recorded no longer exists.
check_gone() {
  local ns_client ns_server pid dir
  read -r ns_client ns_server pid dir <"$facts"
  check "$1: namespaces removed" -z "$(ip netns list | grep -w -e "$ns_client" -e "$ns_server" || true)"
  check "$1: server stopped, temporary directory removed" ! -e "/proc/$pid" -a ! -e "$dir"
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
  rm -f "$facts" "$T/int-status"
  setsid bash -c "\"$LAB\" --server responder -- bash -c '$record; $1'; echo \$? >$T/int-status" &
  local group=$!
  for _ in $(seq 100); do [ -s "$facts" ] && break; sleep 0.1; done
  kill -INT -- "-$group"
  for _ in $(seq 100); do [ -s "$T/int-status" ] && break; sleep 0.1; done
  cat "$T/int-status" 2>/dev/null || echo none
}
check "Ctrl-C: a command that handles it passes its status on" "$(ctrl_c 'trap "exit 9" INT; sleep 60 & wait')" = 9
check_gone "Ctrl-C, handled"
check "Ctrl-C: a command that dies of it makes the lab exit with 130" "$(ctrl_c 'exec sleep 60')" = 130
check_gone "Ctrl-C, default"

finish
