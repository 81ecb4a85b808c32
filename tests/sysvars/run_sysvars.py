"""System variables and the workstation identity under other Windows versions and drive
layouts, in the real Wine prefix.

A program sees the Windows version of its AppDefaults entry when it starts, and drive types
come from HKLM\\Software\\Wine\\Drives when the Wine server starts. So each case sets the
registry (and the dosdevices links), restarts the server when the drives changed, and
starts sysvars_probe.exe, which writes what it found as JSON. Everything changed is put
back at the end.

Needs PLX_BIN_DIR (the Win32 build's bin folder), WINEPREFIX and DISPLAY (from
scripts/wine-env.sh) and, for the site name, PLX_DBLINKD.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "e2e"))
import plxenv  # noqa: E402  dblinkd runner, INI writer and Wine server restart shared with the e2e tests

BIN_DIR = os.environ.get("PLX_BIN_DIR", "")
DBLINKD = os.environ.get("PLX_DBLINKD", "")
WINEPREFIX = os.environ.get("WINEPREFIX", "")

PROBE = "sysvars_probe.exe"
RUNTIME = ("CORVNET.dll", "Dblinkr32.dll", "plx2tly.dll")
LETTERS = "cdefg"  # the letters the layouts below use

APPDEFAULTS = r"HKEY_CURRENT_USER\Software\Wine\AppDefaults" + "\\" + PROBE
SETUP = r"HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Setup"
PRODUCT = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\ProductOptions"
DRIVES = r"HKEY_LOCAL_MACHINE\Software\Wine\Drives"

NAMES = ["[TARGET]", "[PACKAGEPATH]", "[DISKSPACE]", "[RETVAL]", "[SERVERNAME]", "[LOGINNAME]",
         "[FULLNAME]", "[FUSIONNAME]", "[INVENTORYNAME]", "[LOGSCRNAME]", "[LOGSCRPATH]",
         "[LOCATION]", "[OS_VER_MAJOR]", "[OS_VER_MINOR]", "[OSVER]", "[MACHINENAME]", "[NETCFG]",
         "[BOOT_ROOT]", "[WINDIR]", "[WINSYSDIR]", "[NDRIVE]", "[HDRIVE]"]
INTEGERS = {"[DISKSPACE]", "[RETVAL]", "[OS_VER_MAJOR]", "[OS_VER_MINOR]"}

DEVNULL = subprocess.DEVNULL


def wine_path(path):
    """The Wine name of a Linux path, through drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def reg_text(value):
    return '"%s"' % value.replace("\\", "\\\\").replace('"', '\\"')


def reg_import(keys):
    """keys: {key: {name: value or None}}; None deletes the value. A key given as None is
    deleted as a whole."""
    lines = ["REGEDIT4", ""]
    for key, values in keys.items():
        if values is None:
            lines += ["[-%s]" % key, ""]
            continue
        lines.append("[%s]" % key)
        for name, value in values.items():
            lines.append("%s=%s" % (reg_text(name), "-" if value is None else reg_text(value)))
        lines.append("")
    fd, path = tempfile.mkstemp(suffix=".reg")
    with os.fdopen(fd, "w", newline="\r\n") as f:
        f.write("\n".join(lines) + "\n")
    try:
        r = subprocess.run(["wine", "reg", "import", wine_path(path)], stdin=DEVNULL,
                           capture_output=True, text=True, timeout=60)
        if r.returncode != 0:
            raise RuntimeError("reg import failed: %s %s" % (r.stdout, r.stderr))
    finally:
        os.unlink(path)


def reg_query(key, name):
    """A REG_SZ value, or None when the key or value is missing."""
    r = subprocess.run(["wine", "reg", "query", key, "/v", name], stdin=DEVNULL,
                       capture_output=True, text=True, timeout=60)
    if r.returncode != 0:
        return None
    for line in r.stdout.splitlines():
        parts = line.strip().split(None, 2)
        if len(parts) >= 2 and parts[0].lower() == name.lower() and parts[1] == "REG_SZ":
            return parts[2] if len(parts) == 3 else ""
    return None


write_ini = plxenv.write_ini


