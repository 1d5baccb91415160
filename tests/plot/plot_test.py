"""scripts/plot on recorded reports: a picture for each mode, a clear error for a broken report.

The pictures are checked by what they are made of (PNG signature and size;
in SVG, the named series, shaded spans and marks), not by their pixels.
The reports in tests/fixtures/reports were recorded in the lab (highload
against the test responder capped at 50 new clients/s, a capacity ramp
100:300:100:2 against it capped at 250, endless against Kea stopped by
SIGINT, once against Kea, a population of 300 against the test responder
silent for 10 s) without what the plot does not read; tests/fixtures/segments
holds three whole segments of a capacity ramp. Broken reports are made from
the reports merge's tests build. (A merged report, drawn by the installed
plot, is tests/package's; what merge writes into it, tests/merge's.)
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.environ.get("QUORVELIN_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
PLOT = os.path.join(SOURCE, "scripts", "plot")
REPORTS = os.path.join(SOURCE, "tests", "fixtures", "reports")
SEGMENTS = os.path.join(SOURCE, "tests", "fixtures", "segments")
START = json.dumps({"type": "start", "format": 1, "start": "2026-01-01T00:00:00.000000Z", "mode": "once",
                    "messages": ["SOLICIT"]})
sys.path.insert(0, os.path.join(SOURCE, "tests", "merge"))
from merge_test import DROP, changed, population_report, segment_report  # noqa: E402


def read(path, mode="r"):
    with open(path, mode) as f:
        return f.read()


def run(*arguments):
    return subprocess.run([PLOT, *arguments], capture_output=True, text=True, timeout=120)


def text(records):
    return "".join(json.dumps(r) + "\n" for r in records)


def line_of(records, kind):
    """The line of the first record of type kind."""
    return 1 + next(n for n, r in enumerate(records) if r["type"] == kind)


class PlotTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)
        self.report = os.path.join(self.dir, "report.jsonl")

    def plot(self, report_text, out="out.png"):
        """scripts/plot on a report of this text (None: no report at all)."""
        picture = os.path.join(self.dir, out)
        for path in (self.report, picture):  # what a case before left, had it failed
            if os.path.exists(path):
                os.remove(path)
        if report_text is not None:
            with open(self.report, "w") as f:
                f.write(report_text)
        return run(self.report, picture), picture

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

    def test_draws_two_runs_overlaid(self):
        # A recorded ramp against one of the ramp's segments, and against an
        # endless run stopped by SIGINT: each run's series in SVG, named by
        # its file in the legend and the title.
        ramp = shutil.copy(os.path.join(REPORTS, "ramp.jsonl"), self.dir)
        cases = [  # NEW, its name, whether it tried rates, whether it was interrupted
            (os.path.join(SEGMENTS, "ramp-1.jsonl"), "ramp-1", True, False),
            (os.path.join(REPORTS, "endless-interrupted.jsonl"), "endless-interrupted", False, True),
        ]
        for new, name, tried, interrupted in cases:
            with self.subTest(new=name):
                done = run(ramp, "--overlay", new)  # the PNG goes beside BASE
                self.assertEqual((done.returncode, done.stderr), (0, ""))
                image = read(os.path.join(self.dir, f"ramp-vs-{name}.png"), "rb")
                self.assertEqual(image[:8], b"\x89PNG\r\n\x1a\n")
                svg_path = os.path.join(self.dir, "overlay.svg")
                self.assertEqual(run(ramp, "--overlay", new, svg_path).returncode, 0)
                svg = read(svg_path)
                for side in ("base", "new"):
                    for series in ("completed", "timed-out", "latency-p50", "latency-p99"):
                        self.assertIn(f'id="{side}-{series}"', svg)
                self.assertIn('id="base-rate"', svg)
                self.assertEqual('id="new-rate"' in svg, tried)
                self.assertEqual('id="new-interrupted"' in svg, interrupted)
                self.assertNotIn('id="base-interrupted"', svg)
                self.assertIn("ramp: completed", svg)
                self.assertIn(f"{name}: p99", svg)
                self.assertIn(f": ramp against {name}", svg)
                self.assertIn("ramp: capacity 200 clients/s", svg)

    def test_an_overlay_names_its_broken_report_or_shows_the_usage(self):
        once = os.path.join(REPORTS, "once.jsonl")
        with open(self.report, "w") as f:
            f.write(START + "\n[1, 2]\n")
        done = run(once, "--overlay", self.report, os.path.join(self.dir, "out.png"))
        self.assertEqual((done.returncode, done.stderr),
                         (1, f"plot: {self.report}:2: not a record of a quorvelin report\n"))
        self.assertFalse(os.path.exists(os.path.join(self.dir, "out.png")))
        for arguments in ((once, "--overlay"), (once, once, "--overlay", once, "x.png"), ()):
            with self.subTest(arguments=arguments):
                done = run(*arguments)
                self.assertEqual(done.returncode, 2)
                self.assertEqual(done.stderr.splitlines(), [
                    "usage: scripts/plot REPORT.jsonl [OUT.png|OUT.svg]",
                    "       scripts/plot BASE.jsonl --overlay NEW.jsonl [OUT.png|OUT.svg]"])

    def test_refuses_a_broken_report_or_a_wrongly_typed_field_it_draws_in_one_line(self):
        endless = segment_report(0, 1, "endless", [5], summary_extra={"served_rate": 4.5, "interrupted": True})
        endless.insert(2, {"type": "event", "time": "2026-01-01T00:00:04.500000Z", "tick": 4,
                           "event": "interrupted", "text": "", "signal": 2})
        highload = segment_report(0, 1, "highload", [5], summary_extra={"low_water": 50, "high_water": 100})
        drawn = [  # a report, a type of record, the fields of it drawing reads
            (endless, "start", "format start mode messages"),
            (endless, "tick", "time rate low_water high_water second.completed second.timed_out "
                              "second.latency_us.count second.latency_us.p50 second.latency_us.p99"),
            (endless, "event", "time event signal"),
            (endless, "summary", "mode end result interrupted offered_rate served_rate"),
            (highload, "summary", "low_water high_water"),
            (population_report(0), "start", "settings.population"),
            (population_report(0), "tick", " ".join(f"second.population.{name}" for name in (
                "bound_now", "renew.sent", "renew.answered", "rebind.sent", "rebind.answered"))),
        ]
        cases = [  # report text, output name, what the error says
            ("", "out.png", "empty report"),
            (START + "\n{\"type\": \"tick\",\n", "out.png", "report.jsonl:2: not JSON"),
            (START + "\n[1, 2]\n", "out.png", "report.jsonl:2: not a record"),
            ('{"type": "tick"}\n', "out.png", "report.jsonl:1: the tick record lacks time"),
            (START.replace('"format": 1', '"format": 2'), "out.png", "report format 2"),
            ('{"type": "event", "time": "2026-01-01T00:00:00Z", "event": "x"}', "out.png", "no start record"),
            ('{"type": "event", "time": "", "event": "x"}', "out.png", "report.jsonl:1: the event record's time is "
                                                                       "not an RFC 3339 time: ''"),
            (text(changed(population_report(0), "start", "settings.population", DROP)), "out.png",
             "report.jsonl:1: the start record lacks settings.population"),
            (START, "out.pdf", "must end in .png or .svg"),
            (None, "out.png", "No such file"),
        ] + [(text(changed(report, kind, field, {"wrong": 1})), "out.png",
              f"report.jsonl:{line_of(report, kind)}: the {kind} record's {field} should be .*, not an object")
             for report, kind, fields in drawn for field in fields.split()]
        for report_text, out, error in cases:
            with self.subTest(error=error):
                done, picture = self.plot(report_text, out)
                self.assertEqual(done.returncode, 1)
                self.assertRegex(done.stderr, rf"^plot: .*{error}.*\n$")
                self.assertFalse(os.path.exists(picture))
        # Rightly typed, they draw; so do they with fields the drawing does
        # not read, whatever those hold (merge refuses them).
        unread = changed(changed(endless, "tick", "second.steps", "?"), "event", "frob", [None])
        for report in (endless, highload, changed(unread, "summary", "frob", {"any": None})):
            self.assertEqual(self.plot(text(report))[0].returncode, 0)

    def test_draws_a_report_cut_mid_record_and_warns(self):
        lines = read(os.path.join(REPORTS, "endless-interrupted.jsonl")).splitlines(keepends=True)
        summary, tick = lines[-1], lines[-2]
        cases = [  # the report's text, the line cut, whether the picture has the summary's result
            ("".join(lines[:-1]) + summary[:len(summary) // 2], len(lines), False),
            ("".join(lines[:-2]) + tick[:len(tick) // 3], len(lines) - 1, False),
            ("".join(lines)[:-1], None, True),  # whole but for its newline: kept
        ]
        for report_text, cut, whole in cases:
            with self.subTest(cut=cut, length=len(report_text)):
                done, picture = self.plot(report_text, "run.svg")
                warning = f"plot: {self.report}:{cut}: warning: the last line is cut short; drawn without it\n"
                self.assertEqual((done.returncode, done.stderr), (0, warning if cut else ""))
                svg = read(picture)
                self.assertIn('id="completed"', svg)
                self.assertEqual("no summary: the report ends before the run did" in svg, not whole)


if __name__ == "__main__":
    unittest.main()
