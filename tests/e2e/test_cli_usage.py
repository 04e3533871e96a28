"""Refused command lines: an error line naming the program as started, the usage text, status 1."""
import pytest

from conftest import USAGE, VKSESSION

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


@pytest.mark.parametrize("argv0", [None, "vks-admin"], ids=["path", "renamed"])
def test_refused_command_lines(host, argv0):
    for args, message in REFUSED:
        for env in ({}, {"POSIXLY_CORRECT": "1"}):
            r = host.vksession(*args, argv0=argv0, env=env)
            assert (r.rc, r.out, r.err) == (1, "", f"{argv0 or VKSESSION} error: {message}\n{USAGE}"), args


def test_help_and_unreadable_options_print_the_usage_text_only(host):
    assert (host.vksession("-h", argv0="vks").rc, host.vksession("-h").err) == (1, USAGE)
    for args in (["-Z"], ["-pq"], ["-p", "-d"]):
        r = host.vksession(*args, argv0="vks")
        # Only the option reader's own diagnostic may come before the usage text.
        assert (r.rc, r.out, r.err.endswith(USAGE), "vks error:" in r.err) == (1, "", True, False)
        assert r.err.count("\n") - USAGE.count("\n") <= 1
