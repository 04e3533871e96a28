"""The session limits, notices and the group-wide dry run on hosts with the authentication manager."""
import json
import os
import re
import signal
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import SLACK
from group import authd, metric_samples
from sessions import ALICE, DISPLAYS, PROCS, STAMP, client, outcome, plant, sleeper, start, timed

LIMITS = "/etc/opt/KELWvk/group/limits.conf"
OBSERVED = "/var/opt/KELWvk/group/observed"


@pytest.fixture
def group(make_group):
    return make_group()


def limits(h, text):
    h.write(LIMITS, text, 0o644)


def enforce(h):
    return h.run(["/opt/KELWvk/sbin/vkgroup", "limits", "--enforce"])


def session(h, disp, token, uid=ALICE, age=0):
    """A session whose client is a real process, its files `age` seconds older than planted ones."""
    p = sleeper(h, uid)
    plant(h, disp, token, "raw" + token, proc=client(p, uid))
    for f in (DISPLAYS + disp, PROCS + disp):
        t = h.path(f).stat().st_mtime - age
        os.utime(h.path(f), (t, t))
    return p


def displays(h):
    return sorted(x.split(";DISPLAY=")[1].split(";")[0] for x in h.vksession("-p", "-x").out.splitlines())


def ended_lines(h):
    return [x for x in h.lines() if "limits:" in x and "session of display" in x]


def test_disconnected_sessions_end_after_their_limit_never_before_and_never_when_exempt(group):
    h = group.h1
    limits(h, "disconnected = 3s\nexempt-user = bob\n")
    session(h, "3", "tokA")
    session(h, "4", "tokB")                      # connected: the manager reports its token
    session(h, "5", "tokC", 1002)         # exempt
    authd(h, ["terminalCID=term1", "tokenName=tokB"])
    assert outcome(enforce(h)) == (0, "", "")   # first sighting: the clock starts now
    time.sleep(1)
    assert enforce(h).rc == 0 and displays(h) == ["3", "4", "5"]
    time.sleep(2.5)
    r = enforce(h)
    assert (r.rc, r.err, r.out) == (0, "",
                                    "display 3, token rawtokA, user alice: ended (disconnected limit)\n")
    assert displays(h) == ["4", "5"]
    logged = ended_lines(h)
    assert len(logged) == 1 and "display 3" in logged[0] and "disconnected limit" in logged[0]

    # The metrics count it, and the exempt session is over its limit but not counted.
    samples = metric_samples(group.vkgroup("metrics", "parvix1").out)
    assert [samples[f'vk_sessions_{k}{{server="parvix1",limit="disconnected"}}']
            for k in ("ended_total", "over_limit")] == ["1", "0"]

    # What the dry run shows for what is left: the exempt one says so.
    r = group.vkgroup("limits", "-j", "parvix1")
    rows = {x["DISPLAY"]: x for x in map(json.loads, r.out.splitlines())}
    assert r.rc == 0 and set(rows) == {"4", "5"}
    assert rows["5"]["note"] == "exempt-user" and rows["5"]["disconnected_seconds"] >= 3
    assert rows["4"]["disconnected_seconds"] is None and rows["4"]["limit"] is None
    table = group.vkgroup("list", "parvix1").out.splitlines()
    shown = [x.split()[-2] for x in table[3:]]            # the Disconnected column
    assert shown[0] == "-" and re.fullmatch(r"[3-9]s", shown[1]), table

    # Suspending as the action: the session over its limit is suspended, once.
    limits(h, "disconnected = 3s\naction = suspend\nexempt-user = bob\n")
    session(h, "6", "tokD")
    assert enforce(h).rc == 0
    time.sleep(3.5)
    r = enforce(h)
    assert (r.rc, r.out) == (0, "display 6, token rawtokD, user alice: suspended (disconnected limit)\n"), r
    assert h.vksession("-p", "-d", "6").out.splitlines()[3].split()[4] == "DS"
    assert (enforce(h).out, displays(h)) == ("", ["4", "5", "6"])


