"""The helpers of the failover group's tests; the group itself is tools/sandbox/vksbx_group.py,
whose names the test modules import from here too."""
from vksbx_group import (CONTROL_DIR, GROUP, KEY, KNOWN_HOSTS, MEMBERS, NET,  # noqa: F401
                         SSH_CONFIG, VKGROUP, VKRCMD, Group, _started, is_master)

AUTHD, TERMINALS = "/opt/KELWvk/lib/vkauthd", "/var/opt/KELWvk/authd/terminals/"
# The fields of a record line, in the order vksession -p -x writes them.
FIELDS = ("INSERT_TOKEN", "TOKEN", "uid", "STATE", "DISPLAY", "SERVER", "SESSION_TYPE",
          "encryptUpType", "encryptDownType", "authenticateUpType", "authenticateDownType",
          "securityMode", "TermPrimary", "TermList", "MultiheadGroupName")


def line_of(d):
    """The record line of the fields in `d` (absent or None: NULL)."""
    return ";".join(f"{k}={'NULL' if d.get(k) is None else d[k]}" for k in FIELDS) + "\n"


def noting(then=""):
    """A stand-in program that notes its words in /tmp/calls (each ended by a NUL, the call by a
    record separator), then runs the shell commands `then`. A call's note is appended in one
    write, so that calls running side by side (a listing beside an action) never mix their words."""
    return ("#!/bin/sh\nnote=/tmp/.call.$$\n"
            "{ for a in \"$@\"; do printf '%s\\0' \"$a\"; done; printf '\\036'; } > $note\n"
            "cat $note >> /tmp/calls; rm -f $note\n" + then)


def calls(h):
    """The calls of host `h`'s stand-in since the last look. The notes are only read, never
    removed, so that a call noted while they are read is not lost but seen at the next look."""
    p = h.path("/tmp/calls")
    data = p.read_bytes() if p.exists() else b""
    seen = getattr(h, "calls_seen", 0)
    if len(data) < seen:   # the notes were removed and begun again
        seen = 0
    h.calls_seen = data.rfind(b"\036") + 1 or seen
    text = data[seen:h.calls_seen].decode(errors="surrogateescape")
    return [c.split("\0")[:-1] for c in text.split("\036")[:-1]]


def pwned(*hosts):
    """The files that a command smuggled into a value made ("pwn..." in /tmp or /root)."""
    return [str(p) for h in hosts for d in ("/tmp", "/root") for p in h.path(d).glob("pwn*")]


def metric_samples(text):
    """{metric with its labels: value} of a metrics text."""
    return dict(x.rsplit(" ", 1) for x in text.splitlines() if not x.startswith("#"))


def status_field(pid, name, gone=None):
    """A number of machine process `pid`'s /proc status (hexadecimal for a signal mask), or
    `gone` once the process has ended."""
    try:
        with open(f"/proc/{pid}/status") as f:
            value = next(x.split()[1] for x in f if x.startswith(name + ":"))
        return int(value, 16 if name.startswith("Sig") else 10)
    except OSError:
        return gone


def authd(h, *terminals):
    """Starts the authentication manager of `h` with the terminals given (key=value lines each)."""
    for lines in terminals:
        h.write(TERMINALS + lines[0].split("=", 1)[1], "".join(x + "\n" for x in lines))
    assert h.run([AUTHD]).rc == 0
