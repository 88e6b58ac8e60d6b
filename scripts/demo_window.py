#!/usr/bin/env python3
"""The window part of the demo: the launcher window on the sample release, on the display
of DISPLAY or, without one, on an Xvfb of its own, with a screenshot of each state it passes.

usage: demo_window.py UPDATER_EXE HOST_URL CLIENT_UNIX CLIENT_WINDOWS FAULTS_FILE OUT_FOLDER

The host (`qorn_host.py serve` of the sample site) is already running with FAULTS_FILE; the
files come slowly at first so that the Working state can be seen, then at full speed. At
the end, "Kiểm tra lại" starts a full check on a slow host and "Dừng" stops it: Failed.
"""
import json
import os
import shutil
import subprocess
import sys
import time


def main(updater, host, client_unix, client_windows, faults, out):
    os.makedirs(out, exist_ok=True)
    env = dict(os.environ)
    xvfb = None
    if not env.get("DISPLAY"):
        env["DISPLAY"] = ":%d" % (200 + os.getpid() % 500)
        xvfb = subprocess.Popen(["Xvfb", env["DISPLAY"], "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.5)

    def set_faults(delay):
        with open(faults + ".new", "w") as dest:
            json.dump({"/api/manifest": {}, "*": {"delayMs": delay}} if delay else {}, dest)
        os.replace(faults + ".new", faults)

    def xdotool(*arguments):
        return subprocess.run(["xdotool", *arguments], env=env, capture_output=True, text=True).stdout

    def shot(name):
        path = os.path.join(out, name + ".png")
        subprocess.run(["import", "-window", "root", path], env=env, check=True)
        return path

    def click(window, x, y):
        values = dict(line.split("=") for line in xdotool("getwindowgeometry", "--shell", window).split())
        xdotool("mousemove", str(int(values["X"]) + x), str(int(values["Y"]) + y), "click", "1")

    set_faults(4000)  # the two packages of a first installation: slow enough to be seen
    shutil.rmtree(client_unix, ignore_errors=True)
    launcher = subprocess.Popen(["wine", updater, "--test-ui", client_windows, host + "/api/manifest"], env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        window = None
        for _ in range(150):
            found = xdotool("search", "--onlyvisible", "--name", "QORN.TV").split()
            if found:
                window = found[-1]
                break
            time.sleep(0.2)
        if window is None:
            sys.exit("demo: the window did not open")
        time.sleep(2)
        shots = [shot("1-working")]
        set_faults(0)
        while not os.path.exists(os.path.join(client_unix, ".qorn-launcher", "verified-release.json")):
            time.sleep(0.3)
        time.sleep(1)
        shots.append(shot("2-ready"))
        set_faults(3000)
        click(window, 96, 509)  # "Kiểm tra lại": a full check, slow
        time.sleep(2)
        click(window, 201, 509)  # "Dừng"
        time.sleep(4)
        shots.append(shot("3-failed"))
        click(window, 932, 22)  # close
        launcher.wait(timeout=60)
    finally:
        if launcher.poll() is None:
            launcher.kill()
        set_faults(0)
        if xvfb:
            xvfb.terminate()
    print("Window screenshots (Working, Ready, Failed after \"Dừng\"):")
    for path in shots:
        print("  " + path)


if __name__ == "__main__":
    if len(sys.argv) != 7:
        sys.exit(__doc__)
    main(*sys.argv[1:])
