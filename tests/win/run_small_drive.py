#!/usr/bin/env python3
"""Runs the fileset test that needs a nearly full drive: a 1 MB tmpfs, mapped to a free
drive letter of the Wine prefix for the time of the run. Mounting needs root; where it is
not permitted the test reports itself skipped (status 77) and says why.

usage: run_small_drive.py PLX_WIN_TESTS_EXE     (WINEPREFIX and DISPLAY from wine-env.sh)
"""
import os
import subprocess
import sys
import tempfile

SKIPPED = 77
TEST = "Fileset.BiggerThanTheDrive"


def main(program):
    dosdevices = os.path.join(os.environ["WINEPREFIX"], "dosdevices")
    letter = next(c for c in "stuvwxy" if not os.path.lexists(os.path.join(dosdevices, c + ":")))
    mount_point = tempfile.mkdtemp(prefix="plxsmall")
    link = os.path.join(dosdevices, letter + ":")
    try:
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", mount_point],
                           capture_output=True, text=True)
        if r.returncode != 0:
            print("skipped: a small drive needs a tmpfs mount, refused here: " + r.stderr.strip())
            return SKIPPED
        os.symlink(mount_point, link)
        env = dict(os.environ, PLX_SMALL_DRIVE=letter.upper())
        r = subprocess.run(["wine", program, "--gtest_filter=" + TEST], env=env, stdin=subprocess.DEVNULL,
                           capture_output=True, text=True, timeout=300)
        print(r.stdout + r.stderr)
        if r.returncode != 0 or "[  PASSED  ] 1 test." not in r.stdout or "SKIPPED" in r.stdout:
            return 1
        return 0
    finally:
        if os.path.islink(link):
            os.unlink(link)
        subprocess.run(["umount", mount_point], capture_output=True)
        os.rmdir(mount_point)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
