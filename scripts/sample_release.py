#!/usr/bin/env python3
"""Writes the built-in sample client release used by scripts/demo.

usage: sample_release.py FOLDER [--second]

The first release is a few hundred files in nested folders with Vietnamese
names, Main.exe at the top. --second writes the next release: some files
changed, some added and some removed, so an update has all three kinds of work.
Content is deterministic, so two runs give the same digests.
"""
import hashlib
import os
import sys

FOLDERS = ["Data/Nhân vật/Giáp trụ", "Data/Nhân vật/Vũ khí", "Data/Bản đồ/Làng Đông Hải",
           "Data/Quái vật/Rồng lửa", "Data/Âm thanh/Nhạc nền", "Data/Giao diện"]


def body(name, version, size):
    seed = hashlib.sha256(f"{name}:{version}".encode()).digest()
    return (seed * (size // len(seed) + 1))[:size]


def files(second):
    result = {"Main.exe": body("Main.exe", 2 if second else 1, 150000)}
    for i in range(300):
        folder = FOLDERS[i % len(FOLDERS)]
        path = f"{folder}/Tệp số {i:03d}.bmd"
        if second and i % 50 == 7:
            continue  # removed in the second release
        version = 2 if second and i % 20 == 3 else 1  # changed
        result[path] = body(path, version, 500 + (i * 977) % 20000)
    if second:
        for i in range(10):
            path = f"Data/Sự kiện mới/Vật phẩm {i}.ozj"
            result[path] = body(path, 1, 3000 + i)
    return result


def main():
    if len(sys.argv) not in (2, 3) or (len(sys.argv) == 3 and sys.argv[2] != "--second"):
        sys.exit(__doc__)
    root = sys.argv[1]
    for path, data in files(len(sys.argv) == 3).items():
        target = os.path.join(root, *path.split("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()
