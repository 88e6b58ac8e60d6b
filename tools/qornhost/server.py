"""A loopback HTTP/1.1 server for a published site, with fault injection.

The site's public/ tree is served under the path of the base URL that its
record (releases.json) names, so that a site published for
https://cdn.example.net/games/qorn answers /games/qorn/api/manifest.

Faults file (JSON object; re-read whenever its content changes, and every
change resets the request counts). Keys are URL paths ("/api/manifest",
"/files/<sha256>", ...) or "*" for every path without a rule of its own;
each value is a rule whose members all are optional:

    times          apply the rule to the first K matching requests only
    delayMs        wait this long (at most 10000) before answering
    status         answer this status code with a short text body
    headStatus     answer HEAD requests with this status (405, 501, ...)
    ignoreRange    answer 200 with the whole body even when a Range was asked
    contentRange   send this Content-Range value instead of the right one (206)
    contentLength  send this Content-Length value, then close the connection
    cutAfter       send only this many body bytes, then close the connection
    corruptOffset  flip every bit of the byte at this offset of the file
    headers        {"Name": "value" or null}: set or remove response headers

A faults file that cannot be used makes every request fail with 500 and the
reason, so that a broken test setup is loud.
"""

import contextlib
import hashlib
import json
import os
import re
import signal
import socket
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from .rules import loopback_bind_address

BLOCK = 64 * 1024
MAX_DELAY_MS = 10_000
IDLE_TIMEOUT = 30

_ROUTES = (
    (re.compile(r"/files/([0-9a-f]{64})"), "files", "application/octet-stream"),
    (re.compile(r"/packages/([0-9a-f]{64})\.zip"), "packages", "application/zip"),
    (re.compile(r"/launchers/([0-9a-f]{64})\.exe"), "launchers", "application/octet-stream"),
)
_RANGE = re.compile(r"\s*bytes\s*=\s*(\d*)\s*-\s*(\d*)\s*")

_INT_RULES = {"times": (0, None), "delayMs": (0, MAX_DELAY_MS), "status": (100, 599),
              "headStatus": (100, 599), "cutAfter": (0, None), "corruptOffset": (0, None)}
_TEXT_RULES = ("contentRange", "contentLength")


class FaultsError(ValueError):
    pass


def parse_faults(data):
    if not data.strip():
        return {}
    try:
        document = json.loads(data)
    except ValueError as error:
        raise FaultsError("faults file is not JSON: %s" % error) from None
    if not isinstance(document, dict):
        raise FaultsError("faults file must hold a JSON object")
    for path, rule in document.items():
        if not isinstance(rule, dict):
            raise FaultsError("rule for %s must be an object" % path)
        for key, value in rule.items():
            if key in _INT_RULES:
                low, high = _INT_RULES[key]
                if (type(value) is not int or value < low
                        or (high is not None and value > high)):
                    raise FaultsError("%s of %s must be an integer from %d%s"
                                      % (key, path, low, "" if high is None else
                                         " to %d" % high))
            elif key in _TEXT_RULES:
                if not isinstance(value, str) or not value.isprintable():
                    raise FaultsError("%s of %s must be a text" % (key, path))
            elif key == "ignoreRange":
                if not isinstance(value, bool):
                    raise FaultsError("ignoreRange of %s must be true or false" % path)
            elif key == "headers":
                if not isinstance(value, dict) or not all(
                        v is None or (isinstance(v, str) and v.isprintable())
                        for v in value.values()):
                    raise FaultsError("headers of %s must map names to texts or null" % path)
            else:
                raise FaultsError("unknown fault %r for %s" % (key, path))
    return document


class Faults:
    """The rules of the faults file and how often each has been applied."""

    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        self.raw = None
        self.rules = {}
        self.error = None
        self.counts = {}

    def take(self, url_path):
        """The rule for one request (an empty dict when none applies)."""
        if self.path is None:
            return {}
        with self.lock:
            try:
                with open(self.path, "rb") as src:
                    data = src.read()
            except FileNotFoundError:
                data = b""
            if data != self.raw:
                self.raw, self.counts = data, {}
                try:
                    self.rules, self.error = parse_faults(data), None
                except FaultsError as error:
                    self.rules, self.error = {}, str(error)
            if self.error:
                raise FaultsError(self.error)
            key = url_path if url_path in self.rules else "*"
            rule = self.rules.get(key)
            if not rule:
                return {}
            used = self.counts.get(key, 0)
            if "times" in rule and used >= rule["times"]:
                return {}
            self.counts[key] = used + 1
            return rule


class RequestLog:
    def __init__(self, path):
        self.lock = threading.Lock()
        self.out = open(path, "a", encoding="utf-8") if path else None

    def write(self, entry):
        if self.out is None:
            return
        line = json.dumps(entry, sort_keys=True, ensure_ascii=False) + "\n"
        with self.lock:
            self.out.write(line)
            self.out.flush()


