"""vksession runs on a server without sessions: what each action reports in
text and in machine mode (-x), and the exit statuses."""
import pytest

from conftest import DEPRECATED, LOG_INFO_DEFAULT

NAME = "/usr/local/bin/vks"  # messages must use the name the program was started under
MODES = pytest.mark.parametrize("xmode", [False, True], ids=["text", "machine"])


def expect(xmode, code, text):
    return f"**ERROR: {code}\n" if xmode else f"{NAME} error: {text}\n"


def run(host, args, xmode):
    return host.vksession(*(["-x"] if xmode else []), *args, argv0=NAME)


# (arguments, ends with the deprecation warning)
NOTHING_TO_FIND = [
    (["-p"], False),
    (["-l"], False),
    (["-p", "-u", "root"], False),
    (["-p", "-u", "0"], False),
    (["-l", "-d", "3"], False),
    (["-p", "-t", "tok"], False),
    (["-p", "-u", "alice", "-d", "3", "-t", "tok"], False),
    (["-p", "-u", "nobody-here"], False),
    (["-k", "-u", "root"], False),
    (["-k", "-a", "-d", "3"], False),
    (["-r"], True),  # -r alone is allowed
    (["-r", "-a", "-u", "alice"], True),
    (["-s", "-t", "tok"], True),
]


@MODES
@pytest.mark.parametrize("args,deprecated", NOTHING_TO_FIND, ids=lambda v: " ".join(v) if isinstance(v, list) else None)
def test_no_session_found(host, args, deprecated, xmode):
    r = run(host, args, xmode)
    err = expect(xmode, -4, "No session found!") + (DEPRECATED if deprecated else "")
    assert (r.rc, r.out, r.err) == (1, "", err)


@MODES
@pytest.mark.parametrize("args,code,text", [
    (["-p"], -16, "File access error"),            # display directory
    (["-p", "-u", "alice"], -16, "File access error"),  # session proc directory
    (["-p", "-d", "3"], -4, "No session found!"),  # a missing display file is just not there
])
def test_server_without_session_directories(make_host, args, code, text, xmode):
    host = make_host(session_dirs=False)
    r = run(host, args, xmode)
    assert (r.rc, r.out, r.err) == (1, "", expect(xmode, code, text))


def test_library_failure_reports_go_to_the_log(make_host):
    host = make_host(session_dirs=False)
    r = host.vksession("-p", argv0=NAME)
    assert r.err == f"{NAME} error: File access error\n"
    assert (LOG_INFO_DEFAULT, "vk_setUserSessionEnt(): cannot open display directory") in host.messages()


# Without a directory configuration no registered name can be resolved; the
# name is resolved before the action is looked at, so even -h, a missing
# action or a refused -a end here, and -r prints no deprecation warning.
@MODES
@pytest.mark.parametrize("args", [
    ["-p"], ["-l"], ["-h"], [], ["-k"], ["-r"], ["-s", "-a"], ["-p", "-a"], ["-u", "root", "-p"],
], ids=lambda v: " ".join(v) or "no action")
def test_registered_name_without_directory(host, args, xmode):
    r = run(host, ["-n", "ann", *args], xmode)
    assert (r.rc, r.out, r.err) == (255, "", expect(xmode, -20, "could not connect to admin server"))


# The login and display filters must fit a 128-byte filter text after
# "unix." / "display.": 121 and 118 characters.
LONG_U_OK, LONG_U_BAD = "a" * 121, "a" * 122
LONG_D_OK, LONG_D_BAD = "1" * 118, "1" * 119
TOO_LONG_LOGIN = (-6, "Unix login name too long")
TOO_LONG_DISPLAY = (-6, "display number too long")
NOT_FOUND = (-4, "No session found!")


@MODES
@pytest.mark.parametrize("args,outcome,deprecated", [
    (["-p", "-u", LONG_U_OK], NOT_FOUND, False),
    (["-p", "-u", LONG_U_BAD], TOO_LONG_LOGIN, False),
    (["-k", "-u", LONG_U_BAD], TOO_LONG_LOGIN, False),
    (["-l", "-d", LONG_D_OK], NOT_FOUND, False),
    (["-p", "-d", LONG_D_BAD], TOO_LONG_DISPLAY, False),
    (["-r", "-d", LONG_D_BAD], TOO_LONG_DISPLAY, True),
    # With a login filter the display is only compared, never part of the filter text.
    (["-p", "-u", LONG_U_OK, "-d", LONG_D_BAD], NOT_FOUND, False),
    (["-p", "-d", LONG_D_BAD, "-u", LONG_U_BAD], TOO_LONG_LOGIN, False),
], ids=["u121", "u122", "k-u122", "d118", "d119", "r-d119", "u121-d119", "d119-u122"])
def test_filter_length_limits(host, args, outcome, deprecated, xmode):
    r = run(host, args, xmode)
    assert (r.rc, r.out, r.err) == (1, "", expect(xmode, *outcome) + (DEPRECATED if deprecated else ""))
