#!/usr/bin/env python3
"""The measuring half of bench/run.

Runs inside the lab's client namespace (scripts/lab exports LAB_CLIENT_IF,
LAB_SERVER_PID, ...), measures quorvelin and perfdhcp one after the other
against the same responder and writes a Markdown table to $BENCH_TABLE;
progress goes to standard error. CPU time is user+sys in clock ticks
(/proc/PID/stat, or GNU time's %U %S): 10 ms resolution at 100 Hz, hence
the median of REPS runs. Importing runs nothing: inside a lab,
`cd bench && python3 -i -c 'from measure import *'` tries one measurement.

`measure.py pending LAB`, run first in a lab whose server never answers
(LAB: a key of PENDING_LABS), appends the memory that pending clients cost
to $BENCH_PENDING, which the main run adds to its table. `measure.py
population`, run in a lab with the test responder, appends there what a
bound subscriber of the population test costs; `measure.py churn`, run in
a lab whose test responder grants CHURN_VALID-second leases, what the lease
check holds when leases end as fast as they are granted.
"""

import functools
import json
import math
import os
import re
import select
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from collections import defaultdict, namedtuple
from types import SimpleNamespace

HZ = os.sysconf("SC_CLK_TCK")
RATES = (1000, 10000)
RATE_SECONDS = 10  # fixed-rate runs: 10 s of new clients
NA = "n/a"
PENDING_CLIENTS = 400_000  # once clients held pending by a server that never answers
PENDING_BASELINE = 10      # the handful of clients of the baseline run
PENDING_TIMEOUT = 10       # --timeout: the last client starts before the first times out
# The labs of the pending-memory rows: their server, as scripts/lab is given it, and their label.
PENDING_LABS = {"none": "no server", "drop": "the test responder dropping every request"}

# The population row: subscribers bound by the test responder for good
# (infinite lifetimes, so nothing renews), started at POPULATION_RATE: the
# most one generator keeps (--population's limit per generator).
POPULATION = 8_000_000
POPULATION_RATE = 40_000
POPULATION_BASELINE = 10
# CPU per renewal: POPULATION_CPU subscribers renewing every T1 of 2 s (the
# lab's responder grants POPULATION_CPU_LEASE_TIMES) for
# POPULATION_CPU_SECONDS, as one instance and as two segments of one test:
# 25,000 renewals a second, a load worth splitting (each segment serves
# several renewals a wake-up, as the one instance does) that the test
# responder answers on a two-core machine. Real lease times, not
# --time-compression: compressed, a RENEW's first retransmission comes 20 ms
# after it, and a responder descheduled that long set off waves of
# retransmissions that made one run's renewals differ from the next's.
POPULATION_CPU = 50_000
POPULATION_CPU_LEASE_TIMES = "2,3,4,5"
POPULATION_CPU_SECONDS = 30
# Held leases (--check-leases): one ramp step of LEASE_RATE new clients a
# second, each left holding its address (the bench scenario never releases),
# run with and without the check; measured once.
LEASE_RATE = 20000
LEASE_SECONDS = 50  # 1,000,000 leases held at the end (QUICK: half as long)
# Leases that end as fast as they are granted (--check-leases): one ramp step
# of CHURN_RATE new clients a second against the test responder granting
# CHURN_VALID-second leases, so that about CHURN_RATE x CHURN_VALID are held
# at once however long the run; with and without the check, once.
CHURN_RATE = 10000
CHURN_VALID = 2
CHURN_SECONDS = 60  # 600,000 leases granted (QUICK: a third as long)

# Two generators as the two segments of one test at 10,000/s, each on its
# own address of the client link, against one generator at the whole rate.
SEGMENT_RATE = 10000
# Relay templates (--links): the bench scenario behind one relay layer at
# LINKS_RATE new clients a second, its link-address and options written
# plainly, then as templates over LINKS links.
LINKS_RATE = 10000
LINKS = 1000
PLAIN_RELAY = 'RELAY 2001:db8:1000::1 => fe80::1 { INTERFACE_ID = "olt-0001", REMOTE_ID = 9L "line-1" }\n'
TEMPLATE_RELAY = ('RELAY 2001:db8:1000::1/48 => fe80::1 { INTERFACE_ID = "olt-{link:04}", '
                  'REMOTE_ID = 9L "line-{client}" }\n')
PARTS = ("fixed_rates", "segments", "metrics", "ceilings", "highload", "leases", "links")
# Parts that bench/run measures in labs of their own, before the main lab.
SEPARATE_LABS = ("pending", "population", "population_cpu", "churn")
SEGMENT_ADDRESSES = ("2001:db8:1::20", "2001:db8:1::21")

# Live metrics: the same run at 10,000/s serving --metrics-listen on the lab's
# loopback, scraped once a second, beside one without.
METRICS_RATE = 10000
METRICS_LISTEN = "127.0.0.1:9547"
METRICS_URL = f"http://{METRICS_LISTEN}/metrics"

Progress = namedtuple("Progress", "tick results timeouts pending low rate high avg_ms max_ms min_ms")

HOW = """\
How: CPU is user+sys of the whole process over completed four-message clients
(SOLICIT, ADVERTISE, REQUEST, REPLY). quorvelin runs endless mode with bench/*.scn and is
read (/proc/PID/stat, results of its progress line) at its progress line of tick {rs},
after {rs} s of new clients; perfdhcp runs `-6 -r RATE -p {rs} -R 10000000`
under GNU time, completions = REQUEST-REPLY received packets. Ceilings: the highest rate
whose {cs} s run lost < 0.1 % of its clients (search to {precision} %): perfdhcp -r, which must also
have started >= 98 % of them; quorvelin endless --clients, counting every client of rate x {cs}
not completed at the progress line that ends sending as lost. Responder CPU at the ceiling: its
highest passing run. quorvelin's highload report: "Finished and report" of its own search
(--clients 10000 -t {hl} --timeout 1), measured once (a search is about 17 test runs).
Receive-buffer losses: Udp6RcvbufErrors of the client namespace during the run.
Peak RSS: VmHWM at the progress line of tick {rss} of an endless run at 10000/s; perfdhcp: GNU time %M.
"""

SEGMENTS_HOW = """\
Two segments: two quorvelin endless runs at --clients {rate} as --segment 0/2 and 1/2, each with its
own --local-address, read at tick {rs} like the runs above: the CPU of both over the clients both
completed. Together: started at once with --start-at, so the two and the responder share the two
cores. One after the other: the same two runs in turn, as on a machine with a core for each. Then one
instance at {rate}/s, in the same repetition.
"""

