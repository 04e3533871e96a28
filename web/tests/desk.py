"""An administrator's workstation on the group's network: a sandbox host ("desk") running
chromedriver and headless Chromium, so that the browser reaches the servers over the group's
switch as a real one would; the test process drives it through a TCP relay into the desk's
network namespace. Desk(host).browser() is a WebDriver session; connect_in(host, addr, port) a
TCP connection from inside `host`."""
import ctypes
import json
import os
import socket
import threading
import time
import urllib.request

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
    """A TCP socket of `host`'s network namespace. setns() moves only the calling thread and a
    socket stays in the namespace it was made in: so a short-lived thread makes it there."""
    made = {}

    def make():
        try:
            fd = os.open(f"/proc/{host.init_pid}/ns/net", os.O_RDONLY | os.O_CLOEXEC)
            try:
                if _libc.setns(fd, CLONE_NEWNET) != 0:
                    err = ctypes.get_errno()
                    raise OSError(err, f"setns into {host.hostname}: {os.strerror(err)}")
            finally:
                os.close(fd)
            made["socket"] = socket.socket()
        except BaseException as e:  # handed to the caller's thread
            made["error"] = e

    t = threading.Thread(target=make, name=f"netns-{host.hostname}")
    t.start()
    t.join()
    if "error" in made:
        raise made["error"]
    return made["socket"]


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


class Relay:
    """Listens on the test process's 127.0.0.1 (self.port) and joins every connection to
    `addr`:`port` inside `host`, a thread a direction, each passing its end on (half-close)."""

    def __init__(self, host, port, addr="127.0.0.1"):
        self.host, self.target = host, (addr, port)
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self._lock = threading.Lock()
        self._open = set()      # sockets of live connections, both ends
        self._threads = []
        self._closed = False
        self._start(self._accept, "relay-accept")

    def _start(self, target, name, *args):
        t = threading.Thread(target=target, args=args, name=name, daemon=True)
        with self._lock:
            self._threads = [x for x in self._threads if x.is_alive()] + [t]
        t.start()

    def _accept(self):
        while True:
            try:
                near, _ = self._listener.accept()
            except OSError:     # the listener was shut down: the relay closes
                return
            try:
                far = connect_in(self.host, *self.target)
            except OSError:
                near.close()    # the client sees the connection refused, as it would inside
                continue
            pair = [near, far, 2]
            with self._lock:
                if self._closed:
                    near.close()
                    far.close()
                    return
                self._open.update((near, far))
            self._start(self._copy, "relay-up", near, far, pair)
            self._start(self._copy, "relay-down", far, near, pair)

    def _copy(self, src, dst, pair):
        try:
            while data := src.recv(65536):
                dst.sendall(data)
        except OSError:
            pass
        try:
            dst.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        with self._lock:
            pair[2] -= 1
            if pair[2]:
                return
            for s in pair[:2]:
                self._open.discard(s)
                s.close()

    def close(self, timeout=5.0):
        """Stops listening, cuts every live connection and waits for the relay's threads."""
        with self._lock:
            self._closed = True
            live = list(self._open)
        try:
            # shutdown() wakes the thread blocked in accept(); close() alone would not.
            self._listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._listener.close()
        for s in live:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        deadline = time.monotonic() + timeout
        for t in list(self._threads):
            t.join(max(0.0, deadline - time.monotonic()))
        stuck = [t.name for t in self._threads if t.is_alive()]
        assert not stuck, f"relay threads did not end: {stuck}"


class Desk:
    """chromedriver in `host` (started, on the group's network) and a relay to it."""

    def __init__(self, host, timeout=15.0):
        self.host = host
        self.driver = host.spawn([CHROMEDRIVER, f"--port={DRIVER_PORT}", f"--log-path={DRIVER_LOG}"])
        self.relay = Relay(host, DRIVER_PORT)
        self.url = f"http://127.0.0.1:{self.relay.port}"
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
            with urllib.request.urlopen(f"{self.url}/status", timeout=2) as r:
                return json.load(r)["value"]["ready"]
        except (OSError, ValueError, KeyError):
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
        # The relay is on the test process's loopback: no proxy of the environment applies.
        connection = RemoteConnection(self.url, keep_alive=True, ignore_proxy=True)
        b = webdriver.Remote(command_executor=connection, options=options)
        b.set_page_load_timeout(page_load_timeout)
        return b

    def close(self):
        self.relay.close()
