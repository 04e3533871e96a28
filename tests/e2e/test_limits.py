"""Inputs at and one over the limits of their buffers, and bytes that text files are not
supposed to hold (NUL, other binary bytes, a last line without its newline)."""
from concurrent.futures import ThreadPoolExecutor

from conftest import DEPRECATED
from sessions import BOB, DISPLAYS, INIT, NAME, PROCS, PTREE, client, failed, plant, record, sleeper, wait_for

KILLER, WALL, PS = "/opt/KELWvk/lib/vksessionkill", "/opt/KELWvk/sbin/vkwall", "/usr/bin/ps"
# A stand-in that notes its arguments as NUL-separated words, and the text
# on its standard input, and does nothing else. Each call writes files of
# its own (named by its pid): calls that overlap would mix their lines in
# one file.
NOTING = ("#!/bin/sh\n{ for a in \"$@\"; do printf '%s\\0' \"$a\"; done; echo; } "
          "> /tmp/calls.${0##*/}.$$\ncat > /tmp/input.${0##*/}.$$\n")


def noted(h, what, program):
    return [f.read_text() for f in sorted(h.path("/tmp").glob(f"{what}.{program}.*"))]


def calls(h, program):
    return [text.rstrip("\n").split("\0") for text in noted(h, "calls", program)]


# ---- paths of 100 bytes and command lines of 100 bytes ------------------------------------

# The session directories are 25 characters long: a name of 74 fits the
# 100-byte path with its terminator, one of 75 does not.
FITS, TOO_LONG = "7" * 74, "8" * 75
# "/opt/KELWvk/lib/vksessionkill display " is 38 characters: the session-kill
# command takes a display of 61, not one of 62.
KILL_FITS, KILL_TOO_LONG = "5" * 61, "6" * 62


def test_session_file_paths_and_the_session_kill_command(make_host):
    h = make_host(files={KILLER: (NOTING, 0o755)})
    for n, name in enumerate([FITS, TOO_LONG, KILL_FITS, KILL_TOO_LONG]):
        plant(h, name, f"tok{n}", f"raw{n}", proc=INIT)
    listed = [record("raw0", "tok0", "alice", 1, FITS), record("raw2", "tok2", "alice", 1, KILL_FITS),
              record("raw3", "tok3", "alice", 1, KILL_TOO_LONG)]
    for args, out in (([], "".join(listed)), (["-u", "alice"], "".join(listed)),
                      (["-d", FITS], listed[0]), (["-d", TOO_LONG], ""), (["-t", "tok1"], "")):
        r = h.vksession("-p", "-x", *args)
        expected = (0, out, "") if out else (1, "", "**ERROR: -4\n")
        assert (r.rc, r.out, r.err) == expected, args

    r = h.vksession("-k", "-d", KILL_FITS)
    assert (r.rc, r.out, r.err) == (0, "", "")
    r = h.vksession("-k", "-d", KILL_TOO_LONG, argv0=NAME)
    assert (r.rc, r.out, r.err) == (1, "", failed(False, -1, "Internal system error"))
    assert calls(h, "vksessionkill") == [["display", KILL_FITS, ""]]


def test_the_message_tools_command_is_cut_at_80_characters(make_host):
    # "/opt/KELWvk/sbin/vkwall -d :" is 28 characters: a display of 52 fills
    # the 81-byte command; one of 53 loses its last character.
    h = make_host(files={WALL: (NOTING, 0o755)})
    names = ["4" * 52, "3" * 53]
    for n, name in enumerate(names):
        plant(h, name, f"tok{n}", f"raw{n}")        # no session proc file: -19 after the notice
    with ThreadPoolExecutor(2) as pool:              # the 3-second waits overlap
        results = list(pool.map(lambda d: h.vksession("-s", "-x", "-d", d), names))
    assert [(r.rc, r.out, r.err) for r in results] == [(1, "", "**ERROR: -19\n" + DEPRECATED)] * 2
    assert sorted(calls(h, "vkwall")) == [["-d", ":" + "3" * 52, ""], ["-d", ":" + "4" * 52, ""]]
    notice = "Your session has been suspended.\nPlease contact your Administrator immediately."
    assert noted(h, "input", "vkwall") == [notice] * 2


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
    assert (r.rc, r.err) == (0, "")
    assert r.out.splitlines(True) == [
        record("r20", "a" * 992, None, 1, "20"), record("r21", "b" * 993, None, 1, "21"),
        record("r22", "c" * 993, None, 1, "22"), record("r23", "tok23", None, 1, "23"),
        record("r30", "to", "10", 1, "30"),
        record("r31", "t\x01\ufffd??31", None, 1, "31"),
        record("r32", "tok32", "alice", 1, "32", "kiosk")]
    # The second piece of the long line of display 23 is its token set.
    assert h.vksession("-p", "-x", "-t", "zz").out == record("r23", "tok23", None, 1, "23")


# ---- lines of 1024 bytes from ps and from the tree tool -------------------------------------

def test_ps_lines_at_their_limit(make_host):
    # Each line of ps is read into 1024 bytes and loses its last character
    # (its newline): a line of 1022 characters is whole; of one more, the
    # buffer holds 1023 and the last of them goes; the newline after it is
    # an empty line. A last line without a newline loses a character too.
    comm = "c" * 1014
    body = ("printf '  PID S   UID COMMAND\\n'\n"
            f"printf '11 S 0 {comm}\\n'\n"               # 7 + 1014 = 1021 + newline
            f"printf '12 S 0 {comm}x\\n'\n"              # 1022 + newline
            f"printf '13 S 0 {comm}xy\\n'\n"             # 1023 + newline
            "printf '\\000\\001\\377\\n14 T 0 last'\n")
    h = make_host(files={PS: ("#!/bin/sh\n" + body, 0o755)})
    r = h.probe("ps-cache", "11", "12", "13", "14")
    got = {line.split()[0]: dict(w.split("=", 1) for w in line.split()[1:])
           for line in r.out.splitlines()}
    assert [got[f"ask={p}"]["comm"] for p in "11 12 13 14".split()] == \
        [comm, comm + "x", comm + "x", "las"]
    assert got["ask=14"]["state"] == "4"


def test_tree_lines_at_their_limit_and_hostile(make_host):
    # The client's tree as the tool prints it, with a descendant's line
    # filling the read buffer, a descendant whose command line is so long
    # that its tail, past the buffer, looks like a bystander's line, and
    # "pids" that would run a command if they reached the stop command's
    # shell.
    h = make_host(files={PTREE: ("#!/bin/sh\ncat /tmp/tree\n", 0o755)})
    c, d1, d2, bystander = sleeper(h), sleeper(h), sleeper(h), sleeper(h, BOB)
    h.write("/tmp/tree", f"1 init\n  {c.pid} sleep 1000\n" +
            f"    {d1.pid} ".ljust(1022, "x") + "\n" +
            f"    {d2.pid} ".ljust(1023, "y") + f"    {bystander.pid} sleep 1000\n" +
            f"    {bystander.pid};touch${{IFS}}/tmp/pwned x\n    $(touch /tmp/pwned) x\n")
    plant(h, "1", "tok1", "raw1", proc=client(c))
    r = h.vksession("-s", "-d", "1")
    assert (r.rc, r.out, r.err) == (0, "", DEPRECATED)
    wait_for(lambda: [p.state() for p in (c, d1, d2)] == ["T"] * 3, what="the stop")
    assert bystander.state() == "S" and not h.path("/tmp/pwned").exists()
