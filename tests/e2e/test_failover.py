"""Sessions of another server of the failover group.

First the library's side alone, on one host whose remote-command program
is a stand-in that notes its arguments and answers from a script: which
words reach the program, and what the search and the operations make of
each kind of answer. Then two hosts joined over ssh (group.py): the real
vkrcmd, the gate on the receiving side and the real vksession there, with
real sessions and the authentication manager."""
import re
import shlex
import time

import pytest

from conftest import DEPRECATED, LOG_INFO_DEFAULT as INFO, VKSESSION
from group import KEY, KNOWN_HOSTS, VKGROUP, VKRCMD, Group, authd
from sessions import plant, running, start, states, tree, wait_for

# ---- the stand-in remote-command program -------------------------------------------------------

# A shell script, as it is started for every search and operation: it
# appends its arguments (each ended by a NUL, the call by a record
# separator) to /tmp/vkrcmd.calls, then runs /tmp/vkrcmd.answer.
STANDIN = r"""#!/bin/sh
{ for a in "$@"; do printf '%s\0' "$a"; done; printf '\036'; } >> /tmp/vkrcmd.calls
[ -f /tmp/vkrcmd.answer ] && . /tmp/vkrcmd.answer
exit 0
"""
FIELDS = ("INSERT_TOKEN", "TOKEN", "uid", "STATE", "DISPLAY", "SERVER", "SESSION_TYPE",
          "encryptUpType", "encryptDownType", "authenticateUpType", "authenticateDownType",
          "securityMode", "TermPrimary", "TermList", "MultiheadGroupName")


def rec(token, disp, server="parvix2", **values):
    """A record line as vksession -p -x writes it (raw token "raw" + token)."""
    v = {"INSERT_TOKEN": "raw" + token, "TOKEN": token, "STATE": 1, "DISPLAY": disp,
         "SERVER": server, "SESSION_TYPE": "default", **values}
    return ";".join(f"{k}={v.get(k, 'NULL')}" for k in FIELDS) + "\n"


@pytest.fixture
def standin(make_host):
    return make_host(files={VKRCMD: (STANDIN, 0o755)})


def answer(h, *writes, rc=0):
    """What the stand-in prints next: (1 or 2 for the stream, text)..., then its status."""
    h.write("/tmp/vkrcmd.answer", "".join(f"printf '%s' {shlex.quote(text)} >&{stream}\n"
                                          for stream, text in writes) + f"exit {rc}\n")


def calls(h):
    p = h.path("/tmp/vkrcmd.calls")
    if not p.exists():
        return []
    return [call.split("\0")[:-1] for call in p.read_text().split("\036")[:-1]]


def vkgroup(h, *args):
    return h.run([VKGROUP, *args])


def result(r):
    """The library's result that vkgroup reported (0 when it succeeded)."""
    if r.rc == 0:
        return 0
    m = re.search(r" \((-?\d+)\)\n\Z", r.err)
    assert r.rc == 1 and m, r
    return int(m.group(1))


def logged(h):
    return [m for p, m in h.messages() if p == INFO]


def planted_nothing(*hosts):
    return all(not list(h.path("/tmp").glob("pwn*")) and not list(h.path("/root").glob("pwn*"))
               for h in hosts)


# ---- what reaches the remote-command program ---------------------------------------------
# One host per table: each case is one run of vkgroup against the stand-in.

HOSTILE = ["a'b; touch /tmp/pwn1 $(touch /tmp/pwn2)", "`touch /tmp/pwn3`", "x\ny", "", "-t"]
SEARCH_WORDS = [  # server, filter (None: none)
    ("parvix2", None), ("parvix2", "display.3"), ("PARVIX2", "unix.alice"),
    *(("parvix2", v) for v in HOSTILE), *((v, "tokA") for v in HOSTILE),
]
OPERATION_WORDS = [  # action, selectors, the words after vksession's path
    ("terminate", ["-d", "3"], ["-k", "-x", "-d", "3"]),
    ("suspend", ["-t", "tokA", "-u", "alice", "-d", "5"],
     ["-s", "-x", "-t", "tokA", "-u", "alice", "-d", "5"]),
    ("resume", ["-u", "alice"], ["-r", "-x", "-u", "alice"]),
    ("terminate", ["-t", HOSTILE[0], "-u", HOSTILE[1], "-d", "1;touch /tmp/pwn5"],
     ["-k", "-x", "-t", HOSTILE[0], "-u", HOSTILE[1], "-d", "1;touch /tmp/pwn5"]),
]


