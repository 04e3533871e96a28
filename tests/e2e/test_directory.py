"""The directory (a real slapd): registered names in the table and as selectors (-n), hostile
names, the bind and the user status database, and a directory that is absent or hung."""
import signal
import time
from functools import partial

import pytest
import vksbx_slapd
from vksbx_slapd import USTATUS, VKUSTATUS

from conftest import LOG_INFO_DEFAULT as INFO, SLACK, SOURCE
from sessions import NAME, outcome, plant, row, table, timed, wait_for

SUFFIX, ADMIN_PW = "o=v1data", "adminpw"
configure = partial(vksbx_slapd.configure, suffix=SUFFIX, admin_pw=ADMIN_PW)
user, ltoken = partial(vksbx_slapd.user, SUFFIX), partial(vksbx_slapd.ltoken, SUFFIX)


# A relay in front of slapd that passes the bind and everything before the
# first search request, then holds every connection open without passing
# anything more: a directory server that stops answering after the bind.
HANG_AFTER_BIND = r'''
import socket, sys, threading
port, target = int(sys.argv[1]), int(sys.argv[2])
srv = socket.create_server(("127.0.0.1", port))
open(f"/root/relay{port}.ready", "w").close()
def header(b):
    """(header length, content length) of the BER element at the start of b, or None."""
    if len(b) < 2:
        return None
    if b[1] < 0x80:
        return 2, b[1]
    n = b[1] & 0x7f
    return (2 + n, int.from_bytes(b[2:2 + n], "big")) if len(b) >= 2 + n else None
def upstream(c, s):
    buf, held = b"", False
    while data := c.recv(65536):
        buf += data
        while not held and (h := header(buf)) and len(buf) >= sum(h):
            msg, buf = buf[:sum(h)], buf[sum(h):]
            inner = msg[h[0]:]                       # messageID, then the operation
            held = inner[sum(header(inner))] == 0x63  # [APPLICATION 3]: SearchRequest
            if not held:
                s.sendall(msg)
def downstream(s, c):
    while data := s.recv(65536):
        c.sendall(data)
while True:
    c = srv.accept()[0]
    s = socket.create_connection(("127.0.0.1", target))
    threading.Thread(target=upstream, args=(c, s), daemon=True).start()
    threading.Thread(target=downstream, args=(s, c), daemon=True).start()
'''


DIRPROBE = "/build/tests/vkdirectory_probe"
NOT_REGISTERED = "registered name not found in the database."
NO_SERVER = "could not connect to admin server"
HOSTILE = "*)(vkName=*"

# Sessions of the host: display -> (token name, raw token, registered name shown).
SESSIONS = {
    "1": ("user.alice", "card-a1", "Alice"),  # Alice's logical token
    "2": ("card-a2", "card-a2", "Alice"),     # a raw token of Alice's second logical token
    "3": ("user.bob2", "card-b2", "bob"),     # the second user called Bob
    "4": ("mobile.carol", "term-c", "???"),   # mobile sessions belong to nobody
    "5": ("user.nobody", "card-x", "???"),    # a logical token that no user owns
    "6": ("card-dup", "card-dup", "???"),     # a raw token that two logical tokens claim
    "7": ("user.star", "card-s", HOSTILE),    # the token of a user with a hostile name
}
# The table row of each session (a mobile token is shown instead of the raw one).
ROWS = {d: row(t if t.startswith("mobile.") else raw, "???", d, "D", name)
        for d, (t, raw, name) in SESSIONS.items()}
ENTRIES = (
    user("U1", "Alice", ["user.alice", "user.alice-2"], vkOtherInfo="Alice Example",
         vkFirstTime=1700000000, vkStatus=1, vkLastDesktop="dir-desk", vkLastTime=1700000500),
    user("U2", "Bob", ["user.bob"]),
    user("U3", "bob", ["user.bob2", "user.bob"]),
    user("U4", "Dana"),                               # registered, without tokens
    user("U9", HOSTILE, ["user.star"]),
    ltoken("user.alice", ["card-a1"]), ltoken("user.alice-2", ["card-a2"]),
    ltoken("user.bob", ["card-b1"]), ltoken("user.bob2", ["card-b2"]),
    ltoken("dup-1", ["card-dup"]), ltoken("dup-2", ["card-dup"]), ltoken("user.star", ["card-s"]),
)


@pytest.fixture
def directory(host):
    for disp, (token, raw, _) in SESSIONS.items():
        plant(host, disp, token, raw)
    d = vksbx_slapd.Slapd(host, SOURCE, SUFFIX, "secret", ADMIN_PW, *ENTRIES, run="/var/opt/slapd-test")
    configure(host)
    assert host.run([VKUSTATUS, "-f", USTATUS, "set", "U1", "Alice", "11", "12", "", "13"]).rc == 0
    return d


def vks(h, *args, xmode=False):
    return h.vksession(*args, *(["-x"] if xmode else []), argv0=NAME)


