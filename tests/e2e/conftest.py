"""Fresh sandboxed hosts for each end-to-end test. VK_VALGRIND=1 runs every vksession under
memcheck (status 99 on an error or a definite leak); VK_VALGRIND_LOG=FILE notes the reports."""
import os
import shlex
import sys
from pathlib import Path

import pytest

SOURCE = Path(os.environ.get("VK_SOURCE") or Path(__file__).resolve().parents[2])
sys.path.insert(0, str(SOURCE / "tools" / "sandbox"))
from vksbx_group import Group  # noqa: E402
# The host's names, which the test modules import from here too.
from vksbx_parvix import HOSTNAME, PROBE, USERS, VKSESSION, ParvixHost, host_maker  # noqa: E402,F401

# syslog(3) priorities as they arrive on /dev/log.
LOG_INFO_DEFAULT = 14   # LOG_INFO under the C library's default facility (LOG_USER)
LOG_LOCAL1_INFO = 142   # LOG_LOCAL1 | LOG_INFO

USAGE = (
    "vksession -h\n"
    "vksession -p [-x] [-u <unixID>] [-t <tokenID>] [-d <display>]\n"
    "\t[-n <PXname>]\n"
    "vksession -l [-x] [-u <unixID>] [-t <tokenID>] [-d <display>]\n"
    "\t[-n <PXname>]\n"
    "vksession {-k|-s} [-x] [-a] {-u <unixID> | -t <tokenID> | -d <display> | \n"
    "\t-n <PXname>}\n"
    "vksession -r [-x] [-a] [-u <unixID>] [-t <tokenID>] [-d <display>]\n"
    "\t[-n <PXname>]\n"
)
DEPRECATED = ("Warning: Suspend and Resume options have been deprecated and will be removed "
              "in a future release \n")


def _build_path(name):
    value = os.environ.get(name)
    if not value:
        pytest.fail(f"{name} is not set: run through ctest, or set VK_STAGE and VK_BUILD")
    return Path(value).resolve()


VALGRIND = os.environ.get("VK_VALGRIND") == "1"
# Seconds that a test allows a run of vksession beyond the waits it bounds,
# for the start-up and the slower running under memcheck.
SLACK = 6.0 if VALGRIND else 0.0
MEMCHECK = ["/usr/bin/valgrind", "-q", "--error-exitcode=99", "--leak-check=full",
            "--errors-for-leak-kinds=definite", "--show-leak-kinds=definite", "--vgdb=no"]


def under_valgrind(argv, argv0):
    """argv of a vksession run under memcheck, as the program `argv0`."""
    if argv0 is None:
        return [*MEMCHECK, *argv]
    # valgrind passes the path it starts as the program's name: a link under
    # that name, in a mount that only this run sees.
    where = os.path.dirname(argv0) or "/run/vkvg"
    script = (f"mkdir -p {where} && mount -t tmpfs vkvg {where} && "
              f"ln -s {argv[0]} {where}/{os.path.basename(argv0)} && "
              f"PATH={where}:$PATH exec {shlex.join(MEMCHECK)} \"$@\"")
    return ["/usr/bin/unshare", "-m", "/bin/sh", "-c", script, "sh", argv0, *argv[1:]]


class MemcheckHost(ParvixHost):
    """A host whose every run of vksession runs under memcheck."""

    def run(self, argv, *, argv0=None, **kw):
        if not (argv and argv[0] == VKSESSION):
            return super().run(argv, argv0=argv0, **kw)
        r = super().run(under_valgrind(argv, argv0), **kw)
        if path := os.environ.get("VK_VALGRIND_LOG"):
            reports = "".join(x for x in r.err.splitlines(True) if x.startswith("=="))
            with open(path, "a") as f:
                f.write(f"rc={r.rc} {shlex.join(argv)}\n{reports}")
        return r


@pytest.fixture
def make_host(tmp_path):
    """make_host(...): a started host with stand-ins for its programs or without some."""
    if os.geteuid() != 0:
        pytest.skip("sandboxed hosts need root")
    make, hosts = host_maker(tmp_path, _build_path("VK_STAGE"), _build_path("VK_BUILD"),
                             MemcheckHost if VALGRIND else ParvixHost)
    yield make
    for h in hosts:
        h.stop()


@pytest.fixture
def host(make_host):
    return make_host()


@pytest.fixture
def make_group(make_host):
    """make_group(*names, members=True): a failover group (vksbx_group.py), parvix1 and 2 by
    default."""
    groups = []

    def make(*names, members=True):
        groups.append(Group(make_host, names=names or ("parvix1", "parvix2"), members=members))
        return groups[-1]
    yield make
    for g in groups:
        g.stop()
