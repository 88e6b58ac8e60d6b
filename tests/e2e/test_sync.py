"""`Updater.exe --sync` end to end: the built launcher under Wine against the
update-host tool, checked by its output, the client folder, the state folder
and the host's request log."""

import os
import subprocess
import threading
import time
import unittest

from e2esupport import (FAKE_GAME, UPDATER, UPDATER_NEXT, ClientCase, finish, read_tree,
                        sample_files, sha, windows_path, wine, write_tree)

NO_HOST = "Không kết nối được hosting. Chưa có client hoàn chỉnh để chạy."
CHANGED = "Client thay đổi trong lúc cập nhật. Hãy bấm Kiểm tra lại."
LOCKED = "Launcher khác đang kiểm tra hoặc cập nhật thư mục này."


def paths(requests, prefix):
    return [r for r in requests if r["path"].startswith(prefix)]


def wait_until_windows_process(process):
    """Wine renames a process after its Windows program once it runs as one."""
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and process.poll() is None:
        with open("/proc/%d/cmdline" % process.pid, "rb") as src:
            if src.read().startswith(b"C:\\"):
                time.sleep(0.5)
                return
        time.sleep(0.05)
    raise AssertionError("the program did not start under Wine")


class FirstInstallation(ClientCase):
    def test_by_single_files(self):
        files = sample_files(40)
        self.host.publish(files, "r1").start()
        run = self.sync()
        self.assert_synced(run, "r1", downloaded=41)
        # Ask, check, download, verify, replace, re-check, clean, ready; no extraction.
        self.assertEqual(run.stages, [0, 1, 2, 4, 5, 6, 7, 9])
        self.assert_client_holds(files)
        self.assert_verified("r1")
        with open(self.state_path("installed.json"), "rb") as src:
            self.assertEqual(src.read(), self.host.manifest())
        requests = self.new_requests()
        # No verified record: the manifest is fetched without asking whether it is current.
        self.assertEqual([(r["method"], r["path"]) for r in requests[:1]],
                         [("GET", "/api/manifest")])
        self.assertEqual(len(paths(requests, "/files/")), 41)
        self.assertEqual(paths(requests, "/packages/"), [])
        self.assertTrue(all(r["status"] == 200 for r in requests), requests)

    def test_by_packages_then_quick_path(self):
        files = sample_files(60)
        self.host.publish(files, "r1", packages=3).start()
        run = self.sync()
        self.assert_synced(run, "r1", downloaded=61)
        self.assert_client_holds(files)
        self.assert_verified("r1")
        self.assertIn(3, run.stages)  # extraction
        requests = self.new_requests()
        self.assertEqual(len(paths(requests, "/packages/")), 3)
        self.assertEqual(paths(requests, "/files/"), [])

        # Up to date: one HEAD, no manifest body, no file read. A file removed behind
        # the launcher's back proves the folder is not even walked.
        os.remove(os.path.join(self.client, "Giao diện", "Tệp 003.bmd"))
        quick = self.sync()
        self.assert_synced(quick, "r1", downloaded=0, quick=True)
        self.assertEqual(quick.stages, [0, 9])
        self.assertEqual([(r["method"], r["path"], r["status"]) for r in self.new_requests()],
                         [("HEAD", "/api/manifest", 304)])

        # --full hashes every file, rebuilds the record and cache, and repairs the folder.
        full = self.sync("--full")
        self.assert_synced(full, "r1", downloaded=1)
        self.assert_client_holds(files)
        self.assert_verified("r1")
        self.assertEqual(len(self.state_json("hash-cache.json")), len(files))
        self.assertEqual(len(paths(self.new_requests(), "/files/")), 1)


