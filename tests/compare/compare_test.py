"""scripts/compare on pairs of reports with a known change: a p99, a
refusal or the result worse beyond the tolerance gives status 3 and names
the row; a change within it passes; reports of other modes, scenarios, or
interrupted, are refused in one line with status 2; several reports a side
compare by their medians, their spread shown.

The reports are made by merge's tests (segment_report), record by record as
quorvelin writes them, so compare reads them as whole reports.
"""
import importlib.machinery
import importlib.util
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.environ.get("QUORVELIN_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
COMPARE = os.path.join(SOURCE, "scripts", "compare")
sys.path.insert(0, os.path.join(SOURCE, "tests", "merge"))
from merge_test import changed, population_report, segment_report  # noqa: E402

# The script itself, for its judgement alone.
_loader = importlib.machinery.SourceFileLoader("compare", COMPARE)
compare = importlib.util.module_from_spec(importlib.util.spec_from_loader("compare", _loader))
_loader.exec_module(compare)

# 100 clients answered in 100 us each: every percentile is 100.
STEADY = [100] * 100


def once(latencies=STEADY, refused=None, result=None, **summary):
    """A once run of len(latencies) completed clients (and 1 timed out),
    each step refused as given ({"2": 1} by default), every other summary
    field as given."""
    records = segment_report(0, 1, "once", list(latencies), clients=len(latencies) + 1)
    last = records[-1]
    for step in last["steps"]:
        step["refused"] = dict({"2": 1} if refused is None else refused)
        step["no_lease_offered"] = 0
    last.update(summary)
    if result is not None:
        last["result"] = result
    return records


def with_tail(value, count=2):
    """STEADY but for its count slowest clients, at value: the p99 is value."""
    return [100] * (100 - count) + [value] * count


def renamed_step(records, message):
    """The same run with a scenario whose second message is another."""
    records = changed(records, "start", "messages", ["SOLICIT", message])
    records[-1]["steps"][1]["message"] = message
    return records


class CompareTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)
        self.written = 0

    def write(self, records):
        self.written += 1
        path = os.path.join(self.dir, f"r{self.written}.jsonl")
        with open(path, "w") as f:
            f.write("".join(json.dumps(r) + "\n" for r in records))
        return path

    def compare(self, *arguments):
        """Runs compare; report records given as lists are written first."""
        self.written = 0
        words = [self.write(a) if isinstance(a, list) else a for a in arguments]
        return subprocess.run([COMPARE, *words], capture_output=True, text=True, timeout=60)

    def rows(self, done):
        """The plain table's rows by name: (base, new, change, verdict)."""
        table = {}
        for line in done.stdout.splitlines()[2:-1]:
            name_and_figures, verdict = line.rsplit(None, 1)
            name, *figures = [p.strip() for p in name_and_figures.split("  ") if p.strip()]
            table[name] = (*figures, verdict)
        return table

    def worse(self, done):
        return sorted(name for name, row in self.rows(done).items() if row[-1] == "worse")

    def test_a_change_beyond_the_tolerance_is_worse_and_named_one_within_it_passes(self):
        p99 = ["client p99 (us)", "1 SOLICIT p99 (us)", "2 REQUEST p99 (us)"]
        cases = [  # what changed, options, the new run, the rows worse, a row and its figures (None: none)
            ("p99 doubled", (), once(with_tail(200)), sorted(p99), None),
            ("refusals of NoAddrAvail fivefold", (), once(refused={"2": 5}),
             ["clients refused", "refused 2:NoAddrAvail"], None),
            ("refusals of a status there was none of", (), once(refused={"2": 1, "6": 1}),
             ["clients refused", "refused 6:NoPrefixAvail"], None),
            ("result a fifth lower", (), once(result=80), ["result"], None),
            ("a duplicate lease", (), once(duplicate_leases=1), ["duplicate leases"], None),
            ("p99 5% up", (), once(with_tail(105)), [], ("client p99 (us)", ("100", "105", "+5.0%", "ok"))),
            ("p99 doubled, tolerance 150%", ("--tolerance", "150%"), once(with_tail(200)), [],
             ("client p99 (us)", ("100", "200", "+100.0%", "ok"))),
            ("the refusals gone", (), once(refused={}), [],
             ("refused 2:NoAddrAvail", ("1.98%", "0.00%", "-100.0%", "better"))),
            ("the same", (), once(duplicate_leases=0), [], ("clients completed", ("99.01%", "99.01%", "0%", "ok"))),
        ]
        base = once(duplicate_leases=0)
        for what, options, new, worse, row in cases:
            with self.subTest(what):
                done = self.compare(*options, base, new)
                self.assertEqual((done.returncode, done.stderr), (3 if worse else 0, ""))
                self.assertEqual(self.worse(done), worse)
                tolerance = options[1] if options else "10%"
                self.assertEqual(done.stdout.splitlines()[-1],
                                 f"{len(worse)} row{'s' if len(worse) > 1 else ''} worse beyond {tolerance}: "
                                 f"{', '.join(r for r in self.rows(done) if r in worse)}." if worse else
                                 f"No row is worse beyond {tolerance}.")
                if row:
                    self.assertEqual(self.rows(done)[row[0]], row[1])

    def test_medians_of_three_and_their_spread(self):
        # One slow base run (p99 300) is outvoted by the two others.
        base = [once(with_tail(300)), once(), once([98] * 100)]
        cases = [  # the new runs, p99 row, status
            ([once(with_tail(105)), once(with_tail(104)), once()],
             ("100 (98\u2013300)", "104 (100\u2013105)", "+4.0%", "ok"), 0),
            ([once(with_tail(150)), once(with_tail(140)), once(with_tail(300))],
             ("100 (98\u2013300)", "150 (140\u2013300)", "+50.0%", "worse"), 3),
        ]
        for new, p99, status in cases:
            with self.subTest(status=status):
                done = self.compare("--base", *base, "--new", *new)
                self.assertEqual((done.returncode, done.stderr), (status, ""))
                self.assertEqual(self.rows(done)["client p99 (us)"], p99)
                self.assertEqual(done.stdout.splitlines()[0], "once, SOLICIT \u2192 REQUEST: base 3 runs, new 3 runs, "
                                                              "medians (min\u2013max); tolerance 10%")

    def test_a_run_the_generator_limited_is_compared_with_a_warning(self):
        done = self.compare(once(), once(generator_saturated=True))
        saturated = os.path.join(self.dir, "r2.jsonl")
        self.assertEqual(done.returncode, 0)
        self.assertEqual(done.stderr, f"compare: {saturated}: warning: the generator limited this run "
                                      "(generator_saturated): its figures measure the generator, not the server\n")

    def test_markdown_is_a_github_table(self):
        done = self.compare("--markdown", "--tolerance", "5", once(), once(with_tail(200)))
        self.assertEqual(done.returncode, 3)
        lines = done.stdout.splitlines()
        self.assertEqual(lines[:4], ["**quorvelin once, SOLICIT \u2192 REQUEST: base 1 run, new 1 run; tolerance 5%**",
                                     "", "| | base | new | change | verdict |", "|---|---:|---:|---:|---|"])
        self.assertIn("| client p99 (us) | 100 | 200 | +100.0% | **worse** |", lines)
        self.assertIn("| client p50 (us) | 100 | 100 | 0% | ok |", lines)
        self.assertTrue(lines[-1].startswith("3 rows worse beyond 5%: "))

    def test_the_population_exchanges_are_rows(self):
        base = population_report(0, renew=[10] * 100)
        new = population_report(0, renew=[10] * 90 + [40] * 10)
        done = self.compare(base, new)
        self.assertEqual(done.returncode, 3)
        rows = self.rows(done)
        self.assertEqual(rows["RENEW p99 (us)"], ("10", "40", "+300.0%", "worse"))
        self.assertEqual(rows["RENEW answered"], ("99.01%", "99.01%", "0%", "ok"))
        self.assertEqual(rows["REBIND p50 (us)"][-1], "n/a")  # one REBIND answered: no median to judge
        self.assertEqual(self.worse(done), ["RENEW p99 (us)"])

    def test_runs_that_cannot_be_compared_are_refused_in_one_line(self):
        endless = segment_report(0, 1, "endless", STEADY, summary_extra={"served_rate": 4.5})
        interrupted = once(interrupted=True)
        cases = [  # arguments, what the line says
            ((once(), endless), "r2.jsonl: mode endless; .*r1.jsonl: mode once: runs of different modes are not "
                                "compared"),
            (("--base", once(), once(), "--new", endless),
             "r3.jsonl: mode endless; .*r1.jsonl: mode once"),
            ((once(), renamed_step(once(), "RENEW")),
             "r2.jsonl: scenario SOLICIT RENEW; .*r1.jsonl runs SOLICIT REQUEST: runs of different scenarios"),
            ((once(), interrupted), "r2.jsonl: the run was interrupted: its figures cover only part of the test"),
            ((once(), once()[:-1]), "r2.jsonl: no summary record"),
            ((once(),), "give two reports, BASE NEW, or several with --base and --new"),
            ((once(), once(), "--base", once(), "--new", once()), "not both"),
            (("--base", once()), "--base and --new each need at least one report"),
            (("--tolerance=5 %", once(), once()), "--tolerance 5 %: give a percentage such as 5%"),
            ((once(), os.path.join(tempfile.gettempdir(), "no-such-report.jsonl")), "No such file"),
        ]
        for arguments, said in cases:
            with self.subTest(said):
                done = self.compare(*arguments)
                self.assertEqual((done.returncode, done.stdout), (2, ""))
                self.assertRegex(done.stderr, rf"^compare: .*{said}.*\n$")

    def test_each_kind_of_row_is_judged_by_its_direction_and_a_zero_base(self):
        row = compare.Row
        latency = row("p99", compare.LATENCY, False, None)
        result = row("result", compare.FIGURE, True, None)
        completed = row("completed", compare.SHARE, True, None)
        refused = row("refused", compare.SHARE, False, None)
        duplicates = row("duplicates", compare.FIGURE, False, None)
        cases = [  # row, base, new, verdict (tolerance 10%, shares move by more than 0.1 point)
            (latency, 100, 111, "worse"), (latency, 100, 110, "ok"), (latency, 100, 89, "better"),
            (latency, None, 100, "n/a"),
            (result, 100, 89, "worse"), (result, 100, 111, "better"), (result, 0, 5, "better"),
            (result, 5, 0, "worse"), (result, 0, 0, "ok"),
            (completed, 99.0, 89.0, "worse"), (completed, 99.0, 90.0, "ok"),
            (refused, 0.0, 0.5, "worse"), (refused, 0.0, 0.1, "ok"), (refused, 0.05, 0.1, "ok"),
            (refused, 2.0, 2.3, "worse"), (refused, 2.0, 2.1, "ok"), (refused, 2.0, 0.0, "better"),
            (duplicates, 0, 1, "worse"), (duplicates, 100, 105, "ok"), (duplicates, 100, 120, "worse"),
        ]
        for judged, base, new, verdict in cases:
            with self.subTest(row=judged.name, base=base, new=new):
                self.assertEqual(compare.judge(judged, base, new, 10.0, 0.1), verdict)


if __name__ == "__main__":
    unittest.main()
