"""System variables and the workstation identity under other Windows versions and drive
layouts, in the real Wine prefix. A program sees the Windows version of its AppDefaults entry
when it starts, and drive types when the Wine server starts; so each case sets the registry
(and drives), then starts sysvars_probe.exe, which writes what it found as JSON."""
import json
import os
import unittest

from plxharness import DRIVE_C, Harness, HarnessCase, read, wine, wine_path, write_ini

PROBE, RUNTIME = "sysvars_probe.exe", ("CORVNET.dll", "Dblinkr32.dll", "plx2tly.dll")
APPDEFAULTS = r"HKEY_CURRENT_USER\Software\Wine\AppDefaults" + "\\" + PROBE
SETUP = r"HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Setup"
PRODUCT = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\ProductOptions"
ID_FILE = os.path.join(DRIVE_C, "equip.id")
NAMES = ["[TARGET]", "[PACKAGEPATH]", "[DISKSPACE]", "[RETVAL]", "[SERVERNAME]", "[LOGINNAME]",
         "[FULLNAME]", "[FUSIONNAME]", "[INVENTORYNAME]", "[LOGSCRNAME]", "[LOGSCRPATH]",
         "[LOCATION]", "[OS_VER_MAJOR]", "[OS_VER_MINOR]", "[OSVER]", "[MACHINENAME]", "[NETCFG]",
         "[BOOT_ROOT]", "[WINDIR]", "[WINSYSDIR]", "[NDRIVE]", "[HDRIVE]"]
INTEGERS = {"[DISKSPACE]", "[RETVAL]", "[OS_VER_MAJOR]", "[OS_VER_MINOR]"}
NO_BOOT = "\nERROR 0101: Error determining boot drive letter.\n\n"
CORVNET = {"Network": {"NetNumber": "0000abcd", "NodeAddress": "00A0C9123456"},
           "Workstation": {"UserName": "alice", "MachineName": "WS01"},
           "User.ALICE": {"FullName": "Alice Smith", "LoginScript": "ALICE", "LoginScriptPath": r"\\SRV\SYS\MAIL\1"},
           "User.BOB": {"FullName": "Bob Jones", "LoginScript": "BOB"}}
W95 = dict(version="win95", boot="C:\\")
NT4 = dict(version="nt40")
WINDOWS = dict(BOOT_ROOT="C:\\", WINDIR="C:\\windows", WINSYSDIR="C:\\windows\\system32")

# (what, probe settings, what the probe reports): "values" are variables without brackets;
# "rc" other than 0 skips the check that all 22 variables are defined and nothing was said.
VERSIONS = [
    ("Windows 95", W95, dict(values=dict(OSVER="Windows 95", OS_VER_MAJOR=4, OS_VER_MINOR=0, **WINDOWS),
                             nowindows=False, boot=3)),
    ("Windows 95, boot folder in lower case", dict(W95, boot="c:\\"), dict(values=dict(BOOT_ROOT="C:\\"))),
    ("Windows 95 booted from A:", dict(W95, boot="A:\\"), dict(values=dict(BOOT_ROOT="A:\\"), boot=1)),
    ("Windows 95 is no server", dict(W95, product="ServerNT"), dict(values=dict(OSVER="Windows 95"))),
    # Defined up to and including [BOOT_ROOT], which stays empty.
    ("Windows 95 without boot folder", dict(W95, boot=None),
     dict(rc=-1, boot=-1, results=NO_BOOT, names=NAMES[:18], values=dict(BOOT_ROOT="", OSVER="Windows 95"))),
    ("Windows 95, boot folder no drive", dict(W95, boot="\\\\SRV\\SYS"), dict(rc=-1, boot=-1, results=NO_BOOT)),
    ("NT 4 workstation", NT4, dict(values=dict(OSVER="Windows NT", OS_VER_MAJOR=4, OS_VER_MINOR=0, **WINDOWS))),
    ("NT 4 without product type", dict(NT4, product=None), dict(values=dict(OSVER="Windows NT"))),
    ("Windows 7", dict(version="win7"), dict(values=dict(OSVER="Windows NT", OS_VER_MAJOR=6, OS_VER_MINOR=1,
                                                          BOOT_ROOT="C:\\"))),
    ("network library answers", dict(NT4, args=["--server", "SRV2"]), dict(login="ALICE", values=dict(
        TARGET="", PACKAGEPATH="", DISKSPACE=0, RETVAL=0, SERVERNAME="SRV2", LOGINNAME="ALICE",
        FULLNAME="Alice Smith", FUSIONNAME="", INVENTORYNAME="", LOGSCRNAME="ALICE",
        LOGSCRPATH="\\\\SRV\\SYS\\MAIL\\1", LOCATION="", MACHINENAME="WS01"))),
    # The full name is the impersonated user's; the login script the network user's.
    ("impersonated user", dict(NT4, args=["--imp", "BOB"]),
     dict(login="BOB", values=dict(LOGINNAME="BOB", FULLNAME="Bob Jones", LOGSCRNAME="ALICE"))),
    ("no network drive", NT4, dict(drives={"C": 3, "Z": 3}, values=dict(NDRIVE="", HDRIVE="C:\\"))),
] + [("NT 4 server " + p, dict(NT4, product=p), dict(values=dict(OSVER="Windows NT Server", OS_VER_MAJOR=4)))
     for p in ("LanmanNT", "ServerNT", "LANMANNT")]

