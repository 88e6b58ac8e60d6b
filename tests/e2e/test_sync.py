"""`Updater.exe --sync` under Wine against the update-host tool, checked by its output, the
client folder, the state folder and the host's request log."""

import os, shutil, subprocess, sys, tempfile, threading, time, unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from harness import (FAKE_GAME, UPDATER, UPDATER_NEXT, ClientCase, make_tree,  # noqa: E402
                     read_tree, run, sample_files, sha, start, stop, wait_for_file, windows_path)

NO_HOST = "Không kết nối được hosting. Chưa có client hoàn chỉnh để chạy."
GAME_RUNS = r"^Main\.exe \(PID \d+\) vẫn đang chạy trong thư mục game\. "

class FreshFolder(ClientCase):
    def test_install_by_single_files(self):
        files = sample_files(40)
        self.publish(files, "r1").serve()
        run = self.sync()
        self.assert_installed(run, "r1", files, 41)
        # Ask, check, download, verify, replace, re-check, clean, ready; no extraction.
        self.assertEqual(run.stages, [0, 1, 2, 4, 5, 6, 7, 9])
        # installed.json holds the manifest's bytes: the verified record names their digest.
        requests = self.new_requests()
        # No verified record: the manifest is fetched without asking whether it is current.
        self.assertEqual((requests[0]["method"], requests[0]["path"]), ("GET", "/api/manifest"))
        self.assertEqual(sorted((r["path"].split("/")[1], r["status"]) for r in requests),
                         [("api", 200)] + [("files", 200)] * 41)

    def test_install_by_packages_then_quick_path(self):
        files = sample_files(60)
        self.publish(files, "r1", "--packages", "3").serve()
        run = self.sync()
        self.assert_installed(run, "r1", files, 61)
        self.assertIn(3, run.stages)  # extraction
        self.assertEqual(sorted(r["path"].split("/")[1] for r in self.new_requests()),
                         ["api"] + ["packages"] * 3)
        # Up to date: one HEAD, no manifest body, no file read. A file removed behind
        # the launcher's back proves the folder is not even walked.
        os.remove(os.path.join(self.client, "Giao diện", "Tệp 003.bmd"))
        quick = self.sync()
        self.assert_synced(quick, "r1", downloaded=0, quick=True)
        self.assertEqual(quick.stages, [0, 9])
        self.assertEqual([(r["method"], r["path"], r["status"]) for r in self.new_requests()],
                         [("HEAD", "/api/manifest", 304)])

    def test_adoption_of_a_folder_that_holds_the_release(self):
        files = sample_files(70)
        self.publish(files, "r1", "--packages", "2").serve()
        make_tree(self.client, files)
        self.assert_installed(self.sync(), "r1", files, 0)
        self.assertEqual([r["path"] for r in self.new_requests()], ["/api/manifest"])

class ArgumentlessStart(ClientCase):
    def test_the_shortcut_is_made(self):
        """The prefix's Desktop links to the Unix home: the test points it at a folder of its own. (A
        player's own file of that name is the desktop shortcut test's.)"""
        desktop, folders = os.path.join(self.work, "Desktop thử"), \
            r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders"
        os.makedirs(desktop)
        point = lambda value: run(["wine", "reg", "add", folders, "/v", "Desktop", "/t", "REG_EXPAND_SZ",  # noqa
                                   "/d", value, "/f"], "pointing the Desktop")
        point(windows_path(desktop))
        self.addCleanup(point, r"%USERPROFILE%\Desktop")
        shutil.copy(UPDATER, self.client)
        # No display: the message box returns at once.
        subprocess.run(["wine", os.path.join(self.client, "Updater.exe")], capture_output=True, timeout=120,
                       env={k: v for k, v in os.environ.items() if k != "DISPLAY"})
        self.assertEqual(os.listdir(desktop), ["QORN.lnk"])
        with open(os.path.join(desktop, "QORN.lnk"), "rb") as src:
            self.assertIn("Updater.exe".encode("utf-16-le"), src.read())

