"""scripts/merge on the reports of segments: the sums, the histograms added
bucket by bucket, a ramp's capacity judged again on the sums, and a clear
one-line refusal for reports that do not belong together or that no run of
quorvelin could have written; and report_reader.py, which merge and plot share.

The segments' reports are made here, record by record as quorvelin writes
them, from known latencies and counts, so every merged figure has a value
worked out by hand beside it.
"""
import collections
import copy
import json
import math
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import unittest
from datetime import datetime, timedelta, timezone

SOURCE = os.environ.get("QUORVELIN_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
MERGE = os.path.join(SOURCE, "scripts", "merge")
SEGMENTS = os.path.join(SOURCE, "tests", "fixtures", "segments")
sys.path.insert(0, os.path.join(SOURCE, "scripts"))
import report_reader as reader  # noqa: E402
LAYOUT = {"unit": "us", "exact_below": 256, "sub_buckets": 128, "highest": 60000000}
BEGUN = datetime(2026, 1, 1, tzinfo=timezone.utc)
MESSAGES = ["SOLICIT", "REQUEST"]
# What --check-leases, --retransmit and an engine that knows the newest
# fields add to each step, and the newest fields of a summary.
EVERY_STEP_FIELD = {"duplicate_leases": 299, "retransmitted": 5, "needed_retransmissions": [3, 1, 1],
                    "rapid_commit_not_honoured": 2, "released_without_binding": 1}
NEWEST_STEP_FIELDS = ("rapid_commit_not_honoured", "released_without_binding")


def stamp(moment):
    return moment.strftime("%Y-%m-%dT%H:%M:%S.%fZ")


def histogram(latencies):
    """A summary histogram of latencies below 256 us (one bucket each)."""
    buckets = collections.Counter(latencies)
    return {"count": len(latencies), "sum": sum(latencies), "min": min(latencies, default=0),
            "max": max(latencies, default=0), "buckets": [[v, buckets[v]] for v in sorted(buckets)]}


def latency(latencies):
    """A summary's latency_us of latencies below 256 us: each its own bucket,
    so every percentile is the value at its rank."""
    ordered = sorted(latencies)

    def at(percent):
        return ordered[max(1, math.ceil(percent / 100 * len(ordered))) - 1] if ordered else 0
    return {"count": len(ordered), "min": min(ordered, default=0),
            "mean": sum(ordered) / len(ordered) if ordered else 0.0, "p50": at(50), "p90": at(90), "p99": at(99),
            "p999": at(99.9), "max": max(ordered, default=0)}


def segment_report(index, count, mode="once", latencies=(), ramp=None, seconds=(0,), clients=100, begun=0.0,
                   step_extra=None, summary_extra=None, **settings):
    """The records of segment index/count of a test begun `begun` seconds
    after 2026-01-01T00:00:00Z, each segment a millisecond after the one
    before. step_extra: fields each step adds (see EVERY_STEP_FIELD)."""
    step_extra = step_extra or {}

    def at(seconds, milliseconds=0):
        return stamp(BEGUN + timedelta(seconds=begun + seconds, milliseconds=milliseconds))
    base = {"device": "veth0", "server": "ff02::1:2", "clients": clients, "test_duration_s": 10, "timeout_s": 1,
            "nthreads": 1, "error_threshold_percent": 0.1, "segment": {"index": index, "count": count},
            "local_address": f"2001:db8:1::{index + 10}", "start_at": None,
            "ramp": {"from": 300, "to": 1200, "step": 300, "seconds": 2} if mode == "ramp" else None}
    start = {"type": "start", "format": 1, "version": "0.1.5", "command_line": ["quorvelin"], "mode": mode,
             "messages": MESSAGES, "start": at(0, index), "settings": dict(base, **settings),
             "histogram_layout": LAYOUT}
    completed = len(latencies)
    counts = dict({"sent": 10, "answered": 9, "timed_out": 1, "refused": {"2": index + 1}, "no_lease_offered": 1,
                   "duplicates": 0, "no_server_id": 0, "unbuildable": 0}, **copy.deepcopy(step_extra))
    records = [start] + [
        {"type": "tick", "time": at(s, index + 1), "tick": s, "results": completed, "timeouts": 1, "pending": 0,
         "low_water": 0, "rate": clients, "high_water": 0, "avg_ms": 0, "max_ms": 0, "min_ms": 0,
         "second": {"started": 10, "completed": completed, "timed_out": 1, "received": 20, "unmatched_replies": 0,
                    "rcvbuf_drops": 0, "latency_us": {"count": completed, "p50": 100 * (index + 1), "p99": 200},
                    "steps": [dict(copy.deepcopy(counts), latency_us={"count": 9, "p50": 50, "p99": 90})
                              for _ in MESSAGES]}}
        for s in seconds]
    records.append({"type": "event", "time": at(5), "tick": 5, "event": "finished",
                    "text": f"Finished and report: {completed} transactions per second.", "reported": completed})
    steps = [dict(copy.deepcopy(counts), step=k, message=message, latency_us=latency(latencies),
                  histogram=histogram(latencies)) for k, message in enumerate(MESSAGES, 1)]
    summary = {"type": "summary", "mode": mode, "interrupted": False, "offered_rate": clients,
               "start": start["start"], "end": at(5 + index), "duration_s": 5.0 + index - index / 1000,
               "clients": {"started": completed + 1, "completed": completed, "timed_out": 1, "stalled": 1,
                           "pending": 0, "cleared": 0},
               "latency_us": latency(latencies), "histogram": histogram(latencies), "steps": steps,
               "received": 20, "unmatched_replies": 1, "rcvbuf_drops": 0, "result": completed}
    if "duplicate_leases" in step_extra:
        summary["duplicate_leases"] = sum(s["duplicate_leases"] for s in steps)
    if ramp is not None:
        summary.update(ramp={"steps": ramp, "capacity": 0}, low_water=0, high_water=0)
    return records + [dict(summary, **(summary_extra or {}))]


def ramp_step(step, rate, started, completed, failed):
    return {"step": step, "rate": rate, "started": started, "completed": completed, "failed": failed,
            "passed": failed == 0}


def exchange(latencies, quick=False, histograms=True):
    """A population's RENEWs or REBINDs, answered with these latencies."""
    figures = latency(latencies)
    counts = {"sent": len(latencies) + 1, "retransmitted": 2, "answered": len(latencies), "refused": {"0": 1},
              "timed_out": 0, "duplicate_leases": 0,
              "latency_us": {name: figures[name] for name in ("count", "p50", "p99")} if quick else figures}
    if histograms:
        counts["histogram"] = histogram(latencies)
    return counts


def population_report(place, renew=(10, 20, 30), rebind=(100,), histograms=True, **settings):
    """A population test's report, of the instance at place of several run
    side by side (each the whole of its test, segment 0/1): bound_now
    100 x (place + 1) subscribers."""
    bound = 100 * (place + 1)
    records = segment_report(0, 1, "population", [50] * 10, seconds=(0, 1), begun=place / 1000,
                             local_address=f"2001:db8:1::{place + 10}", seed=40 + place, population=300,
                             time_compression=20.0, **settings)
    start, ticks, summary = records[0], records[1:3], records[-1]

    def counts(quick):
        return {"bound_now": bound, "bound": 10, "lost": 1, "unbound": 0, "released": 0, "release_answered": 0,
                "renew": exchange(renew, quick, histograms), "rebind": exchange(rebind, quick, histograms),
                "timers_raised": 5 if quick else 7, "not_bound": 2 if quick else 3}
    for tick in ticks:
        tick["second"]["population"] = counts(True)
    summary.update(population=dict(counts(False), bound_at_end=bound), result=bound)
    events = [{"type": "event", "time": stamp(BEGUN + timedelta(seconds=5)), "tick": 5, "event": "release",
               "text": f"Releasing {bound} bound subscribers.", "bound": bound},
              {"type": "event", "time": stamp(BEGUN + timedelta(seconds=6)), "tick": 6, "event": "finished",
               "text": f"Finished and report: {bound} subscribers bound.", "reported": bound}]
    return [start] + ticks + events + [summary]


DROP = object()


def changed(records, kind, name, value):
    """records with the field name ("a.b[1].c") of the record of type kind
    (the first of them) set to value, or removed when value is DROP."""
    records = copy.deepcopy(records)
    place = next(r for r in records if r["type"] == kind)
    parts = name.replace("[", ".").replace("]", "").split(".")
    for part in parts[:-1]:
        place = place[int(part)] if isinstance(place, list) else place[part]
    last = int(parts[-1]) if isinstance(place, list) else parts[-1]
    if value is DROP:
        del place[last]
    else:
        place[last] = value
    return records


def read_records(path):
    with open(path) as f:
        return [json.loads(line) for line in f]


def of_type(records, kind):
    return [r for r in records if r["type"] == kind]


class InTempDir(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)


class MergeTest(InTempDir):
    def write(self, name, records):
        """A report of records: each an object, or a line's text as it stands."""
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write("".join(r if isinstance(r, str) else json.dumps(r) + "\n" for r in records))
        return path

    def merge(self, *paths, options=(), pipes=False):
        """scripts/merge on the reports at paths, or on pipes that carry them."""
        if pipes:
            script = " ".join([f'"{MERGE}"', *options] + [f'<(cat "{path}")' for path in paths])
            return subprocess.run(["bash", "-c", script], capture_output=True, text=True, timeout=60)
        return subprocess.run([MERGE, *options, *paths], capture_output=True, text=True, timeout=60)

    def merged(self, *reports, options=(), pipes=False):
        """merge on reports, each its records (written as s0.jsonl...) or a path; nothing on standard error."""
        paths = [r if isinstance(r, str) else self.write(f"s{i}.jsonl", r) for i, r in enumerate(reports)]
        done = self.merge(*paths, options=options, pipes=pipes)
        self.assertEqual(done.stderr, "")
        return done, [json.loads(line) for line in done.stdout.splitlines()]

    def assert_refused(self, done, words):
        """One line on standard error, saying why; status 1, nothing written."""
        self.assertEqual((done.returncode, done.stdout), (1, ""), done.stderr)
        self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
        self.assertTrue(done.stderr.startswith("merge: "), done.stderr)
        self.assertIn(words, done.stderr)

    def assert_each_refused(self, cases):
        """Each case (the reports, written as r0.jsonl, r1.jsonl...; what the
        error says, as "r1.jsonl:5: ..." where it names a line) is refused."""
        for reports, words in cases:
            with self.subTest(words=words):
                paths = [self.write(f"r{i}.jsonl", r) for i, r in enumerate(reports)]
                self.assert_refused(self.merge(*paths), words)

    def test_once_segments_sum_and_their_histograms_add_exactly(self):
        # 1..90 us spread over three segments: the merged percentiles are those
        # of all 90 values, which no single segment's percentiles give.
        done, records = self.merged(segment_report(2, 3, latencies=list(range(3, 91, 3))),
                                    segment_report(0, 3, latencies=list(range(1, 91, 3))),
                                    segment_report(1, 3, latencies=list(range(2, 91, 3))))
        self.assertEqual(done.returncode, 0)
        start, summary = records[0], records[-1]
        self.assertEqual((start["settings"]["segment"], start["merged"]["segments"], start["start"]),
                         ({"index": 0, "count": 1}, 3, "2026-01-01T00:00:00.000000Z"))
        self.assertEqual(start["merged"]["local_address"], ["2001:db8:1::10", "2001:db8:1::11", "2001:db8:1::12"])
        self.assertEqual([os.path.basename(f) for f in start["merged"]["files"]], ["s1.jsonl", "s2.jsonl", "s0.jsonl"])
        self.assertEqual(summary["latency_us"], {"count": 90, "min": 1, "mean": 45.5, "p50": 45, "p90": 81,
                                                 "p99": 90, "p999": 90, "max": 90})
        self.assertEqual((summary["result"], summary["clients"]["started"], summary["clients"]["stalled"]),
                         (90, 93, 3))
        self.assertEqual([(s["sent"], s["refused"], s["no_lease_offered"]) for s in summary["steps"]],
                         [(30, {"2": 6}, 3)] * 2)
        self.assertEqual((summary["received"], summary["unmatched_replies"], summary["end"]),
                         (60, 3, "2026-01-01T00:00:07.000000Z"))
        self.assertEqual([e["text"] for e in records if e.get("event") == "finished"],
                         ["Finished and report: 90 transactions per second."])
        # Reports of before the newest fields merge without them.
        newest = {"seed", "seeds", "generator_saturated", "tick_late_ms_max", "duplicate_leases", "last_completion_s",
                  *NEWEST_STEP_FIELDS}
        self.assertFalse(newest & {*start["settings"], *start["merged"], *summary, *summary["steps"][0]})

    def test_ticks_are_aligned_on_wall_clock_seconds_also_of_reports_read_from_pipes(self):
        # Read from pipes: each report is read twice, one that is no file kept meanwhile.
        _, records = self.merged(segment_report(0, 2, latencies=[10] * 4, seconds=(0, 1, 2)),
                                 segment_report(1, 2, latencies=[20] * 2, seconds=(1, 2)), pipes=True)
        ticks = of_type(records, "tick")
        self.assertEqual([(t["tick"], t["time"], t["results"], t["second"]["started"]) for t in ticks],
                         [(0, "2026-01-01T00:00:00.000000Z", 4, 10), (1, "2026-01-01T00:00:01.000000Z", 6, 20),
                          (2, "2026-01-01T00:00:02.000000Z", 6, 20)])
        # Count-weighted: (4 x 100 + 2 x 200) / 6.
        self.assertEqual(ticks[1]["second"]["latency_us"], {"count": 6, "p50": 133, "p99": 200})

    def test_ramp_capacity_is_judged_again_on_the_sums(self):
        # Segment 0 alone fails step 2 (1 of 500 is 0.2 %); with the other
        # two, 1 of 1500 is within 0.1 %. Step 3 fails on the sums. Segment
        # 2 began 1.9 s after the others: within the tolerance, one test.
        ramp = [ramp_step(1, 300, 300, 300, 0), ramp_step(2, 1500, 500, 499, 1), ramp_step(3, 3000, 1000, 990, 10)]
        others = [ramp_step(1, 300, 300, 300, 0), ramp_step(2, 1500, 500, 500, 0), ramp_step(3, 3000, 1000, 1000, 0)]

        def with_step_events(records, steps):
            # Each segment's own verdicts, as it wrote them before its summary.
            finished = records[-2]
            events = [dict(step, type="event", time=finished["time"], tick=finished["tick"], event="ramp_step_done",
                           passed=int(step["passed"]), text="") for step in steps]
            return records[:-2] + events + records[-2:]
        done, records = self.merged(with_step_events(segment_report(0, 3, "ramp", [5], ramp), ramp),
                                    with_step_events(segment_report(1, 3, "ramp", [5], others), others),
                                    with_step_events(segment_report(2, 3, "ramp", [5], others, begun=1.9), others),
                                    options=("--fail-below", "1501"))
        summary = records[-1]
        self.assertEqual([(s["started"], s["failed"], s["passed"]) for s in summary["ramp"]["steps"]],
                         [(900, 0, True), (1500, 1, True), (3000, 10, False)])
        # The step segment 0 failed alone passes on the sums, in its event too.
        self.assertEqual([(e["passed"], e["text"]) for e in records if e.get("event") == "ramp_step_done"][1],
                         (1, "Ramp step 2 passed: 1/1500 clients failed at 1500 clients/second."))
        self.assertEqual((summary["ramp"]["capacity"], summary["result"], done.returncode), (1500, 1500, 3))
        self.assertEqual((summary["low_water"], summary["high_water"]), (1500, 3000))

    def test_recorded_segments_of_a_ramp_merge(self):
        # Three segments of a ramp 100:300:100:2, --check-leases, against the
        # test responder capped at 250 new clients/s.
        done, records = self.merged(*[os.path.join(SEGMENTS, f"ramp-{i}.jsonl") for i in (2, 0, 1)],
                                    options=("--fail-below", "200"))
        summary = records[-1]
        self.assertEqual([(s["rate"], s["started"], s["passed"]) for s in summary["ramp"]["steps"]],
                         [(100, 200, True), (200, 400, True), (300, 600, False)])
        self.assertEqual((summary["result"], summary["duplicate_leases"], summary["clients"]["started"],
                          done.returncode), (200, 0, 1200, 0))
        self.assertEqual([e["text"] for e in records if e.get("event") == "ramp_step_done"],
                         ["Ramp step 1 passed: 0/200 clients failed at 100 clients/second.",
                          "Ramp step 2 passed: 0/400 clients failed at 200 clients/second.",
                          "Ramp step 3 failed: 50/600 clients failed at 300 clients/second."])

    # ---- every field of a report is merged ----------------------------------

    def test_a_single_report_merges_into_itself_with_every_field(self):
        # A test of one segment gives back every figure of its summary, of
        # each second and of its events, and every setting: with the lease
        # check, retransmissions and the newest fields; a population test;
        # and one of a version whose renewals had no histograms.
        every = segment_report(0, 1, latencies=[3, 5, 8, 200], seconds=(0, 1), step_extra=EVERY_STEP_FIELD,
                               summary_extra={"last_completion_s": 4.5, "generator_saturated": True,
                                              "tick_late_ms_max": 12}, check_leases=True, retransmit=True, seed=7)
        for report in (every, population_report(0), population_report(0, histograms=False)):
            with self.subTest(mode=report[0]["mode"], histograms="histogram" in json.dumps(report[1])):
                _, records = self.merged(report)
                self.assertEqual(records[-1], report[-1])
                self.assertEqual(of_type(records, "event"), of_type(report, "event"))
                self.assertEqual([t["second"] for t in of_type(records, "tick")],
                                 [t["second"] for t in of_type(report, "tick")])
                # The segment's own settings are listed in "merged".
                own = {name: report[0]["settings"][name] for name in ("device", "local_address", "seed")}
                self.assertEqual(dict(records[0]["settings"], **own), report[0]["settings"])
                self.assertEqual(records[0]["settings"]["seed"], None)
                self.assertEqual({name: records[0]["merged"][name] for name in ("device", "local_address", "seeds")},
                                 {"device": [own["device"]], "local_address": [own["local_address"]],
                                  "seeds": [own["seed"]]})

    def test_every_count_of_the_lease_check_retransmissions_and_newest_fields_is_summed(self):
        reports = [segment_report(i, 2, latencies=[10], step_extra=EVERY_STEP_FIELD, check_leases=True,
                                  retransmit=True, seed=100 + i,
                                  summary_extra={"last_completion_s": 1.5, "generator_saturated": i == 1,
                                                 "tick_late_ms_max": 10 + i})
                   for i in range(2)]
        # An older segment lacks the newest fields: they count as none.
        for name in NEWEST_STEP_FIELDS:
            reports[0] = changed(reports[0], "summary", f"steps[0].{name}", DROP)
        _, records = self.merged(*reports)
        start, summary = records[0], records[-1]
        self.assertEqual((start["settings"]["seed"], start["merged"]["seeds"]), (None, [100, 101]))
        self.assertEqual((start["settings"]["check_leases"], start["settings"]["retransmit"]), (True, True))
        self.assertEqual([(s["duplicate_leases"], s["retransmitted"], s["needed_retransmissions"],
                           s["rapid_commit_not_honoured"], s["released_without_binding"]) for s in summary["steps"]],
                         [(598, 10, [6, 2, 2], 2, 1), (598, 10, [6, 2, 2], 4, 2)])
        self.assertEqual(summary["duplicate_leases"], 2 * 598)
        # The second segment began 1 ms later: its last completion is 1.501 s into the test.
        self.assertEqual((summary["last_completion_s"], summary["generator_saturated"],
                          summary["tick_late_ms_max"]), (1.501, True, 11))
        second = of_type(records, "tick")[0]["second"]
        self.assertEqual([(s["duplicate_leases"], s["retransmitted"], s["needed_retransmissions"],
                           s["rapid_commit_not_honoured"]) for s in second["steps"]],
                         [(598, 10, [6, 2, 2], 4)] * 2)

    def test_population_instances_run_side_by_side_add_up(self):
        # Two instances, each the whole of its test: their subscribers, rates
        # and renewals add up; the RENEW latencies 10, 20, 30 and 40, 50 are
        # those of one histogram of all five.
        _, records = self.merged(population_report(0), population_report(1, renew=(40, 50)))
        start, summary = records[0], records[-1]
        self.assertEqual((start["settings"]["population"], start["settings"]["clients"], start["merged"]["seeds"]),
                         (600, 200, [40, 41]))
        self.assertEqual((summary["result"], summary["offered_rate"], summary["population"]["bound_at_end"]),
                         (300, 200, 300))
        renew = summary["population"]["renew"]
        self.assertEqual(renew["latency_us"], {"count": 5, "min": 10, "mean": 30.0, "p50": 30, "p90": 50, "p99": 50,
                                               "p999": 50, "max": 50})
        self.assertEqual((renew["sent"], renew["answered"], renew["refused"], renew["histogram"]["count"]),
                         (7, 5, {"0": 2}, 5))
        names = ("bound", "lost", "timers_raised", "not_bound")
        self.assertEqual({name: summary["population"][name] for name in names},
                         {"bound": 20, "lost": 2, "timers_raised": 14, "not_bound": 6})
        ticks = of_type(records, "tick")
        self.assertEqual([(t["rate"], t["second"]["population"]["bound_now"]) for t in ticks], [(200, 300)] * 2)
        self.assertEqual(ticks[0]["second"]["population"]["renew"]["latency_us"], {"count": 5, "p50": 30, "p99": 50})
        self.assertEqual(ticks[0]["second"]["population"]["rebind"]["histogram"]["buckets"], [[100, 2]])
        self.assertEqual([(e["event"], e["text"]) for e in of_type(records, "event")],
                         [("release", "Releasing 300 bound subscribers."),
                          ("finished", "Finished and report: 300 subscribers bound.")])

    def test_segments_of_one_population_test_add_up_to_it(self):
        # Three segments 0/3..2/3 of the recorded population run in
        # tests/fixtures/reports (300 subscribers, the responder silent for
        # 10 s): each carries the whole test's population, so it is taken
        # once; their counts add up to the recorded run's, second by second.
        done, records = self.merged(*[os.path.join(SEGMENTS, f"population-{i}.jsonl") for i in (1, 2, 0)],
                                    options=("--fail-below", "300"))
        start, summary = records[0], records[-1]
        recorded = read_records(os.path.join(SOURCE, "tests", "fixtures", "reports", "population.jsonl"))
        self.assertEqual((start["settings"]["population"], start["settings"]["clients"],
                          start["settings"]["segment"], start["merged"]["segments"], start["merged"]["seeds"]),
                         (300, 300, {"index": 0, "count": 1}, 3, [4100, 4101, 4102]))
        counted = ("bound_now", "bound", "lost", "unbound", "released", "release_answered")
        exchanged = ("sent", "retransmitted", "answered", "timed_out")

        def population(second):
            p = second["population"]
            return ({name: p[name] for name in counted},
                    {kind: {name: p[kind][name] for name in exchanged} for kind in ("renew", "rebind")})
        self.assertEqual([(t["tick"], t["second"]["received"], population(t["second"]))
                          for t in of_type(records, "tick")],
                         [(t["tick"], t["second"]["received"], population(t["second"]))
                          for t in of_type(recorded, "tick")])
        self.assertEqual(population(summary), population(recorded[-1]))
        self.assertEqual((summary["result"], summary["population"]["bound_at_end"], summary["clients"]["completed"],
                          done.returncode), (300, 300, 300, 0))
        # Their latencies add as the instances' do (the test above).
        self.assertEqual(summary["population"]["rebind"]["latency_us"]["count"], 300)

    def test_population_segments_share_their_settings_or_are_refused(self):
        segments = [read_records(os.path.join(SEGMENTS, f"population-{i}.jsonl")) for i in range(3)]
        _, records = self.merged(*[changed(s, "start", "settings.steady_start", True) for s in segments])
        self.assertEqual((records[0]["settings"]["steady_start"], records[-1]["result"]), (True, 300))
        self.assert_each_refused([
            # Each segment carries the whole test's population: one that differs is of another test.
            ([segments[0], segments[1], changed(segments[2], "start", "settings.population", 900)],
             "r2.jsonl: not the same test as"),
            # Segments of one test share --steady-start, or none has it.
            ([segments[0], segments[1], changed(segments[2], "start", "settings.steady_start", True)],
             "r2.jsonl: not the same test as"),
            # An instance run side by side (0/1) is no segment of them.
            ([segments[0], segments[1], changed(segments[2], "start", "settings.segment", {"index": 0, "count": 1})],
             "r2.jsonl: segment 0/1, but"),
        ])

    # ---- an interrupted segment ---------------------------------------------

    def test_an_interrupted_segment_never_passes_a_gate(self):
        # Three segments of a ramp of 300:1200:300:2; segment 2 is stopped by
        # SIGINT during step 4, after 1,600 of the step's 2,400 clients. Step
        # 4 is no step of the merged test: the capacity is that of step 3.
        whole = [ramp_step(k, 300 * k, 200 * k, 200 * k, 0) for k in range(1, 5)]
        cut = [r for r in segment_report(2, 3, "ramp", [5], whole[:3]) if r.get("event") != "finished"]
        cut = changed(cut, "summary", "interrupted", True)
        cut.insert(-1, {"type": "event", "time": "2026-01-01T00:00:04.500000Z", "tick": 4, "event": "interrupted",
                        "text": "", "signal": 2})
        paths = [self.write(f"s{i}.jsonl", segment_report(i, 3, "ramp", [5], whole)) for i in range(2)]
        paths.append(self.write("s2.jsonl", cut))
        said = (f"merge: {paths[2]}: segment 2/3 was interrupted (signal 2): the merged test is marked interrupted "
                "and fails --fail-below\n")
        gated = self.merge(*paths, options=("--fail-below", "0"))
        self.assertEqual((gated.returncode, gated.stderr), (3, said))
        done = self.merge(*paths)
        self.assertEqual((done.returncode, done.stderr), (0, said))
        records = [json.loads(line) for line in done.stdout.splitlines()]
        summary = records[-1]
        self.assertEqual((summary["interrupted"], summary["result"], [s["step"] for s in summary["ramp"]["steps"]]),
                         (True, 900, [1, 2, 3]))
        self.assertEqual([(r["event"], r.get("segment")) for r in records if r.get("event") == "interrupted"],
                         [("interrupted", 2)])

    # ---- refusals ---------------------------------------------------------------

    def test_reports_that_are_not_one_test_are_refused_in_one_line(self):
        good = [segment_report(i, 3, latencies=[1]) for i in range(3)]
        pair = [segment_report(i, 2, latencies=[1]) for i in range(2)]
        ticks_older = population_report(1)
        for tick in ticks_older[1:3]:
            tick["second"]["population"]["renew"].pop("histogram")
        self.assert_each_refused([
            ([good[0], good[1], good[1]], "segment 1/3 again"),
            (good[:2], "segment 2/3 missing"),
            ([good[0], good[1], segment_report(2, 4, latencies=[1])], "segment 2/4, but"),
            ([good[0], good[1], segment_report(2, 3, latencies=[1], timeout_s=3)], "not the same test"),
            ([segment_report(i, 2, "highload") for i in range(2)], "run the capacity ramp"),
            ([changed(segment_report(0, 1, latencies=[1]), "start", "merged",
                      {"segments": 2, "files": ["a", "b"], "device": ["d", "d"], "local_address": ["::", "::"]})],
             "already a merged report, of 2 segments"),
            # Begun further apart than START_TOLERANCE_S, in either order.
            ([pair[0], segment_report(1, 2, latencies=[1], begun=4.0)], "r1.jsonl: began 4.0 s after"),
            ([pair[0], segment_report(1, 2, latencies=[1], begun=-3.0)], "r0.jsonl: began 3.0 s after"),
            # A population's renewals of a version without histograms merge only alone.
            ([population_report(0, histograms=False), population_report(1)],
             "r0.jsonl: the summary's population.renew has no histogram"),
            ([population_report(0), ticks_older], "r1.jsonl: its ticks' renewals have no histogram"),
            # A report cut short, or ended without its summary.
            ([pair[0], pair[1][:-1] + ['{"type":"summary","mode":']], "r1.jsonl:4: the last line is cut short"),
            ([pair[0], pair[1][:-1]], "r1.jsonl: no summary record"),
        ])

    def test_a_damaged_or_impossible_report_is_one_line_naming_its_line(self):
        # Each damaged report as segment 1/2, beside a good segment 0/2:
        # start (line 1), two ticks, the finished event (4), summary (5).
        report = segment_report(1, 2, latencies=[10, 20, 30], seconds=(0, 1))
        cases = [  # the record's type, field and value, the line, what the error says
            ("summary", "steps[0].sent", "x", 5, "the summary record's steps[0].sent should be a number, not text"),
            ("start", "settings", [7], 1, "the start record's settings should be an object, not a list"),
            ("summary", "steps[1].histogram", DROP, 5, "the summary record lacks steps[1].histogram"),
            ("summary", "steps", report[-1]["steps"][:1], 5, "the summary record has 1 steps; the scenario has 2"),
            ("tick", "second.steps", [], 2, "the tick record has 0 steps; the scenario has 2 messages"),
            ("start", "histogram_layout.sub_buckets", 64, 1, "the start record's histogram layout"),
            ("event", "event", "coffee_break", 4, "the event record is an event coffee_break, which no report"),
            # A field merge does not know is refused rather than dropped.
            ("start", "settings.burst", 3, 1, "the start record holds settings.burst, which no report of format 1"),
            ("tick", "second.steps[1].nak", 1, 2, "the tick record holds second.steps[1].nak, which no report"),
            ("summary", "clients.parked", 0, 5, "the summary record holds clients.parked, which no report"),
            ("event", "colour", "red", 4, "the event record holds colour, which no report of format 1 has"),
            # Figures no run could have written.
            ("summary", "clients.completed", 50, 5, "the summary record's clients: started 4 is not completed 50 + "
                                                    "timed_out 1 + pending 0 + cleared 0"),
            ("summary", "steps[1].answered", 11, 5, "the summary record's steps[1] answered 11 of 10 sent"),
            ("start", "settings.segment.count", 0, 1,
             "the start record's settings.segment: segment 1/0 is not a segment of 0"),
            ("summary", "histogram.min", 31, 5, "the summary record's histogram has its min 31 above its max 30"),
        ]
        good = segment_report(0, 2, latencies=[1])
        ramp = segment_report(1, 2, "ramp", [5], [ramp_step(1, 300, 300, 300, 0)])
        self.assert_each_refused(
            [([good, changed(report, kind, name, value)], f"r1.jsonl:{line}: {words}")
             for kind, name, value, line, words in cases]
            + [([good, changed(ramp, "summary", "ramp.steps[0].failed", 7)],
                "r1.jsonl:4: the summary record's ramp.steps[0] started 300 is not completed 300 + failed 7")]
            # Python writes NaN and Infinity, which JSON has not.
            + [([good, report[:-1] + [json.dumps(dict(report[-1], duration_s=float(word))) + "\n"]],
                f"r1.jsonl:5: not JSON ({word} is no JSON number)") for word in ("NaN", "-Infinity")])

    # ---- reading as the reports are written ------------------------------------

    def test_a_report_costs_the_memory_of_its_records_in_hand_not_of_the_file(self):
        # A report of 60,000 seconds (about 40 MB) merges within less
        # memory than the report's size.
        path = os.path.join(self.dir, "long.jsonl")
        start, tick, *rest = segment_report(0, 1, latencies=[10], seconds=(0,))
        with open(path, "w") as f:
            f.write(json.dumps(start) + "\n")
            for s in range(60000):
                tick.update(tick=s, time=stamp(BEGUN + timedelta(seconds=s, microseconds=1)))
                f.write(json.dumps(tick) + "\n")
            f.write("".join(json.dumps(r) + "\n" for r in rest))
        done = self.merge(path, options=("-o", os.devnull))
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertLess(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024, os.path.getsize(path))

    def test_a_command_line_error_is_one_line_with_status_1(self):
        paths = [self.write(f"s{i}.jsonl", segment_report(i, 2, latencies=[1])) for i in range(2)]
        cases = [(("--fail-below", "1.5", *paths), "--fail-below 1.5: N must be a whole number of at least 0"),
                 ((), "the following arguments are required"),
                 (("-o", paths[1], *paths), f"{paths[1]}: is one of the reports merged")]
        for arguments, words in cases:
            with self.subTest(arguments=arguments):
                self.assert_refused(self.merge(options=arguments), words)
        with open(paths[1]) as kept:
            self.assertEqual(len(kept.read().splitlines()), 4)
        self.assertEqual(self.merge(*paths, options=("--fail-below", "3")).returncode, 3)


class ReaderTest(InTempDir):
    """The reader merge and plot share, on its own."""

    def write(self, data):
        path = os.path.join(self.dir, "r.jsonl")
        with open(path, "wb") as f:
            f.write(data.encode() if isinstance(data, str) else data)
        return path

    def test_each_kind_takes_what_a_report_holds_and_names_what_it_cannot(self):
        nullable = reader.Nullable(reader.TIME)
        cases = [  # value, kind, what check says (None: nothing)
            (2 ** 64 - 1, reader.COUNT, None), (2 ** 64, reader.COUNT, "above 2^64 - 1"),
            (-1, reader.COUNT, "is -1: it cannot be below 0"), (1.0, reader.COUNT, "is 1.0: not a whole number"),
            (True, reader.COUNT, "should be a number, not true"), (0.5, reader.NUMBER, None),
            (-0.5, reader.NUMBER, "is -0.5: it cannot be below 0"), (-7, reader.INTEGER, None),
            (["a", 1], reader.TEXTS, "should be a list of texts, not a list"),
            (None, nullable, None), ("noon", nullable, "is not an RFC 3339 time: 'noon'"),
            (7, nullable, "should be text or null, not a number"),
            ({"2": 1, "0": 3}, reader.REFUSED, None), ({"x": 1}, reader.REFUSED, "rate's key 'x' is not a status code"),
            ({"256": 1}, reader.REFUSED, "not a status code"), ({"2": -1}, reader.REFUSED, "rate.2 is -1"),
            ([[1, 2], [3]], reader.ListOf(reader.PAIR), "rate[1] should be a [value, count] pair, not a list of 1"),
            ({"count": 1, "sum": 5, "min": 5, "max": 5, "buckets": [[5, 1]]}, reader.HISTOGRAM, None),
            ({"count": 2, "sum": 5, "min": 5, "max": 5, "buckets": [[5, 1]]}, reader.HISTOGRAM,
             "rate.buckets hold 1 of its count 2"),
            ({"count": 2, "sum": 9, "min": 4, "max": 5, "buckets": [[5, 1], [4, 1]]}, reader.HISTOGRAM,
             "rate.buckets are not the non-empty buckets in ascending order"),
            ({"count": 1, "p50": 3}, reader.QUICK_LATENCY, "the tick record lacks rate.p99"),
            ({"count": 1, "p50": 3, "p99": 4, "p90": 4}, reader.QUICK_LATENCY,
             "the tick record holds rate.p90, which no report of format 1 has"),
        ]
        for value, kind, said in cases:
            with self.subTest(value=value, said=said):
                description = reader.Obj({"type": reader.TEXT, "rate": kind})
                if said is None:
                    reader.check({"type": "tick", "rate": value}, "F:2", description)
                    continue
                with self.assertRaises(reader.ReportError) as refused:
                    reader.check({"type": "tick", "rate": value}, "F:2", description)
                self.assertTrue(str(refused.exception).startswith("F:2: the tick record"), refused.exception)
                self.assertIn(said, str(refused.exception))
    def test_a_pick_checks_its_fields_alone_and_keeps_them(self):
        drawn = reader.pick("tick", ("time", "second.completed"), ("second.population.bound_now",))
        tick = {"type": "tick", "time": "2026-01-01T00:00:00Z", "rate": "any", "frob": 1,
                "second": {"completed": 3, "steps": None}}
        reader.check(tick, "F:2", drawn)  # the rate, the steps and frob are no concern of it
        self.assertEqual(reader.kept(tick, drawn), {"time": tick["time"], "second": {"completed": 3}})
        for name, value, said in (("second", {"completed": 3, "population": {"bound_now": -1}},
                                   "second.population.bound_now is -1"),
                                  ("second", {}, "lacks second.completed"), ("time", 3, "time should be text")):
            with self.subTest(said=said):
                with self.assertRaisesRegex(reader.ReportError, said):
                    reader.check(dict(tick, **{name: value}), "F:2", drawn)
        # The whole description of a tick asks for all of its fields.
        with self.assertRaisesRegex(reader.ReportError, "F:2: the tick record lacks tick"):
            reader.check(tick, "F:2")

    def test_records_are_read_line_by_line_with_where_they_stand(self):
        path = self.write('{"type": "start"}\n\n{"type": "tick"}\n{"type": "event"}')
        self.assertEqual([where for where, _ in reader.records(path, cut_short=print)],
                         [f"{path}:1", f"{path}:3", f"{path}:4"])  # the last line, whole but for its newline
        with self.assertRaisesRegex(reader.ReportError, f"^{path}:4: the last line is cut short"):
            list(reader.records(path))
        cut = []
        path = self.write('{"type": "start"}\n{"type": "tick", "ti')
        self.assertEqual(len(list(reader.records(path, cut_short=cut.append))), 1)
        self.assertEqual(cut, [f"{path}:2"])
        for data, said in (('{"type": "tick", "rate": NaN}\n', ":1: not JSON \\(NaN is no JSON number\\)"),
                           ('[' * 100000 + '\n', ":1: not JSON"), ('{"type": "stop"}\n', ":1: not a record of"),
                           (b'\xff\n', ": not a text file")):
            with self.subTest(said=said):
                with self.assertRaisesRegex(reader.ReportError, said):
                    list(reader.records(self.write(data)))

    def test_a_report_is_checked_against_the_records_before(self):
        report = segment_report(0, 1, latencies=[1], seconds=(0, 1))
        start, ticks, event, summary = report[0], report[1:3], report[3], report[4]
        cases = [  # the records in order, what the last one is refused for
            ([ticks[0]], "a tick record before the start record"),
            ([start, start], "the start record is the second of the report"),
            ([start, ticks[0], ticks[0]], "the tick record's tick 0 is not after the tick before it (0)"),
            ([start, ticks[0], dict(ticks[1], time=ticks[0]["time"])], None),  # two ticks at one instant
            ([start, ticks[0], dict(ticks[1], time="2025-12-31T23:59:59.000000Z")], "is before the tick before it"),
            ([start, summary, event], "an event record after the summary"),
            ([start, changed([summary], "summary", "mode", "ramp")[0]], "the summary record lacks low_water"),
            ([start, changed([summary], "summary", "steps[1].message", "RELEASE")[0]],
             "the summary record's steps[1] is step 2 RELEASE; the scenario's step 2 is REQUEST"),
            ([start, changed([summary], "summary", "end", "2025-01-01T00:00:00Z")[0]], "before it starts"),
            ([dict(start, format=2, future={"field": 1})], "report format 2; this merge reads 1"),
            ([dict(start, mode="warp")], "the start record's mode 'warp' is none that a report of format 1 has"),
            ([changed(population_report(0)[:1], "start", "settings.population", DROP)[0]],
             "the start record lacks settings.population"),
        ]
        for records, said in cases:
            with self.subTest(said=said):
                checks = reader.Checks("F", "merge")
                for line, record in enumerate(records[:-1], 1):
                    checks.take(copy.deepcopy(record), f"F:{line}")
                if said is None:
                    checks.take(copy.deepcopy(records[-1]), "F:9")
                    continue
                with self.assertRaises(reader.ReportError) as refused:
                    checks.take(copy.deepcopy(records[-1]), f"F:{len(records)}")
                self.assertIn(said, str(refused.exception))


if __name__ == "__main__":
    unittest.main()
