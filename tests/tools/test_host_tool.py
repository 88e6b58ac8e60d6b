"""The update-host tool: the launcher's rules, `publish` (the site, refusals, a site replaced
whole or not at all, earlier releases kept until `prune`), signed statements (`keygen`,
`publish --sign-key`, `resign`), and the site as launchers see it from `serve` and from nginx,
under a path prefix."""

import base64, datetime, http.client, json, os, shutil, ssl, stat, subprocess, sys, tempfile
import time, unittest, urllib.parse, zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from harness import (NGINX, TOOL, ServedSite, free_port, make_pe, make_tree,  # noqa: E402
                     publish, request, run, sha, start_nginx, stop)
from qornhost import signing  # noqa: E402
from qornhost.rules import (RuleError, case_key, check_base_url, check_client_path,  # noqa: E402
                            check_release_id, inspect_launcher, loopback_bind_address,
                            parse_launcher_version)

BASE = "http://127.0.0.1:54321"
BIG = bytes(i * 7 % 251 for i in range(5000))
PREFIX = "/games/qorn"
FILE = PREFIX + "/files/" + sha(BIG)
CLIENT = {"Main.exe": b"main", "Data/nh\u00e2n v\u1eadt/a.bmd": b"same bytes",
          "Data/copy.bmd": b"same bytes", "Data/big.bin": BIG, "Sound/x.wav": b"",
          "Empty/Inner": None, "Music": None}
# rule -> {what its refusal names (None: accepted) -> inputs}
CASES = {
    check_client_path: {
        "unsafe": ["../Main.exe", "Data/../a", "Data//a", "Data/a.", "Data/a ", "/a", "a/"],
        "1 to 230": ["", "a" * 231, "\U0001F600" * 115 + "a"],
        "not allowed": ["C:/Main.exe", "a\\b", "a\tb", "x|y"],
        "device": ["CON.txt", "A/NUL", "con", "Nul.tar.gz", "COM\u00b9.txt", "LPT\u00b3.log",
                   "lpt9", "COM0"],
        "launcher": [".qorn-launcher/a", "Updater.exe", "QORNUPDATETOOL.exe/x"],
        "UTF-8": ["bad\udcffname"],
        None: ["Data/nhân vật/a.bmd", "COM10", "CONSOLE", "COMX", "NULL", "COM\u2074", ".hidden",
               "Data/Updater.exe", "Data/.qorn-launcher", "a..b", "a" * 230, "\U0001F600" * 115]},
    check_release_id: {None: ["r1", "1.2.3", "r-1.2_3", "a" * 80, "r1."], "release id": [
        "", "a" * 81, "-r1", "_r1", ".r1", "r..1", "r 1", "rü", "r1\n"]},
    parse_launcher_version: {"launcher version": ["2.0.8", "2.0.8.0.0", "-1.0.0.0", "65536.0.0.0",
                                                  "1..2.3", "1.2.x.4", "1.2.3.\u0664"]},
    check_base_url: {
        None: ["https://update.example.net/", "http://127.0.0.1:1", "http://LocalHost:1",
               "http://[::1]:8080", "https://cdn.example.net/games/q.o~r_n-1/"],
        "base URL": ["http://update.example.net", "https://u:p@host", "https://host/#x", "ftp://h",
                     "https://h/?a=1", "https://h/p?", "https://h/a//b", "https://h/a/../b",
                     "https://h/a%20b", "https://h/a b", "h:80", "https://h:0", "https://h:99999"]},
    loopback_bind_address: {"loopback": ["0.0.0.0", "::", "192.168.1.1", "example.net"]},
    inspect_launcher: {"MZ": [b"PK\x03\x04" + bytes(100)], "DLL": [make_pe(dll=True)],
                       "architecture": [make_pe(machine=0xAA64)],
                       "version": [make_pe(version=None)]}}

