"""vkweb's pages in Chromium, in the desk, against a group of three with real sshd."""
import re
import time
from urllib.parse import urlparse

import pytest
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions
from selenium.webdriver.support.wait import WebDriverWait

from conftest import LOG_LOCAL1_INFO, VKSESSION
from group import authd, calls, line_of, noting
from sessions import plant, timed
from vksbx_web import PASSWORDS

VKGROUP = "/opt/KELWvk/sbin/vkgroup"
LIMITS = "/etc/opt/KELWvk/group/limits.conf"
# A far vksession that answers with the records of /tmp/answer and notes every call's words.
NOTING = noting('case "$1" in -p) cat /tmp/answer;; esac\n')
COOKIE = "__Host-vkweb_session"
# The same, but anything other than a listing takes six seconds and then leaves /tmp/done.
SLOW = noting('case "$1" in -p) cat /tmp/answer;; *) sleep 6; touch /tmp/done;; esac\n')


def record(token, raw, uid, disp, server, state=1, **more):
    return line_of({"INSERT_TOKEN": raw, "TOKEN": token, "uid": uid, "STATE": state, "DISPLAY": disp,
                    "SERVER": server, "SESSION_TYPE": "default", **more})


def answering(h, *records):
    """parvix2 answers with `records` and notes what it is asked."""
    h.write(VKSESSION, NOTING, 0o755)
    h.write("/tmp/answer", "".join(records))


def acts(h):
    """The calls other than listings since the last look."""
    return [c for c in calls(h) if c[:1] != ["-p"]]


def path(browser):
    return urlparse(browser.current_url).path


def rows(browser):
    return [(r.get_attribute("data-server"), r.find_element(By.CSS_SELECTOR, "td.token").text)
            for r in browser.find_elements(By.CSS_SELECTOR, "table#sessions tr.session")]


def follow(browser, element):
    """Clicks `element` and waits until the page it leads to has replaced this one."""
    old = browser.find_element(By.TAG_NAME, "html")
    element.click()
    WebDriverWait(browser, 15, ignored_exceptions=(WebDriverException,)).until(
        lambda b: expected_conditions.staleness_of(old)(b) and
        b.execute_script("return document.readyState") == "complete")


def arrived(browser, where, timeout=15):
    """Waits until the browser shows page `where` after a form was sent."""
    WebDriverWait(browser, timeout, ignored_exceptions=(WebDriverException,)).until(
        lambda b: path(b) == where and b.execute_script("return document.readyState") == "complete")
    return True


def row_button(browser, url, token, action="terminate"):
    """On the sessions page, the row button `action` of the session of `token`, clicked."""
    browser.get(f"{url}/sessions")
    follow(browser, browser.find_element(By.CSS_SELECTOR, f"tr[data-token={token}] button.act[value^={action}]"))
    assert path(browser) == "/confirm"


@pytest.fixture
def group(vkweb):
    """parvix1 with two planted sessions, parvix2 (h2) a noting stand-in with two, parvix3 with one."""
    h1, h2, h3 = (vkweb.group.hosts[n] for n in ("parvix1", "parvix2", "parvix3"))
    vkweb.h2 = h2
    plant(h1, "1", "user.alice", "card-a1")
    plant(h1, "2", "user.carol", "card-c1")
    answering(h2, record("user.bob", "card-b2", "bob", "5", "parvix2", state=0,
                      encryptUpType="arcfour", encryptDownType="arcfour", authenticateUpType="none",
                      authenticateDownType="none", securityMode="hard", TermList="IEEE802.0a0b"),
           record("user.alice", "card-a2", "alice", "7", "parvix2"))
    plant(h3, "3", "user.dave", "card-d3")
    return vkweb


# ---- who gets in -------------------------------------------------------------------------

