"""The search page in a real browser: headless Chromium driven through
Selenium types a misspelled prefix, sees the expected completion appear,
follows it to its videos, and keeps a screenshot of the page as a test
artefact (build/artifacts/search_page.png).

Chromium, its driver and Selenium are part of the toolchain; when one of
them is missing the test fails, unless QUORVATEL_NO_BROWSER=1 says that
this run does without the browser."""

import os
import pathlib
import shutil
import subprocess
import sys
import uuid

import pytest

import quorvatel

ROOT = pathlib.Path(__file__).resolve().parents[2]
ARTIFACTS = ROOT / "build" / "artifacts"
CHROMIUM = "/usr/bin/chromium"
DRIVER = "/usr/bin/chromedriver"

RECORDS = [
    ("python", uuid.UUID(int=1), 30), ("python", uuid.UUID(int=2), 9), ("pythonic", uuid.UUID(int=2), 3),
    ("pyramid", uuid.UUID(int=5), 6), ("jython", uuid.UUID(int=3), 7), ("java", uuid.UUID(int=4), 12),
]

if os.environ.get("QUORVATEL_NO_BROWSER") == "1":
    pytest.skip("QUORVATEL_NO_BROWSER=1: this run does without the browser", allow_module_level=True)


def browser_environment():
    """The environment for Chromium: none of the sanitizer run's preloads,
    which belong to the Python process under test."""
    drop = {"LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC"}
    return {k: v for k, v in os.environ.items() if k not in drop}


@pytest.fixture
def page_url(tmp_path):
    index_path = tmp_path / "ix"
    quorvatel.save(quorvatel.build(RECORDS), index_path)
    server = subprocess.Popen(
        [sys.executable, "-m", "quorvatel", "serve", str(index_path), "--port", "0", "--quiet"],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
    )
    try:
        line = server.stdout.readline()
        assert " on http://127.0.0.1:" in line, line
        yield line.split(" on ")[1].split(" ")[0]
    finally:
        server.terminate()
        server.wait(timeout=20)


@pytest.fixture
def browser(tmp_path):
    missing = [p for p in (CHROMIUM, DRIVER) if not shutil.which(p)]
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError as e:
        pytest.fail(f"Selenium is missing ({e}); set QUORVATEL_NO_BROWSER=1 to run without the browser test")
    if missing:
        pytest.fail(f"{', '.join(missing)} missing; set QUORVATEL_NO_BROWSER=1 to run without the browser test")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in (
        "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--disable-background-networking",
        "--disable-component-update", "--disable-sync", "--no-first-run", "--window-size=1000,800",
        f"--user-data-dir={tmp_path / 'profile'}",
    ):
        options.add_argument(flag)
    service = Service(executable_path=DRIVER, env=browser_environment(), log_output=str(tmp_path / "driver.log"))
    driver = webdriver.Chrome(options=options, service=service)
    try:
        yield driver
    finally:
        driver.quit()


def test_typing_a_misspelled_prefix_finds_the_term_and_its_videos(page_url, browser):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions as ready
    from selenium.webdriver.support.ui import WebDriverWait

    wait = WebDriverWait(browser, 20)
    browser.get(page_url)
    box = wait.until(ready.presence_of_element_located((By.ID, "q")))
    box.send_keys("pyhto")  # "pytho" with two letters swapped: one edit
    first = (By.CSS_SELECTOR, "#completions li.completion:first-child")
    wait.until(ready.text_to_be_present_in_element_attribute(first, "data-term", "python"))
    terms = [li.get_attribute("data-term") for li in browser.find_elements(By.CSS_SELECTOR, "#completions li")]
    assert terms == ["python", "pythonic"]
    assert "µs (server)" in browser.find_element(By.ID, "complete-timing").text

    browser.find_element(*first).click()
    wait.until(ready.presence_of_element_located((By.CSS_SELECTOR, "#videos li.video")))
    videos = [li.text.split()[0] for li in browser.find_elements(By.CSS_SELECTOR, "#videos li.video")]
    assert videos == [str(uuid.UUID(int=1)), str(uuid.UUID(int=2))]
    assert browser.find_element(By.ID, "chosen").text == "python"
    assert "2 videos in" in browser.find_element(By.ID, "videos-timing").text

    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    assert browser.save_screenshot(str(ARTIFACTS / "search_page.png"))
