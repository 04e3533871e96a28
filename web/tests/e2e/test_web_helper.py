"""vkweb-helper started in a sandboxed host as vkweb starts it, with PAM, real password hashes and the
administrators' group: refusals, logins and their back-off. (An action through the helper, on a
member over ssh: the browser tests.)"""
import os
import select
import struct
import subprocess
import sys
import time
from pathlib import Path

import pytest

SOURCE = Path(os.environ.get("VK_SOURCE") or Path(__file__).resolve().parents[3])
sys.path.insert(0, str(SOURCE / "tests" / "e2e"))
from conftest import USERS, _build_path, make_host  # noqa: E402,F401  (make_host: a fixture)
from group import MEMBERS  # noqa: E402
from sessions import plant  # noqa: E402
from vksbx_web import PAM_SERVICE, PASSWORDS, account_files  # noqa: E402

DRIVER = "/root/helper_driver.py"
CONFIG = "/etc/opt/KELWvk/web/vkweb.conf"
PAM_NOTE = "/etc/opt/pam-note"
PAM_CALLS, RCMD_CALLS, KILL_CALLS = "/tmp/pam-calls", "/tmp/vkrcmd-calls", "/tmp/vksessionkill-calls"
LOG_AUTHPRIV_NOTICE, LOG_DAEMON_ERR = 10 * 8 + 5, 3 * 8 + 3
CLIENT = "192.0.2.7"
# Stand-ins for PAM's first module, the remote-command program and the session killer: each notes
# its call, and whether the helper's channel leaked into it.
RECORDER = """#!/bin/sh
leak=; for fd in 3 4 5 6 7 8; do [ -e /proc/$$/fd/$fd ] && leak=" fd3"; done
echo "{line}$leak" >> {calls}
"""


def web_files(users):
    """The files of a host that runs the helper: the browser tests' accounts, and the PAM service
    as shipped with the recorder before it."""
    files = account_files(users, _build_path("VK_STAGE"))
    pam = "".join(f"{t} optional pam_exec.so quiet {PAM_NOTE}\n" for t in ("auth", "account"))
    files.update({PAM_SERVICE: (pam + files[PAM_SERVICE][0], 0o644),
                  PAM_NOTE: (RECORDER.format(line="$PAM_TYPE $PAM_USER $PAM_RHOST", calls=PAM_CALLS), 0o755),
                  CONFIG: ("deadline = 10\n", 0o644),
                  DRIVER: ((SOURCE / "web/tests/e2e/helper_driver.py").read_text(), 0o755)})
    return files


# ---- the protocol, from vkweb's side ------------------------------------------------------------

def encode(kind, fields):
    fields = [f if isinstance(f, bytes) else f.encode() for f in fields]
    body = kind.encode() + b"".join(struct.pack("<I", len(f)) + f for f in fields)
    return struct.pack("<I", len(body)) + body


class Helper:
    """The helper on a host, through the driver; `text` sends one request and reads its reply."""

    def __init__(self, host, *args, mode="socket"):
        self.p = subprocess.Popen(host._command(["/usr/bin/python3", DRIVER, mode, *args], 0, None, None),
                                  env=host._env(0, None), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE)

    def send(self, data):
        self.p.stdin.write(data)
        self.p.stdin.flush()

    def _read(self, n, timeout):
        out = b""
        deadline = time.monotonic() + timeout
        while len(out) < n:
            left = deadline - time.monotonic()
            assert left > 0 and select.select([self.p.stdout], [], [], left)[0], "the helper does not answer"
            chunk = os.read(self.p.stdout.fileno(), n - len(out))
            if not chunk:
                return None
            out += chunk
        return out

    def text(self, kind, *fields, timeout=30):
        """Sends one request; its reply as its status letter and its fields, as text."""
        self.send(encode(kind, fields))
        head = self._read(4, timeout)
        assert head is not None, f"the helper ended: {self.close()}"
        body = self._read(struct.unpack("<I", head)[0], timeout)
        fields, at = [], 1
        while at < len(body):
            n = struct.unpack("<I", body[at:at + 4])[0]
            fields.append(body[at + 4:at + 4 + n].decode(errors="replace"))
            at += 4 + n
        return [body[:1].decode(), *fields]

    def close(self, timeout=30):
        """Ends standard input (the helper sees EOF); (exit status, standard error)."""
        if not self.p.stdin.closed:
            try:
                self.p.stdin.close()
            except BrokenPipeError:
                pass
        rc = self.p.wait(timeout)
        err = self.p.stderr.read().decode(errors="replace")
        self.p.stdout.close()
        self.p.stderr.close()
        return rc, err


def refused(why):
    return ["E", why]


def lines(h, path):
    p = h.path(path)
    return p.read_text().splitlines() if p.exists() else []


# ---- one host, with stand-ins for what would run -------------------------------------------------

@pytest.fixture
def web_host(make_host):
    files = web_files(USERS)
    files.update({MEMBERS: ("parvix2\n", 0o644),
                  "/opt/KELWvk/lib/vkrcmd": (RECORDER.format(line="$*", calls=RCMD_CALLS), 0o755),
                  "/opt/KELWvk/lib/vksessionkill": (RECORDER.format(line="$*", calls=KILL_CALLS), 0o755)})
    h = make_host(files=files)
    plant(h, "5", "tok5", "raw5", proc={"uid": USERS["alice"], "pid": 1, "program": "init"})
    return h


def nothing_ran(h):
    return (lines(h, PAM_CALLS), lines(h, RCMD_CALLS), lines(h, KILL_CALLS)) == ([], [], [])


