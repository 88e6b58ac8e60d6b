"""The launcher replacing itself, with real builds under Wine and Xvfb: the window of the
client folder's Updater.exe hands over to the worker, which swaps the newer build in and
waits for it to confirm, or puts the old one back; and a torture that kills the worker or
the new launcher at random moments of the swap."""

import json, os, random, shutil, subprocess, sys, time, unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from harness import (FAKE_GAME, UPDATER, UPDATER_NEXT, ClientCase, Programs, kill, programs_of,  # noqa: E402
                     read_tree, run, sample_files, sha, start, start_display, wait_for_file,
                     windows_path)

EXITS = os.environ.get("QORN_UPDATER_EXITS_EXE")
SILENT = os.environ.get("QORN_UPDATER_SILENT_EXE")

def read(path):
    with open(path, "rb") as src:
        return src.read()

@unittest.skipUnless(shutil.which("Xvfb"), "needs Xvfb")
class HandoffCase(ClientCase, Programs):
    """The client folder holds the old Updater.exe; the host offers a build of choice."""

    def setUp(self):
        super().setUp()
        self.env = start_display()
        self.files = sample_files(6)
        self.builds = {name: read(path) for name, path in (("old", UPDATER), ("next", UPDATER_NEXT))}
        self.fresh_client(self.client)
        self.requests, self.since = [], 0  # the host's log, and where the last launch began in it
        self.launched = []
        self.addCleanup(self.end_launched)

    def fresh_client(self, folder):
        self.client = folder
        os.makedirs(folder, exist_ok=True)
        shutil.copy(UPDATER, os.path.join(folder, "Updater.exe"))

    def offer(self, build, release="r1"):
        self.publish(self.files, release, "--launcher", "win-x64=" + build).serve()
        return json.loads(self.manifest)["launchers"][0]

    def launch(self, *extra):
        """The client folder's Updater.exe in its test window against the host."""
        self.since = len(self.requests_seen())
        self.launched.append(subprocess.Popen(
            ["wine", os.path.join(self.client, "Updater.exe"), "--test-ui", windows_path(self.client),
             self.url, *extra], env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL))
        return self.launched[-1]

    def end_launched(self):
        self.end_programs()
        for process in self.launched:
            process.kill()
            process.wait()

    def area(self, *parts):
        return self.state_path("self-update", *parts)

    def updater(self):
        return read(os.path.join(self.client, "Updater.exe"))

    def requests_seen(self):
        self.requests += self.log.new()
        return self.requests

    def unsettled(self, after_a_run=True):
        """What keeps the last launch from one launcher at rest after a run: a hand-over in
        flight, the release not verified (empty when nothing does)."""
        asked = any(r["path"] == "/api/manifest" for r in self.requests_seen()[self.since:])
        causes = {"no manifest asked since the launch": after_a_run and not asked,
                  "not one launcher running": len(self.programs()) != 1,
                  "job.json present": os.path.exists(self.area("job.json")),
                  "verified-release.json missing": not os.path.exists(self.state_path("verified-release.json")),
                  "journal.json present": os.path.exists(self.state_path("journal.json"))}
        return [cause for cause, holds in causes.items() if holds]

    def settled(self, after_a_run=True):
        return not self.unsettled(after_a_run)

    def wait_settled(self, timeout=60, after_a_run=True):
        def test():
            return self.settled(after_a_run) and (time.sleep(1) or self.settled(after_a_run))
        try:
            self.wait_until(test, "a settled launcher", timeout)
        except AssertionError as failure:
            raise AssertionError("%s\nunsettled: %s" % (failure, self.unsettled(after_a_run))) from None

    def write_job(self, offer, **changes):
        job = {"endpoint": self.url, "fullCheck": False, "helperCreated": 0, "helperPid": 0,
               "offer": offer, "oldHash": sha(self.builds["old"]), "oldSize": len(self.builds["old"]),
               "parentCreated": 0, "parentPid": 0, "phase": "prepared",
               "restart": ["--test-ui", windows_path(self.client), self.url],
               "root": windows_path(self.client), "token": sha(b"a hand-over of the tests")}
        job.update(changes)
        os.makedirs(self.area(), exist_ok=True)
        with open(self.area("job.json"), "w", encoding="utf-8") as out:
            json.dump(job, out)
        return job

