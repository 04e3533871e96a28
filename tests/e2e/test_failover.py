"""The library's search and operations on another server of the failover group (through the
probe): with a scripted stand-in for vkrcmd, then over ssh between two hosts (group.py) with
the real vkrcmd, gate and vksession. vkrcmd's connections themselves: test_vkrcmd.py; the
whole group in one command: test_group.py."""
import re
import shlex

import pytest

from conftest import DEPRECATED, LOG_INFO_DEFAULT as INFO, VKSESSION
from group import KEY, KNOWN_HOSTS, VKGROUP, VKRCMD, Group, authd
from sessions import running, start, states, tree, wait_for

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
    """The calls of the stand-in since the last look."""
    p = h.path("/tmp/vkrcmd.calls")
    text = p.read_text() if p.exists() else ""
    p.unlink(missing_ok=True)
    return [call.split("\0")[:-1] for call in text.split("\036")[:-1]]


def search(h, server, flt=None):
    """The library's search of `server` through the probe: its result and the records that
    the enumeration then hands out (also after a failure, as far as it kept them)."""
    r = h.probe("enum", "-" if flt is None else flt, server)
    lines = r.out.splitlines(keepends=True)
    assert r.rc == 0 and lines[0].startswith("set rc="), r
    return int(lines[0][7:]), "".join(x for x in lines[1:] if not x.startswith("get"))


def operate(h, action, server, token=None, login=None, display=None):
    """The library's operation on a record of `server` with those fields: its result."""
    r = h.probe("operate", action, server, *("-" if v is None else v for v in (token, login, display)))
    assert r.rc == 0 and r.out.startswith("rc="), r
    return int(r.out[3:])


def selectors(token=None, login=None, display=None):
    return [w for opt, v in (("-t", token), ("-u", login), ("-d", display)) if v is not None
            for w in (opt, v)]


def logged(h):
    return [m for p, m in h.messages() if p == INFO]


def planted_nothing(*hosts):
    return all(not list(h.path("/tmp").glob("pwn*")) and not list(h.path("/root").glob("pwn*"))
               for h in hosts)


# ---- what reaches the remote-command program ---------------------------------------------

HOSTILE = ["a'b; touch /tmp/pwn1 $(touch /tmp/pwn2)", "`touch /tmp/pwn3`", "x\ny", "", "-t"]
SEARCH_WORDS = [  # server, filter (None: none)
    ("parvix2", None), ("parvix2", "display.3"), ("PARVIX2", "unix.alice"),
    *(("parvix2", v) for v in HOSTILE), *((v, "tokA") for v in HOSTILE),
]
OPERATION_WORDS = [  # action, token, login, display
    ("terminate", None, None, "3"), ("suspend", "tokA", "alice", "5"), ("resume", None, "alice", None),
    ("terminate", HOSTILE[0], HOSTILE[1], "1;touch /tmp/pwn5"),
]
FLAG = {"terminate": "-k", "suspend": "-s", "resume": "-r"}


def test_server_filter_and_selectors_arrive_as_single_words(standin):
    h = standin
    answer(h, (1, "**ERROR: -4\n"), rc=1)
    for server, flt in SEARCH_WORDS:
        assert search(h, server, flt) == (-4, ""), (server, flt)
        assert calls(h) == [[server, VKSESSION, "-p", "-x",
                             *([] if flt is None else ["-t", flt])]], (server, flt)
    answer(h)
    for action, *fields in OPERATION_WORDS:
        assert operate(h, action, "parvix2", *fields) == 0, fields
        assert calls(h) == [["parvix2", VKSESSION, FLAG[action], "-x", *selectors(*fields)]], fields
    assert planted_nothing(h)
    # This host's own name, in any case, is a local search and a local operation.
    assert search(h, "PARVIX1") == (-4, "")
    assert operate(h, "terminate", "Parvix1", display="3") == -4
    assert calls(h) == []


# ---- what the search makes of an answer --------------------------------------------------------

TOO_LONG = "INSERT_TOKEN=x;TOKEN=x;DISPLAY=9;TermList=" + "t" * 70000 + "\n"
LONG_LIST = ",".join(f"terminal-{i:03d}-0123456789abcdef" for i in range(120))
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
    "a last line without its newline": ([(1, rec("tokA", "1")[:-1])], 0, 0, [rec("tokA", "1")], []),
    "a record without a display": ([(1, rec("tokA", "1")), (1, "TOKEN=t\n")], 0, -6, [], []),
}


OPERATIONS = {
    # The far side's answer comes in one piece: the operation stops reading
    # after the first line, and a writer that is still busy then may fail.
    "an error": ([(2, "**ERROR: -4\n")], 1, -4, [FAILED.format(1)]),
    "only the first line counts": ([(1, "**ERROR: -4\n**ERROR: -5\n")], 0, -4, []),
    "the warning of a success": ([(2, DEPRECATED)], 0, -1,
                                 [f"remote_operation(): remote access failed ({DEPRECATED[:-1]})"]),
    "silence": ([], 0, 0, []),
}


