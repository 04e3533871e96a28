"""vkrcmd and the gate over real ssh in a group of three: shared connections, servers that go away,
the group's settings, the socket directory's safety, and that nothing but vksession runs."""
import os
import re
import threading
import time

import pytest

from conftest import SLACK, VKSESSION
from group import CONTROL_DIR, KEY, KNOWN_HOSTS, SSH_CONFIG, VKGROUP, VKRCMD, pwned
from sessions import outcome, plant, timed, wait_for

LIST = (VKSESSION, "-p", "-x")
NO_SESSION = "**ERROR: -4\n"
CONNECT_TIMEOUT, ALIVE = 5, 3 * 3   # the defaults; a dead peer is noticed within (2 + 1) x 3 s


@pytest.fixture
def group(make_group):
    return make_group("parvix1", "parvix2", "parvix3")


def masters(g):
    """{control socket: machine pid} of parvix1's master connections."""
    return {p.args.split()[1]: p.hostpid for p in g.masters()}


def in_background(g, *args):
    """A call in a thread of its own; the thread's `result` is (Result, seconds)."""
    t = threading.Thread(target=lambda: setattr(t, "result", timed(g.vkrcmd, *args, timeout=60)))
    t.start()
    return t


def slow_listing(h):
    """Makes `vksession -p` on `h` wait five seconds for a manager that never answers."""
    plant(h, "5", "user.alice", "card-1")
    h.spawn(["/usr/bin/python3", "-c", "import socket, time; s = socket.create_server(("
             "'127.0.0.1', 7010)); open('/tmp/listening', 'w'); time.sleep(600)"])
    wait_for(lambda: h.path("/tmp/listening").exists(), what="the silent manager")


def no_connection(host, why):
    """How vkrcmd says that ssh could not connect to `host` (a regular expression)."""
    return f"cannot reach {host}: ssh: connect to host {host} port 22: {why}"


CUT_OFF = "(Connection timed out|No route to host)"


def refused(r, why):
    """vkrcmd's one diagnostic line and 255, nothing on standard output."""
    return r.rc == 255 and r.out == "" and re.fullmatch(f"vkrcmd: {why}\n", r.err) is not None


def test_calls_share_one_connection_per_server_until_closed(group):
    g = group
    # Calls that make the first connection at the same time: one of them leaves its master,
    # the others run on connections of their own, and that is nobody's business.
    first_calls = [in_background(g, "parvix3", *LIST) for _ in range(4)]
    for t in first_calls:
        t.join()
        assert (t.result[0].rc, t.result[0].out, t.result[0].err) == (1, NO_SESSION, ""), t.result
    logins = g.accepted("parvix3")
    for _ in range(3):
        assert (g.vkrcmd("parvix2", *LIST).out, g.vkrcmd("parvix3", *LIST).out) == (NO_SESSION,) * 2
    # A far command's own 255 is passed on as such, its master still there.
    assert outcome(g.vkrcmd("parvix2", VKSESSION, "-p", "-x", "-n", "Nobody")) == (255, "**ERROR: -20\n", "")
    # One login per server; each master in the background, in the root-only directory.
    assert (g.accepted("parvix2"), g.accepted("parvix3")) == (1, logins)
    first = masters(g)
    # (The directory's mode as vkrcmd makes it: the test of the socket directory below.)
    assert len(first) == 2 and all(os.path.dirname(s) == CONTROL_DIR for s in first), first
    assert g.calls_running() == []
    # The master outlives its calls (60 s by default) until it is closed; closing it twice,
    # or where there is none, is fine too.
    time.sleep(1)
    assert masters(g) == first
    for host in ("parvix2", "parvix2", "parvix1"):
        assert outcome(g.vkrcmd("--close", host)) == (0, "", ""), host
    wait_for(lambda: len(masters(g)) == 1, what="the closed master's end")
    assert masters(g).items() < first.items()
    # The next call logs in again.
    assert g.vkrcmd("parvix2", *LIST).out == NO_SESSION
    assert (g.accepted("parvix2"), len(masters(g))) == (2, 2)


