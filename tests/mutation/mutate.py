#!/usr/bin/env python3
"""Mutation run: applies each small fault of mutations.py to the product code, builds, runs
the tests named for it and says whether they notice.

    tests/mutation/mutate.py                 # every mutation
    tests/mutation/mutate.py tables-eligible loop-*   # a subset, by id or glob
    tests/mutation/mutate.py --list          # the table, and whether each snippet is found
    tests/mutation/mutate.py --check         # the named tests on the unchanged code (all must pass)

Per mutation: the snippet (which must occur exactly once) is replaced, the targets its tests
need are built incrementally (a build failure is "did not compile", not a kill), its test
steps run cheapest first with a time-out each, and the first failing step kills it. The file
is put back byte for byte whatever happens (Ctrl-C included), and the touched files are
checked against git at the end. Win64 steps run under one scripts/wine-env.sh session for the
whole run: the tool starts itself again inside it.

Both presets must be configured and built first. Run by hand, not from CI.
"""
import argparse
import fnmatch
import json
import os
import re
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, HERE)
from mutations import MUTATIONS  # noqa: E402

# What each test entry needs built, beyond what is already there. Unknown entries build the
# whole preset.
TEST_TARGETS = {
    "host_unit": ["plx_host_tests"],
    "win_unit": ["plx_win_tests"],
    "e2e_*": ["plxwin32", "winprobe", "exitwith"],
    "requester": ["plx_requester_tests"],
    "win_sysvars": ["sysvars_probe"],
}
SOURCE_EXTENSIONS = (".cpp", ".h", ".hpp", ".c")
IN_WINE = "PLX_MUTATE_IN_WINE"


class Interrupted(Exception):
    pass


def on_signal(signum, frame):
    raise Interrupted("signal %d" % signum)


# --- the table ---------------------------------------------------------------------------------

class Step:
    """One test step: preset:ctest-name[:filter]. The filter narrows a gtest program
    (--gtest_filter) or a Python unittest module (dotted test names, comma separated; a name
    may end in [title|title] to run only those rows of a table-driven test, through PLX_CASES)."""

    def __init__(self, text):
        parts = text.split(":", 2)
        if len(parts) < 2:
            raise ValueError("test step %r is not preset:name[:filter]" % text)
        self.preset, self.name = parts[0], parts[1]
        self.filter = parts[2] if len(parts) > 2 else None
        self.text = text

    def targets(self):
        for pattern, targets in TEST_TARGETS.items():
            if fnmatch.fnmatchcase(self.name, pattern):
                return targets
        return None


def tracked_sources():
    out = subprocess.run(["git", "ls-files"], cwd=ROOT, capture_output=True, text=True, check=True).stdout
    return [p for p in out.split() if p.endswith(SOURCE_EXTENSIONS) and not p.startswith("tests/")]


def locate(m):
    """(path, original bytes, None) when the snippet occurs exactly once, else (path, None, why).
    A path that no longer exists is looked for in every product source of the tree."""
    snippet = m["snippet"].encode()
    path = m["file"]
    if os.path.exists(os.path.join(ROOT, path)):
        data = open(os.path.join(ROOT, path), "rb").read()
        n = data.count(snippet)
        if n == 1:
            return path, data, None
        return path, None, "snippet %s in %s" % ("missing" if n == 0 else "found %d times" % n, path)
    hits = []
    for p in tracked_sources():
        data = open(os.path.join(ROOT, p), "rb").read()
        n = data.count(snippet)
        if n:
            hits.append((p, n, data))
    if len(hits) == 1 and hits[0][1] == 1:
        return hits[0][0], hits[0][2], None
    if not hits:
        return path, None, "%s is gone and the snippet is in no other file" % path
    where = ", ".join("%s (%d)" % (p, n) for p, n, _ in hits[:5])
    more = " and %d more files" % (len(hits) - 5) if len(hits) > 5 else ""
    return path, None, "%s is gone and the snippet is ambiguous: %s%s" % (path, where, more)


