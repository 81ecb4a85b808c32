"""The package engine end to end: targeting, status rows, history, prompts, tasks, on-demand."""
import datetime
import json
import os
import shutil
import stat
import unittest

from agentcase import ID, NODE, SITE, AgentCase, document, machine_id, new_workstation, package, target, task
from plxharness import BIN_DIR, DRIVE_C, read

NOW = datetime.datetime.now()


def passed_with_minutes(now):
    """A time of today already past, whose minutes weigh: counted as 100 seconds each, they
    would put it 12 minutes or more after now (all day long but for 00:00-00:19)."""
    if now.minute >= 20 or now.hour == 0:
        return (now - datetime.timedelta(seconds=1)).strftime("%H:%M:%S")
    return "%02d:59:59" % (now.hour - 1)


EARLIER = passed_with_minutes(NOW)
EXITWITH = read(os.path.join(BIN_DIR, "exitwith.exe")) if BIN_DIR else b""
OS2_APP = bytearray(0x80 + 64)  # an NE header that names OS/2 as its system
OS2_APP[0:2], OS2_APP[24], OS2_APP[60], OS2_APP[0x80:0x82], OS2_APP[0x80 + 54] = b"MZ", 0x40, 0x80, b"NE", 1
INSTALLED = "Package installed successfully."
ACCEPT = "Accept Package: Do you want to install this package now?(Y/N) (%s) -> no"
DEPENDENT = ('ERROR %s: Unable to install package "Addon".  \nThis package is dependent on package:\n'
             '"Base" but you %s')
ON_SITE = [target(p, 7, SITE) for p in range(1, 9)]
OTHER = "ZZZZZZZZZZZZ"  # a workstation id after every id of the tests


def on_site(*packages, **doc):
    return document(packages, ON_SITE[:len(packages)], **doc)


def installed(*pids):
    return ['Installing package "Package %d"...' % p for p in pids]


