"""Fixtures of the web tests, beside tests/e2e's: web (a vksbx_web.WebGroup), vkweb (the same with
vkweb answering), browser, login and screenshot (into $VK_BUILD/test-artifacts/web, as a
failure's)."""
import importlib.util
import os
import re
import sys
from pathlib import Path
from urllib.parse import urlparse

import pytest

_E2E = Path(os.environ.get("VK_SOURCE") or Path(__file__).resolve().parents[2]) / "tests" / "e2e"
sys.path.insert(0, str(_E2E))
# This file is the module `conftest` of these tests, and tests/e2e's sessions.py imports its
# names from `conftest`: so tests/e2e's conftest is loaded under a name of its own and what it
# needs is taken over from it.
_spec = importlib.util.spec_from_file_location("e2e_conftest", _E2E / "conftest.py")
_e2e = importlib.util.module_from_spec(_spec)
sys.modules[_spec.name] = _e2e
_spec.loader.exec_module(_e2e)

# Every name of tests/e2e's conftest, the fixtures among them.
globals().update({k: v for k, v in vars(_e2e).items() if not k.startswith("__")})
from e2e_conftest import _build_path, make_host  # noqa: E402,F401  (named for the linters)
from selenium.common.exceptions import WebDriverException  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support import expected_conditions  # noqa: E402
from selenium.webdriver.support.wait import WebDriverWait  # noqa: E402
from vksbx_web import VKWEB, WebGroup  # noqa: E402


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    # The browser fixture's teardown reads whether the test itself failed.
    outcome = yield
    report = outcome.get_result()
    setattr(item, f"report_{report.when}", report)


@pytest.fixture
def web(make_host):
    w = WebGroup(make_host, _build_path("VK_STAGE"))
    yield w
    w.stop()


@pytest.fixture
def vkweb(request):
    if not (_build_path("VK_STAGE") / VKWEB.lstrip("/")).exists():
        pytest.skip(f"vkweb is not built yet ({VKWEB} missing from the stage)")
    # Only now: no group is built for a test that skips.
    w = request.getfixturevalue("web")
    w.start_vkweb()
    return w


@pytest.fixture
def artefacts():
    d = _build_path("VK_BUILD") / "test-artifacts" / "web"
    d.mkdir(parents=True, exist_ok=True)
    return d


@pytest.fixture
def screenshot(request, artefacts):
    def take(browser, name):
        path = artefacts / f"{_file_name(request.node.name)}-{_file_name(name)}.png"
        assert browser.save_screenshot(str(path)), f"no screenshot {path}"
        return path
    return take


@pytest.fixture
def browser(web, request, artefacts):
    b = web.desk.browser()
    yield b
    try:
        report = getattr(request.node, "report_call", None)
        if report is not None and report.failed:
            stem = artefacts / f"{_file_name(request.node.name)}-failed"
            b.save_screenshot(f"{stem}.png")
            Path(f"{stem}.html").write_text(b.page_source)
    finally:
        b.quit()


@pytest.fixture
def login(web):
    def log_in(browser, user, password):
        """Logs in through the login page; whether the browser then shows /overview."""
        browser.get(f"{web.url}/login")
        form = browser.find_element(By.ID, "login")
        form.find_element(By.NAME, "user").send_keys(user)
        form.find_element(By.NAME, "password").send_keys(password)
        form.find_element(By.ID, "login-submit").click()
        # While the next page replaces this one, chromedriver may report the form as a node
        # of no document rather than as stale: it is gone either way, so ask again.
        WebDriverWait(browser, 15, ignored_exceptions=(WebDriverException,)).until(
            expected_conditions.staleness_of(form))
        return urlparse(browser.current_url).path == "/overview"
    return log_in


def _file_name(text):
    return re.sub(r"[^A-Za-z0-9_.-]+", "_", text)[:120]
