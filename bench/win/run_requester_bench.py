#!/usr/bin/env python3
"""Runs requester_bench.exe under Wine against a dblinkd on loopback.

    scripts/wine-env.sh build/win64 bench/win/run_requester_bench.py \\
        [--bin build/win64/bin] [--dblinkd build/host/dblinkd/dblinkd] [--reads 20000]

Starts dblinkd with a temporary database seeded from the requester tests' scenario, lays
out the program with Dblinkr32.dll and DBLINKR32.INI in a temporary folder, runs it and
prints its figures. Fails when a read costs a millisecond or more on average: the agent
makes thousands of them in a run.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "requester"))
from run_requester_tests import Service  # noqa: E402  (the same service handling as the tests)

LIMIT_US = 1000.0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", default=os.path.join(ROOT, "build", "win64", "bin"))
    ap.add_argument("--dblinkd", default=os.path.join(ROOT, "build", "host", "dblinkd", "dblinkd"))
    ap.add_argument("--scenario", default=os.path.join(ROOT, "tests", "requester", "scenario.json"))
    ap.add_argument("--reads", type=int, default=20000)
    args = ap.parse_args()
    if not os.environ.get("WINEPREFIX") or not os.environ.get("DISPLAY"):
        print("run it through scripts/wine-env.sh", file=sys.stderr)
        return 2
    import json
    with open(args.scenario) as f:
        scenario = json.load(f)

    work = tempfile.mkdtemp(prefix="plx-bench-")
    service = None
    try:
        for name in ("requester_bench.exe", "Dblinkr32.dll"):
            shutil.copy(os.path.join(args.bin, name), os.path.join(work, name))
        service = Service(args.dblinkd, work, "BENCH", scenario)
        service.start()
        with open(os.path.join(work, "DBLINKR32.INI"), "w", newline="\r\n") as f:
            f.write("[Servers]\nSRV=127.0.0.1:%d\n" % service.port)
        r = subprocess.run(["wine", os.path.join(work, "requester_bench.exe"), "SRV", str(args.reads)],
                           cwd=work, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=600)
        sys.stdout.write(r.stdout)
        sys.stderr.write(r.stderr)
        if r.returncode != 0:
            return r.returncode
        m = re.search(r"RESULT reads=\d+ mean_us=([\d.]+)", r.stdout)
        if not m:
            print("no result line", file=sys.stderr)
            return 1
        if float(m.group(1)) >= LIMIT_US:
            print("a read costs %s us on average: over %d us" % (m.group(1), LIMIT_US), file=sys.stderr)
            return 1
        return 0
    finally:
        if service:
            service.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
