#!/usr/bin/env python3
"""Benchmarks of whole `Updater.exe --sync` runs under Wine, written as markdown.

usage: sync_bench.py UPDATER_EXE TRIVIAL_EXE WORK_FOLDER [--section quick|install|all]
                     [--runs N] [--smoke]

Two sections, each against references measured in the same run:

- the quick path of an up-to-date client of 200 and of 20,000 files, against
  the floor of starting and exiting a trivial Windows program under Wine;
- a first installation into an empty folder of the demo release (with its
  packages and without) and of a 1 GiB release, against curl fetching the same
  files one after the other plus sha256sum of them, with the bytes on the wire
  of both.

WORK_FOLDER holds the client folders; keep it on the Wine prefix's C: drive so
that earlier builds, which refused folders below Unix mount points (Wine shows
them as links), can be measured the same way. A fresh folder is made inside it and removed on exit, with
every server started here. Progress goes to stderr, the markdown to stdout.
The plumbing (host tool, request logs, Updater.exe under Wine) is the tests'
harness, tests/support/harness.py, through bench/sync_support.py.

Bytes on the wire are counted by the native relay `wire_counter` of
scripts/bench, which exports it before running this script; the environment
(WINEPREFIX and the rest) comes from scripts/env.sh. Keep a wineserver running
(`wineserver -p`, as scripts/bench does) so that no run pays for starting it.
"""

import argparse
import json
import os
import shutil
import statistics
import sys
import time

from sync_support import (FAILURES, MIB, QUICK_RUN_TIMEOUT, ROOT, Launcher, Relay, expect, group,
                          free_port, mib_text, paragraph, progress, publish, run, seconds_text,
                          spread, start_server, stop_all, timed, tree_bytes, warm, work_folder)

SAMPLE_RELEASE = os.path.join(ROOT, "scripts", "sample_release.py")

QUICK_SIZES = (200, 20000)
QUICK_FILE_BYTES = 1024
LARGE_FILES = 64
LARGE_FILE_BYTES = 16 << 20

# Upper bounds of single steps: generous, only there so that nothing hangs for ever.
ADOPT_TIMEOUT = 1200
INSTALL_TIMEOUT = 1800
CURL_TIMEOUT = 300
HASH_TIMEOUT = 600



# -- releases ---------------------------------------------------------------

