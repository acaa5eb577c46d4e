"""The status page in a real browser (Debian's headless Chromium) against the web server
stand-in and a booted gateway. Its screenshots are kept with the test's output:
$GATEWAY_TEST_OUTPUT, by default BUILD/test-output/status_page*.png."""

import os
import shutil
import tempfile
import time

import pytest

from fixtures.base import build_dir, wait_for
from fixtures.gateway import NODE
from fixtures.web import ANONYMOUS

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402

CHROMIUM = "/usr/bin/chromium"
DRIVER = "/usr/bin/chromedriver"
SERVICES = ("blehub", "reportd", "mqttpub", "wsbridge", "supervd")


def screenshot_folder():
    folder = os.environ.get("GATEWAY_TEST_OUTPUT") or os.path.join(build_dir(), "test-output")
    os.makedirs(folder, exist_ok=True)
    return folder


@pytest.fixture
def browser():
    if not (os.path.exists(CHROMIUM) and os.path.exists(DRIVER)):
        pytest.skip("needs chromium and chromium-driver (scripts/setup installs them)")
    profile = tempfile.mkdtemp(prefix="chromium-")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--no-first-run", "--window-size=1200,900",
                 "--user-data-dir=" + profile):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(executable_path=DRIVER),
                              options=options)
    try:
        yield driver
    finally:
        # Whatever the outcome, the last state of the page stays with the test's output.
        driver.save_screenshot(os.path.join(screenshot_folder(), "status_page_last.png"))
        driver.quit()
    shutil.rmtree(profile, ignore_errors=True)


def text(driver, selector):
    found = driver.find_elements(By.CSS_SELECTOR, selector)
    return found[0].text if found else ""


def test_the_page_logs_in_shows_the_nodes_and_sees_the_cloud_go(gateway, web, browser):
    gw = gateway(services=SERVICES)

    # rpcd's rules, as the page meets them: a wrong password, and methods outside the ACL.
    assert web.login("wrong") is None
    sid = web.login()
    assert sid is not None
    for obj, method in (("uci", "get"), ("rc", "init"), ("blehub", "reboot"), ("session", "list")):
        reply = web.rpc(sid, obj, method, {"config": "halvex"})
        assert reply["error"] == {"code": -32002, "message": "Access denied"}, (obj, method)
    assert web.rpc(ANONYMOUS, "blehub", "status")["error"]["code"] == -32002
    # blehub serves its object once it has set up; the session's grant lets the call through.
    reply = wait_for(lambda: (lambda r: r if "result" in r else None)(
        web.rpc(sid, "blehub", "status")), 15, what="blehub's status through /ubus")
    assert reply["result"][0] == 0

    start = time.monotonic()
    browser.get(web.page)
    load_seconds = time.monotonic() - start
    print("page load %.0f ms" % (load_seconds * 1000))
    browser.find_element(By.ID, "password").send_keys("not it")
    browser.find_element(By.ID, "login-button").click()
    wait_for(lambda: "Wrong user or password" in text(browser, "#login-error"), 10,
             what="the refusal shown")
    password = browser.find_element(By.ID, "password")
    password.clear()
    password.send_keys(web.password)
    browser.find_element(By.ID, "login-button").click()

    row = 'tr[data-id="%s"]' % NODE
    wait_for(lambda: "served" in text(browser, row), 30, what="the node served on the page")
    first = text(browser, row + " .sensor .value")
    wait_for(lambda: text(browser, row + " .sensor .value") not in ("", first), 15,
             what="the node's values changing")
    # The plot has drawn something besides its labels: blue pixels of the line.
    drawn = browser.execute_script(
        "const c = document.querySelector(arguments[0] + ' canvas');"
        "const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;"
        "let n = 0; for (let i = 0; i < d.length; i += 4) if (d[i+2] > 200 && d[i] < 100) ++n;"
        "return n;", row)
    assert drawn > 0
    wait_for(lambda: text(browser, "#link-cloud .state") == "up", 15, what="the cloud up")
    wait_for(lambda: text(browser, "#link-mqtt .state") == "up", 15, what="MQTT up")
    browser.save_screenshot(os.path.join(screenshot_folder(), "status_page.png"))

    gw.cloud.stop()
    stopped = time.monotonic()
    wait_for(lambda: text(browser, "#link-cloud .state") == "down", 10,
             what="the cloud down on the page")
    print("cloud down on the page after %.1f s" % (time.monotonic() - stopped))

    # The gateway itself gone: the page says so.
    web.proc.stop()
    wait_for(lambda: "does not answer" in text(browser, "#banner"), 15,
             what="the page saying the gateway does not answer")
    path = os.path.join(screenshot_folder(), "status_page_no_answer.png")
    browser.save_screenshot(path)
    print("screenshots in", screenshot_folder())
