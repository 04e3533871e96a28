"""Sessions of a sandbox host (planted or started), their processes' states, vksession's output."""
import os
import signal
import time

from conftest import DEPRECATED, HOSTNAME, USERS
from group import line_of

DISPLAYS, CTOKENS = "/var/opt/KELWvk/displays/", "/var/opt/KELWvk/ctokens/"
PROCS = "/tmp/KELWvk/session_proc/"
STARTER = "/opt/KELWvk/sbin/vksessionstart"
PTREE, PSTOP = "/usr/proc/bin/ptree", "/usr/proc/bin/pstop"
NAME = "/usr/local/sbin/vks"          # the name vksession is started under
SLEEPY = ["/bin/sh", "-c", "sleep 1000 & sleep 1000 & wait"]
# Planted files all carry this whole-second time unless a test ages one.
STAMP = int(time.time()) - 1000
ALICE, BOB = USERS["alice"], USERS["bob"]
INIT = {"uid": ALICE, "pid": 1, "program": "init"}   # a session of alice that never ends


def plant(h, name, token, raw, *, disp=None, tokenset=None, stype="default", omit=(),
          ctoken=None, proc=None, proc_age=0):
    """Writes display file `name` without the keys in `omit`, its copy ctokens/`ctoken` if asked,
    and for a dict `proc` the session proc file, `proc_age` seconds older than the display file."""
    keys = {"TOKEN": token, "INSERT_TOKEN": raw, "DISPLAY": name if disp is None else disp,
            "TOKEN_SET": tokenset or f"{token},{raw}", "SESSION_TYPE": stype}
    text = "".join(f"{k}={v}\n" for k, v in keys.items() if k not in omit)
    files = [(DISPLAYS + name, text, STAMP)] + ([(CTOKENS + ctoken, text, STAMP)] if ctoken else [])
    if proc is not None:
        files.append((PROCS + name, "".join(f"{k}={v}\n" for k, v in {"XID": name, **proc}.items()),
                      STAMP - proc_age))
    for inside, content, mtime in files:
        os.utime(h.write(inside, content), (mtime, mtime))


def sleeper(h, uid=ALICE, stopped=False):
    """A client process (sleep) of `uid`, stopped if asked."""
    p = h.spawn(["/bin/sleep", "1000"], uid=uid)
    if stopped:
        p.signal(signal.SIGSTOP)
        wait_for(lambda: p.state() == "T", what="a stopped process")
    return p


def client(p, uid=ALICE, **keys):
    """The keys of a session proc file whose client is process (or pid) `p`."""
    return {"uid": uid, "pid": getattr(p, "pid", p), "program": "sleep", **keys}


def idle(h, name):
    h.write(f"/var/opt/KELWvk/idle/{name}.pid", "")


def start(h, user, token, raw, *client, stype=None, tokenset=None):
    """Starts a real session; its display and proc file's keys once the client has forked."""
    opts = (["-T", stype] if stype else []) + (["-s", tokenset] if tokenset else [])
    r = h.run([STARTER, "-u", user, "-t", token, "-r", raw, *opts, "--", *(client or SLEEPY)])
    assert (r.rc, r.err) == (0, ""), r
    n = r.out.strip()
    keys = dict(line.split("=", 1) for line in h.path(PROCS + n).read_text().splitlines())
    if not client:
        wait_for(lambda: len(tree(h, keys["pid"])) == 3, what="the client's processes")
    return n, keys


def tree(h, pid):
    """The pids of process `pid` and of all its descendants, as ptree lists them."""
    lines = h.run([PTREE, str(pid)]).out.splitlines()
    pids = [line.split()[0] for line in lines]
    return pids[pids.index(str(pid)):] if str(pid) in pids else []


def states(h, pids):
    """The kernel's state letter of each process; "-" once it is gone (or a zombie)."""
    script = 'for p; do s=$(cat /proc/$p/stat 2>/dev/null) && echo "${s##*) }" || echo -; done'
    out = h.run(["/bin/sh", "-c", script, "sh", *map(str, pids)]).out.split("\n")
    return ["-" if not line or line[0] in "ZX" else line[0] for line in out[:len(pids)]]


def wait_for(pred, timeout=5.0, what="condition", step=0.02):
    deadline = time.monotonic() + timeout
    while not (value := pred()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(step)
    return value


def timed(fn, *args, **kw):
    """What fn(*args, **kw) returns, and the seconds it took."""
    began = time.monotonic()
    return fn(*args, **kw), time.monotonic() - began


def outcome(r):
    """A run's status, standard output and standard error, to compare at once."""
    return r.rc, r.out, r.err


def running(h, pids):
    return all(s in "RS" for s in states(h, pids))


# ---- what vksession prints ------------------------------------------------------------------

def row(token, unix, disp, state, name="???"):
    return f"{token:<30} {name:<20} {unix:<10} {disp:<4} {state:<5}\n"


def table(*rows):
    return "\n" + row("Token ID", "Unix ID", "Disp", "State", "Registered Name") + \
        row("-" * 30, "-" * 10, "-" * 4, "-" * 5, "-" * 20) + "".join(rows)


def record(raw, token, uid, state, disp, stype="default", **keys):
    """The machine-mode line of a local session (None: NULL); the authentication manager's
    values in `keys`, NULL where it reports none."""
    return line_of({"INSERT_TOKEN": raw, "TOKEN": token, "uid": uid, "STATE": state, "DISPLAY": disp,
                    "SERVER": HOSTNAME, "SESSION_TYPE": stype, **keys})


def error(xmode, code, text, deprecated=False):
    return (f"**ERROR: {code}\n" if xmode else f"{NAME} error: {text}\n") + \
        (DEPRECATED if deprecated else "")


def failed(xmode, code, text, deprecated=False):
    return error(xmode, code, f"Operation failed ({text})", deprecated)
