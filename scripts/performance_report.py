#!/usr/bin/env python3
"""Writes docs/performance.md and its chart from the lines "figure NAME
VALUE UNIT" of RAW_DIR/*.txt, read by name (RAW_DIR/machine: where):

    performance_report.py RAW_DIR OUT_DIR

Figures with a bound or a target form a table with verdicts, the rest a
list; a figure no benchmark printed reads "not measured", never met. Why
a figure missed is written by hand between the HAND marks and kept from
the old report; misses it does not name yet are printed.
"""
import math
import os
import re
import subprocess
import sys

FIGURE = re.compile(r"^figure ([a-z0-9_.]+) (-?\d+(?:\.\d+)?) (\S+)$")
HAND = ("<!-- written by hand from the figures above; the report script keeps it -->",
        "<!-- end of the part written by hand -->")
SCAN_SLACK = 1.05          # a scan may take 5 % over its bound
LATENCY_SLACK_MS = 1.0     # and a shown time 1 ms (plus the round trip) off the delay
ROUND_TRIP_P99_MS = 50.0
EXE_LIMIT_BYTES = 200 * 1024
WORKING_SET_LIMIT_MB = 16.0
SCAN_ROWS = (20, 120, 500)
DELAYS = (0, 5, 20, 50, 100, 250)


def read(path):
    """The text of a file, empty where there is none."""
    if not os.path.exists(path):
        return ""
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read()


def read_figures(raw):
    """{name: (value, unit)} from every .txt file in RAW_DIR."""
    lines = (line for entry in sorted(os.listdir(raw)) if entry.endswith(".txt")
             for line in read(os.path.join(raw, entry)).splitlines())
    return {m[1]: (float(m[2]), m[3]) for m in map(FIGURE.match, lines) if m}


def scan_bound(kind, rows):
    """Five sends an answering row at one send per 10 ms; six waits of 0.5 s
    a silent row, twenty rows at a time."""
    return rows * 50.0 if kind == "answering" else math.ceil(rows / 20) * 3000.0


def fmt(value, digits=0, unit=""):
    return "not measured" if value is None else f"{value:,.{digits}f}{unit}"


def count(value):
    return "N" if value is None else f"{value:,.0f}"


