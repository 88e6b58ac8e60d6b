"""What the whole-program tests, the host tool tests and the sync benchmarks share: child processes,
client trees, the host tool, nginx, request logs, `Updater.exe --sync` under Wine, test cases."""

import atexit, hashlib, http.client, json, os, shutil, signal, socket, struct, subprocess, sys, tempfile
import threading, time, unittest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOL = os.path.join(REPO, "tools", "qorn_host.py")
sys.path.insert(0, os.path.dirname(TOOL))  # the host tool's modules, for its tests
BUILD = os.environ.get("QORN_BUILD", os.path.join(REPO, "build"))
UPDATER = os.environ.get("QORN_UPDATER_EXE", os.path.join(BUILD, "Updater.exe"))
UPDATER_NEXT = os.environ.get("QORN_UPDATER_NEXT_EXE",
                              os.path.join(BUILD, "UpdaterNext", "Updater.exe"))
FAKE_GAME = os.environ.get("QORN_FAKE_GAME_EXE", os.path.join(BUILD, "tests", "fake_game.exe"))
# The prefix of this clone's build, as scripts/env.sh names it.
WINEPREFIX = os.environ.setdefault("WINEPREFIX", os.environ.get("QORN_WINEPREFIX") or os.path.join(BUILD, "wineprefix"))
os.environ.setdefault("WINEDEBUG", "-all")
DRIVE_C = os.path.join(WINEPREFIX, "drive_c")
# On C: by default, so that builds from before the launcher accepted folders below
# Unix mount points (Wine shows them all as links) run the same way.
CLIENT_ROOT = os.environ.get("QORN_CLIENT_ROOT") or os.path.join(DRIVE_C, "qorn-work")
STATE = ".qorn-launcher"
NGINX = shutil.which("nginx", path=os.environ.get("PATH", "") + ":/usr/sbin")
CHILDREN = []

def start(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=None):
    """A child process that stop_all() stops, at the latest when Python exits."""
    CHILDREN.append(subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=stdout,
                                     stderr=stderr, env=env))
    return CHILDREN[-1]

def stop(process, timeout=10):
    """SIGTERM (nothing for an ended process), then SIGKILL when it lingers."""
    process.terminate()
    try:
        process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
    if process in CHILDREN:
        CHILDREN.remove(process)
    if process.stdout:
        process.stdout.close()

@atexit.register
def stop_all():
    for process in list(CHILDREN):
        stop(process, 5)

def run(command, what=None, timeout=900):
    """Runs a command to its end; with `what`, a failure is an error naming it."""
    done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=timeout)
    if what and done.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (what, done.returncode, done.stderr[-2000:]))
    return done

def wait_for_file(path, what, process=None, timeout=20):
    """The text of a file that another process writes, once it is not empty."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and (process is None or process.poll() is None):
        if os.path.exists(path):
            with open(path) as src:
                text = src.read().strip()
            if text:
                return text
        time.sleep(0.02)
    raise RuntimeError("%s did not appear" % what)

def free_port():
    with socket.create_server(("127.0.0.1", 0)) as probe:
        return probe.getsockname()[1]

def sha(data):
    return hashlib.sha256(data).hexdigest()

def make_tree(root, entries):
    """entries: client path -> bytes (a file) or None (an empty folder)."""
    for path, data in entries.items():
        target = os.path.join(root, *path.split("/"))
        os.makedirs(target if data is None else os.path.dirname(target), exist_ok=True)
        if data is not None:
            with open(target, "wb") as out:
                out.write(data)
    return root

def read_tree(root, skip_state=True):
    """client path -> bytes of every file below root (the state folder left out)."""
    found = {}
    for folder, dirs, names in os.walk(root):
        if skip_state and folder == root:
            dirs[:] = [d for d in dirs if d != STATE]
        for name in names:
            with open(os.path.join(folder, name), "rb") as src:
                found[os.path.relpath(src.name, root).replace(os.sep, "/")] = src.read()
    return found

def sample_files(count, version=1, main=None):
    """Main.exe and `count` files with Vietnamese paths, bytes made from path and version."""
    def body(path, size):
        seed = hashlib.sha256(("%s:%s" % (path, version)).encode()).digest()
        return (seed * (size // len(seed) + 1))[:size]
    folders = ["Data/Nhân vật", "Data/Bản đồ/Làng Đông Hải", "Data/Âm thanh", "Giao diện"]
    files = {"Main.exe": main if main is not None else body("Main.exe", 4000)}
    for i in range(count):
        path = "%s/Tệp %03d.bmd" % (folders[i % len(folders)], i)
        files[path] = body(path, 200 + (i * 397) % 3000)
    return files

def make_pe(machine=0x8664, magic=0x20B, version=(2, 0, 8, 0), dll=False):
    """Just enough of a PE file for the launcher checks, with a file version or none."""
    data = bytearray(b"MZ" + bytes(510))
    struct.pack_into("<I4sHH", data, 60, 64, b"PE\0\0", machine, 1)
    struct.pack_into("<HH", data, 86, 0x0102 | (0x2000 if dll else 0), magic)
    if version is not None:
        a, b, c, d = version
        struct.pack_into("<13I", data, 256, 0xFEEF04BD, 0x00010000, (a << 16) | b,
                         (c << 16) | d, 0, 0, 0x3F, 0, 4, 1, 0, 0, 0)
    return bytes(data)

def publish(source, site, base_url, release_id, *options):
    """Publishes a client folder as a site; the manifest's bytes."""
    run([sys.executable, TOOL, "publish", source, site, "--base-url", base_url, "--release-id",
         release_id, *options], "publishing " + release_id)
    with open(os.path.join(site, "public", "api", "manifest"), "rb") as src:
        return src.read()

