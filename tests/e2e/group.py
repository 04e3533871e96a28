"""Servers of a failover group: hosts parvix1, parvix2, ... on one switch (vksbx_net.Switch),
each running sshd, set up as docs/failover-group.md says: parvix1, where the tools run, holds
the group's key and every member's host key; every member has the key bound to the gate. The
address of `silent` (parvix3 in a group of two) never answers. Nothing outlives stop()."""
import os
import subprocess
import time

import vksbx_net
from conftest import USERS

NET = "10.77.0"
GROUP = "/etc/opt/KELWvk/group"
KEY, KNOWN_HOSTS = f"{GROUP}/id_ed25519", f"{GROUP}/known_hosts"
SSH_CONFIG, MEMBERS = f"{GROUP}/ssh_config", f"{GROUP}/members"
VKRCMD, GATE = "/opt/KELWvk/lib/vkrcmd", "/opt/KELWvk/lib/vkrcmd-gate"
VKGROUP = "/opt/KELWvk/sbin/vkgroup"
CONTROL_DIR = "/var/opt/KELWvk/vkrcmd"
AUTHD, TERMINALS = "/opt/KELWvk/lib/vkauthd", "/var/opt/KELWvk/authd/terminals/"
# The test's own sshd: its configuration and host key live in the sandbox.
SSHD, SSHD_DIR = "/usr/sbin/sshd", "/etc/opt/sshd"
SSHD_CONFIG = """\
ListenAddress {addr}
HostKey {dir}/ssh_host_ed25519_key
PidFile none
UsePAM no
StrictModes no
PermitRootLogin forced-commands-only
PasswordAuthentication no
KbdInteractiveAuthentication no
"""
# The fields of a record line, in the order vksession -p -x writes them.
FIELDS = ("INSERT_TOKEN", "TOKEN", "uid", "STATE", "DISPLAY", "SERVER", "SESSION_TYPE",
          "encryptUpType", "encryptDownType", "authenticateUpType", "authenticateDownType",
          "securityMode", "TermPrimary", "TermList", "MultiheadGroupName")
# sshd's unprivileged helper runs as this user.
SSHD_USER = {"sshd": 100}
SSH_KEYGEN = "/usr/bin/ssh-keygen"


def is_master(p):
    """Whether process `p` (ProcessInfo) is a shared connection's master: an ssh that has
    gone to the background and names its control socket."""
    return p.comm == "ssh" and p.args.startswith(f"ssh: {CONTROL_DIR}/") and p.args.endswith(" [mux]")


