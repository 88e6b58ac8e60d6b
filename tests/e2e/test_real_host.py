"""`Updater.exe --sync` against Debian's nginx with the server block the host tool generated: a
first installation, the quick path, and an update to the next release after a reload."""

import os, signal, sys, time, unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from harness import (NGINX, ClientCase, RequestLog, request, sample_files, sha,  # noqa: E402
                     start_nginx)

@unittest.skipUnless(NGINX, "nginx is not installed")
class AgainstNginx(ClientCase):
    def serve_published(self):
        """The generated server block as published, its access log in a format of ours."""
        with open(os.path.join(self.site, "nginx.conf")) as src:
            block = src.read()
        line = 'access_log "%s";' % self.log.path
        self.assertEqual(block.count(line), 1)
        with open(os.path.join(self.work, "served.conf"), "w") as out:
            out.write("log_format qorn '$request_method $uri $status';\n")
            out.write(block.replace(line, line[:-1] + " qorn;"))

    def setUp(self):
        super().setUp()
        self.log = RequestLog(os.path.join(self.work, "access.log"), parse=str.split)

    def test_install_quick_path_and_update(self):
        options = ("--packages", "2", "--nginx-access-log", self.log.path)
        old = sample_files(80)
        self.publish(old, "nginx-1", *options).serve_published()
        nginx = start_nginx(self.work, [os.path.join(self.work, "served.conf")], self.port)
        self.assert_installed(self.sync(), "nginx-1", old, 81)
        requests = self.log.new()
        self.assertEqual(requests[0], ["GET", "/api/manifest", "200"])
        self.assertEqual(sorted(r[0] + " " + r[1].split("/")[1] for r in requests[1:]),
                         ["GET packages", "GET packages"])
        self.assert_synced(self.sync(), "nginx-1", downloaded=0, quick=True)
        self.assertEqual(self.log.new(), [["HEAD", "/api/manifest", "304"]])

        new = dict(old)
        del new["Giao diện/Tệp 003.bmd"]
        new["Data/Âm thanh/Tệp 002.bmd"] = b"changed on the real host"
        new["Sự kiện/Mới.ozj"] = bytes(range(256)) * 40
        self.publish(new, "nginx-2", *options).serve_published()
        nginx.send_signal(signal.SIGHUP)  # read the configuration again
        deadline = time.monotonic() + 10
        while request(self.port, "HEAD", "/api/manifest")[1]["x-qorn-release"] != "nginx-2":
            self.assertLess(time.monotonic(), deadline, "nginx did not reload")
            time.sleep(0.1)
        self.assert_installed(self.sync(), "nginx-2", new, 2)
        requests = self.log.new()
        self.assertEqual(requests[:2], [["HEAD", "/api/manifest", "200"],
                                        ["GET", "/api/manifest", "200"]])
        self.assertEqual(sorted(requests[2:]), sorted(
            ["GET", "/files/" + sha(new[p]), "200"]
            for p in ("Data/Âm thanh/Tệp 002.bmd", "Sự kiện/Mới.ozj")))