class Rules(unittest.TestCase):
    def test_refusals_name_the_broken_rule(self):
        for check, groups in CASES.items():
            for reason, value in ((r, v) for r, values in groups.items() for v in values):
                with self.subTest(check=check.__name__, value=value):
                    if reason is None:
                        check(value)
                    else:
                        self.assertRaisesRegex(RuleError, reason, check, value)

    def test_answers(self):
        # Upper cases longer than one code unit are not applied: the key keeps the length.
        self.assertEqual(case_key("Nhân ß \ufb01le \U00010428"), "NHÂN ß \ufb01LE \U00010428")
        self.assertEqual(inspect_launcher(make_pe(0x14C, 0x10B, (1, 2, 3, 4))),
                         ("win-x86", parse_launcher_version("1.2.3.4")))

def der(r, s, tail=b"", tag=0x30):
    items = b"".join(b"\x02" + bytes([len(n)]) + n for n in (r, s))
    return bytes([tag, len(items)]) + items + tail

R, S = bytes(range(1, 33)), bytes(range(101, 133))

class Signing(unittest.TestCase):
    def test_der_signatures_become_r_and_s(self):
        cases = [(der(R, S), R + S), (der(b"\x00\x80" + R[1:], S), b"\x80" + R[1:] + S),
                 (der(R[2:], b"\x00" + S[1:]), b"\x00\x00" + R[2:] + b"\x00" + S[1:]),
                 (b"\x30\x81\x44" + der(R, S)[2:], R + S),  # long form of the length
                 (der(b"\x01" + R, S), None), (der(R, S, b"\x00"), None), (der(R, S, tag=0x31), None),
                 (der(R, S)[:-1], None), (der(R, S)[:2] + b"\x03" + der(R, S)[3:], None)]
        for given, raw in cases:
            with self.subTest(given=given.hex()):
                if raw is None:
                    self.assertRaises(signing.SigningError, signing.der_to_raw, given)
                else:
                    self.assertEqual(signing.der_to_raw(given), raw)

    def test_expiry(self):
        now = datetime.datetime(2024, 6, 1, 10, 30, 15, 500, datetime.timezone.utc)
        for text, expires in (("30d", "2024-07-01T10:30:15Z"), ("1h", "2024-06-01T11:30:15Z"),
                              ("2024-06-02", "2024-06-02T00:00:00Z"),
                              ("2024-06-01T10:30:16Z", "2024-06-01T10:30:16Z"),
                              ("2024-06-01T10:30:15Z", "past"), ("2024-06-01", "past"),
                              ("0d", None), ("30", None), ("2w", None), ("-1d", None),
                              ("2025-02-29", None), ("2025-01-01T00:00:00", None), ("1d ", None)):
            with self.subTest(text=text):
                if expires in (None, "past"):
                    with self.assertRaisesRegex(signing.SigningError,
                                                "in the past" if expires else "give a duration"):
                        signing.expiry(text, now)
                else:
                    self.assertEqual(signing.expiry(text, now), expires)

    def test_keygen(self):
        folder = tempfile.mkdtemp(prefix="qorn-keys-")
        self.addCleanup(shutil.rmtree, folder)
        out = os.path.join(folder, "release")
        made = run([sys.executable, TOOL, "keygen", out])
        self.assertEqual(made.returncode, 0, made.stderr)
        with open(out + ".pub", "rb") as src:
            public = src.read()
        self.assertIn(public.decode(), made.stdout)
        self.assertEqual(signing.key_point(out + ".key"), signing.public_point(public))
        self.assertEqual([stat.S_IMODE(os.stat(out + end).st_mode) & 0o077 for end in (".key", ".pub")],
                         [0, 0o044 & ~_umask()])
        again = run([sys.executable, TOOL, "keygen", out])
        self.assertEqual((again.returncode, "refusing to overwrite" in again.stderr), (1, True))
        for bad in (out + ".pub", os.path.join(folder, "missing.key")):
            self.assertRaises(signing.SigningError, signing.key_point, bad)

def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask

def keygen(folder, name):
    run([sys.executable, TOOL, "keygen", os.path.join(folder, name)], "making a release key")
    return os.path.join(folder, name + ".key")

