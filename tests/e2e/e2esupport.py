"""Whole-program test support: the built Updater.exe run under Wine against the
update-host tool, client folders on the Wine prefix's C: drive, and the checks
of stdout, client folder, state folder and request log that the tests share.

Under Wine the root of Z: shows as a link and the launcher refuses folders
below links, so every client folder lives under the prefix's drive_c."""

import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, "tests", "tools"))
import hosttest  # noqa: E402  (after the path set-up)

BUILD = os.environ.get("QORN_BUILD", os.path.join(REPO, "build"))
UPDATER = os.environ.get("QORN_UPDATER_EXE", os.path.join(BUILD, "Updater.exe"))
UPDATER_NEXT = os.environ.get("QORN_UPDATER_NEXT_EXE",
                              os.path.join(BUILD, "UpdaterNext", "Updater.exe"))
FAKE_GAME = os.environ.get("QORN_FAKE_GAME_EXE", os.path.join(BUILD, "tests", "fake_game.exe"))
WINEPREFIX = os.environ.setdefault("WINEPREFIX", os.path.expanduser("~/.cache/qorn/wineprefix"))
os.environ.setdefault("WINEDEBUG", "-all")
DRIVE_C = os.path.join(WINEPREFIX, "drive_c")
STATE = ".qorn-launcher"
WORK_ROOT = os.path.join(DRIVE_C, "qorn-e2e")


def sha(data):
    return hashlib.sha256(data).hexdigest()


