"""The browser harness end to end: Chromium in the desk loads pages from parvix1 over the
group's switch (the only way there: the test process's own network has no route to the
group), and, once vkweb is built, vkweb's login page; a stop of vkweb while a listing is in
flight ends every process it started."""
import os
import signal
import threading
import time

from selenium.common.exceptions import WebDriverException
from selenium.webdriver.common.by import By

from desk import await_listener
from group import _started, is_master
from webgroup import CERT, KEY, PASSWORDS, PORT

VKSESSION = "/opt/KELWvk/sbin/vksession"

PAGE = ("<!doctype html><html><head><title>parvix1 over TLS</title></head>"
        "<body><h1 id=\"hello\">Served by parvix1</h1></body></html>\n")


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", f"{path} is not a PNG"
    return int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")


def test_desk_browser_loads_a_page_from_parvix1(web, browser, screenshot):
    h = web.h1
    h.write("/root/www/index.html", PAGE)
    server = h.spawn(["/usr/bin/openssl", "s_server", "-quiet", "-WWW", "-accept",
                      f"{web.addr}:{PORT}", "-cert", CERT, "-key", KEY], cwd="/root/www")

    def alive():
        assert h.exit_status(server.pid) is None, f"s_server ended: {server.err}"
    await_listener(web.desk.host, web.addr, PORT, alive=alive)

    browser.get(f"{web.url}/index.html")
    assert browser.title == "parvix1 over TLS"
    assert browser.find_element(By.ID, "hello").text == "Served by parvix1"
    # The name resolved in the desk, and the certificate was let through.
    assert browser.current_url == "https://parvix1:8443/index.html"
    assert min(png_size(screenshot(browser, "s_server"))) > 0


def test_vkweb_login_page_loads(vkweb, browser, screenshot):
    browser.get(f"{vkweb.url}/login")
    form = browser.find_element(By.ID, "login")
    for name in ("user", "password"):
        assert form.find_element(By.NAME, name).is_displayed()
    assert form.find_element(By.ID, "login-submit").is_enabled()
    screenshot(browser, "login")


def service_processes(h, root):
    """What a stop of the service ends, as (machine pid, start time): process `root` of host
    `h` (a machine pid), every process under it, and the shared ssh connections that its calls
    left behind (daemons, but of the service's control group)."""
    parent = {}
    for p in h.processes():
        try:
            parent[p.hostpid] = _parent(p.hostpid)
        except (OSError, IndexError, ValueError):
            continue
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
    deadline = time.monotonic() + 10
    while not any(p.comm == "vkrcmd" and "parvix2" in p.args for p in h.processes()):
        assert time.monotonic() < deadline, "no call to parvix2 in flight"
        time.sleep(0.01)
    assert any(p.comm == "vkweb-helper" and _parent(p.hostpid) == vkweb.vkweb.hostpid
               for p in h.processes())
    # As the service manager stops it: SIGTERM to every process of the service at once.
    started = service_processes(h, vkweb.vkweb.hostpid)
    assert len(started) >= 4, started     # vkweb, its helper, a call, vkrcmd at least
    # What it started begins with nothing blocked (the helper, and its children that run the
    # group's work, hold only the signals that end them while their calls run, to end those
    # first), whatever vkweb itself blocks.
    # (ssh and the calls' sh are left out: they block signals of their own around their
    # waits. What sh starts, vkrcmd, shows what it was given.)
    held = (1 << signal.SIGHUP - 1) | (1 << signal.SIGINT - 1) | (1 << signal.SIGTERM - 1)
    for p in h.processes():
        if p.hostpid in {pid for pid, _ in started} and p.comm in ("vkweb-helper", "vkrcmd"):
            blocked = _mask(p.hostpid, "SigBlk")
            if blocked is None:     # ended meanwhile, as a call's shell may
                continue
            mine = blocked & ~held if p.comm == "vkweb-helper" else blocked
            assert mine == 0, (p, hex(blocked))
    for pid, _ in started:
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
    deadline = time.monotonic() + 5
    while left := [pid for pid, start in started if start is not None and _started(pid) == start]:
        assert time.monotonic() < deadline, [p for p in h.processes() if p.hostpid in left]
        time.sleep(0.05)
    loading.join(30)


def _parent(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return int(f.read().rsplit(")", 1)[1].split()[1])
    except OSError:
        return None


def _mask(pid, name):
    """A signal mask of machine process `pid`, or None once it has ended."""
    try:
        with open(f"/proc/{pid}/status") as f:
            return next(int(x.split()[1], 16) for x in f if x.startswith(name + ":"))
    except OSError:
        return None


def _get(browser, url):
    try:
        browser.get(url)
    except WebDriverException:
        pass    # the server went away under the page
