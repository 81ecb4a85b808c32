"""Packages installed under the undo journal through the real package loop: a failed one is
rolled back, a completed one commits, and an agent killed at any instant of an install
leaves a journal that the next run rolls back exactly."""
import os
import signal
import subprocess
import time
import zipfile

from agentcase import AGENT, AgentCase, document, new_workstation, package, target, task
from plxharness import BIN_DIR, DRIVE_C, read, wait_for

JOURNAL = os.path.join(DRIVE_C, "PLXUNDO.CFG")
SAVE_DIR = os.path.join(DRIVE_C, "PLXUNDO.SAV")
JOURNALLED = 0x0001 | 0x8000  # no question asked; changes journalled
RO, HIDDEN = 0x01, 0x02


def dos_attributes(path):
    """Read-only, hidden and system as Wine keeps them: the write bit and an extended
    attribute."""
    bits = 0 if os.stat(path).st_mode & 0o200 else RO
    try:
        bits |= int(os.getxattr(path, "user.DOSATTRIB").decode().strip("\0") or "0", 16) & 0x06
    except OSError:
        pass
    return bits


def put(path, data, attributes=0):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if os.path.exists(path):
        os.chmod(path, 0o644)
    with open(path, "wb") as f:
        f.write(data)
    if attributes & 0x06:
        os.setxattr(path, "user.DOSATTRIB", b"0x%x" % (attributes & 0x06))
    if attributes & RO:
        os.chmod(path, 0o444)


def snapshot(root):
    """Every file under root: relative name -> (bytes, attributes)."""
    files = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            files[os.path.relpath(path, root)] = (read(path), dos_attributes(path))
    return files


def fileset(path, members):
    """A fileset is a ZIP archive; each member's DOS attributes in its external attributes."""
    with zipfile.ZipFile(path, "w") as z:
        for name, (data, attributes) in members.items():
            info = zipfile.ZipInfo(name.replace("\\", "/"), date_time=(2020, 2, 3, 4, 5, 6))
            info.create_system, info.external_attr, info.compress_type = 0, attributes, zipfile.ZIP_DEFLATED
            z.writestr(info, data)


class UndoCase(AgentCase):

    def setUp(self):
        super().setUp()
        for path in (JOURNAL, SAVE_DIR):
            self.h.guard(path)

    def serve_package(self, packages, tasks, members):
        self.serve(document(packages, [target(p["PackageId"], 7, "HQ") for p in packages], tasks=tasks))
        fileset(os.path.join(self.packages_dir, "APP.ZIP"), members)

    def assert_no_journal(self):
        self.assertFalse(os.path.exists(JOURNAL))
        self.assertFalse(os.path.exists(SAVE_DIR))


class RollbackAndCommitTest(UndoCase):
    TARGET = os.path.join(DRIVE_C, "PLXTEST", "P1")
    BEFORE = {"KEEP.TXT": (b"keep\r\n", 0), "OVER.TXT": (b"old over\r\n", RO | HIDDEN),
              os.path.join("SUB", "OVER2.TXT"): (b"old sub\r\n", HIDDEN)}
    MEMBERS = {"OVER.TXT": (b"new over", 0), "SUB\\OVER2.TXT": (b"new sub", RO), "NEW.TXT": (b"new", 0),
               "NEWDIR\\N.TXT": (b"in a new folder", HIDDEN)}

    def test_failed_package_rolls_back_and_completed_one_commits(self):
        exitwith = read(os.path.join(BIN_DIR, "exitwith.exe"))
        installed = {k: v for k, v in self.BEFORE.items() if k != os.path.join("SUB", "OVER2.TXT")}
        installed.update({name.replace("\\", os.sep): v for name, v in self.MEMBERS.items()})
        for exit_code, status, after in ((3, 4, self.BEFORE), (0, 1, installed)):
            with self.subTest(exit_code=exit_code):
                new_workstation()
                for name, (data, attributes) in self.BEFORE.items():
                    put(os.path.join(self.TARGET, name), data, attributes)
                self.serve_package([package(1, Options=JOURNALLED)],
                                   [task(1, 1, "APP.ZIP"), task(1, 3, "SETUP.EXE", TaskArgs=str(exit_code), TaskFlags=1)],
                                   self.MEMBERS)
                with open(os.path.join(self.packages_dir, "SETUP.EXE"), "wb") as f:
                    f.write(exitwith)
                text = self.agent()["text"]
                files = snapshot(self.TARGET)
                # The program task is not journalled: its copy and what it writes stay.
                self.assertEqual(files.pop("RAN.TXT")[0], str(exit_code).encode())
                self.assertEqual(files.pop("SETUP.EXE"), (exitwith, 0))
                self.assertEqual(files, after)
                self.assert_no_journal()
                self.assertEqual(self.rows(1, ("PackageStatus",)), [(status,)])
                self.assertEqual("Package installed successfully." in text, status == 1, text)
                self.svc.stop()