def test_login_logout_and_the_overview_and_table_with_filters_and_sorting(group, browser, login, screenshot):
    group.group.stop_sshd("parvix3")
    # (Who may log in: the helper's tests, through PAM; a refusal on the login page: the pages'
    # unit tests.) A logout ends the login whatever its form token; the old cookie, set again
    # by whoever kept it, is no login any more.
    for change in ("f.querySelector('[name=csrf]').value = '0'.repeat(128);",
                   "f.querySelector('[name=csrf]').remove();"):
        assert login(browser, "alice", PASSWORDS["alice"])
        assert browser.find_element(By.ID, "user").text == "alice"
        kept = browser.get_cookie(COOKIE)["value"]
        browser.execute_script("const f = document.getElementById('logout');" + change)
        follow(browser, browser.find_element(By.CSS_SELECTOR, "form#logout button"))
        assert path(browser) == "/login", change
        browser.add_cookie({"name": COOKIE, "value": kept, "secure": True})
        browser.get(f"{group.url}/sessions")
        assert path(browser) == "/login", change

    assert login(browser, "alice", PASSWORDS["alice"])
    states = {r.get_attribute("data-server"): r.find_element(By.CSS_SELECTOR, "td.state").text
              for r in browser.find_elements(By.CSS_SELECTOR, "table#members tbody tr")}
    assert states == {"parvix1": "up", "parvix2": "up", "parvix3": "down"}
    down = browser.find_element(By.CSS_SELECTOR, "tr[data-server=parvix3] td.reason").text
    assert down.startswith("cannot reach: ssh: connect to host parvix3 port 22")
    bars = {(b.get_attribute("data-server"), b.get_attribute("data-state")): b.get_attribute("data-count")
            for b in browser.find_elements(By.CSS_SELECTOR, "svg#chart rect.bar")}
    assert bars[("parvix2", "connected")] == "1" and bars[("parvix1", "disconnected")] == "2"
    screenshot(browser, "overview")

    follow(browser, browser.find_element(By.ID, "nav-sessions"))
    assert rows(browser) == [("parvix1", "card-a1"), ("parvix1", "card-c1"), ("parvix2", "card-a2"),
                             ("parvix2", "card-b2")]
    assert "parvix3" in browser.find_element(By.ID, "problems").text
    letters = browser.find_element(By.CSS_SELECTOR, "tr[data-token=card-b2] td.state abbr")
    assert (letters.text, letters.get_attribute("title")) == ("E", "encrypted")
    screenshot(browser, "sessions")

    form = browser.find_element(By.ID, "filter")
    form.find_element(By.NAME, "login").send_keys("alice")
    follow(browser, form.find_element(By.CSS_SELECTOR, "button[type=submit]"))
    assert rows(browser) == [("parvix2", "card-a2")]   # parvix1's planted sessions have no login
    for query, expected in [("token=USER.ALICE", [("parvix1", "card-a1"), ("parvix2", "card-a2")]),
                            ("server=parvix1&display=2", [("parvix1", "card-c1")])]:
        browser.get(f"{group.url}/sessions?{query}")
        assert rows(browser) == expected, query
    browser.get(f"{group.url}/sessions")
    # Sorted by display, then again the other way.
    for order in (["card-a1", "card-c1", "card-b2", "card-a2"], ["card-a2", "card-b2", "card-c1", "card-a1"]):
        follow(browser, browser.find_element(By.CSS_SELECTOR, "a.sort[data-column=display]"))
        assert [t for _, t in rows(browser)] == order

    follow(browser, browser.find_element(By.CSS_SELECTOR, "tr[data-token=card-b2] td.token a"))
    security = dict(zip([e.text for e in browser.find_elements(By.CSS_SELECTOR, "dl#security dt")],
                        [e.text for e in browser.find_elements(By.CSS_SELECTOR, "dl#security dd")]))
    assert security == {"encryptUpType": "arcfour", "encryptDownType": "arcfour",
                        "authenticateUpType": "none", "authenticateDownType": "none",
                        "securityMode": "hard", "terminalCIDs": "IEEE802.0a0b"}