def write_small_release(folders, count):
    """Main.exe and count - 1 files of 1 KiB of random bytes in folders of 200,
    written alike into every folder of folders."""
    def write(relative, data):
        for folder in folders:
            target = os.path.join(folder, relative)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as handle:
                handle.write(data)

    write("Main.exe", os.urandom(4096))
    for index in range(count - 1):
        write(os.path.join("Data", "Nhóm %03d" % (index // 200), "Tệp %05d.bmd" % index),
              os.urandom(QUICK_FILE_BYTES))


def write_demo_release(folder):
    run([sys.executable, SAMPLE_RELEASE, folder], 300, "writing the demo release")


def write_large_release(folder):
    os.makedirs(os.path.join(folder, "Data"))
    with open(os.path.join(folder, "Main.exe"), "wb") as handle:
        handle.write(os.urandom(150000))
    for index in range(LARGE_FILES):
        with open(os.path.join(folder, "Data", "Khối %02d.pak" % index), "wb") as handle:
            for _ in range(LARGE_FILE_BYTES // MIB):
                handle.write(os.urandom(MIB))





# -- up-to-date client ------------------------------------------------------

def quick_section(work, launcher, runs):
    folder = os.path.join(work, "quick")
    os.makedirs(folder)
    clients = {}
    for count in QUICK_SIZES:
        progress("quick path: writing a release of %s files and the same files into a client"
                 % group(count))
        source = os.path.join(folder, "release-%d" % count)
        client = os.path.join(folder, "client-%d" % count)
        write_small_release([source, client], count)
        site = os.path.join(folder, "site-%d" % count)
        port = free_port()
        release_id = "quick-%d" % count
        publish(source, site, "http://127.0.0.1:%d" % port, release_id, 0)
        port, log = start_server(site, folder, "host-%d" % count, port)
        shutil.rmtree(source)
        clients[count] = {"client": client, "url": "http://127.0.0.1:%d/api/manifest" % port,
                          "log": log, "release": release_id, "times": []}

    progress("quick path: the first --sync of each client adopts the written files")
    for count in QUICK_SIZES:
        entry = clients[count]
        seconds, result, _ = launcher.sync(entry["client"], entry["url"], ADOPT_TIMEOUT,
                                           "adopting the %d-file client" % count)
        expect(result.get("releaseId") == entry["release"] and result.get("downloaded") == 0
               and result.get("quick") is False and result.get("offline") is False,
               "adopting the %d-file client gave %s" % (count, json.dumps(result)))
        requests = entry["log"].new(at_least=1)
        expect(not any(r["path"].startswith(("/files/", "/packages/")) for r in requests),
               "adopting the %d-file client downloaded files: %s" % (count, requests))
        entry["adopt"] = seconds
        progress("  %s files adopted in %s" % (group(count), seconds_text(seconds)))

    launcher.floor()  # the first start of a program in a prefix loads more than the later ones
    floors = []
    for round_index in range(runs):
        floors.append(launcher.floor())
        order = QUICK_SIZES if round_index % 2 == 0 else tuple(reversed(QUICK_SIZES))
        for count in order:
            entry = clients[count]
            seconds, result, _ = launcher.sync(entry["client"], entry["url"], QUICK_RUN_TIMEOUT,
                                               "the quick path of the %d-file client" % count)
            expect(result == {"downloaded": 0, "launcherReady": False, "offline": False,
                              "quick": True, "releaseId": entry["release"]},
                   "the %d-file client did not take the quick path: %s"
                   % (count, json.dumps(result)))
            requests = entry["log"].new(at_least=1)
            expect(len(requests) == 1 and requests[0]["method"] == "HEAD"
                   and requests[0]["path"] == "/api/manifest" and requests[0]["status"] == 304,
                   "the quick path of the %d-file client made other requests than one HEAD of the "
                   "manifest: %s" % (count, json.dumps(requests)))
            entry["times"].append(seconds)
        progress("  round %d of %d: floor %s, %s" % (
            round_index + 1, runs, seconds_text(floors[-1]),
            ", ".join("%s files %s" % (group(c), seconds_text(clients[c]["times"][-1]))
                      for c in QUICK_SIZES)))
    stop_all()
    shutil.rmtree(folder)

    small, large = (clients[c] for c in QUICK_SIZES)
    floor = statistics.median(floors)
    small_time = statistics.median(small["times"])
    large_time = statistics.median(large["times"])
    sizes = tuple(group(count) for count in QUICK_SIZES)
    lines = [
        "## Up-to-date client (quick path)",
        "",
        paragraph(
            "`Updater.exe --sync` of a client folder that is already at the host's release, for a "
            "client of %s and one of %s files of 1 KiB (folders of 200 files), each served by the "
            "update-host tool on 127.0.0.1. Wall time of the whole program under Wine, median of "
            "%d runs (fastest to slowest in brackets). Every run was checked: result "
            "`\"quick\":true`, and exactly one request in the host's log, a `HEAD /api/manifest` "
            "answered 304."
            % (sizes + (runs,))),
        "",
        "| measure | value |",
        "|---|---|",
        "| quick path, %s files | %s |" % (sizes[0], spread(small["times"])),
        "| quick path, %s files | %s |" % (sizes[1], spread(large["times"])),
        "| %s files / %s files | %.2f |" % (sizes[1], sizes[0], large_time / small_time),
        "| floor: a trivial Windows program started and exited under Wine | %s |" % spread(floors),
        "| quick path, %s files / floor | %.1f |" % (sizes[0], small_time / floor),
        "| quick path, %s files / floor | %.1f |" % (sizes[1], large_time / floor),
        "| for comparison: the first `--sync` that adopted the written folder, %s / %s files "
        "| %s / %s |" % (sizes + (seconds_text(small["adopt"]), seconds_text(large["adopt"]))),
        "",
        paragraph(
            "Target: the same time for both clients within noise (the quick path reads no client "
            "file and no manifest; it asks the host one question with the verified manifest's "
            "digest). The floor is `bench/trivial.cpp`, built like `Updater.exe` (GUI subsystem, "
            "static runtime); what lies above it is the launcher's own start under Wine (loading "
            "WinHTTP, user32, shell32 and its other imports), reading its state folder and one "
            "loopback round trip. The adoption runs hash every file, so they grow with the client; "
            "they happen once, when a folder is first given to the launcher."),
        "",
    ]
    return "\n".join(lines)


# -- first installation -----------------------------------------------------

# The launcher's stages as it reports them, in the order they come.
STAGES = [
    (8, "recovery of an interrupted transaction"),
    (0, "asking the host, fetching and checking the manifest"),
    (1, "scan of the client folder"),
    (2, "download (packages, or files into the staging area)"),
    (3, "unpacking the packages"),
    (4, "verifying the staged files (SHA-256)"),
    (5, "apply transaction"),
    (6, "check of the applied files"),
    (7, "clean-up of the work areas"),
    (9, "records written, exit"),
]


def stage_durations(stages, total):
    """{stage: seconds from its first report to the next stage's (or the exit)},
    and the time before the first report (the start under Wine)."""
    order = [number for number, _ in STAGES if number in stages]
    durations = {}
    for index, number in enumerate(order):
        following = stages[order[index + 1]] if index + 1 < len(order) else total
        durations[number] = following - stages[number]
    return durations, (stages[order[0]] if order else total)


def curl_one_by_one(files, host_port, folder):
    """One curl per file, in sequence, through a relay of its own:
    (seconds, connections, wire bytes, paths)."""
    target = os.path.join(folder, "curl")
    os.makedirs(target)
    relay = Relay(host_port, folder, "relay-curl")
    paths = []
    start = time.perf_counter()
    for index, entry in enumerate(files):
        path = os.path.join(target, "%05d" % index)
        url = "http://127.0.0.1:%d/files/%s" % (relay.port, entry["sha256"])
        run(["curl", "-sS", "--fail", "-o", path, url], CURL_TIMEOUT, "curl of " + url)
        paths.append(path)
    seconds = time.perf_counter() - start
    connections, wire = relay.finish()
    return seconds, connections, wire, paths


def curl_in_one(files, host_port, folder):
    """One curl process for every file, in sequence, straight to the host over one
    kept-alive connection: seconds."""
    target = os.path.join(folder, "curl-one")
    os.makedirs(target)
    config = os.path.join(folder, "curl-one.config")
    with open(config, "w") as out:
        for index, entry in enumerate(files):
            out.write('url = "http://127.0.0.1:%d/files/%s"\noutput = "%s"\n'
                      % (host_port, entry["sha256"], os.path.join(target, "%05d" % index)))
    seconds, _ = timed(["curl", "-sS", "--fail", "-K", config],
                       CURL_TIMEOUT * 4, "one curl of every file")
    expect(len(os.listdir(target)) == len(files), "one curl of every file fetched fewer files")
    shutil.rmtree(target)
    return seconds


def install_case(work, launcher, name, release_id, write_release, packages):
    folder = os.path.join(work, name)
    os.makedirs(folder)
    source = os.path.join(folder, "release")
    progress("first installation, %s: writing the release" % name)
    write_release(source)
    release_bytes = tree_bytes(source)
    site = os.path.join(folder, "site")
    host_port = free_port()
    relay = Relay(host_port, folder, "relay-launcher")
    progress("first installation, %s: publishing (%s)" % (
        name, "%d packages" % packages if packages else "no packages"))
    manifest = publish(source, site, "http://127.0.0.1:%d" % relay.port, release_id, packages)
    host_port, log = start_server(site, folder, "host", host_port)
    shutil.rmtree(source)  # the site holds every byte
    files = manifest["files"]
    package_bytes = sum(p["size"] for p in manifest.get("packages", []))
    site_files = [os.path.join(site, "public", "files", e["sha256"]) for e in files]
    site_files += [os.path.join(site, "public", "packages", p["sha256"] + ".zip")
                   for p in manifest.get("packages", [])]
    warm(site_files)

    progress("first installation, %s: curl of %d files one by one, sha256sum, then one curl for all"
             % (name, len(files)))
    curl_seconds, curl_connections, curl_wire, paths = curl_one_by_one(files, host_port, folder)
    hash_seconds, out = timed(["sha256sum", "--"] + paths, HASH_TIMEOUT, "sha256sum")
    expect([line.split()[0] for line in out.splitlines()] == [entry["sha256"] for entry in files],
           "curl fetched other bytes than published")
    shutil.rmtree(os.path.join(folder, "curl"))
    curl_one_seconds = curl_in_one(files, host_port, folder)
    log.new(at_least=2 * len(files))
    os.sync()  # the launcher's run starts with nothing of curl's left to write back
    warm(site_files)

    progress("first installation, %s: Updater.exe --sync into an empty folder" % name)
    client = os.path.join(folder, "client")
    os.makedirs(client)
    seconds, result, stages = launcher.sync(
        client, "http://127.0.0.1:%d/api/manifest" % relay.port, INSTALL_TIMEOUT,
        "the installation of " + name)
    expect(result == {"downloaded": len(files), "launcherReady": False, "offline": False,
                      "quick": False, "releaseId": release_id},
           "the installation of %s gave %s" % (name, json.dumps(result)))
    requests = log.new(at_least=1)
    connections, wire = relay.finish()
    for entry in files:
        path = os.path.join(client, *entry["path"].split("/"))
        expect(os.path.isfile(path) and os.path.getsize(path) == entry["size"],
               "the installed client lacks %s or has it at another size" % entry["path"])
    stop_all()
    shutil.rmtree(folder)
    durations, before_first = stage_durations(stages, seconds)
    progress("  %s: --sync %s (%s), curl %s + sha256sum %s, one curl %s" % (
        name, seconds_text(seconds),
        ", ".join("stage %d %s" % (n, seconds_text(d)) for n, d in durations.items()),
        seconds_text(curl_seconds), seconds_text(hash_seconds), seconds_text(curl_one_seconds)))
    return {
        "files": len(files), "bytes": release_bytes, "packages": len(manifest.get("packages", [])),
        "package_bytes": package_bytes, "seconds": seconds, "requests": len(requests),
        "connections": connections, "wire": wire, "curl": curl_seconds, "hash": hash_seconds,
        "curl_one": curl_one_seconds, "curl_connections": curl_connections, "curl_wire": curl_wire,
        "durations": durations, "before_first": before_first,
    }


def install_section(work, launcher):
    launcher.floor()
    floor = statistics.median(launcher.floor() for _ in range(3))
    cases = [
        ("demo release", install_case(work, launcher, "demo", "demo-1", write_demo_release, 2)),
        ("demo release, no packages",
         install_case(work, launcher, "demo-single", "demo-1", write_demo_release, 0)),
        ("1 GiB release" if LARGE_FILES * LARGE_FILE_BYTES == 1 << 30 else
         "%s release" % mib_text(LARGE_FILES * LARGE_FILE_BYTES),
         install_case(work, launcher, "large", "large-1", write_large_release, 0)),
    ]
    demo, demo_single, large = (case for _, case in cases)

    def row(label, cell):
        return "| %s | %s |" % (label, " | ".join(cell(case) for _, case in cases))

    def packaging(case):
        if not case["packages"]:
            return "single files, no packages"
        return "%d ZIP packages (deflated), %s" % (case["packages"],
                                                   mib_text(case["package_bytes"]))

    def wire(count, connections):
        return "%s bytes (%d connection%s)" % (group(count), connections,
                                               "" if connections == 1 else "s")

    def reference(case):
        return case["curl"] + case["hash"]

    def stage_cell(number):
        return lambda c: seconds_text(c["durations"][number]) if number in c["durations"] else "-"

    seen = [(n, text) for n, text in STAGES if any(n in c["durations"] for _, c in cases)]
    lines = [
        "## First installation",
        "",
        paragraph(
            "A release published with the update-host tool, served on 127.0.0.1 and installed by "
            "`Updater.exe --sync` into an empty client folder under Wine: wall time of the whole "
            "program, and bytes on the wire counted by a native relay between the launcher and the "
            "host. The releases: the demo's (`scripts/sample_release.py`) with packages as the "
            "demo publishes it and without, and %d files of %d MiB of random bytes plus "
            "`Main.exe`. Reference: curl fetching the same files one after the other (one curl per "
            "`files/<sha256>` URL, through a relay of its own to the same host), then `sha256sum` "
            "of them all. The host's files were in the page cache for both."
            % (LARGE_FILES, LARGE_FILE_BYTES // MIB)),
        "",
        "| measure | %s |" % " | ".join(label for label, _ in cases),
        "|---|" + "---|" * len(cases),
        row("files, size", lambda c: "%s files, %s" % (group(c["files"]), mib_text(c["bytes"]))),
        row("published as", packaging),
        row("`--sync` into an empty folder", lambda c: seconds_text(c["seconds"])),
        row("requests in the host's log", lambda c: group(c["requests"])),
        row("bytes on the wire, `--sync`", lambda c: wire(c["wire"], c["connections"])),
        row("reference: curl per file, in sequence", lambda c: seconds_text(c["curl"])),
        row("reference: sha256sum of the fetched files", lambda c: seconds_text(c["hash"])),
        row("reference: both", lambda c: seconds_text(reference(c))),
        row("bytes on the wire, curl", lambda c: wire(c["curl_wire"], c["curl_connections"])),
        row("**`--sync` / reference**", lambda c: "**%.2f**" % (c["seconds"] / reference(c))),
        row("bytes on the wire, `--sync` / curl", lambda c: "%.3f" % (c["wire"] / c["curl_wire"])),
        row("for comparison: one curl process for all files (one connection, no relay)",
            lambda c: seconds_text(c["curl_one"])),
        row("`--sync` throughput (release bytes / wall time)",
            lambda c: "%.1f MiB/s" % (c["bytes"] / MIB / c["seconds"])),
        row("where `--sync`'s time goes: start under Wine, state folder, WinHTTP session",
            lambda c: seconds_text(c["before_first"])),
    ]
    lines += [row("... %s" % text, stage_cell(number)) for number, text in seen]
    lines += [
        "",
        paragraph(
            "Stages are timed from the progress lines `--sync` prints, each from its first report "
            "to the next stage's. A trivial Windows program starts and exits under Wine in %s."
            % seconds_text(floor)),
        "",
        paragraph(
            "Packages or not: the demo release is published as the demo publishes it, in %d "
            "compressed packages, so a first installation makes %d requests and moves %.0f times "
            "fewer bytes than curl. Published without packages (second column) it costs one "
            "request per file, four at a time over kept-alive connections (the download stage "
            "takes %s). The reference of one curl per file is mostly the start of %s curl processes "
            "(%.0f ms each), so the demo's ratio says little about transfers."
            % (demo["packages"], demo["requests"], demo["curl_wire"] / demo["wire"],
               seconds_text(demo_single["durations"].get(2, 0)), group(demo["files"]),
               1000 * demo["curl"] / demo["files"])),
        "",
        paragraph(
            "The 1 GiB release is random bytes, which no compression shrinks, and a package would "
            "be written to disk twice (the archive, then its files), so it is published as single "
            "files. The launcher does more than the reference: each download is flushed, read "
            "back and its SHA-256 checked as it lands (the download stage, %s), the check before "
            "the transaction finds every staged file unchanged since then by its size and time "
            "(%s), and the transaction moves "
            "each into place behind its flushed journal; curl and sha256sum flush nothing. The "
            "transfer goes through Wine's WinHTTP, which reads at a fraction of curl's speed over "
            "loopback on this machine (the file download above measures it: a bare WinHTTP read "
            "loop is no faster), and four transfers at once gain little on two cores shared with "
            "the host tool and the relay. curl through its relay read %.0f MiB/s, bound by the "
            "relay; one curl process straight to the host %.0f MiB/s. So the large release's ratio "
            "is set by Wine's WinHTTP. On the wire the launcher adds "
            "%s bytes to curl's: its manifest and the headers of its requests."
            % (seconds_text(large["durations"].get(2, 0)),
               seconds_text(large["durations"].get(4, 0)),
               large["bytes"] / MIB / large["curl"], large["bytes"] / MIB / large["curl_one"],
               group(large["wire"] - large["curl_wire"]))),
        "",
    ]
    return "\n".join(lines)


# -- an update that moves files ---------------------------------------------

def move_section(work, launcher):
    """The large release installed, then a release that moves its folder: the update must
    take every byte from the client folder."""
    folder = os.path.join(work, "move")
    os.makedirs(folder)
    source = os.path.join(folder, "release")
    progress("moved folder: writing and installing the large release")
    write_large_release(source)
    site, host_port = os.path.join(folder, "site"), free_port()
    relay = Relay(host_port, folder, "relay-install")
    base_url = "http://127.0.0.1:%d" % relay.port
    publish(source, site, base_url, "move-1", 0)
    host_port, log = start_server(site, folder, "host", host_port)
    client = os.path.join(folder, "client")
    os.makedirs(client)
    url = base_url + "/api/manifest"
    launcher.sync(client, url, INSTALL_TIMEOUT, "installing the release to move")
    relay.finish()
    log.new(at_least=1)

    os.rename(os.path.join(source, "Data"), os.path.join(source, "Dữ liệu"))
    manifest = publish(source, site, base_url, "move-2", 0)
    shutil.rmtree(source)
    manifest_bytes = os.path.getsize(os.path.join(site, "public", "api", "manifest"))
    relay = Relay(host_port, folder, "relay-move", relay.port)  # the address the client knows
    progress("moved folder: Updater.exe --sync of the release that moves it")
    seconds, result, _ = launcher.sync(client, url, INSTALL_TIMEOUT, "the update that moves the folder")
    expect(result.get("releaseId") == "move-2", "the update that moves the folder gave %s" % json.dumps(result))
    connections, wire = relay.finish()
    requests = log.new(at_least=1)
    moved = [e for e in manifest["files"] if e["path"].startswith("Dữ liệu/")]
    for entry in moved:
        path = os.path.join(client, *entry["path"].split("/"))
        expect(os.path.getsize(path) == entry["size"], "the moved client lacks " + entry["path"])
    expect(not os.path.exists(os.path.join(client, "Data")), "the old folder stayed")
    stop_all()
    shutil.rmtree(folder)
    moved_bytes = sum(e["size"] for e in moved)
    progress("  moved %s in %s; %s bytes on the wire" % (mib_text(moved_bytes), seconds_text(seconds), group(wire)))
    return "\n".join([
        "## An update that moves a folder",
        "",
        paragraph(
            "The 1 GiB release of the first installation, installed, then published again with its "
            "folder `Data` renamed to `Dữ liệu`: %d files, %s, at new paths with the same bytes. "
            "Every byte must come from the client folder; only the manifest crosses the wire."
            % (len(moved), mib_text(moved_bytes))),
        "",
        "| measure | value |",
        "|---|---|",
        "| `--sync` of the release that moves the folder | %s |" % seconds_text(seconds),
        "| requests in the host's log | %s |" % ", ".join(
            "%s %s" % (r.get("method", "GET"), r["path"]) for r in requests),
        "| bytes on the wire (both directions, %d connection%s) | %s |" % (
            connections, "" if connections == 1 else "s", group(wire)),
        "| reference: the manifest's text | %s bytes |" % group(manifest_bytes),
        "| beyond the manifest: request and response headers | %s bytes |" % group(wire - manifest_bytes),
        "",
        "Target: no file body on the wire, only the manifest and the headers.",
        "",
    ])


# -- main -------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("updater", help="Updater.exe")
    parser.add_argument("trivial", help="the trivial program of bench/trivial.cpp")
    parser.add_argument("work", help="a folder for the clients (the Wine prefix's C: drive for "
                                     "launchers that refuse links above a client folder)")
    parser.add_argument("--section", choices=("quick", "install", "move", "all"), default="all")
    parser.add_argument("--runs", type=int, default=9,
                        help="quick-path runs per client (default 9)")
    parser.add_argument("--smoke", action="store_true",
                        help="a short check of the plumbing: small clients and releases, one "
                             "quick-path run; the figures mean little")
    args = parser.parse_args()
    if args.smoke:
        global QUICK_SIZES, LARGE_FILES, LARGE_FILE_BYTES
        QUICK_SIZES, LARGE_FILES, LARGE_FILE_BYTES, args.runs = (200, 1000), 4, MIB, 1
    if args.section != "quick" and "BASH_FUNC_wire_counter%%" not in os.environ:
        sys.exit("sync_bench: the wire_counter relay is not exported; run me from scripts/bench")

    work = work_folder("sync_bench", args.work, (args.updater, args.trivial))

    launcher = Launcher(os.path.abspath(args.updater), os.path.abspath(args.trivial))
    try:
        sections = []
        if args.section in ("quick", "all"):
            sections.append(quick_section(work, launcher, args.runs))
        if args.section in ("install", "all"):
            sections.append(install_section(work, launcher))
        if args.section in ("move", "all"):
            sections.append(move_section(work, launcher))
    except FAILURES as error:
        sys.exit("sync_bench: " + str(error))
    sys.stdout.write("\n".join(sections))
    sys.stdout.flush()


if __name__ == "__main__":
    main()
