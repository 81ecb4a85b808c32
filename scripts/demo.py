"""The demo: dblinkd on an embedded SQLite database with sample data, the agent started from
\\\\SRV\\SYS\\PUBLIC\\PLXWIN32.EXE under Wine against it, its window captured as a PNG, the
results printed, and the administrator's console captured after the run. Run through
scripts/demo.sh, which builds everything and prepares Wine."""
import json
import os
import shutil
import sqlite3
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "harness"))
sys.path.insert(0, os.path.join(ROOT, "tests", "browser"))
os.environ.setdefault("PLX_BIN_DIR", os.path.join(ROOT, "build", "win64", "bin"))
os.environ.setdefault("PLX_DBLINKD", os.path.join(ROOT, "build", "host", "dblinkd", "dblinkd"))
QSC = os.path.join(ROOT, "build", "host", "tools", "qsc", "qsc")

import chromium  # noqa: E402
import plxharness  # noqa: E402


def console_screenshot(service, path):
    """Signs in to the console with the admin token and captures its overview."""
    why = chromium.available()
    if why:
        print("no console screenshot: Chromium " + why)
        return False
    browser = chromium.Chromium()
    try:
        d = browser.driver
        d.get("http://127.0.0.1:%d/console/signin" % service.admin_port)
        d.find_element("id", "token").send_keys(service.token)
        d.find_element("id", "signin-submit").click()
        if not d.find_elements("id", "overview"):
            print("no console screenshot: the overview did not open (%s)" % d.current_url)
            return False
        browser.screenshot(path)
        return True
    finally:
        browser.close()


def main():
    out_dir = os.path.join(ROOT, "demo-out")
    os.makedirs(out_dir, exist_ok=True)
    h = plxharness.Harness()
    try:
        service = h.service(json.load(open(os.path.join(ROOT, "samples", "demo.json"))))
        sys_dir = h.unc("SRV", "SYS")
        public = os.path.join(sys_dir, "PUBLIC")
        packages = os.path.join(sys_dir, "APPS", "PLIVEX", "PACKAGES")
        os.makedirs(packages, exist_ok=True)
        with open(os.path.join(packages, "HANDBOOK.TXT"), "w") as f:
            f.write("Welcome to the company.\n")
        shutil.copy(os.path.join(plxharness.BIN_DIR, "exitwith.exe"), os.path.join(packages, "SCANNER.EXE"))
        # The welcome package's quickscript, compiled from its text form as an administrator would.
        subprocess.run([QSC, os.path.join(ROOT, "samples", "scripts", "hello.qs"),
                        "-o", os.path.join(packages, "HELLO.QSC")], check=True)
        h.install(
            public,
            corvnet={"Network": {"NetNumber": "0000ABCD", "NodeAddress": "00A0C9123456"},
                     "Workstation": {"UserName": "ALICE"},
                     "User.ALICE": {"FullName": "Alice Example", "PackageServers": "SRV,SRV2",
                                    "Groups": "STAFF"}},
            dblinkr32={"Servers": {"SRV": "127.0.0.1:%d" % service.port,
                                   "SRV2": "127.0.0.1:%d" % service.port}})
        db = os.path.join(service.dir, "packages.db")
        print("dblinkd: requester on 127.0.0.1:%d, admin API on 127.0.0.1:%d, database %s"
              % (service.port, service.admin_port, db))
        print("agent:   \\\\SRV\\SYS\\PUBLIC\\PLXWIN32.EXE /LOG")
        shot = os.path.join(out_dir, "plxwin32.png")
        report = plxharness.run_agent(r"\\SRV\SYS\PUBLIC\PLXWIN32.EXE", ["/LOG"], timeout=120,
                                      answers=["Accept Package=yes"], screenshot=shot)
        print("\n--- results box " + "-" * 60)
        print(report["text"])
        print("-" * 76)
        print("node address: %s  server: %s  login: %s" % tuple(
            report.get("controls", {}).get(k, "") for k in ("202", "203", "204")))
        con = sqlite3.connect("file:%s?mode=ro" % db, uri=True)
        print("\nstatus rows in the package database (TargetKind 6 user, 8 machine):")
        for row in con.execute("SELECT p.Name, u.TargetKind, u.TargetName, u.Counterpart, u.PackageStatus "
                               "FROM package_users u JOIN packages p USING (ServerId, PackageId) "
                               "WHERE u.Scheduled = 0 ORDER BY u.RecordId"):
            print("  %-20s kind %d  %-14s %-14s status %d" % row)
        print("history:")
        for row in con.execute("SELECT h.Date, h.Time, p.Name, t.Text FROM history h "
                               "JOIN history_texts t ON t.TextId = h.TextId "
                               "JOIN packages p ON p.PackageId = h.PackageId ORDER BY h.rowid"):
            print("  %s %s  %-20s %s" % row)
        con.close()
        log = os.path.join(public, "CORVSD.LOG")
        if os.path.exists(log):
            shutil.copy(log, os.path.join(out_dir, "CORVSD.LOG"))
            print("log file: demo-out/CORVSD.LOG")
        print("screenshot: demo-out/plxwin32.png" if os.path.exists(shot) else "no screenshot taken")
        if console_screenshot(service, os.path.join(out_dir, "console.png")):
            print("console:    demo-out/console.png")
        return 0 if report.get("finished") else 1
    finally:
        h.close()


if __name__ == "__main__":
    sys.exit(main())