def parse_range(header, length):
    """(first, last) of a single byte range, "unsatisfiable", or None when the
    header is to be ignored (absent, malformed or several ranges)."""
    match = _RANGE.fullmatch(header or "")
    if not match or match[1] == match[2] == "":
        return None
    if match[1] == "":
        suffix = int(match[2])
        if suffix == 0 or length == 0:
            return "unsatisfiable"
        return max(0, length - suffix), length - 1
    first = int(match[1])
    last = int(match[2]) if match[2] else length - 1
    if first >= length:
        return "unsatisfiable"
    if last < first:
        return None
    return first, min(last, length - 1)


class _Body:
    """What a request names: bytes in memory (the manifest) or an open file."""

    def __init__(self, length, data=None, src=None):
        self.length, self.data, self.src = length, data, src

    def chunks(self, first, count):
        if self.data is not None:
            for start in range(first, first + count, BLOCK):
                yield start, self.data[start:min(start + BLOCK, first + count)]
            return
        self.src.seek(first)
        position, left = first, count
        while left > 0:
            chunk = self.src.read(min(BLOCK, left))
            if not chunk:
                break
            yield position, chunk
            position += len(chunk)
            left -= len(chunk)


class SiteHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Headers and body go out as separate writes; with Nagle's algorithm the body
    # of every answer on a kept-alive connection waits for a delayed acknowledgement.
    disable_nagle_algorithm = True
    server_version = "QornHost/1.0"
    sys_version = ""
    timeout = IDLE_TIMEOUT

    def log_message(self, format, *args):
        if self.server.verbose:
            super().log_message(format, *args)

    def do_GET(self):
        self._answer(head=False)

    def do_HEAD(self):
        self._answer(head=True)

    # -- one request --------------------------------------------------------

    def _answer(self, head):
        url_path = self.path.split("?", 1)[0]
        self._entry = {"method": self.command, "path": self.path,
                       "range": self.headers.get("Range"),
                       "ifNoneMatch": self.headers.get("If-None-Match"),
                       "status": None, "bytes": 0, "faults": []}
        try:
            try:
                rule = self.server.faults.take(url_path)
            except FaultsError as error:
                self._entry["faults"].append("invalid")
                return self._plain(500, str(error) + "\n", head)
            self._entry["faults"] = sorted(k for k in rule if k != "times")
            if "delayMs" in rule:
                time.sleep(rule["delayMs"] / 1000)
            if head and "headStatus" in rule:
                extra = {"Allow": "GET"} if rule["headStatus"] == 405 else {}
                return self._plain(rule["headStatus"], "", True, extra, rule)
            if "status" in rule:
                return self._plain(rule["status"], "fault: status %d\n" % rule["status"],
                                   head, rule=rule)
            self._serve(url_path, head, rule)
        finally:
            self.server.log.write(self._entry)

    def _serve(self, url_path, head, rule):
        """Everything of one answer is read through one handle of the site
        folder, so that it comes from one site even while a publish swaps it."""
        try:
            site = os.open(self.server.site, os.O_RDONLY | os.O_DIRECTORY)
        except OSError:
            return self._plain(404, "no site published\n", head, rule=rule)
        try:
            prefix, release = _site_record(site)
            if not url_path.startswith(prefix + "/"):
                return self._plain(404, "not found\n", head, rule=rule)
            with self._body(site, url_path[len(prefix):], release) as (headers, body):
                if body is None:
                    return self._plain(404, "not found\n", head, rule=rule)
                self._send_body(headers, body, head, rule)
        finally:
            os.close(site)

    @contextlib.contextmanager
    def _body(self, site, url_path, release):
        """(headers, body) of a path below the base URL; body None for 404."""
        if url_path in ("/api/manifest", "/api/release.json"):
            data = _read_served(site, url_path)
            headers = {"Cache-Control": "no-cache", "Content-Type": "application/json"}
            if data is not None and url_path == "/api/manifest":
                headers.update({"ETag": '"%s"' % hashlib.sha256(data).hexdigest(),
                                "X-QORN-Release": _manifest_release(data) if release is None else release})
            yield headers, None if data is None else _Body(len(data), data=data)
            return
        for pattern, folder, content_type in _ROUTES:
            if pattern.fullmatch(url_path):
                name = url_path.rsplit("/", 1)[1]
                try:
                    src = open(os.open("public/%s/%s" % (folder, name), os.O_RDONLY,
                                       dir_fd=site), "rb")
                except OSError:
                    break
                with src:
                    yield ({"Content-Type": content_type},
                           _Body(os.fstat(src.fileno()).st_size, src=src))
                return
        yield {}, None

    def _send_body(self, headers, body, head, rule):
        if "ETag" in headers and self.headers.get("If-None-Match", "").strip() == headers["ETag"]:
            del headers["Content-Type"]
            return self._send(304, headers, None, 0, 0, head=True, rule=rule)
        headers["Accept-Ranges"] = "bytes"
        wanted = None
        if not rule.get("ignoreRange"):
            wanted = parse_range(self.headers.get("Range"), body.length)
        if wanted == "unsatisfiable":
            headers["Content-Range"] = "bytes */%d" % body.length
            return self._send(416, headers, None, 0, 0, head, rule)
        if wanted is None:
            return self._send(200, headers, body, 0, body.length, head, rule)
        first, last = wanted
        headers["Content-Range"] = "bytes %d-%d/%d" % (first, last, body.length)
        return self._send(206, headers, body, first, last - first + 1, head, rule)

    def _plain(self, status, text, head, extra=None, rule=None):
        data = text.encode("utf-8")
        headers = {"Content-Type": "text/plain; charset=utf-8"}
        headers.update(extra or {})
        if status in (204, 304) or status < 200:
            return self._send(status, headers, None, 0, 0, True, rule or {})
        return self._send(status, headers, _Body(len(data), data=data), 0, len(data), head,
                          rule or {})

    def _send(self, status, headers, body, first, count, head, rule):
        """Status line, headers and (for GET) `count` bytes of the body from
        `first` on, with the rule's header faults and body faults applied."""
        self._entry["status"] = status
        close_after = False
        if status not in (204, 304) and status >= 200:
            headers["Content-Length"] = str(count)
        if status == 206 and "contentRange" in rule:
            headers["Content-Range"] = rule["contentRange"]
        if "contentLength" in rule:
            headers["Content-Length"] = rule["contentLength"]
            close_after = True
        for name, value in rule.get("headers", {}).items():
            for existing in [k for k in headers if k.lower() == name.lower()]:
                del headers[existing]
            if value is not None:
                headers[name] = value
        cut = rule.get("cutAfter")
        if cut is not None and not head and body is not None and cut < count:
            close_after = True
        else:
            cut = None
        self.send_response(status)
        for name, value in headers.items():
            self.send_header(name, value)
        if close_after:
            self.send_header("Connection", "close")
        self.end_headers()
        if close_after:
            self.close_connection = True
        if head or body is None:
            return
        limit = count if cut is None else cut
        flip = rule.get("corruptOffset")
        sent = 0
        try:
            for position, chunk in body.chunks(first, limit):
                if flip is not None and position <= flip < position + len(chunk):
                    at = flip - position
                    chunk = chunk[:at] + bytes([chunk[at] ^ 0xFF]) + chunk[at + 1:]
                self.wfile.write(chunk)
                sent += len(chunk)
            self.wfile.flush()
        except OSError:
            self.close_connection = True
        self._entry["bytes"] = sent
        if sent < count and cut is None:  # the file shrank under us
            self.close_connection = True
        if close_after:
            try:
                self.connection.shutdown(socket.SHUT_WR)
            except OSError:
                pass


