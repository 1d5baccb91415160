"""bench/measure.py: statistics, the ceiling search, output parsing and the table."""

import os
import re
import stat
import tempfile
import unittest
from types import SimpleNamespace
from unittest import mock

import measure

SOURCE = os.path.join(os.path.dirname(__file__), "..", "..")

# The output of an endless run at 200/s, one timeout and three pending clients added.
ENDLESS_OUTPUT = """\
Beginning DHCPv6 load endless test.
   0       0       0       0 |     200     200     200 |       0       0       0
   1     200       0       0 |     200     200     200 |       0       0       0
   2     400       1       3 |     200     200     200 |       0       8       0
   3       0       0       0 |     200     200     200 |       0       0       0
"""

# perfdhcp's final report, its two sections with different counts.
PERFDHCP_REPORT = """\
***Rate statistics***
Rate: 198.373 4-way exchanges/second, expected rate: 200
***Statistics for: SOLICIT-ADVERTISE***
sent packets: 397
received packets: 395
drops: 2
***Statistics for: REQUEST-REPLY***
sent packets: 395
received packets: 390
orphans: 7
"""


class PureHelpers(unittest.TestCase):
    def test_median(self):
        for values, expected in [([], "n/a"), (["n/a", ""], "n/a"), (["10", "9.5"], "9.5"),
                                 (["4", "1", "3", "2"], "2"), (["37.0", "n/a", "33.0"], "33.0")]:
            self.assertEqual(measure.median(values), expected, values)

    def test_progress_lines_and_nothing_else(self):
        parsed = [measure.parse_progress(line) for line in ENDLESS_OUTPUT.splitlines()]
        self.assertEqual([p and (p.tick, p.results, p.timeouts, p.pending) for p in parsed],
                         [None, (0, 0, 0, 0), (1, 200, 0, 0), (2, 400, 1, 3), (3, 0, 0, 0)])
        self.assertEqual(parsed[3][-3:], (0, 8, 0))
        for line in ["Finished and report: 200 transactions per second.", "   a 1 2 3 | 4 5 6 | 7 8 9",
                     "   1 2 3 4 5 6 7 8 9 10 11 12", "   1 2 3 | 4 5 6 | 7 8"]:
            self.assertIsNone(measure.parse_progress(line), line)

    def test_ceiling_search(self):
        # (ceiling of a fake server, start, factor, precision, rates tried, result): the first two
        # searches step by squared factors and then bisect geometrically.
        for ceiling, start, factor, precision, tried, result in [
                (30000, 16000, 2, 10, [16000, 32000, 22627, 26908, 29343], 29343),
                (1000, 16000, 2, 10, [16000, 8000, 2000, 125, 500, 1000, 1414, 1189, 1090], 1000),
                (10**7, 16000, 2, 10, [16000, 32000, 128000], 128000),  # stops past 1,000,000/s
                (0, 16000, 2, 10, [16000, 8000, 2000, 125], 0)]:        # stops below 10/s
            seen = []
            found = measure.ceiling_search(lambda r: seen.append(r) or r <= ceiling, start, factor, precision)
            self.assertEqual((seen, found), (tried, result), ceiling)

    def test_perfdhcp_counters(self):
        for report, section, field, expected in [(PERFDHCP_REPORT, "SOLICIT-ADVERTISE", "sent packets", 397),
                                                 (PERFDHCP_REPORT, "REQUEST-REPLY", "received packets", 390),
                                                 (PERFDHCP_REPORT, "SOLICIT-ADVERTISE", "orphans", 0),
                                                 ("killed before its report", "REQUEST-REPLY", "sent packets", 0)]:
            self.assertEqual(measure.pd_stat(report, section, field), expected, (section, field))

    @mock.patch.object(measure, "HZ", 100)
    def test_per_client_figures(self):
        for peak, base, pending, expected in [(63940, 5212, 400000, "150"), (5212, 5212, 10, "0"),
                                              ("n/a", 5212, 400000, "n/a"), (63940, 5212, 0, "n/a")]:
            self.assertEqual(measure.per_pending_client(peak, base, pending), expected, (peak, base, pending))
        for ticks, clients, expected in [(92, 100000, "9.2"), (1, 3, "3333.3"), ("n/a", 10, "n/a"), (5, 0, "n/a")]:
            self.assertEqual(measure.per_client_us(ticks, clients), expected)
        self.assertEqual(measure.peak_pending(ENDLESS_OUTPUT), 3)
        self.assertEqual(measure.peak_pending("Finished and report: 0 transactions per second.\n"), "n/a")

    def test_figures_read_from_files(self):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "time")
            self.assertEqual(measure.gnu_time_kib(path), "n/a")
            for text, expected in [("Command exited with non-zero status 1\n63940\n", 63940), ("\n", "n/a")]:
                with open(path, "w") as f:
                    f.write(text)
                self.assertEqual(measure.gnu_time_kib(path), expected)
            # Each lab appends its line; the main run takes them all.
            path = os.path.join(tmp, "pending.jsonl")
            self.assertEqual(measure.read_pending(path), {})
            with open(path, "w") as f:
                f.write('{"q.pending.none.rss": ["63940"]}\n{"q.pending.drop.rss": ["64000", "64100"]}\n')
            self.assertEqual(measure.read_pending(path),
                             {"q.pending.none.rss": ["63940"], "q.pending.drop.rss": ["64000", "64100"]})


def bench(tmp, **env):
    return measure.Bench({"BENCH_TABLE": "", "BENCH_QUORVELIN": "", "LAB_CLIENT_IF": "", "BENCH_ROOT": "",
                          "LAB_SERVER_PID": str(os.getpid()), **env}, tmp)


