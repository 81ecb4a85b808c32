#!/usr/bin/env python3
"""Runs plx_requester_tests under Wine against real dblinkd services on loopback.

Five services: MAIN (servers SRV and SRV2), SCRATCH (writes and restarts), HUNG (which
the tests stop with SIGSTOP, behind a proxy that counts the frames sent to it), and
REPLICA1 and REPLICA2, two replicas of one service on one PostgreSQL database (a
throw-away server of the runner's own; without Debian's postgresql package, on two copies of
one SQLite database, and PLX_REPLICAS_SHARED tells the program which), which server PAIR
lists together (ONLY1 and ONLY2 reach each alone; DOWNFIRST, DOWNLAST, HUNGFIRST and
HUNGLAST pair REPLICA1 with a dead or a hung address; ALLDOWN lists two dead ones; BAD*
are lists with a bad entry). DOWN and DOWN2 are ports nobody listens on. The test program
asks through files in PLX_CONTROL: it writes request.txt (a number, then "stop HUNG",
"cont HUNG", "restart SCRATCH", "kill REPLICA1", "served MAIN" or "frames HUNG") and waits
for done.txt, which holds the same number and the answer. Drive R:
is a network drive for CORVNET.dll. The program runs twice: the tests of an unstarted requester in a process of
their own, then the rest. Environment: plxharness's (PLX_BIN_DIR, PLX_DBLINKD, WINEPREFIX,
DISPLAY).
"""
import glob
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time

import plxharness as ph

SERVED = re.compile(r"served (\d+) requester requests")


def served(svc):
    """Requests answered so far: dblinkd tells on SIGUSR1, in its log."""
    log = lambda: SERVED.findall(ph.read(os.path.join(svc.dir, "dblinkd.log")).decode(errors="replace"))
    before = len(log())
    svc.proc.send_signal(signal.SIGUSR1)
    ph.wait_for(lambda: len(log()) > before, "dblinkd's count", 5)
    return log()[-1]


def act(services, proxies, words):
    if len(words) != 2 or words[1] not in services:
        return "unknown request %r" % words
    action, svc = words[0], services[words[1]]
    actions = {"stop": svc.pause, "cont": svc.resume, "restart": lambda: svc.stop() or (svc.start() and None),
               "kill": svc.kill,
               "served": lambda: served(svc), "frames": lambda: str(proxies[words[1]].requests)}
    return (actions[action]() or "done") if action in actions else "unknown action %r" % action


def control(folder, services, proxies, halt):
    """Carries out the test program's requests until halt is set."""
    request = os.path.join(folder, "request.txt")
    while not halt.is_set():
        if os.path.exists(request):
            with open(request) as f:
                number, *words = f.read().split()
            os.unlink(request)
            with open(os.path.join(folder, "done.tmp"), "w") as f:
                f.write("%s %s\n" % (number, act(services, proxies, words)))
            os.replace(os.path.join(folder, "done.tmp"), os.path.join(folder, "done.txt"))
        time.sleep(0.02)


PAIRED = ("PAIR", "ONLY1", "ONLY2", "DOWNFIRST", "DOWNLAST", "HUNGFIRST", "HUNGLAST")


def replica_servers(one, two, hung, down, down2):
    """The INI values of the servers that list replicas, spaces around commas and all."""
    a = lambda port: "127.0.0.1:%d" % port
    return dict(PAIR="%s , %s" % (a(one), a(two)), ONLY1=a(one), ONLY2=a(two),
                DOWNFIRST="%s,%s" % (a(down), a(one)), DOWNLAST="%s,%s" % (a(one), a(down)),
                HUNGFIRST="%s,\t%s" % (a(hung), a(one)), HUNGLAST="%s,%s" % (a(one), a(hung)),
                ALLDOWN="%s,%s" % (a(down), a(down2)),
                BADONE="127.0.0.1:", BADTRAIL="%s," % a(one), BADEMPTY=",%s" % a(one),
                BADPORT="%s,127.0.0.1:70000" % a(one), BADHOST="%s,127.0.0.1 1:%d" % (a(one), two))


