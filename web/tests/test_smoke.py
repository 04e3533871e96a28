"""The browser harness end to end: Chromium in the desk loads pages from parvix1 over the
group's switch (the only way there: the test process's own network has no route to the
group), and, once vkweb is built, vkweb's login page."""
from selenium.webdriver.common.by import By

from desk import await_listener
from webgroup import CERT, KEY, PORT

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
