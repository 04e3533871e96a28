"""Two servers of a failover group: hosts parvix1 and parvix2 on a link, parvix2 running sshd,
parvix1 holding the group's key and parvix2's host key as docs/failover-group.md sets them up.
parvix3's address never answers. sshd dies with its host; stop() checks that it is gone."""
import os
import time

import vksbx_net
from conftest import USERS

NET = "10.77.0"
ADDR = {name: f"{NET}.{i}" for i, name in enumerate(("parvix1", "parvix2", "parvix3"), 1)}
HOSTS = "".join(f"{a}\t{n}\n" for n, a in ADDR.items())
GROUP = "/etc/opt/KELWvk/group"
KEY, KNOWN_HOSTS = f"{GROUP}/id_ed25519", f"{GROUP}/known_hosts"
VKRCMD, GATE = "/opt/KELWvk/lib/vkrcmd", "/opt/KELWvk/lib/vkrcmd-gate"
VKGROUP = "/opt/KELWvk/sbin/vkgroup"
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
# sshd's unprivileged helper runs as this user.
SSHD_USER = {"sshd": 100}


class Group:
    def __init__(self, make_host):
        users = {**USERS, **SSHD_USER}
        self.h1, self.h2 = h1, h2 = [make_host(name=n, hostname=n, users=users, hosts=HOSTS)
                                     for n in ("parvix1", "parvix2")]
        vksbx_net.link(h1, h2, ADDR["parvix1"], ADDR["parvix2"])
        vksbx_net.silent(h1, ADDR["parvix3"])
        # The group's key, in parvix2's root authorized_keys bound to the gate;
        # root may log in with a forced command only (docs/failover-group.md).
        r = h1.sh(f"mkdir -p -m 700 {GROUP} && "
                  f"ssh-keygen -q -t ed25519 -N '' -C vkgroup -f {KEY} && cat {KEY}.pub")
        assert r.rc == 0, r
        h2.write("/root/.ssh/authorized_keys", f'command="{GATE}",restrict {r.out.strip()}\n', 0o600)
        h2.write(f"{SSHD_DIR}/sshd_config", SSHD_CONFIG.format(addr=ADDR["parvix2"], dir=SSHD_DIR))
        r = h2.sh(f"ssh-keygen -q -t ed25519 -N '' -f {SSHD_DIR}/ssh_host_ed25519_key && mkdir -p /run/sshd")
        assert r.rc == 0, r
        host_key = h2.path(f"{SSHD_DIR}/ssh_host_ed25519_key.pub").read_text().split()[:2]
        h1.write(KNOWN_HOSTS, f"parvix2 {' '.join(host_key)}\n")
        self.sshd = h2.spawn([SSHD, "-D", "-e", "-f", f"{SSHD_DIR}/sshd_config"])
        deadline = time.monotonic() + 5
        while "Server listening" not in self.sshd.err:
            if time.monotonic() > deadline or h2.exit_status(self.sshd.pid) is not None:
                raise RuntimeError(f"sshd did not start: {self.sshd.err}")
            time.sleep(0.005)

    def stop_sshd(self):
        self.sshd.signal(9)
        self.sshd.wait()

    def vkgroup(self, *args, **kw):
        return self.h1.run([VKGROUP, *args], **kw)

    def vkrcmd(self, *args, **kw):
        return self.h1.run([VKRCMD, *args], **kw)

    def stop(self):
        for h in (self.h1, self.h2):
            h.stop()
        assert not os.path.exists(f"/proc/{self.sshd.hostpid}"), "sshd outlived its host"


def authd(h, *terminals):
    """Starts the authentication manager of `h` with the terminals given, each a list of its
    record's key=value lines, the terminal id first."""
    for lines in terminals:
        h.write(TERMINALS + lines[0].split("=", 1)[1], "".join(x + "\n" for x in lines))
    assert h.run([AUTHD]).rc == 0
