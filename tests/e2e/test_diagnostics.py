"""The library's three log channels, driven through vkadmin_probe: what
reaches the system log, with which priority and format, and that nothing
reaches standard output or standard error."""
import pytest

from conftest import LOG_INFO_DEFAULT as INFO, LOG_LOCAL1_INFO as LOCAL1_INFO


def announce(categories):
    """What switching on debug categories logs first."""
    return [(INFO, " \n"), (INFO, f"running with debug options |{categories}|\n")]


def logs_quietly(host, *args):
    r = host.probe(*args)
    assert (r.rc, r.out, r.err) == (0, "", "")
    return host.messages()


def test_failure_reports_and_admin_records(host):
    assert logs_quietly(host, "log", "dprintf", "get_x(): failed (3)",
                        "admin", "socket", "Error opening socket - refused.") == [
        (INFO, "get_x(): failed (3)"),
        (LOCAL1_INFO, "socket : Error opening socket - refused."),
    ]


@pytest.mark.parametrize("categories,tag,written", [
    (None, "a", False),
    (None, " ", False),   # the blank tag needs some debug string
    ("ab", "a", True),
    ("ab", "b", True),
    ("ab", "ba", True),   # any one category of the tag
    ("ab", "db", True),
    ("ab", "d", False),
    ("ab", " ", True),
    ("ab", "", False),
    ("*", "d", True),
    ("*", "", True),
    ("*", "xyz", True),
])
def test_debug_categories(host, categories, tag, written):
    debug = ["--debug", categories] if categories else []
    logged = logs_quietly(host, *debug, "log", "dlprintf", tag, "opening vkhost:7010\n")
    expected = (announce(categories) if categories else []) + (
        [(INFO, f"({tag}) opening vkhost:7010\n")] if written else [])
    assert logged == expected


def test_mute_silences_failure_reports_and_admin_records_only(host):
    logged = logs_quietly(host, "--debug", "ab", "--mute",
                          "log", "dprintf", "quiet", "admin", "socket", "quiet", "dlprintf", "a", "heard")
    assert logged == announce("ab") + [(INFO, "(a) heard")]


def test_unmuted_channels_log_again(host):
    assert logs_quietly(host, "--mute", "--unmute", "log", "dprintf", "x", "admin", "n", "y") == [
        (INFO, "x"), (LOCAL1_INFO, "n : y")]


def test_switching_debug_on_while_muted_is_silent(host):
    assert logs_quietly(host, "--mute", "--debug", "b", "log", "dlprintf", "b", "x") == [(INFO, "(b) x")]


def test_switching_debug_on_again_replaces_the_categories(host):
    logged = logs_quietly(host, "--debug", "a", "--debug", "b", "log", "dlprintf", "a", "A", "dlprintf", "b", "B")
    assert logged == announce("a") + announce("b") + [(INFO, "(b) B")]
