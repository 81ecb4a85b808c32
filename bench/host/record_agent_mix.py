"""The request mix of one real agent run: runs the real agent under Wine once against dblinkd,
over the agent benchmark's mixed package table (2,000 packages, every 20th for this
workstation's site), through a relay that decodes every frame and its reply. Prints each
kind of request with its count and share, and with --out FILE writes every frame in order
(JSON lines) for a closer look. fleet_bench's simulated agents send this mix.

    record_agent_mix.py [--out FILE]

Run through scripts/wine-env.sh with PLX_BIN_DIR and PLX_DBLINKD set, as the agent benchmark."""
import argparse
import collections
import json
import os
import shutil
import socket
import struct
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "harness"))
sys.path.insert(0, os.path.join(ROOT, "bench", "e2e"))
os.environ.setdefault("PLX_BIN_DIR", os.path.join(ROOT, "build", "win64", "bin"))
os.environ.setdefault("PLX_DBLINKD", os.path.join(ROOT, "build", "host", "dblinkd", "dblinkd"))

import agent_bench  # noqa: E402
import plxharness  # noqa: E402

CALLS = {1: "hello", 2: "connect", 3: "get-path", 4: "operation", 5: "read-ahead", 6: "package-rows"}
CLASSES = {100: "read", 101: "insert", 103: "rewrite"}
OPS = {200: "insert", 201: "get-equal", 202: "get-first", 204: "get-next", 207: "get-greater-eq"}
TABLES = {300: "servers", 302: "packages", 303: "package_users", 304: "history", 305: "history_texts",
          307: "dependencies", 310: "tasks"}
HEADER = struct.Struct("<HHIIIIIIII")  # call, version, table, class, op, key no, key len, rec len, pos, data len


class Recorder:
    """Relays the requester protocol frame by frame and keeps each request with its reply."""

    def __init__(self, target):
        self.target, self.frames, self.links = target, [], 0
        self.lock = threading.Lock()
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.closed = False
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while not self.closed:
            try:
                client, _ = self.listener.accept()
            except socket.timeout:
                continue
            client.settimeout(None)
            server = socket.create_connection(("127.0.0.1", self.target), 30)
            for s in (client, server):
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            with self.lock:
                link = self.links
                self.links += 1
            threading.Thread(target=self._relay, args=(link, client, server), daemon=True).start()

    def _relay(self, link, client, server):
        try:
            while True:
                request = plxharness._read_frame(client)
                if request is None:
                    break
                server.sendall(request)
                reply = plxharness._read_frame(server)
                if reply is None:
                    break
                client.sendall(reply)
                call, _, table, cls, op, key_no, key_len, rec_len, pos, data_len = HEADER.unpack_from(request, 4)
                status, row = struct.unpack_from("<iI", reply, 4)
                with self.lock:
                    self.frames.append({"link": link, "call": call, "table": table, "class": cls, "op": op,
                                        "key": key_no, "pos": pos, "data": data_len, "status": status,
                                        "row": row, "reply": len(reply) - 4,
                                        "key_bytes": request[40:40 + key_len].hex(),
                                        "data_bytes": request[40 + key_len:].hex() if cls in (101, 103) else ""})
        except OSError:
            pass
        finally:
            client.close()
            server.close()

    def close(self):
        self.closed = True
        self.thread.join()
        self.listener.close()


def kind(f):
    """A request's kind, as the mix names it."""
    call = CALLS.get(f["call"], str(f["call"]))
    if f["call"] in (1, 2, 3):
        return call
    what = "%s %s" % (CLASSES.get(f["class"], f["class"]), TABLES.get(f["table"], f["table"]))
    if f["class"] == 100:
        what += " key %d %s" % (f["key"], OPS.get(f["op"], f["op"]))
    return what + ("" if f["call"] == 4 else " (%s)" % call)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out")
    args = ap.parse_args()
    shutil.rmtree(os.path.join(os.environ["WINEPREFIX"], "drive_c", "BENCH"), ignore_errors=True)
    h = plxharness.Harness()
    desktop = None
    try:
        desktop = plxharness.subprocess.Popen(["wine", "notepad.exe"], **plxharness.QUIET)
        time.sleep(agent_bench.DESKTOP_START_S)
        service = h.service(agent_bench.scenario(True))
        relay = Recorder(service.port)
        h.undo.append(relay.close)
        public = os.path.join(h.unc("SRV", "SYS"), "PUBLIC")
        h.install(public,
                  corvnet={"Network": {"NodeAddress": "00A0C9123456"},
                           "Workstation": {"UserName": "ALICE"},
                           "User.ALICE": {"PackageServers": "SRV", "Groups": "STAFF"}},
                  dblinkr32={"Servers": {"SRV": "127.0.0.1:%d" % relay.port}})
        report = plxharness.run_agent(r"\\SRV\SYS\PUBLIC\PLXWIN32.EXE", timeout=900)
    finally:
        if desktop:
            desktop.terminate()
            desktop.wait()
        h.close()
    frames = relay.frames
    if args.out:
        with open(args.out, "w") as f:
            for fr in frames:
                f.write(json.dumps(fr) + "\n")
    counts = collections.Counter(kind(f) for f in frames)
    statuses = collections.Counter((kind(f), f["status"]) for f in frames)
    replies = collections.defaultdict(int)
    for f in frames:
        replies[kind(f)] += f["reply"]
    print("agent run: %d requests on %d links, %.1f s; results: %s" % (
        len(frames), relay.links, report["millis"] / 1000.0, report["text"].strip().splitlines()[:1]))
    print("%-50s %7s %7s %10s  %s" % ("request", "count", "share", "reply B", "statuses"))
    for k, n in counts.most_common():
        st = ", ".join("%d x%d" % (s, c) for (kk, s), c in sorted(statuses.items()) if kk == k)
        print("%-50s %7d %6.1f%% %10.0f  %s" % (k, n, 100.0 * n / len(frames), replies[k] / n, st))
    return 0


if __name__ == "__main__":
    sys.exit(main())
