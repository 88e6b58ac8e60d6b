"""The launcher window under Xvfb: `Updater.exe --test-ui` against the host tool, seen through
screenshots (kept under build/test-artifacts/window) and driven by clicks, as a player would."""

import os, shutil, subprocess, sys, time, unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from harness import (BUILD, FAKE_GAME, UPDATER, ClientCase, read_tree, run, sample_files,  # noqa: E402
                     start_display, windows_path)

ARTIFACTS = os.path.join(BUILD, "test-artifacts", "window")
SETTINGS = r"HKCU\Software\Webzen\Mu2\Config"
# Design units of the window (960 × 560 at scale 1 on a 96-DPI screen).
GAME_BUTTON, WINDOW_MODE, SOUND, STOP, CLOSE = (816, 470), (720, 418), (720, 386), (201, 509), (932, 22)

def pixel(shot, x, y):
    """The (r, g, b) of a screenshot's pixel."""
    text = subprocess.run(["/usr/bin/convert", shot, "-format", "%[fx:int(255*r)],%[fx:int(255*g)],%[fx:int(255*b)]",
                           "-crop", "1x1+%d+%d" % (x, y), "+repage", "info:-"],
                          capture_output=True, text=True, check=True).stdout
    return tuple(int(v) for v in text.split(","))

def close_to(colour, rgb, tolerance=24):
    return all(abs(a - b) <= tolerance for a, b in zip(colour, rgb))

@unittest.skipUnless(shutil.which("Xvfb") and shutil.which("xdotool"), "needs Xvfb and xdotool")
class Window(ClientCase):
    def setUp(self):
        super().setUp()
        os.makedirs(ARTIFACTS, exist_ok=True)
        self.env = start_display()
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
        deadline = time.monotonic() + 30
        while not self.xdotool("search", "--onlyvisible", "--name", "QORN.TV"):
            self.assertLess(time.monotonic(), deadline, "the window did not open")
            time.sleep(0.2)
        self.window = self.xdotool("search", "--onlyvisible", "--name", "QORN.TV").split()[-1]

    def xdotool(self, *arguments):
        return subprocess.run(["xdotool", *arguments], env=self.env, capture_output=True, text=True).stdout

    @property
    def origin(self):
        """Where the window stands now: it is placed once it knows its monitor."""
        values = dict(line.split("=") for line in self.xdotool("getwindowgeometry", "--shell", self.window).split())
        return int(values["X"]), int(values["Y"])

    def shot(self, name):
        path = os.path.join(ARTIFACTS, "%s.png" % name)
        subprocess.run(["import", "-window", "root", path], env=self.env, check=True)
        return path

    def at(self, shot, point):
        x, y = self.origin
        return pixel(shot, x + point[0], y + point[1])

    def click(self, point):
        x, y = self.origin
        x, y = x + point[0], y + point[1]
        subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"], env=self.env, check=True)

    def wait_for(self, name, test, timeout=60):
        deadline = time.monotonic() + timeout
        while True:
            shot = self.shot(name)
            if test(shot):
                return shot
            self.assertLess(time.monotonic(), deadline, "never reached: " + name)
            time.sleep(0.3)

    def game_enabled(self, shot):
        return close_to(self.at(shot, (720, 442)), (0xE7, 0xBD, 0x75), 30)

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
        failed = self.wait_for("failed", lambda shot: close_to(self.at(shot, (33, 413)), (0x94, 0x4D, 0x36), 16))
        self.assertFalse(self.game_enabled(failed))
        self.assertFalse(os.path.exists(os.path.join(self.client, ".qorn-launcher", "journal.json")))
        self.assertEqual(set(read_tree(self.client)) & set(self.files), set())  # nothing half-installed
        # Closing during a run: the window waits for the stopped run before it goes.
        self.click((96, 509))  # "Thử lại": a full check, slow again
        self.wait_for("working again", lambda shot: not close_to(self.at(shot, (33, 413)), (0x94, 0x4D, 0x36), 16))
        self.click(CLOSE)
        time.sleep(0.5)
        self.assertIsNone(self.launcher.poll(), "closed before the run ended")
        self.launcher.wait(timeout=60)
        self.assertFalse(os.path.exists(os.path.join(self.client, ".qorn-launcher", "journal.json")))
