#!/usr/bin/env python3
"""The real dnscheck.exe, started under Wine the way a user starts it (a
folder holding the program and its dns.ini) and worked from outside
through its window, against scripted DNS servers on 127.0.5.x.

    e2e_test.py BUILD_TREE

The tree must hold dnscheck.exe, e2e_driver.exe, e2e_dns_servers.exe, and
for the planted-DLL check planted/winmm.dll and e2e_plain_winmm.exe.
Saves BUILD_TREE/e2e_screenshot.png, the window after a finished scan.
"""
import os
import re
import shutil
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import session  # noqa: E402
from session import PROGRESS, TITLE, latency  # noqa: E402

TREE = None
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def constants(path):
    """The numbers and strings a C header of this project gives names to,
    by #define or as constants."""
    with open(os.path.join(SOURCE, path), encoding="utf-8") as f:
        text = f.read()
    found = {name: int(value) for name, value in re.findall(r"#define\s+(\w+)\s+(\d+)", text)}
    for name, value in re.findall(r'(\w+)\s*=\s*("[^"]*"|\d+)\s*;', text):
        found[name] = value.strip('"') if value.startswith('"') else int(value)
    return found


IDS = constants("res/resource.h")
START, STOP = IDS["IDC_START"], IDS["IDC_STOP"]
NAMES = constants("src/probe/query_names.h")
REFERENCE, CHECKED = NAMES["ReferenceName"], NAMES["TamperProbeName"]
DESIGN = constants("tests/design_numbers.h")
ENOUGH, MOST = DESIGN["EnoughReferenceSends"], DESIGN["MostReferenceSends"]
# No wait here is a speed target: each is what a hung program would blow.
SCAN_SECONDS = 90
EXIT_SECONDS = 60

# (address, kind, reply delay in ms, location): in the file in this order,
# which is not fastest first, so that the sort has work to do.
SERVERS = [
    ("127.0.5.6", "silent", 0, "本机 无应答"),
    ("127.0.5.2", "honest", 200, "本机 慢速"),
    ("127.0.5.4", "refusing", 0, "本机 拒绝解析"),
    ("127.0.5.1", "honest", 0, "本机 快速"),
    ("127.0.5.5", "zero", 0, "本机 返回0.0.0.0"),
    ("127.0.5.3", "forging", 40, "本机 伪造应答"),
    ("127.0.5.7", "honest", 100, "本机 中速"),
]
# What each kind of server must show: result (None: a time), forged verdict.
VERDICTS = {
    "honest": (None, "否"),
    "forging": (None, "是"),
    "refusing": ("拒绝解析", ""),
    "zero": ("无效解析", ""),
    "silent": ("请求超时", ""),
}
# Queries each kind must receive in one scan: the timed name four times
# and the forged-answer check's name once for a server that answers; the
# first refusal or empty answer ends the probe; silence is asked six times.
QUERIES = {
    "honest": [REFERENCE] * ENOUGH + [CHECKED],
    "forging": [REFERENCE] * ENOUGH + [CHECKED],
    "refusing": [REFERENCE],
    "zero": [REFERENCE],
    "silent": [REFERENCE] * MOST,
}
# Lines the tool does not write, so their absence proves a rewrite.
FOREIGN_HEAD = "; kept by hand\r\n"
FOREIGN_TAIL = "[Other]\r\nkey=value\r\n"


def listed(text):
    """The lines of a dns.ini, line ends dropped."""
    return [line for line in text.replace("\r\n", "\n").split("\n") if line]


class EndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.display = session.Display()
        try:
            cls.wine = session.Wine(TREE, "wine-e2e", cls.display.name)
        except Exception:
            cls.display.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.wine.stop_all()
        cls.display.stop()

    def start(self, entries, rows):
        servers = session.DnsServers(self.wine, entries)
        self.addCleanup(servers.stop)
        tool = session.Tool(self.wine, rows, FOREIGN_HEAD, FOREIGN_TAIL)
        self.addCleanup(tool.discard)
        return servers, tool

    def test_full_scan_as_a_user_sees_it(self):
        rows = [(a, loc) for a, _, _, loc in SERVERS]
        servers, tool = self.start([f"{a}={k}:{d}" for a, k, d, _ in SERVERS], rows)
        kind = {a: k for a, k, _, _ in SERVERS}
        delay = {a: d for a, _, d, _ in SERVERS}

        s = tool.state()
        self.assertEqual(TITLE, s["caption"])
        self.assertEqual({START: (True, "开始"), STOP: (False, "停止")}, s["buttons"])
        self.assertEqual("list", s["focus"])
        self.assertEqual(["DNS地址", "位置", "结果", "GFW劫持"], s["columns"])
        self.assertEqual([[a, loc, "", ""] for a, loc in rows], s["rows"])

        self.assertTrue(tool.press("start"))
        self.assertTrue(tool.wait_buttons(False, True, 30), "Start did not give way to Stop")
        self.assertTrue(tool.wait_buttons(True, False, SCAN_SECONDS), "the scan did not end")
        done = tool.state()
        self.assertEqual("线程数: 0  扫描进度: 7/7", done["caption"])

        shown = {r[0]: r for r in done["rows"]}
        self.assertEqual(sorted(kind), sorted(shown))
        for address, cells in shown.items():
            with self.subTest(server=address, kind=kind[address]):
                self.assertEqual(dict(rows)[address], cells[1], "location parted from its address")
                result, forged = VERDICTS[kind[address]]
                if result is None:
                    ms = latency(cells[2])
                    self.assertIsNotNone(ms, cells[2])
                    # The reply left the server `delay` after the query
                    # came in; a few ms of slack for the clocks' rounding.
                    self.assertGreaterEqual(ms, delay[address] - 5)
                else:
                    self.assertEqual(result, cells[2])
                self.assertEqual(forged, cells[3])
                self.assertEqual(QUERIES[kind[address]], servers.queries(address))

        times = [latency(r[2]) for r in done["rows"]]
        timed = [t for t in times if t is not None]
        self.assertEqual(4, len(timed))
        self.assertEqual(timed, times[:4], "a server without a time sorted before one with")
        self.assertEqual(sorted(timed), timed, "not fastest first")

        tool.screenshot(os.path.join(TREE, "e2e_screenshot.png"))

        # Esc and Enter, typed into the list, must leave all as it was.
        # (The click on Start took the focus; Enter on that button would
        # rightly start a new scan.) The End key typed after them selects
        # the last row: once that shows, the dialog has handled the two
        # keys before it.
        self.assertTrue(tool.focus_list())
        before = tool.state()
        self.assertEqual("list", before["focus"])
        self.assertEqual(-1, before["selected"])
        self.assertTrue(tool.keys("esc", "enter", "end"))
        deadline = time.time() + 30
        while True:
            time.sleep(0.2)
            self.assertIsNone(tool.proc.poll(), "the program ended on Esc or Enter")
            after = tool.state()
            if after["selected"] != -1 or time.time() > deadline:
                break
        self.assertEqual(len(rows) - 1, after["selected"], "the keys never reached the list")
        for key in ("window", "visible", "caption", "buttons", "focus", "rows"):
            self.assertEqual(before[key], after[key], key)

        self.assertTrue(tool.close())
        self.assertEqual(0, tool.wait_exit(EXIT_SECONDS))
        self.assertEqual(["[DNSList]"] + [f"{r[0]}={r[1]}" for r in done["rows"]],
                         listed(session.read_list(tool.ini)))

    def test_a_winmm_dll_planted_beside_the_exe_is_never_loaded(self):
        # Wine told to prefer a native winmm found as Windows finds it: in
        # the exe's folder first. The planted DLL logs every process that
        # loads it; the control, which imports winmm plainly, shows that
        # the planting works.
        self.wine.env["WINEDLLOVERRIDES"] = "winmm=n,b"
        self.addCleanup(self.wine.env.pop, "WINEDLLOVERRIDES")
        planted = os.path.join(TREE, "planted", "winmm.dll")
        tool = session.Tool(self.wine, [("127.0.5.21", "本机")], planted=[planted])
        self.addCleanup(tool.discard)
        self.assertEqual(TITLE, tool.state()["caption"])
        self.assertTrue(tool.close())
        self.assertEqual(0, tool.wait_exit(EXIT_SECONDS))
        log = os.path.join(tool.folder, "planted.log")
        self.assertFalse(os.path.exists(log), "the tool loaded the planted winmm.dll")

        control = os.path.join(tool.folder, "control.exe")
        shutil.copy(os.path.join(TREE, "e2e_plain_winmm.exe"), control)
        self.assertEqual(0, self.wine.run(control, [])[0])
        with open(log, encoding="utf-8", errors="replace") as f:
            self.assertEqual(["control.exe"], [line.strip().rpartition("\\")[2] for line in f])

    def test_stop_then_close_during_a_second_scan(self):
        rows = [("127.0.5.11", "本机 无应答"), ("127.0.5.12", "本机 拖延"), ("127.0.5.13", "本机 快速")]
        servers, tool = self.start(["127.0.5.11=silent", "127.0.5.12=stalling", "127.0.5.13=honest"],
                                   rows)

        self.assertTrue(tool.press("start"))
        self.assertTrue(tool.wait_buttons(False, True, 30), "Start did not give way to Stop")
        # Every row in a probe before the stop, so that none is merely
        # left untaken.
        deadline = time.time() + 30
        while not all(servers.queries(a) for a, _ in rows) and time.time() < deadline:
            time.sleep(0.1)
        self.assertTrue(tool.press("stop"))
        # The stalling server holds its probe until its run of foreign
        # datagrams ends; the scan is over only then.
        self.assertTrue(tool.wait_buttons(True, False, SCAN_SECONDS), "the stop never ended the scan")
        stopped = tool.state()
        shown = {r[0]: r[2:] for r in stopped["rows"]}
        self.assertEqual(["未完成", ""], shown["127.0.5.11"])
        self.assertEqual(["未完成", ""], shown["127.0.5.12"])
        self.assertIsNotNone(latency(shown["127.0.5.13"][0]), shown["127.0.5.13"])
        self.assertEqual("否", shown["127.0.5.13"][1])
        self.assertEqual("127.0.5.13", stopped["rows"][0][0], "the timed row is not first")
        m = PROGRESS.match(stopped["caption"])
        self.assertIsNotNone(m, stopped["caption"])
        self.assertEqual(("0", "1", "3"), m.groups(), "stopped rows were counted as done")

        # A second scan; the stalling server keeps it going for half a
        # minute, far longer than it takes to close the window.
        asked = len(servers.queries("127.0.5.12"))
        self.assertTrue(tool.press("start"))
        self.assertTrue(tool.wait_buttons(False, True, 30), "the second scan did not start")
        deadline = time.time() + 30
        while len(servers.queries("127.0.5.12")) == asked and time.time() < deadline:
            time.sleep(0.1)
        self.assertGreater(len(servers.queries("127.0.5.12")), asked, "no probe of the second scan")
        order = [r[:2] for r in tool.state()["rows"]]
        self.assertTrue(tool.close())
        self.assertEqual(0, tool.wait_exit(EXIT_SECONDS), "the program did not end when closed")
        self.assertEqual(["[DNSList]"] + [f"{a}={loc}" for a, loc in order],
                         listed(session.read_list(tool.ini)))


if __name__ == "__main__":
    TREE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
