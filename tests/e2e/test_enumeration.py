"""Opening an enumeration of a server without sessions, through
vkadmin_probe: every local filter finds nothing, and a failed open leaves no
enumeration to read from."""
import pytest

from conftest import HOSTNAME


@pytest.mark.parametrize("args,code", [
    ([], -4),
    (["unix.root"], -4),
    (["UNIX.alice"], -4),         # prefixes in any case
    (["unix.nobody-here"], -4),   # no such account
    (["unix.1234567890"], -6),    # a user id of 10 digits does not fit
    (["display.3"], -4),
    (["Display.3"], -4),
    (["tok"], -4),
    (["--server", HOSTNAME.upper(), "tok"], -4),  # this host, in another case: a local search
])
def test_empty_server(host, args, code):
    r = host.probe("enum", *args)
    assert (r.rc, r.err) == (0, "")
    assert r.out == f"set rc={code}\nget rc=-17\nget-after-end rc=-17\n"