class Report:
    """The table's rows: (figure name, label, measured, bound, target,
    verdict); a verdict is met, **missed**, not measured, or empty where
    the figure has a bound but no target."""

    def __init__(self, figures):
        self.figures, self.used, self.rows = figures, set(), []
        get = self.get
        for kind in ("answering", "silent"):
            for rows in SCAN_ROWS:
                self.scan(f"scan.{kind}_{rows}.wall", kind, rows, f"{kind}, {rows} rows")
        rows = get("exe.scan.rows")
        self.scan("exe.scan.wall", "answering", rows, f"answering, {count(rows)} rows, the real program")

        interval = get("pacer.interval_20_threads")
        self.row("pacer.interval_20_threads", "the pacer's rate, twenty threads queued, under Wine",
                 interval and f"{1000 / interval:.1f} q/s ({interval:.2f} ms a send)", "100 q/s")
        for period, text in (("default", "default 15.6 ms"), ("raised", "raised to 1 ms")):
            name = f"timer_sim.{period}."
            self.row(name + "queries_per_s", f"the pacer's rate, Windows timer {text} (simulated)",
                     fmt(get(name + "queries_per_s"), 1, " q/s"), "100 q/s")
            ratio = get(name + "scan120_ratio")
            self.row(name + "scan120_ratio", f"scan wall time, answering, 120 rows, Windows timer {text} "
                     "(simulated)", fmt(ratio, 3, " × bound"), "6,000 ms", f"≤ {SCAN_SLACK} × bound",
                     ratio is not None and ratio <= SCAN_SLACK)

        rtt = get("latency.round_trip.median")
        for d in DELAYS:
            median, low, high = (get(f"latency.d_{d}.shown_{k}") for k in ("median", "min", "max"))
            top = d + LATENCY_SLACK_MS + (rtt or 0)
            self.row(f"latency.d_{d}.shown_median",
                     f"time shown for a reply held D = {d} ms (median of the probes; min, max)",
                     median is not None and f"{median:.1f} ms ({fmt(low)}, {fmt(high)})", f"D = {d} ms",
                     f"D − 1 to D + 1 + round trip ({fmt(rtt, 3, ' ms')}): {d - 1} to {top:.2f} ms",
                     None if None in (rtt, median) else d - LATENCY_SLACK_MS <= median <= top)

        p99 = get("exe.round_trip.p99")
        self.row("exe.round_trip.p99", f"dialog round trip from another process during a {count(rows)}-row "
                 f"scan ({count(get('exe.round_trip.samples'))} samples)",
                 f"median {fmt(get('exe.round_trip.median'), 2, ' ms')}, p99 {fmt(p99, 2, ' ms')}", "–",
                 f"p99 < {ROUND_TRIP_P99_MS:.0f} ms", p99 is not None and p99 < ROUND_TRIP_P99_MS)
        size = get("exe.size")
        self.row("exe.size", "exe size, build/win32/dnscheck.exe", fmt(size, 0, " bytes"), "–",
                 f"< {EXE_LIMIT_BYTES:,} bytes", size is not None and size < EXE_LIMIT_BYTES)
        peak = get("exe.working_set.peak")
        self.row("exe.working_set.peak", f"peak working set of dnscheck.exe during a {count(rows)}-row scan",
                 fmt(peak, 1, " MB"), "–", f"< {WORKING_SET_LIMIT_MB:.0f} MB",
                 peak is not None and peak < WORKING_SET_LIMIT_MB)
        for what in ("threads", "handles"):
            n = [get(f"exe.repeat.{what}.{k}") for k in ("before", "after_1", "after_last")]
            self.row(f"exe.repeat.{what}.after_last", f"{what} of dnscheck.exe before a scan / after scan 1 / "
                     f"after scan {count(get('exe.repeat.scans'))}", " / ".join(map(fmt, n)), "–",
                     "no growth after scan 1", None if None in n else n[2] <= n[1])

    def get(self, name):
        self.used.add(name)
        return self.figures[name][0] if name in self.figures else None

    def row(self, name, label, measured, bound, target="", ok=None):
        """ok: whether the figure met its target; None where that cannot be judged."""
        if self.get(name) is None or target and ok is None:
            measured, verdict = measured or "not measured", "not measured"
        else:
            verdict = "" if not target else "met" if ok else "**missed**"
        self.rows.append((name, label, measured, bound, target, verdict))

    def scan(self, name, kind, rows, label):
        ms, bound = self.get(name), rows and scan_bound(kind, rows)
        self.row(name, f"scan wall time, {label}", ms is not None and bound and
                 f"{ms:,.0f} ms ({ms / bound:.3f} × bound)", fmt(bound, 0, " ms"),
                 f"≤ {SCAN_SLACK} × bound", None if ms is None or not bound else ms / bound <= SCAN_SLACK)

    def others(self):
        """Every figure not in the table, by name."""
        lines = ["| figure | value |", "|---|---|"]
        return "\n".join(lines + [f"| `{name}` | {value:.3f}".rstrip("0").rstrip(".") + f" {unit} |"
                                  for name, (value, unit) in sorted(self.figures.items()) if name not in self.used])

    def markdown(self, machine, hand):
        table = ["| figure | measured | bound | target | verdict |", "|---|---|---|---|---|"]
        table += ["| " + " | ".join(row[1:]) + " |" for row in self.rows]
        return "\n\n".join([
            "# Performance",
            "Written by `scripts/bench.sh` from the benchmarks under `bench/`, run against scripted DNS servers "
            "on loopback addresses in a private network. " + machine,
            "Bounds: an answering row takes five sends and the process sends at most one per 10 ms, so N rows "
            "take at least N × 50 ms; a silent row waits six times 0.5 s and twenty rows run at once, so N rows "
            "take at least ceil(N / 20) × 3 s. Rows marked simulated come from a model of Windows' timer, not "
            "from Wine.",
            "\n".join(table), "![Performance chart](performance.png)", hand,
            "## Every other figure", "By the name the benchmark prints it under.", self.others()]) + "\n"


def machine_line(raw):
    m = dict(line.split("=", 1) for line in read(os.path.join(raw, "machine")).splitlines() if "=" in line)
    line = (f"Measured {m.get('date', '?')} with {m.get('wine', 'Wine')} ({m.get('arch', '?')} build of the "
            f"sources), {m.get('cores', '?')} cores, load average {m.get('load', '?')} at the start and "
            f"{m.get('load_after', '?')} at the end.")
    if m.get("arch") == "win64":
        line += (" This machine cannot start 32-bit processes, so the programs measured are the 64-bit "
                 "build of the same sources; the exe size is that of the shipped i686 build.")
    return line + (" **Quick run: smaller scans than the targets name.**" if m.get("quick") == "1" else "")


