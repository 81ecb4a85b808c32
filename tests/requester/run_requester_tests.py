#!/usr/bin/env python3
"""Runs plx_requester_tests under Wine against real dblinkd services on loopback.

Lays out a temporary folder with the test program, Dblinkr32.dll, CORVNET.dll and
DBLINKR32.INI, and starts three services from the scenario: MAIN (servers SRV and SRV2),
SCRATCH (writes and restarts) and HUNG (a service the tests stop with SIGSTOP). DOWN is a
port nobody listens on. The test program asks the runner, through files, to pause or
restart a service or to tell how many requests a service has answered. A drive letter is
mapped as a network drive in the Wine prefix for CORVNET.dll. The program runs twice: the
tests of an unstarted requester in a process of their own, then the rest. Its status is
the runner's.

Expects the environment of scripts/wine-env.sh (WINEPREFIX, DISPLAY, a persistent
wineserver); nothing else may use that prefix meanwhile.
"""
import argparse
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "e2e"))
import plxenv  # noqa: E402  Wine drive and server helpers shared with the end-to-end tests


def log(msg):
    print("runner: " + msg, flush=True)


def windows_path(path):
    """Wine's drive Z: is the Unix root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Service:
    """One dblinkd on 127.0.0.1 with a database of its own; it keeps its port across restarts."""

    def __init__(self, dblinkd, workdir, name, seed):
        self.dblinkd = dblinkd
        self.name = name
        self.dir = os.path.join(workdir, name.lower())
        os.makedirs(self.dir)
        self.seed = os.path.join(self.dir, "seed.json")
        with open(self.seed, "w") as f:
            json.dump(seed, f)
        self.port = 0
        self.proc = None
        self.seeded = False

    def start(self):
        port_file = os.path.join(self.dir, "port")
        if os.path.exists(port_file):
            os.unlink(port_file)
        args = [self.dblinkd, "--db", os.path.join(self.dir, "db.sqlite"),
                "--listen", "127.0.0.1:%d" % self.port, "--port-file", port_file]
        if not self.seeded:
            args += ["--seed", self.seed]
        with open(os.path.join(self.dir, "log"), "ab") as out:
            self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        deadline = time.time() + 20
        while time.time() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("%s: dblinkd ended with %s:\n%s" % (self.name, self.proc.returncode, self.log()))
            try:
                with open(port_file) as f:
                    values = dict(line.strip().split("=", 1) for line in f if "=" in line)
                self.port = int(values["requester"])
                self.seeded = True
                return
            except (OSError, KeyError, ValueError):
                time.sleep(0.05)
        raise RuntimeError("%s: no port file from dblinkd:\n%s" % (self.name, self.log()))

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGCONT)  # a stopped process would never see SIGTERM
            self.proc.terminate()
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def pause(self):
        self.proc.send_signal(signal.SIGSTOP)

    def resume(self):
        self.proc.send_signal(signal.SIGCONT)

    def served(self):
        """Requests answered so far: dblinkd tells on SIGUSR1, in its log."""
        pattern = re.compile(r"served (\d+) requester requests")
        before = len(pattern.findall(self.log(whole=True)))
        self.proc.send_signal(signal.SIGUSR1)
        deadline = time.time() + 5
        while time.time() < deadline:
            found = pattern.findall(self.log(whole=True))
            if len(found) > before:
                return found[-1]
            time.sleep(0.01)
        return "none"

    def log(self, whole=False):
        try:
            with open(os.path.join(self.dir, "log"), errors="replace") as f:
                text = f.read()
                return text if whole else text[-3000:]
        except OSError:
            return ""


class Controller(threading.Thread):
    """Carries out the test program's requests: it writes request.txt ("stop HUNG") and
    waits for done.txt, which holds the answer ("served" gives the service's count)."""

    def __init__(self, folder, services):
        super().__init__(daemon=True)
        self.folder = folder
        self.services = services
        self.halt = threading.Event()

    def run(self):
        request = os.path.join(self.folder, "request.txt")
        while not self.halt.is_set():
            if os.path.exists(request):
                with open(request) as f:
                    words = f.read().split()
                os.unlink(request)
                answer = self.act(words) or "done"
                tmp = os.path.join(self.folder, "done.tmp")
                with open(tmp, "w") as f:
                    f.write(answer + "\n")
                os.replace(tmp, os.path.join(self.folder, "done.txt"))
            time.sleep(0.02)

    def act(self, words):
        if len(words) != 2 or words[1] not in self.services:
            log("unknown request %r" % words)
            return
        action, service = words[0], self.services[words[1]]
        if action == "served":
            return service.served()
        log("%s %s" % (action, service.name))
        if action == "stop":
            service.pause()
        elif action == "cont":
            service.resume()
        elif action == "restart":
            service.stop()
            service.start()
        else:
            log("unknown action %r" % action)


def with_server(scenario, name, server_id):
    """The scenario plus a server row under the service's own name, so that Connect to it
    is accepted."""
    seed = json.loads(json.dumps(scenario))
    seed["servers"].append({"ServerId": server_id, "ServerName": name})
    return seed


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", required=True, help="folder of plx_requester_tests.exe and the DLLs")
    ap.add_argument("--dblinkd", required=True)
    ap.add_argument("--scenario", required=True)
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    args = ap.parse_args()
    for var in ("WINEPREFIX", "DISPLAY"):
        if not os.environ.get(var):
            log("%s is not set: run the tests through scripts/wine-env.sh" % var)
            return 1
    if not os.access(args.dblinkd, os.X_OK):
        log("no dblinkd at %s: build the host preset first" % args.dblinkd)
        return 1
    with open(args.scenario) as f:
        scenario = json.load(f)

    work = tempfile.mkdtemp(prefix="plx-requester-")
    services = {}
    controller = None
    drive = None
    try:
        for name in ("plx_requester_tests.exe", "Dblinkr32.dll", "CORVNET.dll"):
            shutil.copy(os.path.join(args.bin, name), os.path.join(work, name))
        services["MAIN"] = Service(args.dblinkd, work, "MAIN", scenario)
        services["SCRATCH"] = Service(args.dblinkd, work, "SCRATCH", with_server(scenario, "SCRATCH", 90))
        services["HUNG"] = Service(args.dblinkd, work, "HUNG", with_server(scenario, "HUNG", 91))
        for s in services.values():
            s.start()
        main_port = services["MAIN"].port
        servers = {"SRV": main_port, "SRV2": main_port,
                   "SCRATCH": services["SCRATCH"].port, "HUNG": services["HUNG"].port,
                   "DOWN": free_port()}
        with open(os.path.join(work, "DBLINKR32.INI"), "w", newline="\r\n") as f:
            f.write("[Servers]\n")
            for name, port in servers.items():
                f.write("%s=127.0.0.1:%d\n" % (name, port))
        control = os.path.join(work, "control")
        os.makedirs(control)
        controller = Controller(control, services)
        controller.start()

        drive = plxenv.NetworkDrive(os.path.join(work, "share"))
        mapped = drive.map()
        if not mapped:
            log("could not map a network drive; those tests will be skipped")

        env = dict(os.environ, PLX_CONTROL=windows_path(control))
        if mapped:
            env["PLX_NETWORK_DRIVE"] = drive.letter.upper()
        exe = os.path.join(work, "plx_requester_tests.exe")
        status = 0
        for pattern in ("BeforeInit.*", "-BeforeInit.*"):
            r = subprocess.run(["wine", exe, "--gtest_filter=" + pattern], cwd=work, env=env,
                               stdin=subprocess.DEVNULL, timeout=600)
            status = status or r.returncode
        return 1 if status else 0
    finally:
        if controller:
            controller.halt.set()
            controller.join()
        for s in services.values():
            s.stop()
        if drive:
            drive.unmap()
        if args.keep:
            log("kept " + work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
