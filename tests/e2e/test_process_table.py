"""The library's process table against the host's real /bin/ps, inside a
sandbox where only the sandbox's own processes exist."""
import signal
import time

import pytest

ALICE = 1001
NOT_RUNNING = "99999"
HEADER = {"rc": "0", "uid": "UID", "state": "0", "comm": "COMMAND", "pid": "PID"}


def rows(out):
    """vkadmin_probe's lines as dicts, keyed by the id asked for."""
    table = {}
    for line in out.splitlines():
        words = line.split(" ")
        name = words.pop(0) if "=" not in words[0] else None  # "init rc=N"
        fields = dict(w.split("=", 1) for w in words)
        table[name or fields.pop("ask")] = fields
    return table


@pytest.fixture
def processes(host):
    """A running, a stopped, another user's process, and one whose command
    name has a blank (a program file named "two words")."""
    host.path("/tmp/two words").symlink_to("/usr/bin/sleep")
    procs = {
        "running": host.spawn(["sleep", "1000"]),
        "stopped": host.spawn(["sleep", "1001"]),
        "alice's": host.spawn(["sleep", "1002"], uid=ALICE),
        "blank in name": host.spawn(["/tmp/two words", "1003"]),
    }
    procs["stopped"].signal(signal.SIGSTOP)
    deadline = time.monotonic() + 5
    while procs["stopped"].state() != "T" and time.monotonic() < deadline:
        time.sleep(0.005)
    return procs


@pytest.mark.parametrize("command", ["ps-cache", "ps-get"], ids=["cache", "single query"])
def test_processes_as_ps_reports_them(host, processes, command):
    r = host.probe(command, *(str(p.pid) for p in processes.values()))
    assert (r.rc, r.err) == (0, "")
    table = rows(r.out)
    expected = {
        "running": ("0", 0, "sleep"),
        "stopped": ("0", 4, "sleep"),
        "alice's": (str(ALICE), 0, "sleep"),
        "blank in name": ("0", 0, "two"),
    }
    for what, (uid, state, comm) in expected.items():
        pid = str(processes[what].pid)
        assert table[pid] == {"rc": "0", "uid": uid, "state": str(state), "comm": comm, "pid": pid}, what
    if command == "ps-cache":
        assert table["init"] == {"rc": "0"}


@pytest.mark.parametrize("command,ask,expected", [
    # The header line of ps stays in the cache under its column title.
    ("ps-cache", "PID", HEADER),
    ("ps-cache", NOT_RUNNING, {"rc": "-4", "uid": "(null)", "state": "0", "comm": "(null)", "pid": "(null)"}),
    # Cache keys are texts: 01 is not 1 (PID 1, the sandbox's init, always runs).
    ("ps-cache", "01", {"rc": "-4", "uid": "(null)", "state": "0", "comm": "(null)", "pid": "(null)"}),
    # The single query keeps the last line of ps: for a missing process, its header.
    ("ps-get", NOT_RUNNING, HEADER),
], ids=["cache-header", "cache-missing", "cache-leading-zero", "single-missing"])
def test_lookups_that_find_no_process(host, command, ask, expected):
    r = host.probe(command, ask)
    assert (r.rc, r.err) == (0, "")
    assert rows(r.out)[ask] == expected