LEASES_HOW = """\
Held leases: quorvelin `--ramp {rate}:{rate}:1:{s} --timeout 1` with the bench scenario (no RELEASE, so every
client keeps its address), with and without --check-leases, peak RSS by GNU time %M. Bytes per held lease =
(the peak with the check - the peak without) x 1024 / the clients completed with it (each holds one lease).
"""

CHURN_HOW = """\
Leases ending as granted: quorvelin `--ramp {rate}:{rate}:1:{s} --timeout 1` with the bench scenario against
the test responder granting {valid} s valid lifetimes, with and without --check-leases, peak RSS by GNU time
%M. Bytes per lease held at once = (the peak with the check - the peak without) x 1024 / ({rate} x {valid}).
"""

METRICS_HOW = """\
Live metrics: quorvelin endless at {rate}/s read at tick {rs} like the runs above, once plain and once with
--metrics-listen 127.0.0.1:9547 while a client fetched /metrics every second (the scrapes' cost
included), run in turns; last column: with metrics / without.
"""

PENDING_HOW = """\
Pending clients: quorvelin `--test-mode once --clients {n} --timeout {t}` in a lab whose server never
answers (no server, or the test responder with --drop-percent 100), peak RSS by GNU time %M. Bytes per
pending client = (that peak - the peak of the same run with {base} clients, once per lab) x 1024 / the
most clients pending at one progress line ({n} when all were in flight together).
"""
POPULATION_HOW = """\
Bound subscribers: quorvelin `--test-mode population --population {n} --clients {rate}` against the
test responder granting infinite lifetimes, peak RSS by GNU time %M; bytes per bound subscriber =
(that peak - the peak of the same run with {base}) x 1024 / the subscribers bound at the end.
"""
POPULATION_CPU_HOW = """\
CPU per renewal: quorvelin `--test-mode population --population {n} --clients {rate} -t {s}` against the
test responder granting lease times {times} (T1 2 s: a RENEW every 2 s) under GNU time (%U + %S), divided by the
RENEWs and REBINDs its report counts sent (retransmissions included; the binding and the releases are in the
CPU too); then the same test as two segments (`--segment I/2`, each its own address, one `--start-at`), their
CPU and renewals summed. One instance and the pair alternate; the machine is shared, so each figure is noisy.
"""


def say(text):
    print(f"bench: {text}", file=sys.stderr, flush=True)


def read(path):
    with open(path, errors="replace") as f:
        return f.read()


def median(values):
    """Median of the values as written (the table shows them unchanged), n/a
    when none is a number; the lower middle of an even count, so it is
    always a value that was measured."""
    numbers = [v for v in values if v not in ("", NA)]
    if not numbers:
        return NA
    low = statistics.median_low(float(v) for v in numbers)
    return next(v for v in numbers if float(v) == low)


def parse_progress(line):
    """The ten numbers of a progress line ("%4d %7d %7d %7d | %7d %7d %7d |
    %7d %7d %7d"), None for start lines, decisions and "# delayd" lines."""
    fields = line.split()
    if len(fields) != 12 or fields[4] != "|" or fields[8] != "|":
        return None
    try:
        return Progress(*(int(f) for i, f in enumerate(fields) if i not in (4, 8)))
    except ValueError:
        return None


def ceiling_search(passes, start, factor, precision):
    """Highest rate for which passes(rate) holds, 0 when none did.

    Steps from START up or down by FACTOR, squaring it after every step in
    the same direction so that a far-off start costs few runs, until a pass
    and a failure bracket the ceiling (or 1,000,000/s or 10/s is passed);
    then bisects in ratio until high/low <= 1 + PRECISION %.
    """
    low = high = 0
    rate = start
    while True:
        if passes(rate):
            low, rate = rate, int(rate * factor)
            if high or rate > 1_000_000:
                break
        else:
            high, rate = rate, int(rate / factor)
            if low or rate < 10:
                break
        factor *= factor
    while low and high and high * 100 > low * (100 + precision):
        rate = int(math.sqrt(low * high))
        if passes(rate):
            low = rate
        else:
            high = rate
    return low


def pd_stat(report, section, field):
    """A counter of perfdhcp's final report, 0 when absent (a run cut short)."""
    inside = False
    for line in report.splitlines():
        if line.startswith("***"):
            inside = line.startswith(f"***Statistics for: {section}***")
        elif inside and line.startswith(f"{field}:"):
            return int(line.split()[-1])
    return 0


def per_client_us(ticks, clients):
    """Clock ticks over completed clients in microseconds, one decimal."""
    if not isinstance(ticks, int) or not isinstance(clients, int) or clients <= 0:
        return NA
    return f"{ticks * 1e6 / HZ / clients:.1f}"


def percent(part, whole):
    return f"{int(100 * part / whole)}" if whole > 0 else NA


def per_pending_client(peak_kib, base_kib, pending):
    """Bytes of peak RSS each pending client added over the baseline run,
    a whole number; n/a when a figure is missing."""
    if not all(isinstance(v, int) for v in (peak_kib, base_kib, pending)) or pending <= 0:
        return NA
    return f"{(peak_kib - base_kib) * 1024 / pending:.0f}"


def peak_pending(output):
    """The most clients pending at any progress line of OUTPUT, n/a if none."""
    pending = [p.pending for p in map(parse_progress, output.splitlines()) if p]
    return max(pending) if pending else NA


def gnu_time_kib(path):
    """GNU time's %M (peak RSS, KiB): the last line of its -o file."""
    try:
        return int(read(path).splitlines()[-1])
    except (OSError, IndexError, ValueError):
        return NA


def ratio(a, b):
    """a / b of two medians, two decimals."""
    return NA if NA in (a, b) or float(b) == 0 else f"{float(a) / float(b):.2f}"


def cpu_split(pid):
    """User and sys clock ticks of a live process, all its threads."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(") ", 1)[1].split()  # the name may hold blanks
        return int(fields[11]), int(fields[12])
    except OSError:
        return 0, 0


def proc_value(path, key, default=NA):
    """The first number after KEY in a /proc table such as status or snmp6."""
    try:
        with open(path) as f:
            return next(int(line.split()[1]) for line in f if line.startswith(key))
    except (OSError, StopIteration):
        return default


def rcvbuf_errors():
    """Datagrams this namespace's UDP sockets dropped on a full receive buffer."""
    return proc_value("/proc/net/snmp6", "Udp6RcvbufErrors", 0)