def test_the_callers_descriptors_are_not_held_and_nothing_but_vksession_runs(group):
    g = group
    h1, h2 = g.h1, g.h2
    # The caller's extra pipe (here: the harness's pipe of the run's output, as descriptor 3
    # besides vkrcmd's own output, which goes elsewhere) ends when vkrcmd ends: on the call
    # that makes the master as on one that shares it. A master that held it would keep the
    # run waiting for a minute.
    script = f"{' '.join((VKRCMD, 'parvix2', *LIST))} 3>&1 >/dev/null 2>&1; echo $?"
    for _ in range(2):
        r, took = timed(g.h1.sh, script, timeout=20)
        assert (r.out, r.err) == ("1\n", "") and took < 5 + SLACK
    assert len(masters(g)) == 1 and g.calls_running() == []

    # The gate's rules are checked one by one in the unit tests (a command line that would
    # smuggle in another, whether vkrcmd quoted it or not, among them); here, that it stands
    # between the group key and the far host, and refuses a login.
    r = g.vkrcmd("parvix2", "/bin/touch", "/tmp/pwn1")
    assert (r.rc, r.out, r.err) == (1, "", f"vkrcmd-gate: refused: only {VKSESSION} or {VKGROUP} may run\n")
    r = h1.run(f"ssh -F none -n -i {KEY} -o BatchMode=yes -o UserKnownHostsFile={KNOWN_HOSTS} -l root "
               "parvix2".split())
    assert r.rc == 1 and "vkrcmd-gate: refused: no command" in r.err, r
    # vkrcmd takes nothing from its words but the host: no option, no user.
    for bad in (["-oProxyCommand=touch /tmp/pwn3", "/bin/true"], ["root@parvix2", "/bin/true"],
                ["parvix2"], ["--close", "-oProxyCommand=touch /tmp/pwn4"], ["--close", "parvix2", "/bin/true"]):
        r = g.vkrcmd(*bad)
        assert r.rc == 255 and r.err.startswith("vkrcmd: ") and r.err.count("\n") == 1, bad
    # A changed host key: one diagnostic line, 255. Host keys are checked as a connection is
    # made: the one that the calls above left open was checked then, and is closed first.
    h1.write(KNOWN_HOSTS, h1.path(KNOWN_HOSTS).read_text().replace("parvix2", "other"))
    assert g.vkrcmd("--close", "parvix2").rc == 0
    r = g.vkrcmd("parvix2", VKSESSION, "-p", "-x")
    assert (r.rc, r.out, r.err.endswith("Host key verification failed.\n")) == (255, "", True)
    assert pwned(h1, h2) == []


def test_servers_that_go_away(group):
    g = group
    assert g.vkrcmd("parvix2", *LIST).out == g.vkrcmd("parvix3", *LIST).out == NO_SESSION
    # parvix2 goes down while a call runs on its master: the master ends with its connection,
    # the call fails at once, and so does the next one.
    slow_listing(g.hosts["parvix2"])
    call = in_background(g, "parvix2", *LIST)
    wait_for(lambda: any(p.comm == "vksession" for p in g.processes("parvix2")), what="the far call")
    g.stop_sshd("parvix2")
    call.join()
    r, took = call.result
    assert refused(r, "cannot reach parvix2: connection lost before the command ended") and took < 5, \
        (r, took)
    wait_for(lambda: len(masters(g)) == 1, what="the broken master's end")
    r, took = timed(g.vkrcmd, "parvix2", *LIST)
    assert refused(r, no_connection("parvix2", "Connection refused")) and took < 2 + SLACK, (r, took)
    # parvix3 is cut off with a master open: the master notices within its keepalive, and a
    # call meanwhile fails through it, then tries to connect anew. --close does not wait for
    # the lost server.
    g.cut("parvix3")
    r, took = timed(g.vkrcmd, "parvix3", *LIST, timeout=60)
    assert refused(r, no_connection("parvix3", CUT_OFF)) and took < ALIVE + CONNECT_TIMEOUT + 2 + SLACK
    assert masters(g) == {}
    # Cut off without a master: the connect time-out.
    r, took = timed(g.vkrcmd, "parvix3", *LIST)
    assert refused(r, no_connection("parvix3", CUT_OFF)) and took < CONNECT_TIMEOUT + 2 + SLACK
    g.restore("parvix3")
    assert g.vkrcmd("parvix3", *LIST).out == NO_SESSION
    g.cut("parvix3")
    r, took = timed(g.vkrcmd, "--close", "parvix3")
    assert (r.rc, r.err, took < 1 + SLACK) == (0, "", True)
    # A master on its way out has no command line left, and shows as a bare ssh until reaped.
    wait_for(lambda: masters(g) == {} and g.calls_running() == [], what="the closed master's end")


