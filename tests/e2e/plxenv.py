"""End-to-end test environment: a real dblinkd on loopback, a server share laid out in the
Wine prefix, and the real agent started from it, read back through winprobe.exe.

Needs the variables that CTest passes: PLX_BIN_DIR (the Win32 build's bin folder),
PLX_DBLINKD (the host build's dblinkd), and WINEPREFIX/DISPLAY from scripts/wine-env.sh.
"""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

BIN_DIR = os.environ.get("PLX_BIN_DIR", "")
DBLINKD = os.environ.get("PLX_DBLINKD", "")
WINEPREFIX = os.environ.get("WINEPREFIX", "")

AGENT_FILES = ("PLXWIN32.EXE", "CORVNET.dll", "Dblinkr32.dll", "plx2tly.dll")


def require_environment(test):
    missing = [n for n, v in (("PLX_BIN_DIR", BIN_DIR), ("PLX_DBLINKD", DBLINKD),
                              ("WINEPREFIX", WINEPREFIX)) if not v]
    if missing:
        test.fail("end-to-end environment incomplete: " + ", ".join(missing))
    for f in (DBLINKD, os.path.join(BIN_DIR, "winprobe.exe")):
        if not os.path.exists(f):
            test.fail("missing " + f)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Dblinkd:
    """A dblinkd process with a database of its own, seeded from a scenario."""

    def __init__(self, workdir, seed):
        self.dir = workdir
        self.seed_path = os.path.join(workdir, "seed.json")
        with open(self.seed_path, "w") as f:
            json.dump(seed, f)
        self.db = os.path.join(workdir, "packages.db")
        self.token_file = os.path.join(workdir, "admin.token")
        with open(self.token_file, "w") as f:
            f.write("e2e-token-0123456789\n")
        self.proc = None
        self.port = None
        self.admin_port = None

    def start(self):
        port_file = os.path.join(self.dir, "ports")
        if os.path.exists(port_file):
            os.unlink(port_file)
        args = [DBLINKD, "--db", self.db, "--listen", "127.0.0.1:0",
                "--admin-listen", "127.0.0.1:0", "--admin-token-file", self.token_file,
                "--port-file", port_file]
        if not os.path.exists(self.db):
            args += ["--seed", self.seed_path]
        self.log = open(os.path.join(self.dir, "dblinkd.log"), "a")
        self.proc = subprocess.Popen(args, stdout=self.log, stderr=self.log, stdin=subprocess.DEVNULL)
        deadline = time.time() + 15
        while time.time() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("dblinkd ended at start; see " + self.log.name)
            if os.path.exists(port_file):
                with open(port_file) as f:
                    ports = dict(l.split("=") for l in f.read().split())
                self.port, self.admin_port = int(ports["requester"]), int(ports["admin"])
                return self
            time.sleep(0.05)
        raise RuntimeError("dblinkd did not report its ports")

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def sql(self, query):
        import sqlite3
        con = sqlite3.connect(self.db)
        try:
            return con.execute(query).fetchall()
        finally:
            con.close()


class Share:
    """\\\\SRV\\SYS and friends: folders under a temp dir, reached through Wine's unc links."""

    def __init__(self, workdir):
        self.root = os.path.join(workdir, "servers")
        self.links = []

    def volume(self, server, volume):
        path = os.path.join(self.root, server.upper(), volume.upper())
        os.makedirs(path, exist_ok=True)
        link_dir = os.path.join(WINEPREFIX, "dosdevices", "unc", server.lower())
        os.makedirs(link_dir, exist_ok=True)
        link = os.path.join(link_dir, volume.lower())
        if os.path.islink(link) or os.path.exists(link):
            os.unlink(link)
        os.symlink(path, link)
        self.links.append(link)
        return path

    def remove(self):
        for link in self.links:
            if os.path.islink(link):
                os.unlink(link)


def restart_wineserver():
    """Wine types its drives when its services start: stop the server, start a persistent
    one, and boot with stdio on /dev/null, as wine-env.sh does, so that no Wine service holds
    a pipe of the test runner."""
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-k"], timeout=60, **quiet)
    subprocess.run(["wineserver", "-w"], timeout=60, **quiet)
    subprocess.run(["wineserver", "-p"], timeout=60, **quiet)
    subprocess.run(["wineboot"], timeout=180, **quiet)


