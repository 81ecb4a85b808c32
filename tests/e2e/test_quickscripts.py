"""Quickscripts end to end: written in the text form, compiled with qsc, run by the agent as a
package task and on their own with /QS=, judged by the database rows and history."""
import os
import unittest

from agentcase import SITE, AgentCase, document, package, target, task
from plxharness import BIN_DIR, read

INSTALLED = "Package installed successfully."


def on_site_document(*packages, **doc):
    return document(packages, [target(p["PackageId"], 7, SITE) for p in packages], **doc)

SETUP = r"""; defines, runs the package's program, branches on its exit code, writes history
DEFINE "[PROG]", S
DEFINE "[CODE]", I
STRCOPY [PROG], [PACKAGEPATH]
APPENDPATH [PROG], "EXITWITH.EXE"
ShellWait [PROG], "3", NONE
IF [RETVAL], =, 3
  WriteLog "setup: the program ended with 3"
ELSE
  WriteLog "setup: the program ended otherwise"
ENDIF
"""

FAILING = r"""DEFINE "[A]", S
STRCOPY [A], "x"
WRITELN [A]
STRCOPY [NOSUCH], "y"
WRITELN "never"
"""

ALONE = r"""DEFINE "[WHERE]", S
STRCOPY [WHERE], "hello from "
STRCAT [WHERE], [PACKAGEPATH]
WRITELN [WHERE]
EXIT 0
"""


class QuickscriptTest(AgentCase):

    def test_package_script_runs_a_program_and_writes_history(self):
        self.serve(on_site_document(package(1), package(2), tasks=[task(1, 2, "SETUP.QSC"), task(2, 2, "FAIL.QSC")]))
        self.put_script("SETUP.QSC", SETUP)
        self.put_script("FAIL.QSC", FAILING)
        with open(os.path.join(self.packages_dir, "EXITWITH.EXE"), "wb") as f:
            f.write(read(os.path.join(BIN_DIR, "exitwith.exe")))
        report = self.agent()
        self.assertTrue(report["finished"], report)
        text = report["text"]
        self.assertIn("waiting for termination of \\\\SRV\\SYS\\APPS\\PLIVEX\\PACKAGES\\EXITWITH.EXE", text)
        self.assertEqual(self.rows(1, ("PackageStatus",)), [(1,)])
        self.assertEqual(self.history(1), ["setup: the program ended with 3", INSTALLED])
        # The failing script stops at line 4; the message names the line after it.
        self.assertEqual(self.rows(2, ("PackageStatus",)), [(4,)])
        failed = "ERROR 0206: The script FAIL.QSC failed on line 5."
        self.assertIn("ERROR 0208: Variable not defined in function: STRCOPY.", self.history(2))
        self.assertIn(failed, self.history(2))
        self.assertNotIn(INSTALLED, self.history(2))
        self.assertIn(failed, text)
        self.assertNotIn("never", text)

    def test_quickscript_alone_from_the_server(self):
        self.serve(on_site_document(package(1)))
        self.put_script("ALONE.QSC", ALONE)
        report = self.agent("/QS=ALONE.QSC")
        self.assertTrue(report["finished"], report)
        text = report["text"]
        self.assertIn("hello from \\\\SRV\\SYS\\APPS\\PLIVEX\\PACKAGES\n", text)
        self.assertIn("The script completed successfully.", text)
        for absent in ('Installing package "Package 1"', "No packages scheduled", "No more packages"):
            self.assertNotIn(absent, text)
        self.assertEqual(self.rows(1, ("PackageStatus",)), [])


if __name__ == "__main__":
    unittest.main()
