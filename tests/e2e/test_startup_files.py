"""The boot drive's AUTOEXEC.BAT edited by the real agent: a package that asks for Windows on
the start-up path, the Windows directory put in front of the PATH setting by a package
script, and a journalled package whose failure puts the file back byte for byte."""
import os
import unittest

from agentcase import SITE, AgentCase, document, package, target, task
from plxharness import DRIVE_C, read

AUTOEXEC = os.path.join(DRIVE_C, "autoexec.bat")
NO_ASK, WINDOWS_IN_PATH, JOURNAL = 0x0001, 0x0100, 0x8000

BEFORE = b"@ECHO OFF\r\nREM PATH=C:\\OLD\r\nSET PATH=C:\\DOS;C:\\UTIL\r\n\r\nLH MOUSE\r\n"
AFTER = b"@ECHO OFF\r\nREM PATH=C:\\OLD\r\nSET PATH=C:\\WINDOWS;C:\\DOS;C:\\UTIL\r\n\r\nLH MOUSE\r\n"

# What the agent does for a package that puts Windows on the start-up path, as a script.
ADD_WINDOWS = r"""SETSYSFILE [BOOT_ROOT], "autoexec.bat"
ADDPATH "path", [WINDIR], NULL, BEFORE
"""

# Edits the file, then fails: the journal must bring the file back.
EDIT_THEN_FAIL = r"""SETSYSFILE [BOOT_ROOT], "AUTOEXEC.BAT"
ADDPATH "PATH", "c:\apps", "C:\UTIL", AFTER
REPLACEKEY "mouse", "mouse", "MOUSE /Y"
ADDLINE "lh share", "", AFTER
Abort 1
"""


def autoexec_bytes():
    """The file under whatever case the agent left its name in."""
    for name in os.listdir(DRIVE_C):
        if name.lower() == "autoexec.bat":
            return read(os.path.join(DRIVE_C, name))
    return None


class StartupFileTest(AgentCase):

    def setUp(self):
        super().setUp()
        for name in ("autoexec.bat", "AUTOEXEC.BAT", "PLXUNDO.CFG", "PLXUNDO.SAV"):
            self.h.guard(os.path.join(DRIVE_C, name))
        with open(AUTOEXEC, "wb") as f:
            f.write(BEFORE)

    def test_windows_goes_in_front_of_the_path_and_a_failed_package_puts_the_file_back(self):
        packages = [package(1, Options=NO_ASK | WINDOWS_IN_PATH | JOURNAL),
                    package(2, Options=NO_ASK | JOURNAL)]
        self.serve(document(packages, [target(p["PackageId"], 7, SITE) for p in packages],
                            tasks=[task(1, 2, "ADDWIN.QSC"), task(2, 2, "FAIL.QSC")]))
        self.put_script("ADDWIN.QSC", ADD_WINDOWS)
        self.put_script("FAIL.QSC", EDIT_THEN_FAIL)
        report = self.agent()
        self.assertTrue(report["finished"], report)
        # Windows is known on this workstation: the package asks nothing about it.
        self.assertNotIn("Windows Path", report["text"])
        self.assertEqual(self.rows(1, ("PackageStatus",)), [(1,)])
        self.assertEqual(self.rows(2, ("PackageStatus",)), [(4,)])
        self.assertEqual(autoexec_bytes(), AFTER)
        # Both journals are gone: committed, then rolled back.
        self.assertFalse(os.path.exists(os.path.join(DRIVE_C, "PLXUNDO.CFG")))
        self.assertEqual([n for n in os.listdir(DRIVE_C) if n.startswith("$")], [])


if __name__ == "__main__":
    unittest.main()