class UpToDateClient(ClientCase):
    """A client installed at r1 by an earlier run."""

    def setUp(self):
        super().setUp()
        self.files = sample_files(30)
        self.host.publish(self.files, "r1").start()
        self.assert_synced(self.sync(), "r1", downloaded=31)

    def tamper_keeping_size_and_time(self, path):
        """Other bytes of the same size with the old write time: only hashing sees it."""
        target = os.path.join(self.client, *path.split("/"))
        before = os.stat(target)
        with open(target, "r+b") as out:
            out.write(bytes(b ^ 0xFF for b in self.files[path][:16]))
        os.utime(target, ns=(before.st_atime_ns, before.st_mtime_ns))

    def test_head_refused_asks_with_a_partial_get(self):
        self.host.faults({"/api/manifest": {"headStatus": 405}})
        run = self.sync()
        self.assert_synced(run, "r1", downloaded=0, quick=True)
        requests = self.new_requests()
        # The plain GET is read only up to the release id; no second GET follows.
        self.assertEqual([(r["method"], r["path"], r["status"]) for r in requests],
                         [("HEAD", "/api/manifest", 405), ("GET", "/api/manifest", 200)])

    def test_quick_path_clears_work_areas_left_by_a_killed_run(self):
        write_tree(self.state_path("staging"), {"Data/x.bmd": b"staged", "y": b"half"})
        write_tree(self.state_path("downloads"), {"a.zip.part": b"partial"})
        run = self.sync()
        self.assert_synced(run, "r1", downloaded=0, quick=True)
        self.assertEqual(run.stages, [0, 7, 9])
        self.assert_verified("r1")

    def test_lost_record_is_rebuilt_from_the_hash_cache(self):
        os.remove(self.state_path("verified-release.json"))
        self.tamper_keeping_size_and_time("Data/Âm thanh/Tệp 002.bmd")
        run = self.sync()
        # Rebuilt without hashing (the tampered file went unnoticed), then the quick path.
        self.assert_synced(run, "r1", downloaded=0, quick=True)
        self.assert_verified("r1")
        self.assertEqual([r["method"] for r in self.new_requests()], ["HEAD"])

    def test_full_check_finds_what_the_cache_hides(self):
        self.tamper_keeping_size_and_time("Data/Âm thanh/Tệp 002.bmd")
        self.assert_synced(self.sync(), "r1", downloaded=0, quick=True)
        run = self.sync("--full")
        self.assert_synced(run, "r1", downloaded=1)
        self.assert_client_holds(self.files)
        self.assertEqual([r["path"] for r in paths(self.new_requests(), "/files/")],
                         ["/files/" + sha(self.files["Data/Âm thanh/Tệp 002.bmd"])])
        # Only the exact fourth argument "--full" asks for a full check.
        self.tamper_keeping_size_and_time("Data/Âm thanh/Tệp 002.bmd")
        self.assert_synced(self.sync("--FULL"), "r1", downloaded=0, quick=True)

    def test_host_stopped_falls_back_to_the_verified_release(self):
        self.host.stop()
        run = self.sync()
        self.assert_synced(run, "r1", downloaded=0, offline=True, quick=True)
        self.assertEqual(run.stages, [0, 9])
        self.assertIn("Không kết nối được hosting", self.log_text())

        # With --full the folder is hashed against the installed manifest first.
        self.assert_synced(self.sync("--full"), "r1", downloaded=0, offline=True, quick=False)
        self.assert_verified("r1")
        self.tamper_keeping_size_and_time("Data/Âm thanh/Tệp 002.bmd")
        failed = self.sync("--full")
        self.assert_failed(failed, "Hosting mất kết nối và client thiếu/hỏng file. Vui lòng thử lại.")
        # The damaged folder is no longer vouched for until the host is back.
        self.assert_failed(self.sync(), NO_HOST)
        self.host.start()
        self.assert_synced(self.sync(), "r1", downloaded=1)
        self.assert_client_holds(self.files)

    def test_only_network_failures_fall_back_to_the_verified_release(self):
        self.host.faults({"/api/manifest": {"status": 503}})
        run = self.sync()
        self.assert_synced(run, "r1", downloaded=0, offline=True, quick=True)
        self.assertIn("Hosting trả lỗi HTTP 503", self.log_text())
        # A manifest that does not parse is not the host being away: the run fails.
        self.host.publish(sample_files(30, version=2), "r2")
        self.host.faults({"/api/manifest": {"corruptOffset": 0}})
        broken = self.sync()
        self.assertEqual(broken.returncode, 1, broken)
        self.assertIn("parse_error", broken.error)
        self.assertIsNone(broken.result)
        self.assert_client_holds(self.files)
        self.assert_verified("r1")

    def test_update_that_only_drops_files(self):
        dropped = ["Data/Nhân vật/Tệp 000.bmd", "Giao diện/Tệp 007.bmd"]
        second = {p: d for p, d in self.files.items() if p not in dropped}
        self.host.publish(second, "r2")
        run = self.sync()
        self.assert_synced(run, "r2", downloaded=0)
        self.assert_client_holds(second)
        self.assert_verified("r2")
        self.assertEqual(paths(self.new_requests(), "/files/"), [])
        # The removed files are kept as the last backup.
        backup = read_tree(self.state_path("backup-last"), skip_state=False)
        for path in dropped:
            self.assertEqual(backup.get(path), self.files[path], sorted(backup))

    def test_offers_of_the_launcher(self):
        self.host.publish(self.files, "r1", launchers=["win-x64=" + UPDATER_NEXT])
        skipped = self.sync("--skip-launcher-update")
        self.assert_synced(skipped, "r1", downloaded=0)
        offer = self.state_json("self-update", "offer.json")
        self.assertEqual([(o["runtime"], o["version"]) for o in offer], [("win-x64", "2.0.9.0")])
        self.assertEqual(paths(self.new_requests(), "/launchers/"), [])
        self.assertFalse(os.path.exists(self.state_path("self-update", "candidate.exe")))

        # An offer whose installation was rolled back earlier is not fetched again
        # (only a full check retries it); the quick path finds the offer in offer.json.
        write_tree(self.state_path("self-update"),
                   {"failed.json": ('{"sha256":"%s"}' % offer[0]["sha256"]).encode()})
        self.assert_synced(self.sync(), "r1", downloaded=0, quick=True)
        self.assertEqual(paths(self.new_requests(), "/launchers/"), [])
        self.assertFalse(os.path.exists(self.state_path("self-update", "ready.json")))

        os.remove(self.state_path("self-update", "failed.json"))
        self.host.publish(self.files, "r2", launchers=["win-x64=" + UPDATER_NEXT])
        run = self.sync()
        self.assert_synced(run, "r2", downloaded=0, launcher_ready=True)
        self.assertIn(2, run.stages)
        self.assertIn(4, run.stages)
        self.assertEqual(self.state_json("self-update", "ready.json"), offer[0])
        with open(self.state_path("self-update", "candidate.exe"), "rb") as got, \
                open(UPDATER_NEXT, "rb") as want:
            self.assertEqual(sha(got.read()), sha(want.read()))
        self.assertEqual(len(paths(self.new_requests(), "/launchers/")), 1)
        # The client update waits for the new launcher: r1 is still the verified release.
        self.assertEqual(self.state_json("verified-release.json")["releaseId"], "r1")

    def test_offer_of_the_running_version_is_not_fetched(self):
        self.host.publish(self.files, "r2", launchers=["win-x64=" + UPDATER])
        run = self.sync()
        self.assert_synced(run, "r2", downloaded=0)
        self.assertEqual(paths(self.new_requests(), "/launchers/"), [])
        self.assertFalse(os.path.exists(self.state_path("self-update", "candidate.exe")))
        self.assertEqual(len(self.state_json("self-update", "offer.json")), 1)


