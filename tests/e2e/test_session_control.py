"""Suspend, resume and terminate: real and planted sessions, the checks made before
acting, and session files written to make root run or hit something else."""
import os
import signal
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import DEPRECATED, SLACK
from sessions import (ALICE, BOB, CTOKENS, DISPLAYS, NAME, PROCS, PSTOP, client, error, failed, outcome,
                      plant, record, row, running, sleeper, start, states, table, timed, tree, wait_for)

NOTICE = ("message to display :{}: Your session has been suspended. / "
          "Please contact your Administrator immediately.")


def x(xmode):
    return ["-x"] if xmode else []


def notices(h):
    return [r.msg.rstrip("\n") for r in h.log() if r.ident == "vkwall"]


def exist(h, n, token=None):
    """Whether the session files of display `n` (and its token's copy) exist."""
    return [h.path(p).exists() for p in [DISPLAYS + n, PROCS + n] + ([CTOKENS + token] if token else [])]


def test_suspend_notifies_waits_and_stops_the_tree_then_resume(host):
    n, proc = start(host, "alice", "tok1", "raw1")
    pids = tree(host, proc["pid"])
    host.clear_log()
    with ThreadPoolExecutor(1) as pool:
        run = pool.submit(host.vksession, "-s", "-u", "alice")
        wait_for(lambda: notices(host), step=0.005, what="the notice")
        shown = time.monotonic()
        wait_for(lambda: states(host, pids) == ["T"] * 3, timeout=8, step=0.05, what="the stop")
        waited = time.monotonic() - shown
        r = run.result()
    assert (r.rc, r.out, r.err) == (0, "", DEPRECATED)
    # The wait itself is 3 s; what comes after it (the process tree query and
    # the stop command) may take a while more on a loaded machine or under
    # the sanitizers, but nothing may stop the tree early.
    assert 2.9 < waited < 7.5 + SLACK
    assert notices(host) == [NOTICE.format(n)]
    windows = host.run(["/usr/bin/xwininfo", "-root", "-tree", "-display", f":{n}"]).out
    assert '"xmessage"' in windows
    assert host.vksession("-p", "-u", "alice").out == table(row("raw1", "alice", n, "DS"))

    # Suspended already: no notice, no wait, nothing changes.
    host.clear_log()
    started = time.monotonic()
    assert (host.vksession("-s", "-d", n).rc, notices(host)) == (0, [])
    assert time.monotonic() - started < 2 + SLACK and states(host, pids) == ["T"] * 3

    for _ in range(2):  # the second resume finds nothing to do
        assert outcome(host.vksession("-r", "-u", "alice")) == (0, "", DEPRECATED)
        assert running(host, pids)
    assert host.vksession("-p", "-d", n).out == table(row("raw1", "alice", n, "D"))


@pytest.mark.parametrize("stype", ["DEFAULT", "kiosk"])
def test_terminate_continues_a_stopped_session_first(host, stype):
    n, proc = start(host, "alice", "tok1", "raw1", stype=stype)
    other, other_proc = start(host, "bob", "tok2", "raw2")
    pids, bystanders = tree(host, proc["pid"]), tree(host, other_proc["pid"])
    assert host.run([PSTOP, *pids]).rc == 0
    wait_for(lambda: states(host, pids) == ["T"] * 3)
    host.clear_log()

    assert outcome(host.vksession("-k", "-d", n)) == (0, "", "")
    wait_for(lambda: states(host, [proc["server_pid"]]) == ["-"], what="the X server's end")
    killer_ran = any(rec.ident == "vksessionkill" for rec in host.log())
    if stype == "DEFAULT":     # the session killer, whatever the letter case
        assert killer_ran and states(host, pids) == ["-"] * 3
    else:                      # SIGTERM to the X server alone
        assert not killer_ran and running(host, pids)
    assert exist(host, n, "tok1") == [stype != "DEFAULT"] * 3
    assert running(host, bystanders + [other_proc["server_pid"]])
    assert exist(host, other, "tok2") == [True] * 3


