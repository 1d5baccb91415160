"""merge's thresholds (scripts/thresholds.py) over the table quorvelin's own
evaluator is tested with (tests/fixtures/thresholds/cases.tsv), and
`merge --threshold` on the recorded segments of one ramp test: its lines,
its exit status, the verdicts stored in the merged summary.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.environ.get("QUORVELIN_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
FIXTURES = os.path.join(SOURCE, "tests", "fixtures")
MERGE = os.path.join(SOURCE, "scripts", "merge")
SEGMENTS = [os.path.join(FIXTURES, "segments", f"ramp-{i}.jsonl") for i in range(3)]
sys.path.insert(0, os.path.join(SOURCE, "scripts"))
import thresholds  # noqa: E402


def summary_of(report):
    summary = None
    with open(os.path.join(FIXTURES, report), encoding="utf-8") as lines:
        for line in lines:
            record = json.loads(line)
            if record["type"] == "summary":
                summary = record
    return summary


def cases():
    with open(os.path.join(FIXTURES, "thresholds", "cases.tsv"), encoding="utf-8") as table:
        for number, line in enumerate(table, 1):
            line = line.rstrip("\n")
            if line and not line.startswith("#"):
                expression, report, expected = line.split("\t")
                yield number, expression, report, expected


def outcome(expression, report):
    """"VALUE, passed", or "error: REASON", as the table writes them."""
    try:
        t = thresholds.parse(expression)
        if report == "-":
            return "parsed, though the table expects a refusal"
        line = thresholds.judge(t, summary_of(report)).line()
        head = f"Threshold {expression}: "
        return line[len(head):] if line.startswith(head) else "line: " + line
    except thresholds.ThresholdError as error:
        head = f'--threshold "{expression}": '
        return "error: " + str(error)[len(head):] if str(error).startswith(head) else "message: " + str(error)


class SharedTable(unittest.TestCase):
    def test_each_case(self):
        table = list(cases())
        self.assertGreater(len(table), 50)
        for number, expression, report, expected in table:
            with self.subTest(line=number, expression=expression):
                self.assertEqual(outcome(expression, report), expected)


class MergeThresholds(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)
        self.out = os.path.join(self.dir, "merged.jsonl")

    def merge(self, *args, output=True):
        command = [sys.executable, MERGE, *args] + (["-o", self.out] if output else []) + SEGMENTS
        return subprocess.run(command, capture_output=True, text=True, timeout=60)

    def merged_summary(self):
        with open(self.out, encoding="utf-8") as lines:
            return json.loads(lines.readlines()[-1])

    def test_verdicts_are_printed_stored_and_decide_the_status(self):
        # 1200 clients started, 1150 completed: 95.833 %.
        run = self.merge("--threshold", "completed>=95%", "--threshold", "result>=200")
        self.assertEqual((run.returncode, run.stdout, run.stderr),
                         (0, "Threshold completed>=95%: 95.833 %, passed\nThreshold result>=200: 200, passed\n", ""))
        self.assertEqual(self.merged_summary()["thresholds"], [
            {"expression": "completed>=95%", "value": 1150 * 100 / 1200, "limit": 95.0, "unit": "%", "passed": True},
            {"expression": "result>=200", "value": 200.0, "limit": 200.0, "unit": None, "passed": True}])
        run = self.merge("--threshold", "completed>=99.9%", "--threshold", "result>=200")
        self.assertEqual((run.returncode, run.stdout.splitlines()[0]),
                         (3, "Threshold completed>=99.9%: 95.833 %, failed"))
        # With the report on standard output, the lines go to standard error.
        run = self.merge("--threshold", "duplicate_leases==0", output=False)
        self.assertEqual((run.returncode, run.stderr), (0, "Threshold duplicate_leases==0: 0, passed\n"))
        self.assertEqual(json.loads(run.stdout.splitlines()[-1])["thresholds"][0]["passed"], True)

    def test_a_figure_the_merged_test_lacks_or_a_malformed_one_is_refused(self):
        for expression, reason in (("step4.p99<1ms", "the scenario has 3 messages"),
                                   ("p99<<5", '"<5" is no limit: a number with its unit, e.g. 5ms, 99.9% or 0')):
            run = self.merge("--threshold", "p99<1s", "--threshold", expression)
            self.assertEqual((run.returncode, run.stdout, run.stderr),
                             (1, "", f'merge: --threshold "{expression}": {reason}\n'))
            self.assertFalse(os.path.exists(self.out))

    def test_the_segments_own_verdicts_are_left_out(self):
        judged = []
        for path in SEGMENTS:
            with open(path, encoding="utf-8") as lines:
                records = [json.loads(line) for line in lines]
            records[-1]["thresholds"] = [{"expression": "p99<1us", "value": 0.5, "limit": 1.0, "unit": "us",
                                          "passed": True}]
            copy = os.path.join(self.dir, os.path.basename(path))
            with open(copy, "w", encoding="utf-8") as out:
                out.writelines(json.dumps(r) + "\n" for r in records)
            judged.append(copy)
        run = subprocess.run([sys.executable, MERGE, "-o", self.out, *judged], capture_output=True, text=True,
                             timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertNotIn("thresholds", self.merged_summary())


if __name__ == "__main__":
    unittest.main()
