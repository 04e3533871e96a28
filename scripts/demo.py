#!/usr/bin/python3
"""The demo, in two acts, each in sandboxed hosts (tools/sandbox), so that the
machine's own /opt, /var/opt, /etc/opt and /tmp are left alone:

1. a simulated Parvix host with four real sessions and a directory of
   registered users (a real slapd), administered with vksession;
2. a failover group of three such hosts on one network, each with its own
   sshd, administered as one with vkgroup from the first.

usage: demo.py STAGE OUTDIR
  STAGE   an install root of the programs the demo runs
  OUTDIR  where the transcript (demo.txt) and the screenshots of the
          suspension notice (suspend-notice.png) and of a notice sent to
          the displays of one user across the group (group-notice.png)
          are written
"""
import contextlib
import shutil
import sys
import tempfile
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(SOURCE / "tools" / "sandbox"))
import vksbx_slapd  # noqa: E402
from vksbx import Host  # noqa: E402
from vksbx_group import MEMBERS, VKGROUP, Group  # noqa: E402

VKSESSION = "/opt/KELWvk/sbin/vksession"
STARTER = "/opt/KELWvk/sbin/vksessionstart"
VKUSTATUS = "/opt/KELWvk/sbin/vkustatus"
USERS = {"alice": 1001, "bob": 1002, "carol": 1003, "dave": 1004}

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


def directory_entries():
    entries = []
    for uid, name, ltoken, raw in USERS_LDIF:
        entries += [vksbx_slapd.user(SUFFIX, uid, name, [ltoken], vkFirstTime=1700000000),
                    vksbx_slapd.ltoken(SUFFIX, ltoken, [raw]),
                    vksbx_slapd.ldif(f"vkID={raw},vkName=rawTokens,{SUFFIX}",
                                     objectClass="vkRawToken", vkID=raw)]
    return entries


def start_directory(h):
    """Starts slapd on 127.0.0.1:389 of the host with the project's
    configuration and schema, loads the users, and writes the server's
    administration configuration and status databases."""
    try:
        vksbx_slapd.Slapd(h, SOURCE, SUFFIX, MANAGER_PW, ADMIN_PW, *directory_entries(), run=SLAPD_RUN)
        vksbx_slapd.configure(h, SUFFIX, ADMIN_PW)
    except RuntimeError as e:
        raise SystemExit(str(e))


class Transcript:
    """What the demo shows: printed as it goes, and kept for demo.txt."""

    def __init__(self):
        self.lines = []

    def say(self, text=""):
        print(text, flush=True)
        self.lines.append(text)

    def run(self, h, *args, prompt="# ", input=None):
        """Runs `args` on host `h` and shows the command, its output and its exit status."""
        r = h.run(list(args), input=input)
        self.say(prompt + " ".join(a if a and " " not in a else repr(a) for a in args))
        for stream in (r.out, r.err):
            if stream:
                self.say(stream.rstrip("\n"))
        self.say(f"[exit status {r.rc}]")
        self.say()
        return r


def screenshot(h, display, target):
    """Saves the screen of `display` on host `h` as the PNG `target`; whether it could."""
    shot = h.run(["/bin/sh", "-c", f"xwd -root -silent -display :{display} | xwdtopnm 2>/dev/null"
                  " | pnmtopng > /tmp/shot.png"])
    if shot.rc != 0:
        return False
    shutil.copy(h.path("/tmp/shot.png"), target)
    return True


def one_host(t, top, stage, outdir):
    say = t.say
    with Host(top, stage=stage, users=USERS, hostname="parvix1") as h:

        def run(*args):
            return t.run(h, *args)

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
        if screenshot(h, displays["alice"], outdir / "suspend-notice.png"):
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


# The group: three hosts on one switch, as docs/failover-group.md sets one up
# (tools/sandbox/vksbx_group.py). parvix1, where vkgroup runs, holds the
# group's key, every member's host key and the members file; every member
# lets the key in only through the gate.
GROUP_NAMES = ("parvix1", "parvix2", "parvix3")
# The sessions of the group: (host, user, token, raw token, X client).
GROUP_SESSIONS = [
    ("parvix1", "alice", "user.alice", "card-0a11ce", ["/usr/bin/xclock"]),
    ("parvix1", "carol", "user.carol", "card-0ca401", ["/usr/bin/xlogo"]),
    ("parvix2", "bob", "mobile.bob", "term-00b0b", ["/usr/bin/xeyes"]),
    ("parvix2", "dave", "user.dave", "card-0da7e", ["/usr/bin/xclock"]),
    ("parvix3", "bob", "user.bob", "card-0b0b01", ["/usr/bin/xlogo"]),
    ("parvix3", "alice", "user.alice2", "card-0a11c2", ["/usr/bin/xeyes"]),
]


