#!/usr/bin/env python3
"""First installations by `Updater.exe --sync` over lines of real speeds, written as markdown.

usage: line_bench.py UPDATER_EXE TRIVIAL_EXE WORK_FOLDER [--lines MBIT/MS,...] [--smoke]

Every release is served by the update-host tool on 127.0.0.1 behind the line
relay of bench/line_relay.py, which paces each direction to the line's rate
and holds it back by half its round-trip time. For each line (by default
100 Mbit/s with 40 ms and 1 Gbit/s with 10 ms) the launcher installs into an
empty folder:

- a 1 GiB release (64 files of 16 MiB of random bytes and Main.exe, the large
  release of bench/sync_bench.py), published as single files;
- a release of 20,000 files of 1 KiB (the small release of the quick-path
  benchmark), once published as single files and once with 4 packages.

References, measured in the same run: curl fetching the same files/<sha256>
URLs one after the other through the same relay (one curl process over one
kept-alive connection), and the line itself: the bytes the launcher must fetch
(manifest and bodies) over the rate, plus three round trips (connect, the
manifest, the bodies). Before the lines, the relay at "unlimited" is set
against curl straight to the host, to show that it does not slow a 1 Gbit/s
line.

WORK_FOLDER holds the sites and client folders (the Wine prefix's C: drive, as
for bench/sync_bench.py); a fresh folder is made inside it and removed on exit,
with every server started here. Progress goes to stderr, the markdown to
stdout. The environment (WINEPREFIX and the rest) comes from scripts/env.sh;
keep a wineserver running (`wineserver -p`, as scripts/bench does).
"""

import argparse
import collections
import json
import os
import shutil
import statistics
import subprocess
import sys

import sync_bench
from sync_bench import STAGES, stage_durations, write_large_release, write_small_release
from sync_support import (FAILURES, MIB, Launcher, expect, free_port, group, harness, mib_text,
                          paragraph, publish, seconds_text, spread, start, start_server, stop,
                          timed, wait_for_file, warm, work_folder)

LINE_RELAY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "line_relay.py")

LINES = ((100, 40), (1000, 10))  # Mbit/s, round-trip ms
SMALL_FILES = 20000
PACKAGES = 4  # as many as the launcher's connections
LINE_ROUND_TRIPS = 3  # connect, the manifest, the bodies
BOUND_SHARE = 0.90
RELAY_CHECK_RUNS = 3

# Upper bounds of single steps: generous, only there so that nothing hangs for ever.
INSTALL_TIMEOUT = 3600
CURL_TIMEOUT = 3600


def progress(text):
    print("line_bench: " + text, file=sys.stderr, flush=True)


def line_name(line):
    mbit, rtt = line
    rate = "%g Gbit/s" % (mbit / 1000) if mbit >= 1000 else "%g Mbit/s" % mbit
    return "%s, %g ms" % (rate, rtt)


def percent(share):
    return ("%.0f %%" if share >= 0.095 else "%.1f %%") % (100 * share)


def sentences(parts):
    return " ".join(part[:1].upper() + part[1:] + "." for part in parts)


def rate_text(count, seconds):
    bits = count * 8 / seconds
    if bits >= 1e9:
        return "%.2f Gbit/s" % (bits / 1e9)
    return "%.1f Mbit/s" % (bits / 1e6)


# -- sites and the relay ----------------------------------------------------

class Site:
    """A release published for a relay port chosen in advance and served by the
    host tool; every line's relay takes that port in turn."""

    def __init__(self, work, name, label, source, packages):
        self.name, self.label, self.packages = name, label, packages
        self.folder = os.path.join(work, name)
        os.makedirs(self.folder)
        self.relay_port = free_port()
        site = os.path.join(self.folder, "site")
        progress("%s: publishing (%s)" % (label, "%d packages" % packages if packages
                                          else "single files"))
        self.release_id = name + "-1"
        self.manifest = publish(source, site, "http://127.0.0.1:%d" % self.relay_port,
                                self.release_id, packages)
        self.files = self.manifest["files"]
        self.bytes = sum(e["size"] for e in self.files)
        bodies = self.manifest.get("packages") or self.files
        self.manifest_bytes = os.path.getsize(os.path.join(site, "public", "api", "manifest"))
        self.need = self.manifest_bytes + sum(body["size"] for body in bodies)
        self.bodies = [os.path.join(site, "public", "files", e["sha256"]) for e in self.files]
        self.bodies += [os.path.join(site, "public", "packages", p["sha256"] + ".zip")
                        for p in self.manifest.get("packages", [])]
        self.host_port, self.log = start_server(site, self.folder, "host")
        self.url = "http://127.0.0.1:%d/api/manifest" % self.relay_port

    def line_reference(self, line):
        mbit, rtt = line
        return self.need * 8 / (mbit * 1e6) + LINE_ROUND_TRIPS * rtt / 1000

    def file_urls(self, port):
        return ["http://127.0.0.1:%d/files/%s" % (port, e["sha256"]) for e in self.files]


