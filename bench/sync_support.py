"""Plumbing of bench/sync_bench.py: child processes that are always stopped,
the update-host tool, the byte-counting relay, the host's request log, timed
runs of Updater.exe under Wine, and the number formats of the document."""

import json
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import textwrap
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST_TOOL = os.path.join(ROOT, "tools", "qorn_host.py")
MIB = 1 << 20

# Upper bounds of single steps: generous, only there so that nothing hangs for ever.
QUICK_RUN_TIMEOUT = 120
PUBLISH_TIMEOUT = 900
SERVER_LIFETIME = 7200


class BenchError(Exception):
    pass


def progress(text):
    print("sync_bench: " + text, file=sys.stderr, flush=True)


# -- processes and folders --------------------------------------------------

class Background:
    """Servers and relays started here, stopped on exit whatever happens."""

    def __init__(self):
        self.processes = []

    def start(self, command):
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, start_new_session=True)
        self.processes.append(process)
        return process

    def stop(self, process, timeout=10):
        """SIGTERM, then SIGKILL when it lingers; returns its exit status."""
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        if process in self.processes:
            self.processes.remove(process)
        return process.returncode

    def stop_all(self):
        for process in list(self.processes):
            self.stop(process, timeout=5)


BACKGROUND = Background()


def wait_for_file(path, what, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open(path) as handle:
                text = handle.read().strip()
            if text:
                return text
        except FileNotFoundError:
            pass
        time.sleep(0.05)
    raise BenchError("%s did not appear within %d s" % (what, timeout))


def run(command, timeout, what):
    """Runs a command to its end in its own process group; a timeout kills the group.
    Returns its output."""
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, start_new_session=True)
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        raise BenchError("%s took longer than %d s" % (what, timeout)) from None
    except BaseException:  # stopped from outside: the command goes too
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        raise
    if process.returncode != 0:
        detail = (err or b"").decode("utf-8", "replace").strip()[-2000:]
        raise BenchError("%s failed with status %d: %s" % (what, process.returncode, detail))
    return (out or b"").decode("utf-8", "replace")


def timed(command, timeout, what):
    start = time.perf_counter()
    out = run(command, timeout, what)
    return time.perf_counter() - start, out


def windows_path(path):
    return run(["winepath", "-w", path], 60, "winepath").strip()


# -- the host tool and the relay -------------------------------------------

def start_server(site, folder, name):
    port_file = os.path.join(folder, name + ".port")
    log = os.path.join(folder, name + ".log")
    BACKGROUND.start([sys.executable, HOST_TOOL, "serve", site, "--port", "0",
                      "--port-file", port_file, "--log", log,
                      "--stop-after", str(SERVER_LIFETIME)])
    return int(wait_for_file(port_file, "the host's port file")), log


def publish(source, site, base_url, release_id, packages):
    command = [sys.executable, HOST_TOOL, "publish", source, site, "--base-url", base_url,
               "--release-id", release_id]
    if packages:
        command += ["--packages", str(packages)]
    run(command, PUBLISH_TIMEOUT, "publishing %s" % release_id)
    with open(os.path.join(site, "api", "manifest"), "rb") as handle:
        return json.loads(handle.read())


class Relay:
    """scripts/bench's wire_counter between a client and the host: counts the
    bytes of every connection in both directions."""

    def __init__(self, host_port, folder, name):
        self.port_file = os.path.join(folder, name + ".port")
        self.counts_file = os.path.join(folder, name + ".json")
        self.process = BACKGROUND.start(["bash", "-c", 'wire_counter "$@"', "wire_counter",
                                         str(host_port), self.port_file, self.counts_file])
        self.port = int(wait_for_file(self.port_file, "the relay's port file"))

    def finish(self):
        """Stops the relay; returns (connections, bytes in both directions)."""
        BACKGROUND.stop(self.process)
        counts = json.loads(wait_for_file(self.counts_file, "the relay's counts"))
        return len(counts), sum(sent + received for sent, received in counts)


class RequestLog:
    """The host's request log, read from where the previous look ended."""

    def __init__(self, path):
        self.path = path
        self.seen = 0

    def _lines(self):
        try:
            with open(self.path, encoding="utf-8") as handle:
                return [json.loads(line) for line in handle if line.strip()]
        except FileNotFoundError:
            return []

    def new_entries(self, at_least=1, timeout=10):
        """The entries logged since the last call. The host logs a request just
        after answering it, so this waits for at_least of them, then a moment more."""
        deadline = time.monotonic() + timeout
        while len(self._lines()) - self.seen < at_least and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.2)
        lines = self._lines()
        fresh = lines[self.seen:]
        self.seen = len(lines)
        return fresh


# -- the launcher -----------------------------------------------------------

class Launcher:
    def __init__(self, updater, trivial):
        self.updater = updater
        self.trivial = trivial

    def sync(self, client_windows, manifest_url, timeout, what):
        """One `--sync` run: (seconds, result line, {stage: seconds from the start
        until the stage was first reported}). The launcher writes each line at once,
        so the time a line arrives is the time its stage began."""
        errors = tempfile.TemporaryFile()
        start = time.perf_counter()
        process = subprocess.Popen(["wine", self.updater, "--sync", client_windows, manifest_url],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=errors,
                                   start_new_session=True)
        expired = []

        def stop():
            expired.append(True)
            os.killpg(process.pid, signal.SIGKILL)

        watchdog = threading.Timer(timeout, stop)
        watchdog.start()
        lines, stages = [], {}
        try:
            for raw in process.stdout:
                line = raw.decode("utf-8", "replace").strip()
                if not line:
                    continue
                lines.append(line)
                if line.startswith('{"stage"'):
                    stages.setdefault(json.loads(line)["stage"], time.perf_counter() - start)
            process.wait()
        except BaseException:  # stopped from outside: the launcher goes too
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            raise
        finally:
            watchdog.cancel()
        seconds = time.perf_counter() - start
        if expired:
            raise BenchError("%s took longer than %d s" % (what, timeout))
        if process.returncode != 0:
            errors.seek(0)
            raise BenchError("%s failed with status %d: %s %s" % (
                what, process.returncode, " | ".join(lines)[-2000:],
                errors.read().decode("utf-8", "replace")[-2000:]))
        results = [json.loads(line) for line in lines
                   if line.startswith("{") and '"stage"' not in line]
        if not results or "releaseId" not in results[-1]:
            raise BenchError("%s printed no result line: %s" % (what, " | ".join(lines)[-2000:]))
        return seconds, results[-1], stages

    def floor(self):
        seconds, _ = timed(["wine", self.trivial], QUICK_RUN_TIMEOUT, "the trivial program")
        return seconds


def expect(condition, message):
    if not condition:
        raise BenchError(message)



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

