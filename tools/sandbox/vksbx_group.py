"""A failover group of sandboxed Parvix hosts on one switch, each with its own sshd, set up as
docs/failover-group.md says; and one member that never answers.

  make, hosts = vksbx_parvix.host_maker(top, stage, build)
  g = Group(make, names=("parvix1", "parvix2"), members=True)
  g.vkgroup("list", "-x").out        # on the first host
  g.cut("parvix2"); g.restore("parvix2")
  g.stop()                           # the hosts and the switch
"""
import contextlib
import os
import time

import vksbx_net
import vksbx_ssh
from vksbx_parvix import USERS

NET = "10.77.0"
GROUP = vksbx_ssh.GROUP_DIR
KEY, KNOWN_HOSTS = f"{GROUP}/id_ed25519", f"{GROUP}/known_hosts"
SSH_CONFIG, MEMBERS = f"{GROUP}/ssh_config", f"{GROUP}/members"
VKRCMD = "/opt/KELWvk/lib/vkrcmd"
VKGROUP = "/opt/KELWvk/sbin/vkgroup"
CONTROL_DIR = "/var/opt/KELWvk/vkrcmd"


def is_master(p):
    """Whether process `p` is a shared connection's master (named by its control socket)."""
    return p.comm == "ssh" and p.args.startswith(f"ssh: {CONTROL_DIR}/") and p.args.endswith(" [mux]")


class Group:
    """Hosts `names` at 10.77.0.1, .2, ..., each made by make_host(name=, hostname=, users=,
    hosts=) and started: the tools run on the first; `silent` never answers; `members`: the first
    host's members file (True: every name; None: no file); `users`: the accounts of every host
    besides root and sshd."""

    def __init__(self, make_host, names, members, users=USERS):
        self.names = list(names)
        self.silent = next(f"parvix{i}" for i in range(3, 100) if f"parvix{i}" not in names)
        self.addr = {n: f"{NET}.{i}" for i, n in enumerate(self.names, 1)}
        self.addr[self.silent] = f"{NET}.250"
        hosts_file = "".join(f"{a}\t{n}\n" for n, a in self.addr.items())
        users = {**users, "sshd": 100}     # sshd's unprivileged helper runs as this user
        self.hosts = {n: make_host(name=n, hostname=n, users=users, hosts=hosts_file) for n in self.names}
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
        vksbx_ssh.set_up(self.hosts, self.addr)
        if members is not None:
            self.h1.write(MEMBERS, "".join(f"{m}\n" for m in (self.names if members is True else members)))
        self.sshd = {n: vksbx_ssh.start_sshd(h) for n, h in self.hosts.items()}
        for n, h in self.hosts.items():
            vksbx_ssh.await_sshd(h, self.sshd[n])

    # -- sshd ---------------------------------------------------------------------------------

    def stop_sshd(self, name="parvix2"):
        """Ends every sshd process of host `name`, so that its connections break too."""
        h, listener = self.hosts[name], self.sshd[name]
        listener.signal(9)
        listener.wait()
        deadline = time.monotonic() + 10
        while rest := [p for p in h.processes() if p.comm == "sshd"]:
            for p in rest:
                with contextlib.suppress(ProcessLookupError):
                    os.kill(p.hostpid, 9)
            assert time.monotonic() < deadline, f"sshd of {name} does not end: {rest}"
            time.sleep(0.005)

    def accepted(self, name):
        """How many logins the sshd of `name` has accepted so far."""
        return self.sshd[name].err.count("Accepted publickey for root")

    # -- the network ------------------------------------------------------------------------

    def cut(self, name):
        """Cuts host `name` off: whatever it sends or is sent is lost."""
        self.switch.cut(self.hosts[name])

    def restore(self, name):
        self.switch.restore(self.hosts[name])

    # -- what runs ----------------------------------------------------------------------------

    def processes(self, name="parvix1"):
        found = self.hosts[name].processes()
        self._seen += [(p.hostpid, _started(p.hostpid)) for p in found
                       if p.comm == "sshd" or is_master(p)]
        return found

    def calls_running(self):
        """parvix1's processes of a call: vkrcmd, a shell that runs it, an ssh that is no master."""
        return [p for p in self.processes() if p.comm == "vkrcmd" or (p.comm == "sh" and "vkrcmd" in p.args)
                or (p.comm == "ssh" and not is_master(p))]

    def masters(self, name="parvix1"):
        return [p for p in self.processes(name) if is_master(p)]

    def vkgroup(self, *args, **kw):
        return self.h1.run([VKGROUP, *args], **kw)

    def vkrcmd(self, *args, **kw):
        return self.h1.run([VKRCMD, *args], **kw)

    def stop(self):
        """Stops the hosts and the switch; no sshd and no master ssh may live on."""
        for n, h in self.hosts.items():
            try:
                self.processes(n)
            except OSError:     # stopped already
                pass
            h.stop()
        self.switch.close()
        left = [pid for pid, start in self._seen if start is not None and _started(pid) == start]
        assert not left, f"sshd or ssh processes outlived their hosts: {left}"


def _started(pid):
    """The start time of machine process `pid`, to tell it from a later one of that number."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return int(f.read().rsplit(")", 1)[1].split()[19])
    except (OSError, IndexError, ValueError):
        return None
