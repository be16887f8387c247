"""kelvara app's page in a real browser (headless Chromium through
Selenium): a user's clicks give the command line's numbers."""

import json
import os
import shutil
import time

import pytest
from appserver import DATA, App, kelvara, needs_app


def _browser_or_skip():
    """Chromium and its driver where selenium is installed (the test runner
    installs it under one interpreter): missing, they skip the tests, or fail
    them under KELVARA_REQUIRE_ALL=1."""
    needs_app()
    pytest.importorskip("selenium")
    chromium = shutil.which("chromium") or shutil.which("chromium-browser") or shutil.which("google-chrome")
    driver = shutil.which("chromedriver")
    missing = [name for name, found in (("chromium", chromium), ("chromedriver", driver)) if not found]
    if missing:
        message = (f"the browser tests need {', '.join(missing)} "
                   "(apt-get install chromium chromium-driver)")
        if os.environ.get("KELVARA_REQUIRE_ALL") == "1":
            pytest.fail(message)
        pytest.skip(message)
    return chromium, driver


@pytest.fixture(scope="module")
def app(tmp_path_factory):
    _browser_or_skip()
    with App(tmp_path_factory.mktemp("app")) as server:
        yield server


@pytest.fixture
def browser(app, tmp_path):
    from selenium import webdriver

    chromium, driver_path = _browser_or_skip()
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1366,900"):
        options.add_argument(argument)
    downloads = tmp_path / "downloads"
    downloads.mkdir()
    options.add_experimental_option("prefs", {"download.default_directory": str(downloads),
                                              "download.prompt_for_download": False})
    driver = webdriver.Chrome(service=webdriver.ChromeService(executable_path=driver_path), options=options)
    driver.execute_cdp_cmd("Page.setDownloadBehavior", {"behavior": "allow", "downloadPath": str(downloads)})
    driver.downloads = downloads
    try:
        driver.get(app.url)
        yield driver
    finally:
        driver.quit()


def _wait(driver, how, what, timeout=90):
    from selenium.webdriver.support import expected_conditions
    from selenium.webdriver.support.ui import WebDriverWait

    return WebDriverWait(driver, timeout).until(expected_conditions.visibility_of_element_located((how, what)))


def _downloaded(folder, name, timeout=60):
    path = folder / name
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if path.exists() and not list(folder.glob("*.crdownload")):
            return path
        time.sleep(0.2)
    raise AssertionError(f"{name} was not downloaded; the folder holds {list(folder.iterdir())}")


