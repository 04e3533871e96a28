"""vkweb's connections as a raw client in the desk makes them: bodies, slow requests, TLS 1.2, and
a stop of vkweb while a listing is in flight."""
import os
import select
import signal
import ssl
import threading
import time

from selenium.common.exceptions import WebDriverException

from vksbx_desk import connect_in
from group import _started, is_master, status_field
from sessions import wait_for
from vksbx_web import CERT, KEY, NAMES, PASSWORDS, PORT

VKSESSION = "/opt/KELWvk/sbin/vksession"

# What the server takes of a request at most (web/server/main.cc, web.h).
REQUEST_TIME = 15
SMALL_FORM, LARGE_FORM = 4 * 1024, 64 * 1024


def context(ciphers=None):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    if ciphers:
        # Only TLS 1.2 offers these; the lowest security level lets OpenSSL offer them at all.
        ctx.minimum_version = ctx.maximum_version = ssl.TLSVersion.TLSv1_2
        ctx.set_ciphers(f"{ciphers}:@SECLEVEL=0")
    return ctx


def connect(web, ctx=None, timeout=10.0):
    sock = connect_in(web.desk.host, web.addr, PORT)
    t = (ctx or context()).wrap_socket(sock, server_hostname=NAMES[0])
    t.settimeout(timeout)
    return t


def status_of(conn):
    """The status of the response on `conn`, or None when the connection ends without one."""
    head = b""
    try:
        while b"\r\n\r\n" not in head:
            chunk = conn.recv(4096)
            if not chunk:
                break
            head += chunk
    except (ssl.SSLError, ConnectionError):
        pass
    return int(head.split(b" ", 2)[1]) if head.startswith(b"HTTP/1.1 ") else None


def request(method, path, headers=(), body=b""):
    lines = [f"{method} {path} HTTP/1.1", f"Host: {NAMES[0]}:{PORT}", *headers]
    return ("\r\n".join(lines) + "\r\n\r\n").encode() + body


def test_bodies_only_with_the_forms_and_refused_from_the_headers(vkweb):
    # The headers of a large body, and not a byte of it: the answer comes at once, so it cannot
    # have waited for the body.
    for method, path, length in [("GET", "/", 512 * 1024), ("HEAD", "/login", 1), ("GET", "/static/vkweb.css", 10),
                                 ("POST", "/overview", 10), ("POST", "/login", SMALL_FORM + 1),
                                 ("POST", "/logout", SMALL_FORM + 1), ("POST", "/act", LARGE_FORM + 1),
                                 ("POST", "/confirm", 1 << 20)]:
        with connect(vkweb) as c:
            c.sendall(request(method, path, [f"Content-Length: {length}"]))
            t0 = time.monotonic()
            assert status_of(c) == 413, (method, path, length)
            assert time.monotonic() - t0 < 5, (method, path)
    # A chunked body says no length in advance: it is cut off where it passes the bound.
    with connect(vkweb) as c:
        chunk = b"a" * 1024
        c.sendall(request("POST", "/login", ["Transfer-Encoding: chunked",
                                             "Content-Type: application/x-www-form-urlencoded"]))
        try:
            for _ in range(8):
                c.sendall(b"%x\r\n" % len(chunk) + chunk + b"\r\n")
            c.sendall(b"0\r\n\r\n")
        except (ssl.SSLError, ConnectionError):
            pass
        assert status_of(c) in (None, 413)
    # Forms within their bounds are read as before (a login form without its token: the login
    # page again, with its complaint).
    with connect(vkweb) as c:
        form = b"csrf=" + b"0" * 64 + b"&user=alice&password=" + b"x" * 3000
        c.sendall(request("POST", "/login", [f"Content-Length: {len(form)}",
                                             "Content-Type: application/x-www-form-urlencoded"], form))
        assert status_of(c) == 401
    assert vkweb.h1.exit_status(vkweb.vkweb.pid) is None


def test_a_request_that_trickles_in_is_cut_off_at_its_time(vkweb):
    with connect(vkweb) as c:
        c.sendall(request("GET", "/login")[:-2])   # the headers, all but their end
        t0 = time.monotonic()
        ended = None
        # A byte a second: the connection is never idle for long.
        while time.monotonic() - t0 < 2 * REQUEST_TIME + 30:
            try:
                c.sendall(b"X-Slow: 1\r\n")
                if select.select([c], [], [], 1.0)[0] and not c.recv(4096):
                    ended = time.monotonic() - t0
                    break
            except (ssl.SSLError, ConnectionError):
                ended = time.monotonic() - t0
                break
        assert ended is not None, "the slow request still holds its connection"
        assert REQUEST_TIME - 1 <= ended <= REQUEST_TIME + 10, ended
    # Others are served all along.
    with connect(vkweb) as c:
        c.sendall(request("GET", "/login"))
        assert status_of(c) == 200


