#!/usr/bin/env python3
"""REPLACEKEY through the agent's interpreter under Wine against `sed -i` on the same file.

usage: scripts/wine-env.sh build/win64 python3 bench/scriptlib/run_replacekey_bench.py [ROUNDS]

For 10 MB and 100 MB: makes an INI-style file (sections, key=value lines, ";" comments, one
line in a thousand over 255 characters, CR LF line ends; the same bytes every time) with the
one line to edit in its middle, then in each round puts a fresh copy in place for each side
and rewrites the token on that line, once through replacekey_bench.exe (the script's run is
timed) and once with sed -i (the whole process is timed). Prints the best round of each as
MB/s of file rewritten, their ratio and the agent's peak memory, and checks that the two
results are byte-identical.
"""
import os
import random
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BENCH = os.path.join(ROOT, "build", "win64", "bin", "replacekey_bench.exe")
WORK = os.path.join(ROOT, "build", "win64", "bench-replacekey")
MB = 1e6
KEY, OLD, NEW = "TargetKey", "/MODE:OLD", "/mode:new"  # REPLACEKEY upper-cases the new token
TARGET_LINE = "TargetKey=C:\\APPS\\ACCOUNTS.EXE /MODE:OLD /Q\r\n"
SED = ["sed", "-i", r"/^TargetKey=/s|/MODE:OLD|/MODE:NEW|"]
WORDS = ["install", "package", "server", "C:\\WINDOWS\\SYSTEM", "drv", "386", "yes", "no", "Default",
         "0x0400", "LPT1:", "COM2:", "Arial", "9600,n,8,1", "MS$NE2CLONE", "timer.drv", "%d"]


def block(rng, size):
    """About size bytes of INI lines, CR LF ended."""
    lines, total, section = [], 0, 0
    while total < size:
        roll = rng.random()
        if roll < 0.04:
            section += 1
            line = "[Section%06d]\r\n" % section
        elif roll < 0.06:
            line = "; %s %s\r\n" % (rng.choice(WORDS), rng.choice(WORDS))
        elif roll < 0.061:
            line = "Long%06d=%s\r\n" % (rng.randint(0, 999999), ";".join("C:\\DIR%03d" % i for i in range(40)))
        else:
            value = " ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 6)))
            line = "Key%06d=%s\r\n" % (rng.randint(0, 999999), value)
        lines.append(line)
        total += len(line)
    return "".join(lines).encode()


def make(path, size):
    """Blocks of 1 MB, each made once from a fixed seed, with the line to edit in the middle."""
    rng = random.Random(1995)
    blocks = [block(rng, 1000 * 1000) for _ in range(4)]
    written, i, placed = 0, 0, False
    with open(path, "wb") as f:
        while written < size:
            if not placed and written >= size // 2:
                f.write(TARGET_LINE.encode())
                placed = True
            f.write(blocks[i % len(blocks)])
            written += len(blocks[i % len(blocks)])
            i += 1
    return os.path.getsize(path)


def wine_path(path):
    return "Z:" + path.replace("/", "\\")


def run_agent(folder, name):
    r = subprocess.run(["wine", BENCH, wine_path(folder), name, KEY, OLD, NEW], capture_output=True, text=True,
                       stdin=subprocess.DEVNULL, timeout=600)
    if r.returncode != 0:
        sys.exit("replacekey_bench failed: " + r.stdout + r.stderr)
    seconds, retval, peak = r.stdout.split()
    if int(retval) != 0:
        sys.exit("REPLACEKEY gave [RETVAL] %s" % retval)
    return float(seconds), int(peak)


def measure(megabytes, rounds):
    folder = os.path.join(WORK, "%dMB" % megabytes)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    original = os.path.join(folder, "ORIGINAL.INI")
    size = make(original, megabytes * 1000 * 1000)
    by_agent, by_sed = os.path.join(folder, "AGENT.INI"), os.path.join(folder, "SED.INI")
    agent_times, sed_times, peaks = [], [], []
    for _ in range(rounds):
        shutil.copyfile(original, by_agent)
        seconds, peak = run_agent(folder, "AGENT.INI")
        agent_times.append(seconds)
        peaks.append(peak)
        shutil.copyfile(original, by_sed)
        start = time.perf_counter()
        subprocess.run(SED + [by_sed], check=True)
        sed_times.append(time.perf_counter() - start)
    with open(by_agent, "rb") as a, open(by_sed, "rb") as s, open(original, "rb") as o:
        agent_bytes, sed_bytes = a.read(), s.read()
        if agent_bytes != sed_bytes:
            sys.exit("%d MB: the two results differ" % megabytes)
        if agent_bytes == o.read():
            sys.exit("%d MB: nothing was edited" % megabytes)
    shutil.rmtree(folder, ignore_errors=True)
    agent, sed = size / min(agent_times) / MB, size / min(sed_times) / MB
    print("%3d MB file (%d bytes), best of %d:" % (megabytes, size, rounds))
    print("  REPLACEKEY under Wine: %7.1f MB/s (%.3f s), peak memory %d KiB" % (agent, min(agent_times), max(peaks)))
    print("  sed -i:                %7.1f MB/s (%.3f s)" % (sed, min(sed_times)))
    print("  ratio: %.2f (goal: at least 0.8); results byte-identical" % (agent / sed))
    return max(peaks)


def main(rounds):
    peaks = [measure(mb, rounds) for mb in (10, 100)]
    print("peak memory 10 MB: %d KiB, 100 MB: %d KiB (must not grow with the file)" % tuple(peaks))


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 3)