CORVNET = {
    "Network": {"NetNumber": "0000abcd", "NodeAddress": "00A0C9123456"},
    "Workstation": {"UserName": "alice", "MachineName": "WS01"},
    "User.ALICE": {"FullName": "Alice Smith", "LoginScript": "ALICE",
                   "LoginScriptPath": r"\\SRV\SYS\MAIL\1"},
    "User.BOB": {"FullName": "Bob Jones", "LoginScript": "BOB"},
}


class Prefix:
    """What the cases change in the prefix, as it was before them."""

    def __init__(self):
        self.values = {
            (SETUP, "BootDir"): reg_query(SETUP, "BootDir"),
            (PRODUCT, "ProductType"): reg_query(PRODUCT, "ProductType"),
        }
        for letter in LETTERS:
            self.values[(DRIVES, letter + ":")] = reg_query(DRIVES, letter + ":")
        self.links = {}
        for letter in LETTERS:
            link = os.path.join(WINEPREFIX, "dosdevices", letter + ":")
            self.links[link] = os.readlink(link) if os.path.islink(link) else None
        self.id_file = os.path.join(WINEPREFIX, "drive_c", "equip.id")
        self.id_backup = self.id_file + ".sysvars-saved"
        if os.path.exists(self.id_file):
            os.rename(self.id_file, self.id_backup)  # keeps its DOS attributes
        self.drives_changed = False

    def restore_drives(self):
        if not self.drives_changed:
            return
        reg_import({DRIVES: {name: value for (key, name), value in self.values.items()
                             if key == DRIVES}})
        for link, target in self.links.items():
            if os.path.islink(link):
                os.unlink(link)
            if target is not None:
                os.symlink(target, link)
        plxenv.restart_wineserver()
        self.drives_changed = False

    def restore(self):
        keys = {}
        for (key, name), value in self.values.items():
            if key != DRIVES:
                keys.setdefault(key, {})[name] = value
        keys[APPDEFAULTS] = None
        reg_import(keys)
        if os.path.exists(self.id_file):
            os.unlink(self.id_file)
        if os.path.exists(self.id_backup):
            os.rename(self.id_backup, self.id_file)
        self.restore_drives()


PREFIX = None
WORK = None


def setUpModule():
    global PREFIX, WORK
    missing = [n for n, v in (("PLX_BIN_DIR", BIN_DIR), ("WINEPREFIX", WINEPREFIX),
                              ("DISPLAY", os.environ.get("DISPLAY", ""))) if not v]
    if missing:
        raise RuntimeError("Wine environment incomplete: " + ", ".join(missing))
    WORK = tempfile.mkdtemp(prefix="plx-sysvars-")
    folder = os.path.join(WORK, "agent")
    os.makedirs(folder)
    for name in (PROBE,) + RUNTIME:
        shutil.copy(os.path.join(BIN_DIR, name), os.path.join(folder, name))
    write_ini(os.path.join(folder, "CORVNET.INI"), CORVNET)
    PREFIX = Prefix()


def tearDownModule():
    try:
        if PREFIX:
            PREFIX.restore()
    finally:
        if WORK:
            shutil.rmtree(WORK, ignore_errors=True)


def lay_out_drives(types, targets):
    """types: {letter: "hd" | "cdrom" | "network"} for every letter of LETTERS that the
    layout uses; the others are removed. targets: {letter: linux folder} for new links."""
    keys = {DRIVES: {}}
    for letter in LETTERS:
        keys[DRIVES][letter + ":"] = types.get(letter)
        if letter == "c":
            continue  # C: keeps its folder; only its type changes
        link = os.path.join(WINEPREFIX, "dosdevices", letter + ":")
        if os.path.islink(link):
            os.unlink(link)
        if letter in targets:
            os.makedirs(targets[letter], exist_ok=True)
            os.symlink(targets[letter], link)
    reg_import(keys)
    PREFIX.drives_changed = True
    plxenv.restart_wineserver()