SUITES_REFUSED = ["AES128-SHA", "AES256-SHA", "AES128-GCM-SHA256", "AES256-GCM-SHA384",
                  "ECDHE-RSA-AES128-SHA", "ECDHE-RSA-AES256-SHA", "ECDHE-RSA-AES128-SHA256",
                  "DHE-RSA-AES128-SHA", "DES-CBC3-SHA", "CAMELLIA128-SHA"]
SUITES_TAKEN = ["ECDHE-RSA-AES128-GCM-SHA256", "ECDHE-RSA-AES256-GCM-SHA384", "ECDHE-RSA-CHACHA20-POLY1305"]


def test_tls_1_2_with_an_rsa_certificate_takes_forward_secret_aead_suites_only(vkweb):
    r = vkweb.h1.sh(f"openssl req -x509 -newkey rsa:2048 -noenc -days 30 -subj /CN={NAMES[0]} "
                    f"-keyout {KEY} -out {CERT} && chmod 600 {KEY}")
    assert r.rc == 0, r
    vkweb.restart_vkweb()
    taken = {}
    for suite in SUITES_REFUSED + SUITES_TAKEN:
        try:
            with connect(vkweb, context(suite)) as c:
                taken[suite] = c.cipher()[0]
        except (ssl.SSLError, ConnectionError):
            taken[suite] = None
    assert taken == {**{s: None for s in SUITES_REFUSED}, **{s: s for s in SUITES_TAKEN}}
    with connect(vkweb) as c:
        assert c.version() == "TLSv1.3"
        c.sendall(request("GET", "/login"))
        assert status_of(c) == 200


def service_processes(h, root):
    """(machine pid, start time) of process `root` of host `h`, every process under it, and the
    shared ssh connections that its calls left behind (of the service's control group)."""
    parent = {p.hostpid: status_field(p.hostpid, "PPid") for p in h.processes()}
    found = {root}
    while more := {pid for pid, pp in parent.items() if pp in found and pid not in found}:
        found |= more
    found |= {p.hostpid for p in h.processes() if is_master(p)}
    return {(pid, _started(pid)) for pid in found}


def test_stopping_vkweb_during_a_listing_ends_everything_it_started(vkweb, browser, login):
    assert login(browser, "alice", PASSWORDS["alice"])
    # parvix2 now takes its time; the listing of the login was kept for two seconds.
    vkweb.group.hosts["parvix2"].write(VKSESSION, "#!/bin/sh\nexec sleep 1000\n", 0o755)
    time.sleep(2.5)
    loading = threading.Thread(target=lambda: _get(browser, f"{vkweb.url}/sessions"), daemon=True)
    loading.start()
    h = vkweb.h1
    wait_for(lambda: any(p.comm == "vkrcmd" and "parvix2" in p.args for p in h.processes()), 10,
             "a call to parvix2 in flight", 0.01)
    assert any(p.comm == "vkweb-helper" and status_field(p.hostpid, "PPid") == vkweb.vkweb.hostpid
               for p in h.processes())
    # As the service manager stops it: SIGTERM to every process of the service at once.
    started = service_processes(h, vkweb.vkweb.hostpid)
    assert len(started) >= 4, started     # vkweb, its helper, a call, vkrcmd at least
    # What it started begins with nothing blocked (the helper, and its children that run the
    # group's work, hold only the signals that end them while their calls run, to end those
    # first), whatever vkweb itself blocks.
    # (ssh and the calls' sh are left out: they block signals of their own around their
    # waits. What sh starts, vkrcmd, shows what it was given.)
    # A process that is starting another blocks every signal for the moment of the fork:
    # what counts is a mask that stays.
    held = (1 << signal.SIGHUP - 1) | (1 << signal.SIGINT - 1) | (1 << signal.SIGTERM - 1)

    def unblocked(p):
        blocked = status_field(p.hostpid, "SigBlk")    # None once ended, as a call's shell may be
        return blocked is None or (blocked & ~held if p.comm == "vkweb-helper" else blocked) == 0
    for p in h.processes():
        if p.hostpid in {pid for pid, _ in started} and p.comm in ("vkweb-helper", "vkrcmd"):
            wait_for(lambda: unblocked(p), 1, f"{p} with no signal blocked but its own", 0.05)
    for pid, _ in started:
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
    wait_for(lambda: not [pid for pid, start in started if start is not None and _started(pid) == start], 5,
             f"the end of every process of the service: {started}", 0.05)
    loading.join(30)


def _get(browser, url):
    try:
        browser.get(url)
    except WebDriverException:
        pass    # the server went away under the page