def lines_until_quiet(stream, seconds):
    """Lines of an unbuffered child's output as they come, until it ends or
    stays silent for SECONDS: a hung run must not hang the benchmark."""
    while select.select([stream], [], [], seconds)[0]:
        line = stream.readline()
        if not line:
            return
        yield line.decode(errors="replace")


def stop_process(proc):
    """SIGTERM, then SIGKILL if it is still there after 5 s."""
    proc.terminate()
    try:
        proc.wait(5)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def once_peak(quorvelin, interface, clients, tag, tmp):
    """quorvelin once with CLIENTS against a server that never answers, under
    GNU time: its peak RSS (KiB) and the most clients pending at once."""
    out, times = f"{tmp}/{tag}.out", f"{tmp}/{tag}.time"
    command = ["timeout", "-k", "5", str(PENDING_TIMEOUT + 60), "/usr/bin/time", "-f", "%M", "-o", times,
               quorvelin, "--test-mode", "once", "-v", "--clients", str(clients), "--timeout", str(PENDING_TIMEOUT),
               interface]
    with open(out, "w") as f:
        subprocess.run(command, stdout=f, stderr=subprocess.STDOUT, check=False)
    return gnu_time_kib(times), peak_pending(read(out))


def completed_in_summary(output):
    """The completed clients of the summary's Clients line, n/a without one."""
    found = re.search(r"^Clients: \d+ started, (\d+) completed", output, re.M)
    return int(found.group(1)) if found else NA


def measure_pending(env, lab):
    """The pending-memory figures of one lab, REPS times, appended as one JSON
    line to $BENCH_PENDING for the table."""
    reps = int(env.get("REPS") or (1 if env.get("QUICK", "0") == "1" else 3))
    tmp = tempfile.mkdtemp(prefix="quorvelin-pending.")
    figures = defaultdict(list)
    try:
        base, _ = once_peak(env["BENCH_QUORVELIN"], env["LAB_CLIENT_IF"], PENDING_BASELINE, "base", tmp)
        for rep in range(1, reps + 1):
            peak, pending = once_peak(env["BENCH_QUORVELIN"], env["LAB_CLIENT_IF"], PENDING_CLIENTS, f"peak-{rep}", tmp)
            per_client = per_pending_client(peak, base, pending)
            say(f"  {PENDING_LABS[lab]}: peak RSS {peak} KiB with {pending} pending, {base} KiB with "
                f"{PENDING_BASELINE} clients: {per_client} bytes per pending client")
            figures[f"q.pending.{lab}.rss"].append(str(peak))
            figures[f"q.pending.{lab}.bytes"].append(per_client)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    with open(env["BENCH_PENDING"], "a") as f:
        f.write(json.dumps(figures) + "\n")


def population_peak(quorvelin, interface, population, tag, tmp):
    """quorvelin's population test of POPULATION subscribers under GNU time:
    its peak RSS (KiB) and the subscribers bound at the end."""
    out, times = f"{tmp}/{tag}.out", f"{tmp}/{tag}.time"
    # A quarter more than the binding takes at the rate, for clients that time
    # out on a busy machine and are started again.
    seconds = population * 5 // (4 * POPULATION_RATE) + 10
    command = ["timeout", "-k", "5", str(2 * seconds + 60), "/usr/bin/time", "-f", "%M", "-o", times, quorvelin,
               "--test-mode", "population", "--population", str(population), "--clients", str(POPULATION_RATE),
               "-t", str(seconds), interface]
    with open(out, "w") as f:
        subprocess.run(command, stdout=f, stderr=subprocess.STDOUT, check=False)
    bound = re.findall(r"^Finished and report: (\d+) subscribers bound\.$", read(out), re.M)
    return gnu_time_kib(times), int(bound[-1]) if bound else NA


def measure_population(env):
    """Bytes per bound subscriber, once, appended to $BENCH_PENDING."""
    tmp = tempfile.mkdtemp(prefix="quorvelin-population.")
    try:
        base, _ = population_peak(env["BENCH_QUORVELIN"], env["LAB_CLIENT_IF"], POPULATION_BASELINE, "base", tmp)
        peak, bound = population_peak(env["BENCH_QUORVELIN"], env["LAB_CLIENT_IF"], POPULATION, "peak", tmp)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    per = per_pending_client(peak, base, bound)
    say(f"  population: peak RSS {peak} KiB with {bound} bound, {base} KiB with {POPULATION_BASELINE}: "
        f"{per} bytes per bound subscriber")
    with open(env["BENCH_PENDING"], "a") as f:
        f.write(json.dumps({"q.population.bytes": [per], "q.population.rss": [str(peak)]}) + "\n")


def population_cpu_run(quorvelin, interface, tag, tmp, extra=()):
    """One population run of the CPU row under GNU time: its CPU seconds
    (user and sys) and the RENEWs and REBINDs it sent, retransmissions
    included, read from its report; n/a for what is missing."""
    times, report = f"{tmp}/{tag}.time", f"{tmp}/{tag}.jsonl"
    command = ["timeout", "-k", "5", str(POPULATION_CPU_SECONDS + 60), "/usr/bin/time", "-f", "%U %S", "-o", times,
               quorvelin, "--test-mode", "population", "--population", str(POPULATION_CPU), "--clients",
               str(POPULATION_RATE), "-t", str(POPULATION_CPU_SECONDS), "--report", report, *extra, interface]
    with open(f"{tmp}/{tag}.out", "w") as f:
        subprocess.run(command, stdout=f, stderr=subprocess.STDOUT, check=False)
    try:
        cpu = sum(float(v) for v in read(times).splitlines()[-1].split())
        population = json.loads(read(report).splitlines()[-1])["population"]
        renewals = sum(population[kind][count] for kind in ("renew", "rebind") for count in ("sent", "retransmitted"))
    except (OSError, IndexError, ValueError, KeyError):
        return NA, NA
    return cpu, renewals


