"""The library's process table against the host's real /bin/ps, inside a
sandbox where only the sandbox's own processes exist."""
import signal

import pytest

from conftest import USERS
from sessions import wait_for

MISSING = {"rc": "-4", "uid": "(null)", "state": "0", "comm": "(null)", "pid": "(null)"}
HEADER = {"rc": "0", "uid": "UID", "state": "0", "comm": "COMMAND", "pid": "PID"}


@pytest.mark.parametrize("command", ["ps-cache", "ps-get"])
def test_processes_as_ps_reports_them(host, command):
    host.path("/tmp/two words").symlink_to("/usr/bin/sleep")
    procs = [host.spawn(["sleep", "1000"]), host.spawn(["sleep", "1001"]),
             host.spawn(["sleep", "1002"], uid=USERS["alice"]), host.spawn(["/tmp/two words", "1"])]
    procs[1].signal(signal.SIGSTOP)
    wait_for(lambda: procs[1].state() == "T")
    cached = command == "ps-cache"
    r = host.probe(command, *(str(p.pid) for p in procs), "99999", *(["01"] if cached else []))
    got = {}
    for line in r.out.splitlines():
        fields = dict(w.split("=", 1) for w in line.split(" ") if "=" in w)
        got[fields.pop("ask", None)] = fields
    expected = [("0", "0", "sleep"), ("0", "4", "sleep"), ("1001", "0", "sleep"), ("0", "0", "two")]
    assert (r.rc, r.err) == (0, "")
    for p, (uid, state, comm) in zip(procs, expected):
        assert got[str(p.pid)] == {"rc": "0", "uid": uid, "state": state, "comm": comm, "pid": str(p.pid)}
    # Cache keys are texts (01 is not PID 1); the single query keeps the last
    # line of ps, for a missing process its header.
    assert got["99999"] == (MISSING if cached else HEADER)
    assert got.get("01", MISSING) == MISSING
