"""The page of qna web in a real browser: Debian's chromium, driven through
chromium-driver by selenium, against a quonix that other clients (qna
commands: QNA_Write, QNA_Read, QNA_WriteEvQueue) use at the same time.

Usage: web_browser_test.py QNA QUONIX SOURCE_DIR
Exits 77 (skipped) when the browser or selenium is missing, except in CI.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

QNA, QUONIX, SOURCE = sys.argv[1:4]
BROWSER, DRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"
LIMIT = 30.0  # for what has no limit of its own: wide, for a slow CI machine

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    webdriver = None
if webdriver is None or not os.path.exists(BROWSER) or not os.path.exists(DRIVER):
    print("no chromium, chromium-driver or python3-selenium")
    sys.exit(1 if os.environ.get("CI") else 77)


def wait_for(condition, limit):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return condition()


class Plant:
    """quonix with project PLANT's tag file, and qna web with writes allowed,
    in a private root; both always stopped."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="qna-web-")
        self.env = dict(os.environ, QNAPI_ROOT=os.path.join(self.folder, "root"))
        self.processes = []
        try:
            project = os.path.join(self.folder, "root", "drive", "c", "ravowld", "usr", "plant")
            os.makedirs(project)
            self.qna("tagfile", "build", os.path.join(SOURCE, "examples", "plant.csv"),
                     os.path.join(project, "plant.tag"))
            self.start([QUONIX, "--project", "C:PLANT"], "quonix.log")
            # The server is up once a client gets through.
            if not wait_for(lambda: self.run("info").returncode == 0, LIMIT):
                raise AssertionError("quonix did not come up")
            web = self.start([QNA, "web", "--http", "127.0.0.1:0", "--allow-writes", "--interval", "100",
                              "--json"], "web.log", stdout=subprocess.PIPE)
            line = web.stdout.readline()
            if not line:
                raise AssertionError("qna web did not start: " + self.log("web.log"))
            self.url = json.loads(line)["url"]
        except BaseException:
            self.stop()
            raise

    def start(self, command, log, stdout=subprocess.DEVNULL):
        with open(os.path.join(self.folder, log), "wb") as err:
            process = subprocess.Popen(command, env=self.env, stdin=subprocess.DEVNULL, stdout=stdout, stderr=err)
        self.processes.append(process)
        return process

    def log(self, name):
        with open(os.path.join(self.folder, name), "rb") as f:
            return f.read().decode("utf-8", "replace")

    def run(self, *args):
        return subprocess.run([QNA, *args], env=self.env, capture_output=True, timeout=LIMIT)

    def qna(self, *args):
        done = self.run(*args)
        if done.returncode != 0:
            raise AssertionError("qna %s: %s" % (" ".join(args), done.stderr.decode()))
        return done.stdout.decode()

    def stop(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(LIMIT)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait(LIMIT)
            if process.stdout:
                process.stdout.close()
        shutil.rmtree(self.folder, ignore_errors=True)


def browser(folder):
    options = Options()
    options.binary_location = BROWSER
    for argument in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync", "--disable-quic", "--no-first-run",
                     "--window-size=1400,1500", "--user-data-dir=" + os.path.join(folder, "chromium")):
        options.add_argument(argument)
    return webdriver.Chrome(service=Service(DRIVER), options=options)


class PageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.plant = Plant()
        try:
            cls.driver = browser(cls.plant.folder)
            cls.driver.get(cls.plant.url)
        except BaseException:
            cls.plant.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            cls.driver.quit()
        finally:
            cls.plant.stop()

    def find(self, selector, limit=LIMIT):
        return WebDriverWait(self.driver, limit, poll_frequency=0.02).until(
            lambda d: d.find_element(By.CSS_SELECTOR, selector))

    def text_of(self, selector):
        elements = self.driver.find_elements(By.CSS_SELECTOR, selector)
        return elements[0].text if elements else None

    def test_a_written_value_shows_in_the_grid_within_a_second(self):
        self.find('#grid td[data-address="CW10"] .value')
        self.assertTrue(wait_for(lambda: self.text_of('#grid td[data-address="CW10"] .value') == "0", LIMIT))
        for value in ("4321", "17"):
            self.plant.qna("write", "CW10", value)
            written = time.monotonic()
            shown = wait_for(lambda: self.text_of('#grid td[data-address="CW10"] .value') == value, 1.0)
            self.assertTrue(shown, "CW10 did not show %s within a second of QNA_Write" % value)
            self.assertLess(time.monotonic() - written, 1.0)
        # The tag file names the word beside its address.
        self.assertIn("LEVEL", self.text_of('#grid td[data-address="CW10"]'))

    def test_a_value_set_on_the_page_is_read_back(self):
        self.find('#grid td[data-address="CW20"]').click()
        self.assertEqual(self.find("#set-target").get_attribute("value"), "CW20")
        self.find("#set-value").send_keys("777")
        self.find("#set-button").click()
        self.assertTrue(wait_for(lambda: (self.text_of("#set-result") or "").startswith("wrote"), LIMIT),
                        self.text_of("#set-result"))
        self.assertEqual(json.loads(self.plant.qna("read", "CW20", "--json"))["words"], [777])

    def test_a_posted_event_shows_in_the_events_list(self):
        queue = self.find("#open-queue")
        queue.clear()
        queue.send_keys("5")
        self.find("#open-button").click()
        self.find('#open-queues li[data-queue="5"]')
        self.plant.qna("evq", "post", "5", "42", "<b>hello</b>")
        row = self.find('#events tr[data-value="42"]')
        # Shown as the text it is, not as markup.
        self.assertIn("<b>hello</b>", row.text)
        self.assertEqual(row.find_elements(By.TAG_NAME, "b"), [])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