def test_more_than_one_match_needs_all_and_a_client_must_be_its_program(host):
    # Two sessions of alice (the second stopped) and one of bob (stopped),
    # whose client runs another program than the one recorded.
    clients = [sleeper(host, ALICE), sleeper(host, ALICE, stopped=True), sleeper(host, BOB, stopped=True)]
    for i, c in enumerate(clients, 1):
        plant(host, str(i), f"tok{i}", f"raw{i}",
              proc=client(c, uid=BOB if i == 3 else ALICE, program="xclock" if i == 3 else "sleep"))
    for action in ("-k", "-s", "-r"):
        for xmode, selection in ((False, ["-u", "alice"]), (True, ["-u", "alice"]), (False, [])):
            if action != "-r" and not selection:
                continue  # -k and -s need a filter
            # Two matches (the edge) or three, refused before any notice or wait.
            r, took = timed(host.vksession, action, *x(xmode), *selection, argv0=NAME)
            assert took < 2 + SLACK
            assert (r.rc, r.out, r.err) == (1, "", error(xmode, -6, "more than one session found.  "
                                                         "Use -a or more filter options.", action != "-k"))
    assert notices(host) == []
    # One match is acted on without -a.
    r = host.vksession("-r", "-u", "bob", argv0=NAME)
    assert (r.rc, r.out, r.err) == (1, "", failed(False, -1, "Internal system error", True))
    assert "manage_session(): failed to resume/suspend session, client program name differs (display=3)" \
        in host.lines()
    assert [c.state() for c in clients] == ["S", "T", "T"]
    assert all(exist(host, n) == [True, True] for n in "123")


def test_terminate_all_stops_at_the_first_failure_and_suspend_needs_a_valid_proc_file(host):
    # Every session holds the token "crew"; raw tokens order them 2, 3, 1.
    sessions = [start(host, user, f"t{i}", raw, "/bin/sleep", "1000", stype=stype,
                      tokenset=f"t{i},{raw},crew")
                for i, (user, raw, stype) in enumerate(
                    [("alice", "r-c", None), ("bob", "r-a", None), ("alice", "r-b", "kiosk")], 1)]
    # Session 3's X server program can no longer be found.
    host.write(PROCS + "3", host.path(PROCS + "3").read_text().replace(
        "server_prog=Xvfb", "server_prog=/nonexistent/Xvfb"))
    r = host.vksession("-k", "-a", "-t", "crew", argv0=NAME)
    assert (r.rc, r.out, r.err) == (1, "", f"{NAME} error: Operation failed (Internal system error)\n")
    assert "manage_session(): failed to resolve path for display 3" in host.lines()
    wait_for(lambda: states(host, [sessions[1][1]["server_pid"]]) == ["-"])
    assert states(host, [p for _, k in sessions for p in (k["pid"], k["server_pid"])]) == \
        ["S", "S", "-", "-", "S", "S"]
    assert [host.path(DISPLAYS + n).exists() for n, _ in sessions] == [True, False, True]

    # Suspending needs a valid session proc file; terminating does not.
    gone, _ = start(host, "alice", "tok4", "raw4")
    stale, stale_proc = start(host, "bob", "tok5", "raw5")
    host.path(PROCS + gone).unlink()
    then = int(host.path(DISPLAYS + stale).stat().st_mtime) - 1
    os.utime(host.path(PROCS + stale), (then, then))
    cases = [(gone, False), (gone, True), (stale, False)]
    with ThreadPoolExecutor(3) as pool:     # the 3-second waits of the suspends overlap
        results = list(pool.map(lambda c: host.vksession("-s", *x(c[1]), "-d", c[0], argv0=NAME), cases))
    assert [(r.rc, r.out, r.err) for r in results] == [
        (1, "", failed(xmode, -19, "invalid or missing session proc file", True)) for _, xmode in cases]
    assert running(host, tree(host, stale_proc["pid"]))
    for n, token in ((gone, "tok4"), (stale, "tok5")):
        assert outcome(host.vksession("-k", "-d", n)) == (0, "", "")
        assert exist(host, n, token) == [False] * 3


@pytest.mark.parametrize("server_prog,log", [
    ("/opt/KELWvk/lib/vkxkel", None),        # the server's own pair of names
    ("/usr/bin/xclock", "manage_session(): failed to terminate session, server program name "
                        "differs (display=4) "),
    (None, "manage_session(): failed to get process state for display 4."),
], ids=["vkxkel", "other-program", "no-server-pid"])
def test_terminate_checks_the_x_server_of_other_session_types(make_host, server_prog, log):
    h = make_host(files={"/opt/KELWvk/lib/vkxkel": ("", 0o755)})    # the server's X server
    c = sleeper(h)
    # An X server that runs under the name its vendor gives it.
    server = h.spawn(["/usr/bin/python3", "-c",
                      "import os, time\n"
                      "while not os.path.exists('/tmp/go'): time.sleep(0.01)\n"
                      "open('/proc/self/comm', 'w').write('/usr/marlode/bin/Xkel')\n"
                      "time.sleep(1000)\n"])
    h.write("/tmp/go", "")
    wait_for(lambda: h.run(["/bin/cat", f"/proc/{server.pid}/comm"]).out == "/usr/marlode/bi\n")
    proc = client(c, **(dict(server_pid=server.pid, server_prog=server_prog) if server_prog else {}))
    plant(h, "4", "tok1", "raw1", stype="kiosk", proc=proc)
    r = h.vksession("-k", "-d", "4", argv0=NAME)
    if log is None:
        assert (r.rc, r.out, r.err) == (0, "", "")
        assert server.wait() == -signal.SIGTERM
    else:
        assert (r.rc, r.out, r.err) == (1, "", failed(False, -1, "Internal system error"))
        assert log in h.lines() and server.state() == "S"
    assert c.state() == "S" and exist(h, "4") == [True, True]