# Each case: a document, files in the package folder, how often to run and with what, and
# what every run leaves: statuses (PackageStatus of each package's rows, per run), and after
# the last run: rows, text lines, absent lines, history, files under C:\.
CASES = {
    # First: its window is cut from the time the module started.
    "time window, target system, status and flags": dict(
        doc=on_site(package(1, Flags=0x0200, TimeFrom="00:00:00", TimeTo="23:59:59"),
                    package(2, Flags=0x0200, TimeFrom="00:00:00", TimeTo=EARLIER),
                    package(3, TargetOs=0), package(4, Status="a"), package(5, Flags=0x0800),
                    package(6, StartDate=(NOW + datetime.timedelta(days=1)).strftime("%Y-%m-%d")),
                    package(7, StartDate=NOW.strftime("%Y-%m-%d")), package(8, Flags=0x0002)),
        lines=installed(1, 7), absent=installed(3, 4, 5, 6, 8) + installed(2) * (EARLIER < NOW.strftime("%H:%M:%S"))),
    # Another workstation, whose id sorts after this one's, has finished the package.
    "site row gives a machine row and no user row": dict(
        doc=document([package(1)], [target(1, 7, SITE), target(1, 8, OTHER, Scheduled=0, PackageStatus=1,
                                                              Counterpart="BOB")]),
        rows={1: [(8, 1, OTHER, "BOB"), (8, 1, ID, "ALICE")]},
        lines=installed(1) + [INSTALLED, "No more packages scheduled."], history={1: [INSTALLED]}),
    "group and everyone": dict(
        doc=document([package(1), package(2), package(3)],
                     [target(1, 5, "STAFF"), target(2, 5, "PLX_EVERYONE"), target(3, 5, "ACCOUNTS")]),
        rows={1: [(6, 1, "ALICE", ID)], 2: [(8, 1, ID, "ALICE")], 3: []}),
    "user row holding the node address is tied to the machine": dict(
        doc=document([package(1)], [target(1, 6, "ALICE"),
                                    target(1, 6, "ALICE", Scheduled=0, Counterpart=NODE, PackageStatus=2)]),
        rows={1: [(6, 1, "ALICE", ID)]}),
    # Package 2 needs 1, done just before it; the next rows are Addon's own.
    "dependency not scheduled": dict(
        doc=document([package(1), package(2), package(3, "Base"), package(4, "Addon")],
                     [target(p, 7, SITE) for p in (1, 2, 4)], dependencies=[(2, 1), (4, 3)]),
        lines=installed(1, 2) + [DEPENDENT % ("0231", "are not scheduled to run that package.")],
        absent=['"Addon"...'], history={4: [DEPENDENT % ("0231", "are not scheduled to run that package.")]}),
    # Finished on this machine by another user: the user's row takes the machine's status.
    "finished on this machine for another user": dict(
        doc=document([package(1)], [target(1, 7, SITE), target(1, 6, "ALICE"),
                                    target(1, 8, ID, Scheduled=0, PackageStatus=1, Counterpart="BOB")]),
        absent=installed(1), rows={1: [(8, 1, ID, "BOB")]}, user_rows={1: [(6, 1, "ALICE", ID)]}),
    "dependency refused": dict(
        doc=on_site(package(1, "Base", Options=0), package(2, "Addon"), dependencies=[(2, 1)]),
        answers=["Accept Package=no"], rows={1: [(8, 2, ID, "ALICE")]},
        lines=[DEPENDENT % ("0230", "have not completed that package successfully yet.")]),
    "force date past or today": dict(
        doc=on_site(package(1, ForceDate="1995-06-01", Options=0x0002 | 0x0008),
                    package(2, ForceDate="1995-06-01", Options=0x0002),
                    package(3, ForceDate=NOW.strftime("%Y-%m-%d"), Options=0x0002 | 0x0008)),
        answers=["Accept Package=no"], answered=[], statuses={1: [[1]], 2: [[3]], 3: [[1]]}, history={2: ["User refused package permanently."]}),
    "refusal limit reached on the third no": dict(
        doc=document([package(1, "Office", Options=0x0004, MaxRefusals=3)], [target(1, 6, "ALICE")]), runs=3,
        answers=["Accept Package=no"],
        answered=[ACCEPT % "Office"], targeting=6, statuses={1: [[2], [2], [3]]}, fields=("RefusalCount",), rows={1: [(3,)]},
        history={1: ["User refused package.", "User refused package.", "User refused package permanently."]}),
    "repeating package is stored pending and offered again": dict(
        doc=on_site(package(1, Options=0x0200)), runs=2, statuses={1: [[0], [0]]}, history={1: [INSTALLED] * 2}),
    "failures retried until the limit": dict(
        doc=on_site(package(1, Options=0x0001 | 0x2000, MaxFailures=3), tasks=[task(1, 4, "MISSING.DAT")]),
        runs=3, statuses={1: [[5], [5], [4]]}, fields=("FailureCount",), rows={1: [(3,)]}),
    "package id of a missing package": dict(
        doc=on_site(package(1)), args=["/PKGID=99"], lines=["No packages scheduled for today!"], rows={1: []}),
    "package id runs that package alone": dict(
        doc=on_site(package(1), package(2), package(3)), args=["/PKGID=2"], lines=installed(2),
        absent=installed(1, 3)),
    "program task: the exit code decides": dict(
        doc=on_site(package(1), package(2), tasks=[task(1, 3, "SETUP1.EXE", TaskArgs="0", TaskFlags=1),
                                                   task(2, 3, "SETUP2.EXE", TaskArgs="3", TaskFlags=1)]),
        files={"SETUP1.EXE": EXITWITH, "SETUP2.EXE": EXITWITH}, statuses={1: [[1]], 2: [[4]]},
        lines=["ERROR 0153: Application SETUP2.EXE returned errorcode: 3"],
        history={1: [INSTALLED], 2: ["ERROR 0153: Application SETUP2.EXE returned errorcode: 3"]},
        # Both ran from their target with the task's arguments; the failed one's folder stays.
        after={"PLXTEST/P1/RAN.TXT": b"0", "PLXTEST/P2/RAN.TXT": b"3"}),
    "failed package keeps a target folder that existed": dict(
        doc=on_site(package(1), package(2), package(3, InstallPath=""),
                    tasks=[task(p, 4, "MISSING.DAT") for p in (1, 2)]),
        existing=["PLXTEST/P1"], statuses={1: [[4]], 2: [[4]], 3: [[4]]},
        lines=["Created target path.", "ERROR 0111: There is no drive letter specified in default path:"],
        after={"PLXTEST/P1": "folder", "PLXTEST/P2": None}),
    "copy task": dict(
        doc=on_site(package(1), tasks=[task(1, 4, "README.TXT")]), files={"README.TXT": b"hello\n"},
        after={"PLXTEST/P1/README.TXT": b"hello\n"}, history={1: [INSTALLED]}),
    "fileset and quickscript tasks fail in the open": dict(
        doc=on_site(package(1), package(2), tasks=[task(1, 1, "BASE.FST"), task(2, 2, "SETUP.QS")]),
        lines=["ERROR 0121: Unable to open Fileset: \\\\SRV\\SYS\\APPS\\PLIVEX\\PACKAGES\\BASE.FST",
               "ERROR 0205: Unable to locate script data file: "],
        # A script that cannot be found leaves [RETVAL] at 0: the package counts as done.
        statuses={1: [[4]], 2: [[1]]},
        history={2: ["ERROR 0205: Unable to locate script data file: \\\\SRV\\SYS\\APPS\\PLIVEX\\PACKAGES\\SETUP.QS!",
                     INSTALLED]}),
    "OS/2 program cannot run here": dict(
        doc=on_site(package(1), tasks=[task(1, 3, "OS2APP.EXE", TaskFlags=1)]), files={"OS2APP.EXE": bytes(OS2_APP)},
        lines=["ERROR 0148: Application OS2APP.EXE cannot be run in this operating system."], statuses={1: [[4]]}),
}


