#!/usr/bin/python3
"""How `vksession -p` scales with the number of sessions, against the floor.

For each N it builds a sandboxed host (tools/sandbox) with N sessions:

- a display file per display and its copy under ctokens/, a session proc
  file per display, of a few dozen users (and some user ids without an
  account);
- the authentication manager (vkauthd) with a terminal for most sessions,
  a fifth of them with their security values, and a few two-terminal
  multihead groups;
- idle markers for some displays;
- real processes for a sample of the sessions (one of them stopped, so a
  session shows suspended), and process ids that do not exist for the rest.

It then runs, interleaved so that the machine's load falls on all of them
alike, `vksession -p`, `vksession -p -x` and the floor (vkfloor: the work
that any listing must do: read every session file once, run ps once, ask
the manager once, probe the host once), several times each, and prints the
median wall time and the peak resident set of each, and the ratio of the
tool's time to the floor's. The three, and the manager that both ask, run
at a raised priority (nice -10): on a machine that other work keeps busy,
the wall times otherwise measure mostly the queue for the processors.

usage: bench.py --stage STAGE --build BUILD [--sizes 100,1000,10000] [--runs 15]
                [--json FILE]
  STAGE  install root made by `cmake --install BUILD --prefix STAGE`
  BUILD  build directory holding tools/bench/vkfloor
Needs root (the sandboxed hosts).
"""
import argparse
import json
import os
import shutil
import signal
import statistics
import sys
import tempfile
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE / "tools" / "sandbox"))
from vksbx import Host  # noqa: E402

VKSESSION = "/opt/KELWvk/sbin/vksession"
VKGROUP = "/opt/KELWvk/sbin/vkgroup"
# Limits that end nothing in a benchmark's time: every run of the limits
# measures the same sessions and rewrites the same state.
LIMITS = ("/etc/opt/KELWvk/group/limits.conf", "disconnected = 3650d\nidle = 3650d\n")
OBSERVED = "/var/opt/KELWvk/group/observed"
VKFLOOR = "/build/tools/bench/vkfloor"
AUTHD = "/opt/KELWvk/lib/vkauthd"
DISPLAYS, CTOKENS = "/var/opt/KELWvk/displays/", "/var/opt/KELWvk/ctokens/"
PROCS, IDLE = "/tmp/KELWvk/session_proc/", "/var/opt/KELWvk/idle/"
TERMINALS = "/var/opt/KELWvk/authd/terminals/"
USERS = {f"user{i:02d}": 2000 + i for i in range(40)}
SAMPLE = 8            # sessions with a real process
NICE = ["/usr/bin/nice", "-n", "-10"]
STAMP = int(time.time()) - 3600

# Runs inside the sandbox: each command `runs` times, interleaved, the order
# turning by one every round; wall time from fork to reaping, and the peak
# resident set as GNU time reports it (KiB). The child's own ru_maxrss would
# not do: a child forked from Python carries the interpreter's high-water
# mark through its exec. One untimed round first, which also checks the
# number of output lines.
RUNNER = r'''
import json, os, sys, time
cmds, runs = json.loads(sys.argv[1]), int(sys.argv[2])
def once(argv, out):
    t0 = time.perf_counter()
    pid = os.fork()
    if pid == 0:
        os.dup2(out, 1)
        os.dup2(os.open("/dev/null", os.O_WRONLY), 2)
        os.execv("/usr/bin/time", ["time", "-f", "%M", "-o", "/tmp/bench.rss", *argv])
    _, st, _ = os.wait4(pid, 0)
    t = time.perf_counter() - t0
    return t, int(open("/tmp/bench.rss").read().split()[-1]), os.waitstatus_to_exitcode(st)
res = {"lines": {}, "runs": {name: [] for name in cmds}}
for name, argv in cmds.items():
    path = f"/tmp/bench.{name}.out"
    with open(path, "wb") as f:
        once(argv, f.fileno())
    res["lines"][name] = sum(1 for _ in open(path, "rb"))
names = list(cmds)
null = os.open("/dev/null", os.O_WRONLY)
for i in range(runs):
    for name in names[i % len(names):] + names[:i % len(names)]:
        res["runs"][name].append(once(cmds[name], null))
print(json.dumps(res))
'''