def run_probe(version=None, boot_dir=None, product_type="WinNT", args=(), cwd=None):
    """Sets the version of the probe (None: Wine's default), the Windows 95 boot directory
    (None: no value) and the NT product type (None: no value), then runs the probe."""
    reg_import({
        APPDEFAULTS: {"Version": version} if version else None,
        SETUP: {"BootDir": boot_dir},
        PRODUCT: {"ProductType": product_type},
    })
    out = os.path.join(WORK, "probe.json")
    if os.path.exists(out):
        os.unlink(out)
    exe = os.path.join(WORK, "agent", PROBE)
    r = subprocess.run(["wine", exe, wine_path(out)] + list(args), stdin=DEVNULL,
                       capture_output=True, text=True, timeout=120, cwd=cwd or WORK)
    if r.returncode != 0 or not os.path.exists(out):
        raise AssertionError("probe failed: rc=%s %s" % (r.returncode, r.stderr[-2000:]))
    with open(out) as f:
        report = json.load(f)
    report["values"] = {name: value for name, _, value in report["vars"]}
    return report


def results(report):
    return report["results"].replace("\r\n", "\n")


class ProbeCase(unittest.TestCase):
    maxDiff = None

    def assert_values(self, report, **expected):
        """expected: variable names without brackets, e.g. OSVER="Windows 95"."""
        got = {k: report["values"].get("[%s]" % k, "<undefined>") for k in expected}
        self.assertEqual(got, expected)

    def assert_complete(self, report):
        self.assertEqual(report["rc"], 0, results(report))
        self.assertEqual(report["count"], 22)
        self.assertEqual([n for n, _, _ in report["vars"]], NAMES)
        self.assertEqual([t for _, t, _ in report["vars"]],
                         ["I" if n in INTEGERS else "S" for n in NAMES])
        self.assertEqual(results(report), "")


class WindowsVersions(ProbeCase):
    """The prefix's own drives: C: and Z: fixed, no network letter."""

    def test_windows_95(self):
        r = run_probe("win95", boot_dir="C:\\")
        self.assert_complete(r)
        self.assert_values(r, OSVER="Windows 95", OS_VER_MAJOR=4, OS_VER_MINOR=0, BOOT_ROOT="C:\\",
                           WINDIR="C:\\windows", WINSYSDIR="C:\\windows\\system32")
        self.assertFalse(r["nowindows"])
        self.assertEqual(r["boot"], 3)

    def test_windows_95_boot_directory_in_lower_case(self):
        r = run_probe("win95", boot_dir="c:\\")
        self.assert_complete(r)
        self.assert_values(r, BOOT_ROOT="C:\\")

    def test_windows_95_booted_from_a(self):
        r = run_probe("win95", boot_dir="A:\\")
        self.assert_complete(r)
        self.assert_values(r, BOOT_ROOT="A:\\")
        self.assertEqual(r["boot"], 1)

    def test_windows_95_is_no_server_whatever_the_product_type(self):
        r = run_probe("win95", boot_dir="C:\\", product_type="ServerNT")
        self.assert_values(r, OSVER="Windows 95")

    def test_windows_95_without_boot_directory(self):
        r = run_probe("win95", boot_dir=None)
        self.assertEqual(r["rc"], -1)
        self.assertEqual(r["boot"], -1)
        self.assertEqual(results(r), "\nERROR 0101: Error determining boot drive letter.\n\n")
        # Defined up to and including [BOOT_ROOT], which stays empty.
        self.assertEqual([n for n, _, _ in r["vars"]], NAMES[:18])
        self.assert_values(r, BOOT_ROOT="", OSVER="Windows 95")

    def test_windows_95_boot_directory_that_is_no_drive(self):
        r = run_probe("win95", boot_dir="\\\\SRV\\SYS")
        self.assertEqual(r["rc"], -1)
        self.assertEqual(r["boot"], -1)
        self.assertEqual(results(r), "\nERROR 0101: Error determining boot drive letter.\n\n")

    def test_nt4_workstation(self):
        r = run_probe("nt40", product_type="WinNT")
        self.assert_complete(r)
        self.assert_values(r, OSVER="Windows NT", OS_VER_MAJOR=4, OS_VER_MINOR=0, BOOT_ROOT="C:\\",
                           WINDIR="C:\\windows", WINSYSDIR="C:\\windows\\system32")

    def test_nt4_server(self):
        for product in ("LanmanNT", "ServerNT", "LANMANNT"):
            r = run_probe("nt40", product_type=product)
            self.assert_complete(r)
            self.assert_values(r, OSVER="Windows NT Server", OS_VER_MAJOR=4, OS_VER_MINOR=0)

    def test_nt4_without_product_type(self):
        r = run_probe("nt40", product_type=None)
        self.assert_complete(r)
        self.assert_values(r, OSVER="Windows NT")

    def test_windows_7(self):
        r = run_probe("win7")
        self.assert_complete(r)
        self.assert_values(r, OSVER="Windows NT", OS_VER_MAJOR=6, OS_VER_MINOR=1, BOOT_ROOT="C:\\")

    def test_network_library_answers(self):
        r = run_probe("nt40", args=["--server", "SRV2"])
        self.assert_complete(r)
        self.assert_values(r, TARGET="", PACKAGEPATH="", DISKSPACE=0, RETVAL=0, SERVERNAME="SRV2",
                           LOGINNAME="ALICE", FULLNAME="Alice Smith", FUSIONNAME="", INVENTORYNAME="",
                           LOGSCRNAME="ALICE", LOGSCRPATH="\\\\SRV\\SYS\\MAIL\\1", LOCATION="",
                           MACHINENAME="WS01")
        self.assertEqual(r["login"], "ALICE")

    def test_impersonated_user(self):
        r = run_probe("nt40", args=["--imp", "BOB"])
        self.assert_complete(r)
        # The full name is the impersonated user's; the login script is the network's user's.
        self.assert_values(r, LOGINNAME="BOB", FULLNAME="Bob Jones", LOGSCRNAME="ALICE")
        self.assertEqual(r["login"], "BOB")

    def test_net_cfg_in_the_current_directory(self):
        folder = os.path.join(WORK, "nwclient")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "NET.CFG"), "w") as f:
            f.write("Link Driver NE2000\n")
        try:
            r = run_probe("win95", boot_dir="C:\\", cwd=folder)
            self.assert_values(r, NETCFG=wine_path(folder))
            r = run_probe("win95", boot_dir="C:\\", cwd=WORK)
            self.assert_values(r, NETCFG="")
        finally:
            shutil.rmtree(folder)

    def test_no_network_drive(self):
        r = run_probe("nt40")
        self.assert_complete(r)
        self.assertEqual(r["drives"], {"C": 3, "Z": 3})
        self.assert_values(r, NDRIVE="", HDRIVE="C:\\")