class FolderWithoutRecord(ClientCase):
    def test_adoption_of_a_folder_that_holds_the_release(self):
        files = sample_files(70)
        self.host.publish(files, "r1", packages=2).start()
        write_tree(self.client, files)
        run = self.sync()
        self.assert_synced(run, "r1", downloaded=0)
        self.assert_client_holds(files)
        self.assert_verified("r1")
        self.assertEqual([r["path"] for r in self.new_requests()], ["/api/manifest"])

    def test_host_stopped_on_a_first_installation(self):
        self.host.publish(sample_files(3), "r1")  # never served
        run = self.sync()
        self.assert_failed(run, NO_HOST)
        self.assertEqual(run.stages, [0])
        self.assertIn("Không kết nối được hosting", self.log_text())
        self.assertEqual(read_tree(self.client), {})


class Interference(ClientCase):
    """Other processes in the client folder while an update runs."""

    def test_lock_held_by_another_updater(self):
        files = sample_files(10)
        self.host.publish(files, "r1").start()
        self.host.faults({"/api/manifest": {"delayMs": 10000, "times": 1}})
        first, started = self.start_sync()
        self.addCleanup(first.kill)
        self.assertEqual(first.stdout.readline().strip(), b'{"stage":0}')  # holds the lock now
        second = self.sync()
        self.assert_failed(second, LOCKED)
        self.assertEqual(second.stages, [])
        # A launcher that dies holding the lock does not block the next one.
        first.kill()
        finish(first, started)
        self.assert_synced(self.sync(), "r1", downloaded=11)
        self.assert_client_holds(files)

    def test_file_changed_between_apply_and_recheck(self):
        files = sample_files(200)
        self.host.publish(files, "r1").start()
        self.assert_synced(self.sync(), "r1", downloaded=201)
        second = sample_files(200, version=2)
        self.host.publish(second, "r2")
        # The first file the transaction puts in place is changed while the rest
        # are still being moved.
        target = os.path.join(self.client, "Data", "Nhân vật", "Tệp 000.bmd")
        journal = self.state_path("journal.json")
        stop = threading.Event()
        changed = threading.Event()

        def meddle():
            while not stop.is_set():
                if os.path.exists(journal):
                    with open(target, "rb") as src:
                        if src.read() == second["Data/Nhân vật/Tệp 000.bmd"]:
                            with open(target, "ab") as out:
                                out.write(b"mod")
                            changed.set()
                            return
                time.sleep(0.002)

        thread = threading.Thread(target=meddle)
        thread.start()
        try:
            run = self.sync()
        finally:
            stop.set()
            thread.join()
        if not changed.is_set():
            self.skipTest("the transaction ended before the file could be changed")
        self.assert_failed(run, CHANGED)
        # The next run repairs the folder.
        self.assert_synced(self.sync(), "r2", downloaded=1)
        self.assert_client_holds(second)


