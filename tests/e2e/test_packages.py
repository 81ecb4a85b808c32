"""The package engine end to end: targeting, status rows, history, prompts, tasks, on-demand."""
import datetime
import os
import shutil
import stat
import threading
import time
import unittest

from plxenv import AgentTestCase, BIN_DIR, WINEPREFIX, install_agent, results_text, run_agent

AGENT = r"\\SRV\SYS\PUBLIC\PLXWIN32.EXE"
NODE = "00A0C9123456"
SITE = "HQ"
DRIVE_C = os.path.join(WINEPREFIX, "drive_c")
ID_FILE = os.path.join(DRIVE_C, "equip.id")


def package(pid, name=None, **fields):
    p = {"PackageId": pid, "ServerId": 1, "Name": name or "Package %d" % pid, "Status": "A",
         "StartDate": "1990-01-01", "InstallPath": "C:\\PLXTEST\\P%d" % pid, "TargetOs": 7,
         "Options": 0x0001}
    p.update(fields)
    return p


def target(pid, kind, name, **fields):
    row = {"ServerId": 1, "PackageId": pid, "Scheduled": 1, "TargetKind": kind, "TargetName": name}
    row.update(fields)
    return row


def scenario(packages, users=(), dependencies=(), tasks=()):
    return {"servers": [{"ServerId": 1, "ServerName": "SRV"}],
            "installed": [{"Server": "SRV", "Item": "KVR610", "Path": "SYS:\\APPS\\PLIVEX", "Second": "PLIVEX.CFG"},
                          {"Server": "SRV", "Item": "SISITE", "Path": "", "Second": SITE},
                          {"Server": "SRV", "Item": "PLXONDEMAND", "Path": "SYS:\\APPS\\ONDEMAND", "Second": ""}],
            "packages": list(packages), "package_users": list(users),
            "dependencies": list(dependencies), "tasks": list(tasks)}


def machine_id():
    with open(ID_FILE, "rb") as f:
        return f.read(12).decode()


_workstations = [0]


def new_workstation():
    """The next run is on another machine: an id file with an id never used before (a
    generated one could repeat, being drawn from the clock's second)."""
    if os.path.exists(ID_FILE):
        os.chmod(ID_FILE, stat.S_IWRITE | stat.S_IREAD)
        os.unlink(ID_FILE)
    _workstations[0] += 1
    with open(ID_FILE, "wb") as f:
        f.write(("E2E%05d%04X" % (os.getpid() % 100000, _workstations[0])).encode()[:12].ljust(24, b"\0"))


