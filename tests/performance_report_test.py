#!/usr/bin/env python3
"""The performance report's verdicts, from figure lines as the benchmarks
print them: a figure past its target reads as missed, a figure no
benchmark printed as not measured (never as met), and the explanation
written by hand under the table survives a new report."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True

SCRIPTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts")
sys.path.insert(0, SCRIPTS)
import performance_report  # noqa: E402

SCANS = """figure scan.answering_20.wall 1282 ms
figure scan.answering_500.wall 25394 ms
figure scan.silent_20.wall 3140 ms
figure scan.silent_120.wall 18950.5 ms
figure scan.answering_20.mean_gap 11.31 ms
"""
LATENCY = """figure latency.round_trip.median 0.85 ms
figure latency.d_0.shown_median 0 ms
figure latency.d_20.shown_median 22 ms
figure latency.d_50.shown_median 48 ms
figure latency.d_100.shown_median 101.5 ms
"""
EXE = """Free text between figures is not read.
figure exe.scan.rows 2000 count
figure exe.scan.wall 108000 ms
figure exe.round_trip.median 0.5 ms
figure exe.round_trip.p99 63.99 ms
figure exe.working_set.peak 15.9 MB
figure exe.repeat.scans 10 count
figure exe.repeat.threads.before 1 count
figure exe.repeat.threads.after_1 2 count
figure exe.repeat.threads.after_last 2 count
figure exe.repeat.handles.before 37 count
figure exe.repeat.handles.after_1 39 count
figure exe.repeat.handles.after_last 41 count
figure exe.size 210000 bytes
"""
TIMER = """figure timer_sim.default.queries_per_s 64.1 q/s
figure timer_sim.default.scan120_ratio 1.52 ratio
figure timer_sim.raised.queries_per_s 99.2 q/s
figure timer_sim.raised.scan120_ratio 1.02 ratio
"""


class ReportVerdicts(unittest.TestCase):
    def setUp(self):
        self.raw = tempfile.mkdtemp(prefix="perf-test-")
        self.addCleanup(shutil.rmtree, self.raw)

    def write(self, **files):
        for name, text in files.items():
            with open(os.path.join(self.raw, name + ".txt"), "w", encoding="utf-8") as f:
                f.write(text)

    def report(self):
        return performance_report.Report(performance_report.read_figures(self.raw))

    def verdicts(self):
        """{figure name: verdict} of the table's rows."""
        return {row[0]: row[5] for row in self.report().rows}

    def test_scans_are_judged_against_their_own_bounds(self):
        self.write(scan=SCANS, exe=EXE)
        v = self.verdicts()
        self.assertEqual(v["scan.answering_20.wall"], "**missed**")
        self.assertEqual(v["scan.answering_500.wall"], "met")
        # One round of twenty silent rows is 3 s; 120 rows are six rounds, 18 s,
        # and 18,950.5 ms lies just past 5 % over it.
        self.assertEqual(v["scan.silent_20.wall"], "met")
        self.assertEqual(v["scan.silent_120.wall"], "**missed**")
        self.assertEqual(performance_report.scan_bound("silent", 21), 6000)
        # The real program's rows come from its own figure: 108 s is 8 % over 2,000 × 50 ms.
        self.assertEqual(v["exe.scan.wall"], "**missed**")
        self.assertEqual(v["scan.answering_120.wall"], "not measured")

    def test_latency_band_runs_from_one_below_to_one_plus_round_trip_above(self):
        self.write(latency=LATENCY)
        v = self.verdicts()
        self.assertEqual(v["latency.d_0.shown_median"], "met")
        self.assertEqual(v["latency.d_20.shown_median"], "**missed**")  # 22 > 20 + 1.85
        self.assertEqual(v["latency.d_50.shown_median"], "**missed**")  # 48 < 50 - 1
        self.assertEqual(v["latency.d_100.shown_median"], "met")
        self.assertEqual(v["latency.d_250.shown_median"], "not measured")

    def test_latency_without_a_round_trip_is_not_judged(self):
        self.write(latency=LATENCY.replace("figure latency.round_trip.median 0.85 ms\n", ""))
        self.assertEqual(self.verdicts()["latency.d_0.shown_median"], "not measured")

    def test_resources(self):
        self.write(exe=EXE)
        v = self.verdicts()
        self.assertEqual(v["exe.size"], "**missed**")
        self.assertEqual(v["exe.working_set.peak"], "met")
        self.assertEqual(v["exe.round_trip.p99"], "**missed**")
        # Growth counts from the first scan on: the first scan may open what stays open.
        self.assertEqual(v["exe.repeat.threads.after_last"], "met")
        self.assertEqual(v["exe.repeat.handles.after_last"], "**missed**")

    def test_simulated_timer_rows_beside_the_pacer_measured_under_wine(self):
        self.write(timer=TIMER, scan="figure pacer.interval_20_threads 10.07 ms\n")
        report = self.report()
        v = {row[0]: row[5] for row in report.rows}
        self.assertEqual(v["timer_sim.default.scan120_ratio"], "**missed**")
        self.assertEqual(v["timer_sim.raised.scan120_ratio"], "met")
        # A rate has a bound but no target of its own: no verdict.
        self.assertEqual(v["timer_sim.raised.queries_per_s"], "")
        self.assertEqual(v["pacer.interval_20_threads"], "")
        rows = {row[0]: row for row in report.rows}
        self.assertIn("simulated", rows["timer_sim.default.queries_per_s"][1])
        self.assertIn("64.1 q/s", rows["timer_sim.default.queries_per_s"][2])
        self.assertNotIn("simulated", rows["pacer.interval_20_threads"][1])
        self.assertIn("99.3 q/s", rows["pacer.interval_20_threads"][2])
        names = [row[0] for row in report.rows]
        self.assertEqual(names.index("timer_sim.default.queries_per_s"),
                         names.index("pacer.interval_20_threads") + 1)

    def test_nothing_printed_is_never_met(self):
        # Neither a Markdown row nor a figure line with a grouped number is a figure.
        self.write(scan="| scan wall time, answering, 20 rows | 1,000 ms |\n"
                        "figure scan.answering_20.wall 1,000 ms\n")
        rows = self.report().rows
        self.assertTrue(rows)
        for name, _, measured, _, _, verdict in rows:
            self.assertEqual(verdict, "not measured", name)
            self.assertIn("not measured", measured, name)

    def test_figures_outside_the_table_are_listed_by_name(self):
        self.write(scan=SCANS, other="figure list_file.rows_1000.load 10.878 ms\nfigure exe.size 1234567 bytes\n")
        others = self.report().others()
        self.assertIn("| `list_file.rows_1000.load` | 10.878 ms |", others)
        self.assertIn("| `scan.answering_20.mean_gap` | 11.31 ms |", others)
        self.assertNotIn("scan.answering_20.wall", others)
        self.assertNotIn("exe.size", others)