class Identity(ProbeCase):
    """equip.id at the root of the boot drive, the site name and the user information."""

    def setUp(self):
        self.id_file = PREFIX.id_file
        if os.path.exists(self.id_file):
            os.unlink(self.id_file)

    def tearDown(self):
        if os.path.exists(self.id_file):
            os.unlink(self.id_file)

    def read_id_file(self):
        with open(self.id_file, "rb") as f:
            return f.read()

    def assert_new_id(self, r):
        self.assertTrue(r["identity"])
        self.assertRegex(r["id"], r"^([0-7][0-9A-F]{3}){3}$")
        self.assertEqual(self.read_id_file(), r["id"].encode() + bytes(12))

    def test_booted_from_a_with_fixed_c(self):
        r = run_probe("win95", boot_dir="A:\\", args=["--identity"])
        self.assert_new_id(r)
        self.assertEqual(r["site"], "")
        self.assertEqual(r["node_field"], "[0000ABCD:00A0C9123456]")
        self.assertEqual(r["server_field"], "SRV")
        self.assertEqual(r["login_field"], "ALICE")

    def test_unknown_boot_drive_with_fixed_c(self):
        r = run_probe("win95", boot_dir=None, args=["--identity"])
        self.assert_new_id(r)
        # Only the variables miss the boot drive.
        self.assertEqual(results(r), "\nERROR 0101: Error determining boot drive letter.\n\n")

    def test_stored_id_is_read_back(self):
        with open(self.id_file, "wb") as f:
            f.write(b"0123456789ABwhatever")
        r = run_probe("nt40", args=["--identity"])
        self.assertTrue(r["identity"])
        self.assertEqual(r["id"], "0123456789AB")
        self.assertEqual(self.read_id_file(), b"0123456789ABwhatever")

    def test_eight_characters_are_replaced(self):
        with open(self.id_file, "wb") as f:
            f.write(b"01234567")
        r = run_probe("nt40", args=["--identity"])
        self.assert_new_id(r)

    def test_no_network_address_shows_the_id(self):
        ini = os.path.join(WORK, "agent", "CORVNET.INI")
        sections = dict(CORVNET)
        sections["Network"] = {"NodeAddress": "not-hex"}
        write_ini(ini, sections)
        try:
            r = run_probe("nt40", args=["--identity"])
        finally:
            write_ini(ini, CORVNET)
        self.assert_new_id(r)
        self.assertEqual(r["node_field"], "[00000000:%s]" % r["id"])

    def test_site_name_from_the_server(self):
        if not DBLINKD or not os.path.exists(DBLINKD):
            self.fail("PLX_DBLINKD does not name the host build's dblinkd: %r" % DBLINKD)
        service = plxenv.Dblinkd(tempfile.mkdtemp(dir=WORK),
                                 {"servers": [{"ServerId": 1, "ServerName": "SRV"}],
                                  "installed": [{"Server": "SRV", "Item": "SISITE", "Path": "",
                                                 "Second": "SITE-A"}]})
        ini = os.path.join(WORK, "agent", "DBLINKR32.INI")
        try:
            port = service.start().port
            write_ini(ini, {"Servers": {"SRV": "127.0.0.1:%d" % port}})
            r = run_probe("nt40", args=["--requester", "--identity"])
        finally:
            service.stop()
            if os.path.exists(ini):
                os.unlink(ini)
        self.assertEqual(r["requester"], 0)
        self.assert_new_id(r)
        self.assertEqual(r["site"], "SITE-A")