def _site_record(site):
    """(path prefix, current release id or None) from the record of the site
    whose folder handle is `site`; ("", None) without a record."""
    try:
        with open(os.open("releases.json", os.O_RDONLY, dir_fd=site), "rb") as src:
            record = json.loads(src.read())
        return (urllib.parse.urlsplit(record["baseUrl"]).path,
                str(record["releases"][0]["releaseId"]))
    except (OSError, ValueError, KeyError, IndexError, TypeError, AttributeError):
        return "", None


def _read_served(site, url_path):
    """The bytes of a small file of the served tree, or None when it is missing."""
    try:
        with open(os.open("public" + url_path, os.O_RDONLY, dir_fd=site), "rb") as src:
            return src.read()
    except OSError:
        return None


def _manifest_release(data):
    try:
        return str(json.loads(data).get("releaseId", ""))
    except (ValueError, AttributeError):
        return ""


class SiteServer(ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False

    def __init__(self, address, site, faults_path=None, log_path=None, verbose=False):
        self.site = os.path.abspath(site)
        self.faults = Faults(faults_path)
        self.log = RequestLog(log_path)
        self.verbose = verbose
        super().__init__(address, SiteHandler)


class SiteServer6(SiteServer):
    address_family = socket.AF_INET6


def make_server(site, host="127.0.0.1", port=0, faults_path=None, log_path=None,
                verbose=False):
    """A server bound to a loopback address (RuleError for any other)."""
    address = loopback_bind_address(host)
    kind = SiteServer6 if ":" in address else SiteServer
    return kind((address, port), site, faults_path, log_path, verbose)


def run(site, host, port, port_file=None, faults_path=None, log_path=None, stop_after=None,
        verbose=False):
    server = make_server(site, host, port, faults_path, log_path, verbose)
    bound_port = server.server_address[1]
    if port_file:
        temp = port_file + ".new"
        with open(temp, "w") as out:
            out.write("%d\n" % bound_port)
        os.replace(temp, port_file)
    host_text = server.server_address[0]
    if ":" in host_text:
        host_text = "[%s]" % host_text
    if not os.path.isdir(site):
        print("note: %s does not exist yet; requests get 404 until a site is published there"
              % site, file=sys.stderr)
    print("serving %s on http://%s:%d/" % (server.site, host_text, bound_port), flush=True)

    def stop(*_):
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    timer = None
    if stop_after:
        timer = threading.Timer(stop_after, stop)
        timer.daemon = True
        timer.start()
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        if timer:
            timer.cancel()
        server.server_close()
    return 0
