"""A made-up site for the console's browser tests: 200 packages, 2,000 machines, their status
rows and history, the same every run (a fixed random seed).

  site = Site()                 the plain numbers the tests work their expectations from
  site.document()               the import document (servers, packages, package_users)
  write_history(port, site)     writes the history entries and texts through the requester
                                port, as workstations do (an import never carries history)

  python3 seed_site.py [--out FILE]   writes the document and prints a summary
"""
import argparse
import json
import random
import socket
import struct
import sys
import threading
from collections import Counter
from datetime import date, timedelta

SEED = 20261206
SERVER_ID, SERVER_NAME = 1, "SRV"
PACKAGES, MACHINES, USERS = 200, 2000, 700
FAILING_ID = 137  # the package that fails on most machines

# Package statuses of status rows, and their names in the console.
PENDING, INSTALLED, REFUSED, REFUSED_PERMANENTLY, FAILED, FAILED_RETRY = range(6)
KIND_GROUP, KIND_USER, KIND_SITE, KIND_MACHINE = 5, 6, 7, 8
KIND_TEXT = {KIND_GROUP: "group", KIND_USER: "user", KIND_SITE: "site", KIND_MACHINE: "machine"}
STATUS_TEXT = {PENDING: "pending", INSTALLED: "installed", REFUSED: "refused",
               REFUSED_PERMANENTLY: "refused permanently", FAILED: "failed",
               FAILED_RETRY: "failed, may retry"}
COUNT_COLUMNS = ("installed", "failed", "refused", "refused-permanently", "pending")

# Outcome weights (pending, installed, refused, refused permanently, failed, failed retry).
USUAL_OUTCOMES = (15, 70, 6, 3, 4, 2)
FAILING_OUTCOMES = (10, 30, 5, 0, 45, 10)

WORDS = ("Atlas", "Beacon", "Cedar", "Delta", "Ember", "Falcon", "Garnet", "Harbor", "Iris",
         "Juniper", "Kestrel", "Lumen", "Meridian", "Nimbus", "Onyx", "Pioneer", "Quartz",
         "Raven", "Summit", "Tundra", "Umber", "Vertex", "Willow", "Zephyr")
KINDS = ("Viewer", "Suite", "Client", "Tools", "Drivers", "Runtime", "Editor", "Monitor")
# Names the console must escape.
ODD_NAMES = {11: 'Tools <beta> & "Friends"', 42: "O'Brien & Sons Ledger", 99: "Report <Designer>"}
ODD_USER = "o'neil&co"
FAILURE_TEXTS = ("SETUP.EXE ended with exit code 1603", "Not enough space on drive C:",
                 "File in use: C:\\WINDOWS\\SYSTEM\\CTL3D32.DLL",
                 'Copy failed: "C:\\Program Files\\A&B <x86>\\app.ini"',
                 "Quickscript stopped at line 12: file not found")
RARE_TEXT = "Checksum mismatch in BASE.FST"  # written a known few times
RARE_COUNT = 6
FIRST_DAY = date(2026, 9, 1)
DAYS = 90


class Row:
    """A workstation's status row (Scheduled 0)."""
    def __init__(self, record_id, package_id, kind, target, counterpart, status):
        self.record_id, self.package_id, self.kind = record_id, package_id, kind
        self.target, self.counterpart, self.status = target, counterpart, status
        self.failures = self.refusals = 0
        self.text = ""  # its newest history text

    @property
    def machine(self):
        return self.target if self.kind == KIND_MACHINE else self.counterpart

    @property
    def user(self):
        return self.counterpart if self.kind == KIND_MACHINE else self.target


class Entry:
    """A history entry as a workstation writes it: date "YYYYMMDD", time "HHMMSS"."""
    def __init__(self, row, day, time, text):
        self.row, self.date, self.time, self.text = row, day, time, text

    @property
    def when(self):
        d, t = self.date, self.time
        return "%s-%s-%s %s:%s:%s" % (d[:4], d[4:6], d[6:], t[:2], t[2:4], t[4:])


