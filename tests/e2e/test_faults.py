"""Programs that vksession relies on failing, missing or fed forged input; session files that
vanish or change while read; inputs at and over their buffers' limits, with odd bytes."""
import re
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import DEPRECATED, SLACK, USERS, VALGRIND
from group import calls, noting
from sessions import (CTOKENS, DISPLAYS, INIT, NAME, PROCS, PTREE, client, failed, outcome,
                      plant, record, sleeper, wait_for)

PS = "/usr/bin/ps"     # /bin is a link to usr/bin
KILLER, WALL, VKRCMD = "/opt/KELWvk/lib/vksessionkill", "/opt/KELWvk/sbin/vkwall", "/opt/KELWvk/lib/vkrcmd"


def script(body):
    return ("#!/bin/sh\n" + body, 0o755)


# ---- the host's ps and the remote-command program ---------------------------------------------

def test_ps_that_fails_and_a_missing_remote_command_program(make_host):
    h = make_host(files={PS: script("echo 'ps: no table' >&2; exit 1\n")}, absent=[VKRCMD])
    # The shell's complaint comes back as the first line of the answer
    # (standard error joins the pipe): no answer of vksession.
    complaint = f"sh: 1: {VKRCMD}: not found"
    for args, out in ((["enum", "-", "parvix2"], "set rc=-1"),
                      (["operate", "terminate", "parvix2", "-", "-", "3"], "rc=-1")):
        r = h.probe(*args)
        assert (r.rc, r.out.splitlines()[0]) == (0, out), r
    assert h.lines() == [f"remote_search(): remote access failed ({complaint})",
                         f"remote_operation(): remote access failed ({complaint})",
                         "vk_setUserSessionEnt(): vkrcmd failed (127)"]
    # No process table, no enumeration; what ps said comes first. Without a
    # session ps is no part of the answer, whatever it says.
    quiet = h.vksession("-p", "-x")
    plant(h, "1", "tok1", "raw1", proc=client(sleeper(h)))
    assert outcome(h.vksession("-p", "-x")) == (1, "", "ps: no table\n**ERROR: -1\n")
    assert "vk_setUserSessionEnt(): init_processState() failed!" in h.lines()
    assert "ps: no table" not in quiet.err, quiet


# ---- the tree tool, the session killer, the message tool ------------------------------------

FAILING = {  # program, its stand-in (None: missing), action, result, a line logged
    "tree-fails": (PTREE, script('echo "1 init"; echo "  $1 sleep 1000"; exit 1\n'), "-s", -1,
                   "vk_processState(): vkrcmd failed (1)"),
    "tree-missing": (PTREE, None, "-s", -4, "vk_processState(): vkrcmd failed (127)"),
    "killer-missing": (KILLER, None, "-k", -1, "vk_setUserSessionEnt(): terminate_session failed (127)"),
    "killer-talks": (KILLER, script("echo busy\n"), "-k", -1, "terminate_session() failed: busy"),
    # The notice is lost when the tool's pipe closes before or while it is
    # written; the session is suspended all the same.
    "wall-missing": (WALL, None, "-s", 0, None),
    "wall-not-reading": (WALL, script("exec 0<&-\n"), "-s", 0, None),
}


@pytest.mark.parametrize("case", FAILING)
def test_a_failing_or_missing_program(make_host, case):
    program, standin, action, code, log = FAILING[case]
    h = make_host(files={program: standin} if standin else {}, absent=[] if standin else [program])
    c = sleeper(h)
    plant(h, "1", "tok1", "raw1", proc=client(c))
    r = h.vksession(action, "-x", "-d", "1")
    warning = DEPRECATED if action == "-s" else ""
    expected = (0, "", warning) if code == 0 else (1, "", f"**ERROR: {code}\n" + warning)
    # What the shell says of a program it cannot find is no word of vksession's.
    assert (r.rc, r.out, re.sub(r"(?m)^(/bin/)?sh: \d+: .*\n", "", r.err)) == expected
    assert log is None or log in h.lines()
    wait_for(lambda: c.state() == ("T" if code == 0 else "S"), what="the client's state")
    assert h.path(DISPLAYS + "1").exists() == (action != "-k" or code != 0)