def request(port, method, path, headers=None, conn=None):
    """(status, headers with lower-case names, body) of a request to 127.0.0.1."""
    used = conn or http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        used.request(method, path, headers=headers or {})
        response = used.getresponse()
        data = response.read()
        return response.status, {k.lower(): v for k, v in response.getheaders()}, data
    finally:
        if conn is None:
            used.close()

class RequestLog:
    """A server's log of one line per request, read on from where the last look ended."""

    def __init__(self, path, parse=json.loads):
        self.path, self.parse, self.seen = path, parse, 0

    def lines(self):
        if not os.path.exists(self.path):
            return []
        with open(self.path, encoding="utf-8") as src:
            return [self.parse(line) for line in src if line.strip()]

    def new(self, at_least=0, timeout=10):
        """The entries since the last look. A line is written just after its answer
        went out: this waits for at_least new ones, then until no more come."""
        deadline = time.monotonic() + timeout
        lines, count = self.lines(), -1
        while len(lines) != count or (len(lines) < self.seen + at_least
                                      and time.monotonic() < deadline):
            count = len(lines)
            time.sleep(0.15)
            lines = self.lines()
        fresh, self.seen = lines[self.seen:], len(lines)
        return fresh

class ServedSite:
    """`qorn_host.py serve` of a site, with its port, log and faults files in `folder`."""

    def __init__(self, site, folder, port=0, host="127.0.0.1", stop_after=600):
        port_file = os.path.join(folder, "port")
        self.faults_file = os.path.join(folder, "faults.json")
        if os.path.exists(port_file):
            os.remove(port_file)
        with open(os.path.join(folder, "serve.err"), "ab") as errors:
            self.process = start([sys.executable, TOOL, "serve", site, "--host", host, "--port",
                                  str(port), "--port-file", port_file, "--log",
                                  os.path.join(folder, "requests.log"), "--faults",
                                  self.faults_file, "--stop-after", str(stop_after)], stderr=errors)
        self.port = int(wait_for_file(port_file, "the host's port (see %s)" % errors.name,
                                      self.process))
        self.log = RequestLog(os.path.join(folder, "requests.log"))

    def faults(self, rules):
        with open(self.faults_file + ".new", "w") as out:
            json.dump(rules, out)
        os.replace(self.faults_file + ".new", self.faults_file)

