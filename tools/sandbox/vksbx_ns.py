"""The namespaces, file system and network of a sandbox host.

launch() runs in a child forked by the harness: it unshares the mount,
network, pid, uts and ipc namespaces and starts the sandbox's PID 1, which
builds the file system and then becomes a reaper. The machine's mount table
is never touched: the mount namespace is made private first, a tmpfs becomes
the new root, the machine's system directories are mounted into it
read-only, the test's own trees writable, and pivot_root drops the view of
the machine's root.
"""
import ctypes
import fcntl
import os
import signal
import socket
import struct
import traceback

_libc = ctypes.CDLL(None, use_errno=True)
_libc.mount.argtypes = (ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_ulong,
                        ctypes.c_char_p)
_libc.umount2.argtypes = (ctypes.c_char_p, ctypes.c_int)
_libc.unshare.argtypes = (ctypes.c_int,)

CLONE_NEWNS = 0x00020000
CLONE_NEWUTS = 0x04000000
CLONE_NEWIPC = 0x08000000
CLONE_NEWPID = 0x20000000
CLONE_NEWNET = 0x40000000
NAMESPACES = CLONE_NEWNS | CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWPID | CLONE_NEWNET

MS_RDONLY, MS_NOSUID, MS_NODEV, MS_NOEXEC = 0x1, 0x2, 0x4, 0x8
MS_REMOUNT, MS_BIND, MS_REC, MS_PRIVATE = 0x20, 0x1000, 0x4000, 0x40000
MNT_DETACH = 2
PR_SET_PDEATHSIG = 1

# glibc has no pivot_root wrapper.
_SYS_PIVOT_ROOT = {"x86_64": 155, "aarch64": 41, "riscv64": 41, "ppc64le": 203, "s390x": 217}

# Directories of a sandbox that belong to the test: T/fs<dir> is mounted
# writable at <dir>.
WRITABLE = ("/opt", "/var/opt", "/etc/opt", "/tmp", "/root", "/home")


def _check(rc, what):
    if rc != 0:
        err = ctypes.get_errno()
        raise OSError(err, f"{what}: {os.strerror(err)}")


def _b(text):
    return None if text is None else os.fsencode(text)


def mount(src, dst, fstype=None, flags=0, data=None):
    _check(_libc.mount(_b(src), _b(dst), _b(fstype), flags, _b(data)), f"mount {src} on {dst}")


def unshare(flags):
    _check(_libc.unshare(flags), "unshare")


def die_with_parent(sig):
    """Has the kernel send `sig` to this process when the thread that forked it ends."""
    _check(_libc.prctl(PR_SET_PDEATHSIG, sig, 0, 0, 0), "prctl(PR_SET_PDEATHSIG)")


def bind(src, dst, ro=False, rec=True):
    mount(src, dst, None, MS_BIND | (MS_REC if rec else 0))
    if ro:
        # A bind turns read-only only through a remount, which must repeat
        # the flags the source mount carries (nosuid, nodev, noexec, atime
        # handling) or the kernel refuses to drop them.
        f = os.statvfs(dst).f_flag
        keep = (f & 0xC0E) | ((f & 0x1000) << 9)
        mount(None, dst, None, MS_REMOUNT | MS_BIND | MS_RDONLY | keep)


def layered(dst, layers):
    """Mounts at dst the read-only union of the existing directories of
    `layers`, the first one on top."""
    layers = [str(d) for d in layers if d and os.path.isdir(d)]
    if len(layers) == 1:
        bind(layers[0], dst, ro=True)
        return
    for d in layers:
        if any(c in d for c in ":,\\"):
            raise ValueError(f"an overlay layer cannot be named {d!r}")
    # An overlay without an upper directory is read-only by itself.
    mount("vksbx", dst, "overlay", 0, "lowerdir=" + ":".join(layers))


def _make_mountpoint(path, like):
    if os.path.isdir(like):
        os.makedirs(path, exist_ok=True)
    else:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        open(path, "a").close()