def body(name, version, size):
    """Deterministic file content: the same name and version give the same bytes."""
    seed = hashlib.sha256(("%s:%s" % (name, version)).encode()).digest()
    return (seed * (size // len(seed) + 1))[:size]


def sample_files(count, version=1, main=None):
    """A client release: Main.exe and `count` files in nested folders with
    Vietnamese names; `version` changes every file's bytes."""
    folders = ["Data/Nhân vật", "Data/Bản đồ/Làng Đông Hải", "Data/Âm thanh", "Giao diện"]
    files = {"Main.exe": main if main is not None else body("Main.exe", version, 4000)}
    for i in range(count):
        path = "%s/Tệp %03d.bmd" % (folders[i % len(folders)], i)
        files[path] = body(path, version, 200 + (i * 397) % 3000)
    return files


def windows_path(unix_path):
    """The C: path of a path under the prefix's drive_c."""
    relative = os.path.relpath(unix_path, DRIVE_C)
    if relative.startswith(".."):
        raise ValueError("not on the Wine C: drive: %s" % unix_path)
    return "C:\\" + relative.replace("/", "\\")


def wine(*args, stdout=subprocess.PIPE):
    """Popen of a Windows program under Wine."""
    return subprocess.Popen(["wine", *args], stdin=subprocess.DEVNULL, stdout=stdout,
                            stderr=subprocess.DEVNULL)


class Run:
    """One finished Updater run: exit code, and its stdout split into JSON lines."""

    def __init__(self, returncode, stdout, seconds):
        self.returncode = returncode
        self.text = stdout.decode("utf-8").replace("\r\n", "\n")
        self.lines = [json.loads(line) for line in self.text.splitlines() if line.strip()]
        self.stages = [line["stage"] for line in self.lines if "stage" in line]
        last = self.lines[-1] if self.lines else {}
        self.result = last if "releaseId" in last else None
        self.error = last.get("error")
        self.seconds = seconds

    def __repr__(self):
        return "Run(exit %s, %.1f s):\n%s" % (self.returncode, self.seconds, self.text)


def finish(process, started, timeout=300):
    try:
        out, _ = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        out, _ = process.communicate()
        raise AssertionError("Updater did not end within %d s: %s" % (timeout, out))
    return Run(process.returncode, out, time.monotonic() - started)


def write_tree(root, files):
    hosttest.make_tree(root, files)
    return root


def read_tree(root, skip_state=True):
    """client path -> bytes of every file below root (the state folder left out)."""
    found = {}
    for folder, dirs, names in os.walk(root):
        relative = os.path.relpath(folder, root)
        if skip_state and relative == ".":
            dirs[:] = [d for d in dirs if d != STATE]
        for name in names:
            path = os.path.join(folder, name)
            key = os.path.relpath(path, root).replace(os.sep, "/")
            with open(path, "rb") as src:
                found[key] = src.read()
    return found


class Host:
    """A release site published by the host tool and served on a fixed loopback port."""

    def __init__(self, work, stop_after=600):
        self.work = work
        self.site = os.path.join(work, "site")
        self.port = hosttest.free_port()
        self.base = "http://127.0.0.1:%d" % self.port
        self.url = self.base + "/api/manifest"
        self.stop_after = stop_after
        self.server = None
        self.count = 0

    def publish(self, files, release_id, packages=0, launchers=(), nginx_listen=None):
        self.count += 1
        source = write_tree(os.path.join(self.work, "release-%d" % self.count), files)
        args = ["publish", source, self.site, "--base-url", self.base, "--release-id", release_id,
                "--packages", str(packages)]
        for launcher in launchers:
            args += ["--launcher", launcher]
        if nginx_listen:
            args += ["--nginx-listen", nginx_listen]
        done = hosttest.run_tool(*args)
        if done.returncode != 0:
            raise AssertionError("publish failed: %s%s" % (done.stdout, done.stderr))
        shutil.rmtree(source)
        return self

    def start(self):
        if self.server is None:
            served = os.path.join(self.work, "served")
            os.makedirs(served, exist_ok=True)
            self.server = hosttest.ServedSite(self.site, served, port=self.port,
                                              stop_after=self.stop_after)
        return self

    def stop(self):
        if self.server is not None:
            self.server.stop()
            self.server = None

    def faults(self, rules):
        self.server.set_faults(rules)

    def manifest(self):
        with open(os.path.join(self.site, "api", "manifest"), "rb") as src:
            return src.read()

    def requests(self):
        """The request log so far, once the host has logged every answer it sent
        (a line is written just after its answer went out)."""
        previous = None
        while True:
            entries = self.server.log() if self.server else []
            if entries == previous:
                return entries
            previous = entries
            time.sleep(0.15)


class ClientCase(unittest.TestCase):
    """A test with its own work folder on C:, a client folder and a host."""

    def setUp(self):
        os.makedirs(WORK_ROOT, exist_ok=True)
        self.work = tempfile.mkdtemp(prefix=self.id().rsplit(".", 1)[-1][:40] + "-", dir=WORK_ROOT)
        os.chmod(self.work, 0o755)  # nginx workers may run as another user
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        self.client = os.path.join(self.work, "client")
        os.makedirs(self.client)
        self.host = Host(self.work)
        self.addCleanup(self.host.stop)
        self.mark = 0

    # running the Updater -------------------------------------------------------------

    def start_sync(self, *extra, url=None, exe=UPDATER):
        self.mark = len(self.host.requests())
        return wine(exe, "--sync", windows_path(self.client), url or self.host.url, *extra), \
            time.monotonic()

    def sync(self, *extra, url=None, exe=UPDATER, timeout=300):
        process, started = self.start_sync(*extra, url=url, exe=exe)
        return finish(process, started, timeout)

    def new_requests(self):
        return self.host.requests()[self.mark:]

    # checks --------------------------------------------------------------------------

    def assert_synced(self, run, release_id, downloaded, quick=False, offline=False,
                      launcher_ready=False):
        self.assertEqual(run.returncode, 0, run)
        self.assertEqual(run.result, {"downloaded": downloaded, "launcherReady": launcher_ready,
                                      "offline": offline, "quick": quick,
                                      "releaseId": release_id}, run)
        # The result line is the exact compact text, keys in ascending order.
        self.assertEqual(run.text.splitlines()[-1], json.dumps(run.result, separators=(",", ":"),
                                                               ensure_ascii=False))
        self.assertEqual(len(run.stages), len(set(run.stages)), run)
        self.assertEqual(run.stages[-1], 5 if launcher_ready else 9, run)

    def assert_failed(self, run, message):
        self.assertEqual(run.returncode, 1, run)
        self.assertEqual(run.error, message, run)
        self.assertIsNone(run.result, run)
        self.assertEqual(run.text.splitlines()[-1],
                         json.dumps({"error": message}, separators=(",", ":"), ensure_ascii=False))

    def assert_client_holds(self, files, extra=()):
        """The client folder holds exactly these files (plus the listed extra paths)."""
        found = read_tree(self.client)
        for path in extra:
            found.pop(path, None)
        self.assertEqual(sorted(found), sorted(files))
        for path, data in files.items():
            self.assertTrue(found[path] == data, "%s differs" % path)

    def assert_verified(self, release_id):
        """A verified record of this release that matches the installed manifest,
        and no work area or transaction left."""
        record = self.state_json("verified-release.json")
        self.assertEqual(record["releaseId"], release_id)
        with open(self.state_path("installed.json"), "rb") as src:
            self.assertEqual(sha(src.read()), record["manifestSha256"])
        for leftover in ("journal.json", "transaction", "staging", "downloads"):
            self.assertFalse(os.path.exists(self.state_path(leftover)), leftover)

    # state folder --------------------------------------------------------------------

    def state_path(self, *parts):
        return os.path.join(self.client, STATE, *parts)

    def state_json(self, *parts):
        with open(self.state_path(*parts), encoding="utf-8") as src:
            return json.load(src)

    def log_text(self):
        path = self.state_path("launcher.log")
        if not os.path.exists(path):
            return ""
        with open(path, encoding="utf-8") as src:
            return src.read()
