"""The directory: registered names in the session table, sessions selected
by registered name (-n), the binds of the administration connection, the
user status database, and what a directory that is absent, hung or fed
hostile names does to vksession. Every host runs a real slapd; the tests
that only read share one host."""
import os
import time

import pytest

import conftest
from conftest import LOG_INFO_DEFAULT as INFO, SLACK
from directory import ADMIN_DN, Directory, configure, ltoken, user
from sessions import NAME, plant, record, row, table, wait_for

DIRPROBE = "/build/tests/vkdirectory_probe"
MODES = pytest.mark.parametrize("xmode", [False, True], ids=["text", "machine"])
NOT_REGISTERED = "registered name not found in the database."
NO_SERVER = "could not connect to admin server"
HOSTILE = "*)(vkName=*"

# Sessions of the host: display -> (token name, raw token).
SESSIONS = {
    "1": ("user.alice", "card-a1"),   # Alice's logical token
    "2": ("card-a2", "card-a2"),      # a raw token of Alice's second logical token
    "3": ("user.bob2", "card-b2"),    # the second user called Bob
    "4": ("mobile.carol", "term-c"),  # mobile sessions belong to nobody
    "5": ("user.nobody", "card-x"),   # a logical token that no user owns
    "6": ("card-dup", "card-dup"),    # a raw token that two logical tokens claim
    "7": ("user.star", "card-s"),     # the token of a user with a hostile name
}
# The table row of each session, with its registered name.
ROWS = {"1": row("card-a1", "???", "1", "D", "Alice"), "2": row("card-a2", "???", "2", "D", "Alice"),
        "3": row("card-b2", "???", "3", "D", "bob"), "6": row("card-dup", "???", "6", "D"),
        "7": row("card-s", "???", "7", "D", HOSTILE), "5": row("card-x", "???", "5", "D"),
        "4": row("mobile.carol", "???", "4", "D")}
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


def populate(h):
    for disp, (token, raw) in SESSIONS.items():
        plant(h, disp, token, raw)
    d = Directory(h).start(*ENTRIES).configure()
    return d.ustatus("U1", "Alice", 11, 12, "", 13)


@pytest.fixture
def directory(host):
    """A host of its own, for tests that change the directory or its files."""
    return populate(host)


@pytest.fixture(scope="module")
def shared(tmp_path_factory):
    """One host for the tests that only read."""
    if os.geteuid() != 0:
        pytest.skip("sandboxed hosts need root")
    h = conftest.ParvixHost(tmp_path_factory.mktemp("directory"),
                            stage=conftest._build_path("VK_STAGE"),
                            binds=[(conftest._build_path("VK_BUILD"), "/build")],
                            hostname=conftest.HOSTNAME, users=conftest.USERS)
    for d in conftest.SESSION_DIRS:
        h.path(d).mkdir(parents=True, exist_ok=True)
    h.start()
    try:
        yield populate(h)
    finally:
        h.stop()


def vks(h, *args, xmode=False):
    return h.vksession(*args, *(["-x"] if xmode else []), argv0=NAME)


def dirprobe(h, *args):
    r = h.run([DIRPROBE, *args])
    assert r.rc == 0, r
    return r.out.splitlines()


# ---- vksession --------------------------------------------------------------------------------

def test_table_shows_registered_names(shared):
    r = vks(shared.h, "-p")
    assert (r.rc, r.err) == (0, "")
    assert r.out == table(*ROWS.values())
    # The raw token that two logical tokens claim has no owner.
    assert (INFO, "search_for_entries(): Found multiple matching entries, was expecting a "
                  "single match") in shared.h.messages()


@MODES
@pytest.mark.parametrize("name,displays", [
    ("alice", ["1", "2"]),   # by logical token, and by the owner of a raw token
    ("BOB", ["3"]),          # two users of one name: the tokens of both
    (HOSTILE, ["7"]),        # matches itself, nobody else
])
def test_registered_name_selects_its_sessions(shared, name, displays, xmode):
    r = vks(shared.h, "-n", name, "-p", xmode=xmode)
    assert (r.rc, r.err) == (0, "")
    if xmode:
        assert r.out == "".join(record(SESSIONS[d][1], SESSIONS[d][0], None, 1, d)
                                for d in displays)
    else:
        assert r.out == table(*(ROWS[d] for d in displays))


@MODES
@pytest.mark.parametrize("name", ["nobody-registered", "Dana", "*", "*)(vkName=Alice", "a" * 121])
def test_unknown_name_ends_with_status_255(shared, name, xmode):
    r = vks(shared.h, "-n", name, "-p", xmode=xmode)
    assert (r.rc, r.out) == (255, "")
    assert r.err == ("**ERROR: -4\n" if xmode else f"{NAME} error: {NOT_REGISTERED}\n")


