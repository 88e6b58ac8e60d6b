"""A player's whole journey under Wine and Xvfb, one step after another in one client folder,
with a screenshot of each step kept under build/test-artifacts/journey, by launchers built with
release keys against a signed site; and the built-in self-checks as a support script runs them."""

import os, shutil, subprocess, sys, unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from harness import (BUILD, CLOSE, FAKE_GAME, GAME_BUTTON, UPDATER, ClientCase, Programs,  # noqa: E402
                     Screen, run, sample_files, windows_path)

# The player's launcher and the newer one it hands over to, both carrying the test release keys.
LAUNCHER = os.environ.get("QORN_UPDATER_SIGNED_EXE", os.path.join(BUILD, "UpdaterSigned", "Updater.exe"))
LAUNCHER_NEXT = os.environ.get("QORN_UPDATER_NEXT_SIGNED_EXE",
                               os.path.join(BUILD, "UpdaterNextSigned", "Updater.exe"))
RELEASE_KEY = os.environ.get("QORN_RELEASE_KEY1", os.path.join(BUILD, "test-keys", "release-key1.key"))
SIGNED = ("--sign-key", RELEASE_KEY, "--expires", "30d")

SHELL_FOLDERS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders"

def read(path):
    with open(path, "rb") as src:
        return src.read()

@unittest.skipUnless(shutil.which("Xvfb") and shutil.which("xdotool"), "needs Xvfb and xdotool")
class PlayerJourney(ClientCase, Screen, Programs):
    ARTIFACTS = "journey"

    def setUp(self):
        super().setUp()
        self.start_screen()
        self.addCleanup(self.end_programs)
        # The prefix's Desktop links to the Unix home: the journey gets a Desktop of its own.
        self.desktop = os.path.join(self.work, "Desktop")
        os.makedirs(self.desktop)
        self.point_desktop(windows_path(self.desktop))
        self.addCleanup(self.point_desktop, r"%USERPROFILE%\Desktop")
        shutil.copy(LAUNCHER, os.path.join(self.client, "Updater.exe"))
        self.requests = []

    def point_desktop(self, value):
        run(["wine", "reg", "add", SHELL_FOLDERS, "/v", "Desktop", "/t", "REG_EXPAND_SZ", "/d", value, "/f"],
            "pointing the Desktop")

    def release(self, version):
        files = dict(sample_files(20, version=version))
        files["Main.exe"] = read(FAKE_GAME)
        return files

    def start(self, *arguments):
        """The client folder's Updater.exe, as the player (or the test window) starts it."""
        return subprocess.Popen(["wine", os.path.join(self.client, "Updater.exe"), *arguments], env=self.env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def start_test_window(self):
        return self.start("--test-ui", windows_path(self.client), self.url)

    def requested(self):
        """The first path segment of each request the host answered since the last call."""
        self.requests = self.log.new()
        return [r["path"].split("/")[1] for r in self.requests]

    def play(self, step):
        """VÀO GAME: the window hides while the game runs; the launcher ends after the game."""
        launched, playing = os.path.join(self.client, "launched.txt"), os.path.join(self.client, "play-ms.txt")
        with open(playing, "w") as out:
            out.write("3000")
        self.click(GAME_BUTTON)
        self.wait_until(lambda: os.path.exists(launched), "the game started")
        self.wait_until(lambda: not self.shown_windows(), "the window hid")
        self.shot(step)
        self.assertTrue(self.programs(), "the launcher waits for the game")
        self.wait_until(lambda: not self.programs(), "the launcher ended after the game", 30)
        with open(launched, encoding="utf-8") as src:
            self.assertEqual(src.read().splitlines(),
                             ['"%s\\Main.exe"' % windows_path(self.client), windows_path(self.client)])
        os.remove(launched)  # the game's notes are no part of the release
        os.remove(playing)

    def test_a_players_journey_from_an_empty_folder_to_offline_play(self):
        first = self.release(1)
        self.publish(first, "j1", "--packages", "2", *SIGNED).serve()

        # 1. The first start, without arguments: the shortcut appears on the Desktop; this
        #    build's own host is out of reach here, and the window says so.
        self.start()
        self.find_window()
        self.wait_for("1-first-start", self.failed)
        shortcut = os.path.join(self.desktop, "QORN.lnk")
        self.assertIn("Updater.exe".encode("utf-16-le"), read(shortcut))
        self.click(CLOSE)
        self.wait_until(lambda: not self.programs(), "the window closed")

        # 2. The release is installed by packages in the window.
        self.start_test_window()
        self.find_window()
        self.wait_for("2-installed", self.game_enabled)
        self.assertEqual(sorted(self.requested()), ["api", "api", "packages", "packages"])
        self.assertEqual(sorted(r["path"] for r in self.requests if r["path"].startswith("/api/")),
                         ["/api/manifest", "/api/release.json"])
        self.assert_client_holds(dict(first, **{"Updater.exe": read(LAUNCHER)}))
        self.assert_verified("j1")

        # 3. VÀO GAME.
        self.play("3-playing")

        # 4. The operator publishes changed files and a newer launcher; the next start hands
        #    over to the new build, which confirms and brings the folder to the release.
        second = self.release(2)
        self.publish(second, "j2", "--launcher", "win-x64=" + LAUNCHER_NEXT, *SIGNED)
        self.start_test_window()
        self.wait_until(lambda: self.programs("--launcher-ack"), "the new launcher started", 60)
        self.wait_until(lambda: self.log_text().count("Launcher self-update completed: 2.0.9.0\n") == 1,
                        "the hand-over completed")
        self.find_window()
        self.wait_for("4-new-launcher-ready", self.game_enabled)
        self.assert_client_holds(dict(second, **{"Updater.exe": read(LAUNCHER_NEXT)}))
        self.assert_verified("j2")
        self.assertEqual(self.state_json("release-statement.json")["sequence"], 2)
        [new] = self.programs()
        self.assertEqual(new[-2], "--launcher-ack")
        self.assertEqual(read(self.state_path("self-update", "Updater.previous.exe")), read(LAUNCHER))
        for name in ("job.json", "boot-ok.json", "ready.json", "candidate.exe", "failed.json"):
            self.assertFalse(os.path.exists(self.state_path("self-update", name)), name)

        # 5. The host goes down: the next start plays the verified release offline.
        self.click(CLOSE)
        self.wait_until(lambda: not self.programs(), "the window closed")
        self.stop_host()
        self.start_test_window()
        self.find_window()
        self.wait_for("5-offline-ready", self.game_enabled)
        self.play("6-playing-offline")
        self.assert_client_holds(dict(second, **{"Updater.exe": read(LAUNCHER_NEXT)}))

class SelfTest(ClientCase):
    def test_the_built_in_checks_print_one_line_and_succeed(self):
        done = run(["wine", UPDATER, "--self-test"], timeout=120)
        self.assertEqual(done.returncode, 0, done.stdout)
        self.assertRegex(done.stdout, r"\ANative assertions passed: [1-9][0-9]*\n\Z")

if __name__ == "__main__":
    unittest.main()