def statement_of(site):
    """The statement served by a site, with its raw signature (or None: none served)."""
    path = os.path.join(site, "public", "api", "release.json")
    if not os.path.exists(path):
        return None
    with open(path, "rb") as src:
        outer = json.loads(src.read())
    return {**json.loads(base64.b64decode(outer["statement"])),
            "signature": base64.b64decode(outer["signature"])}

class Publish(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="qorn-host-")
        self.addCleanup(shutil.rmtree, self.tmp)
        self.src = make_tree(os.path.join(self.tmp, "src"), CLIENT)
        self.site = os.path.join(self.tmp, "site")

    def publish(self, *options, release="r1", source=None, site=None):
        return run([sys.executable, TOOL, "publish", source or self.src, site or self.site,
                    "--base-url", BASE + "/", "--release-id", release, *options])

    def prune(self, *options):
        return run([sys.executable, TOOL, "prune", self.site, *options])

    def read(self, *parts):
        with open(os.path.join(self.site, "public", *parts), "rb") as src:
            return src.read()

    def bodies(self):
        served = os.path.join(self.site, "public")
        return {kind + "/" + name for kind in ("files", "packages", "launchers")
                for name in os.listdir(os.path.join(served, kind))}

    def test_site(self):
        """What installations do not show: empty folders, bodies once, a stored package each."""
        done = self.publish("--packages", "50", "--package-compression", "stored")
        self.assertEqual(done.returncode, 0, done.stderr)
        text = self.read("api", "manifest")
        document = json.loads(text)
        self.assertEqual(document["directories"], ["Empty/Inner", "Music"])
        # A launcher that reads only the start finds the release: it comes first, the rest sorted.
        rest = {k: v for k, v in document.items() if k not in ("schemaVersion", "releaseId")}
        self.assertEqual(text, b'{"schemaVersion":1,"releaseId":"r1",' + json.dumps(
            rest, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()[1:])
        files = {p: d for p, d in CLIENT.items() if d is not None}
        self.assertEqual({name: self.read("files", name) for name in os.listdir(
            os.path.join(self.site, "public", "files"))}, {sha(d): d for d in files.values()})
        for package, path in zip(document["packages"], sorted(files), strict=True):
            with zipfile.ZipFile(os.path.join(self.site, "public", "packages",
                                              package["sha256"] + ".zip")) as archive:
                self.assertEqual([(i.filename, i.compress_type) for i in archive.infolist()],
                                 [(path, zipfile.ZIP_STORED)])
                self.assertEqual((package["files"], archive.read(path)), ([path], files[path]))

    def test_refusals_report_every_problem_and_write_nothing(self):
        exe = make_tree(self.tmp, {"x64.exe": make_pe()}) + "/x64.exe"
        key = keygen(self.tmp, "release")
        outside = make_tree(os.path.join(self.tmp, "outside"), {"x.bin": b"x"})
        main = {"Main.exe": b"m"}
        cases = [  # (client folder, a text: a link to it; options; what stderr says)
            ({**main, "COM\u00b9.txt": b"x", "Data/a.txt": b"1", "data/A.TXT": b"2",
              "Notes": b"file", "notes/inner.txt": b"x", "readme": None, "README": b"file",
              "updater.exe": b"x", "Data/trailing.": b"x", "Bin/ok.dll": b"x"},
             ["--release-id=-bad", "--base-url", "http://update.example.net"],
             ["'COM\u00b9.txt'", "reserved Windows device name",
              "differ only in letter case; Windows would make them one file",
              "'notes/inner.txt' uses the file 'Notes' as a folder",
              "folder 'readme' collides with 'README'", "belongs to the launcher",
              "'Data/trailing.': unsafe", "release id '-bad'", "HTTPS only"]),
            ({"Bin/Main.exe": b"m"}, [], ["no Main.exe"]),
            ({**main, "Linked": outside, "file-link": outside + "/x.bin"}, [],
             ["'Linked': is a folder link", "'file-link': is a link"]),
            ({**main, "Data/aux.dat": b""}, [], ["publish refused (1 problem)", "'Data/aux.dat'"]),
            (main, ["--launcher", "win-x64=%s:2.0.9.0" % exe, "--launcher", "win-x64=" + exe],
             ["file version is 2.0.8.0", "offered twice"]),
            (main, ["--launcher", "win-x86=" + exe, "--launcher", "arm64=" + exe],
             ["is win-x64, not win-x86", "win-x64 or win-x86"]),
            (main, ["--launcher", "win-x64=%s:2.0.8" % exe], ["must have four parts"]),
            (main, ["--base-url", "https://update.example.net/qorn", "--keep", "0"],
             ["is https:// and the launcher talks TLS only", "--keep must be at least 1"]),
            (main, ["--nginx-tls-cert", exe, "--nginx-tls-key", exe], ["need an https://"]),
            (main, ["--expires", "30d", "--sign-key", key[:-4] + ".pub", "--unsigned"],
             ["--sign-key: openssl pkey failed", "exclude each other"]),
            (main, ["--sign-key", key], ["--sign-key needs --expires"]),
            (main, ["--sign-key", key, "--expires", "2020-01-01"], ["lies in the past"]),
            (main, ["--expires", "30d"], ["--expires needs --sign-key"])]
        for number, (entries, options, messages) in enumerate(cases):
            source = make_tree(os.path.join(self.tmp, "case-%d" % number),
                               {p: d for p, d in entries.items() if not isinstance(d, str)})
            for path, target in entries.items():
                if isinstance(target, str):
                    os.symlink(target, os.path.join(source, path))
            with self.subTest(messages[0]):
                done = self.publish(*options, source=source)
                self.assertEqual((done.returncode, done.stdout), (1, ""))
                for message in messages:
                    self.assertIn(message, done.stderr)
                self.assertNotIn("ok.dll", done.stderr)
                self.assertFalse(os.path.exists(self.site))
        # Neither a folder that is not a site, nor one inside the source, is written to.
        make_tree(self.site, {"precious.txt": b"keep"})
        self.assertIn("not a release site", self.publish().stderr)
        self.assertEqual(os.listdir(self.site), ["precious.txt"])
        self.assertIn("contain each other", self.publish(site=self.src + "/site").stderr)
        self.assertFalse(os.path.exists(self.src + "/site"))

    def test_a_site_is_replaced_whole_or_not_at_all(self):
        self.assertEqual(self.publish().returncode, 0)
        before, bodies = self.read("api", "manifest"), self.bodies()
        make_tree(self.src, {"Data/big.bin": b"new content", "dll.exe": make_pe(dll=True)})
        # Refused late, after the new bodies were stored: the old site stays as it was.
        failed = self.publish("--launcher", "win-x64=" + self.src + "/dll.exe", release="r2")
        self.assertIn("DLL", failed.stderr)
        self.assertEqual((self.read("api", "manifest"), self.bodies()), (before, bodies))
        self.assertEqual([n for n in os.listdir(self.tmp) if n.startswith(".site.")], [])

    def test_releases_stay_until_pruned(self):
        """Publishing removes nothing; prune keeps what its newest releases need, and always
        what the current one does, here a release that brings back the first one's content."""
        exe = make_tree(self.tmp, {"x64.exe": make_pe()}) + "/x64.exe"
        needs, releases = [], [("r1", BIG, ["--packages", "1"]), ("r2", b"2", []),
                               ("r3", b"3", ["--launcher", "win-x64=" + exe]),
                               ("r4", BIG, ["--keep", "2"])]
        for number, (release, big, options) in enumerate(releases):
            make_tree(self.src, {"Data/big.bin": big})
            self.assertEqual(self.publish(*options, release=release).returncode, 0)
            document = json.loads(self.read("api", "manifest"))
            needs.insert(0, {"%s/%s%s" % (kind, e["sha256"], end) for kind, end in (
                ("files", ""), ("packages", ".zip"), ("launchers", ".exe"))
                for e in document.get(kind, [])})
            self.assertEqual(self.bodies(), set().union(*needs), release)
        for options, kept in ((["--keep", "9"], 4), (["--keep", "1", "--dry-run"], 4),
                              ([], 2), (["--keep", "1"], 1), (["--keep", "0"], 1)):
            done = self.prune(*options)
            with self.subTest(options=options):
                self.assertEqual(self.bodies(), set().union(*needs[:kept]))
                with open(os.path.join(self.site, "releases.json")) as src:
                    self.assertEqual([r["releaseId"] for r in json.load(src)["releases"]],
                                     ["r4", "r3", "r2", "r1"][:kept])
                self.assertEqual(done.returncode, 1 if options == ["--keep", "0"] else 0)
        self.assertEqual([n for n in os.listdir(self.tmp) if n.startswith(".site.")], [])

    def test_signed_releases(self):
        """Every signature takes the next sequence, which the site's record keeps through
        renewals, prunes and unsigned publishes; a signed site is not published unsigned
        by mistake."""
        key = keygen(self.tmp, "release")
        sign = ["--sign-key", key, "--expires"]
        resign = [sys.executable, TOOL, "resign", self.site, *sign]
        self.assertIn("has no release record", run(resign + ["30d"]).stderr)
        steps = [  # (command, release, return code, served statement's sequence, record's)
            (lambda: self.publish(*sign, "30d"), "r1", 0, 1, 1),
            (lambda: run(resign + ["2099-01-01"]), "r1", 0, 2, 2),
            (lambda: self.publish(release="r2"), "r1", 1, 2, 2),
            (lambda: self.prune("--keep", "1"), "r1", 0, 2, 2),
            (lambda: self.publish("--unsigned", release="r3"), "r3", 0, None, 2),
            (lambda: self.publish(*sign, "1h", release="r4"), "r4", 0, 3, 3)]
        for number, (command, release, code, sequence, recorded) in enumerate(steps):
            before = (self.read("api", "manifest"), self.bodies()) if number else None
            done = command()
            with self.subTest(step=number):
                self.assertEqual(done.returncode, code, done.stderr)
                manifest = self.read("api", "manifest")
                statement = statement_of(self.site)
                if sequence is None:
                    self.assertIsNone(statement)
                else:
                    self.assertEqual((statement["releaseId"], statement["manifestSha256"],
                                      statement["sequence"], len(statement["signature"])),
                                     (release, sha(manifest), sequence, 64))
                with open(os.path.join(self.site, "releases.json")) as src:
                    self.assertEqual(json.load(src).get("statementSequence"), recorded)
                if number in (1, 2):  # a renewal, a refusal: nothing else changed
                    self.assertEqual((manifest, self.bodies(), statement["expires"]),
                                     before + ("2099-01-01T00:00:00Z",))
        self.assertIn("signed statement 3, expires", done.stdout)

    def test_a_site_from_before_the_record_keeps_its_bodies(self):
        self.assertEqual(self.publish().returncode, 0)
        bodies, new = self.bodies(), "files/" + sha(b"new")
        for name in os.listdir(self.site + "/public"):  # its tree at the top, and no record
            os.rename(os.path.join(self.site, "public", name), os.path.join(self.site, name))
        for name in ("public", "releases"):
            shutil.rmtree(os.path.join(self.site, name))
        os.remove(self.site + "/releases.json")
        make_tree(self.src, {"Data/big.bin": b"new"})
        self.assertEqual(self.publish(release="r2").returncode, 0)
        self.assertEqual(self.bodies(), bodies | {new})
        self.assertEqual(self.prune("--keep", "1").returncode, 0)
        self.assertEqual(self.bodies(), bodies - {"files/" + sha(BIG)} | {new})

class Answers:
    """Both servers' answers, over one kept-alive connection; subclasses serve on cls.port."""

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="qorn-serve-")
        cls.addClassCleanup(shutil.rmtree, cls.root)
        make_tree(cls.root, {**{"src/" + p: d for p, d in CLIENT.items()},
                             "Updater.exe": make_pe()})
        cls.port = free_port()
        cls.manifest = publish(cls.root + "/src", cls.root + "/site",
                               "http://127.0.0.1:1%s/" % PREFIX, "r1", "--sign-key",
                               keygen(cls.root, "release"), "--expires", "30d", "--nginx-listen",
                               "127.0.0.1:%d" % cls.port, "--packages", "1", "--launcher",
                               "win-x64=%s/Updater.exe" % cls.root,
                               "--nginx-access-log", cls.root + "/access.log")
        cls.serve()

    def setUp(self):
        self.conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        self.addCleanup(self.conn.close)

    def get(self, path, method="GET", **headers):
        return request(self.port, method, path, headers, self.conn)

    def test_manifest(self):
        etag = '"%s"' % sha(self.manifest)
        for method, body in (("GET", self.manifest), ("HEAD", b"")):
            status, headers, data = self.get(PREFIX + "/api/manifest", method)
            self.assertEqual((status, data, headers["etag"], headers["x-qorn-release"],
                              headers["content-type"], int(headers["content-length"])),
                             (200, body, etag, "r1", "application/json", len(self.manifest)))
            status, headers, data = self.get(PREFIX + "/api/manifest", method,
                                             **{"If-None-Match": etag})
            self.assertEqual((status, data, headers["etag"], headers["x-qorn-release"]),
                             (304, b"", etag, "r1"))
        # Only exactly the entity tag is answered 304.
        for other in (etag.strip('"'), "W/" + etag, '"%s"' % ("0" * 64), etag.upper()):
            self.assertEqual(self.get(PREFIX + "/api/manifest", "HEAD",
                                      **{"If-None-Match": other})[0], 200)

    def test_release_statement(self):
        with open(self.root + "/site/public/api/release.json", "rb") as src:
            statement = src.read()
        for method, body in (("GET", statement), ("HEAD", b"")):
            status, headers, data = self.get(PREFIX + "/api/release.json", method)
            self.assertEqual((status, data, headers["content-type"], headers["cache-control"]),
                             (200, body, "application/json", "no-cache"))

    def test_ranges(self):
        for method, asked, status, body, content_range in [
                ("GET", "bytes=1000-", 206, BIG[1000:], "bytes 1000-4999/5000"),
                ("HEAD", "bytes=4999-", 206, BIG[4999:], "bytes 4999-4999/5000"),
                ("GET", "bytes=-10", 206, BIG[-10:], "bytes 4990-4999/5000"),
                ("GET", "bytes=10-19", 206, BIG[10:20], "bytes 10-19/5000"),
                ("GET", "bytes=5000-", 416, None, "bytes */5000"),
                ("GET", "bytes=0-1,5-6", 200, BIG, None), ("GET", "", 200, BIG, None)]:
            with self.subTest(method=method, range=asked):
                answer, headers, data = self.get(FILE, method, Range=asked)
                self.assertEqual((answer, headers.get("content-range")), (status, content_range))
                if body is not None:
                    self.assertEqual((data, int(headers["content-length"])),
                                     (body if method == "GET" else b"", len(body)))
                    self.assertEqual(headers["content-type"], "application/octet-stream")

    def test_only_published_addresses_are_served(self):
        document = json.loads(self.manifest)
        for url, kind in ((document["packages"][0]["url"], "application/zip"),
                          (document["launchers"][0]["url"], "application/octet-stream"),
                          (document["files"][0]["url"], "application/octet-stream")):
            self.assertTrue(url.startswith("http://127.0.0.1:1%s/" % PREFIX), url)
            status, headers, _ = self.get(urllib.parse.urlsplit(url).path, "HEAD")
            self.assertEqual((status, headers["content-type"]), (200, kind))
        for path in ("/nginx.conf", "/releases.json", "/api/manifest", "/api/release.json",
                     FILE[len(PREFIX):], "/",
                     PREFIX + "/nginx.conf", PREFIX + "/public/api/manifest", PREFIX + "/files/",
                     FILE.upper(), PREFIX + "/files/" + sha(b"nope")):
            self.assertEqual(self.get(path)[0], 404, path)

