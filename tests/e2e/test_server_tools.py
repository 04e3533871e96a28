"""The server programs in a sandboxed host: the process tree tools, the
session starter, the session killer and the message tool, with real X
servers (Xvfb) and real clients running as a user."""
import time

import pytest

from conftest import LOG_INFO_DEFAULT, USERS

PTREE, PSTOP, PRUN = "/usr/proc/bin/ptree", "/usr/proc/bin/pstop", "/usr/proc/bin/prun"
START = "/opt/KELWvk/sbin/vksessionstart"
KILL = "/opt/KELWvk/lib/vksessionkill"
WALL = "/opt/KELWvk/sbin/vkwall"
ALICE, BOB = USERS["alice"], USERS["bob"]
SLEEPY_TREE = ["/bin/sh", "-c", "sleep 1000 & sleep 1000 & wait"]


def wait_for(pred, timeout=5.0, what="condition"):
    deadline = time.monotonic() + timeout
    while True:
        value = pred()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.05)


def stat(h, pid):
    """(state, ppid, sid) of a sandbox process, or None once it is gone or a zombie."""
    r = h.run(["/bin/cat", f"/proc/{pid}/stat"])
    if r.rc != 0:
        return None
    f = r.out.rsplit(")", 1)[1].split()
    return None if f[0] in "ZX" else (f[0], int(f[1]), int(f[3]))


