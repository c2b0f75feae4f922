#!/usr/bin/env python3
"""A virtual display of its own for the tests, benchmarks and the demo, so
that no other window can cover the ones they drive or capture:

    virtual_display.py COMMAND [ARGS...]

runs COMMAND with DISPLAY on a fresh Xvfb and exits with its code
(tests/e2e/session.py uses Display directly). Xvfb picks a free display
number itself (-displayfd), so runs sharing this machine never collide.
"""
import os
import subprocess
import sys


class Display:
    def __init__(self, screen="1280x1024x24"):
        read, write = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", screen, "-nolisten", "tcp"],
            pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as f:
            self.name = ":" + f.readline().strip()
        if self.name == ":":
            self.stop()
            raise RuntimeError("Xvfb did not start")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.stop()


if __name__ == "__main__":
    with Display() as display:
        sys.exit(subprocess.run(sys.argv[1:], env=dict(os.environ, DISPLAY=display.name)).returncode)
