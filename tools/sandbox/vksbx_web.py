"""A failover group (vksbx_group.Group, of three by default) and a desk on its switch
(vksbx_desk.Desk), parvix1 set up for vkweb (its account, the administrators' group with alice but
not bob, real passwords, PAM, a certificate, vkweb.conf).

  make, hosts = vksbx_parvix.host_maker(top, stage, build)
  w = WebGroup(make, stage)
  w.start_vkweb()            # answering at w.url, from the desk
  b = w.desk.browser()       # Chromium in the desk, through Selenium
  w.stop()
"""
import functools
import subprocess

from vksbx_desk import Desk, await_listener
from vksbx_group import NET, Group, _started

NAMES = ("parvix1", "parvix2", "parvix3")
PORT = 8443
DESK, DESK_ADDR = "desk", f"{NET}.200"
PASSWORDS = {"alice": "alice's secret", "bob": "bob's secret"}
ADMIN_GROUP = "vkadmin"
ADMINS = ("alice",)
WEB_ACCOUNT = {"vkweb": 990}   # a system account, with a group of that name and number
ADMIN_GID = 1100

VKWEB = "/opt/KELWvk/sbin/vkweb"
WEB_DIR = "/etc/opt/KELWvk/web"
CONFIG, CERT, KEY = f"{WEB_DIR}/vkweb.conf", f"{WEB_DIR}/vkweb.crt", f"{WEB_DIR}/vkweb.key"
RUNTIME = "/run/vkweb"
PAM_SERVICE = "/etc/pam.d/vkweb"
# What the package installs as the PAM service, for a stage that lacks it.
PAM_LINES = "@include common-auth\n@include common-account\n"


@functools.cache
def password_hash(password):
    r = subprocess.run(["/usr/bin/openssl", "passwd", "-6", "-stdin"], input=password,
                       capture_output=True, text=True, check=True)
    return r.stdout.strip()


def account_files(users, stage):
    """/etc/group, /etc/shadow and the PAM service for `users` ({name: uid}), before the host
    starts (they are layers of the sandbox)."""
    accounts = sorted({"root": 0, **users}.items(), key=lambda u: u[1])
    group = "".join(f"{n}:x:{u}:\n" for n, u in accounts)
    group += f"{ADMIN_GROUP}:x:{ADMIN_GID}:{','.join(ADMINS)}\n"
    shadow = "".join(f"{n}:{password_hash(PASSWORDS[n]) if n in PASSWORDS else '*'}:19000:0:99999:7:::\n"
                     for n, _ in accounts)
    installed = stage / PAM_SERVICE.lstrip("/")
    pam = installed.read_text() if installed.exists() else PAM_LINES
    return {"/etc/group": (group, 0o644), "/etc/shadow": (shadow, 0o640), PAM_SERVICE: (pam, 0o644)}


class WebGroup:
    """group (a vksbx_group.Group), h1 (parvix1), desk (a vksbx_desk.Desk), addr (parvix1's on the switch), url
    (vkweb's, by name), vkweb (its Proc once started)."""

    def __init__(self, make_host, stage, names=NAMES):
        self.stage = stage
        self.group = self.desk = self.vkweb = None
        self.url = f"https://{NAMES[0]}:{PORT}"
        try:
            self.group = Group(self._make_host(make_host), names=names, members=True)
            self.h1 = self.group.h1
            self.addr = self.group.addr[NAMES[0]]
            names = {**self.group.addr, DESK: DESK_ADDR}
            desk = make_host(name=DESK, hostname=DESK, users={}, session_dirs=False,
                             hosts="".join(f"{a}\t{n}\n" for n, a in names.items()))
            # No IPv6 on the desk's link: its link-local address would come only after duplicate
            # address detection, and Chromium takes that change for a change of network and fails
            # the page it is loading (ERR_NETWORK_CHANGED).
            r = desk.run(["/usr/sbin/sysctl", "-q", "-w", "net.ipv6.conf.default.disable_ipv6=1"])
            assert r.rc == 0, r
            self.group.switch.attach(desk, DESK_ADDR)
            self._prepare_h1()
            self.desk = Desk(desk)
        except BaseException:
            self.stop()
            raise

    def _make_host(self, make_host):
        def make(name, users, **kw):
            if name == NAMES[0]:
                users = {**users, **WEB_ACCOUNT}
                kw["files"] = account_files(users, self.stage)
            return make_host(name=name, users=users, **kw)
        return make

    def _prepare_h1(self):
        h = self.h1
        r = h.sh(f"umask 077 && mkdir -p {WEB_DIR} && chmod 755 {WEB_DIR} && "
                 f"openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -noenc -days 30 "
                 f"-subj /CN={NAMES[0]} -addext subjectAltName=DNS:{NAMES[0]},IP:{self.addr} "
                 f"-keyout {KEY} -out {CERT} && chmod 644 {CERT} && "
                 f"install -d -m 755 -o root -g root {RUNTIME}")
        assert r.rc == 0, r
        self.write_config()

    def write_config(self, **keys):
        """vkweb.conf on parvix1, with `keys` besides."""
        conf = {"address": self.addr, "port": PORT, "certificate": CERT, "key": KEY,
                "admin_group": ADMIN_GROUP, "user": next(iter(WEB_ACCOUNT)), **keys}
        self.h1.write(CONFIG, "".join(f"{k} = {v}\n" for k, v in conf.items()), 0o644)

    def start_vkweb(self, *args, timeout=15.0):
        """Starts vkweb on parvix1 and waits until the desk can connect to it; its Proc."""
        h = self.h1
        try:
            self.vkweb = p = h.spawn([VKWEB, *args])
        except (RuntimeError, TimeoutError) as e:
            # A start-up error may have gone to the system log only.
            raise RuntimeError(f"{e}\nlog: {h.lines()}") from e

        def alive():
            if (st := h.exit_status(p.pid)) is not None:
                raise RuntimeError(f"vkweb ended ({st}): {p.err}\nlog: {h.lines()}")
        await_listener(self.desk.host, self.addr, PORT, timeout, alive)
        return p

    def restart_vkweb(self, **keys):
        """Stops vkweb, writes vkweb.conf with `keys` and starts it again."""
        self.vkweb.signal(15)
        self.vkweb.wait()
        self.write_config(**keys)
        return self.start_vkweb()

    def stop(self):
        """Ends the desk and the group, and checks that no process of parvix1 or the desk lives on."""
        hosts = [h for h in (getattr(self, "h1", None), self.desk and self.desk.host) if h]
        seen = []
        for h in hosts:
            try:
                seen += [(p.hostpid, p.args, _started(p.hostpid)) for p in h.processes()]
            except OSError:
                pass
        try:
            if self.desk:
                self.desk.close()
        finally:
            if self.group:
                self.group.stop()
            for h in hosts:
                h.stop()
        left = [(pid, args) for pid, args, start in seen
                if start is not None and _started(pid) == start]
        assert not left, f"processes outlived their hosts: {left}"