class LineRelay:
    """bench/line_relay.py in a process of its own, in front of a host."""

    def __init__(self, host_port, line, port, folder, name):
        self.port_file = os.path.join(folder, name + ".port")
        self.counts_file = os.path.join(folder, name + ".json")
        for path in (self.port_file, self.counts_file):
            if os.path.exists(path):
                os.remove(path)
        rate, rtt = ("unlimited", 0) if line is None else line
        # At a raised priority where allowed (nice goes on without it otherwise): the
        # line stands for a network, which other work on this machine would not slow.
        self.process = start(["nice", "-n", "-5", sys.executable, LINE_RELAY, str(host_port),
                              "--rate", str(rate), "--rtt", str(rtt), "--port", str(port),
                              "--port-file", self.port_file, "--counts-file", self.counts_file])
        self.port = int(wait_for_file(self.port_file, "the line relay's port file", self.process))
        self.nice = os.getpriority(os.PRIO_PROCESS, self.process.pid)

    def cpu_seconds(self):
        """User and system time the relay has used so far."""
        with open("/proc/%d/stat" % self.process.pid) as src:
            fields = src.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def finish(self):
        """Stops the relay: (connections, bytes in both directions, CPU seconds)."""
        cpu = self.cpu_seconds()
        stop(self.process)
        counts = json.loads(wait_for_file(self.counts_file, "the line relay's counts"))
        return len(counts), sum(up + down for up, down in counts), cpu


# -- the clients ------------------------------------------------------------

def curl(urls, size, folder, parallel=False, to_disk=True):
    """One curl process fetching urls, one after the other over a kept-alive
    connection (or four at a time), into files or to /dev/null: seconds. size is
    the bytes they hold in all."""
    target = os.path.join(folder, "curl")
    os.makedirs(target)
    config = os.path.join(folder, "curl.config")
    with open(config, "w") as out:
        for index, url in enumerate(urls):
            out.write('url = "%s"\noutput = "%s"\n' % (
                url, os.path.join(target, "%05d" % index) if to_disk else os.devnull))
    options = ["--parallel", "--parallel-max", "4"] if parallel else []
    seconds, out = timed(["curl", "-sS", "--fail", "--noproxy", "*", "--write-out",
                          "%{size_download}\\n"] + options + ["-K", config],
                         CURL_TIMEOUT, "curl of %d files" % len(urls))
    shutil.rmtree(target)
    os.remove(config)
    sizes = [int(line) for line in out.split()]
    expect(len(sizes) == len(urls) and sum(sizes) == size,
           "curl fetched %d files of %s bytes, not %d of %s"
           % (len(sizes), group(sum(sizes)), len(urls), group(size)))
    return seconds


def wine_ready(launcher):
    """A wineserver with Wine's services running, so that no run pays for their start:
    the one scripts/bench starts ends five minutes after the last Wine program, and curl's
    long runs between the launcher's outlast that."""
    quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL,
             "stderr": subprocess.DEVNULL}
    subprocess.run(["wineserver", "-p300"], **quiet)  # one that already runs is kept as it is
    # Services started by a program whose output is read would hold its pipes open.
    subprocess.run(["wine", "cmd", "/c", "exit"], timeout=120, **quiet)
    launcher.floor()