def test_the_socket_directory_must_be_roots_alone_and_the_groups_settings_win(group):
    g = group
    h1 = g.h1
    unsafe = "not a directory that only root may use"
    setups = {  # what is there: (shell commands, the reason vkrcmd gives)
        "open to the group": (f"mkdir -m 750 {CONTROL_DIR}", unsafe),
        "another owner": (f"mkdir -m 700 {CONTROL_DIR} && chown alice {CONTROL_DIR}", unsafe),
        "a link": (f"mkdir -m 700 /root/ctl && ln -s /root/ctl {CONTROL_DIR}", "a symbolic link"),
        "a file": (f"touch {CONTROL_DIR}", unsafe)}
    for name, (setup, why) in setups.items():
        assert h1.sh(f"rm -rf {CONTROL_DIR} /root/ctl && {setup}").rc == 0
        for args in (("parvix2", *LIST), ("--close", "parvix2")):
            assert refused(g.vkrcmd(*args), f"cannot reach parvix2: {CONTROL_DIR}: {why}"), (name, args)
    # Whoever may write the directory above could put another in its place.
    assert h1.sh(f"rm -rf {CONTROL_DIR} && chmod 777 /var/opt/KELWvk").rc == 0
    assert refused(g.vkrcmd("parvix2", *LIST),
                   "cannot reach parvix2: /var/opt/KELWvk: not a directory that only root may write")
    # Missing altogether, it is made.
    assert h1.sh("rm -rf /var/opt/KELWvk").rc == 0
    assert g.vkrcmd("parvix2", *LIST).out == NO_SESSION
    assert oct(os.lstat(h1.path(CONTROL_DIR)).st_mode) == oct(0o40700)
    assert g.accepted("parvix2") == 1 and masters(g) != {}

    # The group's own settings win over the defaults.
    g.h1.write(SSH_CONFIG, "Host parvix3\n\tControlPersist 1\nHost *\n\tConnectTimeout 2\n", 0o600)
    r, took = timed(g.vkrcmd, g.silent, *LIST)
    assert refused(r, no_connection(g.silent, "Connection timed out")), r
    assert 2 <= took < 2 + 2 + SLACK
    assert g.vkrcmd("parvix2", *LIST).out == g.vkrcmd("parvix3", *LIST).out == NO_SESSION
    # parvix3's master goes after a second of rest; parvix2's keeps the default minute.
    wait_for(lambda: len(masters(g)) == 1, what="parvix3's master's end")
    kept = masters(g)
    time.sleep(1.5)
    assert masters(g) == kept and g.vkrcmd("parvix2", *LIST).out == NO_SESSION
    assert (g.accepted("parvix2"), g.accepted("parvix3")) == (1, 1)
    # A group file that others may write is read by nothing, not even to end a connection.
    os.chmod(g.h1.path(SSH_CONFIG), 0o620)
    for args in (("parvix2", *LIST), ("--close", "parvix2")):
        assert refused(g.vkrcmd(*args), f"cannot reach parvix2: {SSH_CONFIG}: "
                                        "not a regular file that only root may write"), args