def start_nginx(root, includes, port):
    """Debian's nginx, its files under `root`, serving the server blocks of `includes`,
    once it answers on `port`; its workers run as this user. SIGHUP: read them again."""
    conf = os.path.join(root, "main.conf")
    with open(conf, "w") as out:
        out.write("%sworker_processes 1;\nerror_log %s/error.log;\n"
                  "events { worker_connections 64; }\nhttp {\n"
                  % ("user root;\n" if os.geteuid() == 0 else "", root))
        for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"):
            out.write("  %s_temp_path %s/%s;\n" % (kind, root, kind))
        out.writelines("  include %s;\n" % include for include in includes)
        out.write("}\n")
    process = start([NGINX, "-p", root, "-c", conf, "-g", "daemon off; pid %s/nginx.pid;" % root])
    deadline = time.monotonic() + 10
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return process
        except OSError:
            if process.poll() is not None or time.monotonic() > deadline:
                stop(process)
                with open(os.path.join(root, "error.log")) as src:
                    raise RuntimeError("nginx did not start: " + src.read()) from None
            time.sleep(0.05)

def reload_nginx(process, release_id, head):
    """Makes nginx read its configuration again; returns once `head()`, the headers of a HEAD
    of the manifest, name the release."""
    process.send_signal(signal.SIGHUP)
    deadline = time.monotonic() + 10
    while head()["x-qorn-release"] != release_id:
        if time.monotonic() > deadline:
            raise RuntimeError("nginx did not reload")
        time.sleep(0.1)

def windows_path(path):
    """The Windows path of a Unix path: C:\\ under the prefix's drive_c, else Z:\\."""
    path, relative = os.path.abspath(path), os.path.relpath(path, DRIVE_C)
    return ("Z:" + path if relative.startswith("..") else "C:\\" + relative).replace("/", "\\")

DISPLAY = []

def start_display():
    """The environment that shows windows on this test process's one Xvfb screen, started at
    the first call and stopped when Python exits. One screen for all cases: a screen per case
    left Wine's desktop process tied to a screen that had just gone, and the next window
    failed to open."""
    if not DISPLAY:
        ready, ready_out = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(ready_out), "-screen", "0", "1280x800x24",
                                 "-nolisten", "tcp"], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                pass_fds=(ready_out,))
        atexit.register(stop, xvfb, 5)  # not a child of one case: stop_all() leaves it
        os.close(ready_out)
        with os.fdopen(ready, "rb") as src:
            number = src.read().strip()  # written once the screen takes clients
        if not number:
            raise RuntimeError("Xvfb did not start")
        DISPLAY.append(":" + number.decode())
        wait_for_headless_desktop()
    return dict(os.environ, DISPLAY=DISPLAY[0])

def wait_for_headless_desktop(timeout=20):
    """Waits out Wine's desktop process that the programs of an earlier test started without
    a screen: it lingers a few seconds after them, and a window opened in its desktop fails."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        headless = False
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as src:
                    if b"explorer.exe\0/desktop" not in src.read():
                        continue
                with open("/proc/%s/environ" % pid, "rb") as src:
                    environment = src.read().split(b"\0")
            except OSError:
                continue
            if (b"WINEPREFIX=" + WINEPREFIX.encode() in environment
                    and not any(v.startswith(b"DISPLAY=") for v in environment)):
                headless = True
        if not headless:
            return
        time.sleep(0.2)

# Design units of the launcher window (960 × 560 at scale 1 on a 96-DPI screen).
GAME_BUTTON, WINDOW_MODE, SOUND, RETRY, STOP, CLOSE = (816, 470), (720, 418), (720, 386), (96, 509), (201, 509), (932, 22)

def pixel(shot, x, y):
    """The (r, g, b) of a screenshot's pixel."""
    text = subprocess.run(["/usr/bin/convert", shot, "-format", "%[fx:int(255*r)],%[fx:int(255*g)],%[fx:int(255*b)]",
                           "-crop", "1x1+%d+%d" % (x, y), "+repage", "info:-"],
                          capture_output=True, text=True, check=True).stdout
    return tuple(int(v) for v in text.split(","))

def close_to(colour, rgb, tolerance=24):
    return all(abs(a - b) <= tolerance for a, b in zip(colour, rgb))