def write_chart(figures, path):
    def value(name):
        return figures[name][0] if name in figures else math.nan

    def bars(name, title, ylabel, points, target, yrange="0:*"):
        """One panel of bars with the target as a dashed line; a figure not
        measured keeps its place, without a bar."""
        data = "".join(f'{i} "{label}" {v}\n' for i, (label, v) in enumerate(points))
        return (f'set title "{title}"\nset ylabel "{ylabel}"\nset xrange [-0.6:{len(points) - 0.4}]\n'
                f"set yrange [{yrange}]\n${name} << EOD\n{data}EOD\n"
                f'plot ${name} using 1:3:xtic(2) with boxes lc rgb "#4a7ebb" title "measured", '
                f'{target} with lines dt 2 lw 2 lc rgb "#c0392b" title "target"\n')

    rows = value("exe.scan.rows")
    scans = [(f"{k[:3]} {n}", value(f"scan.{k}_{n}.wall") / scan_bound(k, n))
             for k in ("answering", "silent") for n in SCAN_ROWS]
    scans.append((f"ans {rows:.0f}\\nreal exe", value("exe.scan.wall") / (scan_bound("answering", rows) or 1)))
    scans += [(f"ans 120\\nsim. {t}", value(f"timer_sim.{p}.scan120_ratio"))
              for p, t in (("default", "15.6"), ("raised", "1 ms"))]
    top = LATENCY_SLACK_MS + (0 if math.isnan(value("latency.round_trip.median"))
                              else value("latency.round_trip.median"))
    errors = "".join(f"{d} " + " ".join(str(value(f"latency.d_{d}.shown_{k}") - d) for k in ("median", "min", "max"))
                     + "\n" for d in DELAYS)
    script = f"""set terminal pngcairo size 1400,1000 font "DejaVu Sans,11"
set output "{path}"
set multiplot layout 2,2 title "dnscheck: measured against bound and target"
set style fill solid 0.6 border -1
set boxwidth 0.6
set grid ytics
set offsets 0, 0, graph 0.2, 0
set xtics font ",9"
{bars("scans", f"Scan wall time / bound (target ≤ {SCAN_SLACK})", "measured / bound", scans, SCAN_SLACK, "0.95:*")}
set xtics font ""
set title "Latency: time shown − injected delay D (bars: min..max)"
set xlabel "D (ms)"
set ylabel "error (ms)"
set xrange [-10:260]
set yrange [-2:*]
$latency << EOD
{errors}EOD
plot $latency using 1:2:3:4 with yerrorbars pt 7 lc rgb "#4a7ebb" title "median", \\
     -{LATENCY_SLACK_MS} with lines dt 2 lw 2 lc rgb "#c0392b" title "target band", \\
     {top:.3f} with lines dt 2 lw 2 lc rgb "#c0392b" notitle
set xlabel ""
{bars("window", f"Dialog round trip during a full scan (target p99 < {ROUND_TRIP_P99_MS:.0f} ms)", "ms",
      [(k, value(f"exe.round_trip.{k}")) for k in ("median", "p99")], ROUND_TRIP_P99_MS,
      f"0:{ROUND_TRIP_P99_MS * 1.2:.0f}")}
{bars("memory", f"Working set under Wine (target < {WORKING_SET_LIMIT_MB:.0f} MB at peak)", "MB",
      [("empty program", value("wine.idle_program.working_set")), ("tool idle", value("exe.working_set.idle")),
       ("tool, peak in scan", value("exe.working_set.peak"))], WORKING_SET_LIMIT_MB)}
unset multiplot
"""
    drawn = subprocess.run(["gnuplot"], input=script, text=True, stderr=subprocess.PIPE)
    if drawn.returncode != 0:
        sys.exit("performance_report: gnuplot failed: " + drawn.stderr)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: performance_report.py RAW_DIR OUT_DIR")
    raw, out = sys.argv[1:]
    report = Report(read_figures(raw))
    path = os.path.join(out, "performance.md")
    kept = re.search(re.escape(HAND[0]) + ".*?" + re.escape(HAND[1]), read(path), re.S)
    hand = kept[0] if kept else f"{HAND[0]}\n## Misses and their measured causes\n\n{HAND[1]}"
    os.makedirs(out, exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(report.markdown(machine_line(raw), hand))
    write_chart(report.figures, os.path.join(out, "performance.png"))
    print(f"wrote {path} and its chart")
    unexplained = [row[0] for row in report.rows if row[5] == "**missed**" and f"`{row[0]}`" not in hand]
    if unexplained:
        print("performance_report: explain under the table why these missed: " + ", ".join(unexplained))


if __name__ == "__main__":
    main()