def test_search_and_operation_read_the_answer(standin):
    h = standin
    for name, (writes, rc, code, records, logs) in SEARCHES.items():
        answer(h, *writes, rc=rc)
        h.clear_log()
        assert (*search(h, "parvix2"), logged(h)) == (code, "".join(records), logs), name
    for name, (writes, rc, code, logs) in OPERATIONS.items():
        answer(h, *writes, rc=rc)
        h.clear_log()
        assert (operate(h, "terminate", "parvix2", "tokA"), logged(h)) == (code, logs), name


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
    na, nb, nc = (start(h2, *s)[0] for s in (("alice", "tokA", "raw3"), ("bob", "tokB", "raw1"),
                                              ("alice", "tokC", "raw2")))
    authd(h2, ["terminalCID=term1", "tokenName=tokB", "encryptUpType=arcfour"])
    far = h2.vksession("-p", "-x").out.splitlines(keepends=True)
    assert len(far) == 3 and ";STATE=0;" in far[0]
    assert search(h1, "parvix2") == (0, "".join(by_token(far)))
    for flt, tokens in (("unix.alice", ["tokA", "tokC"]), ("raw3", ["tokA"])):
        rc, out = search(h1, "parvix2", flt)
        assert (rc, [x.split(";")[1] for x in out.splitlines()]) == (0, [f"TOKEN={t}" for t in tokens]), flt
    assert search(h1, "parvix2", "nosuch") == (-4, "")
    # Through both shells, the gate and the far vksession, a hostile value
    # stays a value: it matches no session and runs nothing anywhere.
    for value in ("x'; touch /tmp/pwn1; '", "$(touch /tmp/pwn2)", "`touch /tmp/pwn3`"):
        assert search(h1, "parvix2", value) == (-4, ""), value
        assert operate(h1, "terminate", "parvix2", value, display=value) == -4
    assert planted_nothing(h1, h2)
    assert len(h2.vksession("-p", "-x").out.splitlines()) == 3


def test_operations_act_on_the_far_session_only(group):
    h1, h2 = group.h1, group.h2
    n1, p1 = start(h1, "alice", "tokA", "rawA")
    n2, p2 = start(h2, "alice", "tokA", "rawA")
    assert n1 == n2  # the same display on both hosts: only the server tells them apart
    mine = tree(h1, p1["pid"]) + [p1["server_pid"]]
    theirs = tree(h2, p2["pid"])
    # Suspend and resume act, but the far side's deprecation warning makes
    # them answer an internal error.
    warning = f"remote_operation(): remote access failed ({DEPRECATED[:-1]})"
    for action, done in (("suspend", lambda: states(h2, theirs) == ["T"] * len(theirs)),
                         ("resume", lambda: running(h2, theirs))):
        h1.clear_log()
        assert (operate(h1, action, "parvix2", display=n2), logged(h1)) == (-1, [warning])
        wait_for(done, what=action)
    assert operate(h1, "terminate", "parvix2", "nosuch") == -4
    assert operate(h1, "terminate", "parvix2", "tokA", "alice", n2) == 0
    theirs.append(p2["server_pid"])
    wait_for(lambda: states(h2, theirs) == ["-"] * len(theirs), what="the far session's end")
    assert running(h1, mine) and h2.vksession("-p", "-x").err == "**ERROR: -4\n"


def test_the_gate_and_vkrcmd_let_nothing_else_run(group):
    g = group
    h1, h2 = g.h1, g.h2
    assert g.vkrcmd("parvix2", VKSESSION, "-p", "-x", "-t", "nosuch").out == "**ERROR: -4\n"
    # The gate's rules are checked one by one in the unit tests; here, that
    # it stands between the group key and the far host, with or without
    # vkrcmd's quoting, and refuses a login.
    r = g.vkrcmd("parvix2", "/bin/touch", "/tmp/pwn1")
    assert (r.rc, r.out, r.err) == (1, "", f"vkrcmd-gate: refused: only {VKSESSION} or {VKGROUP} may run\n")
    ssh = f"ssh -F none -n -i {KEY} -o BatchMode=yes -o UserKnownHostsFile={KNOWN_HOSTS} -l root parvix2"
    for command in ([f"{VKSESSION} -p -x; touch /tmp/pwn2"], []):
        r = h1.run(ssh.split() + command)
        assert r.rc == 1 and "vkrcmd-gate: refused: " in r.err, command
    # vkrcmd takes nothing from its words but the host: no option, no user.
    for bad in (["-oProxyCommand=touch /tmp/pwn3", "/bin/true"], ["root@parvix2", "/bin/true"],
                ["parvix2;id", "/bin/true"], ["parvix2"], ["--close", "-oProxyCommand=touch /tmp/pwn4"],
                ["--close", "parvix2", "/bin/true"]):
        r = g.vkrcmd(*bad)
        assert r.rc == 255 and r.err.startswith("vkrcmd: ") and r.err.count("\n") == 1, bad
    # A changed host key: one diagnostic line, 255. Host keys are checked as a connection is
    # made: the one that the calls above left open was checked then, and is closed first.
    h1.write(KNOWN_HOSTS, h1.path(KNOWN_HOSTS).read_text().replace("parvix2", "other"))
    assert g.vkrcmd("--close", "parvix2").rc == 0
    r = g.vkrcmd("parvix2", VKSESSION, "-p", "-x")
    assert (r.rc, r.out, r.err.endswith("Host key verification failed.\n")) == (255, "", True)
    assert planted_nothing(h1, h2)