def build_root(top, stage=None, binds=()):
    """Builds the sandbox's root from the test directory `top` and makes it
    this process's root (and that of everything it starts afterwards).

    `stage`: an install root whose usr/ joins /usr and whose opt/KELWvk is
    shown read-only at /opt/KELWvk. `binds`: (source, target, read_only).
    """
    fs, new = f"{top}/fs", f"{top}/.root"
    # Without this a shared root would carry every mount below to the machine.
    mount(None, "/", None, MS_REC | MS_PRIVATE)
    mount("vksbx", new, "tmpfs", 0, "mode=755")

    # Merged-/usr systems have symlinks here; older ones real directories.
    for d in ("bin", "sbin", "lib", "lib32", "lib64", "libx32"):
        if os.path.islink("/" + d):
            os.symlink(os.readlink("/" + d), f"{new}/{d}")
        elif os.path.isdir("/" + d):
            os.mkdir(f"{new}/{d}")
            bind("/" + d, f"{new}/{d}", ro=True)
    for d in ("usr", "etc", "var", "opt", "tmp", "dev", "proc", "sys", "run", "root", "home"):
        os.mkdir(f"{new}/{d}")

    stage_usr = f"{stage}/usr" if stage else None
    layered(f"{new}/usr", [f"{fs}/usr", stage_usr, "/usr"])
    layered(f"{new}/etc", [f"{fs}/etc", "/etc"])
    layered(f"{new}/var", [f"{fs}/var", "/var"])
    bind("/sys", f"{new}/sys", ro=True, rec=False)
    mount("run", f"{new}/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=755")
    for d in WRITABLE:
        bind(fs + d, new + d)
    product = f"{stage}/opt/KELWvk" if stage else None
    if product and os.path.isdir(product):
        # Files the test put into fs/opt/KELWvk (stand-ins for other
        # programs of the server) lie over the installed product.
        layered(f"{new}/opt/KELWvk", [f"{fs}/opt/KELWvk", product])

    _build_dev(f"{new}/dev", f"{top}/log.sock")
    for src, dst, ro in binds:
        _make_mountpoint(new + dst, src)
        bind(src, new + dst, ro=ro)
    mount("proc", f"{new}/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC)

    os.chdir(new)
    _check(_libc.syscall(_SYS_PIVOT_ROOT[os.uname().machine], b".", b"."), "pivot_root")
    # The machine's root now lies under the new one; detach it.
    _check(_libc.umount2(b".", MNT_DETACH), "umount old root")
    os.chdir("/")
    mount(None, "/", None, MS_REMOUNT | MS_BIND | MS_RDONLY)


def _build_dev(dev, log_socket):
    mount("dev", dev, "tmpfs", MS_NOSUID, "mode=755")
    for d in ("null", "zero", "full", "random", "urandom", "tty"):
        open(f"{dev}/{d}", "w").close()
        bind("/dev/" + d, f"{dev}/{d}", rec=False)
    os.mkdir(f"{dev}/pts")
    os.mkdir(f"{dev}/shm")
    mount("shm", f"{dev}/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777")
    mount("devpts", f"{dev}/pts", "devpts", MS_NOSUID | MS_NOEXEC,
          "newinstance,ptmxmode=0666,mode=620")
    for name, target in (("ptmx", "pts/ptmx"), ("fd", "/proc/self/fd"), ("stdin", "fd/0"),
                         ("stdout", "fd/1"), ("stderr", "fd/2")):
        os.symlink(target, f"{dev}/{name}")
    if os.path.exists(log_socket):
        open(f"{dev}/log", "w").close()
        bind(log_socket, f"{dev}/log", rec=False)


def bring_up_loopback():
    SIOCGIFFLAGS, SIOCSIFFLAGS, IFF_UP = 0x8913, 0x8914, 0x1
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        req = struct.pack("16sH14x", b"lo", 0)
        flags = struct.unpack("16sH14x", fcntl.ioctl(s, SIOCGIFFLAGS, req))[1]
        fcntl.ioctl(s, SIOCSIFFLAGS, struct.pack("16sH14x", b"lo", flags | IFF_UP))


# PID 1 of a sandbox: reaps every orphan and records its wait status as
# "<pid> <status>" lines, so that background processes have an exit status.
_REAPER = r"""
import os, signal, sys
fd = int(sys.argv[1])
signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGCHLD})
while True:
    while True:
        try:
            pid, status = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            pid = 0
        if pid == 0:
            break
        os.write(fd, b"%d %d\n" % (pid, status))
    signal.sigwait({signal.SIGCHLD})
"""


def launch(top, stage, binds, hostname, status, exits, console):
    """The harness's forked child: unshares the namespaces, starts the
    sandbox's PID 1 and waits for it. It reports "pid <n>" (PID 1 as the
    machine numbers it) on the `status` pipe, and PID 1 reports "ok" or
    "error ..." there. A copy of a threaded process: it sticks to system
    calls and never returns."""
    try:
        die_with_parent(signal.SIGKILL)
        os.dup2(console, 1)
        os.dup2(console, 2)
        os.dup2(os.open("/dev/null", os.O_RDONLY), 0)
        for fd in map(int, os.listdir("/proc/self/fd")):
            if fd > 2 and fd not in (status, exits, console):
                try:
                    os.close(fd)
                except OSError:
                    pass
        unshare(NAMESPACES)
        init = os.fork()
        if init == 0:
            _init(top, stage, binds, hostname, status, exits)
        os.write(status, f"pid {init}\n".encode())
        os.close(status)
        os.close(exits)
        _, st = os.waitpid(init, 0)
        os._exit(os.waitstatus_to_exitcode(st) & 255)
    except BaseException:
        traceback.print_exc()
    os._exit(125)


def _init(top, stage, binds, hostname, status, exits):
    try:
        die_with_parent(signal.SIGKILL)
        build_root(top, stage, binds)
        bring_up_loopback()
        socket.sethostname(hostname)
        os.write(status, b"ok\n")
        os.set_inheritable(exits, True)
        # The code travels in the environment to keep the reaper's line in ps short.
        os.execve("/usr/bin/python3",
                  ["vksbx-init", "-I", "-S", "-c",
                   "import os; exec(os.environ.pop('VKSBX_INIT'))", str(exits)],
                  {"VKSBX_INIT": _REAPER})
    except BaseException as e:
        traceback.print_exc()
        os.write(status, f"error {e!r}\n".encode())
    os._exit(125)