def test_the_times_in_the_table_and_each_members_dry_run_on_the_limits_page(group, browser, login,
                                                                           screenshot):
    """parvix1 with a disconnected limit of 30 s, measured by two runs of its enforcer."""
    h1 = group.h1
    h1.write(LIMITS, "disconnected = 30s\nexempt-token = card-c1\n", 0o644)
    authd(h1)   # the manager answers: the sessions are disconnected for real
    for pause in (2, 0):
        r = h1.run([VKGROUP, "limits", "--enforce"])
        assert (r.rc, r.out, r.err) == (0, "", ""), r
        time.sleep(pause)
    assert login(browser, "alice", PASSWORDS["alice"])
    follow(browser, browser.find_element(By.ID, "nav-sessions"))
    heads = [th.text for th in browser.find_elements(By.CSS_SELECTOR, "table#sessions thead th")]
    assert heads[-3:] == ["Disconnected for", "Ends in", "Actions"]
    cells = {r.find_element(By.CSS_SELECTOR, "td.token").text:
             (r.find_element(By.CSS_SELECTOR, "td.disconnected-for").text,
              r.find_element(By.CSS_SELECTOR, "td.ends-in").text)
             for r in browser.find_elements(By.CSS_SELECTOR, "table#sessions tr.session")}
    disconnected, ends = cells["card-a1"]
    assert re.fullmatch(r"\d+s", disconnected) and re.fullmatch(r"\d+s", ends), cells
    # Both from one dry run; the helper's clock may tick once between its run and its sum.
    assert int(disconnected[:-1]) >= 2 and 29 <= int(disconnected[:-1]) + int(ends[:-1]) <= 31, cells
    assert re.fullmatch(r"\d+s", cells["card-c1"][0]) and cells["card-c1"][1] == "exempt-token"
    # parvix3 has no limits, and its manager cannot be asked: nothing of it is measured.
    assert cells["card-d3"] == ("-", "-") and cells["card-b2"] == ("-", "-")

    follow(browser, browser.find_element(By.ID, "nav-limits"))
    assert path(browser) == "/limits"
    assert browser.find_element(By.ID, "limits-file").text == \
        "This host's limits file: disconnected 30s; terminate; at most 20 a run; exempt-token card-c1"
    p1 = browser.find_element(By.CSS_SELECTOR, "section[data-server=parvix1]")
    assert p1.find_element(By.CSS_SELECTOR, "p.in-force").text.endswith(
        "2 under a limit or kept from one, 0 over a limit now; limits that apply: disconnected 30s.")
    limited = {r.get_attribute("data-token"): (r.find_element(By.CSS_SELECTOR, "td.limit").text,
                                               r.find_element(By.CSS_SELECTOR, "td.ends-in").text)
               for r in p1.find_elements(By.CSS_SELECTOR, "tr.limit")}
    assert limited["card-a1"][0] == "disconnected 30s" and limited["card-c1"] == ("-", "exempt-token")
    refused = browser.find_element(By.CSS_SELECTOR, "section[data-server=parvix3] p.refused").text
    assert refused.startswith("Would not act: the authentication manager cannot be asked")
    assert browser.find_elements(By.CSS_SELECTOR, "main form, main button") == []
    screenshot(browser, "limits")
    shown = h1.run([VKSESSION, "-p", "-x"]).out
    assert "DISPLAY=1;" in shown and "DISPLAY=2;" in shown   # nothing ended by looking


def test_a_member_that_never_answers_holds_the_page_no_longer_than_the_deadline(group, browser, login):
    group.group.hosts["parvix3"].write(VKSESSION, "#!/bin/sh\nexec sleep 1000\n", 0o755)
    group.restart_vkweb(deadline=3)
    assert login(browser, "alice", PASSWORDS["alice"])
    time.sleep(2.5)   # the helper's listing is kept two seconds: the next page asks anew
    _, took = timed(browser.get, f"{group.url}/sessions?sort=server")
    assert 3 <= took < 3 + 2
    assert browser.find_element(By.CSS_SELECTOR, "#problems li.down").text == \
        "parvix3: no answer within 3 s"
    assert {s for s, _ in rows(browser)} == {"parvix1", "parvix2"}


def test_actions_only_with_their_confirmation_and_a_slow_one_holds_up_no_other_login(group, browser, login):
    h2 = group.h2
    assert login(browser, "alice", PASSWORDS["alice"])
    row_button(browser, group.url, "card-b2")
    listed = [li.text for li in browser.find_elements(By.CSS_SELECTOR, "ul#confirm-list li")]
    assert listed == ["parvix2 display 5, token card-b2, Unix ID bob"]
    assert acts(h2) == []   # nothing happens before the confirmation
    follow(browser, browser.find_element(By.ID, "confirm-submit"))
    outcome = browser.find_element(By.CSS_SELECTOR, "ul#outcomes li")
    assert outcome.get_attribute("class") == "outcome ok" and outcome.text.endswith(": done")
    # The far side was asked to end exactly that session, once.
    assert acts(h2) == [["-k", "-x", "-t", "user.bob", "-u", "bob", "-d", "5"]]
    # Logged once, with who asked for it from where and every field of the session.
    assert [(x.pri, x.msg) for x in group.h1.log() if "terminate parvix2" in x.msg] == [
        (LOG_LOCAL1_INFO, "vkweb : alice from 10.77.0.200: terminate parvix2 display 5 token user.bob "
                          "raw token card-b2 login bob: done")], group.h1.lines()

    # Several at once only with all of them confirmed.
    browser.get(f"{group.url}/sessions?token=user.alice")
    for box in browser.find_elements(By.CSS_SELECTOR, "table#sessions input[name=s]"):
        box.click()
    follow(browser, browser.find_element(By.CSS_SELECTOR, "form#bulk p.selected button[value=terminate]"))
    assert path(browser) == "/confirm"
    assert len(browser.find_elements(By.CSS_SELECTOR, "ul#confirm-list li")) == 2
    # Without the box the browser does not send the form.
    browser.find_element(By.ID, "confirm-submit").click()
    assert path(browser) == "/confirm" and acts(h2) == []
    browser.find_element(By.ID, "confirm-all").click()
    follow(browser, browser.find_element(By.ID, "confirm-submit"))
    outcomes = browser.find_elements(By.CSS_SELECTOR, "ul#outcomes li")
    assert len(outcomes) == 2
    assert acts(h2) == [["-k", "-x", "-t", "user.alice", "-u", "alice", "-d", "7"]]

    # A slow action holds up no other login.
    h2.write(VKSESSION, SLOW, 0o755)
    other = group.desk.browser()
    try:
        assert login(other, "alice", PASSWORDS["alice"])
        row_button(browser, group.url, "card-b2", "suspend")
        # Sent without waiting for the outcome, which takes six seconds: the click comes a
        # moment after the script has returned, or the driver would wait for its page.
        browser.execute_script("setTimeout(() => document.getElementById('confirm-submit').click(), 300);")
        WebDriverWait(browser, 15).until(lambda _: acts(h2))
        # The other login's pages while the suspension runs: the overview (which may ask the
        # group afresh, beside the action), then the sessions from the listing just made.
        other.get(f"{group.url}/overview")
        _, took = timed(other.get, f"{group.url}/sessions")
        assert not h2.path("/tmp/done").exists()
        assert path(other) == "/sessions" and ("parvix2", "card-b2") in rows(other)
        assert took < 1, took
        assert arrived(browser, "/act")
        assert h2.path("/tmp/done").exists()
        assert browser.find_elements(By.CSS_SELECTOR, "ul#outcomes li")
    finally:
        other.quit()