ID = "0123456789abcdef" * 4


MALFORMED = [
    (struct.pack("<I", 1_022_218 + 1) + b"A", "a length over the limit"),
    (struct.pack("<I", 0), "an empty message"),
    (struct.pack("<I", 9) + b"W" + struct.pack("<I", 100) + b"abcd", "a field longer than the message"),
    (struct.pack("<I", 50) + b"W", "the connection closed inside a message"),
    (b"\x05\x00", "the connection closed inside a length"),
]


def test_a_message_that_is_not_one_ends_the_helper(web_host):
    for n, (data, what) in enumerate(MALFORMED, 1):
        helper = Helper(web_host)
        assert helper.text("W", ID, CLIENT, "1") == refused("out of order"), what
        helper.send(data)
        rc, err = helper.close()
        assert rc == 1 and "not to be trusted" in err, (what, rc, err)
        logged = [(x.ident, x.pri) for x in web_host.log() if x.msg.startswith("a message from vkweb that is not one")]
        assert logged == [("vkweb-helper", LOG_DAEMON_ERR)] * n, what
    assert nothing_ran(web_host)


def test_the_helper_starts_only_with_a_socket_on_descriptor_3(web_host):
    web_host.write("/etc/opt/bad.conf", "admin_group = a b\n")
    no_socket = "descriptor 3 is not a socket: vkweb-helper is started by vkweb\n"
    for mode, args, err in [("pipe", [], no_socket), ("none", [], no_socket),
                            ("socket", ["-c", "/etc/opt/bad.conf"], "/etc/opt/bad.conf:1: admin_group must be a plain name\n")]:
        assert Helper(web_host, *args, mode=mode).close() == (1, f"vkweb-helper: {err}"), mode
    rc, err = Helper(web_host, "-x").close()
    assert rc == 2 and err.startswith("usage: vkweb-helper [-c CONFIG]")


def test_refused_requests_run_nothing_logins_of_administrators_only_and_their_back_off(web_host):
    h = web_host
    helper = Helper(h)
    session = ["parvix1", "raw5", "tok5", "alice", "5"]
    for request, why in [
            # (Each check of a request and its refusal: the unit tests of the requests.)
            (("X", ID, CLIENT, ID, "terminate", "-oProxyCommand=x", *session[1:]), "bad server name"),
            # Well formed, but no session has this id.
            (("W", ID, CLIENT, "1"), "out of order"),
            (("L", ID, CLIENT), "out of order"),
            (("X", ID, CLIENT, ID, "terminate", *session), "out of order"),
            (("Q", ID, ID), "out of order")]:
        assert helper.text(*request) == refused(why), request[:2]
    assert nothing_ran(h)
    assert h.path("/var/opt/KELWvk/displays/5").exists()

    # Still serving: logins, each through PAM once.
    r = helper.text("A", "alice", PASSWORDS["alice"], "192.0.2.1")
    assert r[0] == "O" and r[2] == "alice" and len(r[1]) == len(r[3]) == 64 and r[1] != r[3], r
    assert helper.text("W", r[1], "192.0.2.1", "1") == ["O", "alice", r[3]]
    for user, password, client in [("bob", PASSWORDS["bob"], "192.0.2.2"), ("alice", "wrong", "192.0.2.3"),
                                   ("nobody", "x", "2001:db8:1:2::1")]:
        assert helper.text("A", user, password, client) == refused("login failed"), user
    assert lines(h, PAM_CALLS) == ["auth alice 192.0.2.1", "account alice 192.0.2.1",
                                   "auth bob 192.0.2.2", "account bob 192.0.2.2", "auth alice 192.0.2.3",
                                   "auth nobody 2001:db8:1:2::1"]
    # (PAM's modules log there too, under the helper's name.)
    security = [x.msg for x in h.log() if x.pri == LOG_AUTHPRIV_NOTICE and x.msg.startswith("login of ")]
    assert security == ["login of alice from 192.0.2.1",
                        "login of bob from 192.0.2.2 failed: not a member of the administrators' group",
                        "login of alice from 192.0.2.3 failed: Authentication failure",
                        "login of nobody from 2001:db8:1:2::1 failed: Authentication failure"]

    # One failure from 192.0.2.3, and one from the /64 of 2001:db8:1:2::1 (a source as a whole):
    # PAM is not asked again from either for a second (how the waits grow and add up: the unit
    # tests of the back-off).
    calls = len(lines(h, PAM_CALLS))
    for client in ("192.0.2.3", "2001:db8:1:2::2"):
        assert helper.text("A", "alice", PASSWORDS["alice"], client) == \
            refused("too many failed logins; try again in 1 s"), client
    assert len(lines(h, PAM_CALLS)) == calls
    time.sleep(1.1)
    r = helper.text("A", "alice", PASSWORDS["alice"], "192.0.2.3")
    assert r[0] == "O", r
    assert h.log()[-1].msg == "login of alice from 192.0.2.3"

    # The listing of the whole group, and each member's dry run of the limits with it (what the
    # pages make of them: the browser tests).
    sid, csrf = r[1], r[3]
    r = helper.text("L", sid, "192.0.2.3")
    assert r[0] == "O" and any("tok5" in f for f in r), r
    assert lines(h, RCMD_CALLS) == [f"parvix2 /opt/KELWvk/sbin/{c} -x" for c in ("vksession -p", "vkgroup limits")]
    assert helper.text("Q", sid, csrf) == ["O"]
    assert helper.text("W", sid, "192.0.2.3", "1") == refused("out of order")
    assert helper.close() == (0, "")
