"""A package whose quickscript changes the workstation: a registry key with its values, a
program group with an item, and a scheduled program. The agent records the package as
installed, and each change is then looked for from outside the agent."""
import glob
import os
import shutil
import signal
import subprocess

from agentcase import SITE, AgentCase, document, package, target, task
from plxharness import BIN_DIR, DRIVE_C, QUIET, read, wait_for, wine

INSTALLED = "Package installed successfully."
KEY = r"HKEY_CURRENT_USER\Software\PlxWorkstationTest"
# Wine's shell keeps Program Manager groups as folders of the user's Start Menu.
GROUPS = os.path.join(DRIVE_C, "users", "*", "AppData", "Roaming", "Microsoft", "Windows", "Start Menu", "Programs")

SCRIPT = r"""; the registry, a group in the Start Menu, then a program started without waiting
RegCreateKey HKEY_CURRENT_USER, "Software\PlxWorkstationTest\Made\Deeper"
RegSetStrValue hkey_current_user, "Software\PlxWorkstationTest", "Installed", "yes"
RegSetIntValue HKEY_CURRENT_USER, "Software\PlxWorkstationTest", "Build", 42
ADDGROUP "PlxStation"
ADDITEM "PlxStation", "Station Notes", "C:\windows\notepad.exe"
SCHEDULEWIN "C:\PLXTEST\SCHED\", "\EXITWITH.EXE", "0 500"
WriteLog "workstation changed"
"""


def processes():
    """pid -> command line of this user's processes (Wine shows Windows command lines)."""
    found = {}
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                found[int(entry)] = f.read().replace(b"\0", b" ").decode(errors="replace").strip()
        except (ValueError, OSError):
            pass
    return found


def stdout_of(pid):
    try:
        return os.readlink("/proc/%d/fd/1" % pid)
    except OSError:
        return None


def reg_values(key):
    """name -> (type, text) of the values of key as `reg query` lists them; None when the key
    does not exist."""
    r = wine(["reg", "query", key])
    if r.returncode != 0:
        return None
    values = {}
    for line in r.stdout.splitlines():
        parts = line.strip().split(None, 2)
        if len(parts) >= 2 and parts[1].startswith("REG_"):
            values[parts[0]] = (parts[1], parts[2] if len(parts) == 3 else "")
    return values


class WorkstationScriptTest(AgentCase):

    def setUp(self):
        super().setUp()
        wine(["reg", "delete", KEY, "/f"])
        self.addCleanup(wine, ["reg", "delete", KEY, "/f"])
        self.remove_group()
        self.addCleanup(self.remove_group)
        self.quiet_desktop()

    def quiet_desktop(self):
        """Showing a group opens a folder window, a process of the shell's own that inherits
        the stdio of the desktop's first program. A window of ours, with stdio on /dev/null,
        starts the desktop first, so that the agent's probe is never held open by the shell."""
        holder = subprocess.Popen(["wine", "notepad.exe"], **QUIET)
        self.addCleanup(holder.wait)
        self.addCleanup(self.end, [holder.pid])
        self.addCleanup(lambda: self.end(self.shell_windows()))
        wait_for(lambda: any("explorer.exe /desktop" in a and stdout_of(pid) == os.devnull
                             for pid, a in processes().items()), "a desktop with stdio on /dev/null", 60)

    @staticmethod
    def shell_windows():
        """The folder windows the shell opened for the group."""
        return [pid for pid, args in processes().items() if args.startswith("C:\\windows\\system32\\explorer.exe")
                and args.endswith("\\PlxStation")]

    @staticmethod
    def end(pids):
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    @staticmethod
    def group_folders():
        return glob.glob(os.path.join(GROUPS, "PlxStation"))

    def remove_group(self):
        for folder in self.group_folders():
            shutil.rmtree(folder)

    def test_script_changes_the_workstation(self):
        self.serve(document([package(1)], [target(1, 7, SITE)], tasks=[task(1, 2, "STATION.QSC")]))
        self.put_script("STATION.QSC", SCRIPT)
        # A program on the workstation's own drive (started from a share, it cannot name its
        # own folder under Wine).
        local = os.path.join(DRIVE_C, "PLXTEST", "SCHED")
        os.makedirs(local)
        shutil.copy(os.path.join(BIN_DIR, "exitwith.exe"), os.path.join(local, "EXITWITH.EXE"))
        ran = os.path.join(local, "RAN.TXT")
        report = self.agent()
        self.assertTrue(report["finished"], report)
        self.assertEqual(self.rows(1, ("PackageStatus",)), [(1,)])
        self.assertEqual(self.history(1), ["workstation changed", INSTALLED])
        # The registry, as another program sees it.
        self.assertEqual(reg_values(KEY), {"Installed": ("REG_SZ", "yes"), "Build": ("REG_DWORD", "0x2a")})
        self.assertEqual(reg_values(KEY + r"\Made\Deeper"), {})
        # The group and its item, as links in the Start Menu.
        self.assertEqual(len(self.group_folders()), 1, glob.glob(GROUPS))
        group = self.group_folders()[0]
        self.assertEqual(os.listdir(group), ["Station Notes.lnk"])
        self.assertIn(b"notepad.exe", read(os.path.join(group, "Station Notes.lnk")).lower())
        # The program was started with its arguments, one blank apart.
        wait_for(lambda: os.path.exists(ran) and os.path.getsize(ran) > 0, "the scheduled program's file")
        self.assertEqual(read(ran), b"0 500")


if __name__ == "__main__":
    import unittest
    unittest.main()
