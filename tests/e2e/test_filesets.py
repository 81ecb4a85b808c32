"""Fileset tasks through the real package loop: CVFSET32.dll beside the agent, filesets made
here with Python's zipfile (any ZIP tool makes filesets) and damaged on purpose."""
import io
import os
import shutil
import struct
import subprocess
import tempfile
import zipfile

from agentcase import AgentCase, document, package, target, task
from plxharness import DRIVE_C, WINEPREFIX, read

INSTALLED = "Package installed successfully."
FILESET_DIR = r"\\SRV\SYS\APPS\PLIVEX\PACKAGES"
GOOD = {"README.TXT": b"read me\r\n" * 50, "BIN/TOOL.DAT": bytes(range(256)) * 40, "BIN/EMPTY.TXT": b""}


def fileset(members, comment=b"PLXFSET 1", stored=()):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as z:
        for name, data in members.items():
            info = zipfile.ZipInfo(name, (1998, 7, 1, 12, 30, 4))
            info.compress_type = zipfile.ZIP_STORED if name in stored else zipfile.ZIP_DEFLATED
            z.writestr(info, data)
        z.comment = comment
    return buf.getvalue()


def bad_crc(data):
    """The first member's CRC off by one, in its local and central header alike."""
    data = bytearray(data)
    central = data.index(b"PK\x01\x02")
    for at in (14, central + 16):
        data[at:at + 4] = struct.pack("<I", (struct.unpack("<I", data[at:at + 4])[0] + 1) & 0xFFFFFFFF)
    return bytes(data)


def message(number, text, name):
    return "ERROR %04d: %s" % (number, text % (FILESET_DIR + "\\" + name))


class FilesetTaskTest(AgentCase):

    def install(self, name, data, options=0x0001, install_path="C:\\PLXTEST\\P1"):
        self.serve(document([package(1, "Files", Options=options, InstallPath=install_path)],
                            [target(1, 7, "HQ")], tasks=[task(1, 1, name)]))
        if data is not None:
            with open(os.path.join(self.packages_dir, name), "wb") as f:
                f.write(data)
        report = self.agent()
        self.assertTrue(report["finished"], report)
        return report["text"]

    def status(self):
        return [r[0] for r in self.rows(1, ("PackageStatus",))]

    def test_a_fileset_lands_in_the_target(self):
        text = self.install("APP.ZIP", fileset(GOOD, stored=("BIN/TOOL.DAT",)))
        self.assertIn(INSTALLED, text)
        self.assertEqual(self.status(), [1])
        for name, data in GOOD.items():
            self.assertEqual(read(os.path.join(DRIVE_C, "PLXTEST", "P1", *name.split("/"))), data)

    def test_each_failure_gives_its_message_and_fails_the_package(self):
        win_ini = os.path.join(DRIVE_C, "windows", "win.ini")
        before = read(win_ini)
        good = fileset(GOOD)
        cases = [
            ("missing", "GONE.ZIP", None, 121, "Unable to open Fileset: %s"),
            ("not an archive", "TEXT.ZIP", b"just text\r\n" * 10, 123, "File %s is not a valid fileset!"),
            ("truncated", "CUT.ZIP", good[:len(good) // 2], 160, "Fileset %s is corrupt and cannot be decompressed."),
            ("bad CRC", "CRC.ZIP", bad_crc(good), 160, "Fileset %s is corrupt and cannot be decompressed."),
            ("climbs out", "EVIL.ZIP", fileset({"A.TXT": b"a", "..\\..\\WINDOWS\\WIN.INI": b"[evil]\r\n"}), 160,
             "Fileset %s is corrupt and cannot be decompressed."),
            ("newer format", "NEW.ZIP", fileset(GOOD, b"PLXFSET 2"), 132,
             "Unable to decompress %s because format is newer than expected."),
            ("older format", "OLD.ZIP", fileset(GOOD, b"PLXFSET 0"), 150,
             "Unable to decompress %s because format is older than expected."),
        ]
        for what, name, data, number, text in cases:
            with self.subTest(what):
                shutil.rmtree(os.path.join(DRIVE_C, "PLXTEST"), ignore_errors=True)
                out = self.install(name, data)
                line = message(number, text, name)
                self.assertIn(line, out)
                self.assertNotIn(INSTALLED, out)
                self.assertEqual(self.status(), [4])
                self.assertEqual(self.history(1), [line])
                self.assertEqual(read(win_ini), before)
                written = [os.path.relpath(os.path.join(d, f), DRIVE_C)
                           for d, _, fs in os.walk(os.path.join(DRIVE_C, "PLXTEST")) for f in fs]
                self.assertEqual(written, [], what)
                self.svc.stop()

    def test_journalled_fileset_is_refused_until_its_files_can_be_recorded(self):
        out = self.install("APP.ZIP", fileset(GOOD), options=0x0001 | 0x8000)
        self.assertIn(message(151, "Unable to backup a file in fileset: %s", "APP.ZIP"), out)
        self.assertEqual(self.status(), [4])
        self.assertFalse(os.path.exists(os.path.join(DRIVE_C, "PLXTEST", "P1", "README.TXT")))

    def test_bigger_than_the_drive(self):
        mount_point = tempfile.mkdtemp(prefix="plxsmall")
        self.addCleanup(os.rmdir, mount_point)
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", mount_point], capture_output=True,
                           text=True)
        if r.returncode != 0:
            self.skipTest("a small drive needs a tmpfs mount, refused here: " + r.stderr.strip())
        self.addCleanup(subprocess.run, ["umount", mount_point], capture_output=True)
        link = os.path.join(WINEPREFIX, "dosdevices", "s:")
        self.assertFalse(os.path.lexists(link))
        os.symlink(mount_point, link)
        self.addCleanup(os.unlink, link)
        big = fileset({"A.DAT": b"a" * 700000, "B.DAT": b"b" * 700000})
        out = self.install("BIG.ZIP", big, install_path="S:\\APP")
        line = "ERROR 0129: Out of disk space decompressing:\n%s\\BIG.ZIP to S:\\APP." % FILESET_DIR
        self.assertIn(line, out)
        self.assertEqual(self.status(), [4])
        self.assertEqual(os.listdir(os.path.join(mount_point, "APP")) if os.path.isdir(
            os.path.join(mount_point, "APP")) else [], [])
