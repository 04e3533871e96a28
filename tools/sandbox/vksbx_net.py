"""Networks between sandbox hosts.

Each sandbox host (vksbx.Host) has a network namespace of its own with only
its loopback device. link() joins two of them with a veth pair: one end in
each namespace, both named `ifname`, with an address of one /24 each. The
pair exists only inside the two namespaces (the kernel creates each end
directly there) and goes away with them; the machine's own network sees
nothing of it, and the hosts reach nothing but each other.

  a, b = Host(...).start(), Host(...).start()
  link(a, b, "10.77.0.1", "10.77.0.2")
  silent(a, "10.77.0.3")   # an address on a's link that never answers

Needs root and iproute2 (ip).
"""
import shutil
import subprocess

IP = shutil.which("ip") or "/usr/sbin/ip"


def _ip(host, *args):
    """Runs ip with `args` in the network namespace of `host`."""
    r = host.run([IP, *args])
    if r.rc != 0:
        raise RuntimeError(f"ip {' '.join(args)} failed in {host.hostname}: {r.err}")


def link(a, b, addr_a, addr_b, prefix=24, ifname="eth0"):
    """Joins hosts `a` and `b` (started) with a veth pair and brings it up."""
    # Run from the machine's namespaces, which see both sandboxes' PID 1.
    subprocess.run([IP, "link", "add", ifname, "netns", str(a.init_pid), "type", "veth",
                    "peer", "name", ifname, "netns", str(b.init_pid)],
                   check=True, capture_output=True)
    for host, addr in ((a, addr_a), (b, addr_b)):
        _ip(host, "addr", "add", f"{addr}/{prefix}", "dev", ifname)
        _ip(host, "link", "set", ifname, "up")


def silent(host, addr, ifname="eth0"):
    """Makes `addr` on `host`'s link an address that never answers: its
    packets leave for a hardware address that no device has, so a
    connection to it neither succeeds nor fails until a time-out."""
    _ip(host, "neigh", "replace", addr, "lladdr", "02:00:00:00:00:fe", "dev", ifname,
        "nud", "permanent")
