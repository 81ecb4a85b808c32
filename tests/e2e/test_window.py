"""What the user sees: output suppression, silent runs with a log, prompts, auto-exit."""
import os
import shutil
import unittest

from plxenv import (AgentTestCase, BIN_DIR, install_agent, results_text, run_agent,
                    run_agent_with_screenshot)
from test_packages import DRIVE_C, SITE, new_workstation, package, scenario, target

AGENT = r"\\SRV\SYS\PUBLIC\PLXWIN32.EXE"


class WindowTest(AgentTestCase):

    def setUp(self):
        super().setUp()
        shutil.rmtree(os.path.join(DRIVE_C, "PLXTEST"), ignore_errors=True)

    def tearDown(self):
        shutil.rmtree(os.path.join(DRIVE_C, "PLXTEST"), ignore_errors=True)
        super().tearDown()

    def serve(self, seed, servers=("SRV",)):
        self.db = self.start_dblinkd(seed)
        sys_dir = self.share.volume("SRV", "SYS")
        self.public = os.path.join(sys_dir, "PUBLIC")
        os.makedirs(os.path.join(sys_dir, "APPS", "PLIVEX", "PACKAGES"), exist_ok=True)
        install_agent(self.public,
                      corvnet={"Network": {"NetNumber": "0000ABCD", "NodeAddress": "00A0C9123456"},
                               "Workstation": {"UserName": "ALICE"},
                               "User.ALICE": {"PackageServers": ",".join(servers)}},
                      dblinkr32={"Servers": {s: "127.0.0.1:%d" % self.db.port for s in servers}})

    def test_window_controls_and_screenshot(self):
        self.serve(scenario([package(1)], [target(1, 7, SITE)]))
        png = os.path.join(os.path.dirname(BIN_DIR), "e2e-window.png")
        if os.path.exists(png):
            os.unlink(png)
        report = run_agent_with_screenshot(AGENT, png)
        c = report["controls"]
        self.assertEqual(report["caption"], "Orvik Distribution Agent")
        self.assertEqual(c["200"], "Orvik Distribution Agent 6.06")
        self.assertEqual((c["202"], c["203"], c["204"]), ("[0000ABCD:00A0C9123456]", "SRV", "ALICE"))
        self.assertIn('Installing package "Package 1"...', results_text(report))
        self.assertTrue(report["close_enabled"])
        self.assertEqual(report["exit_code"], 0)
        with open(png, "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
        print("screenshot:", png)

    def test_noshow_shows_only_the_start_line(self):
        self.serve(scenario([package(1)], [target(1, 7, SITE)]))
        report = run_agent(AGENT, ["/NOSHOW"])
        self.assertTrue(report["visible"])
        self.assertEqual(report["controls"]["101"], "PLXWIN32 Initializing...\r\n")
        self.assertEqual(report["controls"]["202"], "[0000ABCD:00A0C9123456]")
        self.assertEqual(report["controls"]["204"], "ALICE")

    def test_silent_run_logs_every_message_and_never_shows_a_window(self):
        # SRV2 is a package server of the user that no service knows: its pass aborts.
        self.serve(scenario([package(1)], [target(1, 7, SITE)]), servers=("SRV", "SRV2"))
        db = self.db
        report = run_agent(AGENT, ["/SILENT", "/LOG"], close=False)
        self.assertFalse(report["visible"])
        self.assertTrue(report["exited"])
        self.assertEqual(report["exit_code"], 0)
        self.assertEqual(db.sql("SELECT PackageStatus FROM package_users WHERE Scheduled=0"), [(1,)])
        log = open(os.path.join(self.public, "CORVSD.LOG"), "rb").read().decode()
        self.assertTrue(log.endswith("\r\n\r\n"))
        self.assertNotIn("\n", log.replace("\r\n", ""))  # every line end is CR LF
        entries = log.split("=" * 57 + "\r\n")
        # Two separators per entry: '', then header/body pairs.
        self.assertEqual(len(entries), 3, log)
        head, body = entries[1], entries[2]
        self.assertRegex(head, r"^Orvik 6\.06 Log entry Date: \d{1,2}/\d{1,2}/\d{4} Time: \d{1,2}:\d\d:\d\d[ap]\r\n$")
        self.assertEqual(body, "Node Address: [0000ABCD:00A0C9123456]\r\n"
                               "Site Name   : HQ\r\n"
                               "Server Name : SRV2\r\n"
                               "Login Name  : ALICE\r\n"
                               "Package Name: Package 1\r\n"
                               "\r\nLog Entry:\r\n"
                               "DATABASE ERROR 10100: SRV2: UNABLE TO INITIALIZE SERVER\r\n\r\n")

    def test_install_path_prompt_ok_and_cancel(self):
        self.serve(scenario([package(1, Options=0x0001 | 0x0010), package(2, Options=0x0001 | 0x0010)],
                            [target(1, 7, SITE), target(2, 7, SITE)]))
        report = run_agent(AGENT, answers=["Override Install Path=yes"],
                           prompts=["Enter Install Path=C:\\PLXTEST\\CHOSEN"])
        self.assertEqual(len(report["answered"]), 4, report["answered"])
        self.assertTrue(report["answered"][1].startswith("Enter Install Path: New path: -> C:"), report["answered"])
        text = results_text(report)
        self.assertIn("Target path: C:\\PLXTEST\\CHOSEN", text)
        self.assertNotIn("Target path: C:\\PLXTEST\\P1", text)

        report = run_agent(AGENT, answers=["Override Install Path=yes"], prompts=["Enter Install Path=cancel"])
        # Both packages are done by now on this machine; a new workstation id offers them again.
        self.assertNotIn("Installing package", results_text(report))
        new_workstation()
        report = run_agent(AGENT, answers=["Override Install Path=yes"], prompts=["Enter Install Path=cancel"])
        text = results_text(report)
        self.assertIn("Target path: C:\\PLXTEST\\P1", text)
        self.assertIn("Target path: C:\\PLXTEST\\P2", text)

    def test_autoexit_closes_the_window_after_five_seconds(self):
        self.serve(scenario([], []))
        report = run_agent(AGENT, ["/AUTOEXIT"], close=False, await_exit=True, timeout=30)
        self.assertTrue(report["finished"])
        self.assertTrue(report["exited"])  # nobody pressed Close
        self.assertEqual(report["exit_code"], 0)


if __name__ == "__main__":
    unittest.main()