def test_a_fit_in_the_page_gives_the_command_lines_json(app, browser, tmp_path):
    from selenium.webdriver.common.by import By

    data = tmp_path / "cooling.csv"
    data.write_bytes((DATA / "example_cooling.csv").read_bytes())
    browser.find_element(By.ID, "files").send_keys(str(data))
    _wait(browser, By.CSS_SELECTOR, "#reading-view table")  # read as soon as chosen
    assert "temperature" in browser.find_element(By.ID, "reading-view").text
    browser.find_element(By.ID, "fit").click()
    verdict = _wait(browser, By.ID, "verdict")
    assert verdict.text.startswith("ok")

    run = kelvara("fit", "cooling.csv", "--json", "cli.json", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    expected = json.loads((tmp_path / "cli.json").read_text())
    rows = {}
    for row in browser.find_elements(By.CSS_SELECTOR, "#parameters tr")[1:]:
        code = row.find_elements(By.CSS_SELECTOR, "code.name")  # the code name beside the symbol
        name = code[0].text if code else row.find_element(By.TAG_NAME, "td").text
        value, error, unit = [cell.text for cell in row.find_elements(By.TAG_NAME, "td")][1:4]
        rows[name] = (float(value), error, unit)
    for name in ("delta_h", "delta_s", "delta_h_nuc"):
        value, error, unit = rows[name]
        scale = 1000.0 if unit == "kJ/mol" else 1.0
        parameter = expected["parameters"][name]
        half = 0.5 * 10.0 ** -len(error.partition(".")[2]) * scale * (1 + 1e-9)  # of the last digit shown
        assert abs(value * scale - parameter["value"]) <= half  # rounded to where its error is
        assert abs(float(error) * scale - parameter["stderr"]) <= half
    assert rows["delta_h"][2] == "kJ/mol" and rows["delta_s"][2] == "J/(mol K)"

    _wait(browser, By.ID, "download-json").click()
    downloaded = _downloaded(browser.downloads, "cooling_cooperative_result.json")  # named after the data
    assert downloaded.read_bytes() == (tmp_path / "cli.json").read_bytes()

    from kelvara.app.server import download_key  # a link to files the app no longer keeps

    gone = f"/api/jobs/forgotten/files/fit.png?key={download_key(app.token, 'forgotten', 'fit.png')}"
    browser.execute_script("document.getElementById('download-png').setAttribute('href', arguments[0])", gone)
    browser.find_element(By.ID, "download-png").click()
    assert "downloads are gone" in _wait(browser, By.ID, "downloads-gone").text
    plots = browser.find_elements(By.CSS_SELECTOR, "#result .js-plotly-plot")
    assert len(plots) == 3  # data and fit, residuals, degree of aggregation


def test_a_file_that_cannot_be_read_shows_the_command_lines_message(browser, tmp_path):
    from selenium.webdriver.common.by import By

    bad = tmp_path / "spectra.csv"
    bad.write_text("wavelength;absorbance\nnm;a.u.\n")
    browser.find_element(By.ID, "files").send_keys(str(bad))
    shown = _wait(browser, By.ID, "error").text
    run = kelvara("read", "spectra.csv", cwd=tmp_path)
    assert run.returncode == 2
    assert shown == run.stderr.strip()
    browser.find_element(By.ID, "fit").click()  # fitting it says the same, and the page stays usable
    time.sleep(0.5)
    assert _wait(browser, By.ID, "error").text == kelvara("fit", "spectra.csv", cwd=tmp_path).stderr.strip()


def test_compare_ranks_the_models_with_their_verdicts(browser):
    from selenium.webdriver.common.by import By

    browser.find_element(By.ID, "example").click()
    _wait(browser, By.CSS_SELECTOR, "#reading-view table")
    browser.find_element(By.ID, "compare").click()
    _wait(browser, By.ID, "verdict")
    ranking = [row.text for row in browser.find_elements(By.CSS_SELECTOR, "#ranking tr")[1:]]
    assert ranking[0].split()[1] == "cooperative" and ranking[0].split()[2] == "ok"
    assert any(row.split()[1] == "isodesmic" for row in ranking)
    # A dimer nucleus beats the other mechanisms; the nucleus size itself the
    # example's three curves do not single out once oligomers may signal apart.
    assert browser.find_element(By.ID, "verdict").text.startswith("ok — best: cooperative, not decisive (cooperative_n")
    assert ranking[0].split()[4] == "best"  # how strong the evidence is, beside each ΔAIC
    values = browser.find_element(By.ID, "compare-parameters").text
    assert "ΔH delta_h" in values and "kJ/mol" in values  # the shown model's own values


def test_on_a_laptop_screen_the_page_keeps_fit_in_view_and_takes_the_fields_unit(browser, tmp_path):
    """1366x768: Fit in view beside the options, nothing wider than the
    window, a bare 18 in the kJ/mol field taken as 18 kJ/mol, values named
    by curve, and an error without an option's hint showing no "null"."""
    from selenium.webdriver.common.by import By

    browser.set_window_size(1366, 768)
    data = tmp_path / "pbi-c12.csv"
    data.write_bytes((DATA / "example_cooling.csv").read_bytes())
    browser.find_element(By.ID, "files").send_keys(str(data))
    _wait(browser, By.CSS_SELECTOR, "#reading-view table")
    fit = browser.find_element(By.ID, "fit")
    height = browser.execute_script("return window.innerHeight")
    assert 0 <= fit.rect["y"] and fit.rect["y"] + fit.rect["height"] <= height, (fit.rect, height)
    field = browser.find_element(By.CSS_SELECTOR, "tr[data-name=delta_h_nuc] input[data-kind=fix]")
    assert field.get_attribute("placeholder") == "kJ/mol"
    field.send_keys("18")
    fit.click()
    _wait(browser, By.ID, "verdict")
    row = next(r for r in browser.find_elements(By.CSS_SELECTOR, "#parameters tr")[1:]
               if r.find_elements(By.CSS_SELECTOR, "code.name") and "delta_h_nuc" in r.text)
    assert [c.text for c in row.find_elements(By.TAG_NAME, "td")][1:4] == ["18", "fixed", "kJ/mol"]
    derived = browser.find_element(By.ID, "derived").text
    assert "(5 µM)" in derived and "[0]" not in derived and "°C" not in derived  # the example is in K
    assert browser.execute_script("return document.documentElement.scrollWidth <= window.innerWidth")
    for table in browser.find_elements(By.CSS_SELECTOR, "#parameters table, #derived table"):
        assert table.size["width"] <= table.find_element(By.XPATH, "../..").size["width"] + 1
    lines = browser.execute_script("""return Array.from(document.querySelectorAll('#result td.number'), (td) => {
        const range = document.createRange(); range.selectNodeContents(td); return range.getClientRects().length; });""")
    assert lines and set(lines) <= {0, 1}  # no number broken across lines
    field.clear()
    field.send_keys("lots")
    fit.click()
    message = _wait(browser, By.ID, "messages").text
    assert "is not a number" in message and "null" not in message


def test_a_page_on_another_local_port_can_neither_use_nor_see_the_app(app, browser):
    """Another port of 127.0.0.1 is the same site to the browser: its page's
    form posts and scripts reach the app, and the cookies of the app would
    reach it.  The app refuses them and sets no cookie."""
    import http.server
    import threading

    from selenium.webdriver.common.by import By

    _wait(browser, By.CSS_SELECTOR, "#model option")  # the page opened with its token
    target = f"http://127.0.0.1:{app.port}/api/fit"
    page = (f'<form id="f" method="post" action="{target}" enctype="multipart/form-data">'
            '<input name="bootstrap" value="200000"><input name="example" value="cooling"></form><script>'
            f'fetch("{target}", {{method: "POST", mode: "no-cors", body: new FormData(document.getElementById("f"))}})'
            '.finally(() => document.getElementById("f").submit());</script>').encode()
    cookies = []

    class Other(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            cookies.append(self.headers.get("Cookie", ""))
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(page)))
            self.end_headers()
            self.wfile.write(page)

        def log_message(self, *arguments):
            pass

    other = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Other)
    threading.Thread(target=other.serve_forever, daemon=True).start()
    before = sorted(app.tmp.glob("kelvara-app-*/*/in"))
    try:
        browser.get(f"http://127.0.0.1:{other.server_address[1]}/")
        deadline = time.monotonic() + 30
        while "another page" not in browser.page_source and time.monotonic() < deadline:
            time.sleep(0.2)
        assert "another page" in browser.page_source  # the form's post, refused
    finally:
        other.shutdown()
        other.server_close()
    assert sorted(app.tmp.glob("kelvara-app-*/*/in")) == before  # neither the script nor the form began a job
    assert cookies and not any(cookies)  # the page, and perhaps its icon: no cookie of the app's came along