NODE = dict(node_field="[0000ABCD:00A0C9123456]", server_field="SRV", login_field="ALICE")
# (what, probe settings, equip.id before, what the probe reports); id "new" is a fresh id,
# written to the file.
IDENTITIES = [
    ("booted from A: with fixed C:", dict(W95, boot="A:\\"), None, dict(id="new", site="", **NODE)),
    ("boot drive unknown, fixed C:", dict(W95, boot=None), None, dict(id="new", rc=-1, results=NO_BOOT)),
    ("stored id read back", NT4, b"0123456789ABwhatever", dict(id="0123456789AB")),
    ("eight characters are replaced", NT4, b"01234567", dict(id="new")),
    ("no network address shows the id", dict(NT4, corvnet={"Network": {"NodeAddress": "not-hex"}}), None,
     dict(id="new", node_field="[00000000:%s]")),
    ("site name from the server", dict(NT4, service=True), None, dict(id="new", requester=0, site="SITE-A")),
]

# (drive types by letter, [NDRIVE], [HDRIVE])
LAYOUTS = [
    ({"c": "hd", "d": "cdrom", "f": "network"}, "F:\\", "C:\\"),
    ({"c": "cdrom", "d": "network"}, "D:\\", "D:\\"),  # no fixed disk below D:: D: itself
    ({"c": "network", "d": "hd"}, "C:\\", "C:\\"),
    ({"c": "cdrom", "d": "cdrom", "e": "hd", "g": "network"}, "G:\\", "E:\\"),
]
H = None


def setUpModule():
    global H
    H = Harness()
    H.install(os.path.join(H.work, "agent"), files=(PROBE,) + RUNTIME, corvnet=CORVNET)
    H.guard(ID_FILE)


def tearDownModule():
    H.close()


def probe(version=None, boot=None, product="WinNT", args=(), cwd=None, corvnet=None, service=False, h=None):
    """Sets the probe's Windows version (None: Wine's), the Windows 95 boot folder and the NT
    product type (None: no value), then runs it and returns its report."""
    folder = os.path.join(H.work, "agent")
    H.reg({APPDEFAULTS: {"Version": version}, SETUP: {"BootDir": boot}, PRODUCT: {"ProductType": product}})
    write_ini(os.path.join(folder, "CORVNET.INI"), dict(CORVNET, **(corvnet or {})))
    if service:
        svc = h.service({"servers": [{"ServerId": 1, "ServerName": "SRV"}],
                         "installed": [{"Server": "SRV", "Item": "SISITE", "Path": "", "Second": "SITE-A"}]})
        write_ini(os.path.join(folder, "DBLINKR32.INI"), {"Servers": {"SRV": "127.0.0.1:%d" % svc.port}})
        args = list(args) + ["--requester"]
    out = os.path.join(H.work, "probe.json")
    if os.path.exists(out):
        os.unlink(out)
    r = wine([os.path.join(folder, PROBE), wine_path(out)] + list(args), cwd=cwd or H.work)
    if r.returncode != 0 or not os.path.exists(out):
        raise AssertionError("probe failed: rc=%s %s" % (r.returncode, r.stderr[-2000:]))
    with open(out) as f:
        report = json.load(f)
    report["values"] = {name: value for name, _, value in report["vars"]}
    report["results"] = report["results"].replace("\r\n", "\n")
    return report


