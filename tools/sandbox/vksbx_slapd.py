"""A directory of registered users in a sandbox host: slapd on 127.0.0.1:389
with the project's configuration and schema (admin/libvkadmin/directory),
and the server's administration configuration that points at it.

  d = Slapd(h, SOURCE, "o=parvix", "manager-pw", "admin-pw",
            user("o=parvix", "1001", "Alice", ["user.alice"]),
            ltoken("o=parvix", "user.alice", ["card-1"]))
  configure(h, "o=parvix", "admin-pw")
"""
import codecs
import time

CONF, PWFILE = "/etc/opt/KELWvk/vkadmin.conf", "/etc/opt/KELWvk/vkadmin.pw"
DSTATUS, USTATUS = "/var/opt/KELWvk/dstatus", "/var/opt/KELWvk/ustatus"
VKUSTATUS = "/opt/KELWvk/sbin/vkustatus"


def ldif(dn, **attrs):
    """An entry; a list value gives the attribute once per item."""
    return f"dn: {dn}\n" + "".join(f"{k}: {x}\n" for k, v in attrs.items()
                                   for x in (v if isinstance(v, list) else [v]))


def user(suffix, uid, name, ltokens=(), **attrs):
    return ldif(f"vkID={uid},vkName=users,{suffix}", objectClass="vkUser", vkID=uid, vkName=name,
                vkLogicalTokenIDs=list(ltokens), **attrs)


def ltoken(suffix, lid, raws):
    return ldif(f"vkID={lid},vkName=logicalTokens,{suffix}", objectClass="vkLogicalToken", vkID=lid,
                vkRawTokenIDs=list(raws))


class Slapd:
    """slapd of host `h` holding the suffix, its administrator "cn=admin" (password `admin_pw`),
    the three containers and `entries`; `run` holds its configuration and database."""

    def __init__(self, h, source, suffix, manager_pw, admin_pw, *entries, run="/var/opt/slapd"):
        self.h, self.manager = h, (f"cn=Manager,{suffix}", manager_pw)
        conf = (source / "admin/libvkadmin/directory/slapd.conf.in").read_text()
        for key, value in (("@SUFFIX_RE@", suffix.replace("=", ".3D").replace(",", ".2C ?")),
                           ("@SUFFIX@", suffix), ("@RUN@", run), ("@ROOTPW@", manager_pw)):
            conf = conf.replace(key, value)
        h.path(f"{run}/db").mkdir(parents=True, exist_ok=True)
        h.write(f"{run}/slapd.conf", conf)
        # -d keeps slapd in the foreground (its log is the process's standard
        # error); -s 0 keeps it out of the host's system log.
        self.proc = h.spawn(["/usr/sbin/slapd", "-d", "stats", "-s", "0", "-h",
                             "ldap://127.0.0.1:389/", "-f", f"{run}/slapd.conf"])
        deadline = time.monotonic() + 10
        while self.ldap("ldapsearch", "-b", "", "-s", "base").rc != 0:
            if time.monotonic() > deadline:
                raise RuntimeError(f"the directory server did not start: {self.proc.err}")
            time.sleep(0.05)
        base = [ldif(suffix, objectClass="organization", o=suffix.split("=", 1)[1]),
                ldif(f"cn=admin,{suffix}", objectClass=["organizationalRole", "simpleSecurityObject"],
                     cn="admin", userPassword=admin_pw),
                *(ldif(f"vkName={c},{suffix}", objectClass="vkContainer", vkName=c)
                  for c in ("users", "logicalTokens", "rawTokens"))]
        r = self.ldap("ldapadd", input="\n".join([*base, *entries]))
        if r.rc != 0:
            raise RuntimeError(f"could not load the directory: {r.err}")

    def ldap(self, tool, *args, input=None):
        """Runs an LDAP client tool against the server as its manager."""
        return self.h.run([tool, "-x", "-H", "ldap://127.0.0.1:389", "-D", self.manager[0],
                           "-w", self.manager[1], *args], input=input)


def configure(h, suffix, admin_pw, *, databases=True, **extra):
    """Writes vkadmin.conf for the directory of host `h` (`extra` keys with "_" for "."), the
    administrator's password file and, if asked, the status databases."""
    keys = {"admin.server.name": "127.0.0.1", "admin.server.port": "389", "admin.subtree": suffix,
            "admin.user.name": f"cn=admin,{suffix}", "admin.server.authmech": "CRAM_MD5",
            "admin.dstatus.dbfile": DSTATUS, "admin.ustatus.dbfile": USTATUS}
    keys.update({"admin." + k.replace("_", "."): v for k, v in extra.items()})
    h.write(CONF, "".join(f"{k}={v}\n" for k, v in keys.items()), 0o600)
    h.write(PWFILE, codecs.encode(admin_pw, "rot13") + "\n", 0o600)
    for db in (DSTATUS, USTATUS) if databases else ():
        r = h.run([VKUSTATUS, "-f", db, "create"])
        if r.rc != 0:
            raise RuntimeError(f"could not create {db}: {r.err}")