def install(launcher, site, folder):
    """`Updater.exe --sync` of an empty folder: (seconds, stage times, requests)."""
    client = os.path.join(folder, "client")
    os.makedirs(client)
    site.log.new()
    done = harness.Updater(client, site.url, "--skip-launcher-update",
                           exe=launcher.updater).finish(INSTALL_TIMEOUT)
    what = "the installation of %s" % site.label
    expect(done.returncode == 0, "%s failed with status %d: %s"
           % (what, done.returncode, done.text[-2000:]))
    expect(done.result == {"downloaded": len(site.files), "launcherReady": False,
                           "offline": False, "quick": False, "releaseId": site.release_id},
           "%s gave %s" % (what, done.text[-2000:]))
    requests = site.log.new(at_least=1)
    for entry in site.files:
        path = os.path.join(client, *entry["path"].split("/"))
        expect(os.path.isfile(path) and os.path.getsize(path) == entry["size"],
               "%s left no %s of its size" % (what, entry["path"]))
    shutil.rmtree(client)
    return done.seconds, done.stage_times, len(requests)


# -- the measurements -------------------------------------------------------

def relay_check(site, folder):
    """curl of the 1 GiB release to /dev/null straight from the host and through
    the relay at "unlimited", one file after the other and four at a time, each
    RELAY_CHECK_RUNS times in turns: {(way, parallel): [seconds]}; the relay's CPU
    time under "relay cpu"."""
    progress("the relay itself: curl of %s straight and through the relay" % mib_text(site.bytes))
    figures = collections.defaultdict(list)
    for parallel in (False, True):
        for _ in range(RELAY_CHECK_RUNS):
            os.sync()
            warm(site.bodies)
            figures[("direct", parallel)].append(curl(site.file_urls(site.host_port),
                                                      site.bytes, folder, parallel,
                                                      to_disk=False))
            relay = LineRelay(site.host_port, None, site.relay_port, folder, "relay-unlimited")
            figures[("relay", parallel)].append(curl(site.file_urls(relay.port),
                                                     site.bytes, folder, parallel,
                                                     to_disk=False))
            figures[("relay cpu", parallel)].append(relay.finish()[2])
    progress("  " + ", ".join("%s%s %s" % (way, " x4" if parallel else "", spread(values))
                              for (way, parallel), values in figures.items()))
    figures["nice"] = relay.nice
    return figures


def line_case(launcher, site, line, folder, with_curl):
    """One installation over the line, and curl over it when asked."""
    progress("%s, %s: Updater.exe --sync into an empty folder" % (line_name(line), site.label))
    warm(site.bodies)
    wine_ready(launcher)
    os.sync()  # nothing of earlier runs left to write back
    relay = LineRelay(site.host_port, line, site.relay_port, folder, "relay")
    seconds, stages, requests = install(launcher, site, folder)
    connections, wire, cpu = relay.finish()
    case = {"seconds": seconds, "stages": stages, "requests": requests,
            "connections": connections, "wire": wire, "relay_cpu": cpu}
    progress("  --sync %s, %d requests on %d connections, relay CPU %s"
             % (seconds_text(seconds), requests, connections, seconds_text(cpu)))
    if with_curl:
        progress("%s, %s: curl of %s files one after the other"
                 % (line_name(line), site.label, group(len(site.files))))
        os.sync()
        warm(site.bodies)
        relay = LineRelay(site.host_port, line, site.relay_port, folder, "relay-curl")
        case["curl"] = curl(site.file_urls(relay.port), site.bytes, folder)
        case["curl_connections"], case["curl_wire"], _ = relay.finish()
        site.log.new(at_least=len(site.files))
        progress("  curl %s" % seconds_text(case["curl"]))
    return case


# -- the section ------------------------------------------------------------

