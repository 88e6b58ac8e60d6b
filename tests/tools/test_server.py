import hashlib
import http.client
import os
import socket
import tempfile
import unittest

import hosttest
from hosttest import ServedSite, make_tree, run_tool

BIG = bytes(i * 7 % 251 for i in range(5000))


def sha(data):
    return hashlib.sha256(data).hexdigest()


def publish(source, site, release):
    result = run_tool("publish", source, site, "--base-url", "http://127.0.0.1:1",
                      "--release-id", release)
    assert result.returncode == 0, result.stderr


class ServerAnswers(unittest.TestCase):
    """One server for the class; every test starts with no faults."""

    @classmethod
    def setUpClass(cls):
        cls._temp = tempfile.TemporaryDirectory(prefix="qorn-serve-")
        root = cls._temp.name
        source = make_tree(os.path.join(root, "src"), {"Main.exe": BIG, "empty.dat": b""})
        cls.site_dir = os.path.join(root, "site")
        publish(source, cls.site_dir, "r1")
        with open(os.path.join(cls.site_dir, "api", "manifest"), "rb") as src:
            cls.manifest = src.read()
        cls.etag = '"%s"' % sha(cls.manifest)
        cls.big = "/files/" + sha(BIG)
        cls.server = ServedSite(cls.site_dir, root)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls._temp.cleanup()

    def setUp(self):
        self.server.set_faults({})

    def get(self, path, method="GET", **headers):
        return self.server.request(method, path, headers)

    def test_manifest_answers(self):
        hosttest.check_manifest_answers(self, lambda method, path, **headers: self.get(
            path, method, **headers), self.manifest, "r1")

    def test_ranges(self):
        status, headers, body = self.get(self.big, Range="bytes=1000-")
        self.assertEqual((status, body), (206, BIG[1000:]))
        self.assertEqual(headers["content-range"], "bytes 1000-4999/5000")
        self.assertEqual(headers["content-length"], "4000")
        status, headers, body = self.get(self.big, "HEAD", Range="bytes=4999-")
        self.assertEqual((status, headers["content-length"], body), (206, "1", b""))
        self.assertEqual(self.get(self.big, Range="bytes=0-")[2], BIG)
        self.assertEqual(self.get(self.big, Range="bytes=-10")[2], BIG[-10:])
        self.assertEqual(self.get(self.big, Range="bytes=10-19")[2], BIG[10:20])
        status, headers, _ = self.get(self.big, Range="bytes=5000-")
        self.assertEqual((status, headers["content-range"]), (416, "bytes */5000"))
        status, headers, body = self.get(self.big, Range="bytes=0-1,5-6")
        self.assertEqual((status, body), (200, BIG))
        self.assertEqual(self.get("/files/" + sha(b""), Range="bytes=0-")[0], 416)

    def test_unknown_paths_and_keep_alive(self):
        conn = self.server.connection()
        self.addCleanup(conn.close)
        for path in ("/nginx.conf", "/api/manifest.sha256", "/files/" + sha(b"nope"),
                     self.big.upper(), "/files/../api/manifest", "/"):
            status, headers, _ = self.server.request("GET", path, conn=conn)
            self.assertEqual(status, 404, path)
            self.assertIn("content-length", headers)
        # The same connection carried every answer, and carries on after 304 and 416.
        self.server.request("GET", "/api/manifest", {"If-None-Match": self.etag}, conn=conn)
        self.server.request("GET", self.big, {"Range": "bytes=9999-"}, conn=conn)
        self.assertEqual(self.server.request("GET", self.big, conn=conn)[2], BIG)
        self.assertEqual(self.server.request("HEAD", self.big, conn=conn)[0], 200)

    def test_cut_body_for_the_first_requests(self):
        self.server.set_faults({self.big: {"cutAfter": 100, "times": 2}})
        path = self.big + "?cut"
        for _ in range(2):
            conn = self.server.connection()
            conn.request("GET", path, headers={"Range": "bytes=1000-"})
            response = conn.getresponse()
            self.assertEqual(response.getheader("Content-Length"), "4000")
            with self.assertRaises(http.client.IncompleteRead) as caught:
                response.read()
            self.assertEqual(caught.exception.partial, BIG[1000:1100])
            conn.close()
        self.assertEqual(self.get(path, Range="bytes=1000-")[2], BIG[1000:])
        self.assertEqual([(e["status"], e["bytes"]) for e in self.server.log_for(path, 3)],
                         [(206, 100), (206, 100), (206, 4000)])

    def test_range_faults(self):
        self.server.set_faults({self.big: {"contentRange": "bytes 0-4999/5000",
                                           "corruptOffset": 1500}})
        status, headers, body = self.get(self.big, Range="bytes=1000-")
        self.assertEqual((status, headers["content-range"]), (206, "bytes 0-4999/5000"))
        self.assertEqual(len(body), 4000)
        self.assertEqual(body[:500] + body[501:], BIG[1000:1500] + BIG[1501:])
        self.assertEqual(body[500], BIG[1500] ^ 0xFF)
        self.server.set_faults({self.big: {"ignoreRange": True}})
        status, headers, body = self.get(self.big, Range="bytes=1000-")
        self.assertEqual((status, body, headers["content-length"]), (200, BIG, "5000"))
        self.assertNotIn("content-range", headers)

    def test_faults_file_is_reread_and_checked(self):
        self.server.set_faults({"*": {"status": 500}})
        self.assertEqual(self.get(self.big)[0], 500)
        self.server.set_faults({"*": {"status": 502}})
        self.assertEqual(self.get("/api/manifest")[0], 502)
        self.server.set_faults({self.big: {"cutAfter": -1}})
        status, _, body = self.get(self.big)
        self.assertEqual(status, 500)
        self.assertIn(b"cutAfter", body)
        self.server.set_faults({self.big: {"bogus": 1}})
        self.assertIn(b"unknown fault", self.get(self.big)[2])


class ServerLifecycle(hosttest.TempDirTest):
    def test_ipv6_loopback(self):
        try:
            with socket.socket(socket.AF_INET6) as probe:
                probe.bind(("::1", 0))
        except OSError:
            self.skipTest("no IPv6 loopback on this machine")
        source = make_tree(os.path.join(self.tmp, "src"), {"Main.exe": b"m"})
        site = os.path.join(self.tmp, "site")
        publish(source, site, "r6")
        server = ServedSite(site, self.tmp, host="::1")
        self.addCleanup(server.stop)
        self.assertEqual(server.request("GET", "/api/manifest")[1]["x-qorn-release"], "r6")


if __name__ == "__main__":
    unittest.main()