class UpToDateClient(ClientCase):
    """A client installed at r1 from a package by an earlier run, in a Unix temporary folder, so on Z:,
    whose root reads as a link."""

    client_root = tempfile.gettempdir()

    def setUp(self):
        super().setUp()
        self.assertTrue(windows_path(self.client).startswith("Z:\\"), self.client)
        self.files = sample_files(30)
        self.publish(self.files, "r1", "--packages", "1").serve()
        self.assert_synced(self.sync(), "r1", downloaded=31)

    def tamper(self, path="Data/Âm thanh/Tệp 002.bmd"):
        """Other bytes of the same size with the old write time: only hashing sees it."""
        target = os.path.join(self.client, *path.split("/"))
        before = os.stat(target)
        with open(target, "r+b") as out:
            out.write(bytes(b ^ 0xFF for b in self.files[path][:16]))
        os.utime(target, ns=(before.st_atime_ns, before.st_mtime_ns))
        return path

    def test_a_release_published_while_files_are_on_their_way_lets_the_update_finish(self):
        new = dict(self.files, **{"Data/Mới.bmd": b"only in r2" * 50, "Giao diện/Tệp 003.bmd": b"changed in r2"})
        self.publish(new, "r2")
        self.served.faults({"/api/manifest": {}, "*": {"delayMs": 3000}})  # every body comes late
        update = self.start_sync()
        self.log.new(at_least=2)  # the HEAD and the manifest: the bodies are on their way
        self.publish(dict(new, **{"Data/r3.bmd": b"r3"}), "r3")
        self.assert_installed(update.finish(), "r2", new, 2)

    def test_quick_path_when_head_is_refused_and_work_areas_were_left(self):
        make_tree(self.state_path("staging"), {"Data/x.bmd": b"staged", "y": b"half"})
        make_tree(self.state_path("downloads"), {"a.zip.part": b"partial"})
        self.served.faults({"/api/manifest": {"headStatus": 405}})
        run = self.sync()
        self.assert_synced(run, "r1", downloaded=0, quick=True)
        self.assertEqual(run.stages, [0, 7, 9])  # a killed run's work areas are cleared
        self.assert_verified("r1")
        # The plain GET is read only up to the release id; no second GET follows.
        self.assertEqual([(r["method"], r["path"], r["status"]) for r in self.new_requests()],
                         [("HEAD", "/api/manifest", 405), ("GET", "/api/manifest", 200)])

    def test_lost_record_is_rebuilt_from_the_cache_and_full_check_finds_what_it_hides(self):
        os.remove(self.state_path("verified-release.json"))
        tampered = self.tamper()
        # Rebuilt without hashing (the tampered file goes unnoticed), then the quick path.
        self.assert_synced(self.sync(), "r1", downloaded=0, quick=True)
        self.assert_verified("r1")
        self.assertEqual([r["method"] for r in self.new_requests()], ["HEAD"])
        # --full hashes every file, rebuilds the cache and repairs the folder.
        self.assert_installed(self.sync("--full"), "r1", self.files, 1)
        self.assertEqual(len(self.state_json("hash-cache.json")), len(self.files))
        self.assertEqual([r["path"] for r in self.new_requests("/files/")],
                         ["/files/" + sha(self.files[tampered])])
        # Only the exact fourth argument "--full" asks for a full check.
        self.tamper()
        self.assert_synced(self.sync("--FULL"), "r1", downloaded=0, quick=True)

    def test_only_network_failures_fall_back_to_the_verified_release(self):
        self.stop_host()
        run = self.sync()
        self.assert_synced(run, "r1", downloaded=0, offline=True, quick=True)
        self.assertEqual(run.stages, [0, 9])
        self.assertIn("Không kết nối được hosting", self.log_text())
        # With --full the folder is hashed against the installed manifest first.
        self.assert_synced(self.sync("--full"), "r1", downloaded=0, offline=True, quick=False)
        self.assert_verified("r1")
        self.tamper()
        self.assert_failed(self.sync("--full"),
                           "Hosting mất kết nối và client thiếu/hỏng file. Vui lòng thử lại.")
        # The damaged folder is no longer vouched for until the host is back.
        self.assert_failed(self.sync(), NO_HOST)
        self.serve()
        self.assert_installed(self.sync(), "r1", self.files, 1)
        # An error status is the host being away as well.
        self.served.faults({"/api/manifest": {"status": 503}})
        self.assert_synced(self.sync(), "r1", downloaded=0, offline=True, quick=True)
        self.assertIn("Hosting trả lỗi HTTP 503", self.log_text())
        # A manifest that does not parse is not the host being away: the run fails.
        self.publish(sample_files(30, version=2), "r2")
        self.served.faults({"/api/manifest": {"corruptOffset": 0}})
        broken = self.sync()
        self.assertEqual((broken.returncode, broken.result), (1, None), broken)
        self.assertIn("parse_error", broken.error)
        self.assert_client_holds(self.files)
        self.assert_verified("r1")

    def test_update_that_only_drops_files(self):
        dropped = ["Data/Nhân vật/Tệp 000.bmd", "Giao diện/Tệp 007.bmd"]
        second = {p: d for p, d in self.files.items() if p not in dropped}
        self.publish(second, "r2")
        self.assert_installed(self.sync(), "r2", second, 0)
        self.assertEqual(self.new_requests("/files/"), [])
        # The removed files are kept as the last backup.
        backup = read_tree(self.state_path("backup-last"), skip_state=False)
        self.assertEqual({p: backup.get(p) for p in dropped}, {p: self.files[p] for p in dropped})

    def test_offers_of_the_launcher(self):
        # An offer of the running version is recorded but not fetched.
        self.publish(self.files, "r1", "--launcher", "win-x64=" + UPDATER)
        self.assert_synced(self.sync(), "r1", downloaded=0)
        self.assertEqual(self.new_requests("/launchers/"), [])
        self.assertEqual(len(self.state_json("self-update", "offer.json")), 1)
        self.assertFalse(os.path.exists(self.state_path("self-update", "candidate.exe")))
        self.publish(self.files, "r1", "--launcher", "win-x64=" + UPDATER_NEXT)
        self.assert_synced(self.sync("--skip-launcher-update"), "r1", downloaded=0)
        offer = self.state_json("self-update", "offer.json")
        self.assertEqual([(o["runtime"], o["version"]) for o in offer], [("win-x64", "2.0.9.0")])
        self.assertEqual(self.new_requests("/launchers/"), [])
        self.assertFalse(os.path.exists(self.state_path("self-update", "candidate.exe")))
        # (An offer whose installation was rolled back is not fetched again, on the quick path
        # from offer.json: the hand-over tests start the launcher again after a roll-back.)
        self.publish(self.files, "r2", "--launcher", "win-x64=" + UPDATER_NEXT)
        run = self.sync()
        self.assert_synced(run, "r2", downloaded=0, launcher_ready=True)
        self.assertTrue({2, 4} <= set(run.stages), run)
        self.assertEqual(self.state_json("self-update", "ready.json"), offer[0])
        with open(self.state_path("self-update", "candidate.exe"), "rb") as got, \
                open(UPDATER_NEXT, "rb") as want:
            self.assertEqual(sha(got.read()), sha(want.read()))
        self.assertEqual(len(self.new_requests("/launchers/")), 1)
        # The client update waits for the new launcher: r1 is still the verified release.
        self.assertEqual(self.state_json("verified-release.json")["releaseId"], "r1")