class GameInTheFolder(ClientCase):
    """A client at r1 whose Main.exe is the fake game, and r2 published."""

    GAME_RUNS = r"^Main\.exe \(PID \d+\) vẫn đang chạy trong thư mục game\. "

    def setUp(self):
        super().setUp()
        with open(FAKE_GAME, "rb") as src:
            game = src.read()
        self.files = sample_files(150, main=game)
        self.host.publish(self.files, "r1").start()
        self.assert_synced(self.sync(), "r1", downloaded=151)
        self.second = sample_files(150, version=2, main=game)
        self.host.publish(self.second, "r2")

    def start_game(self):
        player = wine(windows_path(os.path.join(self.client, "Main.exe")), "60000",
                      stdout=subprocess.DEVNULL)
        self.addCleanup(player.kill)
        wait_until_windows_process(player)
        return player

    def end_game_and_update(self, player):
        player.kill()
        player.wait()
        self.assert_synced(self.sync(), "r2", downloaded=150)
        self.assert_client_holds(self.second)
        self.assert_verified("r2")

    def test_running_game_makes_the_update_wait_and_fail(self):
        player = self.start_game()
        run = self.sync()
        self.assertEqual(run.returncode, 1, run)
        self.assertRegex(run.error, self.GAME_RUNS + r"Hãy đóng game rồi bấm Thử lại\.\n"
                                                     r"Đường dẫn: ")
        self.assertGreaterEqual(run.seconds, 3)  # it waited for the game to hand over
        self.assertEqual(paths(self.new_requests(), "/files/"), [])  # before any download
        self.assert_client_holds(self.files)
        self.end_game_and_update(player)

    def test_interrupted_transaction_is_recovered_only_after_the_game_ends(self):
        # An update killed inside its transaction leaves the journal behind.
        journal = self.state_path("journal.json")
        process, started = self.start_sync()
        while not os.path.exists(journal) and process.poll() is None:
            time.sleep(0.002)
        process.kill()
        finish(process, started)
        if not os.path.exists(journal):
            self.skipTest("the update ended before it could be killed inside its transaction")
        player = self.start_game()
        self.host.stop()  # the guard comes before any question to the host
        run = self.sync()
        self.assertEqual(run.returncode, 1, run)
        self.assertRegex(run.error, self.GAME_RUNS)
        self.assertTrue(os.path.exists(journal))
        self.host.start()
        self.end_game_and_update(player)


if __name__ == "__main__":
    unittest.main()