class NetworkDrive:
    """A free letter of the prefix linked to a folder, which Wine reports as DRIVE_REMOTE."""

    KEY = "HKLM\\Software\\Wine\\Drives"

    def __init__(self, target):
        self.target = target
        dosdevices = os.path.join(os.environ["WINEPREFIX"], "dosdevices")
        self.letter = None
        for c in "rstuvwxy":
            link = os.path.join(dosdevices, c + ":")
            if not os.path.lexists(link):
                self.letter, self.link = c, link
                break

    def map(self):
        if not self.letter:
            return False
        os.makedirs(self.target, exist_ok=True)
        os.symlink(self.target, self.link)
        r = subprocess.run(["wine", "reg", "add", self.KEY, "/v", self.letter + ":", "/t", "REG_SZ",
                            "/d", "network", "/f"], stdin=subprocess.DEVNULL, capture_output=True)
        if r.returncode != 0:
            sys.stderr.write("reg add failed: %s\n" % r.stderr.decode(errors="replace"))
            return False
        restart_wineserver()
        return True

    def unmap(self):
        if not self.letter:
            return
        subprocess.run(["wine", "reg", "delete", self.KEY, "/v", self.letter + ":", "/f"],
                       stdin=subprocess.DEVNULL, capture_output=True)
        if os.path.islink(self.link):
            os.unlink(self.link)
        restart_wineserver()


def write_ini(path, sections):
    with open(path, "w", newline="\r\n") as f:
        for name, values in sections.items():
            f.write("[%s]\n" % name)
            for k, v in values.items():
                f.write("%s=%s\n" % (k, v))
            f.write("\n")


def install_agent(folder, corvnet=None, dblinkr32=None, plx2tly=None):
    os.makedirs(folder, exist_ok=True)
    for name in AGENT_FILES:
        shutil.copy(os.path.join(BIN_DIR, name), os.path.join(folder, name))
    if corvnet is not None:
        write_ini(os.path.join(folder, "CORVNET.INI"), corvnet)
    if dblinkr32 is not None:
        write_ini(os.path.join(folder, "DBLINKR32.INI"), dblinkr32)
    if plx2tly is not None:
        write_ini(os.path.join(folder, "PLX2TLY.INI"), plx2tly)


def wine(args, timeout=120, **kw):
    return subprocess.run(["wine"] + args, capture_output=True, text=True, timeout=timeout,
                          stdin=subprocess.DEVNULL, **kw)


def run_agent(exe, args=(), timeout=60, close=True, second=False, cwd=None, answers=(), prompts=(),
              await_exit=False):
    """Runs the agent under winprobe and returns what the probe read from its window.
    answers: ("Accept Package=no", ...) for message boxes; prompts: ("Enter Install Path=D:\\X", ...)."""
    probe = [os.path.join(BIN_DIR, "winprobe.exe"), "--timeout", str(timeout)]
    for a in answers:
        probe += ["--answer", a]
    for p in prompts:
        probe += ["--prompt", p]
    if close:
        probe.append("--close")
    if second:
        probe.append("--second")
    if await_exit:
        probe.append("--await-exit")
    if cwd:
        probe += ["--cwd", cwd]
    r = wine(probe + ["--", exe] + list(args), timeout=timeout + 60)
    lines = [l for l in r.stdout.splitlines() if l.startswith("{")]
    if not lines:
        raise AssertionError("winprobe printed nothing: rc=%s stderr=%s" % (r.returncode, r.stderr[-2000:]))
    return json.loads(lines[-1])


def screenshot(png):
    """The whole Xvfb screen as a PNG."""
    xwd = subprocess.run(["xwd", "-root", "-silent"], capture_output=True, check=True)
    subprocess.run(["convert", "xwd:-", png], input=xwd.stdout, check=True)


def run_agent_with_screenshot(exe, png, args=(), timeout=60):
    """Runs the agent, photographs the screen once the run is over, then closes the window."""
    probe = [os.path.join(BIN_DIR, "winprobe.exe"), "--timeout", str(timeout), "--hold", "3", "--close",
             "--", exe] + list(args)
    proc = subprocess.Popen(["wine"] + probe, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
    first = proc.stdout.readline()
    if first.startswith("{"):
        time.sleep(0.5)  # let the last paint land
        screenshot(png)
    rest = proc.stdout.read()
    proc.wait(timeout + 60)
    lines = [l for l in (first + rest).splitlines() if l.startswith("{")]
    if not lines:
        raise AssertionError("winprobe printed nothing")
    return json.loads(lines[-1])


def results_text(report):
    """The results box as lines, with the CR LF pairs the box holds turned into LF."""
    return report["controls"]["101"].replace("\r\n", "\n")


class AgentTestCase(unittest.TestCase):
    """Gives each test a fresh work folder, share and service; cleans up afterwards."""

    def setUp(self):
        require_environment(self)
        self.work = tempfile.mkdtemp(prefix="plx-e2e-")
        self.share = Share(self.work)
        self.services = []

    def tearDown(self):
        for s in self.services:
            s.stop()
        self.share.remove()
        if os.environ.get("PLX_KEEP_E2E"):
            print("kept", self.work)
        else:
            shutil.rmtree(self.work, ignore_errors=True)

    def start_dblinkd(self, seed):
        d = Dblinkd(tempfile.mkdtemp(dir=self.work), seed)
        self.services.append(d)
        return d.start()
