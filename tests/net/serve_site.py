#!/usr/bin/env python3
"""Runs `tools/qorn_host.py serve` for a test program under Wine, which can start
a Unix program but can neither wait for it nor end it: the server is stopped
when the file WORK/stop appears or WORK goes away, or after the given number of
seconds at most. The port file is removed once the server has ended.

usage: serve_site.py WORK SECONDS
WORK holds site/ (the site the test writes), and gets port, requests.log,
faults.json (written by the test) and server.err."""

import os
import subprocess
import sys
import time

TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "qorn_host.py")


def detach():
    """Wine hands its own standard error to a Unix child whatever the Windows side
    asked for; held here, it would keep CTest waiting for the test's output."""
    null = os.open(os.devnull, os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(null, fd)
    os.closerange(3, 1024)


def main():
    detach()
    work, seconds = sys.argv[1], float(sys.argv[2])
    with open(os.path.join(work, "server.err"), "wb") as errors:
        server = subprocess.Popen(
            [sys.executable, TOOL, "serve", os.path.join(work, "site"), "--port", "0",
             "--port-file", os.path.join(work, "port"), "--log", os.path.join(work, "requests.log"),
             "--faults", os.path.join(work, "faults.json"), "--stop-after", str(seconds)],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=errors)
        deadline = time.monotonic() + seconds
        stop = os.path.join(work, "stop")
        while (server.poll() is None and time.monotonic() < deadline and os.path.isdir(work)
               and not os.path.exists(stop)):
            time.sleep(0.05)
        if server.poll() is None:
            server.terminate()
            try:
                server.wait(5)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()
    try:
        os.remove(os.path.join(work, "port"))
    except OSError:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