# The terminals of the sessions that are connected: (host, terminal, token,
# (encryption up, down)).
GROUP_TERMINALS = [
    ("parvix1", "IEEE802.0003ba4e2a01", "user.alice", ("arcfour", "arcfour")),
    ("parvix2", "IEEE802.0003ba4e2b01", "mobile.bob", ("none", "none")),
    ("parvix3", "IEEE802.0003ba4e2c01", "user.alice2", ("arcfour", "none")),
]


def group(t, top, stage, outdir):
    say = t.say
    with contextlib.ExitStack() as stack:
        def make_host(name, **kw):
            d = Path(top) / name
            d.mkdir()
            return stack.enter_context(Host(d, stage=stage, **kw))

        g = Group(make_host, names=GROUP_NAMES, members=True, users=USERS)
        stack.callback(g.stop)
        hosts, h1 = g.hosts, g.h1

        def vkgroup(*args, input=None):
            return t.run(h1, VKGROUP, *args, prompt="parvix1# ", input=input)

        say("== A failover group: parvix1, parvix2 and parvix3 on one network, each with")
        say("   its own sshd; parvix1 holds the group's key, the members' host keys and")
        say("   the members file, the others let the key run only vksession ==")
        say()
        displays = {}
        for host, user, token, raw, client in GROUP_SESSIONS:
            r = hosts[host].run([STARTER, "-u", user, "-t", token, "-r", raw, "--", *client])
            if r.rc != 0:
                raise SystemExit(f"could not start the session of {user} on {host}: {r.err}")
            displays[host, user] = r.out.strip()
        # A terminal for some of them; the others are disconnected.
        for host, tid, token, security in GROUP_TERMINALS:
            lines = [f"terminalCID={tid}", f"tokenName={token}", *(
                f"{k}={v}" for k, v in zip(("encryptUpType", "encryptDownType"), security)),
                "authenticateUpType=none", "authenticateDownType=none", "securityMode=soft"]
            hosts[host].write(f"/var/opt/KELWvk/authd/terminals/{tid}", "\n".join(lines) + "\n")
        for h in hosts.values():
            h.run(["/opt/KELWvk/lib/vkauthd"])
        for host in GROUP_NAMES:
            mine = [f"{u} on :{d}" for (h, u), d in displays.items() if h == host]
            at = [token for h, _, token, _ in GROUP_TERMINALS if h == host]
            say(f"{host}: sessions of {', '.join(mine)}; at a terminal: {', '.join(at)}")
        say()
        t.run(h1, "/bin/cat", MEMBERS, prompt="parvix1# ")

        say("== Every session of the group in one table, then as JSON Lines ==")
        say()
        vkgroup("list")
        vkgroup("list", "-j")

        say("== A notice on every display of alice across the group ==")
        say()
        vkgroup("notify", "-a", "-u", "alice",
                input="The servers restart at 18:00.\nPlease save your work.\n")
        shot = outdir / "group-notice.png"
        if screenshot(hosts["parvix3"], displays["parvix3", "alice"], shot):
            say(f"(screenshot of display :{displays['parvix3', 'alice']} on parvix3: {shot})")
            say()

        say("== Terminate bob's sessions: two members hold one each, so vkgroup asks")
        say("   for -a before it acts on more than one ==")
        say()
        vkgroup("terminate", "-u", "bob")
        vkgroup("terminate", "-a", "-u", "bob")
        time.sleep(0.2)
        vkgroup("list")


def main(stage, outdir):
    outdir = Path(outdir)
    outdir.mkdir(parents=True, exist_ok=True)
    t = Transcript()
    top = tempfile.mkdtemp(prefix="vkdemo.")
    try:
        (Path(top) / "one").mkdir()
        (Path(top) / "group").mkdir()
        one_host(t, Path(top) / "one", stage, outdir)
        group(t, Path(top) / "group", stage, outdir)
    finally:
        shutil.rmtree(top, ignore_errors=True)
        (outdir / "demo.txt").write_text("\n".join(t.lines) + "\n")
    print(f"Transcript: {outdir / 'demo.txt'}")
    print(f"Screenshots: {outdir / 'suspend-notice.png'}, {outdir / 'group-notice.png'}")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
