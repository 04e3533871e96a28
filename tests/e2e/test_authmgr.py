"""The authentication manager's word on this host's sessions: which tokens
are at a terminal, how their connections are secured, multihead groups
(from the real manager), and what a manager that misbehaves, is silent or
absent, or a host probe that fails, leaves of them (from a scripted
manager and a stand-in ping)."""
import json
import re
import signal
import time

import pytest

from conftest import LOG_INFO_DEFAULT, LOG_LOCAL1_INFO, PROBE, USERS, VKSESSION
from sessions import NAME, error, idle, plant, row, table, wait_for

FAKE = "/root/fake_authd.py"
FAKE_SRC = r'''
import json, socket, sys, threading, time
port = int(sys.argv[1])
srv = socket.socket()
srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
srv.bind(("127.0.0.1", port))
srv.listen(16)
open(f"/root/fake{port}.ready", "w").close()

def serve(c):
    # Script: {"reply": text, "chunk": bytes per send (0: all), "gap": s, "delay": s}
    with c:
        c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        req = c.recv(64)
        with open(f"/root/fake{port}.requests", "ab") as f:
            f.write(req + b"|")
        cfg = json.load(open("/root/fake.json"))
        time.sleep(cfg.get("delay", 0))
        data = cfg["reply"].encode()
        n = cfg.get("chunk") or max(len(data), 1)
        try:
            for i in range(0, len(data), n):
                c.sendall(data[i:i + n])
                time.sleep(cfg.get("gap", 0))
        except OSError:
            pass

while True:
    c, _ = srv.accept()
    threading.Thread(target=serve, args=(c,), daemon=True).start()
'''
# A stand-in for the host's ping: notes what it was given, answers /tmp/ping.rc.
PING_SRC = r'''#!/usr/bin/python3
import json, os, sys
fds = {}
for fd in range(256):
    try:
        fds[fd] = os.readlink(f"/proc/self/fd/{fd}")
    except OSError:
        pass
env = open("/proc/self/environ", "rb").read().decode().split("\0")[:-1]
with open("/tmp/ping.seen", "a") as f:
    f.write(json.dumps({"args": sys.argv[1:], "env": env, "fds": fds}) + "\n")
sys.exit(int(open("/tmp/ping.rc").read()) if os.path.exists("/tmp/ping.rc") else 0)
'''
PING = {"/usr/sbin/ping": (PING_SRC, 0o755)}
AUTHD = "/opt/KELWvk/lib/vkauthd"
TERMINALS = "/var/opt/KELWvk/authd/terminals/"
SECURITY = ("encryptUpType", "encryptDownType", "authenticateUpType", "authenticateDownType",
            "securityMode")


def pairs(terminal, token, *lines, **keys):
    """The lines of one terminal: its id, the token, then `lines` and `keys` as given."""
    return [f"terminalCID={terminal}", f"tokenName={token}", *lines,
            *(f"{k}={v}" for k, v in keys.items())]


def rec(*args, **keys):
    """One status record of a reply, as pairs() describes it."""
    return "begin\n" + "".join(line + "\n" for line in pairs(*args, **keys)) + "end\n"


def authd(h, *terminals):
    """Starts the real manager with the terminals given (each a list of pairs())."""
    for lines in terminals:
        h.write(TERMINALS + lines[0].split("=", 1)[1], "".join(x + "\n" for x in lines))
    r = h.run([AUTHD])
    assert (r.rc, r.err) == (0, "")


def sec(*values):
    """The five security keys with the given values (in their order)."""
    return dict(zip(SECURITY, values))


class Fake:
    """The scripted manager, listening on 127.0.0.1:`port` of the host."""

    def __init__(self, h, port=7010, **script):
        self.h, self.port = h, port
        h.write(FAKE, FAKE_SRC)
        self.script(**script)
        h.spawn(["/usr/bin/python3", FAKE, str(port)])
        wait_for(lambda: h.path(f"/root/fake{port}.ready").exists(), what="the fake manager")

    def script(self, reply="", chunk=0, gap=0.0, delay=0.0):
        self.h.write("/root/fake.json", json.dumps(
            {"reply": reply, "chunk": chunk, "gap": gap, "delay": delay}))

    def requests(self):
        p = self.h.path(f"/root/fake{self.port}.requests")
        return p.read_bytes().split(b"|")[:-1] if p.exists() else []


