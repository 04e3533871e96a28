#!/usr/bin/python3
"""How fast `vkgroup list` asks a failover group, against this machine's floor.

Builds a group of sandboxed hosts (tools/sandbox/vksbx_group.py: each its own
sshd, on one switch), each with the same number of sessions (tools/bench/bench.py's
sessions, and its authentication manager), and measures on the first host,
interleaved so that the machine's load falls on all alike:

- cold floor: the other members asked at once with plain `ssh`, a new
  connection each, running `vksession -p -x` (through the gate, as vkgroup's
  calls are);
- warm floor: the same over master connections that are already open;
- cold `vkgroup list -x`: vkrcmd's shared connections closed before each run;
- warm `vkgroup list -x`: within their persist time;
- each member alone (`vkgroup list -x SERVER`, warm): the slowest of them;
- the members asked one after another (`vkgroup list -x SERVER` for each).

Then it gives every member more sessions (10,000 in all by default) and
measures the warm listing again: its time, its processor time and vkgroup's
peak resident set, against the first size.

All members share this machine's processors, and an ssh handshake costs
about 0.17 s of processor time, mostly on the far side: absolute times here
say little about a group of real machines. The ratios to the floors, taken
in the same run, are what carries over.

usage: group_bench.py --stage STAGE --build BUILD [--members 16] [--sessions 100]
                      [--scale 10000] [--runs 5] [--json FILE]
Needs root (sandboxed hosts).
"""
import argparse
import json
import os
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE / "tools" / "sandbox"))
sys.path.insert(0, str(SOURCE / "tools" / "bench"))
import bench  # noqa: E402  the sessions of a benchmark host
from vksbx_group import KEY, KNOWN_HOSTS, VKGROUP, VKRCMD, Group  # noqa: E402
from vksbx_parvix import host_maker  # noqa: E402

AUTHD = "/opt/KELWvk/lib/vkauthd"
SSH = ("ssh -F none -n -T -x -a -l root -i {key} -o IdentitiesOnly=yes -o IdentityAgent=none "
       "-o BatchMode=yes -o StrictHostKeyChecking=yes -o UserKnownHostsFile={known} "
       "-o GlobalKnownHostsFile=/dev/null -o LogLevel=ERROR").format(key=KEY, known=KNOWN_HOSTS)
FLOOR_SOCKETS = "/var/opt/floor"

# Runs inside the first host: each step of each round, timed from fork to
# reaping; steps with "rss" run under GNU time for the peak resident set
# and the processor time (KiB, seconds). Output is thrown away, but its
# lines are counted once per step name.
RUNNER = r'''
import json, os, sys, time
rounds = json.loads(sys.argv[1])
res, lines = {}, {}
null = os.open("/dev/null", os.O_WRONLY)
for steps in rounds:
    for name, script, rss in steps:
        count = name is not None and name not in lines
        out = os.open("/tmp/bench.out", os.O_WRONLY | os.O_CREAT | os.O_TRUNC) if count else null
        argv = ["/bin/sh", "-c", script]
        if rss:
            argv = ["/usr/bin/time", "-f", "%M %U %S", "-o", "/tmp/bench.time", *argv]
        t0 = time.perf_counter()
        pid = os.fork()
        if pid == 0:
            os.dup2(out, 1)
            os.dup2(null, 2)
            os.execv(argv[0], argv)
        _, st, _ = os.wait4(pid, 0)
        t = time.perf_counter() - t0
        if count:
            os.close(out)
            lines[name] = sum(1 for _ in open("/tmp/bench.out", "rb"))
        if name is None:
            continue
        sample = {"s": t, "rc": os.waitstatus_to_exitcode(st)}
        if rss:
            kib, user, system = open("/tmp/bench.time").read().split()[-3:]
            sample.update(kib=int(kib), cpu=float(user) + float(system))
        res.setdefault(name, []).append(sample)
print(json.dumps({"runs": res, "lines": lines}))
'''


# Limits that end nothing in a benchmark's time, so that every run measures the same sessions.
LIMITS = ("/etc/opt/KELWvk/group/limits.conf", "disconnected = 3650d\nidle = 3650d\n")


