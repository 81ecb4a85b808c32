"""The package engine when the service goes away mid-run, and target paths at their edges."""
import os
import shutil

from agentcase import ID, AgentCase, document, machine_id, new_workstation, package, target, task
from plxharness import DRIVE_C, read, write_ini

SITE_ROWS = [target(p, 7, "HQ") for p in (1, 2)]
# Base installs; Addon needs Base (done in the same run) and package 3, which nobody has:
# whatever is lost on the way, Addon must never be installed.
RUN = document([package(1, "Base"), package(2, "Addon")], SITE_ROWS, dependencies=[(2, 1), (2, 3)],
               tasks=[task(1, 4, "BASE.TXT"), task(2, 4, "ADDON.TXT")])
USERS_TABLE, WRITE_CLASSES = 303, (101, 103)  # package users; insert, rewrite
LOST_ROW = "PUD.DBF: UNABLE TO INITIALIZE SERVER"


class LinkLostTest(AgentCase):

    def run_cut(self, cut_at, refuse):
        """One run with the link cut at request cut_at; the report, the proxy and Base's rows."""
        shutil.rmtree(os.path.join(DRIVE_C, "PLXTEST"), ignore_errors=True)
        new_workstation()
        svc = self.serve(RUN)
        px = self.h.proxy(svc.port, cut_at=cut_at, refuse=refuse)
        write_ini(os.path.join(self.public, "DBLINKR32.INI"), {"Servers": {"SRV": "127.0.0.1:%d" % px.port}})
        for name in ("BASE.TXT", "ADDON.TXT"):
            with open(os.path.join(self.packages_dir, name), "wb") as f:
                f.write(name.encode())
        report = self.agent("/RETRIES=1", "/TIMEOUT=1")
        self.assertTrue(report["finished"], report)
        px.close()
        return report, px

    def test_link_cut_at_every_request(self):
        report, px = self.run_cut(None, True)
        log, text = list(px.log), report["text"]
        self.assertIn('Installing package "Base"', text)
        self.assertEqual(self.rows(1, ("TargetKind", "PackageStatus")), [(8, 1)])
        self.assertEqual(read(os.path.join(DRIVE_C, "PLXTEST", "P1", "BASE.TXT")), b"BASE.TXT")
        self.assertNotIn("DATABASE ERROR", text)
        writes = [n for n, (_, table, cls) in enumerate(log, 1) if table == USERS_TABLE and cls in WRITE_CLASSES]
        self.assertTrue(writes)
        # Every request with the service gone from then on; at the writes also a lost link
        # that comes back (a read would be sent again, a write must not).
        for cut_at, refuse in [(n, True) for n in range(1, len(log) + 1)] + [(n, False) for n in writes]:
            with self.subTest(cut_at=cut_at, refuse=refuse, request=log[cut_at - 1]):
                report, px = self.run_cut(cut_at, refuse)
                text = report["text"]
                self.assertTrue(px.cut)
                self.assertNotIn('Installing package "Addon"', text)
                self.assertFalse(os.path.exists(os.path.join(DRIVE_C, "PLXTEST", "P2", "ADDON.TXT")))
                # Base's outcome is either stored or reported as lost.
                if "Package installed successfully." in text and self.rows(1, ("PackageStatus",)) != [(1,)]:
                    self.assertIn(LOST_ROW, text)
                if cut_at in writes:
                    self.assertIn(LOST_ROW, text)
                self.svc.stop()


class TargetPathTest(AgentCase):

    def test_server_volume_path_on_a_mapped_drive(self):
        self.serve(document([package(1, InstallPath="SRV/SYS:\\APPS\\P1"), package(2, InstallPath="SRV/DATA:\\P2")],
                            [target(p, 7, "HQ") for p in (1, 2)], tasks=[task(1, 4, "README.TXT")]),
                   Drives={"R": r"\\SRV\SYS"})
        with open(os.path.join(self.packages_dir, "README.TXT"), "wb") as f:
            f.write(b"hello\n")
        sys_dir = os.path.dirname(self.public)
        self.h.drives({"r": ("network", sys_dir)})
        text = self.agent()["text"]
        self.assertIn("Target path: R:\\APPS\\P1\n", text)
        self.assertEqual(read(os.path.join(sys_dir, "APPS", "P1", "README.TXT")), b"hello\n")
        self.assertIn("Unable to parse path: SRV/DATA:\\P2.", text)  # a share mapped to no drive
        self.assertEqual((self.rows(1, ("PackageStatus",)), self.rows(2, ("PackageStatus",))), ([(1,)], [(4,)]))

    def test_a_name_that_does_not_fit_the_target_is_an_error(self):
        # A 253-character install path: the longest the package record holds.
        folder = "C:\\PLXTEST\\" + "\\".join(["D" * 59] * 4)
        folder += "\\" + "E" * (253 - len(folder) - 1)
        self.assertEqual(len(folder), 253)
        self.serve(document([package(1, InstallPath=folder), package(2, InstallPath=folder)],
                            [target(p, 7, "HQ") for p in (1, 2)],
                            tasks=[task(1, 4, "DATA.TXT"), task(2, 3, "OK.EXE", TaskFlags=1)]))
        for name in ("DATA.TXT", "OK.EXE"):
            with open(os.path.join(self.packages_dir, name), "wb") as f:
                f.write(b"x")
        text = self.agent()["text"]
        for name in ("DATA.TXT", "OK.EXE"):
            self.assertIn("ERROR 0155: DOS error 206 copying application %s to target directory." % name, text)
        self.assertNotIn("Package installed successfully.", text)
        self.assertEqual((self.rows(1, ("PackageStatus",)), self.rows(2, ("PackageStatus",))), ([(4,)], [(4,)]))
        linux = os.path.join(DRIVE_C, *folder[3:].split("\\"))
        self.assertEqual(os.listdir(linux) if os.path.isdir(linux) else [], [])


if __name__ == "__main__":
    import unittest
    unittest.main()
