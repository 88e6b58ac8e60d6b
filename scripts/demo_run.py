#!/usr/bin/env python3
"""The demo's words: runs one `Updater.exe --sync` and tells what happened, or
checks a client folder against a release byte for byte.

usage: demo_run.py run REQUEST_LOG COMMAND...
       demo_run.py check CLIENT_FOLDER RELEASE_FOLDER RELEASE_ID
"""
import json
import os
import subprocess
import sys
import time

STAGES = {
    0: "asking the host for its release",
    1: "checking the client folder",
    2: "downloading and verifying data",
    3: "extracting packages",
    4: "verifying data before installing",
    5: "backing up and replacing files",
    6: "checking the client again",
    7: "cleaning temporary data",
    8: "recovering an interrupted update",
    9: "ready to play",
}


def plural(count, word):
    return "%d %s%s" % (count, word, "" if count == 1 else "s")


def describe(line):
    """A --sync output line with its meaning beside it."""
    value = json.loads(line)
    if "stage" in value:
        return STAGES.get(value["stage"], "")
    if "error" in value:
        return "the run failed"
    if value.get("launcherReady"):
        return "a newer launcher is ready; the client update waits for the hand-over"
    how = "offline, the verified release" if value["offline"] else (
        "the host confirmed the verified release" if value["quick"] else
        "%s fetched and installed" % plural(value["downloaded"], "file"))
    return "release %s: %s" % (value["releaseId"], how)


def requests_in_words(entries):
    heads = [e for e in entries if e["method"] == "HEAD"]
    gets = [e for e in entries if e["method"] != "HEAD"]
    parts = ["a HEAD of the manifest answered %d" % e["status"] for e in heads]
    if any(e["path"].endswith("/api/manifest") for e in gets):
        parts.append("the manifest")
    for folder, word in (("/files/", "file"), ("/packages/", "ZIP package"), ("/launchers/", "launcher build")):
        count = sum(1 for e in gets if folder in e["path"])
        if count:
            parts.append(plural(count, word))
    listed = ", ".join(parts[:-1]) + " and " + parts[-1] if len(parts) > 1 else "".join(parts)
    return "%s: %s" % (plural(len(entries), "request"), listed or "none")


def run(log, command):
    seen = sum(1 for _ in open(log, encoding="utf-8"))
    start = time.monotonic()
    result = subprocess.run(command, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    elapsed = time.monotonic() - start
    for line in result.stdout.decode("utf-8").splitlines():
        line = line.strip()
        if line:
            print("   %-70s %s" % (line, describe(line)))
    time.sleep(0.2)  # the host logs a request just after answering it
    with open(log, encoding="utf-8") as lines:
        entries = [json.loads(line) for line in list(lines)[seen:] if line.strip()]
    sent = sum(e.get("bytes", 0) for e in entries)
    print("   %s · %.1f MB from the host · %.1f s" % (requests_in_words(entries), sent / 1e6, elapsed))
    return result.returncode


def files_below(folder, skip=()):
    found = {}
    for top, folders, names in os.walk(folder):
        folders[:] = [f for f in folders if os.path.join(top, f) not in skip]
        for name in names:
            path = os.path.join(top, name)
            found[os.path.relpath(path, folder)] = path
    return found


def check(client, release, release_id):
    expected = files_below(release)
    present = files_below(client, skip={os.path.join(client, ".qorn-launcher")})
    wrong = sorted(p for p in expected if p not in present or open(present[p], "rb").read() != open(
        expected[p], "rb").read())
    extra = sorted(p for p in present if p not in expected)
    if wrong or extra:
        print("The client folder does NOT hold release %s: %d files missing or different, %d not in it%s" % (
            release_id, len(wrong), len(extra), ": " + ", ".join((wrong + extra)[:5]) if wrong or extra else ""))
        return 1
    print("The client folder holds release %s byte for byte: %s, nothing else "
          "(besides the launcher's state folder .qorn-launcher)." % (release_id, plural(len(expected), "file")))
    return 0


if __name__ == "__main__":
    if len(sys.argv) >= 4 and sys.argv[1] == "run":
        sys.exit(run(sys.argv[2], sys.argv[3:]))
    if len(sys.argv) == 5 and sys.argv[1] == "check":
        sys.exit(check(*sys.argv[2:]))
    sys.exit(__doc__)
