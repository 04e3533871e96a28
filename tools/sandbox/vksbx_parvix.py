"""A Parvix host in a sandbox (vksbx.Host): its name and users, the directories its session
software lays out before any session starts, the build directory at /build, and shorthands for
vksession, the build's probe and the system log.

  make, hosts = host_maker(top, stage, build)
  h = make(name="parvix1", files={"/etc/opt/KELWvk/vkadmin.conf": (text, 0o644)})   # started
  h.vksession("-p", "-x").out
  h.lines()                  # the system log's messages
  for h in hosts:
      h.stop()
"""
import os
import stat
from pathlib import Path

import vksbx

VKSESSION = "/opt/KELWvk/sbin/vksession"
PROBE = "/build/tests/vkadmin_probe"
HOSTNAME = "parvix1"
USERS = {"alice": 1001, "bob": 1002}
# What the session software of a server lays out before any session starts.
SESSION_DIRS = ("/var/opt/KELWvk/displays", "/var/opt/KELWvk/ctokens", "/var/opt/KELWvk/idle",
                "/tmp/KELWvk/session_proc")


class ParvixHost(vksbx.Host):
    def vksession(self, *args, argv0=None, **kw):
        return self.run([VKSESSION, *args], argv0=argv0, **kw)

    def probe(self, *args, **kw):
        return self.run([PROBE, *args], **kw)

    def messages(self):
        return [(r.pri, r.msg) for r in self.log()]

    def lines(self):
        return [r.msg.rstrip("\n") for r in self.log()]


def host_maker(top, stage, build, host_class=ParvixHost):
    """make(session_dirs=True, name=None, files={path: (text, mode)}, absent=paths, **Host
    options), which makes and starts a host_class in a directory of its own under `top`, and
    the list of the hosts made, for their owner to stop."""
    hosts = []

    def make(session_dirs=True, name=None, files=None, absent=(), **kw):
        d = Path(top) / (name or f"host{len(hosts)}")
        d.mkdir()
        kw.setdefault("hostname", HOSTNAME)
        kw.setdefault("users", USERS)
        h = host_class(d, stage=stage, binds=[(build, "/build")], **kw)
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