def section(sites, lines, check, results, floor, loads):
    large, small, packed = sites
    out = [
        "## First installation over real line speeds",
        "",
        paragraph(
            "The releases of the first installation above, and one of %s small files, installed by "
            "`Updater.exe --sync CLIENT URL --skip-launcher-update` into an empty folder through "
            "`bench/line_relay.py`: a relay on 127.0.0.1 in front of the update-host tool that "
            "paces each direction to the line's rate (one link per direction, shared by all "
            "connections) and delays it by half the round-trip time, and holds back the first "
            "bytes of each connection one more round trip for the TCP handshake. The rate counts "
            "the bytes TCP carries; the relay ends TCP on both sides, so slow start and losses "
            "are not part of the line. Wall time of the whole program under Wine; the host's files "
            "were in the page cache. The relay ran at nice %d%s. The machine's load average was "
            "%.1f when this section began and %.1f when it ended (%d cores, shared with other "
            "work)." % (group(len(small.files)), check["nice"],
                        " (a raised priority: the line stands for a network, which other work "
                        "on this machine would not slow)" if check["nice"] < 0 else "",
                        loads[0], loads[1], os.cpu_count())),
        "",
        paragraph(
            "References from the same run: curl fetching every `files/<sha256>` URL of the "
            "release one after the other through the same relay (one curl process, one kept-alive "
            "connection: one round trip per file and no process starts), and the line itself: "
            "the bytes the launcher has to fetch (manifest and bodies) over the rate, plus %d "
            "round trips (connect, manifest, bodies). The packaged release has the same files as "
            "the single-file one, so curl's figure serves both." % LINE_ROUND_TRIPS),
        "",
        "### The relay itself",
        "",
        paragraph(
            "curl of the %s release (%d files) to /dev/null, straight from the host and through "
            "the relay with no rate and no delay, one file after the other and four at a time; "
            "median of %d runs each, taken in turns (fastest to slowest in brackets)."
            % (mib_text(large.bytes), len(large.files), RELAY_CHECK_RUNS)),
        "",
        "| curl | straight from the host | through the relay at \"unlimited\" | time, relay / "
        "straight | relay's CPU time a run |",
        "|---|---|---|---|---|",
    ]
    for parallel, label in ((False, "one file after the other"), (True, "four at a time")):
        direct = statistics.median(check[("direct", parallel)])
        relayed = statistics.median(check[("relay", parallel)])
        out.append("| %s | %s, %s | %s, %s | %.2f | %s |" % (
            label, spread(check[("direct", parallel)]), rate_text(large.bytes, direct),
            spread(check[("relay", parallel)]), rate_text(large.bytes, relayed),
            relayed / direct, seconds_text(statistics.median(check[("relay cpu", parallel)]))))
    slowest = max(max(check[("relay", p)]) for p in (False, True))
    out += [
        "",
        paragraph(
            "Target: the relay carries well above 1 Gbit/s, so that it is not what limits the "
            "fastest line. Its slowest run above carried %s, %.1f times the 1 Gbit/s line."
            % (rate_text(large.bytes, slowest),
               large.bytes * 8 / slowest / 1e9)),
        "",
    ]

    columns = [(large, "1 GiB release" if large.bytes > 1000 * MIB else
                "%s release" % mib_text(large.bytes)),
               (small, "%s files, single" % group(len(small.files))),
               (packed, "%s files, %d packages" % (group(len(packed.files)), packed.packages))]
    for line in lines:
        cases = [results[(site.name, line)] for site, _ in columns]
        curl_of = [results[(large.name, line)], results[(small.name, line)],
                   results[(small.name, line)]]

        def row(label, cell):
            return "| %s | %s |" % (label, " | ".join(cell(site, case, c)
                                                     for (site, _), case, c in
                                                     zip(columns, cases, curl_of)))

        seen = [(n, text) for n, text in STAGES if any(n in c["stages"] for c in cases)]
        durations = [stage_durations(c["stages"], c["seconds"]) for c in cases]
        out += [
            "### %s" % line_name(line),
            "",
            "| measure | %s |" % " | ".join(label for _, label in columns),
            "|---|---|---|---|",
            row("files, size", lambda s, c, k: "%s files, %s" % (group(len(s.files)),
                                                                  mib_text(s.bytes))),
            row("to fetch: manifest and bodies", lambda s, c, k: "%s bytes (%s)" % (
                group(s.need), "%d packages" % s.packages if s.packages else "single files")),
            row("`--sync` into an empty folder", lambda s, c, k: seconds_text(c["seconds"])),
            row("line: bytes / rate + %d round trips" % LINE_ROUND_TRIPS,
                lambda s, c, k: seconds_text(s.line_reference(line))),
            row("**share of the line rate (line / `--sync`)**",
                lambda s, c, k: "**%s**" % percent(s.line_reference(line) / c["seconds"])),
            row("reference: curl of every file, one after the other",
                lambda s, c, k: seconds_text(k["curl"])),
            row("**`--sync` / curl**", lambda s, c, k: "**%.2f**" % (c["seconds"] / k["curl"])),
            row("curl's share of the line rate",
                lambda s, c, k: percent(s.line_reference(line) / k["curl"])
                if s is not packed else "-"),
            row("requests in the host's log, connections", lambda s, c, k: "%s, %d" % (
                group(c["requests"]), c["connections"])),
            row("bytes on the wire (both directions)", lambda s, c, k: group(c["wire"])),
            row("relay's CPU time during `--sync`", lambda s, c, k: seconds_text(c["relay_cpu"])),
            row("where `--sync`'s time goes: start under Wine, state folder, WinHTTP session",
                lambda s, c, k: seconds_text(stage_durations(c["stages"], c["seconds"])[1])),
        ]
        for number, text in seen:
            out.append("| ... %s | %s |" % (text, " | ".join(
                seconds_text(d[0][number]) if number in d[0] else "-" for d in durations)))
        out.append("")

    out += bounds(sites, lines, results)
    out += [paragraph(text) + "\n" for text in explanations(sites, lines, results, floor)]
    return "\n".join(out)


