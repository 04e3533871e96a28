"""vkgroup across a failover group of sandboxed hosts, each with a real sshd: the whole group
listed in one command, members that are down, cut off, hung or hostile, the -a rule across
members, suspend and resume read back, the members file, and the metrics."""
import json
import re
import subprocess
import time
from concurrent.futures import ThreadPoolExecutor

from conftest import SLACK, VKSESSION, _build_path
from group import FIELDS, MEMBERS, VKGROUP, calls, line_of, metric_samples, noting, pwned, status_field
from sessions import (ALICE, BOB, client, outcome, plant, running, sleeper, start, states, timed, tree,
                      wait_for)

NO_MEMBERS = f"vkgroup: {MEMBERS}: no such file; asking this host only\n"


def record(line):
    """A record line as a dict (NULL as None)."""
    return {k: None if v == "NULL" else v for k, v in (f.split("=", 1) for f in line.rstrip("\n").split(";"))}


def servers(r):
    return [record(x)["SERVER"] for x in r.out.splitlines()]


# ---- every member up ---------------------------------------------------------------------------

def test_every_member_in_one_table_in_records_in_json_and_in_metrics(make_group):
    g = make_group("parvix1", "parvix2", "parvix3")
    # alice on every host, bob on parvix2; raw tokens ordered otherwise than the tokens.
    h1, h2, h3 = g.hosts.values()
    for h, disp, token, raw, uid in [(h1, "1", "tokA", "raw5", ALICE), (h2, "1", "tokB", "raw2", BOB),
                                     (h2, "2", "tokC", "raw1", ALICE), (h3, "4", "tokD", "raw3", ALICE)]:
        plant(h, disp, token, raw, proc=client(sleeper(h, uid), uid))
    expected = [record(x) for h in (h1, h2, h3) for x in h.vksession("-p", "-x").out.splitlines()]
    assert [d["TOKEN"] for d in expected] == ["tokA", "tokC", "tokB", "tokD"]   # by raw token

    r = g.vkgroup("list", "-x")
    assert (r.rc, r.err, r.out) == (0, "", "".join(line_of(d) for d in expected))
    r = g.vkgroup("list", "-j")
    got = [json.loads(x) for x in r.out.splitlines()]
    # No limits run has measured anything yet.
    times = {"disconnected_seconds": None, "idle_seconds": None}
    assert (r.rc, r.err, got, list(got[0])) == (0, "", [{**d, **times} for d in expected], [*FIELDS, *times])
    r = g.vkgroup("list")
    assert (r.rc, r.err, r.out.splitlines()) == (0, "", [
        "", f"{'Token ID':<30} {'Registered Name':<20} {'Unix ID':<10} Disp State Disconnected Server",
        f"{'-' * 30} {'-' * 20} {'-' * 10} ---- ----- {'-' * 12} ------",
        *(f"{raw:<30} {'???':<20} {user:<10} {disp:<4} {'D':<5} {'-':<12} {server}"
          for raw, user, disp, server in
          [("raw5", "alice", "1", "parvix1"), ("raw1", "alice", "2", "parvix2"),
           ("raw2", "bob", "1", "parvix2"), ("raw3", "alice", "4", "parvix3")])])

    # Filters as vksession reads them (each filter against a member's answer: the test of
    # members' answers below); servers named on the command line (their spelling and order:
    # the unit tests of the members).
    for args, tokens in [(["-t", "TOKC"], ["tokC"]), (["-u", "alice", "-d", "1"], ["tokA"]),
                         (["-d", "1", "parvix1"], ["tokA"])]:
        r = g.vkgroup("list", "-x", *args)
        assert (r.rc, r.err, [record(x)["TOKEN"] for x in r.out.splitlines()]) == (0, "", tokens), args
    r = g.vkgroup("list", "-u", "nobody")
    assert (r.rc, r.err, len(r.out.splitlines())) == (0, "", 3)   # the header alone

    # The metrics pass promtool and are written atomically; a member down has none.
    g.stop_sshd("parvix3")
    r = g.vkgroup("metrics")
    assert r.rc == 1 and r.err.splitlines()[0].startswith("vkgroup: parvix3: cannot reach: ")
    check = subprocess.run(["promtool", "check", "metrics"], input=r.out, capture_output=True, text=True)
    assert check.returncode == 0, check.stdout + check.stderr
    samples = metric_samples(r.out)
    assert [samples.get(k) for k in ('vk_sessions{server="parvix2",state="disconnected"}',
            'vk_sessions{server="parvix1",state="connected"}', 'vk_group_member_up{server="parvix3"}',
            'vk_sessions{server="parvix3",state="idle"}')] == ["2", "0", "0", None]
    assert float(samples['vk_group_member_seconds{server="parvix2"}']) > 0
    # The limits' figures come from each member's own dry run, through the gate.
    assert [samples.get(k) for k in ('vk_sessions_ended_total{server="parvix2",limit="idle"}',
            'vk_sessions_over_limit{server="parvix2",limit="lifetime"}',
            'vk_sessions_over_limit{server="parvix3",limit="idle"}')] == ["0", "0", None]
    out = "/var/opt/textfile/vkgroup.prom"
    g.h1.path("/var/opt/textfile").mkdir()
    r = g.vkgroup("metrics", "-o", out)
    assert (r.rc, r.out, [p.name for p in g.h1.path(out).parent.iterdir()]) == (1, "", ["vkgroup.prom"])
    assert oct(g.h1.path(out).stat().st_mode & 0o777) == "0o644"
    # (What a write that fails or is killed half-way leaves: the unit tests of the file writer.)
    assert g.h1.path(out).read_text().splitlines()[0].startswith("# HELP vk_sessions ")
    r = g.vkgroup("metrics", "-o", "/nonexistent/dir/x.prom", "parvix1")
    assert (r.rc, r.out) == (3, "") and "/nonexistent/dir/x.prom" in r.err