def token_of(i):
    """Logical tokens of users, raw card ids, mobile tokens; every 97th
    session shares its token with the one before it (equal keys)."""
    if i % 97 == 1:
        i -= 1
    kind = i % 10
    if kind < 6:
        return f"user.s{i:05d}"
    if kind < 9:
        return f"pcsc.{(i * 2654435761) % 2**32:08x}"
    return f"mobile.s{i:05d}"


def raw_of(i):
    return f"card-{(i * 40503) % 2**20:05x}{i:05d}"


def populate(h, n, pids):
    """Writes the files of n sessions; `pids` are real processes to refer to."""
    uids = list(USERS.values()) + [3999, 4000]  # two without an account
    manager = 0
    for d in (DISPLAYS, CTOKENS, PROCS, IDLE, TERMINALS):
        h.path(d).mkdir(parents=True, exist_ok=True)
    for i in range(n):
        disp, token, raw = str(10 + i), token_of(i), raw_of(i)
        display = (f"TOKEN={token}\nINSERT_TOKEN={raw}\nDISPLAY={disp}\n"
                   f"TOKEN_SET={token},{raw}\nSESSION_TYPE=default\n")
        uid = uids[(i * 7) % len(uids)]
        pid = pids[i % len(pids)] if i < len(pids) else 400000 + i
        proc = (f"XID={disp}\nuid={uid}\npid={pid}\nprogram=/usr/bin/xclock\n"
                f"server_pid={300000 + i}\nserver_prog=/usr/bin/Xvfb\n")
        for path, text in ((DISPLAYS + disp, display), (CTOKENS + token, display),
                           (PROCS + disp, proc)):
            p = h.path(path)
            p.write_text(text)
            os.utime(p, (STAMP, STAMP))
        if i % 20 == 3:
            h.path(f"{IDLE}{disp}.pid").write_text("")
        if i % 20 in (5, 11, 17):
            continue  # no terminal: the token is not at one now
        lines = [f"tokenName={token}"]
        if i % 5 == 0:
            lines += ["encryptUpType=arcfour", "encryptDownType=arcfour",
                      "authenticateUpType=none", "authenticateDownType=none",
                      "securityMode=hard"]
        terms = [lines]
        if i % 100 == 50:  # a multihead group of two terminals
            terms = [lines + [f"MultiheadGroupName=wall{i}", f"MultiheadTerminalIndex={k}",
                              f"MultiheadPrimary={'true' if k == 0 else 'false'}"]
                     for k in range(2)]
        for t in terms:
            manager += 1
            tid = f"IEEE802.{manager:012x}"
            text = "\n".join([f"terminalCID={tid}", *t]) + "\n"
            h.path(TERMINALS + tid).write_text(text)


def build_host(top, stage, build, n):
    h = Host(top, stage=stage, binds=[(build, "/build")], users=USERS, hostname="parvix1")
    h.start()
    try:
        sleepers = [h.spawn(["/bin/sleep", "100000"]) for _ in range(SAMPLE)]
        sleepers[0].signal(signal.SIGSTOP)
        populate(h, n, [p.pid for p in sleepers])
        r = h.run([*NICE, AUTHD])
        if r.rc != 0:
            raise RuntimeError(f"vkauthd did not start: {r.err}")
    except BaseException:
        h.stop()
        raise
    return h


def measure(h, n, runs):
    cmds = {"p": [VKSESSION, "-p"], "px": [VKSESSION, "-p", "-x"], "floor": [VKFLOOR],
            "limits": [VKGROUP, "limits", "--enforce"]}
    h.write(*LIMITS)
    r = h.run([*NICE, "/usr/bin/python3", "-c", RUNNER, json.dumps(cmds), str(runs)],
              timeout=3600)
    if r.rc != 0:
        raise RuntimeError(f"the runner failed: {r.err}")
    res = json.loads(r.out)
    # The table has a blank line and two titles; a run of the limits that
    # ends nothing prints nothing.
    expect = {"p": n + 3, "px": n, "floor": n, "limits": 0}
    for name, lines in res["lines"].items():
        if lines != expect[name]:
            raise RuntimeError(f"{cmds[name]} printed {lines} lines, not {expect[name]}")
    out = {}
    for name, samples in res["runs"].items():
        bad = [rc for _, _, rc in samples if rc != 0]
        if bad:
            raise RuntimeError(f"{cmds[name]} exited with {bad[0]}")
        out[name] = {"ms": statistics.median(s[0] for s in samples) * 1000,
                     "rss_kib": max(s[1] for s in samples),
                     "all_ms": [round(s[0] * 1000, 2) for s in samples]}
    out["state_kib"] = h.path(OBSERVED).stat().st_size / 1024
    return out