class KilledInstallTest(UndoCase):
    """A fileset of 200 files over existing ones, the agent killed at 50 instants of the
    install and of the rollback it ends with (its last task fails), placed by the number of
    files in the save directory; each time the next run's package that fails at its target
    path rolls the leftover journal back."""
    FILES, KILLS = 200, 50
    TARGET = os.path.join(DRIVE_C, "PLXTEST", "P2")

    def start_agent(self, pid):
        return subprocess.Popen(["wine", AGENT, "/PKGID=%d" % pid, "/SILENT"], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def test_killed_at_any_instant(self):
        before = {}
        for i in range(self.FILES):
            name = os.path.join("D%d" % (i % 4), "F%03d.DAT" % i)
            before[name] = (bytes([i % 251]) * (500 + 37 * i), (RO, HIDDEN, RO | HIDDEN, 0)[i % 4])
            put(os.path.join(self.TARGET, name), *before[name])
        members = {name.replace(os.sep, "\\"): (b"new %d " % i * 40, (i * 7) % 3)
                   for i, name in enumerate(sorted(before))}
        # Package 1 fails at its target path before its journal opens: it rolls back
        # whatever an interrupted run left. Package 2 installs, then fails on a program
        # the server does not have.
        self.serve_package([package(1, Options=JOURNALLED, InstallPath=""), package(2, Options=JOURNALLED)],
                           [task(2, 1, "APP.ZIP"), task(2, 3, "MISSING.EXE", TaskFlags=1)], members)

        def saved():
            try:
                return len(os.listdir(SAVE_DIR))
            except OSError:
                return 0

        def install(kill_at):
            """Runs package 2 and kills it once kill_at(count of saved files, most seen) holds;
            says whether the journal was still there then."""
            new_workstation()
            agent = self.start_agent(2)
            try:
                most = 0
                while agent.poll() is None:
                    count = saved()
                    most = max(most, count)
                    if kill_at(count, most):
                        landed = os.path.exists(JOURNAL)
                        agent.send_signal(signal.SIGKILL)
                        agent.wait(60)
                        return landed
                    time.sleep(0.0005)
                return False
            finally:
                if agent.poll() is None:
                    agent.kill()
                    agent.wait()

        def install_landing(kill_at, tries=3):
            """install(kill_at) until its kill lands: an instant near the end of the rollback
            lasts a few milliseconds, and on a busy machine the run may finish before the
            watcher sees it. A missed instant leaves a finished run, tidied by the next."""
            for _ in range(tries):
                if install(kill_at):
                    return True
                self.assertTrue(recover())
            return False

        def recover():
            """The next run; whether everything is back as before, journal gone."""
            new_workstation()
            text = self.agent("/PKGID=1")["text"]
            self.assertIn('Installing package "Package 1"', text)
            temps = [n for n in os.listdir(DRIVE_C) if n.startswith("$")]
            return (snapshot(self.TARGET) == before and not os.path.exists(JOURNAL) and not os.path.exists(SAVE_DIR)
                    and not temps)

        # Half the instants while files are moved aside and written, half while the rollback
        # the failed program task brings moves them back.
        step = 2 * self.FILES // self.KILLS
        instants = [lambda count, most, j=j: count >= j for j in range(step // 2, self.FILES, step)]
        instants += [lambda count, most, j=j: most == self.FILES and count <= self.FILES - j
                     for j in range(step // 2, self.FILES, step)]
        self.assertFalse(install(lambda count, most: False))  # a whole run, rolled back by itself
        self.assertTrue(recover())
        restored = 0
        for k, kill_at in enumerate(instants):
            with self.subTest(kill=k):
                self.assertTrue(install_landing(kill_at))
                self.assertTrue(os.path.exists(JOURNAL))
                restored += recover()
                self.assertEqual(snapshot(self.TARGET), before)
        print("killed install: %d/%d kills rolled back exactly" % (restored, len(instants)))
        self.assertEqual(restored, self.KILLS)


if __name__ == "__main__":
    import unittest
    unittest.main()