def test_the_pages_own_reloads_are_no_use_and_a_login_ends_at_its_lifetime(group, browser, login):
    idle, lifetime = 5, 20
    group.restart_vkweb(idle=idle, lifetime=lifetime, refresh=1)
    # Left on the overview, which reloads itself every second: logged out once idle. Each
    # time counts from before the login, whose last step is the login's last use.
    t0 = time.monotonic()
    assert login(browser, "alice", PASSWORDS["alice"])
    browser.execute_script("window.marked = true;")
    WebDriverWait(browser, 10).until(lambda b: not b.execute_script("return window.marked === true"))
    assert path(browser) == "/overview"           # it reloaded itself, and was still let in...
    assert "auto" not in browser.current_url      # ...with its mark gone from the address
    # (Well before the lifetime, which would end it too.)
    WebDriverWait(browser, idle + 9, ignored_exceptions=(WebDriverException,)).until(
        lambda b: path(b) == "/login")
    assert idle - 1 <= time.monotonic() - t0 < lifetime - 5

    # In use all along (a page asked for by hand every second or two): ended at its lifetime.
    t0 = time.monotonic()
    assert login(browser, "alice", PASSWORDS["alice"])
    while path(browser) != "/login" and time.monotonic() - t0 < lifetime + 20:
        time.sleep(1.5)
        browser.get(f"{group.url}/sessions")
    ended = time.monotonic() - t0
    assert path(browser) == "/login"
    assert idle + 2 < ended and lifetime - 1 <= ended <= lifetime + 10, ended


# ---- limits and load ---------------------------------------------------------------------------

def test_a_bulk_action_on_a_thousand_sessions_with_every_field_at_its_bound(group, browser, login):
    h2 = group.h2
    n = 1000

    def at_bound(text, i, size):
        return text * (size - len(str(i))) + str(i)
    answering(h2, *(record(at_bound("t", i, 255), at_bound("r", i, 255), "l" * 121, at_bound("0", i, 118),
                        "parvix2") for i in range(n)))
    assert login(browser, "alice", PASSWORDS["alice"])
    browser.get(f"{group.url}/sessions?server=parvix2")
    assert browser.execute_script("return document.querySelectorAll('table#sessions tr.session').length") == n
    browser.find_element(By.ID, "pick-all").click()
    follow(browser, browser.find_element(By.CSS_SELECTOR, "form#bulk p.selected button[value=terminate]"))
    assert len(browser.find_elements(By.CSS_SELECTOR, "ul#confirm-list li")) == n
    browser.find_element(By.ID, "confirm-all").click()
    browser.set_page_load_timeout(300)
    browser.find_element(By.ID, "confirm-submit").click()
    arrived(browser, "/act", 300)
    outcomes = browser.find_elements(By.CSS_SELECTOR, "ul#outcomes li.outcome.ok")
    failed = [li.text[-200:] for li in browser.find_elements(By.CSS_SELECTOR, "ul#outcomes li.outcome.failed")]
    assert len(outcomes) == n, failed
    # Each session was ended by its own call, with its fields whole (the calls run side by side,
    # in no set order); vkweb and its helper serve on.
    assert sorted(acts(h2)) == sorted(["-k", "-x", "-t", at_bound("t", i, 255), "-u", "l" * 121, "-d",
                                       at_bound("0", i, 118)] for i in range(n))
    assert not [x for x in group.h1.lines() if "not to be trusted" in x or "helper is gone" in x]
    browser.get(f"{group.url}/overview")
    assert path(browser) == "/overview"