def line(raw, token, state, disp, security=None, primary=None, terms=None, group=None):
    """The machine-mode record of a planted session (no session proc file)."""
    values = [*(security or [None] * 5), primary, terms, group]
    keys = (*SECURITY, "TermPrimary", "TermList", "MultiheadGroupName")
    tail = ";".join(f"{k}={'NULL' if v is None else v}" for k, v in zip(keys, values))
    return (f"INSERT_TOKEN={raw};TOKEN={token};uid=NULL;STATE={state};DISPLAY={disp};"
            f"SERVER=parvix1;SESSION_TYPE=default;{tail}\n")


def listing(token, security, terms, group=None, primary=None):
    text = f"\nConfiguration for token ID '{token}':\n" + "".join(
        f"{k}={v}\n" for k, v in zip(SECURITY, security))
    if primary:
        text += f"MultiheadGroupName={group}\nprimaryCID={primary}\n"
    return text + f"terminalCIDs={terms}\n\n"


def debug_lines(h):
    return [m.rstrip("\n") for _, m in h.messages()]


def assert_read_back(h, out):
    """Record lines read back by the library write the same lines again."""
    r = h.probe("readback", input=out)
    assert (r.rc, r.out, r.err) == (0, out, "")


@pytest.fixture
def ping_host(make_host):
    return make_host(files=PING)


# ---- the manager reports the sessions -------------------------------------------------------

def test_security_of_connected_sessions(host):
    h = host
    for n, token in enumerate(["tokA", "tokB", "tokC", "tokD", "DeruRevaz.xx.tokE", "tokF",
                               "tokG"], 1):
        plant(h, str(n), token, f"raw{token[-1]}")
    stopped = h.spawn(["/bin/sleep", "1000"], uid=USERS["bob"])
    stopped.signal(signal.SIGSTOP)
    wait_for(lambda: stopped.state() == "T", what="a stopped session")
    plant(h, "8", "tokH", "rawH", proc={"uid": USERS["bob"], "pid": stopped.pid, "program": "sleep"})
    idle(h, "4")
    idle(h, "8")
    authd(h, pairs("tA", "tokA", **sec("ARCFOUR", "none", "none", "none", "m1")),
          pairs("tB", "tokB", **sec("none", "none", "MD5", "none", "m2")),
          pairs("tC", "tokC", **sec("AES", "AES", "MD5", "MD5", "m3")),
          pairs("tE", "tokE"),                                        # "none" for each
          pairs("tF", "TOKF", **sec("AES", "AES", "MD5", "MD5", "m")),  # the case differs
          pairs("tG", "tokG", **sec("NONE", "xnonex", "nonesuch", "none", "m7")),
          pairs("tH", "tokH", **sec("AES", "none", "none", "MD5", "m8")))
    r = h.vksession("-p")
    assert (r.rc, r.err) == (0, "")
    assert r.out == table(row("rawA", "???", "1", "E"), row("rawB", "???", "2", "A"),
                          row("rawC", "???", "3", "EA"), row("rawD", "???", "4", "DI"),
                          row("rawE", "???", "5", ""), row("rawF", "???", "6", "D"),
                          row("rawG", "???", "7", "E"), row("rawH", "???", "8", "ISEA"))
    none = ["none"] * 5
    r = h.vksession("-l")
    assert (r.rc, r.err) == (0, "")
    assert r.out == "".join([
        listing("rawA", ["ARCFOUR", "none", "none", "none", "m1"], "tA"),
        listing("rawB", ["none", "none", "MD5", "none", "m2"], "tB"),
        listing("rawC", ["AES", "AES", "MD5", "MD5", "m3"], "tC"),
        listing("rawE", none, "tE"),
        listing("rawG", ["NONE", "xnonex", "nonesuch", "none", "m7"], "tG"),
        listing("rawH", ["AES", "none", "none", "MD5", "m8"], "tH")])
    r = h.vksession("-p", "-x")
    assert (r.rc, r.err) == (0, "")
    assert r.out == "".join([
        line("rawA", "tokA", 0, "1", ["ARCFOUR", "none", "none", "none", "m1"], terms="tA"),
        line("rawB", "tokB", 0, "2", ["none", "none", "MD5", "none", "m2"], terms="tB"),
        line("rawC", "tokC", 0, "3", ["AES", "AES", "MD5", "MD5", "m3"], terms="tC"),
        line("rawD", "tokD", 3, "4"),
        line("rawE", "tokE", 0, "5", none, terms="tE"),
        line("rawF", "tokF", 1, "6"),
        line("rawG", "tokG", 0, "7", ["NONE", "xnonex", "nonesuch", "none", "m7"], terms="tG"),
        line("rawH", "tokH", 6, "8", ["AES", "none", "none", "MD5", "m8"], terms="tH")])
    assert_read_back(h, r.out)
    # No services entry: port 7010, said once per enumeration.
    assert debug_lines(h).count("getAuthMgrRecords(): Could not find service (vkauthd-cb)") == 3
    assert "getAuthMgrRecords(): Using hard-coded port (7010)" in debug_lines(h)


