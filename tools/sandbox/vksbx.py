#!/usr/bin/python3
"""A sandboxed Parvix host for end-to-end tests.

The product runs with fixed absolute paths (/opt/KELWvk, /var/opt/KELWvk,
/etc/opt/KELWvk, /tmp/KELWvk, /usr/proc/bin) as root. A Host gives it a
machine of its own without touching the real one: new mount, network (only
loopback, up), pid, uts and ipc namespaces, built from a test directory T:

  T/fs/{opt,var/opt,etc/opt,tmp,root,home}  writable, at /opt, /var/opt, ...
  T/fs/etc/...   (passwd, group, shadow, services, hosts, nsswitch.conf)
                 lie over the machine's /etc (read-only)
  T/fs/usr       optional top layer of the read-only /usr, over STAGE/usr
                 and the machine's /usr
  STAGE/opt/KELWvk  read-only at /opt/KELWvk (T/fs/opt/KELWvk lies over it)
  T/log.sock     is /dev/log; a harness thread records every datagram

A Host is persistent: its PID 1 is a reaper that stays up until stop(), and
any number of commands run inside it (through nsenter), in the foreground
with captured output or in the background. stop() SIGKILLs the reaper; the
kernel then kills everything in the pid namespace, and the mount namespace
goes with its last process. Hosts share nothing, so tests may run in
parallel. Files in fs/etc and fs/usr are layers: write them before start().
Needs root and /usr/bin/python3.

  h = Host(T, stage=S, binds=[(BUILD, "/build")], users={"alice": 1001})
  h.write("/etc/opt/KELWvk/vkadmin.conf", text)    # before or after start
  h.start()                                        # or: with Host(...) as h:
  r = h.run([prog, args...], uid=1001, argv0="x", input="...", env={...})
  r.rc, r.out, r.err
  p = h.spawn(["Xvfb", ":7"], uid=1001)  # p.pid (inside), p.hostpid, p.signal(),
                                         # p.state(), p.wait(), p.out, p.err
  h.processes()                          # ProcessInfo: pid, hostpid, comm, args
  h.log()                                # LogRecord: pri, ident, msg, raw
  h.stop()

CLI:  vksbx.py [--stage S] [--bind SRC:DST] [--user NAME:UID] T [--] CMD...
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vksbx_ns  # noqa: E402
from vksbx_syslog import LogRecord, SyslogSink  # noqa: E402

__all__ = ["Host", "Proc", "ProcessInfo", "Result", "LogRecord"]

NSENTER = shutil.which("nsenter") or "/usr/bin/nsenter"
PATH = "/usr/sbin:/usr/bin:/sbin:/bin"


@dataclass
class ProcessInfo:
    pid: int       # as the sandbox numbers it
    hostpid: int   # as the machine numbers it
    comm: str
    args: str


@dataclass
class Result:
    rc: int    # exit status; -N when killed by signal N
    out: str
    err: str


class Host:
    def __init__(self, top, *, stage=None, binds=(), hostname="vkhost", users=None,
                 services="", hosts=""):
        """`binds`: (source, target) or (source, target, read_only), read-only by
        default. `users`: {name: uid} besides root, with group = uid and a home
        in /home. `services`, `hosts`: lines added to the minimal files."""
        self.top = Path(top).resolve()
        self.fs = self.top / "fs"
        self.stage = Path(stage).resolve() if stage else None
        self.binds = [(str(Path(b[0]).resolve()), b[1], b[2] if len(b) > 2 else True) for b in binds]
        self.hostname = hostname
        self.users = {"root": 0, **(users or {})}
        self.init_pid = None    # the sandbox's PID 1, as the machine numbers it
        self._keeper = None     # its parent, outside the sandbox's pid namespace
        self.syslog = None
        self._prepare(services, hosts)

    # -- the test directory -------------------------------------------------

    def path(self, inside):
        """The machine's path of a file that the sandbox sees at `inside`."""
        return self.fs / str(inside).lstrip("/")

    def write(self, inside, text, mode=0o644, uid=0, gid=None):
        """Writes a file of the sandbox (parents made as needed); returns its machine path."""
        p = self.path(inside)
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(text.encode() if isinstance(text, str) else text)
        os.chmod(p, mode)
        os.chown(p, uid, uid if gid is None else gid)
        return p

    def _prepare(self, services, hosts):
        for d in vksbx_ns.WRITABLE:
            (self.fs / d.lstrip("/")).mkdir(parents=True, exist_ok=True)
        os.chmod(self.fs / "tmp", 0o1777)
        (self.top / ".root").mkdir(exist_ok=True)
        if self.stage and (self.stage / "opt/KELWvk").is_dir():
            (self.fs / "opt/KELWvk").mkdir(exist_ok=True)
        accounts = sorted(self.users.items(), key=lambda u: u[1])
        etc = {
            "passwd": "".join(f"{n}:x:{u}:{u}:{n}:{self.home(u)}:/bin/sh\n" for n, u in accounts),
            "group": "".join(f"{n}:x:{u}:\n" for n, u in accounts),
            "shadow": "".join(f"{n}:*:19000:0:99999:7:::\n" for n, _ in accounts),
            "services": "ssh\t\t22/tcp\n" + services,
            "hosts": f"127.0.0.1\tlocalhost\n127.0.1.1\t{self.hostname}\n::1\tlocalhost\n" + hosts,
            "nsswitch.conf": "".join(f"{db}:\tfiles\n" for db in (
                "passwd", "group", "shadow", "hosts", "services", "networks", "protocols")),
        }
        for name, text in etc.items():
            if not self.path(f"/etc/{name}").exists():
                self.write(f"/etc/{name}", text, 0o640 if name == "shadow" else 0o644)
        for name, uid in accounts:
            if uid:
                home = self.path(self.home(uid))
                home.mkdir(exist_ok=True)
                os.chown(home, uid, uid)

    def home(self, uid):
        if uid == 0:
            return "/root"
        return "/home/" + next((n for n, u in self.users.items() if u == uid), str(uid))

    # -- life cycle ---------------------------------------------------------

    def start(self):
        if os.geteuid() != 0:
            raise PermissionError("a sandbox host needs root")
        self.syslog = SyslogSink(self.top / "log.sock")
        exits = os.open(self.top / "exits", os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_APPEND, 0o644)
        console = os.open(self.top / "init.log", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        rfd, wfd = os.pipe()
        pid = os.fork()
        if pid == 0:
            vksbx_ns.launch(self.top, self.stage, self.binds, self.hostname,
                            wfd, exits, console)  # never returns
        self._keeper = pid
        for fd in (wfd, exits, console):
            os.close(fd)
        # PID 1 reports "ok" once the sandbox is built, before it turns into
        # the reaper; EOF means that it or its parent failed.
        report = []
        with os.fdopen(rfd, "rb") as status:
            while not (self.init_pid and "ok" in report):
                line = status.readline().decode(errors="replace").strip()
                if not line:
                    break
                report.append(line)
                if line.startswith("pid "):
                    self.init_pid = int(line[4:])
        if "ok" not in report:
            self.stop()
            detail = (self.top / "init.log").read_text(errors="replace")
            raise RuntimeError(f"sandbox host {self.top} did not start: {report}\n{detail}")
        return self

    def stop(self):
        """Kills everything in the sandbox and waits until it is gone. Safe to repeat."""
        if self._keeper is not None:
            if self.init_pid:
                _kill(self.init_pid)
            else:
                _kill(self._keeper)  # the sandbox's PID 1 dies with it
            os.waitpid(self._keeper, 0)
            self._keeper = None
        if self.syslog:
            self.syslog.close()
            self.syslog = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # -- running programs inside ----------------------------------------------

    def _command(self, argv, uid, gid, cwd):
        if self._keeper is None:
            raise RuntimeError("the sandbox host is not running")
        cmd = [NSENTER, "-t", str(self.init_pid), "-m", "-u", "-i", "-n", "-p", "-r",
               f"--wdns={cwd}" if cwd else "-w"]
        if uid or gid:
            # nsenter also drops the supplementary groups.
            cmd += ["-S", str(uid), "-G", str(uid if gid is None else gid)]
        return cmd + ["--", *argv]

    def _env(self, uid, env):
        full = {"PATH": PATH, "HOME": self.home(uid)}
        for k, v in (env or {}).items():
            if v is None:
                full.pop(k, None)
            else:
                full[k] = v
        return full

    def run(self, argv, *, input=None, uid=0, gid=None, argv0=None, env=None, cwd=None,
            timeout=60):
        """Runs a program inside and waits for it. `argv0`: the name it is
        started under when that differs from argv[0] (the program's path).
        `env`: added to a minimal environment (PATH, HOME); None removes."""
        if argv0 is not None:
            argv = ["/bin/bash", "-c", 'exec -a "$0" "$@"', argv0, *argv]
        p = subprocess.Popen(self._command(argv, uid, gid, cwd), env=self._env(uid, env),
                             stdin=subprocess.DEVNULL if input is None else subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            out, err = p.communicate(input.encode() if isinstance(input, str) else input, timeout)
        except BaseException:
            for child in _children(p.pid):
                _kill(child)
            _kill(p.pid)
            p.communicate()
            raise
        return Result(p.returncode, out.decode(errors="replace"), err.decode(errors="replace"))

    def sh(self, script, **kw):
        """Runs a shell script inside (see run)."""
        return self.run(["/bin/sh", "-c", script], **kw)

    def spawn(self, argv, *, uid=0, gid=None, argv0=None, env=None, cwd=None, timeout=10):
        """Starts a program in the background; returns a Proc once the program
        runs (it has replaced the launching shell). Its parent is the
        sandbox's PID 1, as for a daemon; its output goes to files of T."""
        n = sum(1 for _ in self.top.glob("spawn*.out"))
        out_path, err_path = self.top / f"spawn{n}.out", self.top / f"spawn{n}.err"
        r, w = os.pipe()
        launcher = ["/bin/bash", "-c", f'{{ exec -a "$0" "$@"; }} {w}>&- & echo $! >&{w}',
                    argv[0] if argv0 is None else argv0, *argv]
        offset = (self.top / "exits").stat().st_size
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            p = subprocess.Popen(self._command(launcher, uid, gid, cwd), env=self._env(uid, env),
                                 stdin=subprocess.DEVNULL, stdout=out, stderr=err, pass_fds=(w,))
        os.close(w)
        with os.fdopen(r, "rb") as f:
            text = f.read().decode().strip()
        if p.wait(timeout) != 0 or not text.isdigit():
            raise RuntimeError(f"cannot start {argv}: {err_path.read_text(errors='replace')}")
        proc = Proc(self, int(text), out_path, err_path, offset)
        proc._await_exec(os.path.basename(argv[0])[:15], timeout)
        return proc

    def _members(self):
        """(machine pid, sandbox pid) of every process inside."""
        ns = os.stat(f"/proc/{self.init_pid}/ns/pid").st_ino
        for e in os.scandir("/proc"):
            if not e.name.isdigit():
                continue
            try:
                if os.stat(f"/proc/{e.name}/ns/pid").st_ino != ns:
                    continue
                with open(f"/proc/{e.name}/status") as f:
                    for line in f:
                        if line.startswith("NSpid:"):
                            yield int(e.name), int(line.split()[-1])
                            break
            except OSError:  # gone meanwhile, or a process of the machine we may not see
                continue

    def hostpid(self, pid):
        """The machine's number of the sandbox's process `pid`, or None."""
        return next((hp for hp, p in self._members() if p == pid), None)

    def processes(self):
        """Every live process inside (zombies left out), as ProcessInfo: pid
        (inside), hostpid, comm and args (the command line as the process
        shows it, its words joined by blanks), ordered by pid."""
        found = []
        for hp, pid in self._members():
            try:
                with open(f"/proc/{hp}/stat") as f:
                    stat = f.read()
                with open(f"/proc/{hp}/cmdline", "rb") as f:
                    cmdline = f.read()
            except OSError:
                continue
            comm, rest = stat[stat.index("(") + 1:].rsplit(")", 1)
            if rest.split()[0] == "Z":
                continue
            args = cmdline.rstrip(b"\0").replace(b"\0", b" ").decode(errors="replace").rstrip()
            found.append(ProcessInfo(pid, hp, comm, args))
        return sorted(found, key=lambda p: p.pid)

    def exit_status(self, pid, offset=0):
        """The exit status of an orphan `pid` that PID 1 has reaped, or None."""
        with open(self.top / "exits", "rb") as f:
            f.seek(offset)
            for line in f:
                p, st = map(int, line.split())
                if p == pid:
                    return os.waitstatus_to_exitcode(st)
        return None

    # -- the system log ---------------------------------------------------------

    def log(self):
        """Every record logged so far, in order (LogRecord: pri, ident, msg, raw)."""
        return self.syslog.records()

    def clear_log(self):
        self.syslog.clear()


class Proc:
    """A background process of a sandbox host."""

    def __init__(self, host, pid, out_path, err_path, exits_offset):
        self.host = host
        self.pid = pid              # as the sandbox numbers it
        self.hostpid = None         # as the machine numbers it
        self.out_path, self.err_path = out_path, err_path
        self._offset = exits_offset

    def _await_exec(self, comm, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.hostpid = self.hostpid or self.host.hostpid(self.pid)
            if self.hostpid and self._read("comm") == comm:
                return
            if self.host.exit_status(self.pid, self._offset) is not None:
                raise RuntimeError(f"{comm} ended at once: {self.err}")
            time.sleep(0.002)
        raise TimeoutError(f"{comm} (pid {self.pid}) did not start")

    def _read(self, name):
        try:
            with open(f"/proc/{self.hostpid}/{name}") as f:
                return f.read().strip()
        except (FileNotFoundError, ProcessLookupError):
            return None

    def signal(self, sig):
        os.kill(self.hostpid, sig)

    def state(self):
        """The kernel's state letter (R, S, T, Z, ...), or None when the process is gone."""
        stat = self._read("stat")
        return stat.rsplit(")", 1)[1].split()[0] if stat else None

    def wait(self, timeout=10):
        """The exit status (-N for signal N) once the process has ended."""
        deadline = time.monotonic() + timeout
        while (st := self.host.exit_status(self.pid, self._offset)) is None:
            if time.monotonic() > deadline:
                raise TimeoutError(f"pid {self.pid} still runs")
            time.sleep(0.005)
        return st

    @property
    def out(self):
        return self.out_path.read_text(errors="replace")

    @property
    def err(self):
        return self.err_path.read_text(errors="replace")


def _kill(pid):
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def _children(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(c) for c in f.read().split()]
    except FileNotFoundError:
        return []


def main(argv=None):
    ap = argparse.ArgumentParser(description="Run a command in a fresh sandboxed Parvix host.")
    ap.add_argument("--stage", help="install root of the product (STAGE/opt/KELWvk, STAGE/usr)")
    ap.add_argument("--bind", action="append", default=[], metavar="SRC:DST",
                    help="read-only bind mount (repeatable)")
    ap.add_argument("--user", action="append", default=[], metavar="NAME:UID")
    ap.add_argument("--hostname", default="vkhost")
    ap.add_argument("--log", help="write the captured system log here (default: stderr)")
    ap.add_argument("top", help="test directory (created if missing)")
    ap.add_argument("command", nargs=argparse.REMAINDER, help="[--] program and its arguments")
    a = ap.parse_args(argv)
    command = a.command[1:] if a.command[:1] == ["--"] else a.command
    if not command:
        ap.error("no command given")
    Path(a.top).mkdir(parents=True, exist_ok=True)
    users = {n: int(u) for n, u in (x.split(":") for x in a.user)}
    with Host(a.top, stage=a.stage, binds=[b.split(":", 1) for b in a.bind],
              hostname=a.hostname, users=users) as h:
        p = subprocess.run(h._command(command, 0, None, None), env=h._env(0, {"TERM": "dumb"}))
        lines = b"".join(r.raw.rstrip(b"\n") + b"\n" for r in h.log())
    if a.log:
        Path(a.log).write_bytes(lines)
    else:
        sys.stderr.buffer.write(lines)
    return p.returncode & 255


if __name__ == "__main__":
    sys.exit(main())
