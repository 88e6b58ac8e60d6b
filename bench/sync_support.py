"""What bench/sync_bench.py adds to the tests' harness (tests/support/harness.py, which
runs the host tool, reads request logs and runs Updater.exe under Wine): the
byte-counting relay, timed runs, the benchmark's checks, and the number formats of
the document."""

import atexit
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
import harness  # noqa: E402
from harness import free_port, start, stop, stop_all, wait_for_file  # noqa: E402,F401

MIB = 1 << 20

# Upper bounds of single steps: generous, only there so that nothing hangs for ever.
QUICK_RUN_TIMEOUT = 120
PUBLISH_TIMEOUT = 900
SERVER_LIFETIME = 7200


class BenchError(Exception):
    pass


# Failures of the harness's steps end the benchmark with their message, as its own do.
FAILURES = (BenchError, RuntimeError, subprocess.TimeoutExpired)


def work_folder(name, parent, programs):
    """A fresh folder for one benchmark script's run inside `parent`, removed with every
    server started here when the script ends, also on a signal; the script stops first
    when one of `programs` has not been built."""
    for path in programs:
        if not os.path.isfile(path):
            sys.exit("%s: %s is missing; build first (scripts/setup)" % (name, path))
    os.makedirs(parent, exist_ok=True)
    work = tempfile.mkdtemp(prefix=name.split("_")[0] + ".", dir=parent)

    def clean_up():
        stop_all()
        shutil.rmtree(work, ignore_errors=True)

    atexit.register(clean_up)
    for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(number, lambda signum, _: sys.exit(128 + signum))
    return work


def progress(text):
    print("sync_bench: " + text, file=sys.stderr, flush=True)


def expect(condition, message):
    if not condition:
        raise BenchError(message)


def run(command, timeout, what):
    """Runs a command to its end; its output."""
    return harness.run(command, what, timeout).stdout


def timed(command, timeout, what):
    start_time = time.perf_counter()
    out = run(command, timeout, what)
    return time.perf_counter() - start_time, out


# -- the host tool and the relay -------------------------------------------

def start_server(site, folder, name, port=0):
    """`qorn_host.py serve` of site, its files in folder/name: (port, request log)."""
    os.makedirs(os.path.join(folder, name))
    served = harness.ServedSite(site, os.path.join(folder, name), port=port,
                                stop_after=SERVER_LIFETIME)
    return served.port, served.log


def publish(source, site, base_url, release_id, packages):
    """Publishes a release; its manifest as a JSON document."""
    options = ["--packages", str(packages)] if packages else []
    return json.loads(harness.publish(source, site, base_url, release_id, *options))


class Relay:
    """scripts/bench's wire_counter between a client and the host: counts the
    bytes of every connection in both directions."""

    def __init__(self, host_port, folder, name, port=0):
        """port: where it listens (0: a free port of its choice)."""
        self.port_file = os.path.join(folder, name + ".port")
        self.counts_file = os.path.join(folder, name + ".json")
        self.process = start(["bash", "-c", 'wire_counter "$@"', "wire_counter",
                              str(host_port), self.port_file, self.counts_file, str(port)])
        self.port = int(wait_for_file(self.port_file, "the relay's port file", self.process))

    def finish(self):
        """Stops the relay; returns (connections, bytes in both directions)."""
        stop(self.process)
        counts = json.loads(wait_for_file(self.counts_file, "the relay's counts"))
        return len(counts), sum(sent + received for sent, received in counts)


# -- the launcher -----------------------------------------------------------

class Launcher:
    def __init__(self, updater, trivial):
        self.updater = updater
        self.trivial = trivial

    def sync(self, client, manifest_url, timeout, what):
        """One `--sync` run of a client folder: (seconds, result line, {stage: seconds
        from the start until the stage was first reported})."""
        done = harness.Updater(client, manifest_url, exe=self.updater).finish(timeout)
        if done.returncode != 0:
            raise BenchError("%s failed with status %d: %s" % (what, done.returncode,
                                                               done.text[-2000:]))
        if done.result is None:
            raise BenchError("%s printed no result line: %s" % (what, done.text[-2000:]))
        return done.seconds, done.result, done.stage_times

    def floor(self):
        seconds, _ = timed(["wine", self.trivial], QUICK_RUN_TIMEOUT, "the trivial program")
        return seconds


def tree_bytes(folder):
    total = 0
    for base, _, names in os.walk(folder):
        for name in names:
            total += os.path.getsize(os.path.join(base, name))
    return total


def warm(paths):
    """Reads files once so that every client finds them in the page cache."""
    buffer = bytearray(MIB)
    for path in paths:
        with open(path, "rb", buffering=0) as handle:
            while handle.readinto(buffer):
                pass


# -- formatting -------------------------------------------------------------

def seconds_text(value):
    if value < 1:
        return "%.0f ms" % (value * 1000)
    return "%.2f s" % value if value < 10 else "%.1f s" % value


def spread(values):
    return "%s (%s to %s)" % (seconds_text(statistics.median(values)), seconds_text(min(values)),
                              seconds_text(max(values)))


def mib_text(count):
    return "%.1f MiB" % (count / MIB)


def group(number):
    return "{:,}".format(number)


def paragraph(text):
    """A paragraph of the document, wrapped as the rest of it is."""
    return textwrap.fill(text, width=96, break_long_words=False, break_on_hyphens=False)
