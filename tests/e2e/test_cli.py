"""vksession's command line: refused lines (an error line naming the program as started, the
usage text, status 1), and what each action reports on a server without sessions, in text and
in machine mode (-x), with the filters at and one over the length that their filter text holds."""
from conftest import LOG_INFO_DEFAULT, USAGE, VKSESSION
from sessions import NAME, error

CONFLICT = "Conflicting -p, -h, -k, -s, and -r options!"
EXTRA = "Extra operands not allowed!"
FILTER = "At least one of these options -u, -t, -n, -d must be specified with -{} option!"

REFUSED = [
    ([], "Missing arguments!"), (["-d3", "-d3", "-l"], "Multiply defined display number!"),
    (["-n", "ann", "-n", "bob"], "Multiply defined Parvix name!"),  # before any look-up
    (["-p", "-t", "a", "-tb"], "Multiply defined token ID!"),
    (["-u", "", "-u", "root", "-p"], "Multiply defined Unix ID!"),  # empty counts as given
    (["-xpl"], CONFLICT), (["-k", "-u", "root", "-s"], CONFLICT), (["-h", "-h"], CONFLICT),
    (["-p", "-u", "root", "x", "y"], EXTRA), (["-p", "--", "-u"], EXTRA),
    (["-a", "-x", "-d", "3", "-t", "tok"], "Must specify at least one option: -p, -h, -k, -s, or -r!"),
    (["-t", "tok", "-h"], "No options allowed with -h option!"),
    (["-p", "-a"], "Option -a is not allowed with -p option!"),
    (["-a", "-x", "-l"], "Option -a is not allowed with -l option!"),
    (["-k", "-a", "-x"], FILTER.format("k")), (["-x", "-a", "-s"], FILTER.format("s")),
    # Options end at the first operand, whatever POSIXLY_CORRECT says.
    (["-p", "x", "-p"], EXTRA), (["x", "-u", "a", "-u", "b"], EXTRA), (["-k", "x", "-a"], EXTRA),
]
NOT_FOUND = (-4, "No session found!")
# "unix." / "display." and the value must fit a 128-byte filter text.
U_OK, U_BAD, D_OK, D_BAD = "a" * 121, "a" * 122, "1" * 118, "1" * 119
LOGIN, DISPLAY = (-6, "Unix login name too long"), (-6, "display number too long")
CASES = [  # arguments, outcome
    (["-p"], NOT_FOUND), (["-l", "-d", "3"], NOT_FOUND), (["-p", "-u", "0"], NOT_FOUND),
    (["-p", "-u", "alice", "-d", "3", "-t", "tok"], NOT_FOUND), (["-k", "-a", "-d", "3"], NOT_FOUND),
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
        for args, outcome in CASES:
            r = h.vksession(*x, *args, argv0=NAME)
            warned = args[0] in ("-s", "-r")
            assert (r.rc, r.out, r.err) == (1, "", error(xmode, *outcome, deprecated=warned)), args
        # The name is resolved before the action is looked at, so even -h, a missing action or
        # a refused -a end here, and -r prints no deprecation warning.
        for args in (["-p"], ["-h"], [], ["-r"], ["-s", "-a"]):
            r = h.vksession(*x, "-n", "ann", *args, argv0=NAME)
            assert (r.rc, r.out, r.err) == (255, "", error(xmode, -20, "could not connect to admin server"))
        for args, code, text in [(["-p"], -16, "File access error"),
                                 (["-p", "-u", "alice"], -16, "File access error"),
                                 (["-p", "-d", "3"], *NOT_FOUND)]:  # a missing file is just not there
            r = bare.vksession(*x, *args, argv0=NAME)
            assert (r.rc, r.out, r.err) == (1, "", error(xmode, code, text)), args
    # The library never prints: its reports go to the system log.
    assert (LOG_INFO_DEFAULT, "vk_setUserSessionEnt(): cannot open display directory") in bare.messages()