def test_server_filter_and_selectors_arrive_as_single_words(standin):
    h = standin
    answer(h, (1, "**ERROR: -4\n"), rc=1)
    for server, flt in SEARCH_WORDS:
        h.path("/tmp/vkrcmd.calls").unlink(missing_ok=True)
        r = vkgroup(h, "list", server, *([] if flt is None else [flt]))
        assert result(r) == -4, (server, flt)
        assert calls(h) == [[server, VKSESSION, "-p", "-x",
                             *([] if flt is None else ["-t", flt])]], (server, flt)
    answer(h)
    for action, selectors, words in OPERATION_WORDS:
        h.path("/tmp/vkrcmd.calls").unlink(missing_ok=True)
        assert result(vkgroup(h, action, "parvix2", *selectors)) == 0, selectors
        assert calls(h) == [["parvix2", VKSESSION, *words]], selectors
    assert planted_nothing(h)

    # Without a selector nothing is sent at all.
    h.path("/tmp/vkrcmd.calls").unlink()
    assert vkgroup(h, "terminate", "parvix2").rc == 2
    # This host's own name, in any case, is a local search and a local operation.
    assert result(vkgroup(h, "list", "PARVIX1")) == -4
    assert result(vkgroup(h, "terminate", "Parvix1", "-d", "3")) == -4
    assert calls(h) == []


# ---- what the search makes of an answer --------------------------------------------------------

TOO_LONG = "INSERT_TOKEN=x;TOKEN=x;DISPLAY=9;TermList=" + "t" * 70000 + "\n"
LONG_LIST = ",".join(f"terminal-{i:03d}-0123456789abcdef" for i in range(120))
REFUSED = "ssh: connect to host parvix2 port 22: Connection refused"
UNREACHABLE = f"vkrcmd: cannot reach parvix2: {REFUSED}"
FAILED = "vk_setUserSessionEnt(): vkrcmd failed ({})"

SEARCHES = {
    # name: (what the program prints, its status, result, records listed, log lines)
    "records in token order": (
        [(1, rec("tokB", "2")), (1, rec("tokC", "3")), (1, rec("tokA", "1"))], 0, 0,
        [rec("tokA", "1"), rec("tokB", "2"), rec("tokC", "3")], []),
    "records, then a failed exit": (
        [(1, rec("tokB", "2")), (1, rec("tokA", "1"))], 3, -1,
        [rec("tokA", "1"), rec("tokB", "2")], [FAILED.format(3)]),
    "no match": ([(2, "**ERROR: -4\n")], 1, -4, [], []),
    "an error, whatever the status": ([(2, "**ERROR: -16\n")], 0, -16, [], []),
    "an error that is no number": ([(1, "**ERROR: none\n")], 0, 0, [], []),
    "unreachable": ([(2, UNREACHABLE + "\n")], 255, -1, [],
                    [f"remote_search(): remote access failed ({UNREACHABLE})"]),
    "a warning first": ([(2, "Warning: x\n"), (1, rec("tokA", "1"))], 0, -1, [],
                        ["remote_search(): remote access failed (Warning: x)"]),
    "no output": ([], 0, -4, [], []),
    "no output, failed exit": ([], 2, -4, [], [FAILED.format(2)]),
    "a later line without a token": (
        [(1, rec("tokA", "1")), (2, "Connection closed\n"), (1, "\n"), (1, rec("tokB", "2"))],
        0, 0, [rec("tokA", "1"), rec("tokB", "2")],
        ["remote_search(): line without a token name skipped (Connection closed)",
         "remote_search(): line without a token name skipped ()"]),
    "a line longer than the read buffer": (
        [(1, rec("tokM", "4", STATE=0, TermList=LONG_LIST)), (1, rec("tokA", "1"))], 0, 0,
        [rec("tokA", "1"), rec("tokM", "4", STATE=0, TermList=LONG_LIST)], []),
    "a line beyond any record's length": (
        [(1, rec("tokA", "1")), (1, TOO_LONG), (1, rec("tokB", "2"))], 0, -1,
        [rec("tokA", "1"), rec("tokB", "2")],
        ["remote_search(): record line longer than 65536 bytes"]),
    "nothing but such a line": (
        [(1, TOO_LONG)], 0, -1, [], ["remote_search(): record line longer than 65536 bytes"]),
    "a last line without its newline": ([(1, rec("tokA", "1")[:-1])], 0, 0, [rec("tokA", "1")], []),
    "a record that names no server": (
        [(1, "INSERT_TOKEN=r;TOKEN=t;DISPLAY=4;STATE=0\n")], 0, 0,
        [rec("t", "4", INSERT_TOKEN="r", STATE=0, SESSION_TYPE="NULL")], []),
    "a record without a display": ([(1, rec("tokA", "1")), (1, "TOKEN=t\n")], 0, -6, [], []),
}