def measure_population_cpu(env):
    """CPU µs per renewal of one instance and of two segments of one test
    run together (each on its own address), alternating, REPS times,
    appended to $BENCH_PENDING."""
    quorvelin, interface = env["BENCH_QUORVELIN"], env["LAB_CLIENT_IF"]
    for address in SEGMENT_ADDRESSES:
        subprocess.run(["ip", "addr", "replace", f"{address}/64", "dev", interface, "nodad"],
                       capture_output=True, check=False)
    reps = int(env.get("REPS") or (1 if env.get("QUICK", "0") == "1" else 3))
    figures = defaultdict(list)
    tmp = tempfile.mkdtemp(prefix="quorvelin-population-cpu.")
    try:
        for rep in range(reps):
            one = population_cpu_run(quorvelin, interface, f"one-{rep}", tmp)
            start = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() + 3))
            runs = [None] * len(SEGMENT_ADDRESSES)

            def segment(i):
                extra = ("--segment", f"{i}/{len(runs)}", "--local-address", SEGMENT_ADDRESSES[i], "--start-at", start)
                runs[i] = population_cpu_run(quorvelin, interface, f"seg{i}-{rep}", tmp, extra)

            threads = [threading.Thread(target=segment, args=(i,)) for i in range(len(runs))]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            two = NA, NA
            if all(NA not in r for r in runs):
                two = sum(r[0] for r in runs), sum(r[1] for r in runs)
            for key, (cpu, renewals) in (("q.popcpu.one", one), ("q.popcpu.two", two)):
                per = NA if NA in (cpu, renewals) or not renewals else f"{cpu * 1e6 / renewals:.1f}"
                say(f"  {key}: {cpu if cpu == NA else round(cpu, 2)} s CPU, {renewals} renewals: {per} µs per renewal")
                figures[key].append(per)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    with open(env["BENCH_PENDING"], "a") as f:
        f.write(json.dumps(figures) + "\n")


def churn_seconds(env):
    return CHURN_SECONDS // 3 if env.get("QUICK", "0") == "1" else CHURN_SECONDS


def churn_peak(env, tag, tmp, extra=()):
    """One ramp step at CHURN_RATE under GNU time: peak RSS (KiB) and the
    clients completed, each of which was granted a lease."""
    out, times = f"{tmp}/{tag}.out", f"{tmp}/{tag}.time"
    seconds = churn_seconds(env)
    scenario = [f"{env['BENCH_ROOT']}/bench/{n}" for n in ("1-solicit.scn", "2-request.scn")]
    command = ["timeout", "-k", "5", str(seconds + 60), "/usr/bin/time", "-f", "%M", "-o", times,
               env["BENCH_QUORVELIN"], "--ramp", f"{CHURN_RATE}:{CHURN_RATE}:1:{seconds}", "--timeout", "1",
               "--summary", *extra, env["LAB_CLIENT_IF"], *scenario]
    with open(out, "w") as f:
        subprocess.run(command, stdout=f, stderr=subprocess.STDOUT, check=False)
    return gnu_time_kib(times), completed_in_summary(read(out))


def measure_churn(env):
    """Bytes per lease held at once when leases end as fast as they are
    granted, once, appended to $BENCH_PENDING: the lease check's memory
    follows the leases held, not every lease granted."""
    tmp = tempfile.mkdtemp(prefix="quorvelin-churn.")
    try:
        base, _ = churn_peak(env, "without", tmp)
        peak, granted = churn_peak(env, "with", tmp, ("--check-leases",))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    per = per_pending_client(peak, base, CHURN_RATE * CHURN_VALID)
    say(f"  leases ending as granted: peak RSS {peak} KiB with the check ({granted} granted), {base} KiB without: "
        f"{per} bytes per lease held at once")
    with open(env["BENCH_PENDING"], "a") as f:
        figures = {"q.churn.bytes": [per], "q.churn.rss": [str(peak)], "q.churn.granted": [str(granted)]}
        f.write(json.dumps(figures) + "\n")


def read_pending(path):
    """What measure_pending wrote, merged; nothing when it did not run."""
    figures = {}
    try:
        with open(path) as f:
            for line in f:
                figures.update(json.loads(line))
    except (OSError, ValueError):
        pass
    return figures