class Group:
    """hosts: {name: host}; h1, h2: the first two; silent: a name whose address never answers;
    sshd: {name: its listener (Proc)}; switch: the network (vksbx_net.Switch)."""

    def __init__(self, make_host, names=("parvix1", "parvix2"), members=None):
        """Hosts `names` (the first is where the tools run), at 10.77.0.1, .2, ... in that
        order. `members`: the lines of the first host's members file (True: every name); by
        default there is none."""
        self.names = list(names)
        self.silent = next(f"parvix{i}" for i in range(3, 100) if f"parvix{i}" not in names)
        self.addr = {n: f"{NET}.{i}" for i, n in enumerate(self.names, 1)}
        self.addr[self.silent] = f"{NET}.250"
        hosts_file = "".join(f"{a}\t{n}\n" for n, a in self.addr.items())
        users = {**USERS, **SSHD_USER}
        self.hosts = {n: make_host(name=n, hostname=n, users=users, hosts=hosts_file)
                      for n in self.names}
        self.h1 = self.hosts[self.names[0]]
        self.h2 = self.hosts.get(self.names[1]) if len(self.names) > 1 else None
        self.sshd = {}
        self._seen = []     # (machine pid, start time) of every sshd and ssh master seen
        self.switch = vksbx_net.Switch()
        try:
            self._set_up(members)
        except BaseException:
            self.stop()
            raise

    def _set_up(self, members):
        for n, h in self.hosts.items():
            self.switch.attach(h, self.addr[n])
        vksbx_net.silent(self.h1, self.addr[self.silent])
        # The keys are made on the machine, into the sandboxes' files, all at once.
        keys = {n: h.path(f"{SSHD_DIR}/ssh_host_ed25519_key") for n, h in self.hosts.items()}
        group_key = self.h1.path(KEY)
        for p in (*keys.values(), group_key):
            p.parent.mkdir(parents=True, exist_ok=True)
        os.chmod(group_key.parent, 0o700)
        made = [subprocess.Popen([SSH_KEYGEN, "-q", "-t", "ed25519", "-N", "", "-C", comment,
                                  "-f", str(p)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                for comment, p in [("vkgroup", group_key), *(("", k) for k in keys.values())]]
        for p in made:
            assert p.wait(30) == 0, p.stderr.read()
            p.stderr.close()
        public = group_key.with_suffix(".pub").read_text().strip()
        known = ""
        for n, h in self.hosts.items():
            # Root may log in with a forced command only (docs/failover-group.md).
            h.write("/root/.ssh/authorized_keys", f'command="{GATE}",restrict {public}\n', 0o600)
            h.write(f"{SSHD_DIR}/sshd_config", SSHD_CONFIG.format(addr=self.addr[n], dir=SSHD_DIR))
            # sshd's privilege separation directory, on the sandbox's own /run.
            os.makedirs(f"/proc/{h.init_pid}/root/run/sshd", exist_ok=True)
            known += f"{n} {' '.join(keys[n].with_suffix('.pub').read_text().split()[:2])}\n"
        self.h1.write(KNOWN_HOSTS, known)
        if members is not None:
            lines = self.names if members is True else members
            self.h1.write(MEMBERS, "".join(f"{m}\n" for m in lines))
        for n in self.names:
            self.start_sshd(n, wait=False)
        for n in self.names:
            self._await_sshd(n)

    # -- sshd ---------------------------------------------------------------------------------

    def start_sshd(self, name, wait=True):
        h = self.hosts[name]
        self.sshd[name] = h.spawn([SSHD, "-D", "-e", "-f", f"{SSHD_DIR}/sshd_config"])
        if wait:
            self._await_sshd(name)

    def _await_sshd(self, name):
        p = self.sshd[name]
        deadline = time.monotonic() + 10
        while "Server listening" not in p.err:
            if time.monotonic() > deadline or self.hosts[name].exit_status(p.pid) is not None:
                raise RuntimeError(f"sshd of {name} did not start: {p.err}")
            time.sleep(0.005)

    def stop_sshd(self, name="parvix2"):
        """Ends every sshd process of host `name`, the listener and those of its connections,
        so that connections to it break (as when the server goes down)."""
        h, listener = self.hosts[name], self.sshd[name]
        listener.signal(9)
        listener.wait()
        deadline = time.monotonic() + 10
        while rest := [p for p in h.processes() if p.comm == "sshd"]:
            for p in rest:
                _kill(p.hostpid)
            assert time.monotonic() < deadline, f"sshd of {name} does not end: {rest}"
            time.sleep(0.005)

    def accepted(self, name):
        """How many logins the sshd of `name` has accepted so far (each a full handshake)."""
        return self.sshd[name].err.count("Accepted publickey for root")

    # -- the network ------------------------------------------------------------------------

    def cut(self, name):
        """Cuts host `name` off: whatever it sends or is sent is lost."""
        self.switch.cut(self.hosts[name])

    def restore(self, name):
        self.switch.restore(self.hosts[name])

    # -- what runs ----------------------------------------------------------------------------

    def processes(self, name="parvix1"):
        """The live processes of host `name` (ProcessInfo: pid, hostpid, comm, args)."""
        found = self.hosts[name].processes()
        self._seen += [(p.hostpid, _started(p.hostpid)) for p in found
                       if p.comm == "sshd" or is_master(p)]
        return found

    def masters(self, name="parvix1"):
        return [p for p in self.processes(name) if is_master(p)]

    def vkgroup(self, *args, **kw):
        return self.h1.run([VKGROUP, *args], **kw)

    def vkrcmd(self, *args, **kw):
        return self.h1.run([VKRCMD, *args], **kw)

    def stop(self):
        """Stops every host and the switch, then checks that no sshd and no master ssh of any
        host lives on."""
        for n, h in self.hosts.items():
            try:
                self.processes(n)
            except OSError:     # stopped already
                pass
            h.stop()
        self.switch.close()
        left = [pid for pid, start in self._seen if start is not None and _started(pid) == start]
        assert not left, f"sshd or ssh processes outlived their hosts: {left}"


def _kill(pid):
    try:
        os.kill(pid, 9)
    except ProcessLookupError:
        pass


def _started(pid):
    """The start time of machine process `pid` (to tell it from a later one of that number)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return int(f.read().rsplit(")", 1)[1].split()[19])
    except (OSError, IndexError, ValueError):
        return None


def line_of(d):
    """The record line of the fields in `d` (absent or None: NULL)."""
    return ";".join(f"{k}={'NULL' if d.get(k) is None else d[k]}" for k in FIELDS) + "\n"


def authd(h, *terminals):
    """Starts the authentication manager of `h` with the terminals given, each a list of its
    record's key=value lines, the terminal id first."""
    for lines in terminals:
        h.write(TERMINALS + lines[0].split("=", 1)[1], "".join(x + "\n" for x in lines))
    assert h.run([AUTHD]).rc == 0