class ToolServer(Answers, unittest.TestCase):
    @classmethod
    def serve(cls):
        cls.server = ServedSite(cls.root + "/site", cls.root, port=cls.port)
        cls.addClassCleanup(stop, cls.server.process)

    def setUp(self):
        super().setUp()
        self.server.faults({})

    def test_faults(self):
        # A faults file that cannot be used fails every request and says why.
        for rules, reason in (({FILE: {"cutAfter": -1}}, b"cutAfter"),
                              ({FILE: {"bogus": 1}}, b"unknown fault")):
            self.server.faults(rules)  # read again by the next request
            status, _, body = self.get(FILE)
            self.assertEqual(status, 500)
            self.assertIn(reason, body)
        self.server.faults({FILE: {"ignoreRange": True}})
        self.assertEqual(self.get(FILE, Range="bytes=1000-")[::2], (200, BIG))
        # A body cut for the first requests only; the log shows what was sent.
        self.server.faults({FILE: {"cutAfter": 100, "times": 2}})
        for _ in range(2):
            with self.assertRaises(http.client.IncompleteRead) as cut:
                request(self.port, "GET", FILE + "?cut", {"Range": "bytes=1000-"})
            self.assertEqual(cut.exception.partial, BIG[1000:1100])
        self.assertEqual(self.get(FILE + "?cut", Range="bytes=1000-")[2], BIG[1000:])
        entries = [e for e in self.server.log.new(at_least=3) if e["path"] == FILE + "?cut"]
        self.assertEqual([(e["status"], e["bytes"]) for e in entries],
                         [(206, 100), (206, 100), (206, 4000)])

