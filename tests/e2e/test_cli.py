"""vksession on one host: refused command lines (an error line naming the program as started,
the usage text, status 1); what each action reports on a server without sessions, in text and
in machine mode (-x), with the filters at and one over the length that their filter text holds;
and how it finds the host's sessions in their files, filters them by login, display and token,
passes over files of no live session, and prints the table and the records."""
import pytest

from conftest import LOG_INFO_DEFAULT, USAGE, VKSESSION
from sessions import (ALICE, BOB, INIT, NAME, client, error, idle, outcome, plant, record, row,
                      sleeper, table)

CONFLICT = "Conflicting -p, -h, -k, -s, and -r options!"
EXTRA = "Extra operands not allowed!"
FILTER = "At least one of these options -u, -t, -n, -d must be specified with -{} option!"

REFUSED = [
    ([], "Missing arguments!"), (["-d3", "-d3", "-l"], "Multiply defined display number!"),
    (["-n", "ann", "-n", "bob"], "Multiply defined Parvix name!"),  # before any look-up
    (["-p", "-t", "a", "-tb"], "Multiply defined token ID!"),
    (["-u", "", "-u", "root", "-p"], "Multiply defined Unix ID!"),  # empty counts as given
    (["-xpl"], CONFLICT), (["-h", "-h"], CONFLICT),   # the same action twice conflicts too
    (["-a", "-x", "-d", "3", "-t", "tok"], "Must specify at least one option: -p, -h, -k, -s, or -r!"),
    (["-t", "tok", "-h"], "No options allowed with -h option!"),
    (["-p", "-a"], "Option -a is not allowed with -p option!"),
    (["-a", "-x", "-l"], "Option -a is not allowed with -l option!"),
    (["-k", "-a", "-x"], FILTER.format("k")), (["-x", "-a", "-s"], FILTER.format("s")),
    # Options end at the first operand, whatever POSIXLY_CORRECT says, and after "--".
    (["-p", "x", "-p"], EXTRA), (["-p", "--", "-u"], EXTRA),
]
NOT_FOUND = (-4, "No session found!")
# "unix." / "display." and the value must fit a 128-byte filter text.
U_OK, U_BAD, D_OK, D_BAD = "a" * 121, "a" * 122, "1" * 118, "1" * 119
LOGIN, DISPLAY = (-6, "Unix login name too long"), (-6, "display number too long")
CASES = [  # arguments, outcome
    (["-p"], NOT_FOUND), (["-k", "-a", "-d", "3"], NOT_FOUND),
    (["-r"], NOT_FOUND), (["-s", "-t", "tok"], NOT_FOUND),  # -r alone is allowed
    (["-p", "-u", U_OK], NOT_FOUND), (["-k", "-u", U_BAD], LOGIN),
    (["-l", "-d", D_OK], NOT_FOUND), (["-r", "-d", D_BAD], DISPLAY),
    # With a login filter the display is only compared, never part of the filter text.
    (["-p", "-u", U_OK, "-d", D_BAD], NOT_FOUND), (["-p", "-d", D_BAD, "-u", U_BAD], LOGIN),
]


def test_refused_command_lines_and_help(host):
    for argv0 in (None, "vks-admin"):
        for args, message in REFUSED:
            for env in ({}, {"POSIXLY_CORRECT": "1"}):
                r = host.vksession(*args, argv0=argv0, env=env)
                expected = f"{argv0 or VKSESSION} error: {message}\n{USAGE}"
                assert (r.rc, r.out, r.err) == (1, "", expected), args
    assert (host.vksession("-h", argv0="vks").rc, host.vksession("-h").err) == (1, USAGE)
    for args in (["-Z"], ["-pq"], ["-p", "-d"]):
        r = host.vksession(*args, argv0="vks")
        # Only the option reader's own diagnostic may come before the usage text.
        assert (r.rc, r.out, r.err.endswith(USAGE), "vks error:" in r.err) == (1, "", True, False)
        assert r.err.count("\n") - USAGE.count("\n") <= 1


def test_a_server_without_sessions_or_without_their_directories(make_host):
    h, bare = make_host(), make_host(session_dirs=False)
    for xmode in (False, True):
        x = ["-x"] if xmode else []
        for args, expected in CASES:
            warned = args[0] in ("-s", "-r")
            assert outcome(h.vksession(*x, *args, argv0=NAME)) == (
                1, "", error(xmode, *expected, deprecated=warned)), args
        # The name is resolved before the action is looked at, so even -h, a missing action or
        # a refused -a end here, and -r prints no deprecation warning.
        for args in (["-p"], ["-h"], [], ["-r"], ["-s", "-a"]):
            r = h.vksession(*x, "-n", "ann", *args, argv0=NAME)
            assert (r.rc, r.out, r.err) == (255, "", error(xmode, -20, "could not connect to admin server"))
        for args, code, text in [(["-p"], -16, "File access error"),
                                 (["-p", "-u", "alice"], -16, "File access error"),
                                 (["-p", "-d", "3"], *NOT_FOUND)]:  # a missing file is just not there
            assert outcome(bare.vksession(*x, *args, argv0=NAME)) == (1, "", error(xmode, code, text)), args
    # The library never prints: its reports go to the system log.
    assert (LOG_INFO_DEFAULT, "vk_setUserSessionEnt(): cannot open display directory") in bare.messages()


# ---- finding the host's sessions ------------------------------------------------------------

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
        assert outcome(server.vksession(action, "-x")) == (0, "".join(RECORDS[d] for d in ALL), "")
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
NOT_MATCHED_TEXT = {-4: "No session found!", -6: "Invalid arguments"}
NOT_MATCHED = [  # no such account, a uid of 10 digits, ..., the copy is read only by its name
    ("-u carol", -4), ("-u 1234567890", -6), ("-u alice -d 2", -4), ("-d 7", -4), ("-t tokF", -4)]


def test_filters(server):
    for args, found in FOUND:
        r = server.vksession("-p", "-x", *args.split())
        assert (r.rc, r.out, r.err) == (0, "".join(RECORDS[d] for d in found), ""), args
    for args, code in NOT_MATCHED:     # (the machine mode's form of each is checked above)
        r = server.vksession("-p", *args.split(), argv0=NAME)
        assert (r.rc, r.out, r.err) == (1, "", error(False, code, NOT_MATCHED_TEXT[code])), args


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
