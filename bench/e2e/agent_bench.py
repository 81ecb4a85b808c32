"""Agent over a large package table: 2,000 packages with 5 targeting rows each, none of them
for this user or workstation. One run of the real agent under Wine against dblinkd; prints
the wall time, the requester calls per package and the calls per second.

Run through scripts/bench-agent.sh (it builds and prepares Wine)."""
import os
import re
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
os.environ.setdefault("PLX_BIN_DIR", os.path.join(ROOT, "build", "win64", "bin"))
os.environ.setdefault("PLX_DBLINKD", os.path.join(ROOT, "build", "host", "dblinkd", "dblinkd"))

import plxenv  # noqa: E402

PACKAGES = 2000
ROWS_PER_PACKAGE = 5


def scenario():
    packages, users = [], []
    for pid in range(1, PACKAGES + 1):
        packages.append({"PackageId": pid, "ServerId": 1, "Name": "Package %d" % pid, "Status": "A",
                         "StartDate": "1990-01-01", "InstallPath": "C:\\BENCH\\P%d" % pid, "TargetOs": 7,
                         "Options": 1})
        # A site, two groups, another user and another machine: none of them this one.
        for kind, name in ((7, "BRANCH"), (5, "SALES"), (5, "PLANT"), (6, "BOB"), (8, "0000DEADBEEF")):
            users.append({"ServerId": 1, "PackageId": pid, "Scheduled": 1, "TargetKind": kind, "TargetName": name})
    return {"servers": [{"ServerId": 1, "ServerName": "SRV"}],
            "installed": [{"Server": "SRV", "Item": "KVR610", "Path": "SYS:\\APPS\\PLIVEX", "Second": ""},
                          {"Server": "SRV", "Item": "SISITE", "Path": "", "Second": "HQ"}],
            "packages": packages, "package_users": users}


def main():
    work = tempfile.mkdtemp(prefix="plx-bench-")
    service = plxenv.Dblinkd(work, scenario()).start()
    share = plxenv.Share(work)
    try:
        public = os.path.join(share.volume("SRV", "SYS"), "PUBLIC")
        plxenv.install_agent(public,
                             corvnet={"Network": {"NodeAddress": "00A0C9123456"},
                                      "Workstation": {"UserName": "ALICE"},
                                      "User.ALICE": {"PackageServers": "SRV", "Groups": "STAFF"}},
                             dblinkr32={"Servers": {"SRV": "127.0.0.1:%d" % service.port}})
        start = time.monotonic()
        report = plxenv.run_agent(r"\\SRV\SYS\PUBLIC\PLXWIN32.EXE", timeout=900)
        wall = time.monotonic() - start
    finally:
        service.stop()
        share.remove()
    text = open(os.path.join(service.dir, "dblinkd.log")).read()
    served = int(re.findall(r"stopped after (\d+) requester requests", text)[-1])
    results = report["controls"]["101"]
    assert "No packages scheduled for today!" in results, results
    print("packages: %d with %d targeting rows each, none for this workstation" % (PACKAGES, ROWS_PER_PACKAGE))
    print("agent run (window up to Close enabled, Wine start included): %.2f s" % (report["millis"] / 1000.0))
    print("whole run including closing: %.2f s" % wall)
    print("requester calls: %d, %.1f per package, %.0f per second of agent run"
          % (served, served / PACKAGES, served / (report["millis"] / 1000.0)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