@unittest.skipUnless(NGINX, "nginx is not installed")
class NginxServer(Answers, unittest.TestCase):
    @classmethod
    def serve(cls):
        """The site's server block, and one with TLS when openssl can make a certificate."""
        includes, cls.tls_port = [cls.root + "/site/nginx.conf"], None
        cls.cert, key = cls.root + "/cert.pem", cls.root + "/key.pem"
        if shutil.which("openssl") and subprocess.run(
                ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                 "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key,
                 "-out", cls.cert], capture_output=True, timeout=30).returncode == 0:
            os.chmod(key, 0o644)
            cls.tls_port = free_port()
            publish(cls.root + "/src", cls.root + "/tls-site", "https://127.0.0.1:1", "tls1",
                    "--nginx-listen", "127.0.0.1:%d" % cls.tls_port, "--nginx-tls-cert", cls.cert,
                    "--nginx-tls-key", key)
            includes.append(cls.root + "/tls-site/nginx.conf")
        cls.addClassCleanup(stop, start_nginx(cls.root, includes, cls.port))

    def test_tls_server_block(self):
        if self.tls_port is None:
            self.skipTest("openssl could not make a test certificate")
        context = ssl.create_default_context(cafile=self.cert)
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        conn = http.client.HTTPSConnection("127.0.0.1", self.tls_port, timeout=10, context=context)
        self.addCleanup(conn.close)
        status, headers, _ = request(self.tls_port, "HEAD", "/api/manifest", conn=conn)
        self.assertEqual((status, headers["x-qorn-release"]), (200, "tls1"))

    def test_access_log(self):
        self.get(PREFIX + "/api/manifest", "HEAD")
        # nginx logs a request after its answer has gone out: the line may come a moment later.
        line, deadline, text = '"HEAD %s/api/manifest HTTP/1.1" 200' % PREFIX, time.monotonic() + 5, ""
        while line not in text and time.monotonic() < deadline:
            time.sleep(0.05)
            with open(self.root + "/access.log") as src:
                text = src.read()
        self.assertIn(line, text)