# ---- session files written to make root run something or hit a bystander ----------------------

PWN = "touch /tmp/pwned"
PWN_HERE = "touch pwned"      # a file name holds no "/": run from /tmp
NOT_FOUND, INTERNAL, INVALID = (-4, "Object not found"), (-1, "Internal system error"), \
    (-6, "Invalid arguments")


def test_hostile_session_files_reach_no_shell_and_no_bystander(host):
    bystander, clients = sleeper(host, BOB), []

    def proc(pid=None, **keys):
        if pid is None:
            clients.append(pid := sleeper(host).pid)
        return client(pid, **keys)
    kiosk = {"stype": "kiosk"}
    # display name, display file options, session proc keys, Unix ID shown, outcome of -s,
    # outcome of -k (None: success). (Which pids the process look-up refuses before any shell,
    # and its bound, and which display names may reach a shell: their unit tests; one of each
    # here for the way to it.)
    cases = [
        ("11", {}, proc(f"1; kill -STOP {bystander.pid}; {PWN}"), "alice", NOT_FOUND, NOT_FOUND),
        # The client is the session's own and may be stopped; the X server check fails.
        ("21", kiosk, proc(server_pid=f"{bystander.pid}; {PWN}", server_prog="sleep"), "alice", None,
         INTERNAL),
        # No process 99999: ps's header stands in for it, and no program matches it.
        ("31", {}, {**proc(99999), "XID": f"31; {PWN}"}, None, INTERNAL, None),
        ("32", {}, proc(99999, program="COMMAND"), "alice", NOT_FOUND, None),  # no tree to stop
        (f"41; {PWN_HERE}", {}, proc(99999), "alice", INTERNAL, INVALID),
        ("51", {"disp": "../displays/51"}, proc(99999), None, NOT_FOUND, NOT_FOUND),
    ]
    for i, (name, disp, keys, *_) in enumerate(cases):
        plant(host, name, f"tok{i}", f"raw{i}", proc=keys, **disp)

    def act(name):
        return [host.vksession(*a, "-d", name, argv0=NAME, cwd="/tmp")
                for a in (["-p", "-x"], ["-s"], ["-r"], ["-k"])]
    with ThreadPoolExecutor(len(cases)) as pool:     # the suspends' waits overlap
        outcomes = pool.map(act, [c[0] for c in cases])

    def expect(outcome, deprecated):
        return (0, "", DEPRECATED if deprecated else "") if outcome is None else \
            (1, "", failed(False, *outcome, deprecated))
    for (i, (name, disp, _, uid, suspend, kill)), (shown, s, r, k) in zip(enumerate(cases), outcomes):
        # A ";" inside a value would start a field of its own: it is written as "?".
        line = record(f"raw{i}", f"tok{i}", uid, 1, disp.get("disp", name).replace(";", "?"),
                      disp.get("stype", "default"))
        # The complaints of the message tool (no X server there) and of the
        # tree tool (no such process) reach standard error as they are.
        s.err = "".join(e for e in s.err.splitlines(True) if not e.startswith(("vkwall: ", "ptree: ")))
        assert [(o.rc, o.out, o.err) for o in (shown, s, r, k)] == [
            (0, line, ""), expect(suspend, True), expect(None, True), expect(kill, False)], name
        assert host.path(DISPLAYS + name).exists() == (kill is not None), name
    assert not host.path("/tmp/pwned").exists()
    assert bystander.state() == "S" and running(host, clients)
    assert "manage_session(): failed to resume/suspend session, client program name differs " \
        f"(display=31; {PWN})" in host.lines()
    assert "manage_session(): failed to suspend session for display 32 (Object not found)" in host.lines()
    # The failure's text in the user's language: "Invalid arguments" is spelled with a "ü" in
    # German.
    for env, text in [
            ({"LANGUAGE": "de", "LANG": "C.UTF-8"}, "Ungültige Argumente"),
            # German messages on an ASCII terminal: transliterated, not "?".
            ({"LANGUAGE": "de", "LANG": "C", "LC_MESSAGES": "C.UTF-8"}, "Ungultige Argumente"),
            ({"LANGUAGE": "de", "LANG": "C"}, "Invalid arguments")]:  # "C" ignores LANGUAGE
        r = host.vksession("-k", "-d", f"41; {PWN_HERE}", argv0=NAME, env=env, cwd="/tmp")
        assert (r.rc, r.out, r.err) == (1, "", failed(False, -6, text)), env
