"""An administrator's workstation on the group's network: a sandbox host running chromedriver and
headless Chromium, driven over TCP connections made inside its network namespace."""
import concurrent.futures
import ctypes
import functools
import json
import os
import socket
import time

import urllib3

from selenium import webdriver
from selenium.webdriver.remote.remote_connection import RemoteConnection

CHROMEDRIVER = "/usr/bin/chromedriver"
# The browser itself, not Debian's launcher script, which adds flags of its own after probing
# the machine's /dev/shm.
CHROMIUM = "/usr/lib/chromium/chromium"
DRIVER_PORT = 9515
DRIVER_LOG = "/tmp/chromedriver.log"
WINDOW = (1280, 900)
CHROMIUM_FLAGS = (
    # Root, no display, no GPU, and /dev/shm of a sandbox.
    "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
    # A closed machine: nothing that phones home or waits for an update server.
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--no-first-run", "--no-default-browser-check", "--no-proxy-server",
    # The servers' certificates are self-signed.
    "--ignore-certificate-errors",
    f"--window-size={WINDOW[0]},{WINDOW[1]}", "--lang=en-US",
)

_libc = ctypes.CDLL(None, use_errno=True)
_libc.setns.argtypes = (ctypes.c_int, ctypes.c_int)
CLONE_NEWNET = 0x40000000


def socket_in(host):
    """A TCP socket of `host`'s network namespace."""
    # setns() moves only the calling thread and a socket stays in the namespace it was made in:
    # so a thread of its own, which ends with its pool, makes it there.
    def make():
        fd = os.open(f"/proc/{host.init_pid}/ns/net", os.O_RDONLY | os.O_CLOEXEC)
        try:
            if _libc.setns(fd, CLONE_NEWNET) != 0:
                err = ctypes.get_errno()
                raise OSError(err, f"setns into {host.hostname}: {os.strerror(err)}")
        finally:
            os.close(fd)
        return socket.socket()

    with concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix=f"netns-{host.hostname}") as pool:
        return pool.submit(make).result()


def connect_in(host, addr, port, timeout=2.0):
    """A TCP connection to `addr`:`port` as seen from inside `host`."""
    s = socket_in(host)
    try:
        s.settimeout(timeout)
        s.connect((addr, port))
        s.settimeout(None)
        return s
    except BaseException:
        s.close()
        raise


def await_listener(host, addr, port, timeout=10.0, alive=None):
    """Waits until a connect from inside `host` to `addr`:`port` succeeds; `alive()` raises
    once the awaited server has ended."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            connect_in(host, addr, port, timeout=1.0).close()
            return
        except OSError as e:
            if alive:
                alive()
            if time.monotonic() > deadline:
                raise TimeoutError(f"nothing answers on {addr}:{port} from {host.hostname}: {e}")
            time.sleep(0.02)


class _DeskHTTPConnection(urllib3.connection.HTTPConnection):
    def __init__(self, *args, desk, **kw):
        super().__init__(*args, **kw)
        self.desk = desk

    def _new_conn(self):
        return connect_in(self.desk, self.host, self.port, timeout=5.0)


class _DeskPool(urllib3.HTTPConnectionPool):
    """HTTP connections to the desk's own loopback, each made inside the desk (the pool hands its
    keywords beyond its own, the desk, to each connection)."""
    ConnectionCls = _DeskHTTPConnection


def desk_pools(host, **kw):
    """A pool manager whose every HTTP connection is one from inside `host`."""
    manager = urllib3.PoolManager(**kw)
    manager.pool_classes_by_scheme = {"http": functools.partial(_DeskPool, desk=host)}
    return manager


class _DeskConnection(RemoteConnection):
    def __init__(self, host):
        self._desk = host
        super().__init__(f"http://127.0.0.1:{DRIVER_PORT}", keep_alive=True, ignore_proxy=True)

    def _get_connection_manager(self):
        return desk_pools(self._desk, timeout=self.get_timeout())


class Desk:
    """chromedriver in `host` (started, on the group's network), driven from inside it."""

    def __init__(self, host, timeout=15.0):
        self.host = host
        self.driver = host.spawn([CHROMEDRIVER, f"--port={DRIVER_PORT}", f"--log-path={DRIVER_LOG}"])
        self._pools = desk_pools(host, timeout=2.0)
        self._profiles = 0
        deadline = time.monotonic() + timeout
        while not self._ready():
            if host.exit_status(self.driver.pid) is not None:
                raise RuntimeError(f"chromedriver ended: {self.driver.err}{self.log()}")
            if time.monotonic() > deadline:
                raise TimeoutError(f"chromedriver does not answer: {self.log()}")
            time.sleep(0.05)

    def _ready(self):
        try:
            r = self._pools.request("GET", f"http://127.0.0.1:{DRIVER_PORT}/status", retries=False)
            return json.loads(r.data)["value"]["ready"]
        except (OSError, urllib3.exceptions.HTTPError, ValueError, KeyError):
            return False

    def log(self):
        p = self.host.path(DRIVER_LOG)
        return p.read_text(errors="replace") if p.exists() else ""

    def browser(self, page_load_timeout=30):
        """A new browser session with a profile of its own (in the desk's /tmp)."""
        self._profiles += 1
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in (*CHROMIUM_FLAGS, f"--user-data-dir=/tmp/profile{self._profiles}"):
            options.add_argument(flag)
        options.accept_insecure_certs = True
        b = webdriver.Remote(command_executor=_DeskConnection(self.host), options=options)
        b.set_page_load_timeout(page_load_timeout)
        return b

    def close(self):
        self._pools.clear()
