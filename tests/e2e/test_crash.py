"""Crash torture: an update of about 500 files is killed at a random moment, over and over.
Odd rounds end with a normal run, which must leave the new release, verified; even rounds
with a run against a stopped host, which shows what the roll-back left: the old release
byte for byte when the kill came before the commit, the new one after it. Nothing else is
touched. A second torture does the same with files of 24 MiB. QORN_TORTURE_SEED repeats a
run; QORN_TORTURE_ROUNDS and QORN_TORTURE_LARGE_ROUNDS set the numbers of rounds."""

import os, random, shutil, sys, time, unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from harness import ClientCase, make_tree, read_tree, sample_files  # noqa: E402

ROUNDS = int(os.environ.get("QORN_TORTURE_ROUNDS", "32"))
LARGE_ROUNDS = int(os.environ.get("QORN_TORTURE_LARGE_ROUNDS", "8"))

def next_release(files):
    """About two files in three changed, a few dropped, a few added."""
    result = {}
    for index, (path, data) in enumerate(sorted(files.items())):
        if index % 41 != 5:
            result[path] = data if index % 3 == 0 else data[::-1] + b"v2"
    for index in range(12):
        result["Data/Sự kiện mới/Vật phẩm %02d.ozj" % index] = bytes([index]) * (1000 + index)
    return result

def snapshot(root):
    """path -> (bytes, write time) of every file below root."""
    return {path: (data, os.stat(os.path.join(root, path)).st_mtime_ns)
            for path, data in read_tree(root, skip_state=False).items()}

class KilledUpdates(ClientCase):
    def test_every_killed_update_is_finished_or_rolled_back(self):
        old = sample_files(499)
        self.torture(old, next_release(old), ROUNDS, "--packages", "2")

    def test_killed_updates_of_large_files(self):
        """Files of 24 MiB: a kill lands inside their transfers, checks and moves."""
        old = dict(sample_files(20), **{"Data/Khối %d.pak" % i: os.urandom(24 << 20) for i in range(6)})
        new = dict(next_release(old), **{"Data/Khối %d.pak" % i: os.urandom(24 << 20) for i in range(5)})
        self.torture(old, new, LARGE_ROUNDS)

    def torture(self, old, new, rounds, *first_options):
        seed = int(os.environ.get("QORN_TORTURE_SEED", str(random.randrange(1 << 32))))
        print("\ncrash torture: seed %d, %d rounds (QORN_TORTURE_SEED=%d repeats it)"
              % (seed, rounds, seed), file=sys.stderr, flush=True)
        draw = random.Random(seed)
        own = {"Screenshots/ảnh 1.jpg": b"player's own", "config.ini": b"[game]\nwindowed=1\n"}
        self.publish(old, "r1", *first_options).serve()
        self.assert_synced(self.sync(), "r1", downloaded=len(old))
        make_tree(self.client, own)
        neighbour = make_tree(self.work + "/neighbour", {"keep.txt": b"outside the client folder"})
        outside = snapshot(neighbour)
        installed = os.path.join(self.work, "installed-r1")
        shutil.copytree(self.client, installed, symlinks=True)
        self.publish(new, "r2")

        # One uninterrupted update gives the span in which to kill.
        started = time.monotonic()
        changed = [path for path in new if old.get(path) != new[path]]
        self.assert_synced(self.sync(), "r2", downloaded=len(changed))
        span = time.monotonic() - started
        print("an uninterrupted update takes %.1f s" % span, file=sys.stderr, flush=True)

        for number in range(1, rounds + 1):
            offline = number % 2 == 0
            self.serve()
            shutil.rmtree(self.client)
            shutil.copytree(installed, self.client, symlinks=True)
            delay = draw.uniform(0.2, span)
            update = self.start_sync()
            time.sleep(delay)
            ended = update.process.poll() is not None
            update.process.kill()
            killed = update.finish()
            left = [name for name in ("downloads", "staging", "journal.json", "transaction")
                    if os.path.exists(self.state_path(name))]
            # Committed: a committed journal, or none and the new manifest installed.
            if "journal.json" in left:
                committed = self.state_json("journal.json").get("committed") is True
            else:
                with open(self.state_path("installed.json"), "rb") as src:
                    committed = src.read() == self.manifest
            print("round %d: killed after %.2f s, %s; %s the commit, then a run %s" % (
                number, delay, "had ended" if ended else "left: " + (", ".join(left) or "nothing"),
                "after" if committed else "before",
                "against a stopped host" if offline else "to the end"), file=sys.stderr, flush=True)
            with self.subTest(round=number, delay=round(delay, 2), seed=seed):
                release, files = ("r2", new) if committed or not offline else ("r1", old)
                if offline:
                    self.stop_host()  # the host is away: a run succeeds offline only with what it holds
                    run = self.sync()
                    if run.returncode == 0:
                        self.assertEqual((run.result["releaseId"], run.result["offline"]), (release, True), run)
                    else:
                        self.assert_failed(run, "Không kết nối được hosting. Chưa có client hoàn chỉnh để chạy.")
                else:
                    if killed.result is None:
                        run = self.sync()
                        self.assertEqual((run.returncode, (run.result or {}).get("releaseId")), (0, "r2"), run)
                    self.assert_verified("r2")
                self.assert_client_holds({**files, **own})
                for name in ("journal.json", "transaction"):
                    self.assertFalse(os.path.exists(self.state_path(name)), name)
                self.assertEqual(snapshot(neighbour), outside)