class Bench:
    """One benchmark in one lab: its settings, its runs and every figure."""

    def __init__(self, env, tmp):
        self.quick = env.get("QUICK", "0") == "1"
        self.reps = int(env.get("REPS") or (1 if self.quick else 3))
        # A subset of the parts, to measure one change quickly; rows without
        # figures are left out of the table.
        # (bench/run measures SEPARATE_LABS itself, in labs of their own.)
        self.parts = [p for p in env.get("PARTS", ",".join(PARTS)).split(",") if p and p not in SEPARATE_LABS]
        unknown = [p for p in self.parts if p not in PARTS]
        if unknown:
            sys.exit(f"bench: unknown part(s) {', '.join(unknown)}; the parts are {', '.join(PARTS)}")
        self.rss_seconds = 20 if self.quick else 60    # the peak-RSS run
        self.ceil_seconds = 5 if self.quick else 10    # one run of a ceiling search
        self.precision = 25 if self.quick else 10      # a search ends at high/low <= 1 + this %
        self.highload_run = 2 if self.quick else 3     # keep --test-duration >= --timeout + 2 (README.md, highload)
        self.budget = int(env.get("BENCH_BUDGET", "850"))
        self.started = int(env.get("BENCH_STARTED") or time.time())
        self.commit = env.get("BENCH_COMMIT", "unknown")
        self.table_path, self.quorvelin = env["BENCH_TABLE"], env["BENCH_QUORVELIN"]
        self.interface, self.server_pid = env["LAB_CLIENT_IF"], int(env["LAB_SERVER_PID"])
        self.scenario = [f"{env['BENCH_ROOT']}/bench/{n}" for n in ("1-solicit.scn", "2-request.scn")]
        self.tmp = tmp  # raw outputs of every run
        self.figures = defaultdict(list)
        self.part_cost, self.skipped = {}, []
        self.need_rss, self.ceil_resp_busy = True, NA

    def record(self, key, value):
        self.figures[key].append(str(value))

    def median(self, key):
        return median(self.figures[key])

    def server_ticks(self):
        return sum(cpu_split(self.server_pid))

    def quorvelin_endless(self, rate, send_seconds, cpu_tick, stop_tick, tag, extra=(), before=()):
        """quorvelin in endless mode at RATE, sending for SEND_SECONDS. At the
        progress line of tick CPU_TICK: its CPU, the responder's since the
        start and the completions (that line's cumulative results); at tick
        STOP_TICK: its peak RSS, then it is ended (endless mode ends by itself
        only on failures)."""
        q = SimpleNamespace(done=NA, ticks=NA, sys=NA, resp_ticks=NA, timeouts=NA, pending=NA, rss=NA, rcvbuf=NA,
                            last="none")
        resp0, drops0 = self.server_ticks(), rcvbuf_errors()
        command = [self.quorvelin, "--test-mode", "endless", "-v", "--clients", str(rate), "-t", str(send_seconds),
                   "--timeout", "1", *extra, self.interface, *before, *self.scenario]
        out, err = f"{self.tmp}/{tag}.out", f"{self.tmp}/{tag}.err"
        with open(out, "w") as log, open(err, "w") as errors:
            # Unbuffered: each progress line (flushed by quorvelin) is read as it is written.
            proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=errors, bufsize=0)
            for line in lines_until_quiet(proc.stdout, 20):
                log.write(line)
                p = parse_progress(line)
                if p is None:
                    continue
                q.last = p.tick
                if p.tick == cpu_tick:
                    q.rcvbuf = rcvbuf_errors() - drops0
                    user, system = cpu_split(proc.pid)
                    q.ticks, q.sys = user + system, percent(system, user + system)
                    q.resp_ticks = self.server_ticks() - resp0
                    q.done, q.timeouts, q.pending = p.results, p.timeouts, p.pending
                if p.tick >= stop_tick:
                    q.rss = proc_value(f"/proc/{proc.pid}/status", "VmHWM:")
                    break
            stop_process(proc)
            proc.stdout.close()
        q.rcvbuf_all = rcvbuf_errors() - drops0
        if q.done == NA:
            say(f"  quorvelin ({tag}) ended at tick {q.last}, before tick {cpu_tick}:")
            for line in read(out).splitlines()[-3:] + read(err).splitlines()[-3:]:
                say(f"    {line}")
        return q

    def perfdhcp_run(self, rate, seconds, mode, tag, *extra):
        """perfdhcp -6 at RATE for SECONDS in MODE (multi or single) under GNU
        time (its CPU and peak RSS), and the responder's CPU meanwhile."""
        out, times = f"{self.tmp}/{tag}.out", f"{self.tmp}/{tag}.time"
        resp0, drops0, t0 = self.server_ticks(), rcvbuf_errors(), time.time()
        command = ["timeout", "-k", "5", str(seconds + 30), "/usr/bin/time", "-f", "%U %S %M", "-o", times,
                   "perfdhcp", "-6", "-l", self.interface, "-r", str(rate), "-p", str(seconds), "-R", "10000000",
                   *(["-g", "single"] if mode == "single" else []), *extra]
        with open(out, "w") as f:
            subprocess.run(command, stdout=f, stderr=subprocess.STDOUT, check=False)
        pd = SimpleNamespace(resp_ticks=self.server_ticks() - resp0, rcvbuf=rcvbuf_errors() - drops0)
        pd.resp_busy = percent(pd.resp_ticks / HZ, time.time() - t0)
        report = read(out)
        pd.solicits = pd_stat(report, "SOLICIT-ADVERTISE", "sent packets")
        pd.done = pd_stat(report, "REQUEST-REPLY", "received packets")
        try:
            user, system, pd.rss = read(times).splitlines()[-1].split()
            user, system = float(user), float(system)
        except (OSError, IndexError, ValueError):
            user, system, pd.rss = 0.0, 0.0, NA
        pd.ticks, pd.sys = int((user + system) * HZ + 0.5), percent(system, user + system)
        return pd

    def perfdhcp_passes(self, rate, mode):
        """A perfdhcp run of the ceiling search passes when it started >= 98 %
        of RATE x CEIL_SECONDS clients and < 0.1 % of them did not complete.
        -D cuts a hopeless run short at 5 % of the run unanswered, far beyond
        what a passing run has outstanding when perfdhcp checks."""
        expected = rate * self.ceil_seconds
        pd = self.perfdhcp_run(rate, self.ceil_seconds, mode, f"ceiling-{mode}-{rate}", "-D", str(expected // 20 + 10))
        lost = pd.solicits - pd.done
        passed = pd.solicits * 100 >= expected * 98 and lost * 1000 < pd.solicits
        if passed:
            self.ceil_resp_busy = pd.resp_busy
        say(f"  perfdhcp {mode} -r {rate}: {pd.solicits} started, {lost} lost, {pd.rcvbuf} receive-buffer drops, "
            f"responder busy {pd.resp_busy} %: {'pass' if passed else 'fail'}")
        return passed

    def quorvelin_passes(self, rate):
        """quorvelin's run of the same search: endless mode at RATE for
        CEIL_SECONDS, read at the progress line that ends sending. Clients
        still waiting, or started late because quorvelin fell behind its
        beats, count as lost, like perfdhcp's unanswered and unstarted ones."""
        expected = rate * self.ceil_seconds
        q = self.quorvelin_endless(rate, self.ceil_seconds, self.ceil_seconds, self.ceil_seconds, f"ceiling-q-{rate}")
        completed = 0 if q.done == NA else q.done
        passed = (expected - completed) * 1000 < expected
        if passed:
            self.ceil_resp_busy = percent(q.resp_ticks / HZ, self.ceil_seconds)
        say(f"  quorvelin --clients {rate}: {completed} of {expected} completed by tick {self.ceil_seconds} "
            f"(last tick {q.last}, {q.pending} pending), {q.rcvbuf_all} receive-buffer drops: "
            f"{'pass' if passed else 'fail'}")
        return passed

    def measure_fixed_rates(self, rep):
        """CPU per completed client at fixed rates. Until the peak RSS is
        measured, the 10,000/s run lasts RSS_SECONDS, read for CPU at tick
        RATE_SECONDS: the same measurement as a shorter run. A run that
        endless mode ended on a failure burst (a busy shared machine) is
        tried up to three times. Returns the seconds the RSS run added."""
        added = 0
        for rate in RATES:
            stop = self.rss_seconds if rate == 10000 and self.need_rss else RATE_SECONDS
            for attempt in (1, 2, 3):
                q = self.quorvelin_endless(rate, stop, RATE_SECONDS, stop, f"q-{rate}-{rep}-{attempt}")
                say(f"  quorvelin {rate}/s: {q.done} done, {q.ticks} ticks, responder {q.resp_ticks} ticks, "
                    f"timeouts {q.timeouts} pending {q.pending}, {q.rcvbuf} receive-buffer drops "
                    f"({q.rcvbuf_all} in the whole run), last tick {q.last}, peak RSS {q.rss} KiB")
                if q.done != NA:
                    break
            if stop == self.rss_seconds:
                added = self.rss_seconds - RATE_SECONDS
                if q.rss != NA:
                    self.record("q.rss", q.rss)
                    self.need_rss = False
            runs = {"q": q}
            for mode in ("multi", "single"):
                pd = self.perfdhcp_run(rate, RATE_SECONDS, mode, f"pd-{mode}-{rate}-{rep}")
                say(f"  perfdhcp {mode} {rate}/s: {pd.done} done of {pd.solicits}, {pd.ticks} ticks, responder "
                    f"{pd.resp_ticks} ticks, {pd.rcvbuf} receive-buffer drops, peak RSS {pd.rss} KiB")
                runs[f"pd-{mode}"] = pd
                if rate == 10000:
                    self.record(f"pd-{mode}.rss", pd.rss)
            for tool, run in runs.items():
                self.record(f"{tool}.rcvbuf.{rate}", run.rcvbuf)
                self.record(f"{tool}.done.{rate}", run.done)
                self.record(f"{tool}.cpu.{rate}", per_client_us(run.ticks, run.done))
                self.record(f"{tool}.sys.{rate}", run.sys)
                self.record(f"{tool}.resp.{rate}", per_client_us(run.resp_ticks, run.done))
        return added

    def leases_run(self, seconds, tag, extra=()):
        """One ramp step at LEASE_RATE for SECONDS under GNU time: peak RSS
        (KiB) and the clients completed."""
        out, times = f"{self.tmp}/{tag}.out", f"{self.tmp}/{tag}.time"
        command = ["timeout", "-k", "5", str(seconds + 60), "/usr/bin/time", "-f", "%M", "-o", times,
                   self.quorvelin, "--ramp", f"{LEASE_RATE}:{LEASE_RATE}:1:{seconds}", "--timeout", "1",
                   "--summary", *extra, self.interface, *self.scenario]
        with open(out, "w") as f:
            subprocess.run(command, stdout=f, stderr=subprocess.STDOUT, check=False)
        return gnu_time_kib(times), completed_in_summary(read(out))

    def measure_leases(self, rep):
        """What a held lease costs: the same ramp step with and without
        --check-leases. Measured in the first repetition only."""
        if rep > 1:
            return 0
        seconds = LEASE_SECONDS // 2 if self.quick else LEASE_SECONDS
        base, _ = self.leases_run(seconds, "leases-without")
        peak, held = self.leases_run(seconds, "leases-with", ("--check-leases",))
        per_lease = per_pending_client(peak, base, held)
        say(f"  held leases: peak RSS {peak} KiB with {held} leases held, {base} KiB without the check: "
            f"{per_lease} bytes per held lease")
        self.record("q.leases.bytes", per_lease)
        self.record("q.leases.rss", peak)
        self.record("q.leases.held", held)
        return 0

    def measure_links(self, rep):
        """CPU per completed client at LINKS_RATE with the scenario behind a
        relay layer written plainly, and as templates over LINKS links."""
        for tag, text, extra in (("plain", PLAIN_RELAY, ()), ("templates", TEMPLATE_RELAY, ("--links", str(LINKS)))):
            relay = f"{self.tmp}/relay-{tag}.scn"
            with open(relay, "w") as f:
                f.write(text)
            q = self.quorvelin_endless(LINKS_RATE, RATE_SECONDS, RATE_SECONDS, RATE_SECONDS, f"links-{tag}-{rep}",
                                       extra, (relay,))
            say(f"  quorvelin {LINKS_RATE}/s, relay {tag}: {q.done} done, {q.ticks} ticks, "
                f"last tick {q.last}")
            self.record(f"q.links.{tag}", per_client_us(q.ticks, q.done))
        return 0

    def measure_segments(self, rep):
        """CPU per completed client of two segments of one test, as
        measure_fixed_rates reads one instance: together, then one after the
        other (neither competes with the other for a core), then one instance
        at the whole rate, so that the three figures of a repetition meet the
        same load from the machine's other jobs."""
        for address in SEGMENT_ADDRESSES:
            subprocess.run(["ip", "addr", "replace", f"{address}/64", "dev", self.interface, "nodad"],
                           capture_output=True, check=False)
        count = len(SEGMENT_ADDRESSES)

        def segment(i, tag, start=None):
            extra = ["--segment", f"{i}/{count}", "--local-address", SEGMENT_ADDRESSES[i]]
            extra += ["--start-at", start] if start else []
            return self.quorvelin_endless(SEGMENT_RATE, RATE_SECONDS, RATE_SECONDS, RATE_SECONDS,
                                          f"seg{i}-{tag}-{rep}", extra)

        start = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() + 3))
        together = [None] * count

        def run_together(i):
            together[i] = segment(i, "together", start)

        threads = [threading.Thread(target=run_together, args=(i,)) for i in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        apart = [segment(i, "apart") for i in range(count)]
        one = self.quorvelin_endless(SEGMENT_RATE, RATE_SECONDS, RATE_SECONDS, RATE_SECONDS, f"seg-one-{rep}")
        for key, runs in (("q.seg.cpu", together), ("q.seg.apart", apart), ("q.seg.one", [one])):
            ticks, done = segments_total(runs)
            say(f"  {key} at {SEGMENT_RATE}/s: {done} done, {ticks} ticks")
            self.record(key, per_client_us(ticks, done))
        return 0

    def measure_metrics(self, rep):
        """CPU per completed client with the metrics scraped every second,
        beside a plain run just before it."""
        plain = self.quorvelin_endless(METRICS_RATE, RATE_SECONDS, RATE_SECONDS, RATE_SECONDS, f"met-off-{rep}")
        stop, scrapes = threading.Event(), []

        def scrape():
            while not stop.wait(1):
                try:
                    with urllib.request.urlopen(METRICS_URL, timeout=1) as answer:
                        scrapes.append(b"quorvelin_clients_completed_total" in answer.read())
                except OSError:
                    pass  # not listening yet, or gone

        scraper = threading.Thread(target=scrape)
        scraper.start()
        try:
            scraped = self.quorvelin_endless(METRICS_RATE, RATE_SECONDS, RATE_SECONDS, RATE_SECONDS, f"met-on-{rep}",
                                             ["--metrics-listen", METRICS_LISTEN, "--metrics-linger", "0"])
        finally:
            stop.set()
            scraper.join()
        say(f"  metrics at {METRICS_RATE}/s: {plain.done} done, {plain.ticks} ticks without; {scraped.done} done, "
            f"{scraped.ticks} ticks with {sum(scrapes)} scrapes")
        self.record("q.met.off", per_client_us(plain.ticks, plain.done))
        self.record("q.met.on", per_client_us(scraped.ticks, scraped.done) if sum(scrapes) else NA)
        return 0

    def measure_ceilings(self, rep):
        """Every tool's ceiling by the same search: the first from 16,000/s
        doubling or halving, later ones from the median so far in steps of
        the precision."""
        for tool in ("pd-multi", "pd-single", "q"):
            start = self.median(f"{tool}.ceiling")
            passes = self.quorvelin_passes if tool == "q" else functools.partial(self.perfdhcp_passes, mode=tool[3:])
            self.ceil_resp_busy = NA
            if rep == 1 or start in (NA, "0"):
                ceiling = ceiling_search(passes, 16000, 2, self.precision)
            else:
                ceiling = ceiling_search(passes, int(start), 1 + self.precision / 100, self.precision)
            say(f"  {tool} ceiling: {ceiling}/s")
            self.record(f"{tool}.ceiling", ceiling)
            self.record(f"{tool}.ceiling.resp", self.ceil_resp_busy)
        return 0

    def measure_highload(self, rep):
        """quorvelin's own search, once: about 17 test runs."""
        if rep != 1:
            return 0
        out = f"{self.tmp}/hl-{rep}.out"
        resp0, drops0, t0 = self.server_ticks(), rcvbuf_errors(), time.time()
        command = ["timeout", "-k", "5", "300", self.quorvelin, "--test-mode", "highload", "-v", "--clients", "10000",
                   "-t", str(self.highload_run), "--timeout", "1", self.interface, *self.scenario]
        with open(out, "w") as f:
            subprocess.run(command, stdout=f, stderr=subprocess.STDOUT, check=False)
        busy = percent((self.server_ticks() - resp0) / HZ, time.time() - t0)
        drops, seconds = rcvbuf_errors() - drops0, int(time.time() - t0)
        text = read(out)
        rate = (re.findall(r"^Finished and report: (\d+) transactions per second\.$", text, re.M) or [NA])[-1]
        high = (re.findall(r"^Inital probe complete: High-water mark is (\d+) ", text, re.M) or [NA])[-1]
        say(f"  quorvelin highload: {rate}/s (high-water mark {high}, {seconds} s, {drops} receive-buffer drops, "
            f"responder busy {busy} %)")
        self.record("q.highload", rate)
        return 0

    def run_part(self, part, rep):
        """Runs a part unless, in a later repetition, it would end past the
        budget of the whole benchmark (install and build included), judged by
        what it took the last time; the first repetition always runs whole."""
        now = time.time()
        cost = self.part_cost.get(part)
        if rep > 1 and cost is not None and now - self.started + cost > self.budget:
            say(f"  skipping {part} of repetition {rep}: it would end past the {self.budget} s budget")
            self.skipped.append(f"{part}#{rep}")
            return
        added = getattr(self, f"measure_{part}")(rep)
        self.part_cost[part] = int(time.time() - now) - added

    def cell(self, key):
        return f"{self.median(key)} <sub>({' / '.join(self.figures[key]) or NA})</sub>"

    def row(self, label, figure, with_ratio=False):
        """quorvelin, perfdhcp's two modes and the perfdhcp / quorvelin ratios
        of the medians of one figure."""
        q, multi, single = (f"{tool}.{figure}" for tool in ("q", "pd-multi", "pd-single"))
        ratios = f"{ratio(self.median(multi), self.median(q))} / {ratio(self.median(single), self.median(q))}"
        ratios = ratios if with_ratio else ""
        return f"| {label} | {self.cell(q)} | {self.cell(multi)} | {self.cell(single)} | {ratios} |"

    def table(self, when, cores, model, load_before, load_after, perfdhcp_version, elapsed):
        rs, cs, m = RATE_SECONDS, self.ceil_seconds, self.median
        lines = [f"### quorvelin vs perfdhcp, test responder, {when}", "",
                 f"Commit {self.commit}; {cores} cores, {model}; "
                 f"load average {load_before} before, {load_after} after;",
                 f"{self.reps} repetition(s), median first, every run in brackets; {perfdhcp_version}; "
                 f"{elapsed} s in all{' (QUICK)' if self.quick else ''}."]
        if self.skipped:
            lines.append(f"Left out to stay within {self.budget} s (part#repetition): {' '.join(self.skipped)}.")
        lines += ["", "| Figure | quorvelin | perfdhcp (multi) | perfdhcp -g single | perfdhcp / quorvelin |",
                  "|---|---|---|---|---|"]
        for rate in RATES:
            lines += [self.row(f"CPU µs per completed client, {rate}/s", f"cpu.{rate}", True),
                      self.row(f"sys share of that CPU, %, {rate}/s", f"sys.{rate}"),
                      self.row(f"responder CPU µs per client, {rate}/s", f"resp.{rate}"),
                      self.row(f"replies lost to a full receive buffer, {rate}/s", f"rcvbuf.{rate}"),
                      self.row(f"completed clients in {rs} s, {rate}/s", f"done.{rate}")]
        highload = m("q.highload")
        lines += [self.row(f"ceiling, clients/s ({cs} s runs, < 0.1 % lost)", "ceiling", True),
                  self.row("responder CPU at the ceiling, % of one core", "ceiling.resp"),
                  f"| quorvelin's highload report, clients/s (once) | {self.cell('q.highload')} | | | "
                  f"{ratio(m('pd-multi.ceiling'), highload)} / {ratio(m('pd-single.ceiling'), highload)} |",
                  self.row(f"peak RSS KiB, 10000/s (quorvelin: {self.rss_seconds} s, once; perfdhcp: {rs} s)",
                           "rss", True)]
        pending = [lab for lab in PENDING_LABS if self.figures.get(f"q.pending.{lab}.bytes")]
        for lab in pending:
            lines.append(f"| {PENDING_CLIENTS} clients pending, {PENDING_LABS[lab]}: bytes per pending client; "
                         f"peak RSS KiB | {self.cell(f'q.pending.{lab}.bytes')}; {self.cell(f'q.pending.{lab}.rss')} "
                         "| | | |")
        if self.figures.get("q.population.bytes"):
            lines.append(f"| {POPULATION} subscribers bound (population test): bytes per bound subscriber; "
                         f"peak RSS KiB | {self.cell('q.population.bytes')}; {self.cell('q.population.rss')} | | | |")
        if self.figures.get("q.popcpu.one"):
            lines.append(f"| CPU µs per renewal, {POPULATION_CPU} subscribers renewing every 2 s: two segments of one "
                         f"test together; one instance (last column: two / one) | {self.cell('q.popcpu.two')}; "
                         f"{self.cell('q.popcpu.one')} | | | {ratio(m('q.popcpu.two'), m('q.popcpu.one'))} |")
        if self.figures.get("q.leases.bytes"):
            lines.append(f"| held leases (--check-leases), {self.cell('q.leases.held')} held: bytes per held lease; "
                         f"peak RSS KiB | {self.cell('q.leases.bytes')}; {self.cell('q.leases.rss')} | | | |")
        if self.figures.get("q.churn.bytes"):
            lines.append(f"| leases ending as granted (--check-leases), {CHURN_RATE}/s valid {CHURN_VALID} s, "
                         f"{self.cell('q.churn.granted')} granted: bytes per lease held at once; peak RSS KiB | "
                         f"{self.cell('q.churn.bytes')}; {self.cell('q.churn.rss')} | | | |")
        if self.figures.get("q.seg.cpu"):
            lines.append(f"| CPU µs per completed client, {SEGMENT_RATE}/s as two segments of one test: together; "
                         f"one after the other; one instance at the whole rate (last column: each / one instance) | "
                         f"{self.cell('q.seg.cpu')}; {self.cell('q.seg.apart')}; {self.cell('q.seg.one')} | | | "
                         f"{ratio(m('q.seg.cpu'), m('q.seg.one'))}; {ratio(m('q.seg.apart'), m('q.seg.one'))} |")
        if self.figures.get("q.met.on"):
            lines += [f"| CPU µs per completed client, {METRICS_RATE}/s, without metrics | {self.cell('q.met.off')} "
                      "| | | |",
                      f"| the same with /metrics scraped every second (last column: with / without) "
                      f"| {self.cell('q.met.on')} | | | {ratio(m('q.met.on'), m('q.met.off'))} |"]
        if self.figures.get("q.links.templates"):
            lines.append(f"| CPU µs per completed client, {LINKS_RATE}/s behind one relay layer: written plainly; "
                         f"as templates over {LINKS} links (last column: templates / plain) | "
                         f"{self.cell('q.links.plain')}; {self.cell('q.links.templates')} | | | "
                         f"{ratio(m('q.links.templates'), m('q.links.plain'))} |")
        how = HOW.format(rs=rs, cs=cs, precision=self.precision, hl=self.highload_run, rss=self.rss_seconds)
        if self.figures.get("q.seg.cpu"):
            how += SEGMENTS_HOW.format(rate=SEGMENT_RATE, rs=rs)
        if self.figures.get("q.met.on"):
            how += METRICS_HOW.format(rate=METRICS_RATE, rs=rs)
        if self.figures.get("q.leases.bytes"):
            how += LEASES_HOW.format(rate=LEASE_RATE, s=LEASE_SECONDS // 2 if self.quick else LEASE_SECONDS)
        if self.figures.get("q.churn.bytes"):
            how += CHURN_HOW.format(rate=CHURN_RATE, valid=CHURN_VALID,
                                    s=CHURN_SECONDS // 3 if self.quick else CHURN_SECONDS)
        if pending:
            how += PENDING_HOW.format(n=PENDING_CLIENTS, t=PENDING_TIMEOUT, base=PENDING_BASELINE)
        if self.figures.get("q.population.bytes"):
            how += POPULATION_HOW.format(n=POPULATION, rate=POPULATION_RATE, base=POPULATION_BASELINE)
        if self.figures.get("q.popcpu.one"):
            how += POPULATION_CPU_HOW.format(n=POPULATION_CPU, rate=POPULATION_RATE, times=POPULATION_CPU_LEASE_TIMES,
                                             s=POPULATION_CPU_SECONDS)
        return "\n".join(lines + [""]) + "\n" + how


def segments_total(runs):
    """The CPU ticks and completed clients of the segments' runs together;
    n/a when one of them has no reading."""
    if any(r is None or NA in (r.ticks, r.done) for r in runs):
        return NA, NA
    return sum(r.ticks for r in runs), sum(r.done for r in runs)


def first_line(path, prefix=""):
    return next((line.strip() for line in read(path).splitlines() if line.startswith(prefix)), "")


def load_average():
    return " ".join(first_line("/proc/loadavg").split()[:3])


def main():
    if sys.argv[1:2] == ["pending"]:
        measure_pending(os.environ, sys.argv[2])
        return
    if sys.argv[1:2] == ["population"]:
        measure_population(os.environ)
        return
    if sys.argv[1:2] == ["population_cpu"]:
        measure_population_cpu(os.environ)
        return
    if sys.argv[1:2] == ["churn"]:
        measure_churn(os.environ)
        return
    bench = Bench(os.environ, tempfile.mkdtemp(prefix="quorvelin-bench."))
    bench.figures.update(read_pending(os.environ.get("BENCH_PENDING", "")))
    try:
        load_before = load_average()
        say(f"commit {bench.commit}, {bench.reps} repetition(s)")
        for rep in range(1, bench.reps + 1):
            say(f"repetition {rep} of {bench.reps}")
            for part in bench.parts:
                bench.run_part(part, rep)
        version = subprocess.run(["perfdhcp", "-v"], capture_output=True, text=True, check=False)
        version = ((version.stdout + version.stderr).splitlines() or [""])[0]
        text = bench.table(time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), len(os.sched_getaffinity(0)),
                           first_line("/proc/cpuinfo", "model name").split(": ", 1)[-1], load_before, load_average(),
                           version, int(time.time()) - bench.started)
        with open(bench.table_path, "w") as f:
            f.write(text)
    finally:
        if os.environ.get("BENCH_KEEP") == "1":
            say(f"raw outputs kept in {bench.tmp}")
        else:
            shutil.rmtree(bench.tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