class Table(unittest.TestCase):
    def test_renders_the_latest_published_table_from_its_runs(self):
        with open(os.path.join(SOURCE, "bench", "RESULTS.md")) as f:
            published = re.search(r"^### quorvelin vs perfdhcp.*?^How:.*?\n(?=\n)", f.read(), re.M | re.S).group(0)
        head = re.match(r"### .*, (.*)\n\nCommit (\S+); (\d+) cores, (.*); load average (.*) before, (.*) after;\n"
                        r"(\d+) repetition.*brackets; (.*); (\d+) s in all", published).groups()
        b = bench("", REPS=head[6], BENCH_COMMIT=head[1])
        b.skipped = re.findall(r"^Left out to stay within \d+ s \(part#repetition\): (.*)\.$", published, re.M)[:1]
        figures = [f"{f}.{r}" for r in measure.RATES for f in ("cpu", "sys", "resp", "rcvbuf", "done")]
        rows = re.findall(r"^\| (?!Figure|---)[^|]*\|([^|]*)\|([^|]*)\|([^|]*)\|", published, re.M)
        for figure, cells in zip(figures + ["ceiling", "ceiling.resp", "highload", "rss"], rows):
            for tool, cell in zip(("q", "pd-multi", "pd-single"), cells):
                for run in re.findall(r"\((.*)\)", cell)[:1]:
                    b.figures[f"{tool}.{figure}"] = run.split(" / ")
        # The rows of pending clients, quorvelin's alone, two figures each.
        labs = {label: lab for lab, label in measure.PENDING_LABS.items()}
        pending = re.findall(r"^\| \d+ clients pending, (.*): .* \| \S+ <sub>\((.*)\)</sub>; \S+ <sub>\((.*)\)</sub> \|",
                             published, re.M)
        for label, per_client, rss in pending:
            b.figures[f"q.pending.{labs[label]}.bytes"] = per_client.split(" / ")
            b.figures[f"q.pending.{labs[label]}.rss"] = rss.split(" / ")
        self.assertEqual(len(rows) - len(pending), 14)
        self.assertEqual(b.table(head[0], head[2], head[3], head[4], head[5], head[7], head[8]), published)

    def test_two_segments_row_beside_one_instance(self):
        b = bench("")
        b.figures.update({"q.seg.one": ["20.0", "22.0", "21.0"], "q.seg.cpu": ["21.5", "22.3", "21.9"],
                          "q.seg.apart": ["20.0", "19.0", "n/a"]})
        table = b.table("now", 2, "cpu", "0", "0", "v", 1)
        self.assertIn("| CPU µs per completed client, 10000/s as two segments of one test: together; one after "
                      "the other; one instance at the whole rate (last column: each / one instance) | "
                      "21.9 <sub>(21.5 / 22.3 / 21.9)</sub>; 19.0 <sub>(20.0 / 19.0 / n/a)</sub>; "
                      "21.0 <sub>(20.0 / 22.0 / 21.0)</sub> | | | 1.04; 0.90 |", table)
        self.assertIn("Two segments: two quorvelin endless runs at --clients 10000", table)
        runs = [SimpleNamespace(ticks=30, done=5000), SimpleNamespace(ticks=12, done=4999)]
        self.assertEqual(measure.segments_total(runs), (42, 9999))
        self.assertEqual(measure.segments_total(runs + [SimpleNamespace(ticks=measure.NA, done=1)]),
                         (measure.NA, measure.NA))
        self.assertEqual(measure.segments_total([None]), (measure.NA, measure.NA))

    def test_leases_ending_as_granted_row(self):
        b = bench("")
        self.assertNotIn("leases ending as granted", b.table("now", 2, "cpu", "0", "0", "v", 1))
        b.figures.update({"q.churn.bytes": ["41"], "q.churn.rss": ["8292"], "q.churn.granted": ["600000"]})
        table = b.table("now", 2, "cpu", "0", "0", "v", 1)
        self.assertIn("| leases ending as granted (--check-leases), 10000/s valid 2 s, 600000 <sub>(600000)</sub> "
                      "granted: bytes per lease held at once; peak RSS KiB | 41 <sub>(41)</sub>; "
                      "8292 <sub>(8292)</sub> | | | |", table)
        self.assertIn("Leases ending as granted: quorvelin `--ramp 10000:10000:1:60 --timeout 1`", table)

    def test_parts_chosen_by_name(self):
        self.assertEqual(bench("", PARTS="segments,pending,churn").parts, ["segments"])
        self.assertEqual(bench("").parts, list(measure.PARTS))
        with self.assertRaises(SystemExit):
            bench("", PARTS="segment")


class EndlessRun(unittest.TestCase):
    def test_reads_the_progress_lines_and_ends_the_run(self):
        with tempfile.TemporaryDirectory() as tmp:
            fake = os.path.join(tmp, "quorvelin")
            with open(fake, "w") as f:
                f.write(f"#!/bin/sh\ncat <<'EOF'\n{ENDLESS_OUTPUT}EOF\nexec sleep 60\n")
            os.chmod(fake, stat.S_IRWXU)
            q = bench(tmp, BENCH_QUORVELIN=fake).quorvelin_endless(200, 2, 2, 2, "run")
        self.assertEqual((q.done, q.timeouts, q.pending, q.last), (400, 1, 3, 2))
        self.assertIsInstance(q.ticks, int)
        self.assertIsInstance(q.rss, int)


if __name__ == "__main__":
    unittest.main()
