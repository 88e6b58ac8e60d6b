"""`Updater.exe --sync` over HTTPS: Debian's nginx serving TLS on 127.0.0.1 with a certificate of
a CA made for this test, trusted only in a Wine prefix of this test's own. A first installation,
the quick path and an update over TLS; the same run fails while the CA is not trusted, and a host
that offers only TLS 1.0 and 1.1 is refused."""

import hashlib, http.client, os, shutil, ssl, subprocess, sys, tempfile, time, unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from harness import (NGINX, UPDATER, WINEPREFIX, ClientCase, RequestLog, Updater, reload_nginx,  # noqa: E402
                     request, run, sample_files, sha, start_nginx, windows_path)

OPENSSL = shutil.which("openssl")
NO_HOST = "Không kết nối được hosting. Chưa có client hoàn chỉnh để chạy."
# The current user's trusted roots, which Wine's crypt32 reads besides the host's certificates.
ROOT_STORE = r"HKCU\Software\Microsoft\SystemCertificates\Root\Certificates"
TLS_1_2_UP = "ssl_protocols TLSv1.2 TLSv1.3;"
# OpenSSL 3 refuses TLS 1.0 and 1.1 at its default security level.
TLS_1_0_AND_1_1 = "ssl_protocols TLSv1 TLSv1.1;\n    ssl_ciphers DEFAULT:@SECLEVEL=0;"

def openssl(*arguments):
    run([OPENSSL, *arguments], "openssl " + arguments[0])

def make_certificates(folder):
    """A CA and a server certificate for 127.0.0.1 that it signs; the CA's DER bytes. The address
    is named twice: as an IP address entry, as the standard wants it, and as a DNS name, the
    only kind of entry that Wine 8 compares with the host."""
    path = lambda name: os.path.join(folder, name)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", path("ca.key"), "-out", path("ca.pem"),
            "-days", "2", "-subj", "/CN=QORN test CA", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", path("server.key"), "-out", path("server.csr"),
            "-subj", "/CN=127.0.0.1")
    with open(path("server.ext"), "w") as out:
        out.write("basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n"
                  "extendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1,DNS:127.0.0.1\n")
    openssl("x509", "-req", "-in", path("server.csr"), "-CA", path("ca.pem"), "-CAkey", path("ca.key"),
            "-set_serial", "2", "-days", "1", "-out", path("server.pem"), "-extfile", path("server.ext"))
    with open(path("ca.pem")) as src:
        return ssl.PEM_cert_to_DER_cert(src.read())

def make_prefix(prefix):
    """A Wine prefix whose registry is a copy of the clone's and whose drives are the clone's: what
    the test adds to its registry stays in it."""
    os.makedirs(os.path.join(prefix, "dosdevices"))
    for name in ("system.reg", "user.reg", "userdef.reg", ".update-timestamp"):
        shutil.copy2(os.path.join(WINEPREFIX, name), prefix)
    os.symlink(os.path.join(WINEPREFIX, "drive_c"), os.path.join(prefix, "dosdevices", "c:"))
    os.symlink("/", os.path.join(prefix, "dosdevices", "z:"))
    return dict(os.environ, WINEPREFIX=prefix)

def trust(env, ca):
    """The CA as a trusted root of the prefix's user: a certificate property record (id 32,
    version 1, length) followed by the DER bytes, under the certificate's SHA-1."""
    blob = (32).to_bytes(4, "little") + (1).to_bytes(4, "little") + len(ca).to_bytes(4, "little") + ca
    key = ROOT_STORE + "\\" + hashlib.sha1(ca).hexdigest().upper()
    # The first program of a prefix starts Wine's services, which live as long as the persistent
    # wineserver and hold that program's error output open.
    done = subprocess.run(["wine", "reg", "add", key, "/v", "Blob", "/t", "REG_BINARY", "/d", blob.hex(), "/f"],
                          env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=60)
    if done.returncode != 0:
        raise RuntimeError("trusting the test CA failed (%d)" % done.returncode)

def entry(line):
    """Protocol, method, path and status of a line of the access log that setUp configures."""
    return line.split()

