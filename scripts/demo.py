#!/usr/bin/env python3
"""Shows the tool at work where there is no display, sending nothing off
the machine: on a virtual display, the real dnscheck.exe scans DNS servers
on 127.0.5.x that answer fast, slowly, falsely or not at all; the finished
table is printed and a screenshot saved.

    demo.py BUILD_TREE [--screenshot PATH] [--dpi DPI]

scripts/run.sh runs it, having built the tree, in a network of its own.
"""
import argparse
import contextlib
import os
import sys
import unicodedata

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tests", "e2e"))
import session  # noqa: E402

# address, behaviour, location shown in the list
SERVERS = [
    ("127.0.5.101", "honest:0", "演示 立即应答"),
    ("127.0.5.102", "honest:60", "演示 60 ms 后应答"),
    ("127.0.5.103", "honest:180", "演示 180 ms 后应答"),
    ("127.0.5.104", "forging:20", "演示 伪造应答（无别名）"),
    ("127.0.5.105", "refusing", "演示 拒绝解析"),
    ("127.0.5.106", "zero", "演示 应答 0.0.0.0"),
    ("127.0.5.107", "silent", "演示 不应答"),
]


def print_table(state):
    width = lambda text: sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)
    rows = [state["columns"]] + state["rows"]
    widths = [max(width(r[i]) for r in rows) + 2 for i in range(4)]
    print("\n" + state["caption"])
    for r in rows:
        print("".join(cell + " " * (w - width(cell)) for cell, w in zip(r, widths)).rstrip())
    print()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("tree")
    parser.add_argument("--screenshot")
    parser.add_argument("--dpi", type=int, default=session.DESIGN_DPI, help="display scale")
    args = parser.parse_args()
    shot = os.path.abspath(args.screenshot or os.path.join(args.tree, "demo-screenshot.png"))

    with contextlib.ExitStack() as cleanup:
        display = cleanup.enter_context(session.Display(args.dpi))
        print(f"== virtual display {display.name} at {args.dpi} DPI")
        wine = session.Wine(args.tree, "wine-demo", display.name, args.dpi)
        cleanup.callback(wine.stop_all)
        print("== DNS servers on " + ", ".join(a for a, _, _ in SERVERS))
        servers = session.DnsServers(wine, [f"{a}={kind}" for a, kind, _ in SERVERS])
        cleanup.callback(servers.stop)
        tool = session.Tool(wine, [(a, loc) for a, _, loc in SERVERS])
        cleanup.callback(tool.discard)
        tool.state()
        print("== pressing Start")
        if not (tool.press("start") and tool.wait_buttons(False, True, 30)):
            raise RuntimeError("the scan did not start")
        if not tool.wait_buttons(True, False, 120):
            raise RuntimeError("the scan did not end")
        done = tool.state()
        print_table(done)
        shown = done["list"]
        bars = [name for name in ("hscroll", "vscroll") if shown[name]]
        print("== column widths: " + " ".join(f"{w} px" for w in done["widths"]) +
              f" in a list {shown['width']} px wide; scroll bars: {' '.join(bars) or 'none'}")
        tool.screenshot(shot)
        print(f"== screenshot {shot}")
        tool.close()
        if tool.wait_exit(60) is None:
            raise RuntimeError("the program did not end when closed")
        order = [line.split("=")[0] for line in session.read_list(tool.ini).splitlines()[1:]]
        print("== dns.ini after closing, fastest first: " + " ".join(order))


if __name__ == "__main__":
    main()
