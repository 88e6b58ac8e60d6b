"""The launcher window under Xvfb: `Updater.exe --test-ui` against the host tool, seen through
screenshots (kept under build/test-artifacts/window) and driven by clicks, as a player would."""

import os, shutil, subprocess, sys, time, unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from harness import (CLOSE, FAKE_GAME, GAME_BUTTON, RETRY, SOUND, STOP, UPDATER, WINDOW_MODE,  # noqa: E402
                     ClientCase, Screen, close_to, read_tree, run, sample_files, windows_path)

SETTINGS = r"HKCU\Software\Webzen\Mu2\Config"

@unittest.skipUnless(shutil.which("Xvfb") and shutil.which("xdotool"), "needs Xvfb and xdotool")
class Window(ClientCase, Screen):
    def setUp(self):
        super().setUp()
        self.start_screen()
        files = dict(sample_files(20))
        with open(FAKE_GAME, "rb") as src:
            files["Main.exe"] = src.read()  # started without arguments, it notes how and exits
        self.files = files
        self.publish(files, "w1").serve()
        self.saved = {name: self.setting(name) for name in ("WindowMode", "SoundOnOff", "MusicOnOff")}
        self.addCleanup(self.restore_settings)

    def setting(self, name):
        out = run(["wine", "reg", "query", SETTINGS, "/v", name]).stdout
        words = [line.split() for line in out.splitlines() if name in line]
        return int(words[0][-1], 16) if words else None

    def restore_settings(self):
        for name, value in self.saved.items():
            if value is None:
                run(["wine", "reg", "delete", SETTINGS, "/v", name, "/f"])
            else:
                run(["wine", "reg", "add", SETTINGS, "/v", name, "/t", "REG_DWORD", "/d", str(value), "/f"])

    def open_window(self):
        self.launcher = subprocess.Popen(["wine", UPDATER, "--test-ui", windows_path(self.client), self.url],
                                         env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: self.launcher.poll() is None and self.launcher.kill())
        self.find_window()

    def test_working_ready_settings_and_play(self):
        self.served.faults({"/api/manifest": {}, "*": {"delayMs": 400}})
        self.open_window()
        self.wait_for("working", lambda shot: close_to(self.at(shot, (720, 442)), (0x4E, 0x43, 0x30), 16))
        ready = self.wait_for("ready", self.game_enabled)
        self.assertTrue(close_to(self.at(ready, (670, 413)), (0xD3, 0xAC, 0x65)))  # the full bar
        self.assertEqual(read_tree(self.client), self.files)
        self.click(WINDOW_MODE)
        self.click(SOUND)
        deadline = time.monotonic() + 10
        while (self.setting("WindowMode"), self.setting("SoundOnOff"), self.setting("MusicOnOff")) != (0, 0, 0):
            self.assertLess(time.monotonic(), deadline, "the buttons did not write the settings")
            time.sleep(0.2)
        self.click(GAME_BUTTON)
        clicked = time.monotonic()
        self.launcher.wait(timeout=30)  # the game notes its start and ends; the launcher follows it
        self.assertLess(time.monotonic() - clicked, 4)  # a 500 ms poll of the game, then the exit
        with open(os.path.join(self.client, "launched.txt"), encoding="utf-8") as src:
            command, folder = src.read().splitlines()
        self.assertEqual((command, folder), ('"%s\\Main.exe"' % windows_path(self.client), windows_path(self.client)))
        self.assertEqual(self.launcher.returncode, 0)

    def test_stop_during_a_slow_download_ends_failed_and_closing_waits_for_the_run(self):
        self.served.faults({"/api/manifest": {}, "*": {"delayMs": 5000}})
        self.open_window()
        self.wait_for("downloading", lambda shot: close_to(self.at(shot, (720, 442)), (0x4E, 0x43, 0x30), 16))
        time.sleep(1)
        self.click(STOP)
        failed = self.wait_for("failed", self.failed)
        self.assertFalse(self.game_enabled(failed))
        self.assertFalse(os.path.exists(os.path.join(self.client, ".qorn-launcher", "journal.json")))
        self.assertEqual(set(read_tree(self.client)) & set(self.files), set())  # nothing half-installed
        # Closing during a run: the window waits for the stopped run before it goes.
        self.click(RETRY)  # "Thử lại": a full check, slow again
        self.wait_for("working again", lambda shot: not self.failed(shot))
        self.click(CLOSE)
        time.sleep(0.5)
        self.assertIsNone(self.launcher.poll(), "closed before the run ended")
        self.launcher.wait(timeout=60)
        self.assertFalse(os.path.exists(os.path.join(self.client, ".qorn-launcher", "journal.json")))
