"""The generated nginx server block, run by the real nginx on loopback."""

import hashlib
import http.client
import json
import os
import shutil
import ssl
import subprocess
import tempfile
import unittest
import urllib.parse

import hosttest
from hosttest import free_port, make_tree, run_tool

BIG = bytes(i * 13 % 256 for i in range(70000))


def sha(data):
    return hashlib.sha256(data).hexdigest()


@unittest.skipUnless(hosttest.HAVE_NGINX, "nginx is not installed (%s)" % hosttest.NGINX)
class NginxServesTheSite(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._temp = tempfile.TemporaryDirectory(prefix="qorn-nginx-")
        root = cls.root = cls._temp.name
        os.chmod(root, 0o755)  # nginx workers run as another user when started as root
        source = make_tree(os.path.join(root, "src"), {"Main.exe": BIG, "Data/a.txt": b"abc"})
        exe = os.path.join(root, "Updater.exe")
        with open(exe, "wb") as out:
            out.write(hosttest.make_pe())
        cls.port = free_port()
        cls.site = os.path.join(root, "site")
        cls.publish(source, cls.site, "--nginx-listen", "127.0.0.1:%d" % cls.port,
                    "--packages", "1", "--launcher", "win-x64=" + exe)
        includes = [os.path.join(cls.site, "nginx.conf")]
        cls.tls_port = None
        if shutil.which("openssl"):
            cls.cert, key = os.path.join(root, "cert.pem"), os.path.join(root, "key.pem")
            made = subprocess.run(
                ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                 "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                 "-keyout", key, "-out", cls.cert], capture_output=True, timeout=30)
            if made.returncode == 0:
                os.chmod(key, 0o644)
                cls.tls_port = free_port()
                cls.tls_site = os.path.join(root, "tls-site")
                cls.publish(source, cls.tls_site, "--nginx-listen",
                            "127.0.0.1:%d" % cls.tls_port, "--nginx-tls-cert", cls.cert,
                            "--nginx-tls-key", key, release="tls1")
                includes.append(os.path.join(cls.tls_site, "nginx.conf"))
        try:
            cls.nginx = hosttest.Nginx(root, includes, cls.port)
        except RuntimeError:
            cls._temp.cleanup()
            raise

    @classmethod
    def publish(cls, source, site, *extra, release="r1"):
        result = run_tool("publish", source, site, "--base-url", "http://127.0.0.1:1",
                          "--release-id", release, *extra)
        assert result.returncode == 0, result.stderr

    @classmethod
    def tearDownClass(cls):
        cls.nginx.stop()
        cls._temp.cleanup()

    def setUp(self):
        with open(os.path.join(self.site, "api", "manifest"), "rb") as src:
            self.manifest = src.read()

    def request(self, method, path, port=None, context=None, **headers):
        if context is None:
            conn = http.client.HTTPConnection("127.0.0.1", port or self.port, timeout=10)
        else:
            conn = http.client.HTTPSConnection("127.0.0.1", port, timeout=10, context=context)
        try:
            conn.request(method, path, headers=headers)
            response = conn.getresponse()
            body = response.read()
            return response.status, {k.lower(): v for k, v in response.getheaders()}, body
        finally:
            conn.close()

    def test_manifest_answers(self):
        hosttest.check_manifest_answers(self, lambda method, path, **headers: self.request(
            method, path, **headers), self.manifest, "r1")

    def test_ranges_of_bodies(self):
        path = "/files/" + sha(BIG)
        status, headers, body = self.request("GET", path, Range="bytes=60000-")
        self.assertEqual((status, body), (206, BIG[60000:]))
        self.assertEqual(headers["content-range"], "bytes 60000-69999/70000")
        self.assertEqual(headers["content-length"], "10000")
        self.assertEqual(headers["content-type"], "application/octet-stream")
        status, headers, _ = self.request("GET", path, Range="bytes=70000-")
        self.assertEqual((status, headers["content-range"]), (416, "bytes */70000"))
        status, headers, body = self.request("GET", path)
        self.assertEqual((status, headers["content-length"], body), (200, "70000", BIG))

    def test_only_published_addresses_are_served(self):
        document = json.loads(self.request("GET", "/api/manifest")[2])
        package = urllib.parse.urlsplit(document["packages"][0]["url"]).path
        launcher = urllib.parse.urlsplit(document["launchers"][0]["url"]).path
        status, headers, _ = self.request("HEAD", package)
        self.assertEqual((status, headers["content-type"]), (200, "application/zip"))
        self.assertEqual(self.request("HEAD", launcher)[0], 200)
        for path in ("/nginx.conf", "/api/release", "/api/manifest.sha256", "/files/",
                     "/", "/files/" + sha(BIG).upper()):
            self.assertEqual(self.request("GET", path)[0], 404, path)

    def test_tls_server_block(self):
        if self.tls_port is None:
            self.skipTest("openssl could not make a test certificate")
        context = ssl.create_default_context(cafile=self.cert)
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        status, headers, _ = self.request("HEAD", "/api/manifest", self.tls_port, context)
        self.assertEqual((status, headers["x-qorn-release"]), (200, "tls1"))


if __name__ == "__main__":
    unittest.main()