def test_search_reads_the_answer(standin):
    h = standin
    for name, (writes, rc, code, records, logs) in SEARCHES.items():
        answer(h, *writes, rc=rc)
        h.clear_log()
        r = vkgroup(h, "list", "-x", "parvix2")
        assert (result(r), r.out) == (code, "".join(records)), name
        assert logged(h) == logs, name


OPERATIONS = {
    # The far side's answer comes in one piece: the operation stops reading
    # after the first line, and a writer that is still busy then may fail.
    "an error": ([(2, "**ERROR: -4\n")], 1, -4, [FAILED.format(1)]),
    "an error, then the warning": (
        [(2, "**ERROR: -19\n" + DEPRECATED)], 1, -19, [FAILED.format(1)]),
    "only the first line counts": ([(1, "**ERROR: -4\n**ERROR: -5\n")], 0, -4, []),
    "an empty error": ([(1, "**ERROR: \n")], 0, 0, []),
    "an empty error, failed exit": ([(1, "**ERROR: \n")], 1, -1, [FAILED.format(1)]),
    "the warning of a success": ([(2, DEPRECATED)], 0, -1,
                                 [f"remote_operation(): remote access failed ({DEPRECATED[:-1]})"]),
    "silence": ([], 0, 0, []),
    "silence, failed exit": ([], 1, -1, [FAILED.format(1)]),
    "unreachable": (
        [(2, UNREACHABLE + "\n")], 255, -1,
        [f"remote_operation(): remote access failed ({UNREACHABLE})", FAILED.format(255)]),
}


def test_operation_reads_the_first_line(standin):
    h = standin
    for name, (writes, rc, code, logs) in OPERATIONS.items():
        answer(h, *writes, rc=rc)
        h.clear_log()
        assert result(vkgroup(h, "terminate", "parvix2", "-t", "tokA")) == code, name
        assert logged(h) == logs, name


# ---- two hosts over ssh ------------------------------------------------------------------------

@pytest.fixture
def group(make_host):
    g = Group(make_host)
    yield g
    g.stop()


def by_token(lines):
    return sorted(lines, key=lambda x: re.search(r";TOKEN=([^;]*)", x).group(1))


