"""The authentication manager's word on this host's sessions (the real manager), and
what a scripted one that misbehaves, is silent or absent, or a failing ping leave of them."""
import json
import re

import pytest

from conftest import LOG_LOCAL1_INFO as LOCAL1, PROBE, SLACK, VKSESSION
from group import TERMINALS, authd
from sessions import BOB, NAME, client, error, idle, plant, record, row, sleeper, table, timed, wait_for

SECURITY = ("encryptUpType", "encryptDownType", "authenticateUpType", "authenticateDownType",
            "securityMode")
# The scripted manager: for every connection it notes the request and sends
# the reply of /root/fake.json in chunks of "chunk" bytes "gap" seconds
# apart, after "delay" seconds, pausing "pause" seconds after the first
# record, then closes after "hold" seconds.
FAKE = r'''
import contextlib, json, socket, sys, threading, time
port = int(sys.argv[1])
srv = socket.create_server(("127.0.0.1", port))
open(f"/root/fake{port}.ready", "w").close()
def serve(c):
    with c, contextlib.suppress(OSError):
        c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        open(f"/root/fake{port}.requests", "ab").write(c.recv(64) + b"|")
        cfg = json.load(open("/root/fake.json"))
        time.sleep(cfg["delay"])
        data = cfg["reply"].encode()
        first = data.find(b"end\n") + 4 if cfg["pause"] else len(data)
        for k, part in enumerate((data[:first], data[first:])):
            time.sleep(cfg["pause"] * k)
            n = cfg["chunk"] or max(len(part), 1)
            for i in range(0, len(part), n):
                c.sendall(part[i:i + n])
                time.sleep(cfg["gap"])
        time.sleep(cfg["hold"])
while True:
    threading.Thread(target=serve, args=(srv.accept()[0],), daemon=True).start()
'''
# A stand-in for the host's ping: notes what it was given, answers /tmp/ping.rc.
PING = {"/usr/sbin/ping": (r'''#!/usr/bin/python3
import json, os, sys
fds = {fd: os.readlink(f"/proc/self/fd/{fd}") for fd in range(256)
       if os.path.lexists(f"/proc/self/fd/{fd}")}
env = open("/proc/self/environ", "rb").read().decode().split("\0")[:-1]
open("/tmp/ping.seen", "a").write(json.dumps({"args": sys.argv[1:], "env": env, "fds": fds}) + "\n")
sys.exit(int(open("/tmp/ping.rc").read()) if os.path.exists("/tmp/ping.rc") else 0)
''', 0o755)}


def pairs(terminal, token, *lines, **keys):
    """The lines of one terminal: its id, the token, then `lines` and `keys`."""
    return [f"terminalCID={terminal}", f"tokenName={token}", *lines, *(f"{k}={v}" for k, v in keys.items())]


def rec(*args, **keys):
    """One record of a reply, as pairs() describes it."""
    return "begin\n" + "".join(x + "\n" for x in pairs(*args, **keys)) + "end\n"


def sec(*values):
    return dict(zip(SECURITY, values))


class Fake:
    def __init__(self, h, port=7010, **script):
        self.h, self.port = h, port
        self.script(**script)
        h.spawn(["/usr/bin/python3", "-c", FAKE, str(port)])
        wait_for(lambda: h.path(f"/root/fake{port}.ready").exists(), what="the fake manager")

    def script(self, reply="", chunk=0, gap=0.0, delay=0.0, pause=0.0, hold=0.0):
        self.h.write("/root/fake.json", json.dumps(
            {"reply": reply, "chunk": chunk, "gap": gap, "delay": delay, "pause": pause,
             "hold": hold}))

    def requests(self):
        p = self.h.path(f"/root/fake{self.port}.requests")
        return p.read_bytes().split(b"|")[:-1] if p.exists() else []


def line(disp, token, state, security=None, terms=None, primary=None, group=None):
    """The machine-mode record of planted session `disp` (raw token "raw<disp>")."""
    return record(f"raw{disp}", token, None, state, disp, **dict(zip(SECURITY, security or [])),
                  TermPrimary=primary, TermList=terms, MultiheadGroupName=group)


def listing(disp, security, terms, primary=None, group=None):
    text = f"\nConfiguration for token ID 'raw{disp}':\n" + "".join(
        f"{k}={v}\n" for k, v in zip(SECURITY, security))
    if primary:
        text += f"MultiheadGroupName={group}\nprimaryCID={primary}\n"
    return text + f"terminalCIDs={terms}\n\n"


