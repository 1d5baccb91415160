#!/usr/bin/env bash
# The metrics endpoint under load it must shrug off: during a ramp against
# the test responder, served on [::]:9547, 200 clients scrape four times a
# second each over kept connections and 50 hold a request whose header
# never ends, half of each over IPv4, half over IPv6. The run's counts stay
# exact (every client started completes; the steps' messages are the
# responder's), a separate client's scrapes are answered within a second
# throughout, the half-open connections are closed at the 5-s request
# deadline, and the run ends on time, its endpoint closing every connection
# as it goes.
# shellcheck source=tests/e2e/lab.bash
source "$(dirname "$0")/lab.bash"

# load.py PORT: the 200 scrapers and the 50 half-open connections, until
# SIGTERM; then prints, as JSON, what each saw. Every connection, when the
# server ends it, is opened again.
cat >"$T/load.py" <<'PYTHON'
import asyncio, json, re, signal, sys, time

PORT = int(sys.argv[1])
SCRAPERS, HALF_OPEN = 200, 50
# Between a scraper's scrapes: its connection stays open and idle, 800
# scrapes a second in all, well above what any Prometheus asks of a target,
# while the test's own CPU stays far from the generator's.
PAUSE = 0.25
host = lambda i: "::1" if i % 2 else "127.0.0.1"
seen = {"scrapes": [0] * SCRAPERS, "statuses": {}, "held": []}

async def connect(i, stop):
    while not stop.is_set():
        try:
            return await asyncio.open_connection(host(i), PORT)
        except OSError:
            await asyncio.sleep(0.05)
    return None, None

async def scraper(i, stop):
    while not stop.is_set():
        reader, writer = await connect(i, stop)
        if writer is None:
            return
        try:
            while not stop.is_set():
                writer.write(b"GET /metrics HTTP/1.1\r\nHost: lab\r\n\r\n")
                head = await reader.readuntil(b"\r\n\r\n")
                status = head.split(b" ", 2)[1].decode()
                await reader.readexactly(int(re.search(rb"Content-Length: (\d+)", head).group(1)))
                seen["statuses"][status] = seen["statuses"].get(status, 0) + 1
                seen["scrapes"][i] += 1
                await asyncio.sleep(PAUSE)
        except (OSError, asyncio.IncompleteReadError):
            pass
        writer.close()

async def half_open(i, stop):
    while not stop.is_set():
        reader, writer = await connect(i, stop)
        if writer is None:
            return
        opened = time.time()
        writer.write(b"GET /metrics HTTP/1.1\r\n")
        try:
            answer = await reader.read(1)
        except OSError:
            answer = b""
        if not stop.is_set():
            seen["held"].append([opened, time.time(), len(answer)])
        writer.close()

async def main():
    stop = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
    tasks = [asyncio.create_task(scraper(i, stop)) for i in range(SCRAPERS)]
    tasks += [asyncio.create_task(half_open(i, stop)) for i in range(HALF_OPEN)]
    await stop.wait()
    for task in tasks:
        task.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)
    print(json.dumps(seen))

asyncio.run(main())
PYTHON

# probe.py PORT: a scrape on a new connection every 0.2 s, IPv6 and IPv4 in
# turn, until SIGTERM; then prints [start, seconds it took, or null when it
# failed] of each.
cat >"$T/probe.py" <<'PYTHON'
import json, signal, socket, sys, time

PORT = int(sys.argv[1])
stopped = []
signal.signal(signal.SIGTERM, lambda *_: stopped.append(1))
probes = []
while not stopped:
    began = time.time()
    try:
        with socket.create_connection(("::1" if len(probes) % 2 else "127.0.0.1", PORT), timeout=5) as s:
            s.sendall(b"GET /metrics HTTP/1.1\r\nHost: probe\r\nConnection: close\r\n\r\n")
            answer = b""
            while chunk := s.recv(65536):
                answer += chunk
        probes.append([began, time.time() - began if answer.startswith(b"HTTP/1.1 200 ") else None])
    except OSError:
        probes.append([began, None])
    time.sleep(0.2)
print(json.dumps(probes))
PYTHON

