"""What the user sees: the window, output suppression, silent runs with a log, prompts, auto-exit."""
import os
import unittest

from agentcase import SITE, AgentCase, document, new_workstation, package, target
from plxharness import BIN_DIR, read

ONE = document([package(1)], [target(1, 7, SITE)])
NODE_FIELD = "[0000ABCD:00A0C9123456]"


class WindowTest(AgentCase):

    def test_window_controls_and_screenshot(self):
        self.serve(ONE)
        png = os.path.join(os.path.dirname(BIN_DIR), "e2e-window.png")
        if os.path.exists(png):
            os.unlink(png)
        report = self.agent(screenshot=png)
        c = report["controls"]
        self.assertEqual((report["caption"], c["200"]), ("Orvik Distribution Agent", "Orvik Distribution Agent 6.06"))
        self.assertEqual((c["202"], c["203"], c["204"]), (NODE_FIELD, "SRV", "ALICE"))
        self.assertIn('Installing package "Package 1"...', report["text"])
        self.assertEqual((report["close_enabled"], report["exit_code"]), (True, 0))
        self.assertEqual(read(png)[:8], b"\x89PNG\r\n\x1a\n")
        print("screenshot:", png)

    def test_noshow_shows_only_the_start_line(self):
        self.serve(ONE)
        report = self.agent("/NOSHOW")
        self.assertTrue(report["visible"])
        c = report["controls"]
        self.assertEqual((c["101"], c["202"], c["204"]), ("PLXWIN32 Initializing...\r\n", NODE_FIELD, "ALICE"))

    def test_silent_run_logs_every_message_and_never_shows_a_window(self):
        # SRV2 is a package server of the user that no service knows: its pass aborts.
        self.serve(ONE, servers=("SRV", "SRV2"))
        report = self.agent("/SILENT", "/LOG", close=False)
        self.assertEqual((report["visible"], report["exited"], report["exit_code"]), (False, True, 0))
        self.assertEqual([r["PackageStatus"] for r in self.svc.status(1)], [1])
        log = read(os.path.join(self.public, "CORVSD.LOG")).decode()
        self.assertNotIn("\n", log.replace("\r\n", ""))  # every line end is CR LF
        empty, head, body = log.split("=" * 57 + "\r\n")  # a separator before header and body
        self.assertEqual(empty, "")
        self.assertRegex(head, r"^Orvik 6\.06 Log entry Date: \d{1,2}/\d{1,2}/\d{4} Time: \d{1,2}:\d\d:\d\d[ap]\r\n$")
        self.assertEqual(body, "Node Address: %s\r\nSite Name   : HQ\r\nServer Name : SRV2\r\nLogin Name  : ALICE\r\n"
                               "Package Name: Package 1\r\n\r\nLog Entry:\r\n"
                               "DATABASE ERROR 10100: SRV2: UNABLE TO INITIALIZE SERVER\r\n\r\n" % NODE_FIELD)

    def test_install_path_prompt_ok_and_cancel(self):
        self.serve(document([package(p, Options=0x0001 | 0x0010) for p in (1, 2)], [target(p, 7, SITE) for p in (1, 2)]))
        ask = dict(answers=["Override Install Path=yes"])
        report = self.agent(prompts=["Enter Install Path=C:\\PLXTEST\\CHOSEN"], **ask)
        self.assertEqual(len(report["answered"]), 4, report["answered"])
        self.assertTrue(report["answered"][1].startswith("Enter Install Path: New path: -> C:"), report["answered"])
        self.assertIn("Target path: C:\\PLXTEST\\CHOSEN", report["text"])
        self.assertNotIn("Target path: C:\\PLXTEST\\P1", report["text"])
        # Both are done on this machine now; another one is offered them, and cancels the prompt.
        self.assertNotIn("Installing package", self.agent(prompts=["Enter Install Path=cancel"], **ask)["text"])
        new_workstation()
        text = self.agent(prompts=["Enter Install Path=cancel"], **ask)["text"]
        self.assertIn("Target path: C:\\PLXTEST\\P1", text)
        self.assertIn("Target path: C:\\PLXTEST\\P2", text)

    def test_autoexit_closes_the_window_by_itself(self):
        self.serve(document())
        report = self.agent("/AUTOEXIT", close=False, await_exit=True, timeout=60)
        self.assertEqual((report["finished"], report["exited"], report["exit_code"]), (True, True, 0))


if __name__ == "__main__":
    unittest.main()