def tree(h, pid):
    """ptree's output as (depth, pid, command) triples."""
    r = h.run([PTREE, str(pid)])
    assert r.rc == 0, r.err
    rows = []
    for line in r.out.splitlines():
        body = line.lstrip(" ")
        indent = len(line) - len(body)
        assert indent % 2 == 0, line
        pid_text, _, cmd = body.partition(" ")
        rows.append((indent // 2, int(pid_text), cmd))
    return rows


def wait_tree(h, pid, *commands):
    """ptree's rows below the root once the processes below `pid` run exactly
    `commands` (a child shows its parent's command line until it execs)."""
    def ready():
        rows = tree(h, pid)
        below = rows[[r[1] for r in rows].index(int(pid)) + 1:]
        return rows if sorted(r[2] for r in below) == sorted(commands) else None
    return wait_for(ready, what=f"the processes below {pid}")


def keys(h, path):
    out = {}
    for line in h.path(path).read_text().splitlines():
        k, _, v = line.partition("=")
        out[k] = v
    return out


def start(h, *client, user="alice", token="tok1", raw="pseudo.1", opts=()):
    r = h.run([START, "-u", user, "-t", token, "-r", raw, *opts, "--", *(client or ["/usr/bin/xclock"])])
    assert r.rc == 0 and r.err == "", r
    return r.out.strip()


def session_files(n, token="tok1"):
    return [f"/var/opt/KELWvk/displays/{n}", f"/var/opt/KELWvk/ctokens/{token}",
            f"/tmp/KELWvk/session_proc/{n}"]


# ---- process tree tools ---------------------------------------------------------------


class TestProcessTools:
    def test_ptree_prints_ancestors_process_and_descendants(self, host):
        top = host.spawn(["/bin/sh", "-c", 'sleep 300 & sh -c "sleep 301 & wait" & wait'])
        rows = wait_tree(host, top.pid, "sleep 300", "sh -c sleep 301 & wait", "sleep 301")
        assert rows[0][:2] == (0, 1)                                  # the root of the tree
        assert rows[1][:2] == (1, top.pid) and rows[1][2].startswith("/bin/sh -c sleep 300 & ")
        kids = [r for r in rows if r[0] == 2]
        assert [r[1] for r in kids] == sorted(r[1] for r in kids)    # ascending pid order
        assert {r[2] for r in kids} == {"sleep 300", 'sh -c sleep 301 & wait'}
        inner = next(i for i, r in enumerate(rows) if r[2].startswith("sh -c"))
        assert rows[inner + 1][0] == 3 and rows[inner + 1][2] == "sleep 301"  # depth first
        # From the deepest process: the whole chain of ancestors, nothing below.
        leaf = rows[inner + 1][1]
        assert [(d, p) for d, p, _ in tree(host, leaf)] == [
            (0, 1), (1, top.pid), (2, rows[inner][1]), (3, leaf)]

    def test_ptree_output_cannot_be_forged_by_a_command_line(self, host):
        # The session tools stop every pid they find on ptree's lines: a
        # process must not be able to add a line, neither with a newline in
        # its arguments nor with one longer than a 1024-byte line buffer.
        forged = "x\n    1 forged"
        padded = "A" * 1019 + "    1 padded"
        p = host.spawn(["/bin/sh", "-c", "sleep 300; :", forged, padded])
        rows = wait_tree(host, p.pid, "sleep 300")
        out = host.run([PTREE, str(p.pid)]).out
        assert len(out.splitlines()) == 3
        assert all(len(line) <= 1000 for line in out.splitlines())
        assert [r[1] for r in rows] == [1, p.pid, rows[2][1]] and rows[2][2] == "sleep 300"
        assert "x?    1 forged" in rows[1][2]

    @pytest.mark.parametrize("arg, rc", [("999999", 1), ("0", 2), ("-1", 2), ("12a", 2),
                                         ("007", 2), ("", 2)])
    def test_ptree_refuses_missing_or_malformed_pid(self, host, arg, rc):
        r = host.run([PTREE, arg])
        assert (r.rc, r.out, len(r.err.splitlines())) == (rc, "", 1)

    def test_pstop_and_prun_change_the_state_and_go_on_past_bad_pids(self, host):
        top = host.spawn(["/bin/sh", "-c", "sleep 300 & wait"])
        child = wait_tree(host, top.pid, "sleep 300")[2][1]
        pids = [str(top.pid), str(child)]

        r = host.run([PSTOP, pids[0], "0", "-1", "junk", "999999", pids[1]])
        assert r.rc == 1 and len(r.err.splitlines()) == 4
        assert [stat(host, p)[0] for p in pids] == ["T", "T"]

        r = host.run([PRUN, *pids])
        assert (r.rc, r.err) == (0, "")
        assert [stat(host, p)[0] for p in pids] == ["S", "S"]
        assert host.run([PSTOP]).rc == 2 and host.run([PRUN]).rc == 2


# ---- session starter and session killer -------------------------------------------------


class TestSessionStart:
    def test_starts_xvfb_and_client_as_the_user_and_describes_them(self, host):
        n = start(host, opts=["-T", "kiosk"])
        assert n == "1"
        disp = keys(host, f"/var/opt/KELWvk/displays/{n}")
        assert disp == {"TOKEN": "tok1", "INSERT_TOKEN": "pseudo.1", "DISPLAY": n,
                        "TOKEN_SET": "tok1,pseudo.1", "SESSION_TYPE": "kiosk"}
        assert keys(host, "/var/opt/KELWvk/ctokens/tok1") == disp
        proc = keys(host, f"/tmp/KELWvk/session_proc/{n}")
        assert (proc["XID"], proc["uid"], proc["program"], proc["server_prog"]) == (
            n, str(ALICE), "xclock", "Xvfb")
        for f in session_files(n):
            assert host.path(f).stat().st_mode & 0o777 == 0o644
        # A proc file older than its display file would mark the session stale.
        assert int(host.path(f"/tmp/KELWvk/session_proc/{n}").stat().st_mtime) >= \
            int(host.path(f"/var/opt/KELWvk/displays/{n}").stat().st_mtime)

        client, server = proc["pid"], proc["server_pid"]
        status = host.run(["/bin/cat", f"/proc/{client}/status"]).out
        assert f"Uid:\t{ALICE}\t{ALICE}\t{ALICE}\t{ALICE}" in status
        assert f"Gid:\t{ALICE}\t{ALICE}\t{ALICE}\t{ALICE}" in status
        env = host.run(["/bin/cat", f"/proc/{client}/environ"]).out.split("\0")
        assert {f"DISPLAY=:{n}", "HOME=/home/alice", "USER=alice"} <= set(env)
        assert stat(host, client)[1:] == (1, int(client))       # detached, own session
        assert host.run(["/bin/cat", f"/proc/{server}/cmdline"]).out.split("\0")[1] == f":{n}"
        assert host.path(f"/tmp/.X11-unix/X{n}").exists()

        # The check the administrator's tool makes: the comm that ps shows
        # for the recorded pid is a prefix of the recorded program.
        for pid, prog in ((client, proc["program"]), (server, proc["server_prog"])):
            line = host.sh(f"/bin/ps -p {pid} -o pid,s,uid,comm | /usr/bin/tail -1").out.split()
            assert line[0] == pid and prog.startswith(line[3])

    def test_picks_free_displays_and_refuses_a_taken_one(self, host):
        assert start(host) == "1"
        assert start(host, token="tok2", raw="pseudo.2", opts=["-s", "tok2,pseudo.2,extra"]) == "2"
        assert keys(host, "/var/opt/KELWvk/displays/2")["TOKEN_SET"] == "tok2,pseudo.2,extra"
        r = host.run([START, "-u", "bob", "-t", "tok3", "-r", "p3", "-d", "1", "--", "/usr/bin/xclock"])
        assert r.rc == 1 and "in use" in r.err
        assert keys(host, "/tmp/KELWvk/session_proc/1")["uid"] == str(ALICE)
        assert start(host, user="bob", token="tok3", raw="p3", opts=["-d", "7"]) == "7"

    @pytest.mark.parametrize("argv, rc", [
        (["-t", "t", "-r", "r", "--", "/usr/bin/xclock"], 2),                 # no user
        (["-u", "nobody9", "-t", "t", "-r", "r", "--", "/usr/bin/xclock"], 1),
        (["-u", "alice", "-t", "../etc", "-r", "r", "--", "/usr/bin/xclock"], 2),
        (["-u", "alice", "-t", "t", "-r", "r\nTOKEN=x", "--", "/usr/bin/xclock"], 2),
        (["-u", "alice", "-t", "t", "-r", "r", "-T", "a b", "--", "/usr/bin/xclock"], 2),
        (["-u", "alice", "-t", "t", "-r", "r", "-d", "0x1", "--", "/usr/bin/xclock"], 2),
        (["-u", "alice", "-t", "t", "-r", "r", "--", "xclock"], 1),           # not absolute
        (["-u", "alice", "-t", "t", "-r", "r"], 2),                           # no client
        (["-u", "alice", "-t", "t", "-r", "r", "--", "/root/secret"], 1),     # alice may not run it
        (["-i", "1", "-I", "1"], 2),
    ])
    def test_refuses_bad_requests_and_leaves_nothing_behind(self, host, argv, rc):
        host.write("/root/secret", "#!/bin/sh\nsleep 1000\n", mode=0o700)
        r = host.run([START, *argv])
        assert r.rc == rc and r.out == "" and r.err, r
        wait_for(lambda: "Xvfb" not in host.run(["/bin/ps", "-e", "-o", "comm"]).out, what="no Xvfb")
        assert not any(host.path(d).exists() and any(host.path(d).iterdir())
                       for d in ("/var/opt/KELWvk/displays", "/tmp/KELWvk/session_proc"))

    def test_concurrent_starts_get_distinct_displays(self, host):
        script = " & ".join(
            f"{START} -u alice -t tok{i} -r raw{i} -- /usr/bin/xclock > /tmp/out{i}" for i in range(4))
        assert host.sh(script + " & wait").rc == 0
        shown = sorted(host.path(f"/tmp/out{i}").read_text().strip() for i in range(4))
        assert shown == ["1", "2", "3", "4"]
        for n in shown:
            assert keys(host, f"/tmp/KELWvk/session_proc/{n}")["XID"] == n

    def test_idle_mark(self, host):
        n = start(host)
        mark = host.path(f"/var/opt/KELWvk/idle/{n}.pid")
        assert host.run([START, "-i", n]).rc == 0 and mark.exists()
        assert host.run([START, "-I", n]).rc == 0 and not mark.exists()
        assert host.run([START, "-I", n]).rc == 0                              # already clear
        assert host.run([START, "-i", "5"]).rc == 1 and not host.path("/var/opt/KELWvk/idle/5.pid").exists()

    def test_help(self, host):
        r = host.run([START, "-h"])
        assert r.rc == 0 and "SYNOPSIS" in r.out and "-- CLIENT" in r.out


class TestSessionKill:
    @pytest.mark.parametrize("suspended", [False, True])
    def test_ends_client_tree_and_server_and_removes_the_files(self, host, suspended):
        n = start(host, *SLEEPY_TREE)
        proc = keys(host, f"/tmp/KELWvk/session_proc/{n}")
        rows = wait_tree(host, proc["pid"], "sleep 1000", "sleep 1000")
        victims = [r[1] for r in rows[1:]] + [int(proc["server_pid"])]
        assert host.run([START, "-i", n]).rc == 0
        if suspended:
            assert host.run([PSTOP, *map(str, victims[:3])]).rc == 0
            assert stat(host, victims[0])[0] == "T"

        t0 = time.monotonic()
        r = host.run([KILL, "display", n])
        assert (r.rc, r.out, r.err) == (0, "", "")
        # Well inside the grace time: SIGCONT let even a stopped tree obey SIGTERM.
        assert time.monotonic() - t0 < 2.5
        assert [stat(host, p) for p in victims] == [None] * 4
        for f in session_files(n) + [f"/var/opt/KELWvk/idle/{n}.pid", f"/tmp/.X{n}-lock",
                                     f"/tmp/.X11-unix/X{n}"]:
            assert not host.path(f).exists(), f
        assert any(rec.ident == "vksessionkill" and f"display :{n}" in rec.msg for rec in host.log())

    def test_processes_that_ignore_sigterm_get_sigkill(self, host):
        n = start(host, "/bin/sh", "-c", "trap '' TERM; sleep 1000 & wait")
        client = keys(host, f"/tmp/KELWvk/session_proc/{n}")["pid"]
        rows = wait_tree(host, client, "sleep 1000")
        t0 = time.monotonic()
        r = host.run([KILL, "display", n])
        assert (r.rc, r.out) == (0, "")
        assert time.monotonic() - t0 >= 2.5     # waited out the grace time first
        assert [stat(host, p) for _, p, _ in rows[1:]] == [None, None]

    def test_leaves_other_sessions_alone(self, host):
        a, b = start(host), start(host, user="bob", token="tok2", raw="pseudo.2")
        other = keys(host, f"/tmp/KELWvk/session_proc/{b}")
        assert host.run([KILL, "display", a]).rc == 0
        assert stat(host, other["pid"]) and stat(host, other["server_pid"])
        assert all(host.path(f).exists() for f in session_files(b, "tok2"))

    def test_finds_the_x_server_by_its_lock_without_a_proc_file(self, host):
        n = start(host)
        server = keys(host, f"/tmp/KELWvk/session_proc/{n}")["server_pid"]
        host.path(f"/tmp/KELWvk/session_proc/{n}").unlink()
        r = host.run([KILL, "display", n])
        assert (r.rc, r.out) == (0, "")
        assert stat(host, server) is None and not host.path(f"/var/opt/KELWvk/displays/{n}").exists()

    @pytest.mark.parametrize("argv", [[], ["display"], ["display", "x"], ["display", "-1"],
                                      ["display", "07"], ["screen", "1"], ["display", "1", "2"],
                                      ["display", "42"]])
    def test_refuses_bad_arguments_and_missing_sessions_with_one_line(self, host, argv):
        r = host.run([KILL, *argv])
        assert r.rc != 0 and len(r.out.splitlines()) == 1 and r.out.endswith("\n") and r.err == ""

    @pytest.mark.parametrize("case", ["root_process_without_display", "other_users_process",
                                      "fake_server_and_lock"])
    def test_spares_processes_a_forged_proc_file_names(self, host, case):
        # Session files for display 7 that point at processes which are not
        # of that session; the files go, the processes must survive.
        bystander = host.spawn(["/bin/sleep", "1000"])
        impostor = host.spawn(["/bin/sh", "-c", "sleep 1000", ":7"], uid=ALICE,
                             env={"DISPLAY": ":7"})
        pid, uid, server = {
            "root_process_without_display": (bystander.pid, 0, ""),
            "other_users_process": (impostor.pid, BOB, ""),
            "fake_server_and_lock": ("", ALICE, impostor.pid),
        }[case]
        host.write("/var/opt/KELWvk/displays/7",
                  "TOKEN=t\nINSERT_TOKEN=r\nDISPLAY=7\nTOKEN_SET=t,r\nSESSION_TYPE=default\n")
        host.write("/tmp/KELWvk/session_proc/7",
                  f"XID=7\nuid={uid}\npid={pid}\nprogram=sleep\nserver_pid={server}\nserver_prog=Xvfb\n")
        host.write("/tmp/.X7-lock", f"{bystander.pid:>10}\n", uid=ALICE)
        r = host.run([KILL, "display", "7"])
        assert (r.rc, r.out) == (0, "")
        assert stat(host, bystander.pid) and stat(host, impostor.pid)
        assert not host.path("/tmp/KELWvk/session_proc/7").exists()


# ---- message tool ----------------------------------------------------------------------------


class TestMessageTool:
    TEXT = "Your session has been suspended.\nPlease contact your Administrator immediately."

    def test_logs_the_text_and_shows_a_window_on_the_display(self, host):
        n = start(host)
        host.clear_log()
        t0 = time.monotonic()
        r = host.run([WALL, "-d", f":{n}"], input=self.TEXT)
        assert (r.rc, r.out, r.err) == (0, "", "")
        assert time.monotonic() - t0 < 2        # returns at once, the window stays
        rec = [x for x in host.log() if x.ident == "vkwall"]
        assert len(rec) == 1 and rec[0].pri == LOG_INFO_DEFAULT
        assert rec[0].msg.rstrip("\n") == (
            f"message to display :{n}: Your session has been suspended. / "
            "Please contact your Administrator immediately.")
        wait_for(lambda: "xmessage" in host.run(["/usr/bin/xwininfo", "-root", "-tree"],
                                               env={"DISPLAY": f":{n}"}).out, what="the window")

    @pytest.mark.parametrize("argv, rc, logged", [
        (["-d", "1"], 2, False), (["-d", ":x"], 2, False), (["-d", ":-1"], 2, False),
        ([], 2, False), (["-d", ":1", "extra"], 2, False),
        (["-d", ":55"], 1, True),                       # no X server there: logged, refused
    ])
    def test_refuses_bad_displays(self, host, argv, rc, logged):
        r = host.run([WALL, *argv], input="hi")
        # A usage error is said on standard error; a window that cannot be
        # shown only in the log, since vksession's standard error is not ours.
        assert r.rc == rc and bool(r.err) != logged
        assert any(x.ident == "vkwall" for x in host.log()) == logged
        if logged:
            assert any(x.msg.startswith("no X server on display :55") for x in host.log())


# ---- the administrator's tool driving all of them ------------------------------------------


def test_vksession_suspends_resumes_and_ends_a_started_session(host):
    # The tool checks the recorded programs against ps, walks ptree's output,
    # stops and continues with pstop/prun, shows its notice through vkwall and
    # ends the session through the session killer.
    n = start(host, *SLEEPY_TREE)
    client = keys(host, f"/tmp/KELWvk/session_proc/{n}")["pid"]
    rows = wait_tree(host, client, "sleep 1000", "sleep 1000")
    tree_pids = [p for _, p, _ in rows[1:]]

    assert host.vksession("-s", "-d", n).rc == 0
    assert [stat(host, p)[0] for p in tree_pids] == ["T"] * 3
    assert host.vksession("-p", "-d", n).out.strip().splitlines()[-1].split()[-1] == "DS"
    assert "xmessage" in host.run(["/usr/bin/xwininfo", "-root", "-tree"], env={"DISPLAY": f":{n}"}).out

    assert host.vksession("-r", "-d", n).rc == 0
    assert [stat(host, p)[0] for p in tree_pids] == ["S"] * 3

    r = host.vksession("-k", "-d", n)
    assert (r.rc, r.out, r.err) == (0, "", "")
    assert [stat(host, p) for p in tree_pids] == [None] * 3
    assert host.vksession("-p").rc == 1          # no session left