# The ramp: 500/s, then 1000/s, two seconds each, each followed by its
# pause for the last answers (2 messages x (1 s timeout + 1) + 1 = 5 s):
# 3,000 clients, and the run ends 18 s after its start without any scraper
# (the steps begin on ticks, and the end waits for the last one). The
# endpoint opens at once, four seconds before the start, so that all the
# clients above are in by then.
RAMP_SECONDS=18
# shellcheck disable=SC2016  # expanded inside the lab
in_lab load 90 --server responder --server-log "$T/load.responder" -- bash -c '
  base=$1
  at=$(date -u -d "+4 seconds" +%Y-%m-%dT%H:%M:%SZ)
  date -u -d "$at" +%s >"$base.at"
  "$QUORVELIN" --start-at "$at" --metrics-listen "[::]:9547" --metrics-linger 0 --ramp 500:1000:500:2 \
    --timeout 1 --summary --report "$base.jsonl" "$LAB_CLIENT_IF" &
  run=$!
  # At the priority of the endpoint thread: the load presses on the endpoint,
  # its own CPU is no part of what is tested.
  nice -n 10 python3 "$(dirname "$base")/load.py" 9547 >"$base.scrapers" &
  load=$!
  python3 "$(dirname "$base")/probe.py" 9547 >"$base.probes" &
  probe=$!
  status=0
  wait "$run" || status=$?
  date +%s.%N >"$base.ended"
  kill -TERM "$load" "$probe"
  wait "$load" "$probe"
  exit "$status"' load "$T/load"

check "load: exit status 0" "$status" = 0
check "load: every client started completed, none timed out, the generator not saturated" "$(report load \
  '[summary["clients"]["started"], summary["clients"]["completed"], summary["clients"]["timed_out"],
    summary["generator_saturated"]]')" = "[3000, 3000, 0, false]"
check "load: the steps sent what the responder received and answered what it answered" \
  "$(report load '"%d/%d" % (sum(s["sent"] for s in summary["steps"]), sum(s["answered"] for s in summary["steps"]))')" \
  = "$(responder_count "$T/load.responder" received)/$(responder_count "$T/load.responder" answered)"
ended=$(python3 -c "import sys; print(round(float(sys.argv[1]) - int(sys.argv[2]), 1))" "$(cat "$T/load.ended")" \
  "$(cat "$T/load.at")")
check "load: the run ended $ended s after its start, within 2 s of its $RAMP_SECONDS s unscraped" \
  "$(python3 -c "print(int($ended <= $RAMP_SECONDS + 2))")" = 1

# What the clients saw, over the run: from the first answered probe until a
# second before the end (a probe's time).
seen() {
  python3 - "$T/load.scrapers" "$T/load.probes" "$(cat "$T/load.ended")" "$1" <<'PYTHON'
import json, sys
seen, probes, ended = json.load(open(sys.argv[1])), json.load(open(sys.argv[2])), float(sys.argv[3])
first = min(began for began, took in probes if took is not None)
during = [took for began, took in probes if first <= began <= ended - 1]
closed = [(shut - opened, size) for opened, shut, size in seen["held"] if shut <= ended - 0.5]
print(eval(sys.argv[4]))
PYTHON
}
check "load: each of the 200 scrapers was answered, only with 200" \
  "$(seen '[min(seen["scrapes"]) > 0, list(seen["statuses"])]')" = "[True, ['200']]"
check "load: $(seen 'sum(seen["scrapes"])') scrapes answered while the 50 half-open connections were held" \
  "$(seen 'sum(seen["scrapes"]) >= 1000')" = True
check "load: $(seen 'len(during)') probes during the run, all answered, the slowest in $(seen \
  'max(t for t in during if t is not None)') s" "$(seen '[len(during) >= 40, None not in during and max(during) < 1]')" \
  = "[True, True]"
check "load: the server closed $(seen 'len(closed)') half-open connections, each after $(seen \
  'min(t for t, _ in closed)') to $(seen 'max(t for t, _ in closed)') s, unanswered" \
  "$(seen '[len(closed) >= 100, all(4.9 <= t <= 6.5 and size == 0 for t, size in closed)]')" = "[True, True]"

finish