def member(terminal, token, index, enc, group, primary=True):
    return pairs(terminal, token, *([] if primary else ["MultiheadPrimary=false"]),
                 MultiheadGroupName=group, MultiheadTerminalIndex=index,
                 **sec(enc, enc + "d", "au", "ad", "m" + enc))


def test_multihead_groups(host):
    h = host
    for n, token in enumerate(["tokM0", "tokM1", "tokM2"], 1):
        plant(h, str(n), token, f"raw{n}")
    authd(h, *(member(f"m0-{i}", "tokM0", i, f"E{i}", "g0", primary=i == 2) for i in range(4)),
          member("m1-0", "tokM1", 0, "A", "g1"),
          member("m1-1", "tokM1", 1, "none", "g1", primary=False),
          # Slots 0 and 2 stay empty; MultiheadPrimary FALSE is no "false".
          member("m2-3", "tokM2", 3, "Y", "g2", primary=False),
          pairs("m2-1", "tokM2", "MultiheadPrimary=FALSE", MultiheadGroupName="g2",
                MultiheadTerminalIndex=1, **sec("X", "Xd", "au", "ad", "mX")))
    r = h.vksession("-l")
    assert (r.rc, r.err) == (0, "")
    assert r.out == "".join([
        listing("raw1", ["E0,E1,E2,E3", "E0d,E1d,E2d,E3d", "au,au,au,au", "ad,ad,ad,ad",
                         "mE0,mE1,mE2,mE3"], "m0-0,m0-1,m0-2,m0-3", "g0", "m0-2"),
        listing("raw2", ["A,none", "Ad,noned", "au,au", "ad,ad", "mA,mnone"], "m1-0,m1-1",
                "g1", "m1-0"),
        listing("raw3", ["X,Y", "Xd,Yd", "au,au", "ad,ad", "mX,mY"], "m2-1,m2-3", "g2", "m2-1"),
    ])
    # "none" in any member's value counts for the whole group.
    assert h.vksession("-p").out == table(row("raw1", "???", "1", "EA"),
                                          row("raw2", "???", "2", "A"),
                                          row("raw3", "???", "3", "EA"))
    r = h.vksession("-p", "-x", "-t", "tokM1")
    assert r.out == line("raw2", "tokM1", 0, "2", ["A,none", "Ad,noned", "au,au", "ad,ad",
                                                   "mA,mnone"], "m1-0", "m1-0,m1-1", "g1")
    r = h.vksession("-p", "-x")
    assert_read_back(h, r.out)


def test_multihead_group_without_primary(host):
    h = host
    plant(h, "1", "tokM", "raw1")
    authd(h, *(member(f"t{i}", "tokM", i, "A", "g", primary=False) for i in (1, 3)))
    r = h.vksession("-l")
    assert (r.rc, r.err) == (0, "")
    lists = ["A,A", "Ad,Ad", "au,au", "ad,ad", "mA,mA"]
    assert r.out == listing("raw1", lists, "t1,t3")
    r = h.vksession("-p", "-x")
    assert r.out == line("raw1", "tokM", 0, "1", lists, terms="t1,t3")
    assert_read_back(h, r.out)