def replica_database(h):
    """A fresh PostgreSQL database on a throw-away server (scripts/pg-test-server.sh), its
    URI; None when the server is not installed."""
    if not glob.glob("/usr/lib/postgresql/*/bin/pg_ctl"):
        print("PostgreSQL is not installed: the replicas run on copies of one SQLite database")
        return None
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "pg-test-server.sh")
    # Its own folder, open to the server's user when the runner is root.
    top = tempfile.mkdtemp(prefix="plx-requester-pg-")
    os.chmod(top, 0o755)
    data = os.path.join(top, "pg")
    h.undo.append(lambda: (subprocess.run(["bash", script, "stop", data], **ph.QUIET), os.rmdir(top)))
    subprocess.run(["bash", script, "start", data], check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    with open(os.path.join(data, "conninfo")) as f:
        server = f.read().strip()
    subprocess.run(["psql", "-q", server, "-c", "CREATE DATABASE replicas ENCODING 'SQL_ASCII' LC_COLLATE 'C' "
                    "LC_CTYPE 'C' TEMPLATE template0"], check=True, **ph.QUIET)
    return server.rsplit("/", 1)[0] + "/replicas"


def main(scenario_path):
    with open(scenario_path) as f:
        scenario = json.load(f)
    h = ph.Harness()
    try:
        services = {}
        for name, server_id in (("MAIN", None), ("SCRATCH", 90), ("HUNG", 91)):
            doc = json.loads(json.dumps(scenario))
            if server_id:  # a server row under the service's own name, so that Connect to it is accepted
                doc["servers"].append({"ServerId": server_id, "ServerName": name})
            services[name] = h.service(doc)
        doc = json.loads(json.dumps(scenario))
        doc["servers"] += [{"ServerId": 92 + i, "ServerName": n} for i, n in enumerate(PAIRED)]
        shared = replica_database(h)
        services["REPLICA1"] = h.service(doc, db=shared)
        services["REPLICA2"] = h.service(None if shared else doc, db=shared)
        proxies = {"HUNG": h.proxy(services["HUNG"].port)}  # counts the frames sent to it
        ports = dict(SRV=services["MAIN"].port, SRV2=services["MAIN"].port, SCRATCH=services["SCRATCH"].port,
                     HUNG=proxies["HUNG"].port, DOWN=ph.free_port())
        servers = {n: "127.0.0.1:%d" % p for n, p in ports.items()}
        servers.update(replica_servers(services["REPLICA1"].port, services["REPLICA2"].port, proxies["HUNG"].port,
                                       ports["DOWN"], ph.free_port()))
        folder = h.install(h.folder("requester"), files=("plx_requester_tests.exe", "Dblinkr32.dll", "CORVNET.dll"),
                           dblinkr32={"Servers": servers})
        folder_control, halt = h.folder("control"), threading.Event()
        thread = threading.Thread(target=control, args=(folder_control, services, proxies, halt), daemon=True)
        thread.start()
        h.undo.append(lambda: (halt.set(), thread.join()))
        h.drives({"r": ("network", h.folder("share"))})
        env = dict(os.environ, PLX_CONTROL=ph.wine_path(folder_control), PLX_NETWORK_DRIVE="R",
                   PLX_REPLICAS_SHARED="1" if shared else "")
        status = 0
        for pattern in ("BeforeInit.*", "-BeforeInit.*"):
            r = subprocess.run(["wine", os.path.join(folder, "plx_requester_tests.exe"), "--gtest_filter=" + pattern],
                               cwd=folder, env=env, stdin=subprocess.DEVNULL, timeout=600)
            status = status or r.returncode
        return 1 if status else 0
    finally:
        h.close()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