@unittest.skipUnless(NGINX and OPENSSL, "nginx or openssl is not installed")
class OverTls(ClientCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="qorn-https-")
        cls.addClassCleanup(shutil.rmtree, cls.folder, ignore_errors=True)
        cls.ca = make_certificates(cls.folder)
        cls.untrusting = dict(os.environ)  # the clone's own prefix: the same registry without the CA
        cls.trusting = make_prefix(os.path.join(cls.folder, "prefix"))
        # Its own wineserver, kept for the whole class and ended with it (it serves only this prefix).
        subprocess.run(["wineserver", "-p60"], env=cls.trusting, check=True)
        cls.addClassCleanup(subprocess.run, ["wineserver", "-k"], env=cls.trusting)
        trust(cls.trusting, cls.ca)

    def setUp(self):
        super().setUp()
        self.url = "https://127.0.0.1:%d/api/manifest" % self.port
        # The http block's own logs: the TLS version of each request, and the handshakes.
        self.log = RequestLog(os.path.join(self.work, "access.log"), parse=entry)
        self.handshakes = os.path.join(self.work, "handshakes.log")
        self.http_block = os.path.join(self.work, "http.conf")
        with open(self.http_block, "w") as out:
            out.write("log_format tls '$ssl_protocol $request_method $request_uri $status';\n"
                      "access_log %s tls;\nerror_log %s info;\n" % (self.log.path, self.handshakes))

    def publish(self, files, release_id, tls=TLS_1_2_UP):
        """A release on the https site, served by an nginx block whose TLS versions are `tls`."""
        super().publish(files, release_id, "--packages", "2", "--nginx-listen", "127.0.0.1:%d" % self.port,
                        "--nginx-tls-cert", os.path.join(self.folder, "server.pem"),
                        "--nginx-tls-key", os.path.join(self.folder, "server.key"))
        block = os.path.join(self.site, "nginx.conf")
        with open(block) as src:
            text = src.read()
        self.assertEqual(text.count(TLS_1_2_UP), 1, text)
        with open(block, "w") as out:
            out.write(text.replace(TLS_1_2_UP, tls))
        return self

    def start_nginx(self):
        return start_nginx(self.work, [self.http_block, os.path.join(self.site, "nginx.conf")], self.port)

    def sync(self, *extra, env=None):
        self.log.new()  # what came before is not this run's
        self.handshakes_seen = os.path.getsize(self.handshakes) if os.path.exists(self.handshakes) else 0
        return Updater(self.client, self.url, *extra, env=env or self.trusting).finish()

    def https_request(self, method, path):
        """A request of Python's own client, which trusts the test CA."""
        context = ssl.create_default_context(cafile=os.path.join(self.folder, "ca.pem"))
        conn = http.client.HTTPSConnection("127.0.0.1", self.port, timeout=10, context=context)
        try:
            return request(self.port, method, path, conn=conn)
        finally:
            conn.close()

    def handshake_ended(self, text):
        """Waits for nginx's note of how the last run's handshake ended."""
        deadline = time.monotonic() + 10
        while True:
            with open(self.handshakes, encoding="utf-8") as src:
                src.seek(self.handshakes_seen)
                notes = src.read()
            if text in notes or time.monotonic() > deadline:
                return self.assertIn(text, notes)
            time.sleep(0.1)

    def assert_refused(self, run):
        """The launcher's network message, nothing installed, no request reached the host."""
        self.assert_failed(run, NO_HOST)
        self.assert_client_holds({})
        self.assertIn("Không kết nối được hosting: ", self.log_text())
        self.assertEqual(self.log.new(), [])

    def test_install_quick_path_and_update_only_with_the_ca_trusted(self):
        old = sample_files(30)
        self.publish(old, "tls-1")
        nginx = self.start_nginx()
        self.assertEqual(self.https_request("HEAD", "/api/manifest")[0], 200)  # the chain is sound
        # Without the CA among the prefix's roots the handshake completes and the launcher
        # refuses the certificate before it sends a request.
        self.assert_refused(self.sync(env=self.untrusting))
        self.handshake_ended("client closed connection while waiting for request")

        self.assert_installed(self.sync(), "tls-1", old, 31)
        requests = self.log.new()
        self.assertEqual(requests[0][1:], ["GET", "/api/manifest", "200"])
        self.assertEqual(sorted(r[1] + " " + r[2].split("/")[1] for r in requests[1:]), ["GET packages"] * 2)
        # Under Wine 8 always 1.2: its WinHTTP passes on only the 1.2 of the launcher's 1.2 and 1.3.
        self.assertLessEqual({r[0] for r in requests}, {"TLSv1.2", "TLSv1.3"})
        self.assert_synced(self.sync(), "tls-1", downloaded=0, quick=True)
        self.assertEqual([r[1:] for r in self.log.new()], [["HEAD", "/api/manifest", "304"]])

        new = dict(old, **{"Data/Âm thanh/Tệp 002.bmd": b"changed over TLS", "Sự kiện/Mới.ozj": bytes(range(256)) * 40})
        del new["Giao diện/Tệp 003.bmd"]
        self.publish(new, "tls-2")
        reload_nginx(nginx, "tls-2", lambda: self.https_request("HEAD", "/api/manifest")[1])
        self.assert_installed(self.sync(), "tls-2", new, 2)
        requests = self.log.new()
        self.assertEqual([r[1:] for r in requests[:2]], [["HEAD", "/api/manifest", "200"],
                                                          ["GET", "/api/manifest", "200"]])
        self.assertEqual(sorted(r[1:] for r in requests[2:]),
                         sorted(["GET", "/files/" + sha(new[p]), "200"]
                                for p in ("Data/Âm thanh/Tệp 002.bmd", "Sự kiện/Mới.ozj")))
        self.assertLessEqual({r[0] for r in requests}, {"TLSv1.2", "TLSv1.3"})

    def test_a_host_offering_only_tls_1_0_and_1_1_is_refused(self):
        self.publish(sample_files(3), "tls-old", tls=TLS_1_0_AND_1_1)
        self.start_nginx()
        ca = os.path.join(self.folder, "ca.pem")
        for version, answered in (("-tls1", "TLSv1"), ("-tls1_1", "TLSv1.1"), ("-tls1_2", None)):
            done = subprocess.run([OPENSSL, "s_client", "-brief", "-connect", "127.0.0.1:%d" % self.port, version,
                                   "-cipher", "DEFAULT:@SECLEVEL=0", "-CAfile", ca, "-verify_return_error"],
                                  stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=20)
            if answered:
                self.assertIn("Protocol version: %s\n" % answered, done.stderr)
            else:
                self.assertNotIn("CONNECTION ESTABLISHED", done.stderr)
        # The CA is trusted: only the versions stand between the launcher and the host.
        self.assert_refused(self.sync())
        self.handshake_ended("peer closed connection in SSL handshake")

    def test_the_window_test_mode_takes_plain_http_on_loopback_only(self):
        for url, message in ((self.url, "UI test mode only accepts HTTP loopback."),
                             ("http://update.example.net/api/manifest", "Hosting phải sử dụng HTTPS.")):
            done = subprocess.run(["wine", UPDATER, "--test-ui", windows_path(self.client), url], env=self.trusting,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                  timeout=60)
            self.assertEqual((done.returncode, done.stdout.decode("utf-8").replace("\r\n", "\n")),
                             (1, '{"error":"%s"}\n' % message))