# ---- members that cannot answer --------------------------------------------------------------

# Starts a program with SIGTERM and SIGHUP blocked and SIGINT and SIGQUIT ignored, as a
# caller may (a service that takes its signals with sigwait, a shell's background job).
BLOCKING = ("import os, signal, sys\n"
            "signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGTERM, signal.SIGHUP])\n"
            "signal.signal(signal.SIGINT, signal.SIG_IGN)\n"
            "signal.signal(signal.SIGQUIT, signal.SIG_IGN)\n"
            "os.execv(sys.argv[1], sys.argv[1:])\n")


def test_members_down_cut_off_or_hung_are_reported_and_the_rest_is_listed(make_group):
    g = make_group("parvix1", "parvix2", "parvix3", "parvix4", "parvix5")
    for n in g.names:
        plant(g.hosts[n], "1", f"tok-{n}", f"raw-{n}")
    g.stop_sshd("parvix3")
    g.cut("parvix4")
    g.hosts["parvix5"].write(VKSESSION, "#!/bin/sh\nexec sleep 1000\n", 0o755)   # never ends
    g.h1.write("/root/blocking.py", BLOCKING)
    began = time.monotonic()
    with ThreadPoolExecutor(1) as pool:
        run = pool.submit(g.h1.run, ["/usr/bin/python3", "/root/blocking.py", VKGROUP, "list", "-x",
                                     "-w", "8"])
        # Whatever the caller blocked or ignored, the calls start with no signal blocked or
        # ignored: the member's query process (the vkgroup that started a call) and what it
        # runs. (Signals 1 to 31 only: the C library keeps its own real-time signals as it sees
        # fit; sh blocks signals of its own while it waits for vkrcmd: only what it ignores
        # counts.) A process caught in the moment of a fork has every signal blocked, or has
        # not set its signals yet: what counts is a mask that stays.
        def masks():
            calls_ = [p for p in g.calls_running() if p.comm in ("sh", "vkrcmd")]
            starters = {status_field(p.hostpid, "PPid") for p in calls_}
            queries = [p for p in g.processes() if p.comm == "vkgroup" and p.hostpid in starters]
            return queries and calls_ and {
                (0 if p.comm == "sh" else status_field(p.hostpid, "SigBlk", -1),
                 status_field(p.hostpid, "SigIgn", -1) & 0x7fffffff) for p in queries + calls_}
        wait_for(lambda: masks() == {(0, 0)}, timeout=7, what="calls with no signal blocked or ignored")
        r = run.result()
    assert 8 <= time.monotonic() - began < 8 + 2 + SLACK
    err = r.err.splitlines()
    assert (r.rc, servers(r), len(err)) == (1, ["parvix1", "parvix2"], 3), r
    assert err[0] == "vkgroup: parvix3: cannot reach: ssh: connect to host parvix3 port 22: Connection refused"
    assert re.fullmatch(r"vkgroup: parvix4: cannot reach: ssh: connect to host parvix4 port 22: "
                        r"(Connection timed out|No route to host)", err[1]), err[1]
    assert err[2] == "vkgroup: parvix5: no answer within 8 s"
    # Nothing of the hung call is left, and its shared connection is closed.
    assert g.calls_running() == []
    assert all("parvix5" not in p.args for p in g.processes("parvix1") if p.comm == "ssh")

    # Without the hung member, the listing ends within the connect timeout + 2 s.
    r, took = timed(g.vkgroup, "list", "-x", "parvix1", "parvix2", "parvix3", "parvix4")
    assert took < 5 + 2 + SLACK
    assert r.rc == 1 and len(r.out.splitlines()) == 2 and len(r.err.splitlines()) == 2