class Handoff(HandoffCase):
    # The swap that confirms is a step of the player's journey (test_journey).

    def assert_rolled_back(self, build):
        offer = self.offer(build)
        old = self.launch()
        self.assertEqual(old.wait(60), 0)
        handed_over = time.monotonic()
        self.wait_until(lambda: self.programs("--skip-launcher-update"), "the old launcher restarted")
        self.assertLess(time.monotonic() - handed_over, 25)
        mark = len(self.requests_seen())
        self.assertEqual(self.updater(), self.builds["old"])
        self.assertEqual(read(self.area("Updater.failed.exe")), read(build))
        with open(self.area("failed.json"), encoding="utf-8") as src:
            self.assertEqual(json.load(src), {"sha256": offer["sha256"]})
        self.assertIn("Launcher apply/rollback: Updater mới không xác nhận khởi động thành công.\n",
                      self.log_text())
        # The restarted launcher updates the folder (the first run had stopped for the hand-over);
        # neither it nor a later start offers the build again.
        self.wait_settled(after_a_run=False)
        self.assert_client_holds(dict(self.files, **{"Updater.exe": self.builds["old"]}))
        self.stop_programs()
        self.launch()
        self.wait_settled()
        self.assertEqual(self.programs()[0][-3:], ["--test-ui", windows_path(self.client), self.url])
        self.assertEqual(self.updater(), self.builds["old"])
        self.assertEqual([r for r in self.requests_seen()[mark:] if r["path"].startswith("/launchers/")], [])
        for name in ("job.json", "ready.json", "boot-ok.json"):
            self.assertFalse(os.path.exists(self.area(name)), name)

    def test_a_build_that_exits_at_once_is_rolled_back(self):
        self.assert_rolled_back(EXITS)

    def test_a_build_that_never_confirms_is_closed_and_rolled_back(self):
        self.assert_rolled_back(SILENT)

    def test_a_parent_id_reused_by_another_process_fails_and_rolls_back(self):
        offer = self.offer(UPDATER_NEXT)
        pid_file = os.path.join(self.work, "game.pid")
        start(["wine", FAKE_GAME, "120000", windows_path(pid_file)])
        stranger = int(wait_for_file(pid_file, "the other process's id"))
        os.makedirs(self.area(), exist_ok=True)
        shutil.copy(UPDATER_NEXT, self.area("candidate.exe"))
        with open(self.area("ready.json"), "w") as out:
            json.dump(offer, out)
        shutil.copy(UPDATER, self.area("worker.exe"))
        job = self.write_job(offer, parentPid=stranger, parentCreated=1)
        worker = subprocess.Popen(["wine", self.area("worker.exe"), "--apply-launcher",
                                   windows_path(self.client), job["token"]], env=self.env,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertEqual(worker.wait(60), 1)
        self.assertIn("Launcher apply/rollback: PID launcher cũ đã được dùng lại.\n", self.log_text())
        with open(self.area("failed.json"), encoding="utf-8") as src:
            self.assertEqual(json.load(src), {"sha256": offer["sha256"]})
        self.assertEqual(self.updater(), self.builds["old"])
        for name in ("job.json", "ready.json", "Updater.failed.exe", "Updater.previous.exe"):
            self.assertFalse(os.path.exists(self.area(name)), name)
        self.wait_until(lambda: self.programs("--skip-launcher-update"), "the old launcher restarted")

    def test_leftovers_of_an_interrupted_hand_over_are_cleaned_at_the_next_start(self):
        offer = self.offer(UPDATER_NEXT)
        cases = [  # (Updater.exe, job phase, options of the start, the log line)
            ("old", "prepared", ["--skip-launcher-update"], "Recovered launcher handoff before replacement."),
            ("next", "installed", [], "Recovered interrupted launcher update; new launcher booted successfully."),
        ]
        for build, phase, options, line in cases:
            with self.subTest(build=build):
                with open(os.path.join(self.client, "Updater.exe"), "wb") as out:
                    out.write(self.builds[build])
                self.write_job(offer, phase=phase, helperPid=4, helperCreated=1)  # a worker long gone
                with open(self.area("ready.json"), "w") as out:
                    json.dump(offer, out)
                self.launch(*options)
                self.wait_settled()
                self.assertIn(line + "\n", self.log_text())
                self.assertEqual(self.updater(), self.builds[build])
                for name in ("job.json", "boot-ok.json"):
                    self.assertFalse(os.path.exists(self.area(name)), name)
                self.stop_programs()

    def test_argument_errors_end_before_any_file_is_touched(self):
        offer = self.offer(UPDATER_NEXT)
        job = self.write_job(offer)
        before = read_tree(self.client, skip_state=False)
        token, folder = job["token"], windows_path(self.client)
        cases = [
            (["--apply-launcher", folder], "Sai tham số thay Updater."),
            (["--apply-launcher", folder, token, "--full-check"], "Sai tham số thay Updater."),
            (["--apply-launcher", folder, token.upper()], "SHA-256 không hợp lệ."),
            (["--test-ui", folder, self.url, "--launcher-ack"], "Thiếu mã xác nhận Updater."),
            (["--launcher-ack", "1234", "--test-ui", folder, self.url], "SHA-256 không hợp lệ."),
        ]
        for arguments, message in cases:
            with self.subTest(arguments=arguments):
                done = run(["wine", os.path.join(self.client, "Updater.exe"), *arguments], timeout=60)
                self.assertEqual(done.returncode, 1, done.stdout)
                self.assertEqual(done.stdout.splitlines()[-1],
                                 json.dumps({"error": message}, ensure_ascii=False, separators=(",", ":")))
                self.assertEqual(read_tree(self.client, skip_state=False), before)

class HandoffTorture(HandoffCase):
    ROUNDS = int(os.environ.get("QORN_HANDOFF_ROUNDS", "20"))

    def test_killing_the_worker_or_the_new_launcher_never_leaves_the_folder_without_a_launcher(self):
        self.offer(UPDATER_NEXT)
        first = int(os.environ.get("QORN_HANDOFF_SEED", time.time_ns() % 1000000))
        for round_ in range(self.ROUNDS):
            seed = first + round_
            chance = random.Random(seed)
            victim = chance.choice(["--apply-launcher", "--launcher-ack"])
            delay = chance.uniform(0, 2.0)
            print("round %d: seed %d, kill %s after %.2f s" % (round_, seed, victim, delay), flush=True)
            with self.subTest(seed=seed):
                self.fresh_client(os.path.join(self.work, "client-%d" % round_))
                self.launch()
                self.wait_until(lambda: self.programs(victim), "the program to kill", 60)
                time.sleep(delay)
                hit = [pid for pid, argv in programs_of(self.client).items() if victim in argv]
                for pid in hit:
                    kill(pid)
                print("  %s" % ("killed" if hit else "it had ended"), flush=True)
                self.wait_until(lambda: not self.programs("--apply-launcher"), "the worker's end")
                self.stop_programs()
                self.assertIn(self.updater(), self.builds.values())  # a whole build, never none
                self.launch()
                self.wait_settled(90)
                self.assertIn(self.updater(), self.builds.values())
                self.assert_client_holds(dict(self.files, **{"Updater.exe": self.updater()}))
                self.assert_verified("r1")
                for name in ("job.json", "boot-ok.json"):
                    self.assertFalse(os.path.exists(self.area(name)), name)
                outcome = "new" if self.updater() == self.builds["next"] else "old"
                print("  settled with the %s build" % outcome, flush=True)
                self.stop_programs()

if __name__ == "__main__":
    unittest.main()