class DriveLayouts(ProbeCase):
    """Fixed, CD-ROM and network letters, and where the first hard drive is found."""

    @classmethod
    def tearDownClass(cls):
        PREFIX.restore_drives()

    def layout(self, types):
        targets = {l: os.path.join(WORK, "drive_" + l) for l in types if l != "c"}
        lay_out_drives(types, targets)

    def test_layouts(self):
        cases = [
            # C: fixed, D: CD-ROM, F: network.
            ({"c": "hd", "d": "cdrom", "f": "network"}, "F:\\", "C:\\"),
            # C: CD-ROM, D: network: no fixed disk below D:, so D: itself.
            ({"c": "cdrom", "d": "network"}, "D:\\", "D:\\"),
            # The first network drive is C:.
            ({"c": "network", "d": "hd"}, "C:\\", "C:\\"),
            # Two CD-ROMs, then a fixed disk, then the network.
            ({"c": "cdrom", "d": "cdrom", "e": "hd", "g": "network"}, "G:\\", "E:\\"),
        ]
        expected_types = {"hd": 3, "cdrom": 5, "network": 4}
        for types, ndrive, hdrive in cases:
            with self.subTest(types=types):
                self.layout(types)
                r = run_probe("nt40")
                drives = {l.upper(): expected_types[t] for l, t in types.items()}
                drives["Z"] = 3
                self.assertEqual(r["drives"], drives)
                self.assert_complete(r)
                self.assert_values(r, NDRIVE=ndrive, HDRIVE=hdrive, BOOT_ROOT="C:\\")

    def test_layout_without_a_fixed_c(self):
        self.layout({"c": "cdrom", "d": "network"})
        # Booted from A: with no fixed C:, the id file would be A:\equip.id, which cannot be
        # written: no id.
        r = run_probe("win95", boot_dir="A:\\", args=["--identity"])
        self.assertFalse(r["identity"])
        self.assertEqual(results(r), "")
        self.assertFalse(os.path.exists(os.path.join(WINEPREFIX, "drive_c", "equip.id")))
        # Boot drive unknown and no fixed C:: message 101, from both the variables and the id.
        r = run_probe("win95", boot_dir=None, args=["--identity"])
        self.assertFalse(r["identity"])
        self.assertEqual(results(r), "\nERROR 0101: Error determining boot drive letter.\n\n" * 2)


if __name__ == "__main__":
    unittest.main()
