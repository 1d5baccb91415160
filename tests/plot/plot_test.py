"""scripts/plot on recorded reports: a picture for each mode, a clear error for a broken report.

The pictures are checked by what they are made of (PNG signature and size;
in SVG, the named series, shaded spans and marks), not by their pixels.
The reports in tests/fixtures/reports were recorded in the lab (highload
against the test responder capped at 50 new clients/s, endless against Kea
stopped by SIGINT, once against Kea), without the ticks' per-step detail
and the histograms' buckets, which the plot does not read.
"""
import json
import os
import shutil
import subprocess
import tempfile
import unittest

SOURCE = os.environ.get("QUORVELIN_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
PLOT = os.path.join(SOURCE, "scripts", "plot")
REPORTS = os.path.join(SOURCE, "tests", "fixtures", "reports")
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
                if start["mode"] == "highload":
                    series += ["rate", "low-water", "high-water"]
                for gid in series:
                    self.assertIn(f'id="{gid}"', svg)
                for event, span in (("run_passed", "run-passed"), ("run_failed", "run-failed"), ("pause", "pause")):
                    self.assertEqual(svg.count(f'id="{span}-'), events.count(event), span)
                self.assertEqual('id="interrupted"' in svg, summary["interrupted"])
                self.assertIn(f"quorvelin {start['mode']}: ", svg)
                self.assertIn(" \u2192 ".join(start["messages"]), svg)
                self.assertIn(format(summary["result"], ".0f" if start["mode"] == "endless" else ""), svg)

    def test_refuses_a_broken_report_in_one_line(self):
        cases = [  # report text, output name, what the error says
            ("", "out.png", "empty report"),
            (START + "\n{\"type\": \"tick\",\n", "out.png", "report.jsonl:2: not JSON"),
            (START + "\n[1, 2]\n", "out.png", "report.jsonl:2: not a record"),
            ('{"type": "tick"}\n', "out.png", "report.jsonl:1: the tick record lacks time"),
            (START.replace('"format": 1', '"format": 2'), "out.png", "report format 2"),
            (START.replace("2026-", "Jan "), "out.png", "not an RFC 3339 time"),
            ('{"type": "event", "time": "", "event": "x"}', "out.png", "no start record"),
            (START, "out.pdf", "must end in .png or .svg"),
            (None, "out.png", "No such file"),
        ]
        for text, out, error in cases:
            with self.subTest(error=error):
                report, picture = os.path.join(self.dir, "report.jsonl"), os.path.join(self.dir, out)
                if text is not None:
                    with open(report, "w") as f:
                        f.write(text)
                done = run(report, picture)
                self.assertEqual(done.returncode, 1)
                self.assertRegex(done.stderr, rf"^plot: .*{error}.*\n$")
                self.assertFalse(os.path.exists(picture))
                if text is not None:
                    os.remove(report)


if __name__ == "__main__":
    unittest.main()
