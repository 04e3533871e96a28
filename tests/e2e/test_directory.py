"""The directory (a real slapd): registered names in the table and as selectors (-n), hostile
names, the bind and the user status database, and a directory that is absent or hung."""
import time

import pytest

from conftest import LOG_INFO_DEFAULT as INFO, SLACK
from directory import ADMIN_DN, Directory, configure, ltoken, user
from sessions import NAME, plant, record, row, table, wait_for

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
    return Directory(host).start(*ENTRIES).configure().ustatus("U1", "Alice", 11, 12, "", 13)


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
    for name, displays in [("alice", ["1", "2"]),   # by logical token, by a raw token's owner
                           ("BOB", ["3"]),          # two users of one name: the tokens of both
                           (HOSTILE, ["7"])]:       # matches itself, nobody else
        assert vks(h, "-n", name, "-p").out == table(*(ROWS[d] for d in displays)), name
        r = vks(h, "-n", name, "-p", xmode=True)
        assert (r.rc, r.err) == (0, "") and r.out == "".join(
            record(SESSIONS[d][1], SESSIONS[d][0], None, 1, d) for d in displays), name
    for name in ["nobody-registered", "Dana", "*", "*)(vkName=Alice", "a" * 121]:
        r = vks(h, "-n", name, "-p")
        assert (r.rc, r.out, r.err) == (255, "", f"{NAME} error: {NOT_REGISTERED}\n"), name
        assert vks(h, "-n", name, "-p", xmode=True).err == "**ERROR: -4\n"


# Without a directory (no configuration, a server that is hung or down) the
# table shows no names and -n cannot be resolved; a hung server costs at
# most admin.server.timeout seconds per connection attempt.
def test_without_a_directory(directory):
    h = directory.h
    for state in ("unconfigured", "frozen", "down"):
        configure(h, server_timeout="1", databases=False)
        if state == "unconfigured":
            h.path("/etc/opt/KELWvk/vkadmin.conf").unlink()
        else:
            directory.freeze() if state == "frozen" else directory.stop()
        start = time.monotonic()
        r = vks(h, "-p", "-t", "card-a1")
        assert (r.rc, r.err, r.out) == (0, "", table(row("card-a1", "???", "1", "D"))), state
        r = vks(h, "-n", "alice", "-p")
        assert (r.rc, r.out, r.err) == (255, "", f"{NAME} error: {NO_SERVER}\n"), state
        r = vks(h, "-n", "alice", "-p", xmode=True)
        assert (r.rc, r.out, r.err) == (255, "", "**ERROR: -20\n"), state
        assert time.monotonic() - start < 3 * 1 + 3 + 3 * SLACK  # three runs


def test_a_directory_that_hangs_after_the_bind_costs_one_bound_per_run(directory):
    h = directory.h
    for d in range(10, 50):
        plant(h, str(d), f"user.x{d}", f"card-x{d}")
    configure(h, server_timeout="2", server_port=str(directory.hang_after_bind()))
    h.clear_log()
    start = time.monotonic()
    r = vks(h, "-p")
    assert time.monotonic() - start < 2 + 3 + SLACK  # not 2 s for each of 47 sessions
    assert (r.rc, r.err) == (0, "")
    assert [x[31:51].strip() for x in r.out.splitlines()[3:]] == ["???"] * 47
    assert [x for x in h.lines() if x.startswith("search_for_entries")] == [
        "search_for_entries(): LDAP search failed - Timed out; the directory is not asked again "
        "on this connection"]
    # -n looks the name up first: that search runs into the bound, and the
    # name counts as not found.
    start = time.monotonic()
    r = vks(h, "-n", "alice", "-p")
    assert time.monotonic() - start < 2 + 3 + SLACK
    assert (r.rc, r.out, r.err) == (255, "", f"{NAME} error: {NOT_REGISTERED}\n")


def test_binds_and_the_status_database(directory):
    h = directory.h
    # CRAM-MD5 with the password file, and with a wrong password.
    assert [dirprobe(h, "--mode", *m)[0] for m in (["3"], ["2", "--passwd", "wrong"])] == \
        ["open rc=0", "open rc=-3"]
    assert f'BIND dn="{ADMIN_DN}" mech=CRAM-MD5' in directory.proc.err
    # The status record completes the user's entry.
    assert dirprobe(h, "display", "card-a1")[1] == (
        "display arg=card-a1 id=U1 name=Alice other=Alice Example create=11 status=12 desk= "
        "last=13 misc1=(null) misc2=(null) ltokens=[user.alice,user.alice-2]")
    # Without the status database the connection that bound is unbound by
    # the library, not merely dropped when the process ends.
    for ext in (".pag", ".dir"):
        h.path("/var/opt/KELWvk/ustatus" + ext).unlink()
    assert dirprobe(h, "--mode", "3") == ["open rc=-28", "close rc=0"]
    conn = directory.proc.err.rsplit("mech=CRAM-MD5", 1)[0].rsplit("conn=", 1)[1].split()[0]
    wait_for(lambda: f"conn={conn} op=2 UNBIND" in directory.proc.err, timeout=2, what="the unbind")
