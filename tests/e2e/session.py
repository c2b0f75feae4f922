"""Runs the real dnscheck.exe under Wine and works it from outside, as a
user would: a private virtual display, scripted DNS servers on loopback
addresses, a copy of the program in a folder of its own with a dns.ini
written for it, and the driver program that presses its buttons and reads
its window. Shared by the end-to-end test and the demo of scripts/run.sh.

Only loopback addresses are ever written into the list, so nothing the
program sends can leave the machine.
"""
import ipaddress
import os
import queue
import re
import shutil
import subprocess
import sys
import tempfile
import threading

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WINE_RUN = os.path.join(REPO, "scripts", "wine-run.sh")
WINE_PREFIX = os.path.join(REPO, "scripts", "wine-prefix.sh")
sys.path.insert(0, os.path.join(REPO, "scripts"))
import virtual_display  # noqa: E402

# The virtual desktop at 96 DPI: room for the dialog and a margin around
# it; the screen holds the desktop. Both grow with the display scale, as
# the dialog does.
DESKTOP = (640, 680)
SCREEN = (800, 720)
DESIGN_DPI = 96


def scaled(size, dpi):
    return "x".join(str(n * dpi // DESIGN_DPI) for n in size)

TITLE = "DNS 服务器检测"
PROGRESS = re.compile(r"^线程数: (\d+)  扫描进度: (\d+)/(\d+)$")
LATENCY = re.compile(r"^(\d+) ms$")


class Display(virtual_display.Display):
    """A private Xvfb with room for the virtual desktop, so that no other
    window can cover the one driven."""

    def __init__(self, dpi=DESIGN_DPI):
        super().__init__(scaled(SCREEN, dpi) + "x24")


class Wine:
    """One build tree's programs, run in a prefix of their own at a
    display scale."""

    def __init__(self, tree, prefix_name, display, dpi=DESIGN_DPI):
        self.tree = os.path.abspath(tree)
        self.root = os.path.join(self.tree, prefix_name)
        self.env = dict(os.environ, DISPLAY=display)
        self.driver_exe = os.path.join(self.tree, "e2e_driver.exe")
        self.servers_exe = os.path.join(self.tree, "e2e_dns_servers.exe")
        self.tool_exe = os.path.join(self.tree, "dnscheck.exe")
        # A Wine server left from an earlier run would hold the sockets of
        # this run in the network it was started in.
        self.stop_all()
        subprocess.run(["bash", WINE_PREFIX, self.root, self.tool_exe, scaled(DESKTOP, dpi),
                        str(dpi)], env=self.env, check=True)

    def popen(self, exe, args, **kw):
        return subprocess.Popen(["bash", WINE_RUN, self.root, exe] + list(args), env=self.env, **kw)

    def run(self, exe, args, timeout=120):
        """Exit code and standard output of a program run to its end. The
        output goes through a file, not a pipe: a program that happens to
        be the first of the prefix to need the desktop starts Wine's
        desktop process, which inherits its handles and would hold a pipe
        open long after the program has ended."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            code = subprocess.run(["bash", WINE_RUN, self.root, exe] + list(args), env=self.env,
                                  stdout=out, stderr=err, timeout=timeout).returncode
            out.seek(0)
            err.seek(0)
            return code, out.read(), err.read().decode(errors="replace")

    def stop_all(self):
        """Ends what still runs in this prefix: it is private to its user."""
        for arch in ("win32", "win64"):
            prefix = os.path.join(self.root, arch)
            if os.path.isdir(prefix):
                subprocess.run(["wineserver", "-k"], env=dict(self.env, WINEPREFIX=prefix),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class DnsServers:
    """Scripted servers, each 'ADDRESS=KIND[:DELAY_MS]', with a log of
    every query they receive, in arrival order."""

    def __init__(self, wine, entries):
        for entry in entries:
            if not ipaddress.IPv4Address(entry.split("=")[0]).is_loopback:
                raise ValueError(f"not a loopback address: {entry}")
        self.errors = tempfile.TemporaryFile()
        self.proc = wine.popen(wine.servers_exe, entries, stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=self.errors)
        self.log = []
        self.lock = threading.Lock()
        ready = queue.Queue()
        self.reader = threading.Thread(target=self._read, args=(ready,), daemon=True)
        self.reader.start()
        try:
            ready.get(timeout=120)
        except queue.Empty:
            pass
        if self.proc.poll() is not None or not self._ready:
            self.stop()
            self.errors.seek(0)
            raise RuntimeError("the DNS servers did not start: " +
                               self.errors.read().decode(errors="replace"))

    _ready = False

    def _read(self, ready):
        for line in self.proc.stdout:
            words = line.decode().split()
            if words == ["ready"]:
                self._ready = True
                ready.put(True)
            elif len(words) == 3 and words[0] == "query":
                with self.lock:
                    self.log.append((words[1], words[2]))
        ready.put(False)

    def queries(self, address):
        """Names asked of one server so far, in order."""
        with self.lock:
            return [name for a, name in self.log if a == address]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.reader.join(5)
        if not self.reader.is_alive():
            self.proc.stdout.close()
        self.errors.close()


def write_list(path, rows, before="", after=""):
    """dns.ini as the tool reads it: code page 936 text, CRLF line ends.
    `before` and `after` are raw lines placed around the section."""
    for address, _ in rows:
        if not ipaddress.IPv4Address(address).is_loopback:
            raise ValueError(f"not a loopback address: {address}")
    text = before + "[DNSList]\r\n" + "".join(f"{a}={loc}\r\n" for a, loc in rows) + after
    with open(path, "wb") as f:
        f.write(text.encode("gbk"))


def read_list(path):
    with open(path, "rb") as f:
        return f.read().decode("gbk")


class Tool:
    """A copy of dnscheck.exe in a fresh folder beside the dns.ini given
    and the files of `planted`."""

    def __init__(self, wine, rows, before="", after="", planted=()):
        self.wine = wine
        self.folder = tempfile.mkdtemp(prefix="dnscheck-e2e-")
        self.exe = os.path.join(self.folder, "dnscheck.exe")
        self.ini = os.path.join(self.folder, "dns.ini")
        shutil.copy(wine.tool_exe, self.exe)
        for path in planted:
            shutil.copy(path, self.folder)
        write_list(self.ini, rows, before, after)
        self.windows_exe = "Z:" + self.exe.replace("/", "\\")
        self.proc = wine.popen(self.exe, [], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def drive(self, *args, timeout=240):
        """Runs the driver on this program's window: exit code, output and
        error text."""
        return self.wine.run(self.wine.driver_exe, [args[0], self.windows_exe] + list(args[1:]),
                             timeout=timeout)

    def state(self):
        """What the window shows: caption, buttons {id: (enabled, text)},
        focus, selected row, headers, their widths, the list's client width
        and scroll bars {"width", "hscroll", "vscroll"}, rows (lists of four
        cells), rect; and keys, each row's sort key."""
        code, out, err = self.drive("state")
        if code != 0:
            status = "running" if self.proc.poll() is None else f"ended with {self.proc.returncode}"
            raise RuntimeError(f"driver state failed ({code}): {err.strip()}; the program is {status}")
        s = {"buttons": {}, "columns": [], "widths": [], "rows": [], "keys": []}
        for raw in out.split(b"\n"):
            if not raw:
                continue
            f = raw.rstrip(b"\r").decode("gbk").split("\t")
            if f[0] == "window":
                s["window"], s["visible"] = f[1], f[2] == "1"
            elif f[0] == "rect":
                s["rect"] = tuple(int(v) for v in f[1:5])
            elif f[0] == "caption":
                s["caption"] = f[1]
            elif f[0] == "button":
                s["buttons"][int(f[1])] = (f[2] == "1", f[3])
            elif f[0] == "focus":
                s["focus"] = f[1]
            elif f[0] == "selected":
                s["selected"] = int(f[1])
            elif f[0] == "column":
                s["columns"].append(f[2])
                s["widths"].append(int(f[3]))
            elif f[0] == "list":
                s["list"] = {"width": int(f[1]), "hscroll": f[2] == "1", "vscroll": f[3] == "1"}
            elif f[0] == "row":
                s["rows"].append(f[1:5])
                s["keys"].append(int(f[5]))
        return s

    def press(self, which):
        return self.drive("press", which)[0] == 0

    def keys(self, *names):
        return self.drive("keys", *names)[0] == 0

    def wait_buttons(self, start, stop, seconds):
        """True once Start and Stop are enabled as asked."""
        code, _, _ = self.drive("wait", str(int(start)), str(int(stop)), str(int(seconds * 1000)),
                             timeout=seconds + 120)
        return code == 0

    def focus_list(self):
        return self.drive("focus")[0] == 0

    def close(self):
        return self.drive("close")[0] == 0

    def wait_exit(self, seconds):
        """The program's exit code, or None if it still runs."""
        try:
            return self.proc.wait(seconds)
        except subprocess.TimeoutExpired:
            return None

    def screenshot(self, path):
        """The dialog with a small margin, as a PNG."""
        left, top, right, bottom = self.state()["rect"]
        m = 8
        left, top = max(0, left - m), max(0, top - m)
        geometry = f"{right - left + m}x{bottom - top + m}+{left}+{top}"
        xwd = subprocess.run(["xwd", "-root", "-silent"], env=self.wine.env,
                             stdout=subprocess.PIPE, check=True).stdout
        subprocess.run(["convert", "xwd:-", "-crop", geometry, "+repage", path],
                       input=xwd, check=True)

    def discard(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        shutil.rmtree(self.folder, ignore_errors=True)


def latency(cell):
    m = LATENCY.match(cell)
    return int(m.group(1)) if m else None
