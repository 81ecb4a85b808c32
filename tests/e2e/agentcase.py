"""The agent on \\\\SRV\\SYS\\PUBLIC against a real dblinkd: documents, layout, reading back."""
import os
import subprocess
import tempfile

from plxharness import DRIVE_C, HarnessCase, run_agent

AGENT = r"\\SRV\SYS\PUBLIC\PLXWIN32.EXE"
SITE, NODE, ID = "HQ", "00A0C9123456", "<machine id>"
ID_FILE = os.path.join(DRIVE_C, "equip.id")
ABORTED = "\nProgram aborted.\n"
# The administrators' compiler, from the host build beside the service the tests run.
QSC = os.path.join(os.path.dirname(os.path.dirname(os.environ.get("PLX_DBLINKD", ""))), "tools", "qsc", "qsc")
_workstations = [0]


def package(pid, name=None, **fields):
    return dict({"PackageId": pid, "ServerId": 1, "Name": name or "Package %d" % pid, "Status": "A",
                 "StartDate": "1990-01-01", "InstallPath": "C:\\PLXTEST\\P%d" % pid, "TargetOs": 7,
                 "Options": 0x0001}, **fields)


def target(pid, kind, name, **fields):
    return dict({"ServerId": 1, "PackageId": pid, "Scheduled": 1, "TargetKind": kind, "TargetName": name}, **fields)


def task(pid, kind, name, **fields):
    return dict({"ServerId": 1, "PackageId": pid, "TaskType": kind, "TaskName": name}, **fields)


def document(packages=(), targets=(), dependencies=(), tasks=(), servers=("SRV",), paths=True):
    installed = [row for s in servers if paths for row in (
        {"Server": s, "Item": "KVR610", "Path": "SYS:\\APPS\\PLIVEX", "Second": "PLIVEX.CFG"},
        {"Server": s, "Item": "SISITE", "Path": "", "Second": SITE},
        {"Server": s, "Item": "PLXONDEMAND", "Path": "SYS:\\APPS\\ONDEMAND", "Second": ""})]
    return {"servers": [{"ServerId": i + 1, "ServerName": s} for i, s in enumerate(servers)],
            "installed": installed, "packages": list(packages), "package_users": list(targets),
            "dependencies": [{"RequiredServerId": 1, "PackageId": p, "RequiredPackageId": r} for p, r in dependencies],
            "tasks": list(tasks)}


def new_workstation():
    """The next run is on another machine: an id file with an id never used before."""
    if os.path.exists(ID_FILE):
        os.chmod(ID_FILE, 0o644)
        os.unlink(ID_FILE)
    _workstations[0] += 1
    with open(ID_FILE, "wb") as f:
        f.write(("E2E%05d%04X" % (os.getpid() % 100000, _workstations[0])).encode().ljust(24, b"\0"))


def machine_id():
    with open(ID_FILE, "rb") as f:
        return f.read(12).decode()


class AgentCase(HarnessCase):
    """A fresh workstation (id file, C:\\PLXTEST) for each test, all put back afterwards."""

    def setUp(self):
        super().setUp()
        self.h.guard(os.path.join(DRIVE_C, "PLXTEST"))
        self.h.guard(ID_FILE)
        new_workstation()

    def serve(self, doc, servers=("SRV",), package_servers=None, port=None, **corvnet):
        """Starts a service with doc and lays out \\\\SRV\\SYS; corvnet replaces sections of CORVNET.INI."""
        self.svc = self.h.service(doc)
        sys_dir = self.h.unc("SRV", "SYS")
        self.public = os.path.join(sys_dir, "PUBLIC")
        self.packages_dir = os.path.join(sys_dir, "APPS", "PLIVEX", "PACKAGES")
        self.ondemand_dir = os.path.join(sys_dir, "APPS", "ONDEMAND")
        for d in (self.packages_dir, self.ondemand_dir):
            os.makedirs(d, exist_ok=True)
        sections = {"Network": {"NetNumber": "0000ABCD", "NodeAddress": NODE},
                    "Workstation": {"UserName": "ALICE"},
                    "User.ALICE": {"PackageServers": package_servers or ",".join(servers), "Groups": "STAFF"}}
        sections.update(corvnet)
        self.h.install(self.public, corvnet=sections,
                       dblinkr32={"Servers": {s: "127.0.0.1:%d" % (port or self.svc.port) for s in servers}})
        return self.svc

    def put_script(self, name, text):
        """Compiles text with the administrators' compiler into the package folder."""
        with tempfile.TemporaryDirectory() as tmp:
            source = os.path.join(tmp, name + ".qs")
            with open(source, "w") as f:
                f.write(text)
            done = subprocess.run([QSC, source, "-o", os.path.join(self.packages_dir, name)],
                                  capture_output=True, text=True)
            self.assertEqual(done.returncode, 0, done.stderr)

    def agent(self, *args, **kw):
        return run_agent(kw.pop("exe", AGENT), args, **kw)

    def rows(self, pid, fields=("TargetKind", "PackageStatus", "TargetName", "Counterpart"), targeting=None):
        """The package's status rows as tuples of fields; ID stands for this machine's id.
        targeting: instead, the administrator's rows of that kind, where the agent keeps the
        status of a user it finds targeted by name."""
        mine = machine_id()
        rows = self.svc.status(pid) if targeting is None else \
            [r for r in self.svc.status(pid, targeting=True) if r["TargetKind"] == targeting]
        return [tuple(ID if r[f] == mine else r[f] for f in fields) for r in rows]

    def history(self, pid):
        return [r["Text"] for r in self.svc.history(pid)]

    def assert_aborted_with(self, report, *lines):
        for line in lines:
            self.assertIn(line, report["text"])
        self.assertTrue(report["text"].endswith(ABORTED), report["text"])
        self.assertTrue(report["close_enabled"])
        self.assertEqual(report["exit_code"], 0)
