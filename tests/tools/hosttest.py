"""Helpers shared by the host tool tests (and the whole-program tests): client
trees, the tool's command line, a served site in a child process, nginx on
loopback, and tiny launcher executables."""

import hashlib
import http.client
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOLS = os.path.join(REPO, "tools")
TOOL = os.path.join(TOOLS, "qorn_host.py")
if TOOLS not in sys.path:
    sys.path.insert(0, TOOLS)


def make_tree(root, entries):
    """entries: client path -> bytes (a file) or None (an empty folder)."""
    for path, data in entries.items():
        target = os.path.join(root, *path.split("/"))
        if data is None:
            os.makedirs(target, exist_ok=True)
        else:
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as out:
                out.write(data)
    return root


def run_tool(*args, timeout=60):
    return subprocess.run([sys.executable, TOOL, *args], capture_output=True, text=True,
                          timeout=timeout)


def check_manifest_answers(test, request, manifest, release):
    """What launchers rely on in the manifest's answers, from the tool's server or
    from nginx: ETag (the quoted SHA-256 of the bytes), release header, length,
    and 304 only for exactly that ETag. `request(method, path, **headers)`
    answers (status, headers with lower-case names, body)."""
    etag = '"%s"' % hashlib.sha256(manifest).hexdigest()
    for method in ("GET", "HEAD"):
        status, headers, body = request(method, "/api/manifest")
        test.assertEqual(status, 200)
        test.assertEqual(headers["etag"], etag)
        test.assertEqual(headers["x-qorn-release"], release)
        test.assertEqual(headers["content-type"], "application/json")
        test.assertEqual(int(headers["content-length"]), len(manifest))
        test.assertEqual(body, manifest if method == "GET" else b"")
        status, headers, body = request(method, "/api/manifest", **{"If-None-Match": etag})
        test.assertEqual((status, body), (304, b""))
        test.assertEqual(headers["etag"], etag)
        test.assertEqual(headers["x-qorn-release"], release)
    for other in (etag.strip('"'), "W/" + etag, '"%s"' % ("0" * 64), etag.upper()):
        test.assertEqual(request("HEAD", "/api/manifest", **{"If-None-Match": other})[0], 200)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def make_pe(machine=0x8664, magic=0x20B, version=(2, 0, 8, 0), dll=False, file_type=1):
    """Just enough of a PE file for the launcher checks: MZ header, PE header,
    and a fixed file-version block (none when version is None)."""
    data = bytearray(512)
    data[0:2] = b"MZ"
    data[60:64] = struct.pack("<I", 64)
    data[64:68] = b"PE\0\0"
    struct.pack_into("<HH", data, 68, machine, 1)
    struct.pack_into("<H", data, 86, 0x0102 | (0x2000 if dll else 0))
    struct.pack_into("<H", data, 88, magic)
    if version is not None:
        a, b, c, d = version
        struct.pack_into("<13I", data, 256, 0xFEEF04BD, 0x00010000, (a << 16) | b,
                         (c << 16) | d, 0, 0, 0x3F, 0, 4, file_type, 0, 0, 0)
    return bytes(data)


def end_process(process):
    """Terminates a child (killed when it does not end within 10 s) and closes its
    error stream."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    process.stderr.close()


class TempDirTest(unittest.TestCase):
    def setUp(self):
        self._temp = tempfile.TemporaryDirectory(prefix="qorn-host-")
        self.tmp = self._temp.name
        os.chmod(self.tmp, 0o755)  # nginx workers may run as another user
        self.addCleanup(self._temp.cleanup)


class ServedSite:
    """`qorn_host.py serve` in a child process on an ephemeral loopback port."""

    def __init__(self, site, workdir, host="127.0.0.1", port=0, stop_after=120):
        self.port_file = os.path.join(workdir, "port")
        self.log_file = os.path.join(workdir, "requests.log")
        self.faults_file = os.path.join(workdir, "faults.json")
        self.process = subprocess.Popen(
            [sys.executable, TOOL, "serve", site, "--host", host, "--port", str(port),
             "--port-file", self.port_file, "--log", self.log_file,
             "--faults", self.faults_file, "--stop-after", str(stop_after)],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 15
        while not os.path.exists(self.port_file):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("server did not start: %s" % self.process.stderr.read())
            time.sleep(0.02)
        with open(self.port_file) as src:
            self.port = int(src.read())
        self.host = host

    def stop(self):
        end_process(self.process)

    def set_faults(self, rules):
        temp = self.faults_file + ".new"
        with open(temp, "w") as out:
            json.dump(rules, out)
        os.replace(temp, self.faults_file)

    def connection(self, timeout=10):
        return http.client.HTTPConnection(self.host, self.port, timeout=timeout)

    def request(self, method, path, headers=None, conn=None):
        """(status, headers as a dict with lower-case names, body)."""
        own = conn is None
        conn = conn or self.connection()
        try:
            conn.request(method, path, headers=headers or {})
            response = conn.getresponse()
            body = response.read()
            return (response.status, {k.lower(): v for k, v in response.getheaders()},
                    body)
        finally:
            if own:
                conn.close()

    def log(self):
        if not os.path.exists(self.log_file):
            return []
        with open(self.log_file, encoding="utf-8") as src:
            return [json.loads(line) for line in src]

    def log_for(self, path, count):
        """The log entries of requests for `path` (with its query), once
        there are `count`: a line is written after its answer has gone out."""
        deadline = time.monotonic() + 5
        while True:
            entries = [e for e in self.log() if e["path"] == path]
            if len(entries) >= count or time.monotonic() > deadline:
                return entries
            time.sleep(0.02)


NGINX = shutil.which("nginx") or "/usr/sbin/nginx"
HAVE_NGINX = os.access(NGINX, os.X_OK)


class Nginx:
    """Debian's nginx in the foreground under `root` (a folder the workers can
    read), serving the server blocks that publish wrote (each site's nginx.conf)
    with `http_lines` added to the http block; `port` is one of their listen
    ports, polled until nginx answers."""

    def __init__(self, root, includes, port, http_lines=()):
        conf = os.path.join(root, "main.conf")
        with open(conf, "w") as out:
            out.write("worker_processes 1;\nerror_log %s/error.log;\n"
                      "events { worker_connections 64; }\nhttp {\n" % root)
            for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"):
                out.write("  %s_temp_path %s/%s;\n" % (kind, root, kind))
            for line in http_lines:
                out.write("  %s\n" % line)
            for include in includes:
                out.write("  include %s;\n" % include)
            out.write("}\n")
        self.process = subprocess.Popen(
            [NGINX, "-p", root, "-c", conf, "-g", "daemon off; pid %s/nginx.pid;" % root],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return
            except OSError:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    error = self.error_text()
                    self.stop()
                    raise RuntimeError("nginx did not start: %s" % error)
                time.sleep(0.05)

    def reload(self):
        """Reads the configuration again (new workers take over shortly after)."""
        self.process.send_signal(signal.SIGHUP)

    def error_text(self):
        if self.process.poll() is None or self.process.stderr.closed:
            return ""
        return self.process.stderr.read().decode(errors="replace")

    def stop(self):
        end_process(self.process)