# Without a directory (no configuration, a server that is down or hung) the
# table shows no names and -n cannot be resolved; a hung server costs at
# most admin.server.timeout seconds per connection attempt.
@pytest.mark.parametrize("state", ["unconfigured", "down", "frozen"])
def test_without_a_directory(directory, state):
    h = directory.h
    configure(h, server_timeout="1", databases=False)
    if state == "unconfigured":
        h.path("/etc/opt/KELWvk/vkadmin.conf").unlink()
    else:
        directory.stop() if state == "down" else directory.freeze()
    start = time.monotonic()
    r = vks(h, "-p", "-t", "card-a1")
    assert (r.rc, r.err, r.out) == (0, "", table(row("card-a1", "???", "1", "D")))
    r = vks(h, "-n", "alice", "-p")
    assert (r.rc, r.out, r.err) == (255, "", f"{NAME} error: {NO_SERVER}\n")
    r = vks(h, "-n", "alice", "-p", xmode=True)
    assert (r.rc, r.out, r.err) == (255, "", "**ERROR: -20\n")
    assert time.monotonic() - start < 3 * 1 + 3 + 3 * SLACK  # three runs


# ---- the connection and the look-ups of the library -------------------------------------------

def test_binds(directory):
    h = directory.h
    # Anonymous: "cn=anonymous" without a password, even with CRAM_MD5 configured.
    assert dirprobe(h, "ltokens", "alice")[:2] == ["open rc=0",
                                                   "ltokens arg=alice rc=0 "
                                                   "ids=[user.alice,user.alice-2]"]
    assert 'BIND dn="cn=anonymous" method=128' in directory.proc.err
    # CRAM-MD5: with the password file, a given password, a given user.
    assert dirprobe(h, "--mode", "3")[0] == "open rc=0"
    assert dirprobe(h, "--mode", "2", "--passwd", "adminpw")[0] == "open rc=0"
    assert dirprobe(h, "--mode", "4", "--user", "admin", "--passwd", "adminpw")[0] == "open rc=0"
    assert f'BIND dn="{ADMIN_DN}" mech=CRAM-MD5' in directory.proc.err
    assert dirprobe(h, "--mode", "2", "--passwd", "wrong")[0] == "open rc=-3"
    configure(h, password="wrong", databases=False)
    assert dirprobe(h, "--mode", "3")[0] == "open rc=-3"
    assert (INFO, "open_connection(): Could not bind to DS server 127.0.0.1 - "
                  "Invalid credentials\n") in h.messages()
    # A simple bind as the administrator.
    configure(h, databases=False, server_authmech="SIMPLE")
    assert dirprobe(h, "--mode", "2", "--passwd", "adminpw")[0] == "open rc=0"
    assert dirprobe(h, "--mode", "2", "--passwd", "wrong")[0] == "open rc=-3"


def test_missing_status_database_releases_the_bound_connection(directory):
    h = directory.h
    h.path("/var/opt/KELWvk/ustatus.pag").unlink()
    h.path("/var/opt/KELWvk/ustatus.dir").unlink()
    assert dirprobe(h, "--mode", "3") == ["open rc=-28", "close rc=0"]
    assert (INFO, "open_connection(): Could not open ustatus DB at "
                  "(/var/opt/KELWvk/ustatus)\n") in h.messages()
    # The connection that bound (two CRAM-MD5 steps) was unbound by the
    # library, not merely dropped when the process ended.
    conn = directory.proc.err.rsplit("mech=CRAM-MD5", 1)[0].rsplit("conn=", 1)[1].split()[0]
    wait_for(lambda: f"conn={conn} op=2 UNBIND" in directory.proc.err, timeout=2,
             what="the unbind")


def test_users_and_their_status_records(shared):
    h = shared.h
    out = dirprobe(h, "user", "user.alice-2", "rawuser", "card-b1", "logical", "card-dup",
                   "rawuser", "card-none", "display", "mobile.carol", "display", "user.nobody",
                   "ltokens", "bob")
    assert out[1:-1] == [
        # The status record replaces the times, the status and the last terminal.
        "user arg=user.alice-2 id=U1 name=Alice other=Alice Example create=11 status=12 desk= "
        "last=13 misc1=(null) misc2=(null) ltokens=[user.alice,user.alice-2]",
        # Two users claim user.bob, two logical tokens card-dup: no owner.
        "rawuser arg=card-b1 user=(null)",
        "logical arg=card-dup ltoken=(null)",
        "rawuser arg=card-none user=(null)",
        "display arg=mobile.carol user=(null)",
        "display arg=user.nobody user=(null)",
        # Both users called bob, in the directory's order; duplicates stay.
        "ltokens arg=bob rc=0 ids=[user.bob,user.bob2,user.bob]",
    ]
    out = dirprobe(h, "user", "user.bob2", "display", "card-a1")
    assert out[1:-1] == [
        # No status record: the directory's values.
        "user arg=user.bob2 id=U3 name=bob other=(null) create=0 status=0 desk=(null) last=0 "
        "misc1=(null) misc2=(null) ltokens=[user.bob2,user.bob]",
        "display arg=card-a1 id=U1 name=Alice other=Alice Example create=11 status=12 desk= "
        "last=13 misc1=(null) misc2=(null) ltokens=[user.alice,user.alice-2]",
    ]
    assert (INFO, "fill_user_status(): Could not find equivalent dbm user with user_id (U3)\n") \
        not in h.messages()   # only users with a record are completed