def test_listing_and_filters_show_the_far_hosts_sessions(group):
    h1, h2 = group.h1, group.h2
    # Raw tokens in another order than the token names: the far side prints
    # in raw token order, the enumeration hands out in token name order.
    na, _ = start(h2, "alice", "tokA", "raw3")
    nb, _ = start(h2, "bob", "tokB", "raw1")
    nc, _ = start(h2, "alice", "tokC", "raw2")
    authd(h2, ["terminalCID=term1", "tokenName=tokB", "encryptUpType=arcfour",
               "encryptDownType=arcfour", "authenticateUpType=none",
               "authenticateDownType=none", "securityMode=1"])
    far = h2.vksession("-p", "-x").out.splitlines(keepends=True)
    assert len(far) == 3 and ";STATE=0;" in far[0]
    r = group.vkgroup("list", "-x", "parvix2")
    assert (r.rc, r.err, r.out) == (0, "", "".join(by_token(far)))

    table = group.vkgroup("list", "parvix2").out.splitlines()
    assert [row.split() for row in table[1:]] == [
        ["raw3", "alice", na, "D", "parvix2"], ["raw1", "bob", nb, "E", "parvix2"],
        ["raw2", "alice", nc, "D", "parvix2"]]

    for flt, tokens in (("unix.alice", ["tokA", "tokC"]), (f"display.{nb}", ["tokB"]),
                        ("tokC", ["tokC"]), ("raw3", ["tokA"])):
        r = group.vkgroup("list", "-x", "parvix2", flt)
        assert r.rc == 0 and [x.split(";")[1] for x in r.out.splitlines()] == \
            [f"TOKEN={t}" for t in tokens], flt
    assert result(group.vkgroup("list", "parvix2", "nosuch")) == -4
    # Through both shells, the gate and the far vksession, a hostile value
    # stays a value: it matches no session and runs nothing anywhere.
    for value in ("x'; touch /tmp/pwn1; '", "$(touch /tmp/pwn2)", "`touch /tmp/pwn3`"):
        assert result(group.vkgroup("list", "parvix2", value)) == -4, value
        assert result(group.vkgroup("terminate", "parvix2", "-t", value, "-d", value)) == -4
    assert planted_nothing(h1, h2)
    assert len(h2.vksession("-p", "-x").out.splitlines()) == 3


def test_a_multihead_record_longer_than_the_read_buffer(group):
    h2 = group.h2
    plant(h2, "7", "tokM", "rawM")
    members = 40
    # Terminal 0 is the group's primary; every other member says it is not.
    authd(h2, *([f"terminalCID=mh-{i:02d}-0123456789abcdef", "tokenName=tokM",
                 "MultiheadGroupName=wall", f"MultiheadTerminalIndex={i}",
                 "encryptUpType=aes-128-cbc", "encryptDownType=aes-128-cbc",
                 "authenticateUpType=sha1", "authenticateDownType=sha1", "securityMode=3"]
                + (["MultiheadPrimary=false"] if i else []) for i in range(members)))
    far = h2.vksession("-p", "-x").out
    assert far.count("\n") == 1 and len(far) > 2048 and "TermPrimary=mh-00-" in far
    r = group.vkgroup("list", "-x", "parvix2")
    assert (r.rc, r.err, r.out) == (0, "", far)


def test_terminate_ends_the_far_session_only(group):
    h1, h2 = group.h1, group.h2
    n1, p1 = start(h1, "alice", "tokA", "rawA")
    n2, p2 = start(h2, "alice", "tokA", "rawA")
    assert n1 == n2  # the same display on both hosts: only the server tells them apart
    mine = tree(h1, p1["pid"]) + [p1["server_pid"]]
    theirs = tree(h2, p2["pid"]) + [p2["server_pid"]]
    assert result(group.vkgroup("terminate", "parvix2", "-t", "nosuch")) == -4
    r = group.vkgroup("terminate", "parvix2", "-t", "tokA", "-u", "alice", "-d", n2)
    assert (r.rc, r.out, r.err) == (0, "", "")
    wait_for(lambda: states(h2, theirs) == ["-"] * len(theirs), what="the far session's end")
    assert "-" not in states(h1, mine)
    assert h2.vksession("-p", "-x").err == "**ERROR: -4\n"


def test_suspend_and_resume_act_but_answer_internal_error(group):
    h1, h2 = group.h1, group.h2
    n, proc = start(h2, "bob", "tokB", "rawB")
    pids = tree(h2, proc["pid"])
    warning = f"remote_operation(): remote access failed ({DEPRECATED[:-1]})"
    for action, done in (("suspend", lambda: states(h2, pids) == ["T"] * len(pids)),
                         ("resume", lambda: running(h2, pids))):
        h1.clear_log()
        assert result(group.vkgroup(action, "parvix2", "-d", n)) == -1, action
        assert logged(h1) == [warning]
        wait_for(done, what=action)


