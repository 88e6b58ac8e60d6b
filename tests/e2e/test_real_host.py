"""`Updater.exe --sync` against Debian's nginx with the server block the host tool generated: a
first installation, the quick path, and an update to the next release after a reload."""

import os, re, sys, unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from harness import (NGINX, ClientCase, RequestLog, reload_nginx, request, sample_files, sha,  # noqa: E402
                     start_nginx)

def entry(line):
    """Method, path and status of a line of nginx's combined access log."""
    return list(re.search(r'"(\S+) (\S+) [^"]*" (\d+) ', line).groups())

@unittest.skipUnless(NGINX, "nginx is not installed")
class AgainstNginx(ClientCase):
    def test_install_quick_path_and_update(self):
        self.log = RequestLog(os.path.join(self.work, "access.log"), parse=entry)  # what sync() reads on from
        options = ("--packages", "2", "--nginx-access-log", self.log.path)
        old = sample_files(80)
        self.publish(old, "nginx-1", *options)
        nginx = start_nginx(self.work, [os.path.join(self.site, "nginx.conf")], self.port)
        self.assert_installed(self.sync(), "nginx-1", old, 81)
        requests = self.log.new()
        self.assertEqual(requests[0], ["GET", "/api/manifest", "200"])
        self.assertEqual(sorted(r[0] + " " + r[1].split("/")[1] for r in requests[1:]), ["GET packages"] * 2)
        self.assert_synced(self.sync(), "nginx-1", downloaded=0, quick=True)
        self.assertEqual(self.log.new(), [["HEAD", "/api/manifest", "304"]])

        new = dict(old, **{"Data/Âm thanh/Tệp 002.bmd": b"changed on the real host",
                           "Sự kiện/Mới.ozj": bytes(range(256)) * 40})
        del new["Giao diện/Tệp 003.bmd"]
        self.publish(new, "nginx-2", *options)
        reload_nginx(nginx, "nginx-2", lambda: request(self.port, "HEAD", "/api/manifest")[1])
        self.assert_installed(self.sync(), "nginx-2", new, 2)
        requests = self.log.new()
        self.assertEqual(requests[:2], [["HEAD", "/api/manifest", "200"], ["GET", "/api/manifest", "200"]])
        self.assertEqual(sorted(requests[2:]), sorted(["GET", "/files/" + sha(new[p]), "200"]
                                                      for p in ("Data/Âm thanh/Tệp 002.bmd", "Sự kiện/Mới.ozj")))
