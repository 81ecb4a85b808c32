"""Texts at the longest the service sends, through whole runs, and the relaunch under
impersonation with long command lines."""
import os
import time
import unittest

from agentcase import ABORTED, AgentCase, document, package, target
from plxharness import read, wait_for

LOGIN_SERVERS = {"PackageServers": "SRV"}


def with_installed(doc, item, path, second=""):
    """doc with the installed-path answer of item on SRV replaced."""
    doc["installed"] = [r for r in doc["installed"] if r["Item"] != item] + [
        {"Server": "SRV", "Item": item, "Path": path, "Second": second}]
    return doc


class LongTextsTest(AgentCase):

    def test_longest_texts_through_a_whole_run(self):
        # Package path of 254 characters: the longest that fits its field and its variable.
        volume = "SYS:\\" + "D" * 228 + "\\PLIVEX"
        site, name, group = "S" * 255, "P" * 80, "G" * 210
        doc = document([package(1, name, InstallPath="C:\\PLXTEST\\" + "I" * 243)], [target(1, 5, group)])
        with_installed(doc, "KVR610", volume, "C" * 255)
        with_installed(doc, "SISITE", "X" * 255, site)
        with_installed(doc, "PLXONDEMAND", "SYS:\\" + "O" * 250)
        self.serve(doc, **{"User.ALICE": dict(LOGIN_SERVERS, Groups=group)})
        report = self.agent("/LOG", "/ONDEMAND=JOB7")
        text = report["text"]
        # The on-demand directory cannot fit: named, and the run goes on as an ordinary one
        # (no status files, the window left open).
        self.assertIn("\nERROR 0161: Unable to parse path: SYS:\\OOOOOOOOOO", text)
        self.assertIn("Looking for packages on server SRV, please wait...\n", text)
        self.assertIn('"%s"' % name, text)
        self.assertIn("No more packages scheduled.\n\n", text)
        self.assertNotIn(ABORTED, text)
        self.assertEqual(report["exit_code"], 0)
        self.assertEqual([f for _, _, files in os.walk(self.h.unc("SRV", "SYS")) for f in files if "JOB7" in f], [])
        self.assertEqual(len(self.svc.status(1)), 1)  # the outcome was stored
        # The log entry shows the fields beside the paths as they were: the site name cut to
        # its 63 characters (a label, not a path), server and login intact.
        log = read(os.path.join(self.public, "CORVSD.LOG")).decode()
        for line in ("Site Name   : %s\r\n" % site[:63], "Server Name : SRV\r\n", "Login Name  : ALICE\r\n",
                     "ERROR 0161: Unable to parse path: SYS:\\OOOO"):
            self.assertIn(line, log)

    def test_installed_path_that_cannot_fit_ends_the_run_cleanly(self):
        # 255 characters from the service (its longest); then 229 + 26: a package path of 255
        # characters, which fits its field but not the variable the scripts read it from.
        for volume in ("SYS:\\" + "D" * 250, "SYS:\\" + "D" * 229 + "\\PLIVEX"):
            with self.subTest(len(volume)):
                self.serve(with_installed(document([package(1)], [target(1, 6, "ALICE")]), "KVR610", volume))
                report = self.agent()
                self.assert_aborted_with(report, "\nERROR 0161: Unable to parse path: ")
                self.assertNotIn("Installing package", report["text"])
                self.assertEqual(self.svc.status(1), [])

    def test_relaunch_carries_the_whole_command_line_or_says_why(self):
        svc = self.h.service(document())
        px = self.h.proxy(svc.port)
        self.serve(document(), port=px.port)
        self.h.install(self.public, files=(), plx2tly={"Metering": {"Relaunch": "1"}})
        end_file = os.path.join(self.ondemand_dir, "JOB7.OD3")
        # About 460 characters with /IMP=: carried whole, so the relaunched agent sees the
        # /ONDEMAND= at its very end, runs, and never asks for another relaunch.
        self.agent(*(["/PAGE"] * 70 + ["/ONDEMAND=JOB7"]))
        wait_for(lambda: os.path.exists(end_file), "the relaunched agent's end file")
        self.assertEqual(read(os.path.join(self.ondemand_dir, "JOB7.OD2")), b"No packages scheduled for today!\r\n\r\n")
        time.sleep(3)  # room for a relaunch loop to show itself
        self.assertEqual(px.connections, 2)  # the first agent and the one relaunch
        # Over 511 characters: said in the results box, and the run goes on here.
        text = self.agent(*(["/PAGE"] * 90))["text"]
        self.assertIn("Initializing NT Impersonation...\n"
                      "The command line is too long to start the agent again (511 characters at most).\n"
                      "NT Impersonation is not available.\n", text)
        self.assertIn("No packages scheduled for today!\n\n", text)
        time.sleep(3)
        self.assertEqual(px.connections, 3)


if __name__ == "__main__":
    unittest.main()