def populate(g, per_member):
    for h in g.hosts.values():
        h.write(*LIMITS)
        for d in (bench.DISPLAYS, bench.CTOKENS, bench.PROCS, bench.IDLE, bench.TERMINALS):
            shutil.rmtree(h.path(d), ignore_errors=True)
        bench.populate(h, per_member, [1])
        # A manager of an earlier round holds its port until it has gone.
        h.run(["/usr/bin/pkill", "-x", "vkauthd"])
        for _ in range(100):
            if h.run(["/usr/bin/pgrep", "-x", "vkauthd"]).rc != 0:
                break
            time.sleep(0.05)
        r = h.run([AUTHD])
        if r.rc != 0:
            raise RuntimeError(f"vkauthd did not start: {r.err}")


def run(g, rounds):
    r = g.h1.run(["/usr/bin/python3", "-c", RUNNER, json.dumps(rounds)], timeout=7200)
    if r.rc != 0:
        raise RuntimeError(f"the runner failed: {r.err}")
    return json.loads(r.out)


def median(samples, key="s"):
    return statistics.median(s[key] for s in samples)


def measure(g, runs):
    others = g.names[1:]
    cold_floor = " ".join(f"{SSH} -o ControlMaster=no -o ControlPath=none {h} "
                          f"/opt/KELWvk/sbin/vksession -p -x & " for h in others) + "wait"
    warm_floor = " ".join(f"{SSH} -o ControlMaster=no -o ControlPath={FLOOR_SOCKETS}/%C {h} "
                          f"/opt/KELWvk/sbin/vksession -p -x & " for h in others) + "wait"
    open_floor = (f"mkdir -p -m 700 {FLOOR_SOCKETS}; " +
                  "".join(f"{SSH} -o ControlMaster=yes -o ControlPath={FLOOR_SOCKETS}/%C "
                          f"-o ControlPersist=7200 -f -N {h}; " for h in others))
    close_masters = "".join(f"{VKRCMD} --close {h}; " for h in others)
    listing = f"{VKGROUP} list -x"
    prepare = [[None, open_floor, False], [None, listing, False]]
    # Cold: both after connections of their own were made and closed.
    cold = [[["cold_floor", cold_floor, False]], [[None, close_masters, False], ["cold", listing, False]]]
    # Warm: vkgroup's connections made by an untimed listing first, as the
    # floor's were at the start.
    warm = [[[None, listing, False], ["warm", listing, False]], [["warm_floor", warm_floor, False]],
            [["warm_limits", f"{VKGROUP} limits -j", False]]]
    rounds = [prepare]
    for i in range(runs):
        for pair in (cold, warm):
            rounds.append([step for part in (pair if i % 2 == 0 else pair[::-1]) for step in part])
        rounds.append([[f"single {h}", f"{listing} {h}", False] for h in g.names])
        rounds.append([["one_by_one", "; ".join(f"{listing} {h}" for h in g.names), False]])
    # The peak resident set and the processor time under GNU time, untimed
    # otherwise: its own start would weigh on the figures above.
    rounds.append([["rss", listing, True] for _ in range(3)])
    res = run(g, rounds)
    for name, samples in res["runs"].items():
        bad = [s["rc"] for s in samples if s["rc"] != 0]
        if bad:
            raise RuntimeError(f"{name} exited with {bad[0]}")
    return res


def figures(res):
    runs = res["runs"]
    singles = {k[7:]: median(v) for k, v in runs.items() if k.startswith("single ")}
    slowest = max(singles, key=singles.get)
    return {
        "cold_floor_s": median(runs["cold_floor"]), "warm_floor_s": median(runs["warm_floor"]),
        "cold_s": median(runs["cold"]), "warm_s": median(runs["warm"]),
        "warm_limits_s": median(runs["warm_limits"]),
        "slowest_single_s": singles[slowest], "slowest_single": slowest,
        "one_by_one_s": median(runs["one_by_one"]),
        "warm_cpu_s": median(runs["rss"], "cpu"),
        "peak_rss_mib": max(s["kib"] for s in runs["rss"]) / 1024,
        "lines": res["lines"].get("warm"),
        "all": {k: [round(s["s"], 3) for s in v] for k, v in runs.items()
                if not k.startswith("single ") and k != "rss"},
    }


