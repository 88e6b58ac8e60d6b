#!/usr/bin/env python3
"""The launcher's network code against Debian's nginx serving a published site on
127.0.0.1: nginx is started and stopped here, and nginx_check.exe (built by the
project) runs under Wine against it.

usage: nginx_download.py PATH/TO/nginx_check.exe"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "tests", "tools"))
import hosttest  # noqa: E402  (after the path set-up)
from hosttest import TOOL, free_port  # noqa: E402

WINE_RUN = os.path.join(REPO, "scripts", "wine-run")
CHECK_EXE = None  # set from the command line


def wine_prefix():
    cache = os.environ.get("QORN_CACHE") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "qorn")
    return os.environ.get("WINEPREFIX") or os.path.join(cache, "wineprefix")


@unittest.skipUnless(hosttest.HAVE_NGINX, "nginx is not installed (%s)" % hosttest.NGINX)
class LauncherAgainstNginx(unittest.TestCase):
    def setUp(self):
        temp = tempfile.TemporaryDirectory(prefix="qorn-nginx-net-")
        self.addCleanup(temp.cleanup)
        root = temp.name
        os.chmod(root, 0o755)  # nginx workers run as another user when started as root
        client = os.path.join(root, "client")
        os.makedirs(os.path.join(client, "Data"))
        with open(os.path.join(client, "Main.exe"), "wb") as out:
            out.write(b"MZ" + bytes(1000))
        with open(os.path.join(client, "Data", "big.bin"), "wb") as out:
            out.write(bytes((i * 7 + i // 4096) % 256 for i in range(3 * 1024 * 1024 + 17)))
        port = free_port()
        self.url = "http://127.0.0.1:%d" % port
        site = os.path.join(root, "site")
        published = subprocess.run(
            [sys.executable, TOOL, "publish", client, site, "--base-url", self.url,
             "--release-id", "nginx1", "--nginx-listen", "127.0.0.1:%d" % port],
            capture_output=True, text=True, timeout=120)
        self.assertEqual(published.returncode, 0, published.stderr)
        self.nginx = hosttest.Nginx(root, [os.path.join(site, "nginx.conf")], port)
        self.addCleanup(self.nginx.stop)

    def test_release_question_manifest_and_resumed_download(self):
        # The Windows program works on the prefix's C: drive (Wine shows Z:\ as a link).
        drive_c = os.path.join(wine_prefix(), "drive_c")
        work = tempfile.mkdtemp(prefix="qorn-nginx-", dir=drive_c)
        self.addCleanup(shutil.rmtree, work, True)
        output = os.path.join(work, "..", os.path.basename(work) + ".out")
        self.addCleanup(lambda: os.path.exists(output) and os.remove(output))
        # Output to a file, not a pipe: a Wine service started now must not hold our pipe.
        with open(output, "w") as out:
            result = subprocess.run(
                [WINE_RUN, CHECK_EXE, self.url + "/api/manifest", "C:\\" + os.path.basename(work)],
                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT, timeout=120)
        with open(output) as src:
            lines = [line.strip() for line in src if line.startswith(("ok ", "FAILED "))]
        self.assertEqual(result.returncode, 0, "\n".join(lines))
        self.assertEqual(len(lines), 7, lines)
        kept = (3 * 1024 * 1024 + 17) * 6 // 10
        self.assertIn("ok resumed at %d and received %d" % (kept, 3 * 1024 * 1024 + 17 - kept), lines)


if __name__ == "__main__":
    CHECK_EXE = sys.argv.pop(1)
    unittest.main()
