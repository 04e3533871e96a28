"""A real directory server (OpenLDAP slapd) inside a sandbox host, with the
project's slapd configuration, the Parvix schema as installed, the containers of users and tokens, and the
administration configuration and status databases that vksession reads.

  d = Directory(h).start()          # slapd on 127.0.0.1:389 of the host
  d.add(user("U1", "Alice", ["LT1"], vkOtherInfo="..."), ltoken("LT1", ["card-1"]))
  d.configure()                     # /etc/opt/KELWvk/vkadmin.conf, databases
  d.ustatus("U1", "Alice", 5, 7, "desk", 9)
  d.freeze() / d.stop()
"""
import codecs
import signal
import time

from conftest import SOURCE

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
    lines = [f"dn: {dn}"]
    for k, v in attrs.items():
        for value in v if isinstance(v, (list, tuple)) else [v]:
            lines.append(f"{k}: {value}")
    return "\n".join(lines) + "\n"


# The suffix, the administrator the tool binds as, and the three containers.
BASE_LDIF = "\n".join([
    ldif(SUFFIX, objectClass="organization", o="v1data"),
    ldif(ADMIN_DN, objectClass=["organizationalRole", "simpleSecurityObject"], cn="admin",
         userPassword=ADMIN_PW),
    *(ldif(f"vkName={c},{SUFFIX}", objectClass="vkContainer", vkName=c)
      for c in ("users", "logicalTokens", "rawTokens"))])


def configure(h, *, databases=True, password=ADMIN_PW, **extra):
    """Writes vkadmin.conf (`extra` keys use "_" for "."; None drops a key),
    the password file (scrambled) and, unless told not to, the two empty
    status databases."""
    keys = {"admin.server.name": "127.0.0.1", "admin.server.port": "389",
            "admin.subtree": SUFFIX, "admin.user.name": ADMIN_DN,
            "admin.dstatus.dbfile": DSTATUS, "admin.ustatus.dbfile": USTATUS,
            "admin.server.authmech": "CRAM_MD5"}
    keys.update({"admin." + k.replace("_", "."): v for k, v in extra.items()})
    h.write(CONF, "".join(f"{k}={v}\n" for k, v in keys.items() if v is not None), 0o600)
    if password is not None:
        h.write(PWFILE, codecs.encode(password, "rot13") + "\n", 0o600)
    for db in (DSTATUS, USTATUS) if databases else ():
        r = h.run([VKUSTATUS, "-f", db, "create"])
        assert r.rc == 0, r


def user(uid, name, ltokens=(), **attrs):
    """The LDIF of a user entry."""
    entry = {"objectClass": "vkUser", "vkID": uid, "vkName": name, **attrs}
    if ltokens:
        entry["vkLogicalTokenIDs"] = list(ltokens)
    return ldif(f"vkID={uid},vkName=users,{SUFFIX}", **entry)


def ltoken(lid, raws=()):
    """The LDIF of a logical token entry."""
    entry = {"objectClass": "vkLogicalToken", "vkID": lid}
    if raws:
        entry["vkRawTokenIDs"] = list(raws)
    return ldif(f"vkID={lid},vkName=logicalTokens,{SUFFIX}", **entry)


class Directory:
    def __init__(self, host):
        self.h = host
        self.proc = None

    def start(self, *entries):
        """Starts slapd and adds the containers and `entries` (LDIF)."""
        h = self.h
        h.path(f"{RUN}/db").mkdir(parents=True, exist_ok=True)
        h.write(f"{RUN}/slapd.conf", slapd_conf())
        # -d keeps slapd in the foreground (its log is the spawn's stderr);
        # -s 0 keeps it out of the host's system log, which the tests read.
        self.proc = h.spawn(["/usr/sbin/slapd", "-d", "stats", "-s", "0", "-h",
                             "ldap://127.0.0.1:389/", "-f", f"{RUN}/slapd.conf"])
        deadline = time.monotonic() + 10
        while self._ldap("ldapsearch", "-b", "", "-s", "base").rc != 0:
            if time.monotonic() > deadline:
                raise RuntimeError(f"slapd did not answer: {self.proc.err}")
            time.sleep(0.03)
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

    def freeze(self):
        self.proc.signal(signal.SIGSTOP)

    def stop(self):
        self.proc.signal(signal.SIGKILL)
        self.proc.wait()