def test_runs_that_must_not_act_and_runs_at_once(group):
    h = group.h1
    limits(h, "disconnected = 2s\n")
    for d in ("3", "4"):
        session(h, d, "tok" + d)
    authd(h)
    assert enforce(h).rc == 0
    # Without the manager every session would look disconnected: nothing is measured or ended.
    for p in group.processes("parvix1"):
        if p.comm == "vkauthd":
            os.kill(p.hostpid, signal.SIGKILL)
    time.sleep(2.5)
    for _ in range(2):
        r = enforce(h)
        assert r.rc == 1 and "authentication manager" in r.err and r.out == ""
        assert displays(h) == ["3", "4"]
    assert any("authentication manager" in x for x in h.lines())
    # The manager back: the time counts from then, not from the first sighting.
    authd(h)
    assert enforce(h).rc == 0 and displays(h) == ["3", "4"]
    # More sessions due than max-per-run: none is ended.
    limits(h, "disconnected = 2s\nmax-per-run = 1\n")
    time.sleep(2.5)
    r = enforce(h)
    assert r.rc == 1 and "max-per-run (1): none is ended" in r.err and displays(h) == ["3", "4"]
    # Cut the state file mid-write: the times restart, nothing ends early.
    text = h.path(OBSERVED).read_text()
    h.write(OBSERVED, text[: len(text) // 2], 0o600)
    limits(h, "disconnected = 2s\nmax-per-run = 2\n")
    r = enforce(h)
    assert (r.rc, r.out, displays(h)) == (0, "", ["3", "4"]), r
    time.sleep(2.5)
    # Runs at once end each session once: a run that finds another one at work says so and
    # does nothing.
    with ThreadPoolExecutor(4) as pool:
        runs = list(pool.map(lambda _: enforce(h), range(4)))
    assert displays(h) == [] and len(ended_lines(h)) == 2
    assert all(r.rc == 0 or "another run of the limits holds" in r.err for r in runs)


def test_a_lifetime_end_comes_after_the_notice_on_the_display(group):
    h = group.h1
    limits(h, "lifetime = 4s\nwarn = 3s\nwarn-text = Ends at %T (in %R).\n")
    disp, _ = start(h, "alice", "tokA", "rawA")               # connected: noticed first
    session(h, "40", "tokB", age=1000)                         # disconnected: ended at once
    session(h, "41", "tokC", age=STAMP - time.time())  # disconnected, started now: not yet
    authd(h, ["terminalCID=term1", "tokenName=tokA"])
    time.sleep(1.5)
    r = enforce(h)
    assert r.rc == 0 and displays(h) == [disp, "41"], r
    assert f"display {disp}, token rawA, user alice: warned (lifetime limit)" in r.out
    assert "display 40, token rawtokB, user alice: ended (lifetime limit)" in r.out
    notices = [x.msg for x in h.log() if x.ident == "vkwall"]
    assert len(notices) == 1 and notices[0].startswith(f"message to display :{disp}: Ends at ")
    # (That the message tool's notice is a window on the display: test_session_control.py.)
    assert "(in 3s)" in notices[0], notices
    assert enforce(h).rc == 0 and displays(h) == [disp, "41"]  # not before the notice's time
    time.sleep(3.5)
    assert enforce(h).rc == 0 and displays(h) == []
    assert [x.ident for x in h.log()].count("vkwall") == 1


def test_a_notice_reaches_exactly_the_chosen_displays_across_the_group(group):
    h1, h2 = group.h1, group.h2
    d1, _ = start(h1, "alice", "tokA", "rawA")
    d2, _ = start(h2, "alice", "tokA", "rawA2")
    start(h2, "bob", "tokB", "rawB")
    # (The text's cleaning and its bound of 64 KiB: the unit tests of the notice.)
    text = "Server restarts at six.\nSave your work."
    # (More than one match without -a is refused by the same rule as every action's: test_group.py.)
    r = group.vkgroup("notify", "-a", "-t", "tokA", input=text)
    assert (r.rc, r.err) == (0, ""), r
    assert r.out == f"parvix1 {d1} rawA: done\nparvix2 {d2} rawA2: done\n"
    for h, d in ((h1, d1), (h2, d2)):
        shown = [x.msg for x in h.log() if x.ident == "vkwall"]
        assert shown == [f"message to display :{d}: Server restarts at six. / Save your work."], shown
    assert group.vkgroup("notify", "-t", "tokA", "parvix3", input="hello").rc == 1
    r = group.vkgroup("notify", "-a", input="\x01\x02\n")
    assert r.rc == 2 and "no text on standard input" in r.err


def far_vkgroup(h, script):
    h.write("/opt/KELWvk/sbin/vkgroup", "#!/bin/sh\n" + script, 0o755)


def test_the_group_wide_dry_run_goes_through_the_gate_changes_nothing_and_no_member_speaks_for_another(
        make_group):
    # The dry run makes calls of its own (not the listing's), with the same deadline.
    g = make_group(*(f"parvix{i}" for i in range(1, 7)))
    h1, h2 = g.h1, g.h2
    for h in (h1, h2):
        limits(h, "idle = 1h\n")
        session(h, "3", "tokA")
        authd(h)
    h2.write("/var/opt/KELWvk/idle/3.pid", "")
    assert enforce(h2).rc == 0
    # parvix3 claims parvix1's session, long disconnected and due; parvix4 never ends;
    # parvix5 is down; parvix6 answers garbage.
    claim = "S\t3\trawtokA\trawtokA\talice\t1\t-\t99999\t-\tdisconnected:60\t1\tended"
    far_vkgroup(g.hosts["parvix3"], f"printf '%s\\n' '{claim}' 'C\t0\t0\t0'\n")
    far_vkgroup(g.hosts["parvix4"], "exec sleep 1000\n")
    g.stop_sshd("parvix5")
    far_vkgroup(g.hosts["parvix6"], "echo 'Last login: yesterday'\n")
    time.sleep(1.1)
    r, took = timed(g.vkgroup, "limits", "-j", "-w", "6")
    assert took < 6 + 2 + SLACK
    rows = [json.loads(x) for x in r.out.splitlines()]
    assert r.rc == 1 and [(x["SERVER"], x["DISPLAY"]) for x in rows] == [
        ("parvix1", "3"), ("parvix2", "3"), ("parvix3", "3")]
    near, far = rows[:2]
    assert (far["limit"], far["limit_seconds"], near["idle_seconds"], near["disconnected_seconds"]) == (
        "idle", 3600, None, None)
    assert far["idle_seconds"] >= 1 and 3590 - 5 <= far["ends_in_seconds"] <= 3599
    err = r.err.splitlines()
    assert len(err) == 3 and err[0].startswith("vkgroup: parvix4: no answer within 6 s"), err
    assert err[1].startswith("vkgroup: parvix5: cannot reach: "), err
    assert err[2] == "vkgroup: parvix6: answered something other than limit records: Last login: yesterday"
    assert not h1.path(OBSERVED).exists() and displays(h1) == ["3"]     # a dry run changes nothing
    r = g.vkgroup("limits", "parvix1", "parvix2")
    assert r.rc == 0 and "idle 1h 00m" in r.out and "59m" in r.out
    # The listing shows the same measured times, each member's own (what parvix3 said of "its"
    # display 3 is not parvix1's); its records stay as they are.
    r = g.vkgroup("list", "-j", "parvix1", "parvix2", "parvix3")
    assert [(x["SERVER"], x["idle_seconds"] is not None, x["disconnected_seconds"] is not None)
            for x in map(json.loads, r.out.splitlines())] == [
        ("parvix1", False, False), ("parvix2", True, True)]
    assert "idle_seconds" not in g.vkgroup("list", "-x", "parvix1", "parvix2").out