# ---- session files that are no files, vanish or change ------------------------------------

def test_entries_that_are_no_session_files(host):
    h = host
    plant(h, "1", "tok1", "raw1", proc=INIT)
    for n in "678":
        plant(h, n, f"tok{n}", f"raw{n}")
    assert h.run(["/bin/sh", "-c", f"""set -e
        mkfifo {DISPLAYS}2 {PROCS}7 {CTOKENS}tok8 {CTOKENS}tok7
        mkdir {DISPLAYS}3
        ln -s /dev/zero {DISPLAYS}4
        ln -s {DISPLAYS}gone {DISPLAYS}5
        mv {DISPLAYS}6 /tmp/elsewhere && ln -s /tmp/elsewhere {DISPLAYS}6"""]).rc == 0
    started = time.monotonic()
    r = h.vksession("-p", "-x", timeout=20)
    assert (r.rc, r.err, r.out) == (0, "", record("raw1", "tok1", "alice", 1, "1") + "".join(
        record(f"raw{n}", f"tok{n}", None, 1, n) for n in "678"))
    # A token whose copy is a FIFO is found by the token sets instead.
    assert h.vksession("-p", "-x", "-t", "tok8", timeout=20).out == record("raw8", "tok8", None, 1, "8")
    assert h.vksession("-p", "-x", "-u", "alice", timeout=20).out == record("raw1", "tok1", "alice", 1, "1")
    assert time.monotonic() - started < 15 + 3 * SLACK


CHURN = r'''
import os, time
D, P = "/var/opt/KELWvk/displays/", "/tmp/KELWvk/session_proc/"
def display(tok):
    return f"TOKEN={tok}\nINSERT_TOKEN=raw-{tok}\nDISPLAY=2\nTOKEN_SET={tok}\nSESSION_TYPE=default\n"
def put(path, text):
    # A new file under a dot name (never read), then renamed over the old one.
    tmp = os.path.join(os.path.dirname(path), "." + os.path.basename(path) + ".new")
    with open(tmp, "w") as f:
        f.write(text)
    os.rename(tmp, path)
i = 0
while not os.path.exists("/tmp/stop"):
    i += 1
    step = i % 6
    for p in (D + "2", P + "2"):
        if step in (0, 3) and os.path.lexists(p):
            os.unlink(p)
    if step == 1:
        put(D + "2", display("tok2a"))
        put(P + "2", f"XID=2\nuid={1001 if i % 4 else 1002}\npid=1\nprogram=init\n")
    elif step == 2:
        put(P + "2", "XID=2\nuid=1001\npid=1\nprogram=init\n")
        put(D + "2", display("tok2b"))
    elif step == 4:
        os.mkfifo(D + "2.fifo")
        os.rename(D + "2.fifo", D + "2")
    elif step == 5:
        put(D + "2", display("tok2a"))
    time.sleep(PAUSE)
open("/tmp/churned", "w").write(str(i))
'''


def test_files_that_vanish_or_change_while_they_are_read(host):
    h = host
    plant(h, "1", "tok1", "raw1", proc=INIT)
    for name in (".new", "2.new"):        # leftovers the scan must pass over
        h.write(DISPLAYS + name, "garbage")
    # Under memcheck a run reads so slowly that display 2 would never stay
    # put long enough to be read whole: the files then change less often.
    pause = 0.05 if VALGRIND else 0.0005
    churner = h.spawn(["/usr/bin/python3", "-c", f"PAUSE = {pause}\n" + CHURN])
    stable = record("raw1", "tok1", "alice", 1, "1")
    allowed = {record(f"raw-{t}", t, u, 1, "2") for t in ("tok2a", "tok2b")
               for u in (None, "alice", "bob")}
    seen = set()
    try:
        for args in [["-p", "-x"]] * 12 + [["-p", "-x", "-u", "alice"]] * 6:
            r = h.vksession(*args, timeout=20)
            # A search by login that finds a session proc file whose display
            # file has just gone finds nothing as a whole.
            if "-u" in args and r.rc == 1:
                assert (r.out, r.err) == ("", "**ERROR: -4\n"), r
                continue
            assert (r.rc, r.err) == (0, ""), r
            lines = r.out.splitlines(True)
            assert stable in lines and set(lines) - {stable} <= allowed, r.out
            seen |= set(lines)
    finally:
        h.write("/tmp/stop", "")
        churner.wait()
    # The files did change meanwhile, and display 2 was read now and then.
    assert int(h.path("/tmp/churned").read_text()) > 50 and seen - {stable}