# ---- the manager reports the sessions --------------------------------------------------------

def test_security_and_multihead_groups_of_connected_sessions(host):
    h = host
    # display, token, keys of its status record (None: not reported), letters, state
    sessions = [
        ("1", "tokA", sec("NONE", "xnonex", "nonesuch", "none", "m1"), "E", 0),
        ("2", "tokB", sec("none", "none", "MD5", "none", "m2"), "A", 0),
        ("3", "tokC", sec("AES", "AES", "MD5", "MD5", "m3"), "EA", 0),
        ("5", "DeruRevaz.xx.tokE", {}, "", 0),                # no security key: "none" each
        ("6", "tokF", None, "DI", 3),                         # idle; the manager has TOKF
        ("8", "tokH", sec("AES", "none", "none", "MD5", "m8"), "ISEA", 6),   # idle, stopped
    ]
    stopped = client(sleeper(h, BOB, stopped=True), BOB)
    for disp, token, *_ in sessions:
        plant(h, disp, token, f"raw{disp}", proc=stopped if disp == "8" else None)
    idle(h, "6")
    idle(h, "8")
    # Multihead groups: terminal, token, index, encryption up, MultiheadPrimary (None: not sent).
    # Group 3's slots 0 and 2 stay empty and FALSE is no "false"; group 4 has no primary.
    members = [("m2-0", "tokM2", 0, "A", None), ("m2-1", "tokM2", 1, "none", "false"),
               ("m3-3", "tokM3", 3, "Y", "false"), ("m3-1", "tokM3", 1, "X", "FALSE"),
               ("m4-3", "tokM4", 3, "Z", "false"), ("m4-1", "tokM4", 1, "Z", "false")]
    # display, encryption up list, terminal list, primary terminal, letters
    groups = [("92", "A,none", "m2-0,m2-1", "m2-0", "A"),   # "none" in one member counts
              ("93", "X,Y", "m3-1,m3-3", "m3-1", "EA"), ("94", "Z,Z", "m4-1,m4-3", None, "EA")]
    for disp, *_ in groups:
        plant(h, disp, f"tokM{disp[1]}", f"raw{disp}")
    authd(h, pairs("t6", "TOKF", **sec("AES", "AES", "MD5", "MD5", "m")),
          *(pairs(f"t{d}", t[-4:], **keys) for d, t, keys, *_ in sessions if keys is not None),
          *(pairs(t, token, *([f"MultiheadPrimary={p}"] if p else []), MultiheadGroupName="g" + token[-1],
                  MultiheadTerminalIndex=i, **sec(enc, enc + "d", "au", "ad", "m" + enc))
            for t, token, i, enc, p in members))
    values = {d: None if k is None else [k.get(x, "none") for x in SECURITY] for d, _, k, *_ in sessions}

    def lists(up):
        up = up.split(",")
        return [",".join(up), ",".join(e + "d" for e in up), ",".join(["au"] * len(up)),
                ",".join(["ad"] * len(up)), ",".join("m" + e for e in up)]
    rows = [(d, x) for d, _, _, x, _ in sessions] + [(d, x) for d, *_, x in groups]
    listings = {d: listing(d, v, f"t{d}") for d, v in values.items() if v is not None}
    listings |= {d: listing(d, lists(up), terms, p, "g" + d[1]) for d, up, terms, p, _ in groups}
    lines = {d: line(d, t[-4:], state, values[d], values[d] and f"t{d}") for d, t, _, _, state in sessions}
    lines |= {d: line(d, f"tokM{d[1]}", 0, lists(up), terms, p, p and "g" + d[1])
              for d, up, terms, p, _ in groups}
    # -p, -l and -p -x print exactly these, and the record lines read back the same.
    for args, out in ((["-p"], table(*(row(f"raw{d}", "???", d, x) for d, x in sorted(rows)))),
                      (["-l"], "".join(listings[k] for k in sorted(listings))),
                      (["-p", "-x"], "".join(lines[k] for k in sorted(lines)))):
        r = h.vksession(*args)
        assert (r.rc, r.out, r.err) == (0, out, ""), args
    assert h.probe("readback", input=r.out).out == r.out
    # A member with a bad index (or none) fails the enumeration as a whole.
    for index, xmode in (("64", False), ("-1", True), ("4294967295", False), (None, True)):
        h.clear_log()
        extra = [] if index is None else [f"MultiheadTerminalIndex={index}"]
        h.write(TERMINALS + "m4-3", "\n".join(pairs("m4-3", "tokM4", "MultiheadGroupName=g4", *extra)) + "\n")
        r = h.vksession("-p", *(["-x"] if xmode else []), argv0=NAME)
        assert (r.rc, r.out, r.err) == (1, "", error(xmode, -1, "Internal system error")), index
        # All 32 bits set is the index read as a signed number: -1, as when absent.
        shown = -1 if index in (None, "4294967295") else index
        assert f"set_state(): Invalid Multihead group index {shown}" in h.lines()