class Screen:
    """A test case's view of the launcher window on the test screen: screenshots kept under
    build/test-artifacts/<ARTIFACTS>, pixels and clicks in the window's design units."""
    ARTIFACTS = "window"

    def start_screen(self):
        self.env = start_display()
        self.artifacts = os.path.join(BUILD, "test-artifacts", self.ARTIFACTS)
        os.makedirs(self.artifacts, exist_ok=True)

    def xdotool(self, *arguments):
        return subprocess.run(["xdotool", *arguments], env=self.env, capture_output=True, text=True).stdout

    def shown_windows(self):
        return self.xdotool("search", "--onlyvisible", "--name", "QORN.TV").split()

    def find_window(self, timeout=30):
        """Waits for a launcher window on the screen and takes the newest."""
        deadline = time.monotonic() + timeout
        while not self.shown_windows():
            self.assertLess(time.monotonic(), deadline, "the window did not open")
            time.sleep(0.2)
        self.window = self.shown_windows()[-1]

    @property
    def origin(self):
        """Where the window stands now: it is placed once it knows its monitor."""
        values = dict(line.split("=") for line in self.xdotool("getwindowgeometry", "--shell", self.window).split())
        return int(values["X"]), int(values["Y"])

    def shot(self, name):
        path = os.path.join(self.artifacts, "%s.png" % name)
        subprocess.run(["import", "-window", "root", path], env=self.env, check=True)
        return path

    def at(self, shot, point):
        x, y = self.origin
        return pixel(shot, x + point[0], y + point[1])

    def click(self, point):
        x, y = self.origin
        subprocess.run(["xdotool", "mousemove", str(x + point[0]), str(y + point[1]), "click", "1"], env=self.env,
                       check=True)

    def wait_for(self, name, test, timeout=60):
        """The screenshot `name` once `test` holds for it."""
        deadline = time.monotonic() + timeout
        while True:
            shot = self.shot(name)
            if test(shot):
                return shot
            self.assertLess(time.monotonic(), deadline, "never reached: " + name)
            time.sleep(0.3)

    def game_enabled(self, shot):
        return close_to(self.at(shot, (720, 442)), (0xE7, 0xBD, 0x75), 30)

    def failed(self, shot):
        return close_to(self.at(shot, (33, 413)), (0x94, 0x4D, 0x36), 16)

def programs_of(folder):
    """{Linux pid: argument list} of the Wine processes running a program that lies in
    `folder` or below; Wine shows a process's Windows command line as its own."""
    prefixes = (windows_path(folder) + "\\", os.path.abspath(folder) + "/")
    found = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as src:
                argv = src.read().decode("utf-8", "replace").split("\0")
        except OSError:
            continue  # it ended meanwhile
        if argv and argv[0].startswith(prefixes):
            found[int(pid)] = [a for a in argv if a]
    return found

def kill(pid):
    try:
        os.kill(pid, 9)
    except ProcessLookupError:
        pass

class Programs:
    """A test case's view of the launchers running from its client folder."""

    def programs(self, option=None):
        """The argument lists of the launcher's processes running from the client folder:
        Updater.exe and the hand-over's worker.exe, not the game (with `option`, those
        given it)."""
        return [argv for argv in programs_of(self.client).values()
                if argv[0].endswith(("Updater.exe", "worker.exe")) and (option is None or option in argv)]

    def wait_until(self, test, what, timeout=40):
        deadline = time.monotonic() + timeout
        while not test():
            if time.monotonic() > deadline:
                self.fail("%s: not within %d s; running %s; log:\n%s"
                          % (what, timeout, self.programs(), self.log_text()))
            time.sleep(0.05)

    def stop_programs(self):
        for pid in programs_of(self.client):
            kill(pid)
        self.wait_until(lambda: not self.programs(), "the launchers ended", 20)

    def end_programs(self):
        """Every program still running from the test's folder (a cleanup)."""
        for pid in programs_of(self.work):
            kill(pid)

