#!/usr/bin/env python3
"""Benchmarks of `Updater.exe --sync` at scale under Wine, written as markdown.

usage: scale_bench.py UPDATER_EXE WORK_FOLDER [--section scale|memory|all] [--smoke]

Two sections, each against references measured in the same run:

- a client of 200,000 files of 1 KiB: the adoption of a folder that holds the
  whole release but no state, the quick path afterwards, and an update that
  changes 2,000 of its files, against the same 2,000-file update of a client of
  2,000 files; the peak working set of each run against the manifest's text, and
  the records each run leaves in the state folder, read back by the launcher;
- the peak working set of a first installation of a 1 GiB release, against the
  same installation of a release 16 times smaller and the quick path afterwards.

Every run is `Updater.exe --sync CLIENT URL --skip-launcher-update`. Its peak
working set is the peak resident memory of the Wine process that runs it: Linux's
high-water mark (ru_maxrss), read from wait4() when the process ends, by the small
helper PEAK_HELPER so that none of this script's own memory shows in it, or the
mark's largest sample (VmHWM, read every SAMPLE_SECONDS) where that is larger. That
is what Wine's GetProcessMemoryInfo reports to the program as PeakWorkingSetSize,
so it is the figure bench/*.cpp print for their own process; it includes the Wine
libraries loaded in the process. The resident size sampled with it tells in which
stage the peak came.

Keep a wineserver running (`wineserver -p`, as scripts/bench does) so that no
run pays for starting it; the environment comes from scripts/env.sh. Progress
goes to stderr, the markdown to stdout. `scripts/bench scale [OPTIONS]` runs
this script alone.
"""

import argparse
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time

from sync_bench import STAGES, stage_durations
from sync_support import (FAILURES, MIB, BenchError, expect, group, harness, mib_text, paragraph,
                          publish, seconds_text, spread, start_server, stop_all, warm, work_folder)

FILE_BYTES = 1024
FILES = 200000            # the whole client, Main.exe included
REFERENCE_FILES = 2000    # the reference client, Main.exe included
CHANGED = 2000            # files an update changes, Main.exe included
FILES_PER_FOLDER = 100
FOLDERS_PER_AREA = 20
TOP_FOLDERS = ("Data", "Effect", "Interface", "Sound", "World")
QUICK_RUNS = 5
REFERENCE_RUNS = 3

LARGE_FILES = 64
LARGE_FILE_BYTES = 16 << 20
SMALL_LARGE_FILES = 4     # the reference release of the memory section: 16 times smaller
MEMORY_BOUND = 64 * MIB
MANIFEST_BOUND = 10       # peak working set under this many times the manifest's text
TIME_BOUND = 3            # the large client's update within this many times the reference's

SAMPLE_SECONDS = 0.05
RUN_TIMEOUT = 3600
RECORDS = ("installed.json", "hash-cache.json", "verified-release.json", "journal.json")


def progress(text):
    print("scale_bench: " + text, file=sys.stderr, flush=True)


# -- releases ---------------------------------------------------------------

def data_path(index):
    """The client path of data file `index`: 100 files a folder, 20 folders an area,
    the areas spread over a few top folders, as a game client's data lies."""
    folder = index // FILES_PER_FOLDER
    area = folder // FOLDERS_PER_AREA
    return "/".join((TOP_FOLDERS[area % len(TOP_FOLDERS)], "Khu %03d" % area,
                     "Nhóm %04d" % folder, "Tệp %06d.bmd" % index))


def changed_paths(count):
    """Main.exe and CHANGED - 1 data files spread evenly over a client of count files."""
    data = count - 1
    wanted = min(CHANGED, count) - 1
    step = data / wanted
    return ["Main.exe"] + [data_path(int(i * step + step / 2)) for i in range(wanted)]


def write_files(folders, paths):
    """New random bytes of FILE_BYTES for every path, written alike into every folder."""
    made = set()
    for path in paths:
        data = os.urandom(FILE_BYTES)
        for folder in folders:
            target = os.path.join(folder, *path.split("/"))
            parent = os.path.dirname(target)
            if parent not in made:
                os.makedirs(parent, exist_ok=True)
                made.add(parent)
            with open(target, "wb") as handle:
                handle.write(data)


def client_paths(count):
    return ["Main.exe"] + [data_path(index) for index in range(count - 1)]