def scale(g, runs):
    listing = f"{VKGROUP} list -x"
    res = run(g, [[[None, listing, False]]] + [[["warm", listing, False]]] * runs +
              [[["rss", listing, True]]] * 3)
    samples, measured = res["runs"]["warm"], res["runs"]["rss"]
    return {"warm_s": median(samples), "warm_cpu_s": median(measured, "cpu"),
            "peak_rss_mib": max(s["kib"] for s in measured) / 1024, "lines": res["lines"]["warm"]}


def report(members, small, large, n, s):
    """`n`: figures with `small` sessions a member; `s`: with `large`."""
    print(f"{members} members, {small} sessions each ({members * small} in all); medians:")
    rows = [("cold floor (plain ssh, new connections)", n["cold_floor_s"]),
            ("warm floor (plain ssh, open masters)", n["warm_floor_s"]),
            ("vkgroup list, cold", n["cold_s"]), ("vkgroup list, warm", n["warm_s"]),
            ("vkgroup limits (every member's dry run), warm", n["warm_limits_s"]),
            (f"vkgroup list SERVER, slowest ({n['slowest_single']})", n["slowest_single_s"]),
            (f"vkgroup list SERVER, all {members} one after another", n["one_by_one_s"])]
    for what, secs in rows:
        print(f"  {what:<52} {secs:7.3f} s")
    print(f"  vkgroup peak resident set {n['peak_rss_mib']:.1f} MiB, processor time (warm) "
          f"{n['warm_cpu_s']:.2f} s")
    print(f"{members} members, {large} sessions each ({members * large} in all), warm: "
          f"{s['warm_s']:.3f} s, processor time {s['warm_cpu_s']:.2f} s, "
          f"peak resident set {s['peak_rss_mib']:.1f} MiB")
    checks = [
        ("cold vkgroup list <= 1.25 x cold floor", n["cold_s"] / n["cold_floor_s"], 1.25),
        ("warm vkgroup list <= 1.25 x warm floor", n["warm_s"] / n["warm_floor_s"], 1.25),
        ("warm vkgroup list <= 0.7 x cold", n["warm_s"] / n["cold_s"], 0.7),
        ("warm vkgroup limits <= 1.25 x warm list", n["warm_limits_s"] / n["warm_s"], 1.25),
        (f"peak resident set at {members * large} sessions <= 32 MiB", s["peak_rss_mib"], 32),
    ]
    return bench.report_checks(checks)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--stage", required=True)
    ap.add_argument("--build", required=True)
    ap.add_argument("--members", type=int, default=16)
    ap.add_argument("--sessions", type=int, default=100)
    ap.add_argument("--scale", type=int, default=10000, help="sessions in all, for the second part")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--json", help="also write the figures here")
    a = ap.parse_args(argv)
    if os.geteuid() != 0:
        sys.exit("group_bench.py needs root (sandboxed hosts)")
    stage, build = Path(a.stage).resolve(), Path(a.build).resolve()
    top = tempfile.mkdtemp(prefix="vkgroupbench.")
    names = [f"parvix{i}" for i in range(1, a.members + 1)]
    large = -(-a.scale // a.members)
    try:
        print(f"building a group of {a.members} hosts ...", file=sys.stderr, flush=True)
        g = Group(host_maker(top, stage, build)[0], names=names, members=True)
        try:
            populate(g, a.sessions)
            print(f"measuring, {a.runs} runs each ...", file=sys.stderr, flush=True)
            small = figures(measure(g, a.runs))
            if small["lines"] != a.members * a.sessions:
                raise RuntimeError(f"vkgroup listed {small['lines']} sessions, not {a.members * a.sessions}")
            print(f"{a.members * large} sessions ...", file=sys.stderr, flush=True)
            populate(g, large)
            big = scale(g, a.runs)
            if big["lines"] != a.members * large:
                raise RuntimeError(f"vkgroup listed {big['lines']} sessions, not {a.members * large}")
        finally:
            g.stop()
    finally:
        shutil.rmtree(top, ignore_errors=True)
    ok = report(a.members, a.sessions, large, small, big)
    if a.json:
        Path(a.json).write_text(json.dumps({"small": small, "large": big}, indent=1) + "\n")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