# ---- hostile answers --------------------------------------------------------------------------

# Shell metacharacters and a byte that is no UTF-8 (control characters are refused in a
# filter of the command line, not in a record).
EVIL = b"$(touch /tmp/pwn1)`touch /tmp/pwn2`'\"|&<>*?!#~\\ \xc3(".decode("utf-8", "surrogateescape")


def hostile(h, answer):
    """vksession of `h` answers a listing with `answer` and notes every call's words."""
    h.write(VKSESSION, noting('case "$1" in -p) cat /tmp/answer;; esac\n'), 0o755)
    h.write("/tmp/answer", answer.encode("utf-8", "surrogateescape"))


def test_hostile_members_cannot_forge_break_the_output_or_steer_an_action(make_group):
    g = make_group("parvix1", "parvix2", "parvix3", "parvix4", "parvix5")
    fields = {k: f"{k}-{EVIL}" for k in FIELDS}
    fields.update(STATE="0", SERVER="parvix3", uid="uid-\x1b[2J" + EVIL)
    hostile(g.hosts["parvix2"], line_of(fields))
    hostile(g.hosts["parvix3"], "INSERT_TOKEN=x;TOKEN=x;DISPLAY=1;TermList=" + "t" * 70000 + "\n")
    hostile(g.hosts["parvix4"], "Last login: yesterday\n" + line_of({**fields, "SERVER": "parvix4"}))
    plant(g.hosts["parvix5"], "7", "tokE", "rawE")
    failures = ["vkgroup: parvix3: answered a line longer than 65536 bytes",
                "vkgroup: parvix4: answered something other than record lines: Last login: yesterday"]

    r = g.vkgroup("list", "-j")
    assert r.rc == 1
    assert r.err.splitlines() == [
        "vkgroup: parvix2: warning: a record names another server (parvix3); taken as parvix2's own",
        *failures]
    # Valid JSON whatever the bytes: a byte that is no UTF-8 becomes U+FFFD.
    got = [json.loads(x) for x in r.out.splitlines()]
    shown = EVIL.replace("\udcc3", "\ufffd")
    assert [x["SERVER"] for x in got] == ["parvix2", "parvix5"]
    assert [got[0][k] for k in ("TOKEN", "uid", "STATE")] == ["TOKEN-" + shown, "uid-\x1b[2J" + shown, "0"]
    r = g.vkgroup("list")
    assert "\x1b" not in r.out and "parvix3" not in r.out and "uid-?[2J$(touch" in r.out

    # Acting on it goes to parvix2, the member that answered, each value one word there.
    for h in g.hosts.values():
        calls(h)
    r = g.vkgroup("terminate", "-a", "-t", f"TOKEN-{EVIL}", "parvix2", "parvix3")
    assert (r.rc, r.err.splitlines()[1:]) == (1, failures[:1])
    assert r.out.startswith("parvix2 DISPLAY-$(touch") and r.out.endswith(": done\n"), r
    assert calls(g.hosts["parvix2"]) == [
        ["-p", "-x", "-t", f"TOKEN-{EVIL}"],
        ["-k", "-x", "-t", f"TOKEN-{EVIL}", "-u", f"uid-\x1b[2J{EVIL}", "-d", f"DISPLAY-{EVIL}"]]
    assert calls(g.hosts["parvix3"]) == [["-p", "-x", "-t", f"TOKEN-{EVIL}"]]  # never acted on
    assert pwned(*g.hosts.values()) == []


# What the library reads of a member's answer at most (VK_MAX_REMOTE_ANSWER).
MAX_ANSWER = 16 << 20
SANITIZED = "VK_SANITIZE:BOOL=ON" in (_build_path("VK_BUILD") / "CMakeCache.txt").read_text()
# Runs a command and prints, after its output, the largest resident set (KiB) that it or any
# process under it reached: the kernel keeps the largest of every waited-for descendant.
PEAK = ("import resource, subprocess, sys\n"
        "r = subprocess.run(sys.argv[1:])\n"
        "print('peak', resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, r.returncode)\n")


