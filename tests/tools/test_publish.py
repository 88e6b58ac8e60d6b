import hashlib
import json
import os
import zipfile

import hosttest
from hosttest import make_tree, run_tool
from qornhost.publish import LauncherSpec, PublishError, PublishOptions, publish

BASE = "http://127.0.0.1:54321"
CLIENT = {
    "Main.exe": b"main",
    "Data/nh\u00e2n v\u1eadt/a.bmd": b"same bytes",
    "Data/copy.bmd": b"same bytes",
    "Data/big.bin": bytes(range(256)) * 800,
    "Sound/x.wav": b"",
    "Empty/Inner": None,
    "Music": None,
}


def sha(data):
    return hashlib.sha256(data).hexdigest()


class PublishedSite(hosttest.TempDirTest):
    def setUp(self):
        super().setUp()
        self.src = make_tree(os.path.join(self.tmp, "src"), CLIENT)
        self.site = os.path.join(self.tmp, "site")

    def publish(self, *extra, release="r1"):
        result = run_tool("publish", self.src, self.site, "--base-url", BASE + "/",
                          "--release-id", release, *extra)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result

    def manifest(self):
        with open(os.path.join(self.site, "api", "manifest"), "rb") as src:
            return src.read()

    def test_manifest_is_compact_sorted_utf8_and_matches_the_bodies(self):
        self.publish()
        text = self.manifest()
        document = json.loads(text)
        self.assertEqual(text, json.dumps(document, sort_keys=True, separators=(",", ":"),
                                          ensure_ascii=False).encode("utf-8"))
        self.assertIn("nh\u00e2n v\u1eadt".encode("utf-8"), text)
        self.assertEqual(document["schemaVersion"], 1)
        self.assertEqual(document["releaseId"], "r1")
        self.assertEqual(document["directories"], ["Empty/Inner", "Music"])
        self.assertNotIn("packages", document)
        self.assertNotIn("launchers", document)
        expected = {p: d for p, d in CLIENT.items() if d is not None}
        self.assertEqual([f["path"] for f in document["files"]], sorted(expected))
        for entry in document["files"]:
            data = expected[entry["path"]]
            self.assertEqual((entry["size"], entry["sha256"]), (len(data), sha(data)))
            self.assertEqual(entry["url"], BASE + "/files/" + sha(data))
            with open(os.path.join(self.site, "files", entry["sha256"]), "rb") as body:
                self.assertEqual(body.read(), data)
        # Identical contents are stored once.
        self.assertEqual(sorted(os.listdir(os.path.join(self.site, "files"))),
                         sorted({sha(d) for d in expected.values()}))
        with open(os.path.join(self.site, "api", "manifest.sha256")) as src:
            self.assertEqual(src.read().strip(), sha(text))
        with open(os.path.join(self.site, "api", "release")) as src:
            self.assertEqual(src.read().strip(), "r1")
        with open(os.path.join(self.site, "nginx.conf")) as src:
            config = src.read()
        self.assertIn('root "%s";' % self.site, config)
        self.assertIn('"%s"' % sha(text), config)

    def test_stored_packages_and_more_packages_than_files(self):
        self.publish("--packages", "50", "--package-compression", "stored")
        document = json.loads(self.manifest())
        self.assertEqual(len(document["packages"]), len(document["files"]))
        for package in document["packages"]:
            path = os.path.join(self.site, "packages", package["sha256"] + ".zip")
            with zipfile.ZipFile(path) as archive:
                self.assertEqual([i.compress_type for i in archive.infolist()],
                                 [zipfile.ZIP_STORED])

    def test_bad_launchers_are_refused(self):
        exe = os.path.join(self.tmp, "x64.exe")
        with open(exe, "wb") as out:
            out.write(hosttest.make_pe(version=(2, 0, 8, 0)))
        cases = [
            (["win-x64=%s:2.0.9.0" % exe], "file version is 2.0.8.0"),
            (["win-x86=" + exe], "is win-x64, not win-x86"),
            (["arm64=" + exe], "win-x64 or win-x86"),
            (["win-x64=" + exe, "win-x64=" + exe], "offered twice"),
            (["win-x64=%s:2.0.8" % exe], "must have four parts"),
        ]
        for launchers, message in cases:
            with self.subTest(launchers=launchers):
                args = [a for spec in launchers for a in ("--launcher", spec)]
                result = run_tool("publish", self.src, self.site, "--base-url", BASE,
                                  "--release-id", "r1", *args)
                self.assertEqual(result.returncode, 1)
                self.assertRegex(result.stderr, message)
                self.assertFalse(os.path.exists(self.site))

    def test_republish_replaces_the_site_whole(self):
        self.publish()
        old_bodies = set(os.listdir(os.path.join(self.site, "files")))
        with open(os.path.join(self.src, "Data", "big.bin"), "wb") as out:
            out.write(b"new content")
        self.publish(release="r2")
        bodies = set(os.listdir(os.path.join(self.site, "files")))
        self.assertIn(sha(b"new content"), bodies)
        self.assertNotIn(sha(bytes(range(256)) * 800), bodies)
        self.assertEqual(len(bodies), len(old_bodies))
        self.assertEqual(json.loads(self.manifest())["releaseId"], "r2")
        leftovers = [n for n in os.listdir(self.tmp) if n.startswith(".site.") and
                     not n.endswith(".lock")]
        self.assertEqual(leftovers, [])

    def test_failed_publish_keeps_the_previous_site(self):
        self.publish()
        before = self.manifest()
        dll = os.path.join(self.tmp, "dll.exe")
        with open(dll, "wb") as out:
            out.write(hosttest.make_pe(dll=True))
        options = PublishOptions(base_url=BASE, release_id="r2",
                                 launchers=[LauncherSpec("win-x64", dll)])
        with self.assertRaisesRegex(PublishError, "DLL"):
            publish(self.src, self.site, options)
        self.assertEqual(self.manifest(), before)
        self.assertEqual([n for n in os.listdir(self.tmp) if ".building-" in n], [])

    def test_a_folder_that_is_not_a_site_is_not_replaced(self):
        os.makedirs(self.site)
        make_tree(self.site, {"precious.txt": b"keep"})
        result = run_tool("publish", self.src, self.site, "--base-url", BASE,
                          "--release-id", "r1")
        self.assertEqual(result.returncode, 1)
        self.assertIn("not a release site", result.stderr)
        self.assertEqual(os.listdir(self.site), ["precious.txt"])
        inside = os.path.join(self.src, "site")
        with self.assertRaisesRegex(PublishError, "contain each other"):
            publish(self.src, inside, PublishOptions(base_url=BASE, release_id="r1"))