@pytest.mark.parametrize("width,kept", [(20, 63), (21, 61)])
def test_terminal_list_limit(host, width, kept):
    h = host
    plant(h, "1", "tokM", "raw1")
    ids = [f"{i:0{width}d}" for i in range(64)]
    # The joined encryption values would be longer than 1023 characters: cut there.
    authd(h, *(pairs(t, "tokM", MultiheadGroupName="g", MultiheadTerminalIndex=i,
                     encryptUpType="e" * width) for i, t in enumerate(ids)))
    r = h.vksession("-l")
    assert (r.rc, r.err) == (0, "")
    terms = r.out.split("terminalCIDs=")[1].rstrip("\n")
    assert terms == ",".join(ids[:kept])
    assert "encryptUpType=" + ",".join(["e" * width] * 64)[:1023] + "\n" in r.out
    limit = "set_state(): multiheadterminal list exceeds internal limit of 64"
    assert debug_lines(h).count(limit) == 1


@pytest.mark.parametrize("index", ["64", "-1", None])
def test_bad_multihead_index_fails_the_enumeration(host, index):
    h = host
    plant(h, "1", "tokA", "raw1")
    plant(h, "2", "tokM", "raw2")
    extra = {} if index is None else {"MultiheadTerminalIndex": index}
    authd(h, pairs("t1", "tokA"), pairs("t2", "tokM", MultiheadGroupName="g", **extra))
    for xmode in (False, True):
        r = h.vksession("-p", *(["-x"] if xmode else []), argv0=NAME)
        assert (r.rc, r.out, r.err) == (1, "", error(xmode, -1, "Internal system error"))
    assert f"set_state(): Invalid Multihead group index {index or -1}" in debug_lines(h)


# ---- what a reply may hold ---------------------------------------------------------------------

LONG = "x" * 600
REPLIES = {
    "records": (rec("t1", "b", encryptUpType="u=v") + rec("t2", "a"),
                ["terminal=t2 token=a", "terminal=t1 token=b encUp=u=v"]),
    "closed mid-record": (rec("t1", "a") + "begin\nterminalCID=t2\ntokenName=b\n",
                          ["terminal=t1 token=a"]),
    "last end without newline": (rec("t1", "a") + rec("t2", "b")[:-1], ["terminal=t1 token=a"]),
    "garbage": ("\x01junk\n\nbegin\nno pair\n=x\nterminalCID=t1\n#tokenName=x\ntokenName=a\n"
                "end \nbegin \nend\n", ["terminal=t1 token=a"]),
    "carriage returns": ("begin\r\nterminalCID=t1\r\ntokenName=a\r\nend\r\n", []),
    "end without begin": ("terminalCID=t1\ntokenName=a\nend\n", ["terminal=t1 token=a"]),
    "two ends": ("begin\nterminalCID=t1\ntokenName=a\nend\ntokenName=b\nend\n",
                 ["terminal=t1 token=a", "terminal=t1 token=b"]),
    "no begin and end": ("terminalCID=t1\ntokenName=a\n", []),
    "nothing": ("", []),
    # A line of 511 bytes is whole; a longer one is left out of its record.
    "long lines": (rec("t1", "a", "encryptUpType=" + "y" * 497) +
                   rec("t2", "b", "encryptUpType=" + LONG),
                   ["terminal=t1 token=a encUp=" + "y" * 497, "terminal=t2 token=b"]),
    # A record over 2047 bytes is dropped as a whole.
    "long record": (rec("t1", "a", *[f"filler{i}={'z' * 90}" for i in range(22)]) +
                    rec("t2", "b") + rec("t3", "c", *[f"f{i}={'z' * 90}" for i in range(19)]),
                    ["terminal=t2 token=b", "terminal=t3 token=c"]),
}


def test_replies(host):
    h = host
    fake = Fake(h)
    keys = ["tokenName", "encryptUpType"]
    for name, (reply, records) in REPLIES.items():
        for chunk in (0, 7) if name != "records" else (0, 1, 7):
            fake.script(reply, chunk=chunk, gap=0.002 if chunk else 0)
            r = h.probe("authmgr", "localhost", "2", *keys)
            assert (r.rc, r.err) == (0, ""), name
            assert r.out.splitlines() == ["rc=0", *records], (name, chunk)
    # Without a key list the filter is empty: nothing is kept. A null host is 127.0.0.1.
    fake.script(REPLIES["records"][0])
    assert h.probe("authmgr", "-", "2").out == "rc=0\n"
    assert h.probe("authmgr", "-", "2", *keys).out.splitlines()[1:] == REPLIES["records"][1]
    assert set(fake.requests()) == {b"status\n"}


# ---- a manager that cannot be asked --------------------------------------------------------

