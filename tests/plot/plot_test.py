"""scripts/plot on recorded reports: a picture for each mode, a clear error for a broken report.

The pictures are checked by what they are made of (PNG signature and size;
in SVG, the named series, shaded spans and marks), not by their pixels.
The reports in tests/fixtures/reports were recorded in the lab (highload
against the test responder capped at 50 new clients/s, a capacity ramp
100:300:100:2 against it capped at 250, endless against Kea stopped by
SIGINT, once against Kea, a population of 300 against the test responder
silent for 10 s), without the ticks' per-step detail
and the histograms' buckets, which the plot does not read; those in
tests/fixtures/segments are whole: three segments of a capacity ramp.
"""
import json
import os
import shutil
import subprocess
import tempfile
import unittest

SOURCE = os.environ.get("QUORVELIN_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
PLOT = os.path.join(SOURCE, "scripts", "plot")
MERGE = os.path.join(SOURCE, "scripts", "merge")
REPORTS = os.path.join(SOURCE, "tests", "fixtures", "reports")
SEGMENTS = os.path.join(SOURCE, "tests", "fixtures", "segments")
START = json.dumps({"type": "start", "format": 1, "start": "2026-01-01T00:00:00.000000Z", "mode": "once",
                    "messages": ["SOLICIT"]})


def read(path, mode="r"):
    with open(path, mode) as f:
        return f.read()


def run(*arguments):
    return subprocess.run([PLOT, *arguments], capture_output=True, text=True, timeout=120)


class PlotTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)

    def remove(self, *paths):
        for path in paths:
            if os.path.exists(path):
                os.remove(path)

    def test_draws_every_mode(self):
        for name in sorted(os.listdir(REPORTS)):
            with self.subTest(report=name):
                report = shutil.copy(os.path.join(REPORTS, name), self.dir)
                records = [json.loads(line) for line in read(report).splitlines()]
                events = [r["event"] for r in records if r["type"] == "event"]
                start, summary = records[0], records[-1]
                done = run(report)  # the PNG goes next to the report
                self.assertEqual((done.returncode, done.stderr), (0, ""))
                image = read(report[:-len(".jsonl")] + ".png", "rb")
                self.assertEqual(image[:8], b"\x89PNG\r\n\x1a\n")
                self.assertTrue(20_000 < len(image) < 400_000, len(image))

                svg_path = os.path.join(self.dir, "run.svg")
                self.assertEqual(run(report, svg_path).returncode, 0)
                svg = read(svg_path)
                series = ["completed", "timed-out", "latency-p50", "latency-p99"]
                if start["mode"] in ("highload", "ramp"):
                    series += ["rate", "low-water", "high-water"]
                if start["mode"] == "population":
                    series += ["bound", "renew-sent", "renew-answered", "rebind-sent", "rebind-answered"]
                for gid in series:
                    self.assertIn(f'id="{gid}"', svg)
                # A ramp step is shaded as a run that passed or failed.
                steps = [r.get("passed") for r in records if r.get("event") == "ramp_step_done"]
                events += ["run_passed" if passed else "run_failed" for passed in steps]
                for event, span in (("run_passed", "run-passed"), ("run_failed", "run-failed"), ("pause", "pause")):
                    self.assertEqual(svg.count(f'id="{span}-'), events.count(event), span)
                self.assertEqual('id="interrupted"' in svg, summary["interrupted"])
                self.assertIn(f"quorvelin {start['mode']}: ", svg)
                self.assertIn(" \u2192 ".join(start["messages"]), svg)
                self.assertIn(format(summary["result"], ".0f" if start["mode"] == "endless" else ""), svg)

    def test_draws_the_merge_of_recorded_segments(self):
        # Three segments of a ramp 100:300:100:2 against the test responder
        # capped at 250 new clients/s, merged: steps 1 and 2 pass, 3 fails.
        merged, picture = os.path.join(self.dir, "ramp.jsonl"), os.path.join(self.dir, "ramp.svg")
        segments = [os.path.join(SEGMENTS, f"ramp-{i}.jsonl") for i in range(3)]
        self.assertEqual(subprocess.run([MERGE, "-o", merged, *segments], timeout=120).returncode, 0)
        done = run(merged, picture)
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        svg = read(picture)
        self.assertEqual((svg.count('id="run-passed-'), svg.count('id="run-failed-')), (2, 1))
        self.assertIn("capacity 200 clients/s", svg)

    def test_refuses_a_broken_report_in_one_line(self):
        cases = [  # report text, output name, what the error says
            ("", "out.png", "empty report"),
            (START + "\n{\"type\": \"tick\",\n", "out.png", "report.jsonl:2: not JSON"),
            (START + "\n[1, 2]\n", "out.png", "report.jsonl:2: not a record"),
            ('{"type": "tick"}\n', "out.png", "report.jsonl:1: the tick record lacks time"),
            (START.replace('"format": 1', '"format": 2'), "out.png", "report format 2"),
            (START.replace("2026-", "Jan "), "out.png", "not an RFC 3339 time"),
            ('{"type": "event", "time": "2026-01-01T00:00:00Z", "event": "x"}', "out.png", "no start record"),
            ('{"type": "event", "time": "", "event": "x"}', "out.png", "report.jsonl:1: the event record's time is "
                                                                       "not an RFC 3339 time: ''"),
            (START + "\n" + '{"type": "tick", "time": NaN}\n', "out.png", "report.jsonl:2: not JSON \\(NaN is no"),
            (START.replace('"once"', '"population", "settings": {"clients": 10}'), "out.png",
             "report.jsonl:1: the start record lacks settings.population"),
            (START, "out.pdf", "must end in .png or .svg"),
            (None, "out.png", "No such file"),
        ]
        for text, out, error in cases:
            with self.subTest(error=error):
                report, picture = os.path.join(self.dir, "report.jsonl"), os.path.join(self.dir, out)
                self.remove(report, picture)  # what a case before left, had it failed
                if text is not None:
                    with open(report, "w") as f:
                        f.write(text)
                done = run(report, picture)
                self.assertEqual(done.returncode, 1)
                self.assertRegex(done.stderr, rf"^plot: .*{error}.*\n$")
                self.assertFalse(os.path.exists(picture))

    def test_draws_a_report_cut_mid_record_and_warns(self):
        lines = read(os.path.join(REPORTS, "endless-interrupted.jsonl")).splitlines(keepends=True)
        summary, tick = lines[-1], lines[-2]
        cases = [  # the report's text, the line cut, whether the picture has the summary's result
            ("".join(lines[:-1]) + summary[:len(summary) // 2], len(lines), False),
            ("".join(lines[:-1]) + summary[:1], len(lines), False),
            ("".join(lines[:-1]) + summary[:-2], len(lines), False),
            ("".join(lines[:-2]) + tick[:len(tick) // 3], len(lines) - 1, False),
            ("".join(lines)[:-1], None, True),  # whole but for its newline: kept
        ]
        for text, cut, whole in cases:
            with self.subTest(cut=cut, length=len(text)):
                report, picture = os.path.join(self.dir, "report.jsonl"), os.path.join(self.dir, "run.svg")
                with open(report, "w") as f:
                    f.write(text)
                done = run(report, picture)
                warning = f"plot: {report}:{cut}: warning: the last line is cut short; drawn without it\n"
                self.assertEqual((done.returncode, done.stderr), (0, warning if cut else ""))
                svg = read(picture)
                self.assertIn('id="completed"', svg)
                self.assertEqual("no summary: the report ends before the run did" in svg, not whole)

    def test_refuses_wrongly_typed_fields_in_one_line(self):
        tick = {"type": "tick", "time": "2026-01-01T00:00:01.000000Z", "rate": 10, "low_water": 0, "high_water": 0,
                "second": {"completed": 10, "timed_out": 0, "latency_us": {"count": 10, "p50": 900, "p99": 990}}}
        event = {"type": "event", "time": "2026-01-01T00:00:01.000000Z", "event": "interrupted", "signal": 1}
        summary = {"type": "summary", "mode": "endless", "end": "2026-01-01T00:00:02.000000Z", "result": 9.5,
                   "interrupted": True, "offered_rate": 10, "served_rate": 9.5}

        def changed(record, name, value):
            record = json.loads(json.dumps(record))
            *inside, last = name.split(".")
            place = record
            for part in inside:
                place = place[part]
            place[last] = value
            return json.dumps(record)

        start = json.loads(START)
        cases = [  # the second record, what the error says
            ('{"type": ["start"]}', "not a record of a quorvelin report"),
            ('{"type": null}', "not a record of a quorvelin report"),
            (changed(tick, "rate", None), "the tick record's rate should be a number, not null"),
            (changed(tick, "low_water", "0"), "the tick record's low_water should be a number, not text"),
            (changed(tick, "second.completed", True), "the tick record's second.completed should be a number, not true"),
            (changed(tick, "second.latency_us.p99", [990]), "second.latency_us.p99 should be a number, not a list"),
            (changed(tick, "second.latency_us", [10, 900, 990]),
             "the tick record's second.latency_us should be an object, not a list"),
            (changed(tick, "second.latency_us", {"p50": 900, "p99": 990}),
             "the tick record lacks second.latency_us.count"),
            (changed(tick, "rate", -1), "the tick record's rate is -1: it cannot be below 0"),
            (changed(tick, "second.completed", 2.5), "the tick record's second.completed is 2.5: not a whole number"),
            (changed(tick, "second.population", {"bound_now": 3, "renew": {"sent": "4"}}),
             "the tick record's second.population.renew.sent should be a number, not text"),
            (changed(tick, "time", 1), "the tick record's time should be text, not a number"),
            (changed(event, "event", None), "the event record's event should be text, not null"),
            (changed(event, "signal", [1]), "the event record's signal should be a number, not a list"),
            (changed(summary, "interrupted", "yes"), "the summary record's interrupted should be true or false, not text"),
            (changed(summary, "mode", {"endless": 1}), "the summary record's mode should be text, not an object"),
            (changed(summary, "served_rate", None), "the summary record's served_rate should be a number, not null"),
            (changed(summary, "offered_rate", False), "the summary record's offered_rate should be a number, not false"),
            (changed(start, "messages", None), "the start record's messages should be a list of texts, not null"),
            (changed(start, "messages", ["SOLICIT", 3]), "the start record's messages should be a list of texts"),
            (changed(start, "format", "1"), "the start record's format should be a number, not text"),
            (changed(start, "start", 0), "the start record's start should be text, not a number"),
        ]
        for second, error in cases:
            with self.subTest(error=error, record=second):
                report, picture = os.path.join(self.dir, "report.jsonl"), os.path.join(self.dir, "out.png")
                self.remove(picture)
                with open(report, "w") as f:
                    f.write(START + "\n" + second + "\n")
                done = run(report, picture)
                self.assertEqual(done.returncode, 1)
                self.assertRegex(done.stderr, rf"^plot: {report}:2: .*{error}.*\n$")
                self.assertFalse(os.path.exists(picture))

        # The same records, rightly typed, draw; so do they with fields the
        # drawing does not read, whatever those hold (merge refuses them).
        for more in ({}, {"frob": [None], "second": dict(tick["second"], steps="?", population={"lost": 1})}):
            with open(report, "w") as f:
                f.write("\n".join([START] + [json.dumps(dict(r, **more)) for r in (tick, event, summary)]) + "\n")
            self.assertEqual(run(report, picture).returncode, 0)


if __name__ == "__main__":
    unittest.main()
