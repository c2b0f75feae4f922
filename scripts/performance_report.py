#!/usr/bin/env python3
"""Turns the benchmarks' raw tables into the performance report:

    performance_report.py RAW_DIR PRODUCT_EXE OUT_DIR

RAW_DIR holds what scripts/bench.sh collected (latency.txt, scan.txt,
window.txt, exe.txt and machine); PRODUCT_EXE is the shipped exe, whose
size is reported. Writes OUT_DIR/performance.md, a table of every figure
beside its bound and target with the raw tables after it, and
OUT_DIR/performance.png, drawn by gnuplot. A figure that a benchmark did
not print is reported as not measured, never guessed.
"""
import math
import os
import re
import subprocess
import sys
import tempfile

WORKERS = 20
ANSWERING_ROW_MS = 50.0   # five sends a row, one send per 10 ms for the process
SILENT_ROUND_MS = 3000.0  # six waits of 0.5 s, twenty rows at a time
SCAN_SLACK = 0.05
LATENCY_SLACK_MS = 1.0
ROUND_TRIP_P99_MS = 50.0
EXE_LIMIT_BYTES = 200 * 1024
WORKING_SET_LIMIT_MB = 16.0


def read(raw, name):
    try:
        with open(os.path.join(raw, name), encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def tables(text):
    """Every Markdown table in the text, as (headers, rows of cells)."""
    found, lines = [], text.splitlines()
    i = 0
    while i < len(lines):
        if lines[i].startswith("|") and i + 1 < len(lines) and re.match(r"^\|[-| :]+\|$", lines[i + 1]):
            headers = [c.strip() for c in lines[i].strip("|").split("|")]
            rows, i = [], i + 2
            while i < len(lines) and lines[i].startswith("|"):
                rows.append([c.strip() for c in lines[i].strip().strip("|").split("|")])
                i += 1
            found.append((headers, rows))
        else:
            i += 1
    return found


def table_with(text, header):
    for headers, rows in tables(text):
        if header in headers:
            return [dict(zip(headers, r)) for r in rows]
    return []


def measures(text):
    """The rows of every two-column 'measure | value' table."""
    out = {}
    for headers, rows in tables(text):
        if headers[:2] == ["measure", "value"]:
            for r in rows:
                if len(r) >= 2:
                    out[r[0]] = r[1]
    return out


def lookup(values, prefix):
    for key, value in values.items():
        if key.startswith(prefix):
            return value
    return None


def numbers(text):
    if text is None:
        return []
    return [float(n) for n in re.findall(r"-?\d+(?:\.\d+)?", text)]


def first_number(text):
    n = numbers(text)
    return n[0] if n else None


def verdict(ok):
    if ok is None:
        return "not measured"
    return "met" if ok else "**missed**"


def fmt(value, digits=0, unit=""):
    if value is None:
        return "not measured"
    return f"{value:,.{digits}f}{unit}"


class Report:
    def __init__(self, raw, exe):
        self.raw = raw
        self.machine = dict(line.split("=", 1) for line in read(raw, "machine").splitlines() if "=" in line)
        self.latency_text = read(raw, "latency.txt")
        self.scan_text = read(raw, "scan.txt")
        self.window_text = read(raw, "window.txt")
        self.exe_text = read(raw, "exe.txt")
        self.window = measures(self.window_text)
        self.exe = measures(self.exe_text)
        self.exe_path = exe
        self.exe_bytes = os.path.getsize(exe) if os.path.exists(exe) else None
        self.scans = self._scans()
        self.latency = self._latency()

    def _scans(self):
        """(label, rows, kind, measured ms, bound ms) for every scan timed."""
        out = []
        for r in table_with(self.scan_text, "completing tick"):
            try:
                kind = "silent" if r["servers"] in ("mute", "silent") else "answering"
                rows = int(r["rows"])
                measured = float(r["completing tick"])
            except (KeyError, ValueError):
                continue
            out.append((f"{kind}, {rows} rows", rows, kind, measured, self.bound(kind, rows), "scan_bench"))
        big = first_number(lookup(self.exe, "rows"))
        wall = first_number(lookup(self.exe, "scan wall time"))
        if big and wall:
            rows = int(big)
            out.append((f"answering, {rows} rows, the real program", rows, "answering", wall,
                        self.bound("answering", rows), "exe_memory_bench"))
        rows = first_number(lookup(self.window, "rows scanned"))
        wall = first_number(lookup(self.window, "scan wall time"))
        if rows and wall:
            rows = int(rows)
            out.append((f"answering, {rows} rows, in-process", rows, "answering", wall,
                        self.bound("answering", rows), "window_bench"))
        return out

    @staticmethod
    def bound(kind, rows):
        if kind == "answering":
            return rows * ANSWERING_ROW_MS
        return math.ceil(rows / WORKERS) * SILENT_ROUND_MS

    def _latency(self):
        """Loopback round trip, then (D, shown median, min, max, the server's
        real hold median) per delay."""
        m = re.search(r"Loopback round trip.*?median ([\d.]+) ms", self.latency_text)
        rtt = float(m.group(1)) if m else None
        rows = []
        for r in table_with(self.latency_text, "D (ms)"):
            try:
                rows.append((float(r["D (ms)"]), float(r["shown median"]), float(r["shown min"]),
                             float(r["shown max"]), float(r.get("server hold median (ms)", "nan"))))
            except (KeyError, ValueError):
                continue
        return rtt, rows

    def summary(self):
        lines = ["| figure | measured | bound | target | verdict |", "|---|---|---|---|---|"]
        for label, rows, kind, measured, bound, _ in self.scans:
            ratio = measured / bound
            lines.append(
                f"| scan wall time, {label} | {fmt(measured, 0, ' ms')} ({ratio:.3f} × bound) | "
                f"{fmt(bound, 0, ' ms')} | ≤ {1 + SCAN_SLACK:.2f} × bound | {verdict(ratio <= 1 + SCAN_SLACK)} |")
        if not self.scans:
            lines.append("| scan wall time | not measured | | | not measured |")
        rtt, rows = self.latency
        for d, median, low, high, _ in rows:
            ok = None if rtt is None else -LATENCY_SLACK_MS <= median - d <= LATENCY_SLACK_MS + rtt
            lines.append(
                f"| time shown for a reply held D = {d:.0f} ms (median of the probes; min, max) | "
                f"{median:.1f} ms ({low:.0f}, {high:.0f}) | D = {d:.0f} ms | D − 1 to D + 1 + round trip "
                f"({fmt(rtt, 3, ' ms')}): {d - LATENCY_SLACK_MS:.0f} to {d + LATENCY_SLACK_MS + (rtt or 0):.2f} ms | "
                f"{verdict(ok)} |")
        if not rows:
            lines.append("| latency shown | not measured | | | not measured |")
        median = first_number(lookup(self.window, "dialog round trip: median"))
        p99 = first_number(lookup(self.window, "dialog round trip: 99th"))
        samples = first_number(lookup(self.window, "dialog round trip during the scan: samples"))
        scanned = first_number(lookup(self.window, "rows scanned"))
        lines.append(
            f"| dialog round trip from another thread during a {fmt(scanned)}-row scan "
            f"({fmt(samples)} samples) | median {fmt(median, 2, ' ms')}, p99 {fmt(p99, 2, ' ms')} | – | "
            f"p99 < {ROUND_TRIP_P99_MS:.0f} ms | {verdict(None if p99 is None else p99 < ROUND_TRIP_P99_MS)} |")
        ok = None if self.exe_bytes is None else self.exe_bytes < EXE_LIMIT_BYTES
        lines.append(
            f"| exe size, {self.exe_path} | {fmt(self.exe_bytes, 0, ' bytes')} | – | "
            f"< {EXE_LIMIT_BYTES:,} bytes | {verdict(ok)} |")
        floor = first_number(lookup(self.exe, "working set of a program that does nothing"))
        idle = first_number(lookup(self.exe, "working set, idle"))
        peak = first_number(lookup(self.exe, "working set, peak during"))
        rows_big = first_number(lookup(self.exe, "rows"))
        lines.append(
            f"| working set of a program that does nothing, under Wine | {fmt(floor, 1, ' MB')} | – | – | "
            f"the platform's floor |")
        lines.append(f"| working set of dnscheck.exe, idle with {fmt(rows_big)} rows loaded | "
                     f"{fmt(idle, 1, ' MB')} | – | – | |")
        ok = None if peak is None else peak < WORKING_SET_LIMIT_MB
        lines.append(f"| peak working set of dnscheck.exe during a {fmt(rows_big)}-row scan | "
                     f"{fmt(peak, 1, ' MB')} | – | < {WORKING_SET_LIMIT_MB:.0f} MB | {verdict(ok)} |")
        for key, value in self.exe.items():
            if key.startswith("working set per added thread"):
                lines.append(f"| {key} | {value} | – | – | |")
        lines += self._repeats()
        return "\n".join(lines)

    def _repeats(self):
        out = []
        threads = lookup(self.exe, "threads before / after scan 1")
        handles = lookup(self.exe, "handles before / after scan 1")
        scans = first_number(lookup(self.exe, "repeated scans"))
        for name, value in (("threads", threads), ("handles", handles)):
            n = numbers(value)
            # The labels carry the scan numbers: before / after scan 1 / after scan K.
            ok = None if len(n) < 3 else n[-1] <= n[-2]
            shown = value if value is not None else "not measured"
            out.append(f"| {name} of dnscheck.exe before a scan / after scan 1 / after scan "
                       f"{fmt(scans)} | {shown} | – | no growth after scan 1 | {verdict(ok)} |")
        for label in ("threads after scan 1", "handle table high water after scan 1"):
            for key, value in self.window.items():
                if key.startswith(label):
                    hexes = re.findall(r"0x[0-9a-fA-F]+", value)
                    n = [int(h, 16) for h in hexes] if hexes else numbers(value)
                    ok = None if len(n) < 2 else n[-1] <= n[-2]
                    out.append(f"| {key} (window_bench, in-process) | {value} | – | no growth | {verdict(ok)} |")
        return out

    def scan_parts(self):
        """scan_bench's rows as (kind, rows, bound, first query, mean gap,
        last query to completing tick, completing tick)."""
        out = []
        for r in table_with(self.scan_text, "completing tick"):
            try:
                kind = "silent" if r["servers"] in ("mute", "silent") else "answering"
                rows = int(r["rows"])
                out.append((kind, rows, self.bound(kind, rows), float(r["first query"]),
                            float(r["mean gap between queries"]),
                            float(r["completing tick"]) - float(r["last query"]), float(r["completing tick"])))
            except (KeyError, ValueError):
                continue
        return out

    def scan_breakdown(self):
        parts = self.scan_parts()
        if not parts:
            return ""
        lines = ["| scan | bound | press to first query | mean gap between queries | last query to completing "
                 "tick | completing tick | / bound |", "|---|---|---|---|---|---|---|"]
        for kind, rows, bound, first, gap, tail, tick in parts:
            lines.append(f"| {kind}, {rows} rows | {bound:,.0f} ms | {first:.0f} ms | {gap:.2f} ms | {tail:.0f} ms | "
                         f"{tick:,.0f} ms | {tick / bound:.3f} |")
        return "\n".join(lines)

    def misses(self):
        """Measured causes for the figures that missed, from the figures themselves."""
        notes = []
        clocks = measures(self.scan_text)
        interval = first_number(lookup(clocks, "mean interval of PaceSend, 20 threads"))
        sleep1 = first_number(lookup(clocks, "mean length of Sleep(1)"))
        start20 = first_number(lookup(self.exe, "time to start twenty threads, stack reserve the exe's default"))
        parts = {(p[0], p[1]): p for p in self.scan_parts()}
        missed = [s for s in self.scans if s[3] / s[4] > 1 + SCAN_SLACK]
        for label, rows, kind, measured, bound, source in missed:
            p = parts.get((kind, rows)) if source == "scan_bench" else None
            text = f"- Scan, {label}: {measured:,.0f} ms against {bound:,.0f} ms ({measured / bound:.3f} × bound)."
            if p and kind == "answering":
                _, _, _, first, gap, tail, _ = p
                sends = 5 * rows
                late = (sends - 1) * (gap - 10)
                text += (f" Of the {measured - bound:,.0f} ms over, {late:,.0f} ms come from the gaps between the "
                         f"{sends} queries, {gap:.2f} ms on average instead of 10: the pacer polls the clock with "
                         f"Sleep(1), which lasted {fmt(sleep1, 2, ' ms')} here, and counts each interval from its "
                         f"own, late, release (timed alone with twenty threads queued, its mean interval was "
                         f"{fmt(interval, 2, ' ms')}). Another {first:.0f} ms passed from the press to the first "
                         f"query, while the start thread and the workers were started")
                text += f" (starting twenty threads took {start20:.0f} ms under Wine here)" if start20 else ""
                text += (f", and {tail:.0f} ms from the last query to the refresh tick that ends the scan (one "
                         f"every 100 ms). All three follow from the design (at least 10 ms between sends, twenty "
                         f"threads started per scan, a 100 ms refresh); the last two weigh most on small scans.")
            elif p:
                _, _, _, first, gap, tail, _ = p
                text += (f" The first query left {first:.0f} ms after the press, while the start thread and the "
                         f"workers were started")
                text += f" (starting twenty threads took {start20:.0f} ms under Wine here)" if start20 else ""
                text += ("; the twenty first sends of a round leave at least 10 ms apart, so the last row of the "
                         "first round starts at least 190 ms after the first and ends that much after its 3 s; "
                         f"and the scan was seen to end {tail:.0f} ms after the last query: that row's last 0.5 s "
                         "wait, then the next 100 ms refresh tick. These follow from the design and weigh less "
                         "the more rounds a scan has.")
            notes.append(text)
        rtt, rows = self.latency
        for d, median, low, high, hold in rows:
            if rtt is None or -LATENCY_SLACK_MS <= median - d <= LATENCY_SLACK_MS + rtt:
                continue
            text = (f"- Latency, D = {d:.0f} ms: median shown {median:.0f} ms, {median - d:+.0f} ms from D against an "
                    f"allowed +{LATENCY_SLACK_MS + rtt:.2f} ms.")
            if not math.isnan(hold):
                share = median - (hold + rtt)
                text += (f" The test server held that reply {hold:.2f} ms by its own clock ({hold - d:+.2f} ms over "
                         f"D: its Sleep overshoots, and the reply passes through the shared port-53 socket's "
                         f"thread), and the loopback round trip adds {rtt:.2f} ms, so the exchange took about "
                         f"{hold + rtt:.2f} ms; the shown time is {share:+.2f} ms from that")
                if abs(share) <= LATENCY_SLACK_MS:
                    text += (", within 1 ms. The miss is the test server's overshoot added to the probe's share, "
                             "read in whole milliseconds.")
                else:
                    text += ", more than 1 ms: the probe's own reading is off here, not only the server's."
            notes.append(text)
        floor = first_number(lookup(self.exe, "working set of a program that does nothing"))
        idle = first_number(lookup(self.exe, "working set, idle"))
        peak = first_number(lookup(self.exe, "working set, peak during"))
        costs = [first_number(v) for k, v in self.exe.items() if k.startswith("working set per added thread")]
        if peak is not None and peak >= WORKING_SET_LIMIT_MB and idle is not None:
            text = (f"- Working set: measured under 64-bit Wine, where a program that does nothing already holds "
                    f"{fmt(floor, 1, ' MB')} and the idle tool {idle:.1f} MB, so the target cannot be met here "
                    f"whatever the tool does.")
            if costs:
                lo, hi = min(costs), max(costs)
                text += (f" Each added thread costs {lo:.2f} to {hi:.2f} MB of working set under Wine, whatever "
                         f"its stack reservation (64 KB, the exe's default of 2 MB, 8 MB), so the twenty workers "
                         f"account for about {WORKERS * (lo + hi) / 2:.1f} MB of the {peak - idle:.1f} MB a scan "
                         f"adds; a smaller stack reserve in the exe would not change it. What the tool holds on "
                         f"Windows was not measured here.")
            notes.append(text)
        return notes

    def machine_line(self):
        m = self.machine
        line = (f"Measured {m.get('date', '?')} with {m.get('wine', 'Wine')} ({m.get('arch', '?')} build of the "
                f"sources), {m.get('cores', '?')} cores, load average {m.get('load', '?')} at the start and "
                f"{m.get('load_after', '?')} at the end.")
        if m.get("quick") == "1":
            line += " **Quick run: smaller scans than the targets name.**"
        return line


def write_markdown(report, out_dir):
    parts = [
        "# Performance",
        "",
        "Written by `scripts/bench.sh` from the benchmarks under `bench/`, run against scripted DNS servers on "
        "loopback addresses in a private network. " + report.machine_line(),
        "",
        "This machine cannot start 32-bit processes, so the programs measured are the 64-bit build of the same "
        "sources under 64-bit Wine; the exe size is that of the shipped i686 build."
        if report.machine.get("arch") == "win64" else "",
        "",
        "Bounds: an answering row takes five sends and the process sends at most one per 10 ms, so N rows take "
        "at least N × 50 ms; a silent row waits six times 0.5 s and twenty rows run at once, so N rows take at "
        "least ceil(N / 20) × 3 s.",
        "",
        report.summary(),
        "",
        "![Performance chart](performance.png)",
        "",
    ]
    breakdown = report.scan_breakdown()
    if breakdown:
        parts += ["## Where a scan's time goes", "", "From scan_bench; times from the press of Start.", "",
                  breakdown, ""]
    notes = report.misses()
    if notes:
        parts += ["## Misses and their measured causes", ""] + notes + [""]
    parts += ["## Raw tables", ""]
    for title, text in (("Latency (latency_bench)", report.latency_text), ("Scans (scan_bench)", report.scan_text),
                        ("Window (window_bench)", report.window_text),
                        ("The real program (exe_memory_bench)", report.exe_text)):
        body = "\n".join(re.sub(r"^#+ ", "#### ", l) for l in text.splitlines() if not l.startswith("== ")).strip()
        parts += [f"### {title}", "", body or "not run or failed", ""]
    with open(os.path.join(out_dir, "performance.md"), "w", encoding="utf-8") as f:
        f.write("\n".join(parts).replace("\n\n\n", "\n\n"))


def write_chart(report, out_dir):
    tmp = tempfile.mkdtemp(prefix="perf-")
    scans = os.path.join(tmp, "scans.dat")
    with open(scans, "w") as f:
        for i, (label, rows, kind, measured, bound, _) in enumerate(report.scans):
            short = f"{'ans' if kind == 'answering' else 'sil'} {rows}" + (
                "\\nreal exe" if "real" in label else "") + ("\\nin-process" if "in-process" in label else "")
            f.write(f'{i} "{short}" {measured / bound:.4f}\n')
    rtt, rows = report.latency
    latency = os.path.join(tmp, "latency.dat")
    with open(latency, "w") as f:
        for d, median, low, high, _ in rows:
            f.write(f"{d} {median - d} {low - d} {high - d}\n")
    window = os.path.join(tmp, "window.dat")
    with open(window, "w") as f:
        for i, name in enumerate(("median", "99th")):
            value = first_number(lookup(report.window, f"dialog round trip: {name}"))
            if value is not None:
                f.write(f'{i} "{"median" if i == 0 else "p99"}" {value}\n')
    memory = os.path.join(tmp, "memory.dat")
    with open(memory, "w") as f:
        for i, (key, label) in enumerate((("working set of a program that does nothing", "empty program"),
                                          ("working set, idle", "tool idle"),
                                          ("working set, peak during", "tool, peak in scan"))):
            value = first_number(lookup(report.exe, key))
            if value is not None:
                f.write(f'{i} "{label}" {value}\n')
    latency_top = max([high - d for d, _, _, high, _ in rows] + [LATENCY_SLACK_MS + (rtt or 0)]) + 1
    png = os.path.join(out_dir, "performance.png")
    script = f"""
set terminal pngcairo size 1400,1000 font "DejaVu Sans,11"
set output "{png}"
set multiplot layout 2,2 title "dnscheck: measured against bound and target"
set style fill solid 0.6 border -1
set boxwidth 0.6
set grid ytics
set key top left
set title "Scan wall time / bound (target ≤ {1 + SCAN_SLACK:.2f})"
set yrange [0.95:*]
set key top right
set ylabel "measured / bound"
plot "{scans}" using 1:3:xtic(2) with boxes lc rgb "#4a7ebb" title "measured / bound", \\
     {1 + SCAN_SLACK} with lines dt 2 lw 2 lc rgb "#c0392b" title "target", \\
     1 with lines lw 1 lc rgb "black" title "bound"
set key top left
set title "Latency: time shown − injected delay D"
set xlabel "D (ms)"
set ylabel "error (ms)"
set yrange [-2:{latency_top}]
set xrange [-10:260]
plot "{latency}" using 1:2:3:4 with yerrorbars pt 7 lc rgb "#4a7ebb" title "median (bars: min..max)", \\
     -{LATENCY_SLACK_MS} with lines dt 2 lw 2 lc rgb "#c0392b" title "target band", \\
     {LATENCY_SLACK_MS + (rtt or 0):.3f} with lines dt 2 lw 2 lc rgb "#c0392b" notitle
set xrange [*:*]
set xlabel ""
set title "Dialog round trip during a full scan (target p99 < {ROUND_TRIP_P99_MS:.0f} ms)"
set ylabel "ms"
set yrange [0:{ROUND_TRIP_P99_MS * 1.2:.0f}]
plot "{window}" using 1:3:xtic(2) with boxes lc rgb "#4a7ebb" title "measured", \\
     {ROUND_TRIP_P99_MS} with lines dt 2 lw 2 lc rgb "#c0392b" title "target"
set yrange [0:*]
set key top left
set title "Working set under Wine (target < {WORKING_SET_LIMIT_MB:.0f} MB at peak)"
set ylabel "MB"
plot "{memory}" using 1:3:xtic(2) with boxes lc rgb "#4a7ebb" title "measured", \\
     {WORKING_SET_LIMIT_MB} with lines dt 2 lw 2 lc rgb "#c0392b" title "target"
unset multiplot
"""
    gp = os.path.join(tmp, "chart.gp")
    with open(gp, "w", encoding="utf-8") as f:
        f.write(script)
    subprocess.run(["gnuplot", gp], check=True)


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: performance_report.py RAW_DIR PRODUCT_EXE OUT_DIR")
    raw, exe, out_dir = sys.argv[1:]
    os.makedirs(out_dir, exist_ok=True)
    report = Report(raw, exe)
    write_markdown(report, out_dir)
    write_chart(report, out_dir)
    print(f"wrote {os.path.join(out_dir, 'performance.md')} and {os.path.join(out_dir, 'performance.png')}")


if __name__ == "__main__":
    main()
