"""Command lines that vksession refuses: an error line naming the program as
it was started, the usage text, exit status 1, nothing on standard output."""
import pytest

from conftest import USAGE, VKSESSION

ANOTHER_NAME = "vks-admin"  # started under a name that is not its path

MISSING = "Missing arguments!"
CONFLICT = "Conflicting -p, -h, -k, -s, and -r options!"
EXTRA = "Extra operands not allowed!"
NO_ACTION = "Must specify at least one option: -p, -h, -k, -s, or -r!"
HELP_ALONE = "No options allowed with -h option!"
K_FILTER = "At least one of these options -u, -t, -n, -d must be specified with -k option!"
S_FILTER = "At least one of these options -u, -t, -n, -d must be specified with -s option!"

REFUSED = [
    ([], MISSING),
    (["-p", "-d", "1", "-d", "2"], "Multiply defined display number!"),
    (["-d3", "-d3", "-l"], "Multiply defined display number!"),
    # Refused while reading the options, before any name is looked up.
    (["-n", "ann", "-n", "bob"], "Multiply defined Parvix name!"),
    (["-p", "-t", "a", "-tb"], "Multiply defined token ID!"),
    (["-u", "root", "-p", "-u", "root"], "Multiply defined Unix ID!"),
    (["-u", "", "-u", "root", "-p"], "Multiply defined Unix ID!"),  # empty counts as given
    (["-p", "-p"], CONFLICT),
    (["-p", "-l"], CONFLICT),
    (["-l", "-p"], CONFLICT),
    (["-xpl"], CONFLICT),
    (["-k", "-u", "root", "-s"], CONFLICT),
    (["-r", "-k"], CONFLICT),
    (["-h", "-h"], CONFLICT),
    (["-s", "-h"], CONFLICT),
    (["-p", "x"], EXTRA),
    (["x"], EXTRA),
    (["-p", "-u", "root", "x", "y"], EXTRA),
    (["-p", "--", "-u"], EXTRA),
    (["-x"], NO_ACTION),
    (["-a"], NO_ACTION),
    (["-u", "root"], NO_ACTION),
    (["-a", "-x", "-d", "3", "-t", "tok"], NO_ACTION),
    (["-h", "-a"], HELP_ALONE),
    (["-x", "-h"], HELP_ALONE),
    (["-h", "-u", "root"], HELP_ALONE),
    (["-t", "tok", "-h"], HELP_ALONE),
    (["-h", "-d", "3"], HELP_ALONE),
    (["-p", "-a"], "Option -a is not allowed with -p option!"),
    (["-a", "-x", "-l"], "Option -a is not allowed with -l option!"),
    (["-k"], K_FILTER),
    (["-k", "-a", "-x"], K_FILTER),
    (["-s"], S_FILTER),
    (["-x", "-a", "-s"], S_FILTER),
]


@pytest.mark.parametrize("argv0", [None, ANOTHER_NAME], ids=["path", "renamed"])
@pytest.mark.parametrize("args,message", REFUSED, ids=lambda v: " ".join(v) if isinstance(v, list) else None)
def test_refused_command_line(host, args, message, argv0):
    r = host.vksession(*args, argv0=argv0)
    name = argv0 or VKSESSION
    assert (r.rc, r.out, r.err) == (1, "", f"{name} error: {message}\n{USAGE}")


# Options end at the first operand: what follows it is never read as an
# option, whatever POSIXLY_CORRECT says (a permuting reader would report the
# second message instead).
OPERAND_FIRST = [
    (["-p", "x", "-p"], CONFLICT),
    (["x", "-u", "a", "-u", "b"], "Multiply defined Unix ID!"),
    (["-p", "x", "-a"], "Option -a is not allowed with -p option!"),
    (["-k", "x", "-a"], K_FILTER),
]


@pytest.mark.parametrize("posixly_correct", [None, "1"], ids=["default", "POSIXLY_CORRECT"])
@pytest.mark.parametrize("args,if_permuted", OPERAND_FIRST, ids=lambda v: " ".join(v) if isinstance(v, list) else None)
def test_operand_ends_the_options(host, args, if_permuted, posixly_correct):
    r = host.vksession(*args, env={"POSIXLY_CORRECT": posixly_correct})
    assert (r.rc, r.out, r.err) == (1, "", f"{VKSESSION} error: Extra operands not allowed!\n{USAGE}")


def test_help_prints_only_the_usage_text(host):
    r = host.vksession("-h", argv0=ANOTHER_NAME)
    assert (r.rc, r.out, r.err) == (1, "", USAGE)


@pytest.mark.parametrize("args", [["-Z"], ["-p", "-Z"], ["-pq"], ["-u"], ["-p", "-d"], ["-x", "-t"]],
                         ids=" ".join)
def test_unreadable_option_prints_usage_without_error_line(host, args):
    r = host.vksession(*args, argv0=ANOTHER_NAME)
    assert (r.rc, r.out) == (1, "")
    assert r.err.endswith(USAGE)
    # Only the option reader's own diagnostic may come before the usage text.
    assert f"{ANOTHER_NAME} error:" not in r.err
    assert r.err.count("\n") - USAGE.count("\n") <= 1