class RefusedClients(hosttest.TempDirTest):
    def problems(self, entries, release="r1", base=BASE, links=()):
        src = make_tree(os.path.join(self.tmp, "src"), entries)
        for link, target in links:
            os.symlink(target, os.path.join(src, link))
        site = os.path.join(self.tmp, "site")
        with self.assertRaises(PublishError) as caught:
            publish(src, site, PublishOptions(base_url=base, release_id=release))
        self.assertFalse(os.path.exists(site))
        return "\n".join(caught.exception.problems)

    def test_every_problem_is_reported_and_nothing_written(self):
        text = self.problems({
            "Main.exe": b"m",
            "COM\u00b9.txt": b"x",
            "Data/a.txt": b"1",
            "data/A.TXT": b"2",
            "Notes": b"file",
            "notes/inner.txt": b"x",
            "readme": None,
            "README": b"file",
            "updater.exe": b"x",
            "Data/trailing.": b"x",
            "Bin/ok.dll": b"x",
        }, release="-bad", base="http://update.example.net")
        for expected in ("'COM\u00b9.txt'", "reserved Windows device name",
                         "differ only in letter case; Windows would make them one file",
                         "'notes/inner.txt' uses the file 'Notes' as a folder",
                         "folder 'readme' collides with 'README'",
                         "belongs to the launcher", "'Data/trailing.': unsafe",
                         "release id '-bad'", "HTTPS only"):
            self.assertIn(expected, text)
        self.assertNotIn("ok.dll", text)

    def test_main_exe_must_be_at_the_top(self):
        self.assertIn("no Main.exe", self.problems({"Bin/Main.exe": b"m"}))

    def test_links_are_refused(self):
        outside = make_tree(os.path.join(self.tmp, "outside"), {"x.bin": b"x"})
        text = self.problems({"Main.exe": b"m"},
                             links=[("Linked", outside),
                                    ("file-link", os.path.join(outside, "x.bin"))])
        self.assertIn("'Linked': is a folder link", text)
        self.assertIn("'file-link': is a link", text)

    def test_command_line_refusal(self):
        src = make_tree(os.path.join(self.tmp, "src"), {"Main.exe": b"m", "Data/aux.dat": b""})
        result = run_tool("publish", src, os.path.join(self.tmp, "site"), "--base-url", BASE,
                          "--release-id", "r1")
        self.assertEqual(result.returncode, 1)
        self.assertIn("publish refused (1 problem)", result.stderr)
        self.assertIn("'Data/aux.dat'", result.stderr)
        self.assertEqual(result.stdout, "")