def validate_table():
    seen = set()
    for m in MUTATIONS:
        for key in ("id", "file", "snippet", "replacement", "description", "tests"):
            if key not in m:
                raise SystemExit("mutation %r lacks %s" % (m.get("id"), key))
        if m["id"] in seen:
            raise SystemExit("mutation id %s is used twice" % m["id"])
        if m["snippet"] == m["replacement"]:
            raise SystemExit("mutation %s changes nothing" % m["id"])
        seen.add(m["id"])
        m["steps"] = [Step(t) for t in m["tests"]]


# --- presets, builds and tests -------------------------------------------------------------

def build_dir(preset):
    with open(os.path.join(ROOT, "CMakePresets.json")) as f:
        presets = json.load(f)
    for p in presets["configurePresets"]:
        if p["name"] == preset:
            return p["binaryDir"].replace("${sourceDir}", ROOT)
    raise SystemExit("no configure preset %s" % preset)


_ctest_cache = {}


def ctest_entry(preset, name):
    """The command, working directory, environment and time-out CTest has for one entry."""
    if preset not in _ctest_cache:
        out = subprocess.run(["ctest", "--show-only=json-v1"], cwd=build_dir(preset), capture_output=True,
                             text=True)
        if out.returncode != 0:
            raise SystemExit("ctest does not answer in %s: is the preset configured?\n%s" %
                             (build_dir(preset), out.stderr))
        tests = {}
        for t in json.loads(out.stdout)["tests"]:
            entry = {"command": t["command"], "cwd": build_dir(preset), "env": {}, "timeout": None}
            for prop in t.get("properties", []):
                if prop["name"] == "WORKING_DIRECTORY":
                    entry["cwd"] = prop["value"]
                elif prop["name"] == "ENVIRONMENT":
                    for kv in prop["value"]:
                        k, _, v = kv.partition("=")
                        entry["env"][k] = v
                elif prop["name"] == "TIMEOUT":
                    entry["timeout"] = float(prop["value"])
            tests[t["name"]] = entry
        _ctest_cache[preset] = tests
    tests = _ctest_cache[preset]
    if name not in tests:
        raise SystemExit("no test entry %s in preset %s (have: %s)" % (name, preset, ", ".join(sorted(tests))))
    return tests[name]


def command_for(step):
    """The entry's own command with fail-fast on, narrowed by the step's filter."""
    e = dict(ctest_entry(step.preset, step.name))
    cmd = list(e["command"])
    if "-m" in cmd and "unittest" in cmd:
        at = cmd.index("unittest") + 1
        cmd.insert(at, "-f")
        if step.filter:
            module = cmd[-1]
            # Test.method[title|title] runs only those rows of a table-driven test.
            names = re.findall(r"[^,\[]+(?:\[[^\]]*\])?", step.filter)
            rows = [n[n.index("[") + 1:-1] for n in names if "[" in n]
            if rows:
                e["env"] = dict(e["env"], PLX_CASES="|".join(rows))
            names = [n.split("[")[0] for n in names]
            cmd[-1:] = [t if t.startswith(module + ".") else module + "." + t for t in names]
    elif any("gtest" in c or c.endswith(("_tests", "_tests.exe")) for c in cmd):
        cmd.append("--gtest_fail_fast")
        if step.filter:
            cmd.append("--gtest_filter=" + step.filter)
    elif step.filter:
        raise SystemExit("%s: entry %s takes no filter" % (step.text, step.name))
    return cmd, e


