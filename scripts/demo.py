#!/usr/bin/python3
"""The demo: a simulated Parvix host with four real sessions, administered
with vksession. Runs inside a sandboxed host (tools/sandbox), so the
machine's own /opt, /var/opt, /etc/opt and /tmp are left alone.

usage: demo.py STAGE OUTDIR
  STAGE   an install root made by `cmake --install BUILD --prefix STAGE`
  OUTDIR  where the transcript (demo.txt) and the screenshot of the
          suspension notice (suspend-notice.png) are written
"""
import shutil
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools" / "sandbox"))
from vksbx import Host  # noqa: E402

VKSESSION = "/opt/KELWvk/sbin/vksession"
STARTER = "/opt/KELWvk/sbin/vksessionstart"


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

            run(VKSESSION, "-h")
            run(VKSESSION, "-p")
            run(VKSESSION, "-l")
            run(VKSESSION, "-p", "-x")

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