class SysvarsTest(HarnessCase):

    def check(self, report, rc=0, values=None, names=NAMES, results="", **fields):
        if rc == 0:
            self.assertEqual([n for n, _, _ in report["vars"]], names)
            self.assertEqual([t for n, t, _ in report["vars"]], ["I" if n in INTEGERS else "S" for n in names])
        self.assertEqual((report["rc"], report["results"]), (rc, results))
        self.assertEqual({k: report["values"].get("[%s]" % k, "<undefined>") for k in values or {}}, values or {})
        self.assertEqual({k: report.get(k) for k in fields}, fields)

    def test_windows_versions(self):
        for what, settings, expected in VERSIONS:
            with self.subTest(what):
                self.check(probe(**settings), **expected)

    def test_net_cfg_in_the_current_directory(self):
        folder = os.path.join(self.h.work, "nwclient")
        os.makedirs(folder)
        with open(os.path.join(folder, "NET.CFG"), "w") as f:
            f.write("Link Driver NE2000\n")
        self.check(probe(cwd=folder, **W95), values=dict(NETCFG=wine_path(folder)))
        self.check(probe(cwd=self.h.work, **W95), values=dict(NETCFG=""))

    def test_identity(self):
        for what, settings, before, expected in IDENTITIES:
            with self.subTest(what):
                if os.path.exists(ID_FILE):
                    os.unlink(ID_FILE)
                if before is not None:
                    with open(ID_FILE, "wb") as f:
                        f.write(before)
                r = probe(args=["--identity"], h=self.h, **settings)
                expected = dict(expected, identity=True)
                if expected["id"] == "new":
                    self.assertRegex(r["id"], r"^([0-7][0-9A-F]{3}){3}$")
                    expected["id"] = r["id"]
                    self.assertEqual(read(ID_FILE), r["id"].encode() + bytes(12))
                else:
                    self.assertEqual(read(ID_FILE), before)
                if "%s" in expected.get("node_field", ""):
                    expected["node_field"] %= r["id"]
                self.check(r, **expected)

    def test_drive_layouts(self):
        kinds = {"hd": 3, "cdrom": 5, "network": 4}
        for types, ndrive, hdrive in LAYOUTS:
            with self.subTest(types=types):
                self.lay_out(types)
                drives = dict({l.upper(): kinds[t] for l, t in types.items()}, Z=3)
                self.check(probe(**NT4), values=dict(NDRIVE=ndrive, HDRIVE=hdrive, BOOT_ROOT="C:\\"), drives=drives)
        self.lay_out({"c": "cdrom", "d": "network"})
        if os.path.exists(ID_FILE):
            os.unlink(ID_FILE)
        # Booted from A: with no fixed C:, the id would be A:\equip.id, which cannot be written.
        self.check(probe(args=["--identity"], version="win95", boot="A:\\"), rc=0, identity=False)
        self.assertFalse(os.path.exists(ID_FILE))
        # Boot drive unknown and no fixed C:: message 101 from both the variables and the id.
        self.check(probe(args=["--identity"], version="win95"), rc=-1, results=NO_BOOT * 2, identity=False)

    def lay_out(self, types):
        """types for the letters c-g; C: keeps its folder, the others get one of their own."""
        self.h.drives({l: (types.get(l), None if l == "c" else os.path.join(self.h.work, "drive_" + l) if l in types
                           else None) for l in "cdefg"})


if __name__ == "__main__":
    unittest.main()
