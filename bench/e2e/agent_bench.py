"""Agent over a large package table: 2,000 packages with 5 targeting rows each, none of them
for this user or workstation. One run of the real agent under Wine against dblinkd; prints
the frames the requester sent per package, the run's wall time and the calls per second.

    agent_bench.py [--mixed] [--record DIR] [--packages N] [--cold-desktop]

--mixed targets every 20th package at this workstation's site, so that the run also installs
and writes status rows. --record DIR runs the agent with /LOG and keeps what the run shows
and leaves (results box, log file, the rows it wrote) in DIR, so that two builds can be
compared file by file. PLX_BIN_DIR and PLX_DBLINKD choose the builds.

The Wine desktop is kept up during the run (by a Notepad beside it), as a workstation's is
while someone is logged on; otherwise every run would also time Wine starting and closing its
desktop (about a second here). --cold-desktop leaves that out and times it too.

Run through scripts/bench-agent.sh (it builds and prepares Wine)."""
import argparse
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "harness"))
os.environ.setdefault("PLX_BIN_DIR", os.path.join(ROOT, "build", "win64", "bin"))
os.environ.setdefault("PLX_DBLINKD", os.path.join(ROOT, "build", "host", "dblinkd", "dblinkd"))

import plxharness  # noqa: E402

PACKAGES = 2000
ROWS_PER_PACKAGE = 5
MIXED_EVERY = 20
FRAMES_GOAL = 8.0
WALL_GOAL_S = 3.0
DESKTOP_START_S = 2.0  # before the timed run


def scenario(mixed):
    packages, users = [], []
    for pid in range(1, PACKAGES + 1):
        packages.append({"PackageId": pid, "ServerId": 1, "Name": "Package %d" % pid, "Status": "A",
                         "StartDate": "1990-01-01", "InstallPath": "C:\\BENCH\\P%d" % pid, "TargetOs": 7,
                         "Options": 1})
        # A site, two groups, another user and another machine: none of them this one.
        site = "HQ" if mixed and pid % MIXED_EVERY == 0 else "BRANCH"
        for kind, name in ((7, site), (5, "SALES"), (5, "PLANT"), (6, "BOB"), (8, "0000DEADBEEF")):
            users.append({"ServerId": 1, "PackageId": pid, "Scheduled": 1, "TargetKind": kind, "TargetName": name})
    return {"servers": [{"ServerId": 1, "ServerName": "SRV"}],
            "installed": [{"Server": "SRV", "Item": "KVR610", "Path": "SYS:\\APPS\\PLIVEX", "Second": ""},
                          {"Server": "SRV", "Item": "SISITE", "Path": "", "Second": "HQ"}],
            "packages": packages, "package_users": users}


def sql(service, query):
    con = sqlite3.connect(os.path.join(service.dir, "packages.db"))
    try:
        return con.execute(query).fetchall()
    finally:
        con.close()


def record(out, report, public, service):
    """What the run showed and left, without what differs from run to run by nature (the
    times, the generated machine id)."""
    os.makedirs(out, exist_ok=True)
    machine = sql(service, "SELECT TargetName FROM package_users WHERE Scheduled=0 AND TargetKind=8 LIMIT 1")
    machine = machine[0][0] if machine else None

    def plain(text):
        text = re.sub(r"\d{1,2}[:/.-]\d{2}[:/.-]\d{2,4}", "<time>", text)
        text = re.sub(r"'(19|20)\d{6}', '\d{6}'", "<date>, <time>", text)  # history rows
        text = re.sub(r"Disk space : \d+", "Disk space : <n>", text)
        return text.replace(machine, "<machine>") if machine else text

    with open(os.path.join(out, "results.txt"), "w") as f:
        f.write(plain(report["text"]))
    log = os.path.join(public, "CORVSD.LOG")
    with open(os.path.join(out, "CORVSD.LOG"), "w") as f:
        f.write(plain(open(log, errors="replace").read()) if os.path.exists(log) else "(no log file)\n")
    with open(os.path.join(out, "rows.txt"), "w") as f:
        for table in ("package_users", "history", "history_texts"):
            for row in sql(service, "SELECT * FROM %s ORDER BY rowid" % table):
                f.write(plain("%s %r\n" % (table, row)))


def main():
    global PACKAGES
    ap = argparse.ArgumentParser()
    ap.add_argument("--mixed", action="store_true")
    ap.add_argument("--record", metavar="DIR")
    ap.add_argument("--packages", type=int, default=PACKAGES)
    ap.add_argument("--cold-desktop", action="store_true")
    args = ap.parse_args()
    PACKAGES = args.packages

    # Target folders of an earlier run would change what the run shows.
    shutil.rmtree(os.path.join(os.environ["WINEPREFIX"], "drive_c", "BENCH"), ignore_errors=True)
    h = plxharness.Harness()
    desktop = None
    try:
        if not args.cold_desktop:
            desktop = subprocess.Popen(["wine", "notepad.exe"], **plxharness.QUIET)
            time.sleep(DESKTOP_START_S)
        service = h.service(scenario(args.mixed))
        public = os.path.join(h.unc("SRV", "SYS"), "PUBLIC")
        h.install(public,
                  corvnet={"Network": {"NodeAddress": "00A0C9123456"},
                           "Workstation": {"UserName": "ALICE"},
                           "User.ALICE": {"PackageServers": "SRV", "Groups": "STAFF"}},
                  dblinkr32={"Servers": {"SRV": "127.0.0.1:%d" % service.port}})
        start = time.monotonic()
        report = plxharness.run_agent(r"\\SRV\SYS\PUBLIC\PLXWIN32.EXE", args=["/LOG"] if args.record else [],
                                      timeout=900)
        wall = time.monotonic() - start
        if args.record:
            record(args.record, report, public, service)
        service.stop()
        text = open(os.path.join(service.dir, "dblinkd.log")).read()
    finally:
        if desktop:
            desktop.terminate()
            desktop.wait()
        h.close()
    frames = int(re.findall(r"stopped after (\d+) requester requests", text)[-1])
    results = report["controls"]["101"]
    if not args.mixed:
        assert "No packages scheduled for today!" in results, results
    per_package = frames / PACKAGES
    print("packages: %d with %d targeting rows each, %s" % (
        PACKAGES, ROWS_PER_PACKAGE,
        "every %dth for this workstation's site" % MIXED_EVERY if args.mixed else "none for this workstation"))
    print("agent run (window up to Close enabled, Wine start included): %.2f s" % (report["millis"] / 1000.0))
    print("run wall time, including closing: %.2f s (goal: under %.0f s), desktop %s" % (
        wall, WALL_GOAL_S, "started and closed by the run" if args.cold_desktop else "already up"))
    print("frames on the wire: %d, %.2f per package (goal: at most %.0f)" % (frames, per_package, FRAMES_GOAL))
    print("frames per second of agent run: %.0f" % (frames / (report["millis"] / 1000.0)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