def answer_of(n, last_extra=0):
    """n record lines of 256 bytes each, displays 1 to n; the last one `last_extra` longer."""
    lines = []
    for i in range(1, n + 1):
        head = f"INSERT_TOKEN=r{i:07d};TOKEN=t{i:07d};uid=alice;STATE=1;DISPLAY={i};SERVER=parvix2;TermList="
        lines.append(head + "x" * (255 - len(head) + (last_extra if i == n else 0)) + "\n")
    return "".join(lines)


def test_a_members_answer_is_filtered_again_escaped_for_a_terminal_and_bounded(make_group):
    g = make_group()
    n1, p1 = start(g.h1, "alice", "tokA", "rawA")
    # parvix2 answers every search with the same session, which no filter below selects: it
    # must not count as a match, nor make an action without -a fail for "2 sessions match".
    hostile(g.h2, line_of(dict(INSERT_TOKEN="rawZ", TOKEN="tokZ", uid="bob", STATE="1", DISPLAY="5",
                               SERVER="parvix2")))
    for args in (["-t", "tokA"], ["-t", "RAWA"], ["-u", "alice"], ["-u", "1001"], ["-d", n1],
                 ["-u", "alice", "-t", "tokA", "-d", n1]):
        r = g.vkgroup("list", "-x", *args)
        assert (r.rc, r.err, servers(r)) == (0, "", ["parvix1"]), args
    for args in (["-u", "bob", "-d", n1], ["-t", "tokZ", "-u", "alice"], ["-d", "5", "-t", "tokA"]):
        r = g.vkgroup("list", "-x", *args)
        assert (r.rc, r.err, r.out) == (0, "", ""), args
    r = g.vkgroup("terminate", "-t", "tokA")
    assert (r.rc, r.err, r.out) == (0, "", f"parvix1 {n1} rawA: done\n")
    assert [c[0] for c in calls(g.h2)] == ["-p"] * 10     # never acted on
    wait_for(lambda: not running(g.h1, [p1["pid"]]), what="the session's end")

    # Records to a terminal are escaped, to a pipe exact (what is escaped, and how: the unit
    # tests of the texts).
    fields = dict(INSERT_TOKEN="raw\x1b]0:owned\x07", TOKEN="tokA", STATE="1", DISPLAY="7",
                  SERVER="parvix2")
    hostile(g.h2, line_of(fields))
    piped = g.vkgroup("list", "-x", "parvix2")
    assert (piped.rc, piped.err, piped.out) == (0, "", line_of(fields))
    # The same through a terminal: script(1) gives vkgroup a pty as its standard output.
    r = g.h1.run(["/usr/bin/script", "-qec", f"{VKGROUP} list -x parvix2", "/dev/null"])
    assert r.rc == 0 and r.out == line_of(fields).replace("\n", "\r\n").replace("raw\x1b]0:owned\x07",
                                                                                 "raw\\x1b]0:owned\\x07")

    plant(g.h1, "7", "tokA", "rawA")
    # At the bound, every record is taken; one byte more, and the member's answer is not.
    hostile(g.h2, answer_of(MAX_ANSWER // 256))
    r = g.vkgroup("list", "-x", "parvix2")
    assert (r.rc, r.err, len(r.out.splitlines())) == (0, "", MAX_ANSWER // 256)
    hostile(g.h2, answer_of(MAX_ANSWER // 256, last_extra=1))
    r = g.vkgroup("list", "-x", "parvix2")
    assert (r.rc, r.err, r.out) == (1, "vkgroup: parvix2: answer too large\n", "")

    # 512 MiB of well-formed records: reading stops at the bound, and no process of the
    # command grows far past it (the sanitizers' shadow memory and quarantine aside).
    line = answer_of(1)
    g.h2.write(VKSESSION, f"#!/bin/sh\ncase \"$1\" in -p) yes '{line[:-1]}' | head -c {512 << 20};; esac\n", 0o755)
    g.h1.write("/root/peak.py", PEAK)
    for args in (["list", "-x"], ["metrics"]):
        r, took = timed(g.h1.run, ["/usr/bin/python3", "/root/peak.py", VKGROUP, *args])
        assert took < 15 + SLACK
        *out, last = r.out.splitlines()
        word, peak_kib, rc = last.split()
        assert (word, rc, r.err) == ("peak", "1", "vkgroup: parvix2: answer too large\n"), r
        assert int(peak_kib) < (256 if SANITIZED else 64) * 1024, args
        if args[0] == "list":
            assert [record(x)["SERVER"] for x in out] == ["parvix1"]
        else:
            assert 'vk_group_member_up{server="parvix2"} 0' in out


# ---- the -a rule across members ---------------------------------------------------------------

def test_actions_need_all_for_more_than_one_match_and_are_read_back(make_group):
    g = make_group()
    h1, h2 = g.h1, g.h2
    n1, p1 = start(h1, "alice", "tokA", "rawA")
    n2, p2 = start(h2, "alice", "tokB", "rawB")
    assert n1 == n2   # the same display on both hosts: only the server tells them apart
    mine, theirs = tree(h1, p1["pid"]), tree(h2, p2["pid"])
    r = g.vkgroup("terminate", "-u", "alice")
    assert (r.rc, r.out, r.err) == (1, "", f"vkgroup: 2 sessions match; nothing was done:\n  parvix1 {n1} "
                                    f"rawA\n  parvix2 {n2} rawB\nvkgroup: use -a to act on all of them, or "
                                    "more filters\n")
    assert running(h1, mine + [p1["server_pid"]]) and running(h2, theirs + [p2["server_pid"]])
    assert outcome(g.vkgroup("terminate", "-u", "nobody")) == (1, "", "vkgroup: No session found!\n")
    r = g.vkgroup("suspend", "-d", n1, "parvix1")   # this host's: the user is told, then it stops
    assert (r.rc, r.err, r.out) == (0, "", f"parvix1 {n1} rawA: done\n")
    wait_for(lambda: states(h1, mine) == ["T"] * 3, what="the stop")
    assert running(h2, theirs)
    assert [x.ident for x in h1.log()].count("vkwall") == 1
    # Resume over ssh: the far side's warning does not hide the outcome.
    r = g.vkgroup("suspend", "-t", "tokB")
    assert (r.rc, r.err, r.out) == (0, "", f"parvix2 {n2} rawB: done\n")
    wait_for(lambda: states(h2, theirs) == ["T"] * 3, what="the far stop")
    r = g.vkgroup("resume", "-t", "rawB")
    assert (r.rc, r.err, r.out) == (0, "", f"parvix2 {n2} rawB: done\n")
    wait_for(lambda: running(h2, theirs), what="the far session's resumption")
    r = g.vkgroup("terminate", "-a", "-u", "alice")
    assert (r.rc, r.err, r.out) == (0, "", f"parvix1 {n1} rawA: done\nparvix2 {n2} rawB: done\n")
    for h, p in ((h1, mine + [p1["server_pid"]]), (h2, theirs + [p2["server_pid"]])):
        wait_for(lambda: states(h, p) == ["-"] * len(p), what="the sessions' end")
    # A suspension that fails over there: the client runs another program than recorded.
    plant(h2, "9", "tokZ", "rawZ", proc=client(sleeper(h2), program="xclock"))
    r = g.vkgroup("suspend", "-t", "tokZ")
    assert (r.rc, r.err, r.out) == (1, "", "parvix2 9 rawZ: failed (Internal system error (-1))\n")


# ---- the members file ------------------------------------------------------------------------

def test_the_members_file(make_group):
    g = make_group()
    plant(g.h1, "1", "tokA", "rawA")
    # A bad line (its parse is checked in the unit tests) fails every group-wide command
    # before any member is asked.
    g.h1.write(MEMBERS, "parvix2\n-oProxyCommand=touch /tmp/pwn1\n")
    for args in (["list"], ["metrics"], ["terminate", "-a", "-d", "1"]):
        r = g.vkgroup(*args)
        assert (r.rc, r.out, r.err) == (
            2, "", f"vkgroup: {MEMBERS}:2: not a host name: -oProxyCommand=touch /tmp/pwn1\n"), args
    assert g.accepted("parvix2") == 0 and g.h1.path("/var/opt/KELWvk/displays/1").exists()
    g.h1.path(MEMBERS).unlink()
    r = g.vkgroup("list", "-x")
    assert (r.rc, r.err, servers(r)) == (0, NO_MEMBERS, ["parvix1"])


USAGE = [["list", "-x", "-j"], ["list", "-w", "0"], ["list", "-P", "x"], ["list", "-u", ""],
         ["list", "-d", "1" * 119], ["list", "-t", "a\nb"], ["list", "-o", "f"], ["terminate"],
         ["terminate", "-a"], ["resume", "-x", "-u", "alice"], ["metrics", "-u", "alice"],
         ["list", "-u", "a", "-u", "b"], ["frobnicate"], [], ["list", "bad_host"]]


def test_usage_errors(host):
    for args in USAGE:
        r = host.run([VKGROUP, *args])
        assert (r.rc, r.out, r.err.startswith("vkgroup: ")) == (2, "", True), args
        assert "usage: vkgroup list" in r.err, args
    r = host.run([VKGROUP, "-h"])
    assert (r.rc, r.err) == (0, "") and r.out.startswith("usage: vkgroup list")