def test_unreachable_hosts(group):
    h1 = group.h1
    cases = [  # server, what ssh said, at most this many seconds
        ("parvix3", "ssh: connect to host parvix3 port 22: Connection timed out", 7),
        ("nohost", "ssh: Could not resolve hostname nohost: Name or service not known", 2),
        ("parvix2;id", None, 2),
    ]
    for server, said, limit in cases:
        h1.clear_log()
        began = time.monotonic()
        assert result(group.vkgroup("list", server)) == -1
        assert time.monotonic() - began < limit, server
        diagnostic = (f"vkrcmd: cannot reach {server}: {said}" if said
                      else f"vkrcmd: not a host name: {server}")
        assert logged(h1) == [f"remote_search(): remote access failed ({diagnostic})"]
    group.stop_sshd()
    for action, what in (("list", "remote_search"), ("terminate", "remote_operation")):
        h1.clear_log()
        selector = ["-d", "1"] if action != "list" else []
        assert result(group.vkgroup(action, "parvix2", *selector)) == -1
        assert logged(h1)[0] == f"{what}(): remote access failed ({UNREACHABLE})"


def test_the_gate_lets_nothing_else_run(group):
    h1, h2 = group.h1, group.h2
    r = group.vkrcmd("parvix2", VKSESSION, "-p", "-x", "-t", "nosuch")
    assert (r.rc, r.out, r.err) == (1, "**ERROR: -4\n", "")
    # The gate's rules are tested one by one in the unit tests; here, that
    # it stands between the group key and the far host.
    refused = {
        ("/bin/touch", "/tmp/pwn1"): f"only {VKSESSION} may run",
        (VKSESSION, "-p"): "machine mode (-x) is required",
        (VKSESSION, "-p", "-x", ";", "touch", "/tmp/pwn2"): "option not allowed: ;",
    }
    h2.clear_log()
    for words, why in refused.items():
        r = group.vkrcmd("parvix2", *words)
        assert (r.rc, r.out, r.err) == (1, "", f"vkrcmd-gate: refused: {why}\n"), words
    gate_log = [r.msg for r in h2.log() if r.ident == "vkrcmd-gate"]
    assert len(gate_log) == len(refused) and all(m.startswith("refused ") for m in gate_log)
    # Straight ssh with the group key, without vkrcmd's quoting, and a login.
    ssh = ["ssh", "-F", "none", "-n", "-i", KEY, "-o", "BatchMode=yes", "-o",
           f"UserKnownHostsFile={KNOWN_HOSTS}", "-l", "root", "parvix2"]
    for command in ([f"{VKSESSION} -p -x; touch /tmp/pwn4"], []):
        r = h1.run(ssh + command)
        assert r.rc == 1 and "vkrcmd-gate: refused: " in r.err, command
    assert planted_nothing(h1, h2)


def test_vkrcmd_keeps_words_streams_and_status(make_host):
    g = Group(make_host, gate=False)
    try:
        script = 'printf "[%s]" "$@"; echo; echo to-stderr >&2; exit 7'
        words = ["a b", "it's", "$(touch /tmp/pwn1)", "", "*", "x\ny"]
        r = g.vkrcmd("parvix2", "/bin/sh", "-c", script, "sh", *words)
        assert (r.rc, r.err) == (7, "")
        assert r.out == "".join(f"[{w}]" for w in words) + "\nto-stderr\n"
        assert planted_nothing(g.h1, g.h2)

        # A changed host key, then no group key: one diagnostic line, 255.
        g.h1.write(KNOWN_HOSTS, g.h1.path(KNOWN_HOSTS).read_text().replace("parvix2", "other"))
        r = g.vkrcmd("parvix2", "/bin/true")
        assert r.rc == 255 and r.out == "" and r.err.count("\n") == 1
        assert r.err.startswith("vkrcmd: cannot reach parvix2: ") and \
            r.err.endswith("Host key verification failed.\n")
        g.h1.path(KEY).unlink()
        r = g.vkrcmd("parvix2", "/bin/true")
        assert (r.rc, r.err) == (
            255, f"vkrcmd: cannot reach parvix2: {KEY}: No such file or directory\n")
        for bad in (["-oProxyCommand=touch /tmp/pwn2", "/bin/true"], ["root@parvix2", "/bin/true"],
                    ["parvix2"]):
            r = g.vkrcmd(*bad)
            assert r.rc == 255 and r.err.startswith("vkrcmd: ") and r.err.count("\n") == 1, bad
        assert planted_nothing(g.h1, g.h2)
    finally:
        g.stop()
