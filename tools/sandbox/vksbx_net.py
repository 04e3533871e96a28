"""Networks between sandbox hosts.

Each sandbox host (vksbx.Host) has a network namespace of its own with only
its loopback device. link() joins two of them with a veth pair: one end in
each namespace, both named `ifname`, with an address of one /24 each. A
Switch joins any number of them: a bridge in a network namespace of its
own, and one veth pair per host, the host's end `ifname` with its address,
the switch's end a port of the bridge. Either way the pairs exist only
inside the sandboxes' namespaces (the kernel creates each end directly
there) and go away with them; the machine's own network sees nothing of
it, and the hosts reach nothing but each other.

  a, b = Host(...).start(), Host(...).start()
  link(a, b, "10.77.0.1", "10.77.0.2")
  silent(a, "10.77.0.3")   # an address on a's link that never answers

  sw = Switch()
  for h, addr in ((a, "10.77.0.1"), (b, "10.77.0.2"), (c, "10.77.0.3")):
      sw.attach(h, addr)
  sw.cut(b)                # b's cable pulled: packets to and from it are lost
  sw.restore(b)
  sw.close()               # or when the harness ends

Needs root, iproute2 (ip) and util-linux (unshare, nsenter).
"""
import shutil
import subprocess
import time

IP = shutil.which("ip") or "/usr/sbin/ip"
NSENTER = shutil.which("nsenter") or "/usr/bin/nsenter"
UNSHARE = shutil.which("unshare") or "/usr/bin/unshare"
CAT = "/bin/cat"


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


class Switch:
    """A bridge in a network namespace of its own. The namespace belongs to a
    `cat` started by `unshare --net` whose standard input is a pipe of ours:
    it lives until close(), or until this process ends and the pipe with it,
    and the bridge and the switch's end of every pair go with it (a veth
    pair goes as a whole when either end's namespace ends)."""

    def __init__(self, bridge="br0", timeout=5):
        self.bridge = bridge
        self.ports = {}     # the hosts' PID 1 (the machine's number): port name
        self._keeper = subprocess.Popen([UNSHARE, "--net", "--", CAT], stdin=subprocess.PIPE,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.pid = self._keeper.pid
        # unshare has made the namespace once it has turned into cat.
        deadline = time.monotonic() + timeout
        while _read(f"/proc/{self.pid}/comm") != "cat":
            if self._keeper.poll() is not None or time.monotonic() > deadline:
                err = self._keeper.stderr.read().decode(errors="replace") if \
                    self._keeper.poll() is not None else "timed out"
                self.close()
                raise RuntimeError(f"the switch's namespace was not made: {err}")
            time.sleep(0.002)
        self._ip("link", "add", bridge, "type", "bridge")
        self._ip("link", "set", bridge, "up")

    def _ip(self, *args):
        r = subprocess.run([NSENTER, "-t", str(self.pid), "-n", IP, *args],
                           capture_output=True, text=True)
        if r.returncode != 0:
            raise RuntimeError(f"ip {' '.join(args)} failed on the switch: {r.stderr}")

    def attach(self, host, addr, prefix=24, ifname="eth0"):
        """Connects `host` (started) to the switch, as `ifname` with `addr`."""
        port = f"port{len(self.ports)}"
        subprocess.run([IP, "link", "add", ifname, "netns", str(host.init_pid), "type", "veth",
                        "peer", "name", port, "netns", str(self.pid)],
                       check=True, capture_output=True)
        self.ports[host.init_pid] = port
        r = host.run([IP, "-batch", "-"],
                     input=f"addr add {addr}/{prefix} dev {ifname}\nlink set {ifname} up\n")
        if r.rc != 0:
            raise RuntimeError(f"cannot set up {ifname} in {host.hostname}: {r.err}")
        self._ip("link", "set", port, "master", self.bridge, "up")

    def cut(self, host):
        """Takes `host`'s port down: whatever it sends or is sent is lost."""
        self._ip("link", "set", self.ports[host.init_pid], "down")

    def restore(self, host):
        self._ip("link", "set", self.ports[host.init_pid], "up")

    def close(self):
        """Ends the switch's namespace, and the pairs with it. Safe to repeat."""
        if self._keeper.poll() is None:
            self._keeper.stdin.close()
            try:
                self._keeper.wait(5)
            except subprocess.TimeoutExpired:
                self._keeper.kill()
                self._keeper.wait()
        for f in (self._keeper.stdin, self._keeper.stderr):
            if not f.closed:
                f.close()


def _read(path):
    try:
        with open(path) as f:
            return f.read().strip()
    except OSError:
        return None
