"""One harness for every test that starts dblinkd and the agent (or a probe) under Wine.

Environment (CTest sets the first two; scripts/wine-env.sh the rest):
  PLX_BIN_DIR  the Win32 build's bin folder     PLX_DBLINKD  the host build's dblinkd
  WINEPREFIX, DISPLAY, a persistent wineserver   PLX_KEEP=1 keeps the work folders

  h = Harness(wine=True)    work folder h.work; every change below is undone by h.close(),
                            in reverse order, also after a failure (HarnessCase: self.h per test)
  svc = h.service(doc, db=None)  dblinkd on free loopback ports, temp database (or db: a
                            PostgreSQL URI) and admin token, doc imported through the admin API. svc.port, svc.admin_port,
                            svc.api(path, body=None), svc.status(pid, targeting=False), svc.history(pid),
                            svc.start() (same ports), svc.stop(), svc.kill(), svc.pause()/resume()
  px = h.proxy(port, cut_at=n, forward=False, refuse=True)
                            frame-aware TCP proxy: px.port, px.requests (frames of all links),
                            px.log ((call, table, class) of each of them, in order),
                            px.connections, px.cut; at request n it closes both sides, without
                            forwarding that request (forward=False) or after the service has
                            answered it (forward=True); then refuses new links (refuse=True) or
                            lets them through. px.down() refuses from now on.
  h.unc(server, volume)     folder of \\\\SERVER\\VOLUME (a Wine unc link)
  h.drives({letter: (type, folder or None)})   type "hd" | "cdrom" | "network" | None;
                            restarts the wineserver once so that Wine reads the types
  h.reg({key: {name: text or None}})            REG_SZ values (None deletes)
  h.guard(path)             a file or folder put back as it was (moved aside meanwhile)
  h.install(folder, files=AGENT_FILES, **inis)  copies programs; corvnet=/dblinkr32=/plx2tly=
                            {section: {key: value}} write CORVNET.INI, DBLINKR32.INI, PLX2TLY.INI
  h.on(condition, action)   runs action once condition() holds (a thread; joined at close)
  read(path)                binary content of a file
  run_agent(exe, args, ...) runs a program under winprobe; its report, with "text" = results box
  wine(args), wine_path(p), write_ini(path, sections), wait_for(cond, what, timeout)
Waits are for conditions with generous limits; nothing here measures time.
"""
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request