def dirprobe(h, *args):
    r = h.run([DIRPROBE, *args])
    assert r.rc == 0, r
    return r.out.splitlines()


def test_registered_names_in_the_table_and_as_selectors(directory):
    h = directory.h
    r = vks(h, "-p")
    assert (r.rc, r.err, r.out) == (0, "", table(*sorted(ROWS.values())))
    # The raw token that two logical tokens claim has no owner.
    assert (INFO, "search_for_entries(): Found multiple matching entries, was expecting a "
                  "single match") in h.messages()
    # (Machine mode changes only how the sessions found are printed: test_cli.py.)
    for name, displays in [("alice", ["1", "2"]),   # by logical token, by a raw token's owner
                           ("BOB", ["3"]),          # two users of one name: the tokens of both
                           (HOSTILE, ["7"])]:       # matches itself, nobody else
        assert outcome(vks(h, "-n", name, "-p")) == (0, table(*(ROWS[d] for d in displays)), ""), name
    for name in ["nobody-registered", "Dana", "*", "*)(vkName=Alice", "a" * 121]:
        assert outcome(vks(h, "-n", name, "-p")) == (255, "", f"{NAME} error: {NOT_REGISTERED}\n"), name
        assert vks(h, "-n", name, "-p", xmode=True).err == "**ERROR: -4\n"


# Without a directory (no configuration, a server that is hung or down) the
# table shows no names and -n cannot be resolved (in machine mode too: test_cli.py); a hung
# server costs at most admin.server.timeout seconds per connection attempt.
def test_without_a_directory(directory):
    h = directory.h
    for state in ("unconfigured", "frozen", "down"):
        configure(h, server_timeout="1", databases=False)
        if state == "unconfigured":
            h.path(vksbx_slapd.CONF).unlink()
        else:
            directory.proc.signal(signal.SIGSTOP if state == "frozen" else signal.SIGKILL)
        start = time.monotonic()
        r = vks(h, "-p", "-t", "card-a1")
        assert (r.rc, r.err, r.out) == (0, "", table(row("card-a1", "???", "1", "D"))), state
        assert outcome(vks(h, "-n", "alice", "-p")) == (255, "", f"{NAME} error: {NO_SERVER}\n"), state
        assert time.monotonic() - start < 2 * 1 + 3 + 2 * SLACK  # two runs


def test_a_directory_that_hangs_after_the_bind_costs_one_bound_per_run(directory):
    h = directory.h
    for d in range(10, 50):
        plant(h, str(d), f"user.x{d}", f"card-x{d}")
    h.spawn(["/usr/bin/python3", "-c", HANG_AFTER_BIND, "390", "389"])
    wait_for(lambda: h.path("/root/relay390.ready").exists(), timeout=10, what="the relay")
    configure(h, server_timeout="2", server_port="390")
    h.clear_log()
    r, took = timed(vks, h, "-p")
    assert took < 2 + 3 + SLACK  # not 2 s for each of 47 sessions
    assert (r.rc, r.err) == (0, "")
    assert [x[31:51].strip() for x in r.out.splitlines()[3:]] == ["???"] * 47
    assert [x for x in h.lines() if x.startswith("search_for_entries")] == [
        "search_for_entries(): LDAP search failed - Timed out; the directory is not asked again "
        "on this connection"]
    # -n looks the name up first: that search runs into the bound, and the
    # name counts as not found.
    r, took = timed(vks, h, "-n", "alice", "-p")
    assert took < 2 + 3 + SLACK
    assert (r.rc, r.out, r.err) == (255, "", f"{NAME} error: {NOT_REGISTERED}\n")


def test_binds_and_the_status_database(directory):
    h = directory.h
    # CRAM-MD5 with the password file, and with a wrong password.
    assert [dirprobe(h, "--mode", *m)[0] for m in (["3"], ["2", "--passwd", "wrong"])] == \
        ["open rc=0", "open rc=-3"]
    assert f'BIND dn="cn=admin,{SUFFIX}" mech=CRAM-MD5' in directory.proc.err
    # The status record completes the user's entry.
    assert dirprobe(h, "display", "card-a1")[1] == (
        "display arg=card-a1 id=U1 name=Alice other=Alice Example create=11 status=12 desk= "
        "last=13 misc1=(null) misc2=(null) ltokens=[user.alice,user.alice-2]")
    # Without the status database the connection that bound is unbound by
    # the library, not merely dropped when the process ends.
    for ext in (".pag", ".dir"):
        h.path(USTATUS + ext).unlink()
    assert dirprobe(h, "--mode", "3") == ["open rc=-28", "close rc=0"]
    conn = directory.proc.err.rsplit("mech=CRAM-MD5", 1)[0].rsplit("conn=", 1)[1].split()[0]
    wait_for(lambda: f"conn={conn} op=2 UNBIND" in directory.proc.err, timeout=2, what="the unbind")