class Updater:
    """`Updater.exe --sync CLIENT URL ...` under Wine (with `env`, in the prefix it names);
    finish() reads its report lines."""

    def __init__(self, client, url, *extra, exe=UPDATER, env=None):
        self.process = start(["wine", exe, "--sync", windows_path(client), url, *extra],
                             stdout=subprocess.PIPE, env=env)
        self.started = time.monotonic()

    def finish(self, timeout=300):
        expired = []
        watchdog = threading.Timer(timeout, lambda: (expired.append(1), self.process.kill()))
        watchdog.start()
        texts, self.stage_times = [], {}
        try:
            for raw in self.process.stdout:
                texts.append(raw.decode("utf-8").replace("\r\n", "\n"))
                if texts[-1].startswith('{"stage"'):
                    self.stage_times.setdefault(json.loads(texts[-1])["stage"],
                                                time.monotonic() - self.started)
            stop(self.process)
        finally:
            watchdog.cancel()
        self.seconds, self.returncode = time.monotonic() - self.started, self.process.returncode
        self.text = "".join(texts)
        if expired:
            raise RuntimeError("Updater did not end within %d s: %s" % (timeout, self.text))
        self.lines = [json.loads(line) for line in texts if line.strip()]
        self.stages = [line["stage"] for line in self.lines if "stage" in line]
        last = self.lines[-1] if self.lines else {}
        self.result, self.error = (last if "releaseId" in last else None), last.get("error")
        return self

    def __repr__(self):
        return "Updater run (exit %s, %.1f s):\n%s" % (self.returncode, self.seconds, self.text)

class ClientCase(unittest.TestCase):
    """A client folder and a site, served on a fixed port after serve(), below client_root."""

    client_root = CLIENT_ROOT

    def setUp(self):
        os.makedirs(self.client_root, exist_ok=True)
        self.work = tempfile.mkdtemp(prefix=self.id().rsplit(".", 1)[-1][:40] + "-",
                                     dir=self.client_root)
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        self.addCleanup(stop_all)
        self.client = os.path.join(self.work, "client")
        os.makedirs(self.client)
        self.site, self.port = os.path.join(self.work, "site"), free_port()
        self.url = "http://127.0.0.1:%d/api/manifest" % self.port
        self.log = RequestLog(os.path.join(self.work, "requests.log"))
        self.served, self.releases = None, 0

    def publish(self, files, release_id, *options):
        self.releases += 1
        source = make_tree(os.path.join(self.work, "release-%d" % self.releases), files)
        self.manifest = publish(source, self.site, self.url[:-len("/api/manifest")],
                                release_id, *options)
        shutil.rmtree(source)
        return self

    def serve(self):
        self.served = self.served or ServedSite(self.site, self.work, port=self.port)

    def stop_host(self):
        if self.served:
            stop(self.served.process)
        self.served = None

    def start_sync(self, *extra):
        self.log.new()  # what came before is not this run's
        return Updater(self.client, self.url, *extra)

    def sync(self, *extra):
        return self.start_sync(*extra).finish()

    def new_requests(self, prefix="/"):
        """The host's log entries of paths below prefix since the last run started."""
        return [r for r in self.log.new() if r["path"].startswith(prefix)]

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

    def assert_installed(self, run, release_id, files, downloaded, **flags):
        """A run that left exactly these files, verified as this release."""
        self.assert_synced(run, release_id, downloaded, **flags)
        self.assert_client_holds(files)
        self.assert_verified(release_id)

    def assert_failed(self, run, message):
        self.assertEqual(run.returncode, 1, run)
        self.assertEqual(run.text.splitlines()[-1],
                         json.dumps({"error": message}, separators=(",", ":"), ensure_ascii=False))

    def assert_client_holds(self, files):
        """Exactly these files, byte for byte."""
        found = read_tree(self.client)
        self.assertEqual(sorted(found), sorted(files))
        for path, data in files.items():
            self.assertTrue(found[path] == data, "%s differs" % path)

    def assert_verified(self, release_id):
        """A record of this release matching installed.json; no work area or transaction."""
        record = self.state_json("verified-release.json")
        with open(self.state_path("installed.json"), "rb") as src:
            self.assertEqual((record["releaseId"], record["manifestSha256"]),
                             (release_id, sha(src.read())))
        for leftover in ("journal.json", "transaction", "staging", "downloads"):
            self.assertFalse(os.path.exists(self.state_path(leftover)), leftover)

    def state_path(self, *parts):
        return os.path.join(self.client, STATE, *parts)

    def state_json(self, *parts):
        with open(self.state_path(*parts), encoding="utf-8") as src:
            return json.load(src)

    def log_text(self):
        """The launcher's log; empty while it has written none (a run that went well)."""
        try:
            with open(self.state_path("launcher.log"), encoding="utf-8") as src:
                return src.read()
        except FileNotFoundError:
            return ""
