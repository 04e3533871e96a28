"""vksession runs on a server without sessions: what each action reports in
text and in machine mode (-x), the exit statuses, and the filters at and
one over the length that their filter text holds."""
import pytest

from conftest import LOG_INFO_DEFAULT
from sessions import NAME, error

MODES = pytest.mark.parametrize("xmode", [False, True], ids=["text", "machine"])
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


@MODES
def test_server_without_sessions(host, xmode):
    for args, outcome in CASES:
        r = host.vksession(*(["-x"] if xmode else []), *args, argv0=NAME)
        warned = args[0] in ("-s", "-r")
        assert (r.rc, r.out, r.err) == (1, "", error(xmode, *outcome, deprecated=warned)), args


@MODES
def test_server_without_session_directories(make_host, xmode):
    h = make_host(session_dirs=False)
    for args, code, text in [(["-p"], -16, "File access error"),
                             (["-p", "-u", "alice"], -16, "File access error"),
                             (["-p", "-d", "3"], *NOT_FOUND)]:  # a missing file is just not there
        r = h.vksession(*(["-x"] if xmode else []), *args, argv0=NAME)
        assert (r.rc, r.out, r.err) == (1, "", error(xmode, code, text)), args
    # The library never prints: its reports go to the system log.
    assert (LOG_INFO_DEFAULT, "vk_setUserSessionEnt(): cannot open display directory") in h.messages()


# The name is resolved before the action is looked at, so even -h, a missing
# action or a refused -a end here, and -r prints no deprecation warning.
@MODES
def test_registered_name_without_directory(host, xmode):
    for args in (["-p"], ["-h"], [], ["-r"], ["-s", "-a"]):
        r = host.vksession(*(["-x"] if xmode else []), "-n", "ann", *args, argv0=NAME)
        assert (r.rc, r.out, r.err) == (255, "", error(xmode, -20, "could not connect to admin server"))