def report(results):
    head = (f"{'N':>6} {'-p ms':>9} {'-p -x ms':>9} {'floor ms':>9} {'-p/floor':>9} "
            f"{'-x/floor':>9} {'-p RSS MiB':>11} {'-x RSS MiB':>11} {'floor RSS':>10}")
    print(head)
    print("-" * len(head))
    for n, r in sorted(results.items()):
        p, px, f = r["p"], r["px"], r["floor"]
        print(f"{n:>6} {p['ms']:>9.1f} {px['ms']:>9.1f} {f['ms']:>9.1f} "
              f"{p['ms'] / f['ms']:>9.2f} {px['ms'] / f['ms']:>9.2f} "
              f"{p['rss_kib'] / 1024:>11.1f} {px['rss_kib'] / 1024:>11.1f} "
              f"{f['rss_kib'] / 1024:>10.1f}")
    print()
    print(f"{'N':>6} {'limits --enforce ms':>20} {'/ -p':>6} {'RSS MiB':>8} {'state KiB':>10}")
    for n, r in sorted(results.items()):
        lim = r["limits"]
        print(f"{n:>6} {lim['ms']:>20.1f} {lim['ms'] / r['p']['ms']:>6.2f} "
              f"{lim['rss_kib'] / 1024:>8.1f} {r['state_kib']:>10.1f}")
    checks = []
    if 1000 in results:
        r = results[1000]
        checks.append(("-p at 1,000 sessions <= 1.10 x floor", r["p"]["ms"] / r["floor"]["ms"], 1.10))
    if 1000 in results and 10000 in results:
        checks.append(("-p at 10,000 <= 11 x -p at 1,000",
                       results[10000]["p"]["ms"] / results[1000]["p"]["ms"], 11))
    if 10000 in results:
        r = results[10000]
        checks.append(("-p at 10,000 sessions <= 1.25 x floor", r["p"]["ms"] / r["floor"]["ms"], 1.25))
        checks.append(("-p peak RSS at 10,000 <= 8 MiB", r["p"]["rss_kib"] / 1024, 8))
        checks.append(("limits --enforce at 10,000 <= 1.2 x -p",
                       results[10000]["limits"]["ms"] / results[10000]["p"]["ms"], 1.2))
        checks.append(("limits state at 10,000 <= 2 MiB", results[10000]["state_kib"] / 1024, 2))
    return report_checks(checks)


def report_checks(checks):
    """Prints each (what, value, limit) with ok or MISS; whether every value is within its limit."""
    ok = True
    if checks:
        print()
    for what, value, limit in checks:
        good = value <= limit
        ok = ok and good
        print(f"{'ok  ' if good else 'MISS'} {what}: {value:.2f}")
    return ok


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--stage", required=True)
    ap.add_argument("--build", required=True)
    ap.add_argument("--sizes", default="100,1000,10000")
    ap.add_argument("--runs", type=int, default=15)
    ap.add_argument("--json", help="also write the figures here")
    a = ap.parse_args(argv)
    if os.geteuid() != 0:
        sys.exit("bench.py needs root (sandboxed hosts)")
    stage, build = Path(a.stage).resolve(), Path(a.build).resolve()
    if not (build / "tools/bench/vkfloor").exists():
        sys.exit(f"no {build}/tools/bench/vkfloor: build the target vkfloor first")
    results = {}
    for n in (int(s) for s in a.sizes.split(",")):
        top = tempfile.mkdtemp(prefix=f"vkbench{n}.")
        try:
            print(f"N={n}: building the host ...", file=sys.stderr, flush=True)
            h = build_host(top, stage, build, n)
            try:
                print(f"N={n}: measuring, {a.runs} runs each ...", file=sys.stderr, flush=True)
                results[n] = measure(h, n, a.runs)
            finally:
                h.stop()
        finally:
            shutil.rmtree(top, ignore_errors=True)
    ok = report(results)
    if a.json:
        Path(a.json).write_text(json.dumps(results, indent=1) + "\n")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