class Interference(ClientCase):
    """Others in the folder while r1, whose Main.exe is the fake game, updates to r2."""

    def setUp(self):
        super().setUp()
        with open(FAKE_GAME, "rb") as src:
            game = src.read()
        self.files = sample_files(150, main=game)
        self.publish(self.files, "r1").serve()
        self.assert_synced(self.sync(), "r1", downloaded=151)
        self.second = sample_files(150, version=2, main=game)
        self.publish(self.second, "r2")

    def start_game(self):
        pid_file = os.path.join(self.work, "game.pid")  # written once the game runs
        player = start(["wine", windows_path(os.path.join(self.client, "Main.exe")), "60000", windows_path(pid_file)])
        wait_for_file(pid_file, "the game's start under Wine", player, 30)
        return player

    def update(self, player=None, downloaded=150):
        if player:
            stop(player)
        self.assert_installed(self.sync(), "r2", self.second, downloaded)

    def test_running_game_makes_the_update_wait_and_fail(self):
        player = self.start_game()
        run = self.sync()
        self.assertEqual(run.returncode, 1, run)
        self.assertRegex(run.error, GAME_RUNS + r"Hãy đóng game rồi bấm Thử lại\.\nĐường dẫn: ")
        self.assertGreaterEqual(run.seconds, 3)  # it waited for the game to hand over
        self.assertEqual(self.new_requests("/files/"), [])  # before any download
        self.assert_client_holds(self.files)
        self.update(player)

    def test_interrupted_transaction_is_recovered_only_after_the_game_ends(self):
        # An update killed inside its transaction leaves the journal behind.
        journal = self.state_path("journal.json")
        killed = self.start_sync()
        while not os.path.exists(journal) and killed.process.poll() is None:
            time.sleep(0.002)
        killed.process.kill()
        killed.finish()
        if not os.path.exists(journal):
            self.skipTest("the update ended before it could be killed inside its transaction")
        player = self.start_game()
        self.stop_host()  # the guard comes before any question to the host
        run = self.sync()
        self.assertEqual(run.returncode, 1, run)
        self.assertRegex(run.error, GAME_RUNS)
        self.assertTrue(os.path.exists(journal))
        self.serve()
        self.update(player)

    def test_lock_held_by_another_updater(self):
        self.served.faults({"/api/manifest": {"delayMs": 10000, "times": 1}})
        first = self.start_sync()
        self.assertEqual(first.process.stdout.readline().strip(), b'{"stage":0}')  # has the lock
        second = self.sync()
        self.assert_failed(second, "Launcher khác đang kiểm tra hoặc cập nhật thư mục này.")
        self.assertEqual(second.stages, [])
        # A launcher that dies holding the lock does not block the next one.
        first.process.kill()
        first.finish()
        self.update()

    def test_file_changed_between_apply_and_recheck(self):
        # The first file the transaction puts in place changes while the rest still move.
        target, changed, done = "Data/Nhân vật/Tệp 000.bmd", [], threading.Event()

        def meddle():
            while not done.wait(0.002):
                if os.path.exists(self.state_path("journal.json")):
                    with open(os.path.join(self.client, target), "r+b") as file:
                        if file.read() == self.second[target]:
                            file.write(b"mod")
                            return changed.append(True)

        thread = threading.Thread(target=meddle, daemon=True)
        thread.start()
        run = self.sync()
        done.set()
        thread.join()
        if not changed:
            self.skipTest("the transaction ended before the file could be changed")
        self.assert_failed(run, "Client thay đổi trong lúc cập nhật. Hãy bấm Kiểm tra lại.")
        self.update(downloaded=1)  # the next run repairs the folder
