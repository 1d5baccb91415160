"""scripts/merge on the reports of segments: the sums, the histograms added
bucket by bucket, a ramp's capacity judged again on the sums, and a clear
one-line refusal for reports that do not belong together or that no run of
quorvelin could have written.

The segments' reports are made here, record by record as quorvelin writes
them, from known latencies and counts, so every merged figure has a value
worked out by hand beside it.
"""
import collections
import copy
import json
import math
import os
import shutil
import subprocess
import tempfile
import unittest
from datetime import datetime, timedelta, timezone

SOURCE = os.environ.get("QUORVELIN_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
MERGE = os.path.join(SOURCE, "scripts", "merge")
LAYOUT = {"unit": "us", "exact_below": 256, "sub_buckets": 128, "highest": 60000000}
BEGUN = datetime(2026, 1, 1, tzinfo=timezone.utc)
MESSAGES = ["SOLICIT", "REQUEST"]
# What a run with --check-leases, --retransmit, and an engine that knows the
# newest fields add to each step.
LEASE_CHECK = {"duplicate_leases": 299}
RETRANSMISSION = {"retransmitted": 5, "needed_retransmissions": [3, 1, 1]}
NEWEST_STEP = {"rapid_commit_not_honoured": 2, "released_without_binding": 1}


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


def step_counts(index, extra):
    counts = {"sent": 10, "answered": 9, "timed_out": 1, "refused": {"2": index + 1}, "no_lease_offered": 1,
              "duplicates": 0, "no_server_id": 0, "unbuildable": 0}
    counts.update(copy.deepcopy(extra))
    return counts


def segment_report(index, count, mode="once", latencies=(), ramp=None, seconds=(0,), clients=100, begun=0.0,
                   step_extra=None, summary_extra=None, **settings):
    """The records of segment index/count of a test begun `begun` seconds
    after 2026-01-01T00:00:00Z, each segment a millisecond after the one
    before. step_extra: fields each step adds (see LEASE_CHECK...)."""
    step_extra = step_extra or {}
    origin = BEGUN + timedelta(seconds=begun, milliseconds=index)
    base = {"device": "veth0", "server": "ff02::1:2", "clients": clients, "test_duration_s": 10, "timeout_s": 1,
            "nthreads": 1, "error_threshold_percent": 0.1, "segment": {"index": index, "count": count},
            "local_address": f"2001:db8:1::{index + 10}", "start_at": None, "ramp": None}
    if mode == "ramp":
        base["ramp"] = {"from": 300, "to": 1200, "step": 300, "seconds": 2}
    base.update(settings)
    start = {"type": "start", "format": 1, "version": "0.1.5", "command_line": ["quorvelin"], "mode": mode,
             "messages": MESSAGES, "start": stamp(origin), "settings": base, "histogram_layout": LAYOUT}
    completed = len(latencies)
    records = [start]
    for s in seconds:
        steps = [dict(step_counts(index, step_extra), latency_us={"count": 9, "p50": 50, "p99": 90})
                 for _ in MESSAGES]
        records.append({"type": "tick", "time": stamp(BEGUN + timedelta(seconds=begun + s, milliseconds=index + 1)),
                        "tick": s, "results": completed, "timeouts": 1, "pending": 0, "low_water": 0,
                        "rate": clients, "high_water": 0, "avg_ms": 0, "max_ms": 0, "min_ms": 0,
                        "second": {"started": 10, "completed": completed, "timed_out": 1, "received": 20,
                                   "unmatched_replies": 0, "rcvbuf_drops": 0,
                                   "latency_us": {"count": completed, "p50": 100 * (index + 1), "p99": 200},
                                   "steps": steps}})
    records.append({"type": "event", "time": stamp(BEGUN + timedelta(seconds=begun + 5)), "tick": 5,
                    "event": "finished", "text": f"Finished and report: {completed} transactions per second.",
                    "reported": completed})
    steps = [dict(step_counts(index, step_extra), step=k, message=message, latency_us=latency(latencies),
                  histogram=histogram(latencies)) for k, message in enumerate(MESSAGES, 1)]
    summary = {"type": "summary", "mode": mode, "interrupted": False, "offered_rate": clients,
               "start": start["start"], "end": stamp(BEGUN + timedelta(seconds=begun + 5 + index)),
               "duration_s": 5.0 + index - index / 1000,
               "clients": {"started": completed + 1, "completed": completed, "timed_out": 1, "stalled": 1,
                           "pending": 0, "cleared": 0},
               "latency_us": latency(latencies), "histogram": histogram(latencies), "steps": steps,
               "received": 20, "unmatched_replies": 1, "rcvbuf_drops": 0, "result": completed}
    if "duplicate_leases" in step_extra:
        summary["duplicate_leases"] = sum(s["duplicate_leases"] for s in steps)
    if ramp is not None:
        summary.update(ramp={"steps": ramp, "capacity": 0}, low_water=0, high_water=0)
    summary.update(summary_extra or {})
    return records + [summary]


def ramp_step(step, rate, started, completed, failed):
    return {"step": step, "rate": rate, "started": started, "completed": completed, "failed": failed,
            "passed": failed == 0}


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


DROP = object()


class MergeTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)

    def write(self, name, records, tail=""):
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write("".join((r if isinstance(r, str) else json.dumps(r)) + "\n" for r in records) + tail)
        return path

    def merge(self, *paths, options=()):
        return subprocess.run([MERGE, *options, *paths], capture_output=True, text=True, timeout=60)

    def merged(self, *reports, options=()):
        paths = [self.write(f"s{i}.jsonl", r) for i, r in enumerate(reports)]
        done = self.merge(*paths, options=options)
        self.assertEqual(done.stderr, "")
        return done, [json.loads(line) for line in done.stdout.splitlines()]

    def assert_refused(self, done, words, where=None):
        """One line on standard error, naming the file (and line) and why; status 1, nothing written."""
        self.assertEqual((done.returncode, done.stdout), (1, ""), done.stderr)
        self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
        self.assertTrue(done.stderr.startswith("merge: " + (where or "")), done.stderr)
        self.assertIn(words, done.stderr)

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
        finished = [r for r in records if r.get("event") == "finished"]
        self.assertEqual([f["text"] for f in finished], ["Finished and report: 90 transactions per second."])

    def test_ticks_are_aligned_on_wall_clock_seconds(self):
        _, records = self.merged(segment_report(0, 2, latencies=[10] * 4, seconds=(0, 1, 2)),
                                 segment_report(1, 2, latencies=[20] * 2, seconds=(1, 2)))
        ticks = [r for r in records if r["type"] == "tick"]
        self.assertEqual([(t["tick"], t["time"], t["results"], t["second"]["started"]) for t in ticks],
                         [(0, "2026-01-01T00:00:00.000000Z", 4, 10), (1, "2026-01-01T00:00:01.000000Z", 6, 20),
                          (2, "2026-01-01T00:00:02.000000Z", 6, 20)])
        # Count-weighted: (4 x 100 + 2 x 200) / 6.
        self.assertEqual(ticks[1]["second"]["latency_us"], {"count": 6, "p50": 133, "p99": 200})

    def test_ramp_capacity_is_judged_again_on_the_sums(self):
        # Segment 0 alone fails step 2 (1 of 500 is 0.2 %); with the other
        # two, 1 of 1500 is within 0.1 %. Step 3 fails on the sums.
        ramp = [ramp_step(1, 300, 300, 300, 0), ramp_step(2, 1500, 500, 499, 1), ramp_step(3, 3000, 1000, 990, 10)]
        others = [ramp_step(1, 300, 300, 300, 0), ramp_step(2, 1500, 500, 500, 0), ramp_step(3, 3000, 1000, 1000, 0)]
        done, records = self.merged(segment_report(0, 3, "ramp", [5], ramp),
                                    segment_report(1, 3, "ramp", [5], others),
                                    segment_report(2, 3, "ramp", [5], others), options=("--fail-below", "1501"))
        summary = records[-1]
        self.assertEqual([(s["started"], s["failed"], s["passed"]) for s in summary["ramp"]["steps"]],
                         [(900, 0, True), (1500, 1, True), (3000, 10, False)])
        self.assertEqual((summary["ramp"]["capacity"], summary["result"], done.returncode), (1500, 1500, 3))
        self.assertEqual((summary["low_water"], summary["high_water"]), (1500, 3000))

    def test_reports_that_do_not_belong_together_are_refused_in_one_line(self):
        good = [segment_report(i, 3, latencies=[1]) for i in range(3)]
        cases = {
            "overlap": ([good[0], good[1], good[1]], "segment 1/3 again"),
            "missing": (good[:2], "segment 2/3 missing"),
            "count": ([good[0], good[1], segment_report(2, 4, latencies=[1])], "segment 2/4, but"),
            "settings": ([good[0], good[1], segment_report(2, 3, latencies=[1], timeout_s=3)],
                         "not the same test"),
            "highload": ([segment_report(i, 2, "highload") for i in range(2)], "run the capacity ramp"),
            "merged": ([changed(segment_report(0, 1, latencies=[1]), "start", "merged",
                                {"segments": 2, "files": ["a", "b"], "device": ["d", "d"],
                                 "local_address": ["::", "::"]})], "already a merged report, of 2 segments"),
        }
        for name, (reports, words) in cases.items():
            with self.subTest(case=name):
                paths = [self.write(f"{name}{i}.jsonl", r) for i, r in enumerate(reports)]
                self.assert_refused(self.merge(*paths), words)

    def test_a_cut_short_or_damaged_report_is_named_with_its_line(self):
        whole = [segment_report(i, 2, latencies=[1]) for i in range(2)]
        cut = self.write("cut.jsonl", whole[1][:-1], tail='{"type":"summary","mode":')
        done = self.merge(self.write("a.jsonl", whole[0]), cut)
        self.assertEqual(done.returncode, 1)
        self.assertRegex(done.stderr, r"^merge: .*cut\.jsonl:4: the last line is cut short")
        ended = self.write("ended.jsonl", whole[1][:-1])
        self.assertIn("no summary record", self.merge(self.write("b.jsonl", whole[0]), ended).stderr)

    # ---- every field of a report is merged ----------------------------------

    def test_a_single_report_merges_into_itself_with_every_field(self):
        # A test of one segment, with the lease check, retransmissions and the
        # newest fields: the merge gives back every figure of its summary and
        # of each second, and every setting.
        settings = {"check_leases": True, "retransmit": True, "seed": 7}
        extra = dict(LEASE_CHECK, **RETRANSMISSION, **NEWEST_STEP)
        summary_extra = {"last_completion_s": 4.5, "generator_saturated": True, "tick_late_ms_max": 12}
        report = segment_report(0, 1, latencies=[3, 5, 8, 200], seconds=(0, 1), step_extra=extra,
                                summary_extra=summary_extra, **settings)
        done, records = self.merged(report)
        self.assertEqual(done.returncode, 0)
        self.assertEqual(records[-1], report[-1])
        self.assertEqual(records[-1]["duplicate_leases"], 598)
        self.assertEqual([t["second"] for t in records if t["type"] == "tick"],
                         [t["second"] for t in report if t["type"] == "tick"])
        # The segment's own settings are listed in "merged".
        own = {"device": "veth0", "local_address": "2001:db8:1::10", "seed": 7}
        self.assertEqual(dict(records[0]["settings"], **own), report[0]["settings"])
        self.assertEqual(records[0]["settings"]["seed"], None)
        self.assertEqual({name: records[0]["merged"][name] for name in ("device", "local_address", "seeds")},
                         {"device": ["veth0"], "local_address": ["2001:db8:1::10"], "seeds": [7]})

    def test_every_count_of_the_lease_check_retransmissions_and_newest_fields_is_summed(self):
        extra = dict(LEASE_CHECK, **RETRANSMISSION, **NEWEST_STEP)
        reports = [segment_report(i, 2, latencies=[10], step_extra=extra, check_leases=True, retransmit=True,
                                  seed=100 + i, summary_extra={"last_completion_s": 1.5,
                                                               "generator_saturated": i == 1,
                                                               "tick_late_ms_max": 10 + i})
                   for i in range(2)]
        # An older segment lacks the newest fields: they count as none.
        for name in NEWEST_STEP:
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
        second = next(r for r in records if r["type"] == "tick")["second"]
        self.assertEqual([(s["duplicate_leases"], s["retransmitted"], s["needed_retransmissions"],
                           s["rapid_commit_not_honoured"]) for s in second["steps"]],
                         [(598, 10, [6, 2, 2], 4)] * 2)

    def test_reports_of_before_the_newest_fields_merge_without_them(self):
        _, records = self.merged(*(segment_report(i, 2, latencies=[10]) for i in range(2)))
        start, summary = records[0], records[-1]
        self.assertNotIn("seed", start["settings"])
        self.assertNotIn("seeds", start["merged"])
        for name in ("generator_saturated", "tick_late_ms_max", "duplicate_leases", "last_completion_s"):
            self.assertNotIn(name, summary)
        self.assertNotIn("rapid_commit_not_honoured", summary["steps"][0])

    def test_a_field_merge_does_not_know_is_refused_rather_than_dropped(self):
        report = segment_report(0, 1, latencies=[10])
        cases = [("start", "settings.burst", 3, "settings.burst"),
                 ("tick", "second.steps[1].nak", 1, "second.steps[1].nak"),
                 ("summary", "steps[0].frob", 1, "steps[0].frob"),
                 ("summary", "clients.parked", 0, "clients.parked"),
                 ("event", "colour", "red", "colour")]
        for kind, name, value, words in cases:
            with self.subTest(field=name):
                path = self.write("r.jsonl", changed(report, kind, name, value))
                self.assert_refused(self.merge(path), f"{words}, which no report of format 1 has", f"{path}:")

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
        for gate in ("1200", "900", "0"):
            with self.subTest(fail_below=gate):
                done = self.merge(*paths, options=("--fail-below", gate))
                self.assertEqual(done.returncode, 3)
                self.assertEqual(done.stderr, f"merge: {paths[2]}: segment 2/3 was interrupted (signal 2): the "
                                              "merged test is marked interrupted and fails --fail-below\n")
        done = self.merge(*paths)
        self.assertEqual(done.returncode, 0)
        self.assertEqual(len(done.stderr.splitlines()), 1)
        records = [json.loads(line) for line in done.stdout.splitlines()]
        summary = records[-1]
        self.assertEqual((summary["interrupted"], summary["result"], [s["step"] for s in summary["ramp"]["steps"]]),
                         (True, 900, [1, 2, 3]))
        self.assertEqual([(r["event"], r.get("segment")) for r in records if r.get("event") == "interrupted"],
                         [("interrupted", 2)])

    # ---- start times ----------------------------------------------------------

    def test_segments_of_tests_begun_apart_are_not_one_test(self):
        cases = [(4.0, "began 4.0 s after"), (259200.0, "began 259200.0 s after"), (-3.0, "began 3.0 s after")]
        for apart, words in cases:
            with self.subTest(apart=apart):
                paths = [self.write("a.jsonl", segment_report(0, 2, latencies=[1])),
                         self.write("b.jsonl", segment_report(1, 2, latencies=[1], begun=apart))]
                self.assert_refused(self.merge(*paths), words)
        # Within the tolerance, one test.
        _, records = self.merged(segment_report(0, 2, latencies=[1]), segment_report(1, 2, latencies=[1], begun=1.9))
        self.assertEqual(records[0]["start"], "2026-01-01T00:00:00.000000Z")

    # ---- damaged and impossible records -----------------------------------------

    def test_a_report_of_the_wrong_shape_is_one_line_naming_its_line(self):
        report = segment_report(1, 2, latencies=[10, 20, 30], seconds=(0, 1))
        summary_line, tick_line = len(report), 2
        cases = [  # the report, the line, what the error says
            (changed(report, "summary", "steps[0].sent", "x"), summary_line,
             "the summary record's steps[0].sent should be a number, not text"),
            (changed(report, "tick", "second.steps[1].answered", [1]), tick_line,
             "the tick record's second.steps[1].answered should be a number, not a list"),
            (changed(report, "summary", "steps[1].histogram", DROP), summary_line,
             "the summary record lacks steps[1].histogram"),
            (changed(report, "summary", "histogram", DROP), summary_line, "the summary record lacks histogram"),
            (changed(report, "summary", "steps", report[-1]["steps"][:1]), summary_line,
             "the summary record has 1 steps; the scenario has 2 messages"),
            (changed(report, "tick", "second.steps", []), tick_line,
             "the tick record has 0 steps; the scenario has 2 messages"),
            (changed(report, "start", "settings", 7), 1,
             "the start record's settings should be an object, not a number"),
            (changed(report, "summary", "histogram.count", 5), summary_line,
             "the summary record's histogram.buckets hold 3 of its count 5"),
            (changed(report, "summary", "histogram.buckets", [[10, 1], [20]]), summary_line,
             "the summary record's histogram.buckets[1] should be a [value, count] pair"),
            (changed(report, "summary", "steps[0].refused", {"NoAddrAvail": 1}), summary_line,
             "steps[0].refused's key 'NoAddrAvail' is not a status code"),
            (changed(report, "summary", "clients", None), summary_line,
             "the summary record's clients should be an object, not null"),
            (changed(report, "tick", "second", []), tick_line,
             "the tick record's second should be an object, not a list"),
            (changed(report, "start", "messages", "SOLICIT"), 1,
             "the start record's messages should be a list of texts, not text"),
            (changed(report, "summary", "end", "yesterday"), summary_line, "not an RFC 3339 time: 'yesterday'"),
            (changed(report, "start", "histogram_layout.sub_buckets", 64), 1, "histogram layout"),
            (changed(report, "event", "event", "coffee_break"), 4, "an event coffee_break"),
        ]
        for records, line, error in cases:
            with self.subTest(error=error):
                first = self.write("a.jsonl", segment_report(0, 2, latencies=[1]))
                path = self.write("b.jsonl", records)
                self.assert_refused(self.merge(first, path), error, f"{path}:{line}: ")

    def test_numbers_json_has_not_are_refused(self):
        line = json.dumps(segment_report(0, 1, latencies=[1])[-1])
        for word in ("NaN", "Infinity", "-Infinity"):
            with self.subTest(word=word):
                damaged = line.replace('"duration_s": 5.0', f'"duration_s": {word}')
                records = segment_report(0, 1, latencies=[1])[:-1] + [damaged]
                path = self.write("r.jsonl", records)
                self.assert_refused(self.merge(path), f"{word} is no JSON number", f"{path}:{len(records)}: ")

    def test_impossible_figures_are_refused(self):
        report = segment_report(1, 2, latencies=[10, 20, 30], seconds=(0, 1))
        summary_line = len(report)
        ramp = segment_report(1, 2, "ramp", [5], [ramp_step(1, 300, 300, 300, 0)])
        twice = report[:2] + [report[1]] * 200 + report[2:]
        cases = [  # the report, the line, what the error says
            (changed(report, "summary", "clients.completed", -5000), summary_line,
             "the summary record's clients.completed is -5000: it cannot be below 0"),
            (changed(report, "summary", "clients.completed", 1e308), summary_line,
             "the summary record's clients.completed is 1e+308: not a whole number"),
            (changed(report, "summary", "clients.completed", 50), summary_line,
             "the summary record's clients: started 4 is not completed 50 + timed_out 1 + pending 0 + cleared 0"),
            (changed(report, "summary", "steps[1].answered", 11), summary_line,
             "the summary record's steps[1] answered 11 of 10 sent"),
            (changed(report, "start", "settings.segment.index", 1.5), 1,
             "the start record's settings.segment.index is 1.5: not a whole number"),
            (changed(report, "start", "settings.segment.index", True), 1,
             "the start record's settings.segment.index should be a number, not true"),
            (changed(report, "start", "settings.segment.count", 0), 1, "segment 1/0 is not a segment of 0"),
            (changed(report, "tick", "results", 2 ** 64), 2, "is 18446744073709551616: above 2^64 - 1"),
            (twice, 3, "the tick record's tick 0 is not after the tick before it (0)"),
            (changed(report, "summary", "histogram.min", 31), summary_line,
             "the summary record's histogram has its min 31 above its max 30"),
            (changed(ramp, "summary", "ramp.steps[0].failed", 7), len(ramp),
             "ramp.steps[0] started 300 is not completed 300 + failed 7"),
        ]
        for records, line, error in cases:
            with self.subTest(error=error):
                first = self.write("a.jsonl", segment_report(0, 2, latencies=[1]))
                path = self.write("b.jsonl", records)
                self.assert_refused(self.merge(first, path), error, f"{path}:{line}: ")

    def test_a_command_line_error_is_one_line_with_status_1(self):
        path = self.write("r.jsonl", segment_report(0, 1, latencies=[1]))
        cases = [(("--fail-below", "1.5", path), "--fail-below 1.5: N must be a whole number of at least 0"),
                 (("--fail-below", "-1", path), "--fail-below -1: N must be a whole number of at least 0"),
                 (("--fail-below",), "expected one argument"),
                 (("--colour", path), "unrecognized arguments: --colour"),
                 ((), "the following arguments are required")]
        for arguments, words in cases:
            with self.subTest(arguments=arguments):
                done = subprocess.run([MERGE, *arguments], capture_output=True, text=True, timeout=60)
                self.assert_refused(done, words)
        self.assertEqual(self.merge(path, options=("--fail-below", "2")).returncode, 3)


if __name__ == "__main__":
    unittest.main()