class Site:
    def __init__(self, seed=SEED):
        rng = random.Random(seed)
        self.packages = {}
        for pid in range(1, PACKAGES + 1):
            name = ODD_NAMES.get(pid) or "%s %s %d.%d" % (rng.choice(WORDS), rng.choice(KINDS), pid % 9 + 1, pid % 7)
            self.packages[pid] = name
        self.packages[FAILING_ID] = "Payroll Client 7.2"
        self.machines = ["WS-%04d" % i for i in range(1, MACHINES + 1)]
        self.users = ["user%03d" % i for i in range(1, USERS)] + [ODD_USER]
        self.rows, self.targets, self.entries = [], [], []
        others = [p for p in self.packages if p != FAILING_ID]
        used = set()
        for i, machine in enumerate(self.machines):
            user = self.users[i % len(self.users)]
            chosen = rng.sample(others, rng.randint(3, 8))
            if rng.random() < 0.6:
                chosen.append(FAILING_ID)
            for pid in chosen:
                weights = FAILING_OUTCOMES if pid == FAILING_ID else USUAL_OUTCOMES
                status = rng.choices(range(6), weights)[0]
                # Most rows are the machine's; some are kept for the user on that machine.
                if rng.random() < 0.15 and (pid, user) not in used:
                    used.add((pid, user))
                    row = Row(len(self.rows) + 1, pid, KIND_USER, user, machine, status)
                else:
                    row = Row(len(self.rows) + 1, pid, KIND_MACHINE, machine, user, status)
                self.rows.append(row)
        taken = set()
        for row in self.rows:
            self._history(rng, row, taken)
        rare = [e for e in self.entries if e.row.status in (FAILED, FAILED_RETRY) and e.row.package_id != FAILING_ID
                and e.text != e.row.text]
        for e in rng.sample(rare, RARE_COUNT):
            e.text = RARE_TEXT
        for pid in self.packages:
            self.targets.append((pid, KIND_GROUP, "STAFF"))
            if pid % 3 == 0:
                self.targets.append((pid, KIND_SITE, "SITE-%s" % "ABC"[pid % 3]))
            if pid % 5 == 0:
                self.targets.append((pid, KIND_USER, self.users[pid]))
            if pid % 7 == 0:
                self.targets.append((pid, KIND_MACHINE, self.machines[pid]))
        self.targets += [(FAILING_ID, KIND_SITE, "SITE-A"), (FAILING_ID, KIND_USER, ODD_USER),
                         (FAILING_ID, KIND_MACHINE, self.machines[0])]

    def _history(self, rng, row, taken):
        """Earlier failures, then the entry of the row's status, oldest first."""
        if row.status == PENDING:
            return
        texts = []
        if row.status == INSTALLED:
            texts = ["Installed"]
        elif row.status in (REFUSED, REFUSED_PERMANENTLY):
            row.refusals = rng.randint(1, 3)
            texts = ["Refused by the user"] * (row.refusals - 1)
            texts.append("Refused permanently by the user" if row.status == REFUSED_PERMANENTLY else "Refused by the user")
        else:
            row.failures = rng.randint(1, 3)
            texts = [rng.choice(FAILURE_TEXTS) for _ in range(row.failures)]
        stamps = sorted(self._stamp(rng, taken) for _ in texts)
        for (day, time), text in zip(stamps, texts):
            self.entries.append(Entry(row, day, time, text))
        row.text = texts[-1]

    @staticmethod
    def _stamp(rng, taken):
        """A date and time no other entry has, so that newest-first is one order."""
        while True:
            day = (FIRST_DAY + timedelta(days=rng.randrange(DAYS))).strftime("%Y%m%d")
            time = "%02d%02d%02d" % (rng.randrange(7, 19), rng.randrange(60), rng.randrange(60))
            if (day, time) not in taken:
                taken.add((day, time))
                return day, time

    def counts(self, pid):
        """A package's counts as the console names its columns."""
        c = Counter(r.status for r in self.rows if r.package_id == pid)
        return {"installed": c[INSTALLED], "failed": c[FAILED] + c[FAILED_RETRY], "refused": c[REFUSED],
                "refused-permanently": c[REFUSED_PERMANENTLY], "pending": c[PENDING]}

    def overview(self):
        """Package ids most failed first, then by name, then id."""
        return sorted(self.packages, key=lambda p: (-self.counts(p)["failed"], self.packages[p], p))

    def newest_first(self, entries):
        return sorted(entries, key=lambda e: (e.date, e.time), reverse=True)

    def document(self):
        users = []
        for row in self.rows:
            users.append({"RecordId": row.record_id, "PackageUserId": row.record_id, "ServerId": SERVER_ID,
                          "PackageId": row.package_id, "Scheduled": 0, "PackageStatus": row.status,
                          "TargetKind": row.kind, "TargetName": row.target, "Counterpart": row.counterpart,
                          "RefusalCount": row.refusals, "FailureCount": row.failures})
        for i, (pid, kind, name) in enumerate(self.targets):
            rid = len(self.rows) + 1 + i
            users.append({"RecordId": rid, "PackageUserId": rid, "ServerId": SERVER_ID, "PackageId": pid,
                          "Scheduled": 1, "TargetKind": kind, "TargetName": name})
        return {"servers": [{"ServerId": SERVER_ID, "ServerName": SERVER_NAME}],
                "packages": [{"PackageId": pid, "ServerId": SERVER_ID, "Name": name, "Status": "A",
                              "StartDate": "2026-09-01", "MaxRefusals": 3, "MaxFailures": 3}
                             for pid, name in self.packages.items()],
                "package_users": users}


