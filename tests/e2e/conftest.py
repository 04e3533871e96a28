"""End-to-end tests, run through ctest: each test gets fresh sandboxed hosts (parvix1, users
alice and bob, empty session directories, the product at /opt/KELWvk, the build at /build).
VK_VALGRIND=1 runs every vksession a test starts under memcheck (status 99 on an error or a
definite leak); VK_VALGRIND_LOG=FILE notes each such run and its reports in FILE."""
import os
import shlex
import stat
import sys
from pathlib import Path

import pytest

SOURCE = Path(os.environ.get("VK_SOURCE") or Path(__file__).resolve().parents[2])
sys.path.insert(0, str(SOURCE / "tools" / "sandbox"))
import vksbx  # noqa: E402

VKSESSION = "/opt/KELWvk/sbin/vksession"
PROBE = "/build/tests/vkadmin_probe"
HOSTNAME = "parvix1"
USERS = {"alice": 1001, "bob": 1002}
# What the session software of a server lays out before any session starts.
SESSION_DIRS = ("/var/opt/KELWvk/displays", "/var/opt/KELWvk/ctokens", "/var/opt/KELWvk/idle",
                "/tmp/KELWvk/session_proc")

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


def note_memcheck(argv, r):
    if path := os.environ.get("VK_VALGRIND_LOG"):
        reports = "".join(x for x in r.err.splitlines(True) if x.startswith("=="))
        with open(path, "a") as f:
            f.write(f"rc={r.rc} {shlex.join(argv)}\n{reports}")


class ParvixHost(vksbx.Host):
    def run(self, argv, *, argv0=None, **kw):
        if VALGRIND and argv and argv[0] == VKSESSION:
            r = super().run(under_valgrind(argv, argv0), **kw)
            note_memcheck(argv, r)
            return r
        return super().run(argv, argv0=argv0, **kw)

    def vksession(self, *args, argv0=None, **kw):
        return self.run([VKSESSION, *args], argv0=argv0, **kw)

    def probe(self, *args, **kw):
        return self.run([PROBE, *args], **kw)

    def messages(self):
        return [(r.pri, r.msg) for r in self.log()]

    def lines(self):
        """The messages logged so far, without priorities or final newlines."""
        return [r.msg.rstrip("\n") for r in self.log()]


def host_maker(top, stage, build):
    """make(session_dirs=True, name=None, files={path: (text, mode)}, absent=paths, **Host
    options): a started host under `top` with stand-ins for its programs (`files`) or without
    some (`absent`); and the list of the hosts made, for stopping them."""
    hosts = []

    def make(session_dirs=True, name=None, files=None, absent=(), **kw):
        d = Path(top) / (name or f"host{len(hosts)}")
        d.mkdir()
        kw.setdefault("hostname", HOSTNAME)
        kw.setdefault("users", USERS)
        h = ParvixHost(d, stage=stage, binds=[(build, "/build")], **kw)
        if session_dirs:
            for s in SESSION_DIRS:
                h.path(s).mkdir(parents=True, exist_ok=True)
        for inside, (text, mode) in (files or {}).items():
            h.write(inside, text, mode)
        for inside in absent:
            # A whiteout in the top layer hides the file of the layers below.
            p = h.path(inside)
            p.parent.mkdir(parents=True, exist_ok=True)
            os.mknod(p, stat.S_IFCHR, os.makedev(0, 0))
        hosts.append(h)
        return h.start()
    return make, hosts


@pytest.fixture
def make_host(tmp_path):
    """make_host(session_dirs=True, files={path: (text, mode)}, absent=paths, **Host options):
    a started host with stand-ins for its programs (`files`) or without some (`absent`)."""
    if os.geteuid() != 0:
        pytest.skip("sandboxed hosts need root")
    make, hosts = host_maker(tmp_path, _build_path("VK_STAGE"), _build_path("VK_BUILD"))
    yield make
    for h in hosts:
        h.stop()


@pytest.fixture
def host(make_host):
    return make_host()


@pytest.fixture
def make_group(make_host):
    """make_group(*names, members=True): a failover group of those hosts (group.py), stopped
    after the test; parvix1 and parvix2 by default."""
    from group import Group
    groups = []

    def make(*names, members=True):
        groups.append(Group(make_host, names=names or ("parvix1", "parvix2"), members=members))
        return groups[-1]
    yield make
    for g in groups:
        g.stop()