def bounds(sites, lines, results):
    large, small, packed = sites

    def share(line):
        value = large.line_reference(line) / results[(large.name, line)]["seconds"]
        return "%.0f %% (%s)" % (100 * value, "holds" if value >= BOUND_SHARE else "does not hold")

    def faster(site, line):
        value = results[(site.name, line)]["seconds"] / results[(small.name, line)]["curl"]
        return "%.2f of curl's time (%s)" % (value, "holds" if value < 1 else "does not hold")

    out = [
        "### Bounds",
        "",
        "| bound | %s |" % " | ".join(line_name(line) for line in lines),
        "|---|" + "---|" * len(lines),
        "| 1 GiB release: at least %.0f %% of the line rate | %s |" % (
            100 * BOUND_SHARE, " | ".join(share(line) for line in lines)),
        "| %s files, single: faster than curl one after the other | %s |" % (
            group(len(small.files)), " | ".join(faster(small, line) for line in lines)),
        "| %s files, %d packages: faster than curl one after the other | %s |" % (
            group(len(packed.files)), packed.packages,
            " | ".join(faster(packed, line) for line in lines)),
        "",
    ]
    return out


def explanations(sites, lines, results, floor):
    large, small, packed = sites
    texts = []
    parts = []
    for line in lines:
        case = results[(large.name, line)]
        durations, before = stage_durations(case["stages"], case["seconds"])
        download = durations.get(2, 0)
        after = case["seconds"] - before - sum(durations.get(n, 0) for n in (8, 0, 1, 2))
        bodies = large.bytes * 8 / (line[0] * 1e6)
        parts.append(
            "at %s the download stage took %s where the line needs %s for the bodies (%s of "
            "the rate while it ran), and the stages after it took %s, %s of it the check of "
            "the staged files; %.0f %% of the line rate would have asked "
            "for the whole run to end within %s"
            % (line_name(line), seconds_text(download), seconds_text(bodies),
               percent(bodies / download) if download else "-", seconds_text(after),
               seconds_text(durations.get(4, 0)), 100 * BOUND_SHARE,
               seconds_text(large.line_reference(line) / BOUND_SHARE)))
    texts.append(
        "Where the 1 GiB release's time goes. " + sentences(parts) + " Each file is flushed, "
        "read back and hashed as it lands, on the connection that fetched it, which waits "
        "meanwhile; the check before the transaction hashes only a staged file whose size or "
        "time changed since (none here), and the transaction moves each file into place. "
        "What follows the download costs about the same on every line, so the launcher's "
        "share of the line rate falls as the line gets faster. The transfer itself goes "
        "through Wine's WinHTTP and its SHA-256 through Wine's CNG, on two cores shared with "
        "the host "
        "tool, the relay and other work; the file download section above measures WinHTTP's "
        "own reading over loopback. curl one after the other pays a round trip per file (%d "
        "files) on top of the bytes." % len(large.files))
    parts = []
    for line in lines:
        case = results[(small.name, line)]
        durations, before = stage_durations(case["stages"], case["seconds"])
        download = durations.get(2, 0)
        per_file = 1000 * download * case["connections"] / len(small.files)
        curl_per_file = 1000 * results[(small.name, line)]["curl"] / len(small.files)
        parts.append(
            "at %s the download stage took %s, %.1f ms a file on each of %d connections "
            "against the round trip of %g ms, so about %.1f ms of the launcher's own work a "
            "file; the stages after it took %s, and curl needed %.1f ms a file, %.1f ms above "
            "the round trip"
            % (line_name(line), seconds_text(download), per_file, case["connections"], line[1],
               per_file - line[1],
               seconds_text(case["seconds"] - before - download - durations.get(0, 0)
                            - durations.get(1, 0) - durations.get(8, 0)),
               curl_per_file, curl_per_file - line[1]))
    texts.append(
        "%s single files: the launcher asks for one file after the other on each of its "
        "connections, so every file costs a round trip there, plus its own work for the file "
        "under Wine (creating, writing and flushing it, then hashing it); four connections "
        "share out the round trips, where curl pays one per file. "
        % group(len(small.files)) + sentences(parts))
    parts = []
    for line in lines:
        case = results[(packed.name, line)]
        durations, _ = stage_durations(case["stages"], case["seconds"])
        largest = max(durations, key=durations.get)
        parts.append("at %s the download took %s, unpacking %s (%.1f ms a file), verifying %s "
                     "and the apply transaction %s (the largest stage: %s)" % (
                         line_name(line), seconds_text(durations.get(2, 0)),
                         seconds_text(durations.get(3, 0)),
                         1000 * durations.get(3, 0) / len(packed.files),
                         seconds_text(durations.get(4, 0)), seconds_text(durations.get(5, 0)),
                         dict(STAGES)[largest].split(" (")[0].lower()))
    texts.append(
        "With %d packages the transfer is %d requests. %s What remains is writing, hashing "
        "and moving %s files under Wine, which does not depend on the line. A trivial Windows "
        "program starts and exits under Wine in %s."
        % (packed.packages, len(packed.manifest["packages"]) + 1, sentences(parts),
           group(len(packed.files)), seconds_text(floor)))
    return texts