# The requester protocol: a frame is a u32 length and a 36-byte header, then key and data.
CALL_OPERATION, CLASS_INSERT, OP_INSERT = 4, 101, 200
TABLE_HISTORY, HISTORY_LENGTH = 304, 326
TABLE_TEXT, TEXT_LENGTH = 305, 274
WRITES_PER_LINK = 1800  # under the service's write burst for one connection


def _field(rec, offset, width, value):
    if isinstance(value, int):
        struct.pack_into("<I", rec, offset, value)
    else:
        data = value.encode()[:width]
        rec[offset:offset + len(data)] = data


class Workstation:
    """One requester link that writes history as the agent does: the text, then the entry."""
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), 30)
        self.writes = 0

    def insert(self, table, record):
        head = struct.pack("<HHIIIIIIII", CALL_OPERATION, 1, table, CLASS_INSERT, OP_INSERT, 0, 4,
                           len(record), 0, len(record))
        body = head + bytes(4) + bytes(record)
        self.sock.sendall(struct.pack("<I", len(body)) + body)
        size = struct.unpack("<I", self._exactly(4))[0]
        reply = self._exactly(size)
        status = struct.unpack_from("<i", reply)[0]
        if status != 0:
            raise RuntimeError("insert into table %d refused with %d" % (table, status))
        self.writes += 1
        return reply[8:]

    def write(self, entry):
        text = bytearray(TEXT_LENGTH)
        _field(text, 12, 4, SERVER_ID)
        _field(text, 16, 258, entry.text)
        text_id = struct.unpack_from("<I", self.insert(TABLE_TEXT, text), 4)[0]
        row = entry.row
        rec = bytearray(HISTORY_LENGTH)
        for offset, width, value in ((12, 4, SERVER_ID), (16, 4, text_id), (20, 4, row.package_id),
                                     (24, 4, row.record_id), (28, 8, entry.date), (36, 6, entry.time),
                                     (42, 210, row.user), (252, 48, SERVER_NAME)):
            _field(rec, offset, width, value)
        self.insert(TABLE_HISTORY, rec)

    def _exactly(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise RuntimeError("the service closed the requester link")
            data += chunk
        return data

    def close(self):
        self.sock.close()


def write_history(port, site, links=8):
    """Every entry, oldest first within a row, over a few links at once (the service commits
    them in groups)."""
    errors = []

    def run(entries):
        ws = Workstation(port)
        try:
            for e in entries:
                if ws.writes + 2 > WRITES_PER_LINK:
                    ws.close()
                    ws = Workstation(port)
                ws.write(e)
        except Exception as e:  # reported by the caller's thread
            errors.append(e)
        finally:
            ws.close()
    # A row's entries stay on one link, so that each row's history is written in order.
    shares = [[] for _ in range(links)]
    for e in site.entries:
        shares[e.row.record_id % links].append(e)
    threads = [threading.Thread(target=run, args=(s,)) for s in shares]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", help="file for the import document (default: standard output)")
    args = ap.parse_args()
    site = Site()
    text = json.dumps(site.document(), indent=0)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text)
    else:
        sys.stdout.write(text)
    print("%d packages, %d machines, %d status rows, %d targets, %d history entries; most failed: %s (%d)"
          % (len(site.packages), len(site.machines), len(site.rows), len(site.targets), len(site.entries),
             site.packages[FAILING_ID], site.counts(FAILING_ID)["failed"]), file=sys.stderr)


if __name__ == "__main__":
    main()