BIN_DIR = os.environ.get("PLX_BIN_DIR", "")
DBLINKD = os.environ.get("PLX_DBLINKD", "")
WINEPREFIX = os.environ.get("WINEPREFIX", "")
DRIVE_C = os.path.join(WINEPREFIX, "drive_c")
AGENT_FILES = ("PLXWIN32.EXE", "CORVNET.dll", "Dblinkr32.dll", "plx2tly.dll", "CVFSET32.dll")
DRIVES_KEY = r"HKEY_LOCAL_MACHINE\Software\Wine\Drives"
QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def wait_for(condition, what, timeout=60.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("gave up waiting for " + what)
        time.sleep(0.02)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def wine(args, timeout=300, **kw):
    return subprocess.run(["wine"] + list(args), capture_output=True, text=True, timeout=timeout,
                          stdin=subprocess.DEVNULL, **kw)


def wine_path(path):
    """A Linux path as Wine names it, through drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def restart_wineserver():
    """Wine types its drives when its services start. Boot with stdio on /dev/null under a
    persistent server, so that no Wine service holds a pipe of the test runner."""
    for args in (["wineserver", "-k"], ["wineserver", "-w"], ["wineserver", "-p"], ["wineboot"]):
        subprocess.run(args, timeout=300, **QUIET)


def write_ini(path, sections):
    with open(path, "w", newline="\r\n") as f:
        for name, values in sections.items():
            f.write("[%s]\n%s\n" % (name, "".join("%s=%s\n" % kv for kv in values.items())))


def reg_query(key, name):
    """A REG_SZ value, or None when the key or value is missing."""
    r = wine(["reg", "query", key, "/v", name])
    for line in r.stdout.splitlines() if r.returncode == 0 else ():
        parts = line.strip().split(None, 2)
        if len(parts) >= 2 and parts[0].lower() == name.lower() and parts[1] == "REG_SZ":
            return parts[2] if len(parts) == 3 else ""
    return None


def reg_import(keys):
    """keys: {key: {name: text or None}}; None deletes the value."""
    quote = lambda s: '"%s"' % s.replace("\\", "\\\\").replace('"', '\\"')
    lines = ["REGEDIT4", ""]
    for key, values in keys.items():
        lines += ["[%s]" % key] + ["%s=%s" % (quote(n), "-" if v is None else quote(v))
                                    for n, v in values.items()] + [""]
    fd, path = tempfile.mkstemp(suffix=".reg")
    with os.fdopen(fd, "w", newline="\r\n") as f:
        f.write("\n".join(lines) + "\n")
    try:
        r = wine(["reg", "import", wine_path(path)])
        if r.returncode != 0:
            raise RuntimeError("reg import failed: %s %s" % (r.stdout, r.stderr))
    finally:
        os.unlink(path)


def run_agent(exe, args=(), timeout=90, close=True, second=False, await_exit=False, answers=(),
              prompts=(), cwd=None, screenshot=None):
    """Runs exe under winprobe until its run is over (or timeout s) and returns the report.
    answers: "CAPTION=yes|no|ok" for message boxes; prompts: "CAPTION=TEXT|cancel".
    screenshot: a PNG file that gets the screen once the run is over."""
    try:
        return _run_probe(exe, args, timeout, close, second, await_exit, answers, prompts, cwd, screenshot)
    except ProbeSilent as e:
        # About one start in a few hundred, wine ends the probe with 1 before it prints
        # anything (seen only on a loaded machine): that start is the harness's, not the
        # agent's, so it is tried once more; a second silence is a failure.
        print("run_agent: %s; starting the probe once more" % e, file=sys.stderr)
        time.sleep(1)
        return _run_probe(exe, args, timeout, close, second, await_exit, answers, prompts, cwd, screenshot)


class ProbeSilent(AssertionError):
    pass


def _run_probe(exe, args, timeout, close, second, await_exit, answers, prompts, cwd, screenshot):
    probe = ["wine", os.path.join(BIN_DIR, "winprobe.exe"), "--timeout", str(timeout)]
    probe += [a for x in answers for a in ("--answer", x)] + [a for x in prompts for a in ("--prompt", x)]
    probe += ["--close"] * close + ["--second"] * second + ["--await-exit"] * await_exit
    probe += (["--cwd", cwd] if cwd else []) + (["--hold", "3"] if screenshot else [])
    proc = subprocess.Popen(probe + ["--", exe] + list(args), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
    try:
        first = proc.stdout.readline() if screenshot else ""
        if first.startswith("{"):  # the probe holds the window open now
            time.sleep(0.5)  # for the last paint
            xwd = subprocess.run(["xwd", "-root", "-silent"], capture_output=True, check=True)
            subprocess.run(["convert", "xwd:-", screenshot], input=xwd.stdout, check=True)
        out, err = proc.communicate(timeout=timeout + 120)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    lines = [l for l in (first + out).splitlines() if l.startswith("{")]
    if not lines:
        raise (ProbeSilent if not (first + out + err).strip() else AssertionError)(
            "winprobe printed nothing: rc=%s %s" % (proc.returncode, err[-2000:]))
    report = json.loads(lines[-1])
    report["text"] = report.get("controls", {}).get("101", "").replace("\r\n", "\n")
    return report


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Service:
    """A dblinkd with a database and admin token of its own."""

    def __init__(self, folder, db=None):
        self.dir, self.proc, self.port, self.admin_port = folder, None, 0, 0
        self.db = db or os.path.join(folder, "packages.db")
        self.token = "harness-token-%08d" % os.getpid()
        with open(os.path.join(folder, "token"), "w") as f:
            f.write(self.token + "\n")

    def start(self):
        """Starts it; a restart keeps the ports of the first start."""
        ports = os.path.join(self.dir, "ports")
        if os.path.exists(ports):
            os.unlink(ports)
        with open(os.path.join(self.dir, "dblinkd.log"), "ab") as log:
            self.proc = subprocess.Popen(
                [DBLINKD, "--db", self.db,
                 "--listen", "127.0.0.1:%d" % self.port, "--admin-listen", "127.0.0.1:%d" % self.admin_port,
                 "--admin-token-file", os.path.join(self.dir, "token"), "--port-file", ports],
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)

        def listening():
            if self.proc.poll() is not None:
                raise RuntimeError("dblinkd ended at start: " + self.log())
            return os.path.exists(ports)
        wait_for(listening, "dblinkd's port file")
        with open(ports) as f:
            values = dict(l.split("=") for l in f.read().split())
        self.port, self.admin_port = int(values["requester"]), int(values["admin"])
        return self

    def stop(self, sig=signal.SIGTERM):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGCONT)  # a paused process would never see SIGTERM
            self.proc.send_signal(sig)
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def kill(self):
        self.stop(signal.SIGKILL)

    def pause(self):
        self.proc.send_signal(signal.SIGSTOP)

    def resume(self):
        self.proc.send_signal(signal.SIGCONT)

    def log(self):
        with open(os.path.join(self.dir, "dblinkd.log"), errors="replace") as f:
            return f.read()[-3000:]

    def api(self, path, body=None):
        """The admin API: GET path, or POST body (a JSON value) to it."""
        data = None if body is None else json.dumps(body).encode()
        req = urllib.request.Request("http://127.0.0.1:%d%s" % (self.admin_port, path), data=data,
                                     headers={"Authorization": "Bearer " + self.token,
                                              "Content-Type": "application/json"})
        with urllib.request.urlopen(req, timeout=60) as r:
            return json.load(r)

    def status(self, pid, targeting=False):
        """The workstations' status rows of a package (targeting: the administrator's rows,
        which may hold a user's status too), in row order."""
        rows = self.api("/schedules")["package_users"] if targeting else self.api("/status")["status"]
        return [r for r in rows if r["PackageId"] == pid]

    def history(self, pid):
        return [r for r in self.api("/history")["history"] if r["PackageId"] == pid]


def _read_frame(sock):
    """One frame of the requester protocol (u32 length, then the body), or None at the end."""
    def exactly(n):
        data = b""
        while len(data) < n:
            try:
                chunk = sock.recv(n - len(data))
            except ConnectionError:
                return None
            if not chunk:
                return None
            data += chunk
        return data
    head = exactly(4)
    body = head and exactly(struct.unpack("<I", head)[0])
    return None if body is None else head + body


class FaultProxy:
    """Forwards the requester protocol frame by frame and cuts the link at request cut_at."""

    def __init__(self, target_port, cut_at=None, forward=False, refuse=True):
        self.target, self.cut_at, self.forward, self.refuse = target_port, cut_at, forward, refuse
        self.requests = self.connections = 0
        self.log = []
        self.cut = self.refusing = self.closed = False
        self.lock = threading.Lock()
        self.links = set()
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while not self.closed:
            try:
                client, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            client.settimeout(None)
            with self.lock:
                self.connections += 1
                refusing = self.refusing
            try:
                server = None if refusing else socket.create_connection(("127.0.0.1", self.target), 30)
            except OSError:
                server = None
            if server is None:
                client.close()
                continue
            server.settimeout(None)
            server.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            with self.lock:
                self.links.add((client, server))
            threading.Thread(target=self._relay, args=(client, server), daemon=True).start()

    def _relay(self, client, server):
        cut_here = False
        try:
            while not cut_here:
                request = _read_frame(client)
                if request is None:
                    break
                with self.lock:
                    self.requests += 1
                    call, _, table, cls = struct.unpack_from("<HHII", request, 4)
                    self.log.append((call, table, cls))
                    cut_here = self.requests == self.cut_at
                if cut_here and not self.forward:
                    break
                server.sendall(request)
                reply = _read_frame(server)  # with forward, the service has done the request
                if reply is None or cut_here:
                    break
                client.sendall(reply)
        except OSError:
            pass
        finally:
            if cut_here:
                self.cut = True
                if self.refuse:
                    self.down()
            self._close_link((client, server))

    def _close_link(self, link):
        with self.lock:
            self.links.discard(link)
        for s in link:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()

    def down(self):
        """The service is gone: open links close, new ones are closed at once."""
        with self.lock:
            self.refusing = True
            links = list(self.links)
        for link in links:
            self._close_link(link)

    def close(self):
        self.closed = True
        self.down()
        self.thread.join()
        self.listener.close()


def _require(*names):
    missing = [n for n in names if not os.environ.get(n)]
    if missing:
        raise RuntimeError("test environment incomplete (run through CTest and scripts/wine-env.sh): "
                           + ", ".join(missing))


class Harness:
    def __init__(self, wine=True):
        """wine=False: only services, for tests that never start the agent."""
        if wine:
            _require("WINEPREFIX", "DISPLAY")
        self.work = tempfile.mkdtemp(prefix="plx-harness-")
        self.undo = []
        self.reg_saved = {}
        self.drives_saved = {}

    def close(self):
        errors = []
        while self.undo:
            try:
                self.undo.pop()()
            except Exception as e:  # keep undoing the rest
                errors.append(repr(e))
        if os.environ.get("PLX_KEEP"):
            print("kept", self.work)
        else:
            shutil.rmtree(self.work, ignore_errors=True)
        if errors:
            raise RuntimeError("clean-up failed: " + "; ".join(errors))

    def folder(self, name):
        path = tempfile.mkdtemp(prefix=name + "-", dir=self.work)
        return path

    def service(self, doc=None, db=None):
        _require("PLX_DBLINKD")
        svc = Service(self.folder("dblinkd"), db)
        self.undo.append(svc.stop)
        svc.start()
        if doc is not None:
            svc.api("/import", doc)
        return svc

    def proxy(self, target_port, **kw):
        px = FaultProxy(target_port, **kw)
        self.undo.append(px.close)
        return px

    def on(self, condition, action, timeout=300):
        """Runs action once condition() holds, from a thread of its own."""
        def watch():
            deadline = time.monotonic() + timeout
            while not condition() and time.monotonic() < deadline:
                time.sleep(0.02)
            if condition():
                action()
        t = threading.Thread(target=watch, daemon=True)
        t.start()
        self.undo.append(lambda: t.join(timeout + 1))

    def guard(self, path):
        """path (file or folder) is put back as it is now; meanwhile it is moved aside."""
        saved = "%s.harness-saved-%d" % (path, len(self.undo))
        had = os.path.lexists(path)
        if had:
            os.rename(path, saved)  # a rename keeps the file's DOS attributes

        def restore():
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            elif os.path.lexists(path):
                os.chmod(path, 0o644)
                os.unlink(path)
            if had:
                os.rename(saved, path)
        self.undo.append(restore)
        return path

    def unc(self, server, volume):
        folder = os.path.join(self.work, "servers", server.upper(), volume.upper())
        os.makedirs(folder, exist_ok=True)
        link_dir = os.path.join(WINEPREFIX, "dosdevices", "unc", server.lower())
        os.makedirs(link_dir, exist_ok=True)
        link = os.path.join(link_dir, volume.lower())
        if not (os.path.islink(link) and os.readlink(link) == folder):
            os.symlink(folder, self.guard(link))
        return folder

    def reg(self, keys):
        """Sets REG_SZ values; close() puts back what was there before the first change."""
        if not self.reg_saved:
            self.undo.append(lambda: reg_import(self._by_key(self.reg_saved)))
        for key, values in keys.items():
            for name in values:
                if (key, name) not in self.reg_saved:
                    self.reg_saved[(key, name)] = reg_query(key, name)
        reg_import(keys)

    @staticmethod
    def _by_key(values):
        keys = {}
        for (key, name), value in values.items():
            keys.setdefault(key, {})[name] = value
        return keys

    def drives(self, layout):
        """layout: {letter: (type or None, Linux folder or None)}; a letter with a folder is
        linked to it, one without keeps its link. The wineserver restarts to read the types."""
        if not self.drives_saved:
            self.undo.append(self._restore_drives)
        types = {}
        for letter, (kind, folder) in layout.items():
            link = os.path.join(WINEPREFIX, "dosdevices", letter + ":")
            if letter not in self.drives_saved:
                self.drives_saved[letter] = (reg_query(DRIVES_KEY, letter + ":"),
                                             os.readlink(link) if os.path.islink(link) else None)
            if folder is not None or kind is None:
                if os.path.islink(link):
                    os.unlink(link)
            if folder is not None:
                os.makedirs(folder, exist_ok=True)
                os.symlink(folder, link)
            types[letter + ":"] = kind
        reg_import({DRIVES_KEY: types})
        restart_wineserver()

    def _restore_drives(self):
        for letter, (_, target) in self.drives_saved.items():
            link = os.path.join(WINEPREFIX, "dosdevices", letter + ":")
            if os.path.islink(link):
                os.unlink(link)
            if target is not None:
                os.symlink(target, link)
        reg_import({DRIVES_KEY: {l + ":": kind for l, (kind, _) in self.drives_saved.items()}})
        restart_wineserver()

    def install(self, folder, files=AGENT_FILES, corvnet=None, dblinkr32=None, plx2tly=None):
        _require("PLX_BIN_DIR")
        os.makedirs(folder, exist_ok=True)
        for name in files:
            shutil.copy(os.path.join(BIN_DIR, name), os.path.join(folder, name))
        for name, sections in (("CORVNET.INI", corvnet), ("DBLINKR32.INI", dblinkr32), ("PLX2TLY.INI", plx2tly)):
            if sections is not None:
                write_ini(os.path.join(folder, name), sections)
        return folder


class HarnessCase(unittest.TestCase):
    """self.h: a Harness for each test, closed after it whatever happened."""
    maxDiff = None

    def setUp(self):
        self.h = Harness()
        self.addCleanup(self.h.close)