def publish_sites(work):
    """The large release, and the small one published twice (single files, packages)."""
    source = os.path.join(work, "release")
    progress("writing the large release")
    write_large_release(source)
    large = Site(work, "large", "the large release", source, 0)
    shutil.rmtree(source)
    progress("writing the release of %s files" % group(SMALL_FILES))
    write_small_release([source], SMALL_FILES)
    small = Site(work, "small", "%s files, single" % group(SMALL_FILES), source, 0)
    packed = Site(work, "packed", "%s files, %d packages" % (group(SMALL_FILES), PACKAGES),
                  source, PACKAGES)
    shutil.rmtree(source)
    return large, small, packed


# -- main -------------------------------------------------------------------

def parse_lines(text):
    lines = []
    for item in text.split(","):
        mbit, _, rtt = item.partition("/")
        try:
            lines.append((float(mbit), float(rtt)))
        except ValueError:
            raise argparse.ArgumentTypeError("a line is MBIT/MS, e.g. 100/40") from None
        if lines[-1][0] <= 0 or lines[-1][1] < 0:
            raise argparse.ArgumentTypeError("a line needs a positive rate and a round trip")
    return tuple((int(m) if m == int(m) else m, int(r) if r == int(r) else r) for m, r in lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("updater", help="Updater.exe")
    parser.add_argument("trivial", help="the trivial program of bench/trivial.cpp")
    parser.add_argument("work", help="a folder for the sites and clients")
    parser.add_argument("--lines", type=parse_lines, default=LINES, metavar="MBIT/MS,...",
                        help="the lines to measure (default 100/40,1000/10)")
    parser.add_argument("--smoke", action="store_true",
                        help="a short check of the plumbing: a 4 MiB release and one of 200 "
                             "files; the figures mean little")
    args = parser.parse_args()
    global SMALL_FILES
    if args.smoke:
        SMALL_FILES = 200
        sync_bench.LARGE_FILES, sync_bench.LARGE_FILE_BYTES = 4, MIB

    work = work_folder("line_bench", args.work, (args.updater, args.trivial))

    launcher = Launcher(os.path.abspath(args.updater), os.path.abspath(args.trivial))
    loads = [os.getloadavg()[0]]
    try:
        wine_ready(launcher)
        floor = statistics.median(launcher.floor() for _ in range(3))
        sites = publish_sites(work)
        check = relay_check(sites[0], work)
        results = {}
        for line in args.lines:
            for site in sites:
                results[(site.name, line)] = line_case(launcher, site, line, work,
                                                       with_curl=site is not sites[2])
        loads.append(os.getloadavg()[0])
        markdown = section(sites, args.lines, check, results, floor, loads)
    except FAILURES as error:
        sys.exit("line_bench: " + str(error))
    sys.stdout.write(markdown)
    sys.stdout.flush()


if __name__ == "__main__":
    main()