# ---- the server's own tools against forged input --------------------------------------------

def test_the_servers_own_tools_against_forged_input(host):
    # vksession stops every pid on ptree's lines: neither a newline in the
    # arguments nor a line longer than a 1024-byte buffer may add a line.
    p = host.spawn(["/bin/sh", "-c", "sleep 300; :", "x\n    1 forged", "A" * 1019 + "    1 padded"])
    out = wait_for(lambda: (o := host.run([PTREE, str(p.pid)]).out).endswith(" sleep 300\n") and o,
                   what="the sleep")
    lines = out.splitlines()
    assert [x.split()[0] for x in lines] == ["1", str(p.pid), lines[2].split()[0]]
    assert "x?    1 forged" in lines[1] and all(len(x) <= 1000 for x in lines)
    assert lines[2].split(None, 1)[1] == "sleep 300"

    # The session killer spares the processes that a forged session proc file names.
    bystander = host.spawn(["/bin/sleep", "1000"])
    impostor = host.spawn(["/bin/sh", "-c", "sleep 1000", ":7"], uid=USERS["alice"],
                          env={"DISPLAY": ":7"})
    for case, (pid, uid, server) in {"root_process": (bystander.pid, 0, ""),
                                     "other_users_process": (impostor.pid, USERS["bob"], ""),
                                     "fake_server_and_lock": ("", USERS["alice"], impostor.pid)}.items():
        plant(host, "7", "t", "r", proc=client(pid, uid, server_pid=server, server_prog="Xvfb"))
        host.write("/tmp/.X7-lock", f"{bystander.pid:>10}\n", uid=USERS["alice"])
        assert host.run([KILLER, "display", "7"]).rc == 0, case
        assert bystander.state() == "S" and impostor.state() == "S", case
        assert not host.path("/tmp/KELWvk/session_proc/7").exists(), case

    # ping takes a host name and nothing else.
    for target, rc in [("127.0.0.1", 0), ("192.0.2.1", 1), ("-f", 2), ("a;b", 2), ("", 2)]:
        r = host.run(["/usr/sbin/ping", target, "5"], env={"PATH": "/usr/bin:/bin", "HOME": None})
        assert r.rc == rc, target


# ---- paths of 100 bytes and command lines of 100 bytes ------------------------------------

# The session directories are 25 characters long: a name of 74 fits the
# 100-byte path with its terminator, one of 75 does not.
FITS, TOO_LONG = "7" * 74, "8" * 75
# "/opt/KELWvk/lib/vksessionkill display " is 38 characters: the session-kill
# command takes a display of 61, not one of 62.
KILL_FITS, KILL_TOO_LONG = "5" * 61, "6" * 62


