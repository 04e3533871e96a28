"""How vksession finds this host's sessions in their files, filters them by login, display and
token, passes over files of no live session, and prints the table and the records."""
import pytest

from sessions import ALICE, BOB, INIT, NAME, client, error, idle, plant, record, row, sleeper, table

LONG_RAW = "card-0123456789abcdef0123456789abcdef"   # longer than its column


@pytest.fixture
def server(host):
    """Sessions that differ in every way discovery cares about."""
    live, stopped, stale = sleeper(host), sleeper(host, BOB, True), sleeper(host, stopped=True)
    plant(host, "1", "tokA", "rawC", tokenset="tokA,rawC,a,B,c", proc=client(live))
    # The token name loses its prefix; a "mobile." token is shown instead of
    # the raw token. Blanks around the user id are not part of it.
    plant(host, "2", "DeruRevaz.xx.mobile.bob", "Z9", tokenset="mobile.bob,Z9",
          proc=client(stopped, f" {BOB}\t"))
    plant(host, "3", "tokC", "Z10", tokenset="tokC,ab,bc", proc=client(live))
    idle(host, "3")
    plant(host, "4", "tokD", LONG_RAW, proc=client(99999, 4242))
    # Written a second before its display file: left over from an earlier session.
    plant(host, "5", "tokE", "rawE", proc=client(stale), proc_age=1)
    plant(host, "8", "tokB", "rawC")                 # no session proc file
    # A token's copy of a display file that no longer exists under displays/.
    plant(host, "7", "tokF", "card-7", ctoken="card-7")
    host.path("/var/opt/KELWvk/displays/7").unlink()
    return host


RECORDS = {"1": record("rawC", "tokA", "alice", 1, "1"), "2": record("Z9", "mobile.bob", "bob", 5, "2"),
           "3": record("Z10", "tokC", None, 3, "3"), "4": record(LONG_RAW, "tokD", "4242", 1, "4"),
           "5": record("rawE", "tokE", None, 1, "5"), "7": record("card-7", "tokF", None, 1, "7"),
           "8": record("rawC", "tokB", None, 1, "8")}
# Ascending byte order of the raw token; equal raw tokens in descending token name.
ALL = ["3", "2", "4", "8", "1", "5"]


def test_table_records_and_listing(server):
    r = server.vksession("-p")
    assert (r.rc, r.err) == (0, "")
    assert r.out == table(row("Z10", "???", "3", "DI"), row("mobile.bob", "bob", "2", "DS"),
                          row(LONG_RAW, "4242", "4", "D"), row("rawC", "???", "8", "D"),
                          row("rawC", "alice", "1", "D"), row("rawE", "???", "5", "D"))
    for action in ("-p", "-l"):
        r = server.vksession(action, "-x")
        assert (r.rc, r.out, r.err) == (0, "".join(RECORDS[d] for d in ALL), "")
    # No session is connected: the configuration listing is empty.
    for args in ([], ["-u", "alice"], ["-t", "b"]):
        assert server.vksession("-l", *args).out == ""


FOUND = [
    # alice: not the idle 3, not the stale 5; bob: blanks around the file's uid do not count;
    # 4242: a uid without an account.
    ("-u alice", "1"), (f"-u {ALICE}", "1"), ("-u bob", "2"), ("-u 4242", "4"), ("-d 5", "5"),
    ("-u bob -t z9", "2"), ("-d 2 -t MOBILE.BOB", "2"),   # beside another filter: name or raw token
    ("-t card-7", "7"),                   # the token's own copy
    ("-t tokA", "1"), ("-t RAWC", "81"),  # no copy: the token sets of all displays
    ("-t b", "1"),                        # a whole member, any case: not ab or bc
    ("-t UNIX.bob", "2"), ("-t Display.4", "4"),   # a login or display filter in disguise
]
NOT_FOUND = [  # no such account, a uid of 10 digits, ..., the copy is read only by its name
    ("-u carol", -4), ("-u 1234567890", -6), ("-u alice -d 2", -4), ("-d 7", -4), ("-t tokF", -4)]


def test_filters(server):
    for args, found in FOUND:
        r = server.vksession("-p", "-x", *args.split())
        assert (r.rc, r.out, r.err) == (0, "".join(RECORDS[d] for d in found), ""), args
    for xmode in (False, True):
        for args, code in NOT_FOUND:
            r = server.vksession("-p", *(["-x"] if xmode else []), *args.split(), argv0=NAME)
            text = "No session found!" if code == -4 else "Invalid arguments"
            assert (r.rc, r.out, r.err) == (1, "", error(xmode, code, text)), args


def test_a_user_id_of_up_to_ten_digits_shows_its_login(host):
    plant(host, "1", "tok1", "raw1", proc=client(99999, f"{ALICE:010d}"))
    plant(host, "2", "tok2", "raw2", proc=client(99999, f"{ALICE:011d}"))
    r = host.vksession("-p", "-x")
    assert (r.rc, r.out, r.err) == (0, record("raw1", "tok1", "alice", 1, "1") +
                                    record("raw2", "tok2", f"{ALICE:011d}", 1, "2"), "")


def test_incomplete_display_file_is_no_session(host):
    plant(host, "1", "tokA", "rawA", proc=INIT)
    for missing in ("TOKEN", "INSERT_TOKEN", "DISPLAY", "TOKEN_SET", "SESSION_TYPE"):
        plant(host, "6", "tokB", "rawB", omit=[missing], ctoken="tokB", proc=INIT)
        r = host.vksession("-p", "-x")
        assert (r.rc, r.out) == (0, record("rawA", "tokA", "alice", 1, "1")), missing
        for args in (["-d", "6"], ["-t", "tokB"], ["-u", "alice", "-d", "6"]):
            assert host.vksession("-p", "-x", *args).err == "**ERROR: -4\n", (missing, args)


def test_search_by_login_fails_as_a_whole_on_a_dangling_display(host):
    # A live session proc file of alice names a display without a display
    # file: the search ends with "not found", whatever it had found before,
    # and leaves no open enumeration.
    plant(host, "1", "tok1", "raw1", proc={**INIT, "XID": "9"})
    for n in "2345":
        plant(host, n, f"tok{n}", f"raw{n}", proc=INIT)
    r = host.probe("enum", "unix.alice")
    assert (r.rc, r.out, r.err) == (0, "set rc=-4\nget rc=-17\nget-after-end rc=-17\n", "")
    assert host.vksession("-p", "-x", "-u", "alice").err == "**ERROR: -4\n"
