#!/usr/bin/python3
"""The demo: a simulated Parvix host with three real sessions, administered
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
    users = {"alice": 1001, "bob": 1002, "carol": 1003}
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

            say("== A simulated Parvix host 'parvix1' with three user sessions ==")
            say()
            displays = {}
            for user, token, raw, stype, client in (
                ("alice", "user.alice", "card-0a11ce", "default", ["/usr/bin/xclock"]),
                ("bob", "mobile.bob", "term-00b0b", "kiosk", ["/usr/bin/xeyes"]),
                ("carol", "user.carol", "card-0ca401", "default",
                 ["/bin/sh", "-c", "xlogo & xclock -digital & wait"]),
            ):
                r = run(STARTER, "-u", user, "-t", token, "-r", raw, "-T", stype, "--", *client)
                if r.rc != 0:
                    raise SystemExit(f"could not start the session of {user}: {r.err}")
                displays[user] = r.out.strip()

            run(VKSESSION, "-h")
            run(VKSESSION, "-p")
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
    finally:
        shutil.rmtree(top, ignore_errors=True)
    (outdir / "demo.txt").write_text("\n".join(transcript) + "\n")
    print(f"Transcript: {outdir / 'demo.txt'}")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