def write_large_release(folder, files):
    os.makedirs(os.path.join(folder, "Data"))
    with open(os.path.join(folder, "Main.exe"), "wb") as handle:
        handle.write(os.urandom(150000))
    for index in range(files):
        with open(os.path.join(folder, "Data", "Khối %02d.pak" % index), "wb") as handle:
            for _ in range(LARGE_FILE_BYTES // MIB):
                handle.write(os.urandom(MIB))


# -- a watched run ----------------------------------------------------------

def resident_kib(pid):
    """(VmRSS, VmHWM) of a process in KiB, or None once it has gone."""
    try:
        with open("/proc/%d/status" % pid) as status:
            values = dict(line.split(":", 1) for line in status if line.startswith("Vm"))
        return int(values["VmRSS"].split()[0]), int(values["VmHWM"].split()[0])
    except (OSError, KeyError, ValueError):
        return None


# Starts a program and reports on the file descriptor argv[1] its process id, then its
# exit status and peak resident size in KiB from wait4(). The runs go through it because
# a child's figure starts from its parent's (Linux carries the high-water mark of the
# memory a child shared with its parent over exec): started from the benchmark itself,
# every run would show the benchmark's own memory. This helper's few MiB stay below any
# Wine program's.
PEAK_HELPER = r"""
import os, sys
report = int(sys.argv[1])
pid = os.fork()
if pid == 0:
    os.close(report)
    os.execvp(sys.argv[2], sys.argv[2:])
os.write(report, b"%d\n" % pid)
_, status, usage = os.wait4(pid, 0)
os.write(report, b"%d %d\n" % (os.waitstatus_to_exitcode(status), usage.ru_maxrss))
"""


class Run:
    """One `--sync` run under Wine, watched from outside: wall time, the report lines,
    the peak working set, resident memory and the size of the watched files over time."""

    def __init__(self, updater, client, url, what, timeout=RUN_TIMEOUT):
        self.what = what
        self.journal_bytes = 0  # the largest journal.json seen
        self.samples = []  # (seconds, resident KiB)
        self.sampled_peak = 0
        self.events = []  # (seconds, record, "written" or "removed"), in order
        command = ["wine", updater, "--sync", harness.windows_path(client), url,
                   "--skip-launcher-update"]
        state = os.path.join(client, harness.STATE)
        self.records = {name: record_identity(state, name) for name in RECORDS[:2] + RECORDS[3:]}
        report_end, write_end = os.pipe()
        self.started = time.monotonic()
        self.wall_started = time.time()
        helper = subprocess.Popen([sys.executable, "-S", "-c", PEAK_HELPER, str(write_end)]
                                  + command,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, pass_fds=(write_end,))
        os.close(write_end)
        lines, self.stages = [], {}
        with os.fdopen(report_end, "rb") as report, helper.stdout as output:
            self.pid = int(report.readline())
            ended = threading.Event()
            sampler = threading.Thread(target=self.sample, args=(state, ended), daemon=True)
            sampler.start()
            watchdog = threading.Timer(timeout, os.kill, (self.pid, signal.SIGKILL))
            watchdog.start()
            try:
                for raw in output:
                    text = raw.decode("utf-8").strip()
                    if text.startswith('{"stage"'):
                        self.stages.setdefault(json.loads(text)["stage"],
                                               time.monotonic() - self.started)
                    if text:
                        lines.append(text)
                status, peak_kib = (int(value) for value in report.readline().split())
            finally:
                watchdog.cancel()
                ended.set()
                helper.wait()
        self.seconds = time.monotonic() - self.started
        sampler.join()
        # The kernel raises its mark lazily (when memory is unmapped, not when it is given
        # back otherwise), so a sample of VmHWM can see a peak that the exit figure misses.
        self.peak = max(peak_kib * 1024, self.sampled_peak)
        self.text = "\n".join(lines)
        if status != 0:
            raise BenchError("%s failed with status %d: %s" % (what, status, self.text[-2000:]))
        last = json.loads(lines[-1]) if lines else {}
        expect("releaseId" in last, "%s printed no result line: %s" % (what, self.text[-2000:]))
        self.result = last

    def sample(self, state, ended):
        while not ended.is_set():
            figures = resident_kib(self.pid)
            if figures is not None:
                self.samples.append((time.monotonic() - self.started, figures[0]))
                self.sampled_peak = max(self.sampled_peak, figures[1] * 1024)
            moment = time.monotonic() - self.started
            for name, before in self.records.items():
                now = record_identity(state, name)
                if now != before:
                    # A write counts from its file's time (when its bytes went in, before the
                    # flush and the rename), a removal from the sample that saw it.
                    written = now[2] / 1e9 - self.wall_started if now else moment
                    self.events.append((written, name, "written" if now else "removed"))
                    self.records[name] = now
                if name == "journal.json" and now:
                    self.journal_bytes = max(self.journal_bytes, now[1])
            ended.wait(SAMPLE_SECONDS)

    def durations(self):
        return stage_durations(self.stages, self.seconds)

    def stage_peaks(self):
        """{stage: the largest resident size sampled while it ran}, with None for the
        time before the first report."""
        durations, before = self.durations()
        bounds = [(None, 0.0, before)] + [(number, self.stages[number],
                                           self.stages[number] + durations[number])
                                          for number in durations]
        peaks = {}
        for number, start, end in bounds:
            inside = [kib * 1024 for moment, kib in self.samples if start <= moment <= end]
            if inside:
                peaks[number] = max(inside)
        return peaks

    def peak_stage(self):
        peaks = self.stage_peaks()
        return max(peaks, key=lambda number: peaks[number]) if peaks else None


def record_identity(state, name):
    """What tells a new write of a state record (each is replaced whole): its file's
    identity, size and time, or None when there is none."""
    try:
        info = os.stat(os.path.join(state, name))
    except OSError:
        return None
    return info.st_ino, info.st_size, info.st_mtime_ns


def state_sizes(client):
    """{record: its size in bytes, or None when the run left none}."""
    sizes = {}
    for name in RECORDS:
        path = os.path.join(client, harness.STATE, name)
        sizes[name] = os.path.getsize(path) if os.path.exists(path) else None
    return sizes


class Served:
    """A release site of its own, served on 127.0.0.1."""

    def __init__(self, folder, name):
        self.folder = os.path.join(folder, name)
        os.makedirs(self.folder)
        self.site = os.path.join(self.folder, "site")
        self.port = harness.free_port()
        self.base = "http://127.0.0.1:%d" % self.port
        self.url = self.base + "/api/manifest"
        self.log = None

    def publish(self, source, release_id):
        manifest = publish(source, self.site, self.base, release_id, 0)
        if self.log is None:
            _, self.log = start_server(self.site, self.folder, "host", self.port)
        return manifest

    def manifest_bytes(self):
        return os.path.getsize(os.path.join(self.site, "public", "api", "manifest"))

    def body_files(self, manifest, paths):
        digests = {entry["path"]: entry["sha256"] for entry in manifest["files"]}
        return [os.path.join(self.site, "public", "files", digests[path]) for path in paths]


class Section:
    """One client and its site: runs with their checks of the result and the host's log."""

    def __init__(self, updater, folder, name, count):
        self.updater = updater
        self.count = count
        self.source = os.path.join(folder, name + "-release")
        self.client = os.path.join(folder, name + "-client")
        self.served = Served(folder, name + "-host")
        self.releases = 0
        self.manifest = None

    def write(self):
        write_files([self.source, self.client], client_paths(self.count))

    def publish(self, changed=()):
        """Publishes the source folder after new bytes for `changed`; its release id."""
        write_files([self.source], changed)
        self.releases += 1
        release_id = "%s-%d" % (os.path.basename(self.client), self.releases)
        self.manifest = self.served.publish(self.source, release_id)
        self.release = release_id
        return release_id

    def sync(self, what):
        os.sync()  # nothing written earlier is left for the run's flushes to wait on
        self.served.log.new()
        return Run(self.updater, self.client, self.served.url, what)

    def adopt(self):
        run = self.sync("adopting the %s-file client" % group(self.count))
        expect(run.result == {"downloaded": 0, "launcherReady": False, "offline": False,
                              "quick": False, "releaseId": self.release},
               "adopting the %s-file client gave %s" % (group(self.count), run.text[-2000:]))
        requests = self.served.log.new(at_least=1)
        expect(not any(r["path"].startswith(("/files/", "/packages/")) for r in requests),
               "adopting the %s-file client downloaded files" % group(self.count))
        return run

    def quick(self, what):
        run = self.sync(what)
        expect(run.result == {"downloaded": 0, "launcherReady": False, "offline": False,
                              "quick": True, "releaseId": self.release},
               "%s did not take the quick path: %s" % (what, run.text[-2000:]))
        requests = self.served.log.new(at_least=1)
        expect([(r["method"], r["path"], r["status"]) for r in requests]
               == [("HEAD", "/api/manifest", 304)],
               "%s made other requests than one HEAD of the manifest answered 304: %s"
               % (what, json.dumps(requests)))
        return run

    def update(self, changed):
        what = "the update of %s files in the %s-file client" % (group(len(changed)),
                                                                 group(self.count))
        warm(self.served.body_files(self.manifest, changed))
        run = self.sync(what)
        expect(run.result == {"downloaded": len(changed), "launcherReady": False,
                              "offline": False, "quick": False, "releaseId": self.release},
               "%s gave %s" % (what, run.text[-2000:]))
        fetched = [r for r in self.served.log.new(at_least=len(changed))
                   if r["path"].startswith("/files/")]
        expect(len(fetched) == len(changed) and all(r["status"] == 200 for r in fetched),
               "%s fetched %d files, not %d" % (what, len(fetched), len(changed)))
        for path in changed:
            parts = path.split("/")
            with open(os.path.join(self.source, *parts), "rb") as want, \
                    open(os.path.join(self.client, *parts), "rb") as have:
                expect(want.read() == have.read(), "%s left %s unchanged" % (what, path))
        return run

    def read_back(self):
        """The launcher itself reads back what the last run left: a quick run reads
        verified-release.json and holds it to installed.json; without it, a run must
        parse and validate installed.json and find every file vouched for in
        hash-cache.json before it may take the quick path. Returns that second run."""
        self.quick("a quick run over the records left")
        os.remove(os.path.join(self.client, harness.STATE, "verified-release.json"))
        return self.quick("a run that verifies the installed release from the hash cache")


def times_text(number):
    return "%.1f ×" % number


def holds(condition):
    return "holds" if condition else "**does not hold**"


# -- 200,000 files ----------------------------------------------------------

def scale_section(work, updater):
    folder = os.path.join(work, "scale")
    os.makedirs(folder)
    load_before = os.getloadavg()[0]
    large = Section(updater, folder, "large", FILES)
    small = Section(updater, folder, "small", REFERENCE_FILES)
    for section in (large, small):
        progress("scale: writing a release of %s files and the same files into its client"
                 % group(section.count))
        section.write()
        progress("scale: publishing the %s-file release" % group(section.count))
        section.publish()
    manifest_bytes = large.served.manifest_bytes()

    progress("scale: adopting the %s-file client" % group(FILES))
    adoption = large.adopt()
    adoption_records = state_sizes(large.client)
    progress("  %s, peak working set %s" % (seconds_text(adoption.seconds),
                                             mib_text(adoption.peak)))
    progress("scale: reading back the adopted records")
    adoption_check = large.read_back()

    progress("scale: %d quick runs of the %s-file client" % (QUICK_RUNS, group(FILES)))
    quick_runs = [large.quick("the quick path of the %s-file client" % group(FILES))
                  for _ in range(QUICK_RUNS)]
    quick_records = state_sizes(large.client)

    progress("scale: adopting the %s-file client" % group(REFERENCE_FILES))
    small.adopt()

    small_changed = changed_paths(REFERENCE_FILES)
    references = []
    for index in range(REFERENCE_RUNS):
        small.publish(small_changed)
        progress("scale: update %d of %d of every file of the %s-file client"
                 % (index + 1, REFERENCE_RUNS, group(REFERENCE_FILES)))
        references.append(small.update(small_changed))
        progress("  %s, peak working set %s" % (seconds_text(references[-1].seconds),
                                                 mib_text(references[-1].peak)))
    small_records = state_sizes(small.client)
    small_records["journal.json"] = max(r.journal_bytes for r in references)
    small.read_back()

    large_changed = changed_paths(FILES)
    progress("scale: publishing a release of the %s-file client with %s files changed"
             % (group(FILES), group(len(large_changed))))
    large.publish(large_changed)
    progress("scale: the update of %s files in the %s-file client"
             % (group(len(large_changed)), group(FILES)))
    update = large.update(large_changed)
    update_records = state_sizes(large.client)
    update_records["journal.json"] = update.journal_bytes
    progress("  %s, peak working set %s" % (seconds_text(update.seconds), mib_text(update.peak)))
    progress("scale: reading back the records of the update")
    update_check = large.read_back()
    stop_all()
    shutil.rmtree(folder)
    load_after = os.getloadavg()[0]

    reference = statistics.median(r.seconds for r in references)
    quick_time = statistics.median(r.seconds for r in quick_runs)
    quick_peak = max(r.peak for r in quick_runs)
    ratio = update.seconds / reference
    measured = [("adoption", adoption), ("quick path", max(quick_runs, key=lambda r: r.peak)),
                ("update", update)]
    worst = max(run.peak for _, run in measured) / manifest_bytes
    sizes = (group(FILES), group(REFERENCE_FILES), group(len(large_changed)))

    def peak_cell(run):
        return "%s (%s the manifest's text)" % (mib_text(run.peak),
                                                times_text(run.peak / manifest_bytes))

    def record_cell(records, name):
        size = records[name]
        if not size:
            return "-"
        return "%s bytes" % group(size) if size < 100000 else "%s (%s bytes)" % (mib_text(size),
                                                                                  group(size))

    lines = [
        "## A client of %s files" % sizes[0],
        "",
        paragraph(
            "A release of %s files of 1 KiB of random bytes (`Main.exe` among them) in %s "
            "folders of %d, grouped by %d into areas under %d top folders, published with the "
            "update-host tool and served on 127.0.0.1; its manifest has %s of text. Every run is "
            "`Updater.exe --sync CLIENT URL --skip-launcher-update` under Wine, timed whole. (a) "
            "Adoption: the client folder already holds every file of the release but no state, "
            "so the launcher hashes it all and adopts it. (b) The quick path of that client "
            "afterwards, median of %d runs. (c) An update of %s files (1 %%: `Main.exe` and "
            "data files spread evenly, one in nearly every folder), each given new bytes of the "
            "same size. Reference: the same update of %s files in a client of %s files of 1 KiB "
            "(every file changes), median of %d runs in the same run, just before (c). The "
            "host's files were in the page cache; before each run the file system was synced. "
            "The machine's other work shows in its load average, %.1f at the start of this "
            "section and %.1f at its end."
            % (sizes[0], group((FILES - 2) // FILES_PER_FOLDER + 1), FILES_PER_FOLDER,
               FOLDERS_PER_AREA, len(TOP_FOLDERS), mib_text(manifest_bytes), QUICK_RUNS,
               sizes[2], sizes[2], sizes[1], REFERENCE_RUNS, load_before, load_after)),
        "",
        "| measure | value |",
        "|---|---|",
        "| manifest's text, %s files | %s (%s bytes) |" % (sizes[0], mib_text(manifest_bytes),
                                                         group(manifest_bytes)),
        "| (a) adoption of the whole folder | %s |" % seconds_text(adoption.seconds),
        "| (a) peak working set | %s |" % peak_cell(adoption),
        "| (b) quick path | %s |" % spread([r.seconds for r in quick_runs]),
        "| (b) peak working set (largest of the runs) | %s |"
        % "%s (%s the manifest's text)" % (mib_text(quick_peak),
                                           times_text(quick_peak / manifest_bytes)),
        "| (c) update of %s files | %s |" % (sizes[2], seconds_text(update.seconds)),
        "| (c) peak working set | %s |" % peak_cell(update),
        "| reference: the same update in a %s-file client | %s |"
        % (sizes[1], spread([r.seconds for r in references])),
        "| reference: its peak working set | %s |" % mib_text(max(r.peak for r in references)),
        "| **(c) / reference** | **%.2f** (bound: at most %d) |" % (ratio, TIME_BOUND),
        "| **largest peak working set / manifest's text** | **%s** (bound: under %d ×) |"
        % (times_text(worst), MANIFEST_BOUND),
        "| read-back run after (a): `verified-release.json` removed, the rest verified | %s, "
        "peak %s |" % (seconds_text(adoption_check.seconds), mib_text(adoption_check.peak)),
        "| read-back run after (c), the same | %s, peak %s |"
        % (seconds_text(update_check.seconds), mib_text(update_check.peak)),
        "",
        paragraph(
            "Bounds: the update of %s files in the large client at most %d times the reference "
            "(%s: %.2f); every run's peak working set under %d times the manifest's text (%s: "
            "%s at the most, in the %s); every record reads back (holds: every read-back below "
            "passed; a failure would have stopped the benchmark)."
            % (sizes[2], TIME_BOUND, holds(ratio <= TIME_BOUND), ratio, MANIFEST_BOUND,
               holds(worst < MANIFEST_BOUND), times_text(worst),
               max(measured, key=lambda m: m[1].peak)[0])),
        "",
        "Records in `CLIENT/.qorn-launcher` after each run:",
        "",
        "| record | after (a) | after (b) | after (c) | after the reference update |",
        "|---|---|---|---|---|",
    ]
    for name in RECORDS:
        label = name if name != "journal.json" else \
            "journal.json (largest while the run lasted; removed at its end)"
        lines.append("| %s | %s |" % (label, " | ".join(
            record_cell(records, name)
            for records in (adoption_records, quick_records, update_records, small_records))))
    lines += [
        "",
        paragraph(
            "Read back by the launcher itself: every quick run read `verified-release.json` "
            "and held it to `installed.json`'s length and time; after (a) and after (c) a run "
            "with `verified-release.json` removed had to parse and validate `installed.json` "
            "(the %s-file manifest) and find all of its files vouched for in `hash-cache.json` "
            "before it could take the quick path, and it did (result `\"quick\":true`, one "
            "`HEAD` answered 304), and a further quick run read the record it wrote. "
            "`journal.json` is written only by an update that changes files: before the first "
            "file is touched (the operations and the installed manifest's text, %s of it), "
            "again as committed after `installed.json` and the hash cache, then read back at "
            "once by the same run's recovery, which removes it; (c) finished, so that reading "
            "succeeded." % (sizes[0], mib_text(manifest_bytes))),
        "",
    ]
    lines += where_time_goes(adoption, update,
                             min(references, key=lambda r: abs(r.seconds - reference)),
                             manifest_bytes, folders_of(large_changed), folders_of(small_changed))
    lines += timeline_lines(update, "update of the large client (c)")
    return "\n".join(lines)


def folders_of(paths):
    return len({path.rsplit("/", 1)[0] for path in paths if "/" in path})


def where_time_goes(adoption, update, reference, manifest_bytes, folders, reference_folders):
    runs = [("(a) adoption", adoption), ("(c) update", update), ("reference update", reference)]
    seen = [(n, text) for n, text in STAGES if any(n in run.stages for _, run in runs)]
    durations = [run.durations() for _, run in runs]
    peaks = [run.stage_peaks() for _, run in runs]

    def seconds_of(index, number):
        stage_durations_of, before = durations[index]
        return before if number is None else stage_durations_of.get(number)

    def cell(index, number):
        seconds = seconds_of(index, number)
        if seconds is None:
            return "-"
        peak = peaks[index].get(number)
        return "%s, %s" % (seconds_text(seconds), mib_text(peak) if peak else "-")

    def extra(number):
        grown = (seconds_of(1, number) or 0) - (seconds_of(2, number) or 0)
        return ("+" if grown >= 0 else "-") + seconds_text(abs(grown))

    def row(label, number):
        return "| %s | %s | %s |" % (label, " | ".join(cell(i, number) for i in range(len(runs))),
                                     extra(number))

    def stage(number):
        return seconds_text(durations[1][0].get(number, 0))

    def peak_in(number):
        return mib_text(peaks[1].get(number, 0))

    lines = [
        paragraph(
            "Where the time and memory go: each stage from its first report to the next "
            "stage's, with the largest resident size sampled in it (every %d ms), and what the "
            "update of the large client spends in it beyond the reference."
            % (SAMPLE_SECONDS * 1000)),
        "",
        "| stage | %s | (c) beyond the reference |" % " | ".join(label for label, _ in runs),
        "|---|" + "---|" * (len(runs) + 1),
        row("start under Wine, state folder, records read", None),
    ]
    lines += [row(text, number) for number, text in seen]
    lines += ["| whole run | %s | %s |" % (" | ".join(
        "%s, peak %s" % (seconds_text(run.seconds), mib_text(run.peak)) for _, run in runs),
        "+" + seconds_text(update.seconds - reference.seconds))]
    lines += [
        "",
        paragraph(
            "The update's own work, %s files fetched, verified, backed up and moved, costs "
            "about what the reference costs; what it spends beyond that is work over the whole "
            "client. Before the scan reports (%s): the new manifest fetched and parsed (%s of "
            "text), `installed.json` read and parsed, the two file "
            "lists compared, and the hash cache of %s members read, once for the whole run. "
            "The scan (%s): every folder that holds a changed file opened and listed for that "
            "file alone (%s folders of %d entries) and the changed files hashed; the hash "
            "cache, which only lost the changed files' members, is left for the transaction "
            "to write. The download and the verification (%s and %s): the "
            "same transfers and hashes as the reference's, but into %s staging folders "
            "instead of %s, the files the new release drops sought over both manifests, and "
            "the staged files found unchanged since their download's check. The apply "
            "transaction (%s): `journal.json` written twice with the installed manifest's "
            "text inside, `installed.json` written, the run's hash cache updated and written "
            "whole, and a backup folder made for each of the %s folders. The check of the "
            "applied files (%s): the %s folders opened and listed again, their files vouched "
            "for by the cache in memory (neither read nor written). The clean-up (%s): the "
            "staging area walked once, each folder held open, then removed through those "
            "handles. Exit: the memory of two manifests given back."
            % (group(CHANGED), stage(0), mib_text(manifest_bytes), group(FILES), stage(1),
               group(folders),
               FILES_PER_FOLDER, stage(2), stage(4), group(folders), group(reference_folders),
               stage(5), group(folders), stage(6), group(folders), stage(7))),
        "",
        paragraph(
            "Memory: each manifest the run holds keeps its text and its list of files (paths, "
            "digests, addresses and case keys as separate strings; the installed release's "
            "without addresses); its file list is read entry by entry, so no JSON document of "
            "a whole release is built. The update holds the installed manifest and the new "
            "one from the scan to the end, and the hash cache as a map of %s members for the "
            "whole run; the cache and the journal go to their files piece by piece, never "
            "as one text. The largest samples: %s while the manifests are "
            "read, %s in the scan, %s in the apply transaction."
            % (group(FILES), peak_in(0), peak_in(1), peak_in(5))),
        "",
    ]
    return lines


# What an update has done by each moment of its timeline: a stage's first report, or a
# record written or removed (by the how-manieth time), in the order the launcher goes.
UPDATE_STEPS = {
    ("stage", 0): "start under Wine, the state folder read",
    ("stage", 1): "the manifest fetched and parsed, `installed.json` read and parsed, "
                  "the file lists compared, the hash cache read whole, the first folder listed",
    ("stage", 2): "the folders of the changed files listed, the changed files hashed (the hash "
                  "cache not written: it only lost members); the download planned: the staging "
                  "area measured, the files the new release drops sought over both manifests",
    ("stage", 4): "the changed files downloaded into the staging area",
    ("journal.json", "written", 1): "the staged files found unchanged; the transaction planned "
                                    "and the journal written with the installed manifest's text",
    ("stage", 5): "the journal flushed and renamed into place (the first operation's report)",
    ("installed.json", "written", 1): "every changed file backed up and replaced, the release's "
                                      "folders made",
    ("hash-cache.json", "written", 1): "`installed.json` flushed; the run's hash cache updated "
                                       "and written",
    ("journal.json", "written", 2): "the hash cache flushed; the journal written again, as "
                                    "committed",
    ("journal.json", "removed", 1): "the journal flushed, the backups kept as the last ones "
                                    "(those of the update before removed), the transaction's "
                                    "work area removed",
    ("stage", 6): "emptied folders sought over both manifests, the first folder listed",
    ("hash-cache.json", "written", 2): "the changed files' folders listed and their files "
                                       "vouched for, the hash cache's text made",
    ("stage", 7): "the changed files' folders listed again and their files vouched for by the "
                  "cache in memory (the clean-up's first report)",
    ("stage", 9): "the staging and download areas removed, `verified-release.json` written",
    ("exit",): "the result printed, the memory given back, the process ended",
}


def timeline(run):
    """[(seconds, what came to an end)] of a run: its stage reports and record writes."""
    moments = [(seconds, ("stage", number)) for number, seconds in run.stages.items()]
    counts = {}
    for seconds, name, kind in run.events:
        counts[name, kind] = counts.get((name, kind), 0) + 1
        moments.append((seconds, (name, kind, counts[name, kind])))
    moments.sort()
    moments.append((run.seconds, ("exit",)))
    return moments


def timeline_lines(run, label):
    def moment_text(key):
        if key[0] == "stage":
            return '`{"stage":%d}`' % key[1]
        if key[0] == "exit":
            return "exit"
        return "`%s` %s" % (key[0], key[1])

    lines = [
        paragraph(
            "The %s moment by moment: each stage's first report, and each time a record in the "
            "state folder was written (at its file's time, when its bytes went in, before its "
            "flush and rename) or removed (seen by the same %d ms samples), with the time since "
            "the moment before and what the launcher did in it."
            % (label, SAMPLE_SECONDS * 1000)),
        "",
        "| moment | at | since the moment before | what ended there |",
        "|---|---|---|---|",
    ]
    previous = 0.0
    for seconds, key in timeline(run):
        lines.append("| %s | %s | %s | %s |" % (moment_text(key), seconds_text(seconds),
                                                 seconds_text(seconds - previous),
                                                 UPDATE_STEPS.get(key, "-")))
        previous = seconds
    lines.append("")
    return lines


# -- memory of a first installation -----------------------------------------

def install(work, updater, name, files):
    """A first installation of a release of `files` large files, then the quick path of the
    installed client: both runs."""
    folder = os.path.join(work, name)
    os.makedirs(folder)
    source = os.path.join(folder, "release")
    progress("memory: writing a release of %d files of %s" % (files, mib_text(LARGE_FILE_BYTES)))
    write_large_release(source, files)
    served = Served(folder, "host")
    manifest = served.publish(source, name)
    shutil.rmtree(source)
    warm(served.body_files(manifest, [entry["path"] for entry in manifest["files"]]))
    client = os.path.join(folder, "client")
    os.makedirs(client)
    progress("memory: installing it into an empty folder")
    os.sync()
    run = Run(updater, client, served.url, "the installation of " + name)
    expect(run.result == {"downloaded": len(manifest["files"]), "launcherReady": False,
                          "offline": False, "quick": False, "releaseId": name},
           "the installation of %s gave %s" % (name, run.text[-2000:]))
    for entry in manifest["files"]:
        path = os.path.join(client, *entry["path"].split("/"))
        expect(os.path.getsize(path) == entry["size"], "the installation lacks " + entry["path"])
    run.bytes = sum(entry["size"] for entry in manifest["files"])
    run.files = len(manifest["files"])
    quick = Run(updater, client, served.url, "the quick path of " + name)
    expect(quick.result.get("quick") is True, "the installed %s did not take the quick path: %s"
           % (name, quick.text[-2000:]))
    stop_all()
    shutil.rmtree(folder)
    progress("  %s, peak working set %s; quick path %s" % (
        seconds_text(run.seconds), mib_text(run.peak), mib_text(quick.peak)))
    return run, quick


def memory_section(work, updater):
    small, small_quick = install(work, updater, "small", SMALL_LARGE_FILES)
    large, large_quick = install(work, updater, "large", LARGE_FILES)

    def size_text(count):
        return mib_text(count) if count < 1 << 30 else "%.2f GiB" % (count / (1 << 30))

    cases = [(size_text(small.bytes) + " release", small, small_quick),
             (size_text(large.bytes) + " release", large, large_quick)]
    stage_names = dict(STAGES)
    lines = [
        "## Memory of a first installation",
        "",
        paragraph(
            "A release of %d files of %d MiB of random bytes plus `Main.exe` (%s), published "
            "as single files and installed by `Updater.exe --sync` into an empty folder, "
            "against the same installation of a release of %d such files, and against the "
            "quick path of the installed client (the launcher's start, its state and one "
            "question to the host: everything but the installation). Peak working set: the "
            "peak resident memory of the Wine process that runs `Updater.exe` (Linux's "
            "high-water mark, VmHWM, which Wine's GetProcessMemoryInfo reports to a program as "
            "its PeakWorkingSetSize), read by wait4() when the process ends or, where larger, "
            "as sampled every %d ms (the kernel raises the mark lazily); it includes the Wine "
            "libraries loaded in the process."
            % (LARGE_FILES, LARGE_FILE_BYTES // MIB, size_text(large.bytes), SMALL_LARGE_FILES,
               SAMPLE_SECONDS * 1000)),
        "",
        "| measure | %s |" % " | ".join(label for label, _, _ in cases),
        "|---|" + "---|" * len(cases),
        "| files | %s |" % " | ".join(group(run.files) for _, run, _ in cases),
        "| `--sync` into an empty folder | %s |"
        % " | ".join(seconds_text(run.seconds) for _, run, _ in cases),
        "| peak working set | %s |" % " | ".join(mib_text(run.peak) for _, run, _ in cases),
        "| stage with the largest resident size sampled | %s |" % " | ".join(
            stage_names.get(run.peak_stage(), "start") for _, run, _ in cases),
        "| reference: peak working set of the quick path of the installed client | %s |"
        % " | ".join(mib_text(quick.peak) for _, _, quick in cases),
        "| installation above its quick path | %s |"
        % " | ".join(mib_text(run.peak - quick.peak) for _, run, quick in cases),
        "| **peak / the %s's** | 1.00 | **%.2f** |" % (cases[0][0], large.peak / small.peak),
        "",
        paragraph(
            "Bound: the peak working set of the %s release under %d MiB (%s: %s), and flat: a "
            "release %d times larger takes %.2f times the peak of the smaller one."
            % (size_text(large.bytes), MEMORY_BOUND // MIB, holds(large.peak < MEMORY_BOUND),
               mib_text(large.peak), LARGE_FILES // SMALL_LARGE_FILES, large.peak / small.peak)),
        "",
    ]
    return "\n".join(lines)


# -- main -------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("updater", help="Updater.exe")
    parser.add_argument("work", help="a folder for the clients")
    parser.add_argument("--section", choices=("scale", "memory", "all"), default="all")
    parser.add_argument("--smoke", action="store_true",
                        help="a short check of the plumbing: small clients and releases; the "
                             "figures mean little")
    args = parser.parse_args()
    if args.smoke:
        global FILES, REFERENCE_FILES, CHANGED, LARGE_FILES, LARGE_FILE_BYTES, QUICK_RUNS
        global REFERENCE_RUNS
        FILES, REFERENCE_FILES, CHANGED, QUICK_RUNS, REFERENCE_RUNS = 5000, 200, 200, 2, 1
        LARGE_FILES, LARGE_FILE_BYTES = 8, 4 * MIB

    work = work_folder("scale_bench", args.work, (args.updater,))

    updater = os.path.abspath(args.updater)
    try:
        sections = []
        if args.section in ("scale", "all"):
            sections.append(scale_section(work, updater))
        if args.section in ("memory", "all"):
            sections.append(memory_section(work, updater))
    except FAILURES as error:
        sys.exit("scale_bench: " + str(error))
    sys.stdout.write("\n".join(sections))
    sys.stdout.flush()


if __name__ == "__main__":
    main()
