#!/usr/bin/env python3
"""CVFSET32.dll under Wine against unzip on the same 100 MB fileset of mixed files.

usage: scripts/wine-env.sh build/win64 python3 bench/fileset/run_fileset_bench.py [ROUNDS]

Makes the files (text, half-packable binary, random; from 1 KB to 8 MB, in 24 folders; the
same bytes every time), packs them with plxfset from the host build, then in each round
decompresses the fileset through fileset_bench.exe (the library call alone is timed) and
with `unzip -o -q` (the whole process is timed) into two fresh folders. Prints the best
round of each, both throughputs in MB/s of unpacked content, and their ratio.
"""
import filecmp
import os
import random
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WIN_BIN = os.path.join(ROOT, "build", "win64", "bin")
PLXFSET = os.path.join(ROOT, "build", "host", "tools", "fileset", "plxfset")
WORK = os.path.join(ROOT, "build", "win64", "bench-fileset")
TARGET_BYTES = 100 * 1000 * 1000
MB = 1e6


def text(rng, n):
    words = ["install", "package", "server", "target", "fileset", "workstation", "journal", "value=",
             "[Section]", "C:\\WINDOWS\\SYSTEM", "0x%04X", "path", "error", "copy"]
    out, size = [], 0
    while size < n:
        line = " ".join(rng.choice(words) for _ in range(rng.randint(3, 12))) + " %d\r\n" % rng.randint(0, 99999)
        out.append(line)
        size += len(line)
    return "".join(out).encode()[:n]


def binary(rng, n):
    """Program-like bytes: runs of a few values between random stretches; packs to about half."""
    out = bytearray()
    while len(out) < n:
        out += bytes([rng.randint(0, 3)]) * rng.randint(1, 40) + rng.randbytes(rng.randint(1, 40))
    return bytes(out[:n])


def make_tree(src):
    rng = random.Random(1997)
    total, count = 0, 0
    kinds = (text, binary, lambda r, n: r.randbytes(n))
    while total < TARGET_BYTES:
        roll = rng.random()
        size = rng.randint(1 << 10, 64 << 10) if roll < 0.85 else \
            rng.randint(64 << 10, 1 << 20) if roll < 0.98 else rng.randint(4 << 20, 8 << 20)
        size = min(size, TARGET_BYTES - total)
        folder = os.path.join(src, "D%02d" % rng.randint(0, 23), "S%d" % rng.randint(0, 2))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "F%05d.DAT" % count), "wb") as f:
            f.write(kinds[count % 3](rng, size))
        total += size
        count += 1
    return total, count


def fresh(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)


def wine_path(path):
    return "Z:" + path.replace("/", "\\")


def same_trees(a, b):
    cmp = filecmp.dircmp(a, b)
    if cmp.left_only or cmp.right_only or cmp.diff_files or cmp.funny_files:
        return False
    match, mismatch, errors = filecmp.cmpfiles(a, b, cmp.common_files, shallow=False)
    return not mismatch and not errors and all(same_trees(os.path.join(a, d), os.path.join(b, d))
                                               for d in cmp.common_dirs)


def main(rounds):
    src, archive = os.path.join(WORK, "src"), os.path.join(WORK, "BENCH.ZIP")
    if not os.path.exists(archive):
        fresh(src)
        total, count = make_tree(src)
        subprocess.run([PLXFSET, "build", src, archive], check=True, stdout=subprocess.DEVNULL)
    else:
        total = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(src) for f in fs)
        count = sum(len(fs) for _, _, fs in os.walk(src))
    print("fileset: %d files, %.1f MB unpacked, %.1f MB packed" % (count, total / MB, os.path.getsize(archive) / MB))
    by_dll, by_unzip = os.path.join(WORK, "out-dll"), os.path.join(WORK, "out-unzip")
    bench = os.path.join(WIN_BIN, "fileset_bench.exe")
    dll_times, unzip_times = [], []
    for _ in range(rounds):
        fresh(by_dll)
        r = subprocess.run(["wine", bench, wine_path(archive), wine_path(by_dll)], capture_output=True, text=True,
                           stdin=subprocess.DEVNULL, timeout=600)
        if r.returncode != 0:
            sys.exit("fileset_bench failed: " + r.stdout + r.stderr)
        unpacked, seconds = r.stdout.split()
        if int(unpacked) != total:
            sys.exit("fileset_bench unpacked %s bytes of %d" % (unpacked, total))
        dll_times.append(float(seconds))
        fresh(by_unzip)
        start = time.perf_counter()
        subprocess.run(["unzip", "-o", "-q", archive, "-d", by_unzip], check=True)
        unzip_times.append(time.perf_counter() - start)
    if not same_trees(by_dll, by_unzip):
        sys.exit("the two folders differ")
    dll, unzip = total / min(dll_times) / MB, total / min(unzip_times) / MB
    print("CVFSET32.dll under Wine: %.1f MB/s (best of %d: %.3f s)" % (dll, rounds, min(dll_times)))
    print("unzip -o:                %.1f MB/s (best of %d: %.3f s)" % (unzip, rounds, min(unzip_times)))
    print("ratio: %.2f (goal: at least 0.9)" % (dll / unzip))
    shutil.rmtree(by_dll, ignore_errors=True)
    shutil.rmtree(by_unzip, ignore_errors=True)


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 3)