class PackageTest(AgentCase):

    def check_history_rows(self, pid, start):
        """Every history row names the user and server, and is stamped within the test."""
        for row in self.svc.history(pid):
            stamp = datetime.datetime.strptime(row["Date"] + row["Time"], "%Y%m%d%H%M%S")
            self.assertEqual((row["UserName"], row["ServerName"]), ("ALICE", "SRV"))
            self.assertLessEqual(start.replace(microsecond=0), stamp)
            self.assertLessEqual(stamp, datetime.datetime.now())

    def test_cases(self):
        chosen = os.environ.get("PLX_CASES")  # titles separated by |, to run only those rows
        for name in chosen.split("|") if chosen else CASES:
            case = CASES[name]
            with self.subTest(name):
                shutil.rmtree(os.path.join(DRIVE_C, "PLXTEST"), ignore_errors=True)
                new_workstation()
                start = datetime.datetime.now()
                self.serve(json.loads(json.dumps(case["doc"]).replace(ID, machine_id())))
                for folder in case.get("existing", ()):
                    os.makedirs(os.path.join(DRIVE_C, folder))
                for file, data in case.get("files", {}).items():
                    with open(os.path.join(self.packages_dir, file), "wb") as f:
                        f.write(data)
                for run in range(case.get("runs", 1)):
                    report = self.agent(*case.get("args", ()), answers=case.get("answers", ()))
                    self.assertTrue(report["finished"], report)
                    if "answered" in case:
                        self.assertEqual(report["answered"], case["answered"])
                    for pid, statuses in case.get("statuses", {}).items():
                        self.assertEqual([r[0] for r in self.rows(pid, ("PackageStatus",), case.get("targeting"))],
                                         statuses[run], run)
                for pid, rows in case.get("rows", {}).items():
                    fields = case.get("fields", ("TargetKind", "PackageStatus", "TargetName", "Counterpart"))
                    self.assertEqual(self.rows(pid, fields, case.get("targeting")), rows)
                for pid, rows in case.get("user_rows", {}).items():
                    self.assertEqual(self.rows(pid, targeting=6), rows)
                for line in case.get("lines", ()):
                    self.assertIn(line, report["text"])
                for line in case.get("absent", ()):
                    self.assertNotIn(line, report["text"])
                for pid, texts in case.get("history", {}).items():
                    self.assertEqual(self.history(pid), texts)
                    self.check_history_rows(pid, start)
                for path, content in case.get("after", {}).items():
                    path = os.path.join(DRIVE_C, path)
                    if content is None or content == "folder":
                        self.assertEqual(os.path.isdir(path), content == "folder", path)
                    else:
                        self.assertEqual(read(path), content, path)

    def test_completed_on_one_workstation_is_not_offered_on_another(self):
        self.serve(document([package(1), package(2, Options=0x0001 | 0x4000)],
                            [target(1, 6, "ALICE"), target(2, 6, "ALICE")]))
        self.agent()
        first = machine_id()
        new_workstation()
        text = self.agent()["text"]
        self.assertNotIn('"Package 1"', text)
        self.assertIn('Installing package "Package 2"...', text)
        # The user's rows, status rows and the targeting row that keeps the first machine's status.
        done = lambda pid: sorted(r["Counterpart"] for t in (False, True) for r in self.svc.status(pid, t)
                                  if (r["TargetKind"], r["PackageStatus"]) == (6, 1))
        self.assertEqual((done(1), done(2)), ([first], sorted([first, machine_id()])))

    def test_refused_package_is_never_asked_again(self):
        self.serve(on_site(package(1, "Office", Options=0x0004, MaxRefusals=1)))
        self.assertEqual(self.agent(answers=["Accept Package=no"])["answered"], [ACCEPT % "Office"])
        self.assertEqual(self.agent(answers=["Accept Package=no"])["answered"], [])
        self.assertEqual(self.rows(1, ("PackageStatus", "RefusalCount")), [(3, 1)])

    def test_service_lost_during_the_run_aborts_the_pass(self):
        self.serve(on_site(package(1), package(2), tasks=[task(1, 3, "SETUP1.EXE", TaskArgs="0 3000", TaskFlags=1)]))
        shutil.copy(os.path.join(BIN_DIR, "exitwith.exe"), os.path.join(self.packages_dir, "SETUP1.EXE"))
        # While the agent waits for the program, the service goes.
        self.h.on(lambda: os.path.exists(os.path.join(DRIVE_C, "PLXTEST", "P1", "RAN.TXT")), self.svc.kill)
        text = self.agent("/RETRIES=1", "/TIMEOUT=1")["text"]
        self.assertIn("\nDATABASE ERROR 10100: PKG.DBF: UNABLE TO INITIALIZE SERVER\n\n", text)
        self.assertTrue(text.endswith("\nProgram aborted.\n"), text)
        self.assertNotIn('"Package 2"', text)

    def test_on_demand_status_files(self):
        self.serve(on_site(package(1)))
        od2 = os.path.join(self.ondemand_dir, "JOB7.OD2")
        with open(od2, "w") as f:
            f.write("old")
        os.chmod(od2, stat.S_IREAD)  # Wine shows a file without write permission as read-only
        self.assertTrue(self.agent("/ONDEMAND=JOB7")["exited"])  # an on-demand run closes itself
        od = lambda ext: read(os.path.join(self.ondemand_dir, "JOB7." + ext))
        self.assertEqual((od("OD1"), od("OD2"), od("OD3")), (b"", b"No more packages scheduled.\r\n\r\n", b""))


if __name__ == "__main__":
    unittest.main()