class PackageTest(AgentTestCase):

    def setUp(self):
        super().setUp()
        shutil.rmtree(os.path.join(DRIVE_C, "PLXTEST"), ignore_errors=True)
        shutil.rmtree(os.path.join(DRIVE_C, "plxtest"), ignore_errors=True)
        new_workstation()

    def tearDown(self):
        shutil.rmtree(os.path.join(DRIVE_C, "PLXTEST"), ignore_errors=True)
        super().tearDown()

    def serve(self, seed, groups="STAFF"):
        self.db = self.start_dblinkd(seed)
        sys_dir = self.share.volume("SRV", "SYS")
        self.public = os.path.join(sys_dir, "PUBLIC")
        self.packages_dir = os.path.join(sys_dir, "APPS", "PLIVEX", "PACKAGES")
        self.ondemand_dir = os.path.join(sys_dir, "APPS", "ONDEMAND")
        os.makedirs(self.packages_dir, exist_ok=True)
        os.makedirs(self.ondemand_dir, exist_ok=True)
        install_agent(self.public,
                      corvnet={"Network": {"NodeAddress": NODE},
                               "Workstation": {"UserName": "ALICE"},
                               "User.ALICE": {"PackageServers": "SRV", "Groups": groups}},
                      dblinkr32={"Servers": {"SRV": "127.0.0.1:%d" % self.db.port}})

    def run_ok(self, *args, **kw):
        report = run_agent(AGENT, list(args), **kw)
        self.assertTrue(report.get("finished") or report.get("exited"), report)
        self.assertEqual(report["exit_code"], 0, report)
        return report

    def rows(self, pid, kind=None):
        q = ("SELECT TargetKind, Scheduled, PackageStatus, TargetName, Counterpart, RefusalCount, FailureCount "
             "FROM package_users WHERE PackageId=%d AND Scheduled=0" % pid)
        if kind:
            q += " AND TargetKind=%d" % kind
        return self.db.sql(q + " ORDER BY RecordId")

    def history(self, pid):
        return self.db.sql("SELECT h.Date, h.Time, h.UserName, h.ServerName, t.Text FROM history h "
                           "JOIN history_texts t ON t.TextId = h.TextId WHERE h.PackageId=%d ORDER BY h.rowid" % pid)

    # --- targeting ---------------------------------------------------------------------------

    def test_site_row_gives_a_machine_row_and_no_user_row(self):
        self.serve(scenario([package(1)], [target(1, 7, SITE)]))
        report = self.run_ok()
        text = results_text(report)
        self.assertIn('Installing package "Package 1"...', text)
        self.assertIn("Package installed successfully.", text)
        self.assertIn("No more packages scheduled.", text)
        rows = self.rows(1)
        self.assertEqual(len(rows), 1, rows)
        kind, _, status, name, counterpart, _, _ = rows[0]
        self.assertEqual((kind, status, name, counterpart), (8, 1, machine_id(), "ALICE"))

    def test_group_and_everyone(self):
        self.serve(scenario([package(1), package(2), package(3)],
                            [target(1, 5, "STAFF"), target(2, 5, "PLX_EVERYONE"), target(3, 5, "ACCOUNTS")]))
        self.run_ok()
        self.assertEqual([(r[0], r[2], r[4]) for r in self.rows(1)], [(6, 1, machine_id())])
        self.assertEqual([(r[0], r[2]) for r in self.rows(2)], [(8, 1)])
        self.assertEqual(self.rows(3), [])  # a group the user is not in

    def test_completed_on_one_workstation_is_not_offered_on_another(self):
        self.serve(scenario([package(1), package(2, Options=0x0001 | 0x4000)],
                            [target(1, 6, "ALICE"), target(2, 6, "ALICE")]))
        self.run_ok()
        first = machine_id()
        new_workstation()
        report = self.run_ok()
        second = machine_id()
        self.assertNotEqual(first, second)
        text = results_text(report)
        self.assertNotIn('"Package 1"', text)
        self.assertIn('Installing package "Package 2"...', text)
        counterparts = lambda pid: sorted(r[4] for r in self.db.sql(
            "SELECT 0,0,0,0,Counterpart FROM package_users WHERE PackageId=%d AND TargetKind=6 AND PackageStatus=1" % pid))
        self.assertEqual(counterparts(1), [first])
        self.assertEqual(counterparts(2), sorted([first, second]))

    def test_user_row_holding_the_node_address_is_tied_to_the_machine(self):
        self.serve(scenario([package(1)], [target(1, 6, "ALICE"),
                                           target(1, 6, "ALICE", Scheduled=0, Counterpart=NODE, PackageStatus=2)]))
        self.run_ok()
        self.assertIn((6, 0, 1, "ALICE", machine_id(), 0, 0), self.rows(1))
        self.assertEqual(self.db.sql("SELECT COUNT(*) FROM package_users WHERE Counterpart='%s'" % NODE), [(0,)])

    def test_dependencies(self):
        self.serve(scenario([package(1, "Base"), package(2, "Addon")], [target(2, 7, SITE)],
                            dependencies=[{"RequiredServerId": 1, "PackageId": 2, "RequiredPackageId": 1}]))
        report = self.run_ok()
        text = results_text(report)
        self.assertIn('ERROR 0231: Unable to install package "Addon".  \nThis package is dependent on package:\n'
                      '"Base" but you are not scheduled to run that package.', text)
        self.assertNotIn('Installing package "Addon"', text)
        self.assertIn("ERROR 0231", " ".join(r[4] for r in self.history(2)))

    def test_dependency_on_a_refused_package_gives_230(self):
        self.serve(scenario([package(1, "Base", Options=0), package(2, "Addon")],
                            [target(1, 7, SITE), target(2, 7, SITE)],
                            dependencies=[{"RequiredServerId": 1, "PackageId": 2, "RequiredPackageId": 1}]))
        report = self.run_ok(answers=["Accept Package=no"])
        text = results_text(report)
        self.assertEqual([(r[0], r[2]) for r in self.rows(1)], [(8, 2)])
        self.assertIn('ERROR 0230: Unable to install package "Addon".  \nThis package is dependent on package:\n'
                      '"Base" but you have not completed that package successfully yet.', text)

    # --- force options and prompts ------------------------------------------------------------

    def test_force_date_past(self):
        past = "1995-06-01"
        self.serve(scenario([package(1, ForceDate=past, Options=0x0002 | 0x0008),
                             package(2, ForceDate=past, Options=0x0002)],
                            [target(1, 7, SITE), target(2, 7, SITE)]))
        report = self.run_ok()
        self.assertEqual(report["answered"], [])  # nothing was asked
        self.assertEqual([r[2] for r in self.rows(1)], [1])
        self.assertEqual([r[2] for r in self.rows(2)], [3])
        self.assertEqual([h[4] for h in self.history(2)], ["User refused package permanently."])

    def test_refusal_limit_reached_on_the_third_no(self):
        self.serve(scenario([package(1, "Office", Options=0x0004, MaxRefusals=3)], [target(1, 7, SITE)]))
        statuses = []
        for _ in range(3):
            report = self.run_ok(answers=["Accept Package=no"])
            self.assertEqual(report["answered"],
                             ["Accept Package: Do you want to install this package now?(Y/N) (Office) -> no"])
            statuses.append(self.rows(1)[0][2])
        self.assertEqual(statuses, [2, 2, 3])
        self.assertEqual(self.rows(1)[0][5], 3)  # three refusals counted
        self.assertEqual([h[4] for h in self.history(1)],
                         ["User refused package.", "User refused package.", "User refused package permanently."])
        report = self.run_ok(answers=["Accept Package=no"])
        self.assertEqual(report["answered"], [])  # never asked again

    def test_time_window_and_target_os_and_flags(self):
        now = datetime.datetime.now()
        earlier = (now - datetime.timedelta(minutes=10)).strftime("%H:%M:%S")
        self.serve(scenario([package(1, Flags=0x0200, TimeFrom="00:00:00", TimeTo="23:59:59"),
                             package(2, Flags=0x0200, TimeFrom="00:00:00", TimeTo=earlier),
                             package(3, TargetOs=0),
                             package(4, Status="a"),
                             package(5, Flags=0x0800),
                             package(6, StartDate=(now + datetime.timedelta(days=1)).strftime("%Y-%m-%d")),
                             package(7, StartDate=now.strftime("%Y-%m-%d"))],
                            [target(p, 7, SITE) for p in range(1, 8)]))
        report = self.run_ok()
        text = results_text(report)
        taken = [p for p in range(1, 8) if 'Installing package "Package %d"' % p in text]
        self.assertEqual(taken, [1, 7] if now.strftime("%H:%M:%S") >= "00:10:00" else [1, 2, 7])

    def test_repeating_package_is_stored_pending_and_offered_again(self):
        self.serve(scenario([package(1, Options=0x0200)], [target(1, 7, SITE)]))
        self.run_ok()
        self.assertEqual([r[2] for r in self.rows(1)], [0])
        self.run_ok()
        self.assertEqual([h[4] for h in self.history(1)], ["Package installed successfully."] * 2)

    def test_pkgid_of_a_missing_package(self):
        self.serve(scenario([package(1)], [target(1, 7, SITE)]))
        report = self.run_ok("/PKGID=99")
        self.assertIn("No packages scheduled for today!", results_text(report))
        self.assertEqual(self.rows(1), [])

    # --- tasks ------------------------------------------------------------------------------

    @staticmethod
    def program_task(pid, code):
        """A task that copies SETUP<pid>.EXE (the test program) and waits for its exit code."""
        return {"ServerId": 1, "PackageId": pid, "TaskType": 3, "TaskName": "SETUP%d.EXE" % pid,
                "TaskArgs": str(code), "TaskFlags": 1}

    def test_program_task_runs_and_its_exit_code_decides(self):
        self.serve(scenario([package(1), package(2)], [target(1, 7, SITE), target(2, 7, SITE)],
                            tasks=[self.program_task(1, 0), self.program_task(2, 3)]))
        for pid in (1, 2):
            shutil.copy(os.path.join(BIN_DIR, "exitwith.exe"), os.path.join(self.packages_dir, "SETUP%d.EXE" % pid))
        report = self.run_ok()
        text = results_text(report)
        self.assertTrue(os.path.exists(os.path.join(DRIVE_C, "PLXTEST", "P1", "RAN.TXT")))
        self.assertIn("ERROR 0153: Application SETUP2.EXE returned errorcode: 3", text)
        self.assertEqual([r[2] for r in self.rows(1)], [1])
        self.assertEqual([r[2] for r in self.rows(2)], [4])
        self.assertIn("ERROR 0153: Application SETUP2.EXE returned errorcode: 3", [h[4] for h in self.history(2)])
        # Both programs were copied to their target and ran with the task's arguments; the failed
        # package's folder holds files now, so it stays.
        self.assertEqual(open(os.path.join(DRIVE_C, "PLXTEST", "P1", "RAN.TXT")).read(), "0")
        self.assertEqual(open(os.path.join(DRIVE_C, "PLXTEST", "P2", "RAN.TXT")).read(), "3")

    def test_service_lost_during_the_run_aborts_the_pass(self):
        self.serve(scenario([package(1), package(2)], [target(1, 7, SITE), target(2, 7, SITE)],
                            tasks=[self.program_task(1, "0 3000")]))
        shutil.copy(os.path.join(BIN_DIR, "exitwith.exe"), os.path.join(self.packages_dir, "SETUP1.EXE"))
        ran = os.path.join(DRIVE_C, "PLXTEST", "P1", "RAN.TXT")

        def pull_the_plug():
            deadline = time.time() + 60
            while not os.path.exists(ran) and time.time() < deadline:
                time.sleep(0.05)
            self.db.proc.kill()  # while the agent waits for the program

        killer = threading.Thread(target=pull_the_plug)
        killer.start()
        report = self.run_ok("/RETRIES=1", "/TIMEOUT=1")
        killer.join()
        text = results_text(report)
        self.assertIn("\nDATABASE ERROR 10100: PKG.DBF: UNABLE TO INITIALIZE SERVER\n\n", text)
        self.assertTrue(text.endswith("\nProgram aborted.\n"), text)
        self.assertNotIn('"Package 2"', text)

    def test_failures_retried_until_the_limit(self):
        self.serve(scenario([package(1, Options=0x0001 | 0x2000, MaxFailures=3)], [target(1, 7, SITE)],
                            tasks=[{"ServerId": 1, "PackageId": 1, "TaskType": 4, "TaskName": "MISSING.DAT"}]))
        statuses = []
        for _ in range(3):
            self.run_ok()
            statuses.append(self.rows(1)[0][2])
        self.assertEqual(statuses, [5, 5, 4])
        self.assertEqual(self.rows(1)[0][6], 3)

    def test_failed_package_keeps_a_target_folder_that_existed(self):
        existing = os.path.join(DRIVE_C, "PLXTEST", "P1")
        os.makedirs(existing)
        self.serve(scenario([package(1), package(2)], [target(1, 7, SITE), target(2, 7, SITE)],
                            tasks=[{"ServerId": 1, "PackageId": p, "TaskType": 4, "TaskName": "MISSING.DAT"}
                                   for p in (1, 2)]))
        report = self.run_ok()
        self.assertIn("Created target path.", results_text(report))
        self.assertTrue(os.path.isdir(existing))
        self.assertFalse(os.path.exists(os.path.join(DRIVE_C, "PLXTEST", "P2")))
        self.assertEqual([r[2] for r in self.rows(1)] + [r[2] for r in self.rows(2)], [4, 4])

    def test_copy_task_and_history_format(self):
        with open(os.path.join(self.work, "x"), "w"):
            pass
        self.serve(scenario([package(1)], [target(1, 7, SITE)],
                            tasks=[{"ServerId": 1, "PackageId": 1, "TaskType": 4, "TaskName": "README.TXT"}]))
        with open(os.path.join(self.packages_dir, "README.TXT"), "w") as f:
            f.write("hello\n")
        before = datetime.datetime.now()
        self.run_ok()
        self.assertEqual(open(os.path.join(DRIVE_C, "PLXTEST", "P1", "README.TXT")).read(), "hello\n")
        (date, time_, user, server, text), = self.history(1)
        stamp = datetime.datetime.strptime(date + time_, "%Y%m%d%H%M%S")
        self.assertLess(abs((stamp - before).total_seconds()), 120)
        self.assertEqual((user, server, text), ("ALICE", "SRV", "Package installed successfully."))

    def test_fileset_and_quickscript_tasks_fail_in_the_open(self):
        self.serve(scenario([package(1), package(2)], [target(1, 7, SITE), target(2, 7, SITE)],
                            tasks=[{"ServerId": 1, "PackageId": 1, "TaskType": 1, "TaskName": "BASE.FST"},
                                   {"ServerId": 1, "PackageId": 2, "TaskType": 2, "TaskName": "SETUP.QS"}]))
        report = self.run_ok()
        text = results_text(report)
        self.assertIn("ERROR 0203: Function decompressFileset is not implemented yet.", text)
        self.assertIn("ERROR 0203: Function RunScript is not implemented yet.", text)
        self.assertNotIn("Package installed successfully.", text)
        self.assertEqual([r[2] for r in self.rows(1)] + [r[2] for r in self.rows(2)], [4, 4])

    def test_os2_program_cannot_run_here(self):
        header = bytearray(0x80 + 64)
        header[0:2] = b"MZ"
        header[24] = 0x40
        header[60] = 0x80
        header[0x80:0x82] = b"NE"
        header[0x80 + 54] = 1  # OS/2
        self.serve(scenario([package(1)], [target(1, 7, SITE)],
                            tasks=[{"ServerId": 1, "PackageId": 1, "TaskType": 3, "TaskName": "OS2APP.EXE",
                                    "TaskFlags": 1}]))
        with open(os.path.join(self.packages_dir, "OS2APP.EXE"), "wb") as f:
            f.write(bytes(header))
        report = self.run_ok()
        self.assertIn("ERROR 0148: Application OS2APP.EXE cannot be run in this operating system.",
                      results_text(report))
        self.assertEqual([r[2] for r in self.rows(1)], [4])

    # --- on demand ---------------------------------------------------------------------------

    def test_on_demand_status_files(self):
        self.serve(scenario([package(1)], [target(1, 7, SITE)]))
        od2 = os.path.join(self.ondemand_dir, "JOB7.OD2")
        with open(od2, "w") as f:
            f.write("old")
        os.chmod(od2, stat.S_IREAD)
        # Wine maps a Unix file without write permission to the read-only attribute.
        report = run_agent(AGENT, ["/ONDEMAND=JOB7"])
        self.assertTrue(report["exited"])  # an on-demand run closes its window itself
        self.assertEqual(open(os.path.join(self.ondemand_dir, "JOB7.OD1"), "rb").read(), b"")
        self.assertEqual(open(os.path.join(self.ondemand_dir, "JOB7.OD3"), "rb").read(), b"")
        self.assertEqual(open(od2, "rb").read(), b"No more packages scheduled.\r\n\r\n")


if __name__ == "__main__":
    unittest.main()
