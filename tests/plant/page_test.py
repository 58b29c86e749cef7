#!/usr/bin/python3
"""The plant's page in a real browser: Debian's Chromium, headless, driven by
Selenium, against j4_plant serve and a real PostgreSQL (run beside one:
tests/support/with_postgres.sh). What the grid shows, how fast a station's
report reaches it, a silent station, a unit named as markup, a unit's
history."""

import os
import socket
import subprocess
import sys
import time
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.support.ui import WebDriverWait

PLANT = sys.argv.pop(1)
URL = "postgresql://{PGUSER}@{PGHOST}:{PGPORT}/{PGDATABASE}".format(**os.environ)
PATIENCE = 30


def psql(sql):
    return subprocess.run(["psql", "-XAtqv", "ON_ERROR_STOP=1", "-c", sql], check=True,
                          capture_output=True, text=True).stdout.strip()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Page(unittest.TestCase):
    def setUp(self):
        psql("DROP TABLE IF EXISTS j4_attempts, j4_schema, j4_claims, j4_holds, j4_assignments, "
             "j4_releases, j4_slot_states, j4_station_heartbeats CASCADE")
        subprocess.run([PLANT, "--records", URL, "status"], check=True, capture_output=True)
        psql("INSERT INTO j4_station_heartbeats VALUES ('st-1', 'L1', '1', 'h', 2, now()), "
             "('st-2', 'L1', '1', 'h', 1, now() - interval '5 minutes')")
        psql("INSERT INTO j4_slot_states VALUES ('st-1', 1, 'empty', NULL, now()), "
             "('st-1', 2, 'updating', NULL, now()), ('st-2', 1, 'empty', NULL, now())")
        self.port = free_port()
        self.server = subprocess.Popen([PLANT, "--records", URL, "serve", "--listen",
                                        "127.0.0.1:%d" % self.port], stderr=subprocess.DEVNULL)
        self.addCleanup(self.stop_server)
        options = webdriver.ChromeOptions()
        for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage"):
            options.add_argument(flag)
        options.binary_location = "/usr/bin/chromium"
        self.browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        self.addCleanup(self.browser.quit)
        deadline = time.monotonic() + PATIENCE
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                self.assertLess(time.monotonic(), deadline, "the server never listened")
                time.sleep(0.1)
        self.browser.get("http://127.0.0.1:%d/" % self.port)

    def stop_server(self):
        self.server.terminate()
        self.server.wait(timeout=30)

    # The page is drawn anew from each event: an element found may be gone
    # by the time it is read, and is looked for again.
    def wait(self, condition):
        return WebDriverWait(self.browser, PATIENCE, poll_frequency=0.02,
                             ignored_exceptions=[StaleElementReferenceException]).until(condition)

    def slot(self, station, slot):
        return self.browser.find_element(
            By.CSS_SELECTOR, '[data-station="%s"] [data-slot="%d"]' % (station, slot))

    def test_the_grid_follows_the_stations(self):
        self.wait(lambda b: b.find_elements(By.CSS_SELECTOR, '[data-station="st-1"] [data-slot]'))
        self.wait(lambda b: "updating" in self.slot("st-1", 2).get_attribute("class"))
        # A station unheard of for a minute is grey, and says since when.
        station = lambda b: b.find_element(By.CSS_SELECTOR, '[data-station="st-2"]')
        self.wait(lambda b: "silent" in station(b).get_attribute("class")
                  and "silent since" in station(b).text)
        # A report reaches the page within a second, a unit named as markup
        # shown as its text.
        start = time.monotonic()
        psql("UPDATE j4_slot_states SET state = 'completed', unit = '<img src=x onerror=alert(1)>' "
             "WHERE station = 'st-1' AND slot = 1; UPDATE j4_station_heartbeats SET heard = now() "
             "WHERE station = 'st-1'")
        self.wait(lambda b: "completed" in self.slot("st-1", 1).get_attribute("class"))
        latency = time.monotonic() - start
        print("report to page: %.0f ms" % (latency * 1000))
        self.assertLess(latency, 1.0)
        self.wait(lambda b: self.slot("st-1", 1).find_element(By.CLASS_NAME, "unit").text ==
                  "<img src=x onerror=alert(1)>")
        self.assertEqual(self.browser.find_elements(By.CSS_SELECTOR, "[data-station] img"), [])

    def test_a_units_history(self):
        psql("INSERT INTO j4_attempts (attempt, station, unit, started, ended, file, outcome, "
             "message, release_version, record) VALUES (gen_random_uuid(), 'st-1', 'J4-7', "
             "now() - interval '1 hour', now(), 'f', 'link_failed', 'The device is silent.', "
             "'2.0.0', '{}'), (gen_random_uuid(), 'st-1', 'J4-7', now(), now(), 'f', "
             "'completed', 'Update is completed.', '2.1.0', '{}')")
        field = self.browser.find_element(By.ID, "unit-serial")
        field.send_keys("J4-7\n")
        self.wait(lambda b: len(b.find_elements(By.CSS_SELECTOR, "#unit-rows tr")) == 2)
        rows = self.wait(lambda b: [row.text for row in
                                    b.find_elements(By.CSS_SELECTOR, "#unit-rows tr")])
        self.assertIn("completed", rows[0])
        self.assertIn("2.1.0", rows[0])
        self.assertIn("link_failed", rows[1])


if __name__ == "__main__":
    unittest.main(verbosity=2)
