"""The library's search and operations on another server through the probe and a stand-in vkrcmd
(over real ssh, the library's calls are vkgroup's: test_group.py)."""
import shlex

import pytest

from conftest import LOG_INFO_DEFAULT as INFO, VKSESSION
from group import VKRCMD, calls, line_of, noting

# ---- the stand-in remote-command program -------------------------------------------------------

# For every search and operation the program notes its words, then runs /tmp/vkrcmd.answer.
STANDIN = noting("[ -f /tmp/vkrcmd.answer ] && . /tmp/vkrcmd.answer\nexit 0\n")


def rec(token, disp, server="parvix2", **values):
    """A record line as vksession -p -x writes it (raw token "raw" + token)."""
    return line_of({"INSERT_TOKEN": "raw" + token, "TOKEN": token, "STATE": 1, "DISPLAY": disp,
                    "SERVER": server, "SESSION_TYPE": "default", **values})


@pytest.fixture
def standin(make_host):
    return make_host(files={VKRCMD: (STANDIN, 0o755)})


def answer(h, *writes, rc=0):
    """What the stand-in prints next: (1 or 2 for the stream, text)..., then its status."""
    h.write("/tmp/vkrcmd.answer", "".join(f"printf '%s' {shlex.quote(text)} >&{stream}\n"
                                          for stream, text in writes) + f"exit {rc}\n")


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
    # This host's own name, in any case, is a local search and a local operation.
    assert search(h, "PARVIX1") == (-4, "")
    assert operate(h, "terminate", "Parvix1", display="3") == -4
    assert calls(h) == []


# ---- what the search makes of an answer --------------------------------------------------------

LONG_LIST = ",".join(f"terminal-{i:03d}-0123456789abcdef" for i in range(120))
FAILED = "vk_setUserSessionEnt(): vkrcmd failed ({})"

# An empty answer, lines of no record or beyond any record's length and a far warning are
# vkgroup's cases over real ssh (test_group.py).
SEARCHES = {
    # name: (what the program prints, its status, result, records listed, log lines)
    "records in token order": (
        [(1, rec("tokB", "2")), (1, rec("tokC", "3")), (1, rec("tokA", "1"))], 0, 0,
        [rec("tokA", "1"), rec("tokB", "2"), rec("tokC", "3")], []),
    "records, then a failed exit": (
        [(1, rec("tokB", "2")), (1, rec("tokA", "1"))], 3, -1,
        [rec("tokA", "1"), rec("tokB", "2")], [FAILED.format(3)]),
    "a line longer than the read buffer": (
        [(1, rec("tokM", "4", STATE=0, TermList=LONG_LIST)), (1, rec("tokA", "1"))], 0, 0,
        [rec("tokA", "1"), rec("tokM", "4", STATE=0, TermList=LONG_LIST)], []),
    "a last line without its newline": ([(1, rec("tokA", "1")[:-1])], 0, 0, [rec("tokA", "1")], []),
    "a record without a display": ([(1, rec("tokA", "1")), (1, "TOKEN=t\n")], 0, -6, [], []),
}


OPERATIONS = {
    # The far side's answer comes in one piece: the operation stops reading
    # after the first line, and a writer that is still busy then may fail.
    "an error": ([(2, "**ERROR: -4\n")], 1, -4, [FAILED.format(1)]),
    "only the first line counts": ([(1, "**ERROR: -4\n**ERROR: -5\n")], 0, -4, []),
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