class ReportFiles(unittest.TestCase):
    """The whole command, as scripts/bench.sh runs it."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="perf-files-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.raw, self.out = os.path.join(self.dir, "raw"), os.path.join(self.dir, "out")
        os.makedirs(self.raw)

    def run_report(self, figures):
        with open(os.path.join(self.raw, "bench.txt"), "w", encoding="utf-8") as f:
            f.write(figures)
        return subprocess.run([sys.executable, os.path.join(SCRIPTS, "performance_report.py"), self.raw,
                               self.out], check=True, stdout=subprocess.PIPE, text=True).stdout

    def markdown(self):
        with open(os.path.join(self.out, "performance.md"), encoding="utf-8") as f:
            return f.read()

    def test_no_figures_at_all_still_gives_a_report_and_a_chart(self):
        self.run_report("")
        self.assertIn("not measured", self.markdown())
        self.assertGreater(os.path.getsize(os.path.join(self.out, "performance.png")), 1000)

    def test_the_hand_written_explanation_survives_and_unexplained_misses_are_named(self):
        self.run_report(SCANS)
        begin, end = performance_report.HAND
        hand = "The 20-row scan, `scan.answering_20.wall`, pays for starting twenty threads."
        text = self.markdown().replace(end, hand + "\n\n" + end)
        with open(os.path.join(self.out, "performance.md"), "w", encoding="utf-8") as f:
            f.write(text)
        printed = self.run_report(SCANS + EXE + TIMER)
        text = self.markdown()
        self.assertEqual(text.count(hand), 1)
        self.assertLess(text.index("| figure |"), text.index(hand))
        self.assertIn("108,000 ms", text)
        misses = printed.split("why these missed:")[1]
        self.assertNotIn("scan.answering_20.wall", misses)
        for name in ("exe.scan.wall", "exe.size", "timer_sim.default.scan120_ratio"):
            self.assertIn(name, misses)


if __name__ == "__main__":
    unittest.main()
