"""`Updater.exe --sync` against Debian's nginx serving a site with the server
block that the host tool generated: a first installation, the quick path, and an
update to the next release after a publish and a reload."""

import os
import tempfile
import time
import urllib.request
import unittest

from e2esupport import ClientCase, sample_files, sha
import hosttest  # noqa: E402  (found through the path e2esupport sets)

LOG_FORMAT = "log_format qorn '$request_method $uri $status';"


@unittest.skipUnless(hosttest.HAVE_NGINX, "nginx is not installed (%s)" % hosttest.NGINX)
class AgainstNginx(ClientCase):
    def setUp(self):
        super().setUp()
        # nginx workers run as another user: the site lives where they can read it.
        temp = tempfile.TemporaryDirectory(prefix="qorn-e2e-nginx-")
        self.addCleanup(temp.cleanup)
        self.root = temp.name
        os.chmod(self.root, 0o755)
        self.host.site = os.path.join(self.root, "site")
        self.access_log = os.path.join(self.root, "access.log")
        self.served_conf = os.path.join(self.root, "served.conf")
        self.seen = 0

    def serve_published(self):
        """The generated server block as published, with its access log turned on
        so that the test can see the requests."""
        with open(os.path.join(self.host.site, "nginx.conf")) as src:
            block = src.read()
        self.assertEqual(block.count("access_log off;"), 1)
        with open(self.served_conf, "w") as out:
            out.write(block.replace("access_log off;", "access_log %s qorn;" % self.access_log))

    def log_lines(self):
        if not os.path.exists(self.access_log):
            return []
        with open(self.access_log, encoding="utf-8") as src:
            return src.read().splitlines()

    def requests(self):
        """(method, path, status) of the requests since the last call; nginx writes
        a line just after the answer went out."""
        deadline = time.monotonic() + 2
        while len(self.log_lines()) <= self.seen and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.2)
        lines = self.log_lines()
        new, self.seen = lines[self.seen:], len(lines)
        return [tuple(line.split(" ")) for line in new]

    def release_served(self):
        request = urllib.request.Request(self.host.url, method="HEAD")
        with urllib.request.urlopen(request, timeout=5) as response:
            return response.headers["X-QORN-Release"]

    def test_install_quick_path_and_update(self):
        port = "127.0.0.1:%d" % self.host.port
        old = sample_files(80)
        self.host.publish(old, "nginx-1", packages=2, nginx_listen=port)
        self.serve_published()
        nginx = hosttest.Nginx(self.root, [self.served_conf], self.host.port,
                               http_lines=[LOG_FORMAT])
        self.addCleanup(nginx.stop)

        self.assert_synced(self.sync(), "nginx-1", downloaded=81)
        self.assert_client_holds(old)
        self.assert_verified("nginx-1")
        requests = self.requests()
        self.assertEqual(requests[0], ("GET", "/api/manifest", "200"))
        self.assertEqual(sorted(r[0] + " " + r[1].split("/")[1] for r in requests[1:]),
                         ["GET packages", "GET packages"])

        quick = self.sync()
        self.assert_synced(quick, "nginx-1", downloaded=0, quick=True)
        self.assertEqual(self.requests(), [("HEAD", "/api/manifest", "304")])

        new = dict(old)
        del new["Giao diện/Tệp 003.bmd"]
        new["Data/Âm thanh/Tệp 002.bmd"] = b"changed on the real host"
        new["Sự kiện/Mới.ozj"] = bytes(range(256)) * 40
        self.host.publish(new, "nginx-2", packages=2, nginx_listen=port)
        self.serve_published()
        nginx.reload()
        deadline = time.monotonic() + 10
        while self.release_served() != "nginx-2":
            self.assertLess(time.monotonic(), deadline, "nginx did not reload")
            time.sleep(0.1)
        self.requests()  # the test's own questions

        update = self.sync()
        self.assert_synced(update, "nginx-2", downloaded=2)
        self.assert_client_holds(new)
        self.assert_verified("nginx-2")
        requests = self.requests()
        self.assertEqual(requests[:2], [("HEAD", "/api/manifest", "200"),
                                        ("GET", "/api/manifest", "200")])
        self.assertEqual(sorted(requests[2:]), sorted(
            ("GET", "/files/" + sha(new[p]), "200")
            for p in ("Data/Âm thanh/Tệp 002.bmd", "Sự kiện/Mới.ozj")))


if __name__ == "__main__":
    unittest.main()