def run_logged(cmd, cwd, env, timeout, log, shards=1):
    """Runs cmd in process groups of their own (shards > 1: that many gtest shards side by side);
    returns (first non-zero exit code, 0, or 'timeout'; seconds)."""
    start = time.time()
    log.write("\n$ %s%s\n" % (" ".join(cmd), " (%d shards)" % shards if shards > 1 else ""))
    log.flush()
    procs = []
    for i in range(shards):
        e = dict(env)
        if shards > 1:
            e.update(GTEST_TOTAL_SHARDS=str(shards), GTEST_SHARD_INDEX=str(i))
        procs.append(subprocess.Popen(cmd, cwd=cwd, env=e, stdout=log, stderr=subprocess.STDOUT,
                                      stdin=subprocess.DEVNULL, start_new_session=True))
    rc = 0
    try:
        pending = list(procs)
        while pending and rc == 0:
            left = timeout - (time.time() - start)
            if left <= 0:
                rc = "timeout"
                break
            for p in list(pending):
                if p.poll() is not None:
                    pending.remove(p)
                    rc = rc or p.returncode
            if pending and rc == 0:
                time.sleep(0.1)
    finally:
        # Stop at the first failure; nothing a test left behind lives on.
        for p in procs:
            try:
                os.killpg(p.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            p.wait()
    return rc, time.time() - start


def build(preset, targets, log, jobs):
    cmd = ["nice", "-n", "10", "cmake", "--build", build_dir(preset), "-j", str(jobs)]
    for t in targets or []:
        cmd += ["--target", t]
    rc, secs = run_logged(cmd, ROOT, os.environ.copy(), 1800, log)
    return rc == 0, secs


def run_step(step, timeout, log, jobs=1):
    cmd, e = command_for(step)
    env = os.environ.copy()
    env.update(e["env"])
    env.setdefault("GTEST_COLOR", "no")
    limit = min(timeout, e["timeout"]) if e["timeout"] else timeout
    shards = jobs if any(c.startswith("--gtest") for c in cmd) else 1
    return run_logged(["nice", "-n", "10"] + cmd, e["cwd"], env, limit, log, shards)


def steps_of(m, quick):
    """All steps, or with quick only the narrowed ones (when the mutation has any)."""
    narrowed = [s for s in m["steps"] if s.filter]
    return narrowed if quick and narrowed else m["steps"]


# --- one mutation --------------------------------------------------------------------------

def try_mutation(m, args, log, built):
    """Returns (outcome, detail): killed, survived, uncompiled or refused."""
    path, original, why = locate(m)
    if why:
        return "refused", why
    where = "" if path == m["file"] else " (found in %s)" % path
    full = os.path.join(ROOT, path)
    log.write("\n=== %s: %s%s\n" % (m["id"], m["description"], where))
    mutated = original.replace(m["snippet"].encode(), m["replacement"].encode(), 1)
    try:
        with open(full, "wb") as f:
            f.write(mutated)
        for step in steps_of(m, args.quick):
            key = (step.preset, tuple(step.targets() or ["<all>"]))
            ok, bsecs = build(step.preset, step.targets(), log, args.build_jobs)
            built.add(key)
            if not ok:
                return "uncompiled", "build of %s failed%s" % (step.preset, where)
            rc, secs = run_step(step, args.timeout, log, args.jobs)
            if rc != 0:
                how = "timed out" if rc == "timeout" else "failed"
                return "killed", "%s %s after %.0fs%s" % (step.text, how, secs, where)
        return "survived", "all of %s passed%s" % (", ".join(s.text for s in steps_of(m, args.quick)), where)
    finally:
        with open(full, "wb") as f:
            f.write(original)
        if open(full, "rb").read() != original:
            raise SystemExit("could not restore %s: fix it by hand (git checkout -- %s)" % (path, path))


def clean_in_git(paths):
    if not paths:
        return True
    return subprocess.run(["git", "diff", "--quiet", "HEAD", "--"] + sorted(paths), cwd=ROOT).returncode == 0


# --- the run -------------------------------------------------------------------------------

def select(ids):
    if not ids:
        return list(MUTATIONS)
    chosen = [m for m in MUTATIONS if any(fnmatch.fnmatchcase(m["id"], i) for i in ids)]
    unknown = [i for i in ids if not any(fnmatch.fnmatchcase(m["id"], i) for m in MUTATIONS)]
    if unknown:
        raise SystemExit("no mutation matches: " + ", ".join(unknown))
    return chosen


def list_table(chosen):
    for m in chosen:
        path, _, why = locate(m)
        state = why or ("ok" if path == m["file"] else "ok, found in " + path)
        print("%-28s %-30s %s" % (m["id"], m["file"], m["description"]))
        print("%-28s tests: %s  [%s]" % ("", ", ".join(m["tests"]), state))
    print("%d mutations" % len(chosen))


def reexec_in_wine(chosen, quick):
    """Starts this tool again inside one wine-env session when a win64 step is due."""
    if os.environ.get(IN_WINE) or not any(s.preset != "host" for m in chosen for s in steps_of(m, quick)):
        return
    env = os.environ.copy()
    env[IN_WINE] = "1"
    wine_build = build_dir("win64")
    cmd = [os.path.join(ROOT, "scripts", "wine-env.sh"), wine_build, sys.executable, os.path.abspath(__file__)]
    rc = subprocess.call(cmd + sys.argv[1:], env=env, cwd=ROOT)
    sys.exit(rc)


def check_clean_code(chosen, args, log):
    steps = {}
    for m in chosen:
        for s in steps_of(m, args.quick):
            steps.setdefault(s.text, s)
    bad = 0
    for text, s in steps.items():
        ok, _ = build(s.preset, s.targets(), log, args.build_jobs)
        rc, secs = run_step(s, args.timeout, log, args.jobs) if ok else ("build", 0)
        print("%-70s %s (%.0fs)" % (text, "pass" if rc == 0 else "FAIL: %s" % rc, secs), flush=True)
        bad += rc != 0
    print("%d of %d steps fail on the unchanged code" % (bad, len(steps)))
    return 1 if bad else 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("ids", nargs="*", help="mutation ids or globs (default: all)")
    ap.add_argument("--list", action="store_true", help="print the table and whether each snippet is found")
    ap.add_argument("--check", action="store_true", help="run every named test step on the unchanged code")
    ap.add_argument("--quick", action="store_true",
                    help="run only the narrowed steps (with a filter), not the whole entries after them")
    ap.add_argument("--timeout", type=float, default=300, help="seconds per test step (default 300)")
    ap.add_argument("--jobs", type=int, default=1,
                    help="gtest steps run as this many shards side by side (default 1)")
    ap.add_argument("--build-jobs", type=int, default=2, help="parallel build jobs (default 2)")
    ap.add_argument("--log", default=os.path.join(ROOT, "build", "mutation.log"),
                    help="build and test output (default build/mutation.log)")
    args = ap.parse_args()

    validate_table()
    chosen = select(args.ids)
    if args.list:
        list_table(chosen)
        return 0
    reexec_in_wine(chosen, args.quick)

    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)
    os.makedirs(os.path.dirname(args.log), exist_ok=True)
    log = open(args.log, "a")
    log.write("\n##### %s: %d mutations\n" % (time.strftime("%Y-%m-%d %H:%M:%S"), len(chosen)))
    if args.check:
        return check_clean_code(chosen, args, log)

    files = {locate(m)[0] for m in chosen if not locate(m)[2]}
    if not clean_in_git(files):
        raise SystemExit("uncommitted changes in the files to mutate: commit or stash them first")

    results = []
    built = set()
    start = time.time()
    try:
        for i, m in enumerate(chosen, 1):
            t0 = time.time()
            outcome, detail = try_mutation(m, args, log, built)
            results.append((m, outcome, detail))
            print("[%2d/%d] %-28s %-10s %s (%.0fs)" % (i, len(chosen), m["id"], outcome.upper(), detail,
                                                       time.time() - t0), flush=True)
    except Interrupted as e:
        print("interrupted (%s) after %d mutations" % (e, len(results)), flush=True)
    finally:
        # The build tree holds the last mutation's binaries: rebuild what was built from the
        # restored sources, so nothing mutated is left to be run by mistake.
        for preset, targets in sorted(built):
            build(preset, None if targets == ("<all>",) else list(targets), log, args.build_jobs)
        if not clean_in_git(files):
            print("WARNING: the tree is not clean after the run: git diff -- " + " ".join(sorted(files)))
            sys.exit(3)

    counted = [r for r in results if r[1] in ("killed", "survived")]
    killed = sum(1 for r in counted if r[1] == "killed")
    print()
    print("killed %d of %d (%.0f%%) in %.0f min" % (killed, len(counted), 100.0 * killed / max(1, len(counted)),
                                                    (time.time() - start) / 60))
    for label in ("survived", "uncompiled", "refused"):
        rows = [r for r in results if r[1] == label]
        if rows:
            print("%s: %d" % ({"uncompiled": "did not compile", "refused": "not applied"}.get(label, label),
                              len(rows)))
            for m, _, detail in rows:
                print("  %-28s %s: %s" % (m["id"], m["file"], m["description"]))
                if label != "survived":
                    print("  %-28s %s" % ("", detail))
    return 0


if __name__ == "__main__":
    sys.exit(main())
