"""A failover group's ssh in sandbox hosts, laid out as docs/failover-group.md
says: every member runs its own sshd, which lets root in with the group's
key only, and only to run the gate (a forced command); the first host,
where the group's tools run, holds the group's key and every member's host
key.

  hosts = {"parvix1": h1, "parvix2": h2}          # started, on one network
  set_up(hosts, {"parvix1": "10.77.0.1", "parvix2": "10.77.0.2"})
  procs = [start_sshd(h) for h in hosts.values()]
  for h, p in zip(hosts.values(), procs):
      await_sshd(h, p)

The hosts need an account "sshd" (sshd's unprivileged helper runs as it).
"""
import subprocess
import time

SSHD, SSHD_DIR = "/usr/sbin/sshd", "/etc/opt/sshd"
GROUP_DIR = "/etc/opt/KELWvk/group"
GATE = "/opt/KELWvk/lib/vkrcmd-gate"
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


def set_up(hosts, addr):
    """Writes the keys and sshd configurations of `hosts` ({name: Host}, the
    first the one the tools run on), each sshd listening at addr[name]."""
    first = next(iter(hosts.values()))
    group_key = first.path(f"{GROUP_DIR}/id_ed25519")
    host_keys = {n: h.path(f"{SSHD_DIR}/ssh_host_ed25519_key") for n, h in hosts.items()}
    for k in (group_key, *host_keys.values()):
        k.parent.mkdir(parents=True, exist_ok=True)
    group_key.parent.chmod(0o700)
    # The keys are made on the machine, into the hosts' files, all at once.
    keygens = [subprocess.Popen(["/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", comment,
                                 "-f", str(k)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
               for comment, k in [("vkgroup", group_key), *(("", k) for k in host_keys.values())]]
    for p in keygens:
        if p.wait(30) != 0:
            raise RuntimeError(f"ssh-keygen failed: {p.stderr.read()}")
        p.stderr.close()
    public = group_key.with_suffix(".pub").read_text().strip()
    known = ""
    for n, h in hosts.items():
        h.write("/root/.ssh/authorized_keys", f'command="{GATE}",restrict {public}\n', 0o600)
        h.write(f"{SSHD_DIR}/sshd_config", SSHD_CONFIG.format(addr=addr[n], dir=SSHD_DIR))
        # sshd's privilege separation directory, on the host's own /run.
        h.run(["/bin/mkdir", "-p", "/run/sshd"])
        known += f"{n} {' '.join(host_keys[n].with_suffix('.pub').read_text().split()[:2])}\n"
    first.write(f"{GROUP_DIR}/known_hosts", known)


def start_sshd(h):
    """Starts the sshd of host `h` in the foreground, its log the process's standard error."""
    return h.spawn([SSHD, "-D", "-e", "-f", f"{SSHD_DIR}/sshd_config"])


def await_sshd(h, p, timeout=10):
    """Waits until sshd process `p` of host `h` listens."""
    deadline = time.monotonic() + timeout
    while "Server listening" not in p.err:
        if time.monotonic() > deadline or h.exit_status(p.pid) is not None:
            raise RuntimeError(f"the sshd of {h.hostname} did not start: {p.err}")
        time.sleep(0.005)
