"""Headless Chromium through Debian's chromedriver, for the console's browser tests and the demo.

  browser = Chromium()          a fresh profile in a temporary folder; browser.driver is the
                                selenium WebDriver; browser.close() ends both and removes it
  browser.requested_urls()      every URL the browser requested since the last call
  browser.screenshot(path)      a PNG of the whole page
  available()                   None when Chromium and its driver are installed, else why not
"""
import json
import os
import shutil
import tempfile

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
WINDOW = (1280, 900)
MAX_HEIGHT = 8000  # a screenshot's height at most, in pixels


def available():
    missing = [p for p in (CHROMIUM, CHROMEDRIVER) if not os.access(p, os.X_OK)]
    if missing:
        return "not installed: " + ", ".join(missing) + " (scripts/install-deps.sh installs them)"
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "python3-selenium is not installed (scripts/install-deps.sh installs it)"
    return None


class Chromium:
    def __init__(self):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        self.profile = tempfile.mkdtemp(prefix="plx-chromium-")
        opts = webdriver.ChromeOptions()
        opts.binary_location = CHROMIUM
        # Root in a container needs --no-sandbox; the network flags keep Chromium from
        # reaching out on its own, which a closed network answers by refusing connections.
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", "--user-data-dir=" + self.profile,
                     "--window-size=%d,%d" % WINDOW):
            opts.add_argument(flag)
        # Every request the browser makes, redirects and files included, for the tests to read.
        opts.set_capability("goog:loggingPrefs", {"performance": "ALL"})
        # An explicit driver path: Selenium's own driver download never runs.
        service = Service(executable_path=CHROMEDRIVER, log_path=os.devnull)
        try:
            self.driver = webdriver.Chrome(service=service, options=opts)
        except Exception:
            shutil.rmtree(self.profile, ignore_errors=True)
            raise
        self.driver.set_page_load_timeout(60)

    def requested_urls(self):
        """URLs requested since the last call."""
        urls = []
        for entry in self.driver.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            if message.get("method") == "Network.requestWillBeSent":
                urls.append(message["params"]["request"]["url"])
        return urls

    def screenshot(self, path):
        """The whole page, not just the window: the window grows to the page's height first."""
        d = self.driver
        # The window's height includes what is not page (the browser's own frame).
        frame = WINDOW[1] - int(d.execute_script("return window.innerHeight"))
        height = d.execute_script("return Math.max(document.body.scrollHeight, document.documentElement.scrollHeight)")
        d.set_window_size(WINDOW[0], max(WINDOW[1], min(int(height) + frame, MAX_HEIGHT)))
        try:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            if not d.save_screenshot(path):
                raise AssertionError("no screenshot saved to " + path)
        finally:
            d.set_window_size(*WINDOW)

    def close(self):
        try:
            self.driver.quit()
        finally:
            shutil.rmtree(self.profile, ignore_errors=True)
