#!/usr/bin/python3
"""The demo: a simulated Parvix host with four real sessions and a directory
of registered users (a real slapd), administered with vksession. Runs inside a sandboxed host (tools/sandbox), so the
machine's own /opt, /var/opt, /etc/opt and /tmp are left alone.

usage: demo.py STAGE OUTDIR
  STAGE   an install root made by `cmake --install BUILD --prefix STAGE`
  OUTDIR  where the transcript (demo.txt) and the screenshot of the
          suspension notice (suspend-notice.png) are written
"""
import codecs
import shutil
import sys
import tempfile
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(SOURCE / "tools" / "sandbox"))
from vksbx import Host  # noqa: E402

VKSESSION = "/opt/KELWvk/sbin/vksession"
STARTER = "/opt/KELWvk/sbin/vksessionstart"
VKUSTATUS = "/opt/KELWvk/sbin/vkustatus"

# The directory of the demo host: its subtree, the administrator's entry,
# and the registered users with their logical and raw tokens (bob's mobile
# session belongs to nobody).
SUFFIX, SLAPD_RUN = "o=parvix", "/var/opt/slapd"
MANAGER_PW, ADMIN_PW = "demo-manager", "demo-admin"
USERS_LDIF = [
    ("1001", "Alice Liddell", "user.alice", "card-0a11ce"),
    ("1003", "Carol Baker", "user.carol", "card-0ca401"),
    ("1004", "Dave Miller", "user.dave", "card-0da7e"),
]


def directory_ldif():
    entries = [f"dn: {SUFFIX}\nobjectClass: organization\no: parvix\n",
               f"dn: cn=admin,{SUFFIX}\nobjectClass: organizationalRole\n"
               f"objectClass: simpleSecurityObject\ncn: admin\nuserPassword: {ADMIN_PW}\n"]
    entries += [f"dn: vkName={c},{SUFFIX}\nobjectClass: vkContainer\nvkName: {c}\n"
                for c in ("users", "logicalTokens", "rawTokens")]
    for uid, name, ltoken, raw in USERS_LDIF:
        entries += [
            f"dn: vkID={uid},vkName=users,{SUFFIX}\nobjectClass: vkUser\nvkID: {uid}\n"
            f"vkName: {name}\nvkFirstTime: 1700000000\nvkLogicalTokenIDs: {ltoken}\n",
            f"dn: vkID={ltoken},vkName=logicalTokens,{SUFFIX}\nobjectClass: vkLogicalToken\n"
            f"vkID: {ltoken}\nvkRawTokenIDs: {raw}\n",
            f"dn: vkID={raw},vkName=rawTokens,{SUFFIX}\nobjectClass: vkRawToken\nvkID: {raw}\n"]
    return "\n".join(entries)


def start_directory(h):
    """Starts slapd on 127.0.0.1:389 of the host with the project's
    configuration and schema, loads the users, and writes the server's
    administration configuration and status databases."""
    conf = (SOURCE / "admin/libvkadmin/directory/slapd.conf.in").read_text()
    for key, value in (("@SUFFIX_RE@", SUFFIX.replace("=", ".3D").replace(",", ".2C ?")),
                       ("@SUFFIX@", SUFFIX), ("@RUN@", SLAPD_RUN), ("@ROOTPW@", MANAGER_PW)):
        conf = conf.replace(key, value)
    h.path(f"{SLAPD_RUN}/db").mkdir(parents=True, exist_ok=True)
    h.write(f"{SLAPD_RUN}/slapd.conf", conf)
    h.spawn(["/usr/sbin/slapd", "-d", "0", "-s", "0", "-h", "ldap://127.0.0.1:389/",
             "-f", f"{SLAPD_RUN}/slapd.conf"])
    ldap = ["-x", "-H", "ldap://127.0.0.1:389", "-D", f"cn=Manager,{SUFFIX}", "-w", MANAGER_PW]
    deadline = time.monotonic() + 10
    while h.run(["ldapsearch", *ldap, "-b", "", "-s", "base"]).rc != 0:
        if time.monotonic() > deadline:
            raise SystemExit("the directory server did not start")
        time.sleep(0.05)
    r = h.run(["ldapadd", *ldap], input=directory_ldif())
    if r.rc != 0:
        raise SystemExit(f"could not load the directory: {r.err}")
    h.write("/etc/opt/KELWvk/vkadmin.conf", "".join(f"admin.{k}={v}\n" for k, v in (
        ("server.name", "127.0.0.1"), ("server.port", 389), ("subtree", SUFFIX),
        ("user.name", f"cn=admin,{SUFFIX}"), ("server.authmech", "CRAM_MD5"),
        ("dstatus.dbfile", "/var/opt/KELWvk/dstatus"),
        ("ustatus.dbfile", "/var/opt/KELWvk/ustatus"))), 0o600)
    h.write("/etc/opt/KELWvk/vkadmin.pw", codecs.encode(ADMIN_PW, "rot13") + "\n", 0o600)
    h.run([VKUSTATUS, "-f", "/var/opt/KELWvk/dstatus", "create"])
    h.run([VKUSTATUS, "create"])  # the user status database that vkadmin.conf names


