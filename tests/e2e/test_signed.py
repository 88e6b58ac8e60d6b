"""A launcher built with release keys against signed sites: installed, checked quickly and updated
through the signed statement, every forged or stale answer refused with nothing installed."""

import base64, json, os, shutil, sys, unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from harness import BUILD, TOOL, ClientCase, Updater, run, sample_files, sha  # noqa: E402
from qornhost import signing  # noqa: E402

SIGNED = os.environ.get("QORN_UPDATER_SIGNED_EXE", os.path.join(BUILD, "UpdaterSigned", "Updater.exe"))
# Keys 1 and 2 are the build's (the current one and the next); key 3 is nobody's.
KEYS = [os.environ.get("QORN_RELEASE_KEY%d" % n, os.path.join(BUILD, "test-keys", "release-key%d.key" % n))
        for n in (1, 2, 3)]

MISSING = "Hosting không có thông tin bản phát hành đã ký (release.json)."
FORGED = "Chữ ký bản phát hành không hợp lệ."
OTHER_MANIFEST = "Manifest không khớp với bản phát hành đã ký."
OLDER = "Thông tin bản phát hành cũ hơn bản đã xác nhận trên máy này (số thứ tự 1, đã xác nhận 2)."
EXPIRED = ("Thông tin bản phát hành đã hết hạn lúc 2020-01-01 00:00:00 UTC. "
           "Hãy kiểm tra ngày giờ của máy hoặc thử lại sau.")


class SignedCase(ClientCase):
    def start_sync(self, *extra):
        self.log.new()
        return Updater(self.client, self.url, *extra, exe=SIGNED)

    def publish_signed(self, files, release_id, key=0):
        return self.publish(files, release_id, "--sign-key", KEYS[key], "--expires", "30d")

    def api(self, name):
        return os.path.join(self.site, "public", "api", name)

    def read_api(self, name):
        with open(self.api(name), "rb") as src:
            return src.read()

    def write_api(self, name, data):
        with open(self.api(name), "wb") as out:
            out.write(data)

    def statement(self):
        return json.loads(base64.b64decode(json.loads(self.read_api("release.json"))["statement"]))

    def sign(self, key, release_id, manifest, sequence, expires):
        text = signing.statement_text(release_id, sha(manifest), sequence, expires)
        return signing.envelope(text, signing.sign(KEYS[key], text))

    def edited(self, envelope):
        """The same signature over a statement whose sequence was raised afterwards."""
        outer = json.loads(envelope)
        text = base64.b64decode(outer["statement"]).replace(b'"sequence":3', b'"sequence":9')
        return signing.envelope(text, base64.b64decode(outer["signature"]))

    def assert_floor(self, sequence, release_id):
        record = self.state_json("release-statement.json")
        self.assertEqual((record["sequence"], record["releaseId"]), (sequence, release_id))


class SignedSite(SignedCase):
    def test_signed_releases_install_check_quickly_update_and_refuse_every_forgery(self):
        first, second, third = (sample_files(12, version=v) for v in (1, 2, 3))
        self.publish_signed(first, "r1").serve()
        self.assert_installed(self.sync(), "r1", first, len(first))
        self.assert_floor(1, "r1")
        replay = {name: self.read_api(name) for name in ("manifest", "release.json")}

        # The quick path asks the statement alone: no HEAD whose 304 anyone could forge.
        self.served.faults({"/api/manifest": {"headStatus": 304}})
        self.assert_synced(self.sync(), "r1", 0, quick=True)
        self.assertEqual([(r["method"], r["path"]) for r in self.new_requests()], [("GET", "/api/release.json")])
        self.served.faults({})

        # Signed with the build's second key, as after a rotation.
        self.publish_signed(second, "r2", key=1)
        run = self.sync()
        self.assert_installed(run, "r2", second, run.result["downloaded"])
        self.assertGreater(run.result["downloaded"], 0)
        self.assert_floor(2, "r2")

        self.publish_signed(third, "r3")
        fresh = {name: self.read_api(name) for name in ("manifest", "release.json")}
        past = "2020-01-01T00:00:00Z"
        attacks = [
            ("tampered manifest", {"manifest": fresh["manifest"] + b" "}, {}, OTHER_MANIFEST),
            ("unknown key", {"release.json": self.sign(2, "r3", fresh["manifest"], 3, "2099-01-01T00:00:00Z")},
             {}, FORGED),
            ("statement edited after signing", {"release.json": self.edited(fresh["release.json"])}, {}, FORGED),
            ("replay of release 1", replay, {}, OLDER),
            ("expired", {"release.json": self.sign(0, "r3", fresh["manifest"], 3, past)}, {}, EXPIRED),
            ("digest of another manifest",
             {"release.json": self.sign(0, "r3", replay["manifest"], 3, "2099-01-01T00:00:00Z")}, {}, OTHER_MANIFEST),
            ("missing statement", {"release.json": None}, {}, MISSING),
            ("304 without a statement", {"release.json": None}, {"/api/manifest": {"headStatus": 304}}, MISSING),
        ]
        for name, site, faults, message in attacks:
            with self.subTest(name):
                for part, data in site.items():
                    if data is None:
                        os.remove(self.api(part))
                    else:
                        self.write_api(part, data)
                self.served.faults(faults)
                run = self.sync()
                # The verified release plays as when the host is down; nothing of r3 arrives.
                self.assert_synced(run, "r2", 0, quick=True, offline=True)
                self.assert_client_holds(second)
                self.assert_floor(2, "r2")
                self.assertTrue(self.log_text().rstrip("\n").endswith(message), self.log_text()[-300:])
                self.assertNotIn("/files/", " ".join(r["path"] for r in self.new_requests()))
                self.served.faults({})
                for part, data in fresh.items():
                    self.write_api(part, data)

        # The host's own answer again: installed.
        run = self.sync()
        self.assert_installed(run, "r3", third, run.result["downloaded"])
        self.assert_floor(3, "r3")

    def test_a_build_with_keys_installs_nothing_from_an_unsigned_site(self):
        self.publish(sample_files(4), "r1").serve()
        run = self.sync()
        self.assert_failed(run, MISSING)
        self.assertEqual(os.listdir(self.client), [".qorn-launcher"])
        self.assertEqual([r["path"] for r in self.new_requests()], ["/api/release.json"])

    def test_resigned_statement_renews_without_an_update(self):
        files = sample_files(4)
        self.publish_signed(files, "r1").serve()
        self.assert_installed(self.sync(), "r1", files, len(files))
        self.assertEqual(self.statement()["sequence"], 1)
        run([sys.executable, TOOL, "resign", self.site, "--sign-key", KEYS[1], "--expires", "60d"], "resign")
        self.assertEqual(self.statement()["sequence"], 2)
        self.assert_synced(self.sync(), "r1", 0, quick=True)
        self.assert_floor(2, "r1")


if __name__ == "__main__":
    unittest.main()