def test_host_probe(host):
    for target, rc in [("localhost", 0), ("127.0.0.1", 0), ("10.11.12.13", 1), ("", 22),
                       ("-", 0)]:
        assert host.probe("ping", target).out == f"rc={rc}\n", target


def disconnected(h):
    """-p succeeds with every planted session disconnected."""
    r = h.vksession("-p")
    assert (r.rc, r.out, r.err) == (0, table(row("raw1", "???", "1", "D"),
                                             row("raw2", "???", "2", "D")), "")


def plant_two(h):
    plant(h, "1", "tokA", "raw1")
    plant(h, "2", "tokB", "raw2")
    return rec("t1", "tokA") + rec("t2", "tokB")


def test_silent_manager(host):
    h = host
    Fake(h, reply=plant_two(h), delay=7)
    t0 = time.monotonic()
    disconnected(h)
    assert 4.5 < time.monotonic() - t0 < 7
    lines = debug_lines(h)
    assert "getAuthMgrRecords(): poll timed out" in lines
    assert "set_state(): failed to contact authd (Authentication Manager timeout)" in lines


def test_no_manager_and_services_entry(make_host):
    h = make_host(services="vkauthd-cb\t7011/tcp\n")
    reply = plant_two(h)
    fake = Fake(h, port=7010, reply=reply)
    disconnected(h)
    lines = debug_lines(h)
    assert "getAuthMgrRecords(): Could not open socket to localhost:7011" in lines
    assert "open_socket(): Could not connect - Connection refused" in lines
    assert "set_state(): failed to contact authd (Failed to open socket)" in lines
    assert (LOG_LOCAL1_INFO, "socket : Error connecting - Connection refused.") in h.messages()
    assert not any("Could not find service" in m for m in lines)
    assert fake.requests() == []
    authd(h, pairs("t1", "tokA"), pairs("t2", "tokB"))   # at the port of the services entry
    r = h.vksession("-p")
    assert r.out == table(row("raw1", "???", "1", ""), row("raw2", "???", "2", ""))


def test_probe_of_the_host(ping_host):
    h = ping_host
    fake = Fake(h, reply=plant_two(h))
    # The probe's child inherits nothing of its caller: not its environment,
    # not its descriptors (here fd 7, open in vksession).
    r = h.sh(f"exec 7</etc/hosts; exec {VKSESSION} -p", env={"LANG": "C", "SECRET": "x"})
    assert r.out == table(row("raw1", "???", "1", ""), row("raw2", "???", "2", ""))
    seen = [json.loads(x) for x in h.path("/tmp/ping.seen").read_text().splitlines()]
    assert seen == [{"args": ["localhost", "5"], "env": ["PATH=/usr/bin:/usr/sbin:/bin"],
                     "fds": {"0": "/dev/null", "1": "/dev/null", "2": "/dev/null"}}]
    # A host that does not answer: no connection is made.
    h.write("/tmp/ping.rc", "7")
    disconnected(h)
    lines = debug_lines(h)
    assert "getAuthMgrRecords(): No response from host localhost:7010" in lines
    assert "set_state(): failed to contact authd (Server unreachable)" in lines
    assert fake.requests() == [b"status\n"]
    assert h.probe("ping", "localhost").out == "rc=7\n"   # the tool's own status
    # A name that does not resolve, once the probe lets it pass.
    h.write("/tmp/ping.rc", "0")
    assert h.probe("authmgr", "nosuch", "2", "tokenName").out == "rc=-13\n"
    assert h.messages()[-3:] == [
        (LOG_INFO_DEFAULT, "open_socket(): Could not get host by name (nosuch)\n"),
        (LOG_LOCAL1_INFO, "socket : Error getting host by name (nosuch)."),
        (LOG_INFO_DEFAULT, "getAuthMgrRecords(): Could not open socket to nosuch:7010\n")]
    # A child reaped elsewhere (SIGCHLD ignored, inherited): the probe cannot
    # know the verdict, says so, and lets the caller go on.
    r = h.run(["/usr/bin/python3", "-c", "import os, signal, sys; "
               "signal.signal(signal.SIGCHLD, signal.SIG_IGN); os.execv(sys.argv[1], sys.argv[1:])",
               PROBE, "ping", "localhost"])
    assert r.out == "rc=0\n"
    assert re.fullmatch(r"ping_host::waitpid\(\) returned ECHILD\. Child PID: \d+\.\.\.",
                        debug_lines(h)[-1])