def test_session_file_paths_and_the_commands_of_the_session_killer_and_the_message_tool(make_host):
    # Stand-ins that note their words, and the text on their standard input, and do nothing else.
    standin = (noting("cat > /tmp/input.${0##*/}.$$\n"), 0o755)
    h = make_host(files={KILLER: standin, WALL: standin})
    for n, name in enumerate([FITS, TOO_LONG, KILL_FITS, KILL_TOO_LONG]):
        plant(h, name, f"tok{n}", f"raw{n}", proc=INIT)
    listed = [record("raw0", "tok0", "alice", 1, FITS), record("raw2", "tok2", "alice", 1, KILL_FITS),
              record("raw3", "tok3", "alice", 1, KILL_TOO_LONG)]
    for args, out in (([], "".join(listed)), (["-u", "alice"], "".join(listed)),
                      (["-d", FITS], listed[0]), (["-d", TOO_LONG], ""), (["-t", "tok1"], "")):
        r = h.vksession("-p", "-x", *args)
        assert (r.rc, r.out, r.err) == ((0, out, "") if out else (1, "", "**ERROR: -4\n")), args

    assert outcome(h.vksession("-k", "-d", KILL_FITS)) == (0, "", "")
    r = h.vksession("-k", "-d", KILL_TOO_LONG, argv0=NAME)
    assert (r.rc, r.out, r.err) == (1, "", failed(False, -1, "Internal system error"))
    assert calls(h) == [["display", KILL_FITS]]

    # "/opt/KELWvk/sbin/vkwall -d :" is 28 characters: a display of 52 fills the 81-byte
    # command; one of 53 loses its last character.
    names = ["4" * 52, "3" * 53]
    for n, name in enumerate(names, 5):
        plant(h, name, f"tok{n}", f"raw{n}")        # no session proc file: -19 after the notice
    with ThreadPoolExecutor(2) as pool:              # the 3-second waits overlap
        results = list(pool.map(lambda d: h.vksession("-s", "-x", "-d", d), names))
    assert [(r.rc, r.out, r.err) for r in results] == [(1, "", "**ERROR: -19\n" + DEPRECATED)] * 2
    assert sorted(calls(h)) == [["-d", ":" + "3" * 52], ["-d", ":" + "4" * 52]]
    notice = "Your session has been suspended.\nPlease contact your Administrator immediately."
    assert [f.read_text() for f in h.path("/tmp").glob("input.vkwall.*")] == [notice] * 2


# ---- lines of 1000 bytes in session files; binary bytes; no last newline ------------------

def test_session_file_lines_at_their_limit_and_odd_bytes(host):
    h = host

    def keys(n, **more):
        return "".join(f"{k}={v}\n" for k, v in dict(INSERT_TOKEN=f"r{n}", DISPLAY=n, TOKEN_SET="x",
                                                     SESSION_TYPE="default", **more).items())

    # A line is read 999 characters at a time, and every piece is a line:
    # a token line of 998 characters and its newline is whole; one of 999
    # too (its newline comes as a piece of its own); of 1000, the last
    # character becomes a line of its own.
    for n, token in ((20, "a" * 992), (21, "b" * 993), (22, "c" * 994)):
        h.write(f"{DISPLAYS}{n}", keys(n, TOKEN=token))
    h.write(DISPLAYS + "23", "TOKEN=tok23\nINSERT_TOKEN=r23\nDISPLAY=23\nSESSION_TYPE=default\nNOTE=" +
            "n" * 994 + "TOKEN_SET=tok23,zz\n")
    # A NUL byte ends a value; other bytes stay, but ";" and line breaks
    # cannot cut a record line. A last line without its newline is whole.
    h.write(DISPLAYS + "30", keys(30, TOKEN="to\0k30"))
    h.write(PROCS + "30", "XID=30\nuid=10\x0001\npid=1\nprogram=init")
    h.write(DISPLAYS + "31", keys(31).encode() + b"TOKEN=t\x01\xff\r;31\n")
    h.write(DISPLAYS + "32", "TOKEN=tok32\nINSERT_TOKEN=r32\nDISPLAY=32\nTOKEN_SET=tok32\nSESSION_TYPE=kiosk")
    h.write(PROCS + "32", "XID=32\nuid=1001\npid=1\nprogram=init")
    r = h.vksession("-p", "-x")
    assert (r.rc, r.err, r.out.splitlines(True)) == (0, "", [
        record("r20", "a" * 992, None, 1, "20"), record("r21", "b" * 993, None, 1, "21"),
        record("r22", "c" * 993, None, 1, "22"), record("r23", "tok23", None, 1, "23"),
        record("r30", "to", "10", 1, "30"), record("r31", "t\x01\ufffd??31", None, 1, "31"),
        record("r32", "tok32", "alice", 1, "32", "kiosk")])
    # The second piece of the long line of display 23 is its token set.
    assert h.vksession("-p", "-x", "-t", "zz").out == record("r23", "tok23", None, 1, "23")