# Each id takes its length and a comma of the list's 1344: the ids that
# bring it to 1344 or beyond are left out; one that brings it to 1343 is kept.
@pytest.mark.parametrize("widths,kept", [([20] * 64, 63), ([21] * 64, 61), ([20] * 63 + [19], 64)])
def test_terminal_list_limit(host, widths, kept):
    h = host
    plant(h, "1", "tokM", "raw1")
    ids = [f"{i:0{w}d}" for i, w in enumerate(widths)]
    # The joined encryption values would be longer than 1023 characters: cut there.
    authd(h, *(pairs(t, "tokM", MultiheadGroupName="g", MultiheadTerminalIndex=i,
                     encryptUpType="e" * widths[0]) for i, t in enumerate(ids)))
    r = h.vksession("-l")
    assert (r.rc, r.err) == (0, "")
    assert r.out.split("terminalCIDs=")[1] == ",".join(ids[:kept]) + "\n\n"
    assert "encryptUpType=" + ",".join(["e" * widths[0]] * 64)[:1023] + "\n" in r.out
    limit = "set_state(): multiheadterminal list exceeds internal limit of 64"
    assert h.lines().count(limit) == (kept < 64)


# ---- what a reply may hold -------------------------------------------------------------------

REPLIES = {
    "records": (rec("t1", "b", encryptUpType="u=v") + rec("t2", "a"),
                ["terminal=t2 token=a", "terminal=t1 token=b encUp=u=v"]),
    "closed mid-record": (rec("t1", "a") + "begin\nterminalCID=t2\ntokenName=b\n",
                          ["terminal=t1 token=a"]),
    "last end without newline": (rec("t1", "a") + rec("t2", "b")[:-1], ["terminal=t1 token=a"]),
    "garbage": ("\x01junk\n\nbegin\nno pair\n=x\nterminalCID=t1\n#tokenName=x\ntokenName=a\n"
                "end \nbegin \nend\n", ["terminal=t1 token=a"]),
    # A NUL byte ends the record's text.
    "NUL bytes": ("begin\nterminalCID=t1\ntokenName=a\0b\nend\n"
                  "begin\nterminalCID=t2\0\ntokenName=c\nend\n", ["terminal=t1 token=a"]),
    # A line of 511 bytes is whole; one of 512 is left out of its record.
    "lines of 511 and 512 bytes": (rec("t1", "a", "encryptUpType=" + "y" * 497) +
                                   rec("t2", "b", "encryptUpType=" + "x" * 498),
                                   ["terminal=t1 token=a encUp=" + "y" * 497, "terminal=t2 token=b"]),
    # A record of 2047 bytes is whole; one of 2048 is dropped.
    "records of 2047 and 2048 bytes": (
        rec("t1", "a", *[f"f{i}={'z' * 496}" for i in range(4)], "g=" + "z" * 17) +
        rec("t2", "b", *[f"f{i}={'z' * 496}" for i in range(4)], "g=" + "z" * 18),
        ["terminal=t1 token=a"]),
}


def test_replies(host):
    h = host
    fake = Fake(h)
    keys = ["tokenName", "encryptUpType"]
    for name, (reply, records) in REPLIES.items():
        for chunk in (0, 7):
            fake.script(reply, chunk=chunk, gap=0.002 if chunk else 0)
            r = h.probe("authmgr", "localhost", "2", *keys)
            assert (r.rc, r.out.splitlines(), r.err) == (0, ["rc=0", *records], ""), (name, chunk)
    # Without a key list nothing is kept. No host is 127.0.0.1.
    fake.script(REPLIES["records"][0])
    assert h.probe("authmgr", "-", "2").out == "rc=0\n"
    assert h.probe("authmgr", "-", "2", *keys).out.splitlines()[1:] == REPLIES["records"][1]
    assert set(fake.requests()) == {b"status\n"}
    for target, rc in [("localhost", 0), ("10.11.12.13", 1), ("", 22)]:
        assert h.probe("ping", target).out == f"rc={rc}\n", target


# ---- a manager that cannot be asked ----------------------------------------------------------

