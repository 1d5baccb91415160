"""scripts/merge on the reports of segments: the sums, the histograms added
bucket by bucket, a ramp's capacity judged again on the sums, and a clear
one-line refusal for reports that do not belong together.

The segments' reports are made here, record by record as quorvelin writes
them, from known latencies and counts, so every merged figure has a value
worked out by hand beside it.
"""
import collections
import json
import os
import shutil
import subprocess
import tempfile
import unittest

SOURCE = os.environ.get("QUORVELIN_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
MERGE = os.path.join(SOURCE, "scripts", "merge")
LAYOUT = {"unit": "us", "exact_below": 256, "sub_buckets": 128, "highest": 60000000}


def histogram(latencies):
    """A summary histogram of latencies below 256 us (one bucket each)."""
    buckets = collections.Counter(latencies)
    return {"count": len(latencies), "sum": sum(latencies), "min": min(latencies, default=0),
            "max": max(latencies, default=0), "buckets": [[v, buckets[v]] for v in sorted(buckets)]}


def segment_report(index, count, mode="once", latencies=(), ramp=None, seconds=(0,), clients=100, **settings):
    """The records of segment index/count of a test begun 2026-01-01T00:00:00Z."""
    base = {"device": "veth0", "server": "ff02::1:2", "clients": clients, "test_duration_s": 10, "timeout_s": 1,
            "nthreads": 1, "error_threshold_percent": 0.1, "segment": {"index": index, "count": count},
            "local_address": f"2001:db8:1::{index + 10}"}
    base.update(settings)
    start = {"type": "start", "format": 1, "version": "0.1.5", "command_line": ["quorvelin"], "mode": mode,
             "messages": ["SOLICIT", "REQUEST"], "start": f"2026-01-01T00:00:00.00{index}000Z", "settings": base,
             "histogram_layout": LAYOUT}
    completed = len(latencies)
    records = [start]
    for s in seconds:
        records.append({"type": "tick", "time": f"2026-01-01T00:00:{s:02d}.{index + 1:03d}000Z", "tick": s,
                        "results": completed, "timeouts": 1, "pending": 0, "low_water": 0, "rate": clients,
                        "high_water": 0, "avg_ms": 0, "max_ms": 0, "min_ms": 0,
                        "second": {"started": 10, "completed": completed, "timed_out": 1, "received": 20,
                                   "unmatched_replies": 0, "rcvbuf_drops": 0,
                                   "latency_us": {"count": completed, "p50": 100 * (index + 1), "p99": 200},
                                   "steps": []}})
    records.append({"type": "event", "time": "2026-01-01T00:00:05.000000Z", "tick": 5, "event": "finished",
                    "text": f"Finished and report: {completed} transactions per second.", "reported": completed})
    step = {"sent": 10, "answered": 9, "timed_out": 1, "refused": {"2": index + 1}, "no_lease_offered": 1,
            "duplicates": 0, "no_server_id": 0, "unbuildable": 0, "latency_us": {}, "histogram": histogram(latencies)}
    summary = {"type": "summary", "mode": mode, "interrupted": False, "offered_rate": clients,
               "start": start["start"], "end": f"2026-01-01T00:00:0{5 + index}.000000Z", "duration_s": 5.0,
               "clients": {"started": 10, "completed": completed, "timed_out": 1, "stalled": 1, "pending": 0,
                           "cleared": 0},
               "latency_us": {}, "histogram": histogram(latencies),
               "steps": [dict(step, step=1, message="SOLICIT"), dict(step, step=2, message="REQUEST")],
               "received": 20, "unmatched_replies": 1, "rcvbuf_drops": 0, "result": completed}
    if ramp is not None:
        summary["ramp"] = {"steps": ramp, "capacity": 0}
    return records + [summary]


def ramp_step(step, rate, started, completed, failed):
    return {"step": step, "rate": rate, "started": started, "completed": completed, "failed": failed,
            "passed": failed == 0}


class MergeTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)

    def write(self, name, records, tail=""):
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write("".join(json.dumps(r) + "\n" for r in records) + tail)
        return path

    def merge(self, *paths, options=()):
        return subprocess.run([MERGE, *options, *paths], capture_output=True, text=True, timeout=60)

    def merged(self, *reports, options=()):
        paths = [self.write(f"s{i}.jsonl", r) for i, r in enumerate(reports)]
        done = self.merge(*paths, options=options)
        self.assertEqual(done.stderr, "")
        return done, [json.loads(line) for line in done.stdout.splitlines()]

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
                         (90, 30, 3))
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
        }
        for name, (reports, words) in cases.items():
            with self.subTest(case=name):
                paths = [self.write(f"{name}{i}.jsonl", r) for i, r in enumerate(reports)]
                done = self.merge(*paths)
                self.assertEqual((done.returncode, done.stdout), (1, ""))
                self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
                self.assertIn(words, done.stderr)

    def test_a_cut_short_or_damaged_report_is_named_with_its_line(self):
        whole = [segment_report(i, 2, latencies=[1]) for i in range(2)]
        cut = self.write("cut.jsonl", whole[1][:-1], tail='{"type":"summary","mode":')
        done = self.merge(self.write("a.jsonl", whole[0]), cut)
        self.assertEqual(done.returncode, 1)
        self.assertRegex(done.stderr, r"^merge: .*cut\.jsonl:4: the last line is cut short")
        ended = self.write("ended.jsonl", whole[1][:-1])
        self.assertIn("no summary record", self.merge(self.write("b.jsonl", whole[0]), ended).stderr)


if __name__ == "__main__":
    unittest.main()
