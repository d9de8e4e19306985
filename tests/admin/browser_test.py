#!/usr/bin/python3
"""The administrator's window in a real browser (Debian's chromium-headless-shell): the
overview follows a PDF job from rendering to printed without a reload, a job's page shows
its timeline and settings, a hostile document name stays text, the page fits a phone's
screen, and nothing in the pages breaks their Content-Security-Policy.

Run by ctest with QM_SERVER_BINARY and QM_PEER_BINARY set."""
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from admin_window_test import LIMIT, PEER, Server, many_page_pdf  # noqa: E402
from headless_browser import HeadlessBrowser  # noqa: E402

# A name no page may turn into markup: an image whose error handler would run a script.
HOSTILE_NAME = "<img src=x onerror=alert(1)>.prn"
# Long enough to render that the overview can be seen showing it under way: the job
# still renders over several of the overview's 2 s refreshes.
RENDERED_PAGES = 120


def row_state(job):
    """A script expression: the state a job's row on the overview shows, or null."""
    return ("document.querySelector('tr[data-job-id=\"%d\"]')?.dataset.state ?? null" % job)


class OverviewInABrowser(unittest.TestCase):
    """One server, one browser: a long PDF job, then a RAW job with a hostile name."""

    @classmethod
    def setUpClass(cls):
        cls.server = Server(QUILLMESH_RENDER_JOBS="1").start()
        cls.browser = HeadlessBrowser(timeout=LIMIT * 3)

    @classmethod
    def tearDownClass(cls):
        cls.browser.close()
        cls.server.stop()

    def peer_print(self, name, content):
        """Starts the peer printing a file of that name on Lab; the peer's process."""
        path = os.path.join(self.server.root, name)
        with open(path, "wb") as document:
            document.write(content)
        return subprocess.Popen([PEER, "print", "-d", "Lab", "--port", str(self.server.port),
                                 path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def overview(self):
        return "http://127.0.0.1:%d/" % self.server.admin_port

    def test_1_the_overview_follows_a_job_from_rendering_to_printed(self):
        self.browser.open(self.overview())
        # Set on the page as loaded: a reload would lose it.
        self.browser.evaluate("window.loadedOnce = true")
        peer = self.peer_print("long.pdf", many_page_pdf(RENDERED_PAGES))
        try:
            # The state and the words are read from the same refresh of the row.
            self.browser.wait_for(
                "(() => { const row = document.querySelector('tr[data-job-id=\"1\"]'); "
                "return row !== null && row.dataset.state === '2' && "
                "row.textContent.includes('rendering page'); })()")
            self.browser.wait_for(row_state(1) + " === '5'")
            self.assertEqual(peer.wait(timeout=LIMIT), 0)
        finally:
            peer.kill()
            peer.wait()
        self.assertTrue(self.browser.evaluate("window.loadedOnce === true"),
                        "the overview was reloaded")
        self.assertEqual(self.browser.errors, [])

    def test_2_a_jobs_page_shows_its_timeline_and_settings(self):
        self.browser.wait_for(row_state(1) + " === '5'")
        self.browser.open("http://127.0.0.1:%d/jobs/1" % self.server.admin_port)
        text = self.browser.evaluate("document.querySelector('main').innerText").lower()
        for expected in ("long.pdf", "lab", "timeline", "receiving", "printed", "asked for",
                         "given to the spooler", "paper a4"):
            self.assertTrue(expected in text, "the job's page lacks " + expected)
        # A printed job can no longer be canceled.
        self.assertIsNone(self.browser.evaluate("document.querySelector('form[method=post]')"))
        self.assertEqual(self.browser.errors, [])

    def test_3_a_hostile_document_name_stays_text(self):
        peer = self.peer_print(HOSTILE_NAME, b"printer data")
        self.assertEqual(peer.wait(timeout=LIMIT), 0)
        for page in ("/", "/jobs/2", "/log"):
            self.browser.open("http://127.0.0.1:%d%s" % (self.server.admin_port, page))
            shown = self.browser.evaluate("document.body.textContent")
            self.assertTrue(HOSTILE_NAME in shown, page + " does not show the name as text")
            self.assertEqual(self.browser.evaluate("document.images.length"), 0, page)
        self.browser.open("http://127.0.0.1:%d/api/jobs" % self.server.admin_port)
        documents = self.browser.evaluate(
            "JSON.parse(document.body.textContent).map(job => job.document)")
        self.assertIn(HOSTILE_NAME, documents)
        self.assertEqual(self.browser.errors, [])

    def test_4_the_overview_fits_a_phones_screen(self):
        self.browser.set_viewport(375, 667, mobile=True)
        self.browser.open(self.overview())
        self.assertLessEqual(
            self.browser.evaluate("document.documentElement.scrollWidth"), 375,
            "the overview scrolls sideways on a phone")


if __name__ == "__main__":
    unittest.main(verbosity=2)