def plant_two(h):
    plant(h, "1", "tokA", "raw1")
    plant(h, "2", "tokB", "raw2")
    return rec("t1", "tokA") + rec("t2", "tokB")


def reported(h, letters, *vksession):
    """-p succeeds with the two planted sessions in the state `letters`."""
    r = h.run([*(vksession or [VKSESSION]), "-p"])
    rows = [row(f"raw{d}", "???", d, letters) for d in "12"]
    assert (r.rc, r.out, r.err) == (0, table(*rows), "")


def padded(records, size):
    """`records` after lines of junk, `size` bytes in all (at least the records)."""
    pad = max(size - len(records), 0)
    return ("x" * 1023 + "\n") * (pad >> 10) + ("x" * (pad % 1024 - 1) + "\n" if pad % 1024 else "") + records


@pytest.mark.parametrize("size,script,letters,seconds,log", [
    (0, dict(delay=7), "D", (4.5, 7), "poll timed out"),
    # A manager that pauses between records is waited for.
    (0, dict(pause=6), "", (6, 8), None),
    # A complete reply on a connection that stays open, or one that trickles in too slowly to
    # fall silent: the query ends 30 s after the first data, the sessions disconnected.
    (0, dict(hold=60), "D", (29.5, 32), "reply not complete within 30000 ms, abandoned"),
    (2048, dict(chunk=1, gap=0.05), "D", (29.5, 32), "reply not complete within 30000 ms, abandoned"),
    # Lines of junk before the records: a reply of up to 16 MiB is read, more is given up.
    (16 << 20, {}, "", (0, 30), None),
    ((16 << 20) + 1, {}, "D", (0, 30), "reply longer than 16777216 bytes, abandoned"),
], ids=["silent", "pauses", "never-closes", "trickles", "16MiB", "16MiB+1"])
def test_stalled_or_flooding_manager(host, size, script, letters, seconds, log):
    Fake(host, reply=padded(plant_two(host), size), **script)
    _, took = timed(reported, host, letters)
    assert seconds[0] < took < seconds[1] + SLACK
    stalls = ("poll timed out", "reply not complete within 30000 ms, abandoned",
              "reply longer than 16777216 bytes, abandoned")
    assert [f"getAuthMgrRecords(): {x}" in host.lines() for x in stalls] == [x == log for x in stalls]


def test_no_manager_and_services_entry(make_host):
    h = make_host(services="vkauthd-cb\t7011/tcp\n")
    fake = Fake(h, port=7010, reply=plant_two(h))
    reported(h, "D")
    assert "getAuthMgrRecords(): Could not open socket to localhost:7011" in h.lines()
    assert (LOCAL1, "socket : Error connecting - Connection refused.") in h.messages()
    assert fake.requests() == []
    authd(h, pairs("t1", "tokA"), pairs("t2", "tokB"))   # listens at the services entry's port
    reported(h, "")


def test_probe_of_the_host(make_host):
    h = make_host(files=PING)
    fake = Fake(h, reply=plant_two(h))
    # The tool inherits nothing of its caller: not its environment, not its
    # descriptors (here fd 7, open in vksession).
    reported(h, "", "/bin/sh", "-c", f'exec 7</etc/hosts; SECRET=x exec {VKSESSION} "$@"', "sh")
    seen = [json.loads(x) for x in h.path("/tmp/ping.seen").read_text().splitlines()]
    assert seen == [{"args": ["localhost", "5"], "env": ["PATH=/usr/bin:/usr/sbin:/bin"],
                     "fds": {"0": "/dev/null", "1": "/dev/null", "2": "/dev/null"}}]
    # A host that does not answer: no connection is made.
    h.write("/tmp/ping.rc", "7")
    reported(h, "D")
    assert "getAuthMgrRecords(): No response from host localhost:7010" in h.lines()
    assert fake.requests() == [b"status\n"]
    assert h.probe("ping", "localhost").out == "rc=7\n"   # the tool's own status
    # A child reaped elsewhere (SIGCHLD ignored, inherited): the probe cannot
    # know the verdict, says so, and lets the caller go on.
    r = h.run(["/usr/bin/python3", "-c", "import os, signal, sys; signal.signal(signal.SIGCHLD, "
               "signal.SIG_IGN); os.execv(sys.argv[1], sys.argv[1:])", PROBE, "ping", "localhost"])
    assert r.out == "rc=0\n"
    assert re.fullmatch(r"ping_host::waitpid\(\) returned ECHILD\. Child PID: \d+\.\.\.",
                        h.lines()[-1])
