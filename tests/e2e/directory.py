"""A real directory server (slapd on 127.0.0.1:389 of a sandbox host) with the project's
configuration and schema, and the administration configuration and status databases."""
import codecs
import signal

from conftest import SOURCE
from sessions import wait_for

SUFFIX = "o=v1data"
ADMIN_DN = f"cn=admin,{SUFFIX}"
ADMIN_PW = "adminpw"
MANAGER_DN, MANAGER_PW = f"cn=Manager,{SUFFIX}", "secret"
CONF, PWFILE = "/etc/opt/KELWvk/vkadmin.conf", "/etc/opt/KELWvk/vkadmin.pw"
DSTATUS, USTATUS = "/var/opt/KELWvk/dstatus", "/var/opt/KELWvk/ustatus"
VKUSTATUS = "/opt/KELWvk/sbin/vkustatus"
RUN = "/var/opt/slapd-test"


def slapd_conf():
    """The project's slapd configuration for sandboxed hosts, filled in."""
    text = (SOURCE / "admin/libvkadmin/directory/slapd.conf.in").read_text()
    for key, value in (("@SUFFIX_RE@", SUFFIX.replace("=", ".3D").replace(",", ".2C ?")),
                       ("@SUFFIX@", SUFFIX), ("@RUN@", RUN), ("@ROOTPW@", MANAGER_PW)):
        text = text.replace(key, value)
    return text


def ldif(dn, **attrs):
    return f"dn: {dn}\n" + "".join(f"{k}: {x}\n" for k, v in attrs.items()
                                   for x in (v if isinstance(v, list) else [v]))


# The suffix, the administrator the tool binds as, and the three containers.
BASE_LDIF = "\n".join([
    ldif(SUFFIX, objectClass="organization", o="v1data"),
    ldif(ADMIN_DN, objectClass=["organizationalRole", "simpleSecurityObject"], cn="admin",
         userPassword=ADMIN_PW),
    *(ldif(f"vkName={c},{SUFFIX}", objectClass="vkContainer", vkName=c)
      for c in ("users", "logicalTokens", "rawTokens"))])


def configure(h, *, databases=True, **extra):
    """Writes vkadmin.conf (`extra` keys use "_" for "."), the scrambled password file and,
    unless told not to, the two empty status databases."""
    keys = {"admin.server.name": "127.0.0.1", "admin.server.port": "389",
            "admin.subtree": SUFFIX, "admin.user.name": ADMIN_DN,
            "admin.dstatus.dbfile": DSTATUS, "admin.ustatus.dbfile": USTATUS,
            "admin.server.authmech": "CRAM_MD5"}
    keys.update({"admin." + k.replace("_", "."): v for k, v in extra.items()})
    h.write(CONF, "".join(f"{k}={v}\n" for k, v in keys.items()), 0o600)
    h.write(PWFILE, codecs.encode(ADMIN_PW, "rot13") + "\n", 0o600)
    for db in (DSTATUS, USTATUS) if databases else ():
        r = h.run([VKUSTATUS, "-f", db, "create"])
        assert r.rc == 0, r


def user(uid, name, ltokens=(), **attrs):
    return ldif(f"vkID={uid},vkName=users,{SUFFIX}", objectClass="vkUser", vkID=uid, vkName=name,
                vkLogicalTokenIDs=list(ltokens), **attrs)


def ltoken(lid, raws):
    return ldif(f"vkID={lid},vkName=logicalTokens,{SUFFIX}", objectClass="vkLogicalToken", vkID=lid,
                vkRawTokenIDs=list(raws))


# A relay in front of slapd that passes the bind and everything before the
# first search request, then holds every connection open without passing
# anything more: a directory server that stops answering after the bind.
HANG_AFTER_BIND = r'''
import socket, sys, threading
port, target = int(sys.argv[1]), int(sys.argv[2])
srv = socket.create_server(("127.0.0.1", port))
open(f"/root/relay{port}.ready", "w").close()
def header(b):
    """(header length, content length) of the BER element at the start of b, or None."""
    if len(b) < 2:
        return None
    if b[1] < 0x80:
        return 2, b[1]
    n = b[1] & 0x7f
    return (2 + n, int.from_bytes(b[2:2 + n], "big")) if len(b) >= 2 + n else None
def upstream(c, s):
    buf, held = b"", False
    while data := c.recv(65536):
        buf += data
        while not held and (h := header(buf)) and len(buf) >= sum(h):
            msg, buf = buf[:sum(h)], buf[sum(h):]
            inner = msg[h[0]:]                       # messageID, then the operation
            held = inner[sum(header(inner))] == 0x63  # [APPLICATION 3]: SearchRequest
            if not held:
                s.sendall(msg)
def downstream(s, c):
    while data := s.recv(65536):
        c.sendall(data)
while True:
    c = srv.accept()[0]
    s = socket.create_connection(("127.0.0.1", target))
    threading.Thread(target=upstream, args=(c, s), daemon=True).start()
    threading.Thread(target=downstream, args=(s, c), daemon=True).start()
'''


class Directory:
    def __init__(self, host):
        self.h, self.proc = host, None

    def start(self, *entries):
        """Starts slapd and adds the containers and `entries` (LDIF)."""
        h = self.h
        h.path(f"{RUN}/db").mkdir(parents=True, exist_ok=True)
        h.write(f"{RUN}/slapd.conf", slapd_conf())
        # -d keeps slapd in the foreground (its log is the spawn's stderr);
        # -s 0 keeps it out of the host's system log, which the tests read.
        self.proc = h.spawn(["/usr/sbin/slapd", "-d", "stats", "-s", "0", "-h",
                             "ldap://127.0.0.1:389/", "-f", f"{RUN}/slapd.conf"])
        wait_for(lambda: self._ldap("ldapsearch", "-b", "", "-s", "base").rc == 0, timeout=10,
                 what="slapd's answer")
        return self.add(BASE_LDIF, *entries)

    def _ldap(self, tool, *args, input=None):
        return self.h.run([tool, "-x", "-H", "ldap://127.0.0.1:389", "-D", MANAGER_DN,
                           "-w", MANAGER_PW, *args], input=input)

    def add(self, *entries):
        """Adds LDIF entries, all in one go."""
        r = self._ldap("ldapadd", input="\n".join(entries))
        assert r.rc == 0, r
        return self

    def configure(self, **kw):
        configure(self.h, **kw)
        return self

    def ustatus(self, uid, name, create, status, desk, last):
        r = self.h.run([VKUSTATUS, "-f", USTATUS, "set", uid, name, str(create), str(status),
                        desk, str(last)])
        assert r.rc == 0, r
        return self

    def hang_after_bind(self, port=390):
        """Starts a relay at `port` to slapd that stops answering after the bind."""
        self.h.spawn(["/usr/bin/python3", "-c", HANG_AFTER_BIND, str(port), "389"])
        wait_for(lambda: self.h.path(f"/root/relay{port}.ready").exists(), timeout=10, what="the relay")
        return port

    def freeze(self):
        self.proc.signal(signal.SIGSTOP)

    def stop(self):
        self.proc.signal(signal.SIGKILL)
        self.proc.wait()