def main(stage, outdir):
    outdir = Path(outdir)
    outdir.mkdir(parents=True, exist_ok=True)
    transcript = []

    def say(text=""):
        print(text, flush=True)
        transcript.append(text)

    top = tempfile.mkdtemp(prefix="vkdemo.")
    users = {"alice": 1001, "bob": 1002, "carol": 1003, "dave": 1004}
    try:
        with Host(top, stage=stage, users=users, hostname="parvix1") as h:

            def run(*args, show=True):
                r = h.run(list(args))
                if show:
                    say("# " + " ".join(a if a and " " not in a else repr(a) for a in args))
                    for stream in (r.out, r.err):
                        if stream:
                            say(stream.rstrip("\n"))
                    say(f"[exit status {r.rc}]")
                    say()
                return r

            say("== A simulated Parvix host 'parvix1' with four user sessions ==")
            say()
            displays = {}
            for user, token, raw, stype, client in (
                ("alice", "user.alice", "card-0a11ce", "default", ["/usr/bin/xclock"]),
                ("bob", "mobile.bob", "term-00b0b", "kiosk", ["/usr/bin/xeyes"]),
                ("carol", "user.carol", "card-0ca401", "default",
                 ["/bin/sh", "-c", "xlogo & xclock -digital & wait"]),
                ("dave", "user.dave", "card-0da7e", "default", ["/usr/bin/xlogo"]),
            ):
                r = run(STARTER, "-u", user, "-t", token, "-r", raw, "-T", stype, "--", *client)
                if r.rc != 0:
                    raise SystemExit(f"could not start the session of {user}: {r.err}")
                displays[user] = r.out.strip()
            run(STARTER, "-i", displays["carol"])

            say("== The authentication manager: alice at an encrypting terminal, bob at a")
            say("   multihead group of two terminals, carol idle, dave's card pulled ==")
            say()
            terminals = {
                "IEEE802.0003ba4e1a01": ["tokenName=user.alice", "encryptUpType=arcfour",
                                         "encryptDownType=arcfour", "authenticateUpType=none",
                                         "authenticateDownType=none", "securityMode=hard",
                                         "terminalIPA=192.168.128.21"],
                "IEEE802.0003ba4e1b10": ["tokenName=mobile.bob", "encryptUpType=none",
                                         "encryptDownType=none", "authenticateUpType=dsa",
                                         "authenticateDownType=dsa", "securityMode=soft",
                                         "MultiheadGroupName=wall-b", "MultiheadTerminalIndex=0",
                                         "MultiheadPrimary=true"],
                "IEEE802.0003ba4e1b11": ["tokenName=mobile.bob", "encryptUpType=arcfour",
                                         "encryptDownType=none", "authenticateUpType=dsa",
                                         "authenticateDownType=none", "securityMode=soft",
                                         "MultiheadGroupName=wall-b", "MultiheadTerminalIndex=1",
                                         "MultiheadPrimary=false"],
                "IEEE802.0003ba4e1c20": ["tokenName=user.carol", "encryptUpType=none",
                                         "encryptDownType=none", "authenticateUpType=none",
                                         "authenticateDownType=none", "securityMode=soft"],
            }
            for tid, lines in terminals.items():
                h.write(f"/var/opt/KELWvk/authd/terminals/{tid}",
                        "\n".join([f"terminalCID={tid}", *lines]) + "\n")
            run("/opt/KELWvk/lib/vkauthd")

            say("== The directory: a slapd on this host with the registered users and")
            say("   their tokens; the user status database holds alice's last terminal ==")
            say()
            start_directory(h)
            run("ldapsearch", "-x", "-LLL", "-H", "ldap://127.0.0.1", "-D", "cn=anonymous",
                "-b", f"vkName=users,{SUFFIX}", "(objectClass=vkUser)", "vkName",
                "vkLogicalTokenIDs")
            run(VKUSTATUS, "set", "1001", "Alice Liddell", "1700000000", "1",
                "IEEE802.0003ba4e1a01", str(int(time.time())))
            run(VKUSTATUS, "show")

            run(VKSESSION, "-h")
            run(VKSESSION, "-p")
            run(VKSESSION, "-l")
            run(VKSESSION, "-p", "-x")

            say("== Select sessions by registered name (case does not matter) ==")
            say()
            run(VKSESSION, "-n", "alice liddell", "-p")
            run(VKSESSION, "-n", "Nobody Registered", "-p")

            say("== Suspend alice's session: the notice appears on her display ==")
            say()
            run(VKSESSION, "-s", "-u", "alice")
            shot = h.run(["/bin/sh", "-c",
                          f"xwd -root -silent -display :{displays['alice']} | xwdtopnm 2>/dev/null"
                          " | pnmtopng > /tmp/suspend-notice.png"])
            if shot.rc == 0:
                shutil.copy(h.path("/tmp/suspend-notice.png"), outdir / "suspend-notice.png")
                say(f"(screenshot of display :{displays['alice']}: "
                    f"{outdir / 'suspend-notice.png'})")
                say()
            run(VKSESSION, "-p")

            say("== Resume it, then terminate carol's session by its display ==")
            say()
            run(VKSESSION, "-r", "-u", "alice")
            run(VKSESSION, "-k", "-d", displays["carol"])
            time.sleep(0.2)
            run(VKSESSION, "-p")
            run(VKSESSION, "-k", "-u", "nobody-here")
            run(VKSESSION, "-k", "-x", "-u", "nobody-here")
    finally:
        shutil.rmtree(top, ignore_errors=True)
    (outdir / "demo.txt").write_text("\n".join(transcript) + "\n")
    print(f"Transcript: {outdir / 'demo.txt'}")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
