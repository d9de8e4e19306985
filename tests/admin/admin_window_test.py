#!/usr/bin/python3
"""The administrator's window on the real server: jobs printed by the real peer on the
folder printer, then the window asked over HTTP. One server start per group of cases.

Run by ctest with QM_SERVER_BINARY and QM_PEER_BINARY set."""
import base64
import http.client
import json
import os
import random
import re
import shutil
import socket
import ssl
import subprocess
import tempfile
import time
import unittest

from prometheus_client.parser import text_string_to_metric_families

SERVER = os.environ["QM_SERVER_BINARY"]
PEER = os.environ["QM_PEER_BINARY"]
LIMIT = 60  # seconds any awaited event may take on a busy machine
CSP = ("default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
       "connect-src 'self'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'")


def free_port():
    """A loopback port nobody listens on, below the ephemeral range."""
    for _ in range(200):
        port = random.randint(20000, 32000)
        with socket.socket() as probe:
            try:
                probe.bind(("0.0.0.0", port))
                return port
            except OSError:
                continue
    raise RuntimeError("no free port")


def eventually(condition, what):
    """Waits until the condition holds; fails the test with `what` after LIMIT."""
    deadline = time.monotonic() + LIMIT
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.05)
    raise AssertionError("never happened: " + what)


def accepts(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


def many_page_pdf(pages):
    """A PDF of that many pages, each with a line of text: long enough to render that a
    job is still under way while the test looks at it."""
    objects = [b"<< /Type /Catalog /Pages 2 0 R >>",
               b"<< /Type /Pages /Kids [" +
               b" ".join(b"%d 0 R" % (5 + i) for i in range(pages)) +
               b"] /Count %d >>" % pages,
               b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"]
    text = b"BT /F1 48 Tf 72 720 Td (Quillmesh) Tj ET"
    objects.append(b"<< /Length %d >>\nstream\n" % len(text) + text + b"\nendstream")
    for _ in range(pages):
        objects.append(b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] "
                       b"/Resources << /Font << /F1 3 0 R >> >> /Contents 4 0 R >>")
    pdf = b"%PDF-1.4\n"
    offsets = []
    for number, body in enumerate(objects, start=1):
        offsets.append(len(pdf))
        pdf += b"%d 0 obj\n" % number + body + b"\nendobj\n"
    xref = len(pdf)
    pdf += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    pdf += b"".join(b"%010d 00000 n \n" % offset for offset in offsets)
    pdf += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (
        len(objects) + 1, xref)
    return pdf


class Server:
    """The real server on the folder printer "Lab", with a private TEMP and free ports."""

    def __init__(self, **settings):
        self.root = tempfile.mkdtemp(prefix="qm-admin-")
        os.makedirs(os.path.join(self.root, "printers", "Lab"))
        os.makedirs(os.path.join(self.root, "temp"), mode=0o700)
        self.port = free_port()
        self.admin_port = free_port()
        while self.admin_port == self.port:
            self.admin_port = free_port()
        self.environment = dict(os.environ, TEMP=os.path.join(self.root, "temp"),
                                QUILLMESH_SPOOLER="folder:" + os.path.join(self.root, "printers"),
                                QUILLMESH_PORT=str(self.port),
                                QUILLMESH_ADMIN="127.0.0.1:%d" % self.admin_port)
        self.environment.update({name: value.replace("PORT", str(self.admin_port))
                                 for name, value in settings.items()})
        self.process = None

    def start(self, wait_for_window=True):
        self.process = subprocess.Popen([SERVER], env=self.environment,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        eventually(lambda: accepts(self.port), "the print server listens")
        if wait_for_window:
            eventually(lambda: accepts(self.admin_port), "the window listens")
        return self

    def run_to_exit(self):
        """Runs the server expecting it to stop at start; its exit code and stderr."""
        finished = subprocess.run([SERVER], env=self.environment, capture_output=True,
                                  timeout=LIMIT)
        return finished.returncode, finished.stderr.decode(errors="replace")

    def stop(self):
        if self.process is not None:
            self.process.terminate()
            self.process.wait(timeout=LIMIT)
            self.process.stderr.close()
        shutil.rmtree(self.root, ignore_errors=True)

    def log(self):
        path = os.path.join(self.root, "temp", "Quillmesh", "log", "QuillmeshLog.txt")
        try:
            with open(path, "rb") as log_file:
                return log_file.read().decode(errors="replace")
        except FileNotFoundError:
            return ""

    def print_raw(self, printer, content=b"printer data"):
        """Prints a RAW job with the peer; its exit code."""
        path = os.path.join(self.root, "job-%d.prn" % random.randint(0, 1 << 30))
        with open(path, "wb") as job:
            job.write(content)
        return subprocess.run([PEER, "print", "-d", printer, "--port", str(self.port),
                               "--format", "raw", path], capture_output=True,
                              timeout=LIMIT).returncode

    def start_long_pdf_job(self):
        """Starts the peer printing a PDF of many pages; the peer's process."""
        path = os.path.join(self.root, "long.pdf")
        with open(path, "wb") as document:
            document.write(many_page_pdf(2000))
        return subprocess.Popen([PEER, "print", "-d", "Lab", "--port", str(self.port), path],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def request(self, method, path, body=None, headers=None, tls=False):
        """One HTTP request to the window: status, headers (lower-case names) and body."""
        if tls:
            context = ssl.create_default_context()
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
            connection = http.client.HTTPSConnection("127.0.0.1", self.admin_port,
                                                     timeout=LIMIT, context=context)
        else:
            connection = http.client.HTTPConnection("127.0.0.1", self.admin_port, timeout=LIMIT)
        try:
            connection.request(method, path, body=body, headers=headers or {})
            response = connection.getresponse()
            return (response.status, {k.lower(): v for k, v in response.getheaders()},
                    response.read())
        finally:
            connection.close()

    def get(self, path, **options):
        return self.request("GET", path, **options)

    def cancel(self, job, token=None):
        body = None if token is None else "token=" + token
        return self.request("POST", "/jobs/%s/cancel" % job, body=body,
                            headers={"Content-Type": "application/x-www-form-urlencoded"})


# A printer name no printer has, with every kind of hostile byte: the job fails, and its
# record keeps the name as sent.
HOSTILE_PRINTER = b"Lab\x01\x1f\"\\</script>&\xff\xc0\xaf\xed\xa0\x80\xe2\x82 \xe2\x82\xac"


class LoopbackWindow(unittest.TestCase):
    """The default window on loopback, after good and failed jobs."""

    @classmethod
    def setUpClass(cls):
        cls.server = Server().start()
        cls.good_jobs = 3
        for _ in range(cls.good_jobs):
            assert cls.server.print_raw("Lab") == 0
        assert cls.server.print_raw(HOSTILE_PRINTER) != 0
        cls.jobs_sent = cls.good_jobs + 1

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def jobs(self):
        status, headers, body = self.server.get("/api/jobs")
        self.assertEqual(status, 200)
        self.assertTrue(headers["content-type"].startswith("application/json"))
        return json.loads(body.decode("utf-8"))  # strict: invalid UTF-8 fails here

    def test_window_start_is_logged_once(self):
        self.assertEqual(self.server.log().count(
            "administrator's window on http://127.0.0.1:%d" % self.server.admin_port), 1)

    def test_every_response_carries_the_security_headers(self):
        for method, path in [("GET", "/"), ("GET", "/metrics"), ("GET", "/nothing"),
                             ("GET", "/api/jobs/0"), ("POST", "/jobs/1/cancel"),
                             ("GET", "/admin.js"), ("GET", "/live/overview")]:
            _, headers, _ = self.server.request(method, path)
            self.assertEqual(headers.get("content-security-policy"), CSP, path)
            self.assertEqual(headers.get("x-content-type-options"), "nosniff", path)
            self.assertEqual(headers.get("referrer-policy"), "no-referrer", path)
            self.assertEqual(headers.get("cache-control"), "no-store", path)

    def test_metrics_parse_and_count_every_job_sent(self):
        status, headers, body = self.server.get("/metrics")
        self.assertEqual(status, 200)
        self.assertTrue(headers["content-type"].startswith("text/plain"))
        families = list(text_string_to_metric_families(body.decode("utf-8")))
        jobs = sum(sample.value for family in families for sample in family.samples
                   if sample.name == "quillmesh_jobs_total")
        self.assertEqual(jobs, self.jobs_sent)

    def test_api_jobs_lists_every_job_newest_first_as_valid_json(self):
        jobs = self.jobs()
        self.assertEqual(len(jobs), self.jobs_sent)
        ids = [job["id"] for job in jobs]
        self.assertEqual(ids, sorted(ids, reverse=True))
        hostile = jobs[0]
        self.assertEqual(hostile["state"], "failed")
        self.assertEqual(hostile["printer"],
                         "Lab\x01\x1f\"\\</script>&\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd"
                         "\ufffd\ufffd \u20ac")
        status, _, body = self.server.get("/api/jobs/%d" % ids[-1])
        self.assertEqual(status, 200)
        self.assertEqual(json.loads(body.decode("utf-8"))["printer"], "Lab")

    def test_a_job_number_that_is_not_one_is_not_found(self):
        newest = self.jobs()[0]["id"]
        for path in ["/api/jobs/0", "/api/jobs/abc", "/api/jobs/4294967296",
                     "/api/jobs/%d" % (newest + 1), "/jobs/-1", "/jobs/%d" % (newest + 1),
                     "/api/jobs/1%2F"]:
            self.assertEqual(self.server.get(path)[0], 404, path)
        self.assertEqual(self.server.get("/log?job=abc")[0], 400)
        self.assertEqual(self.server.get("/log?job=1&peer=127.0.0.1")[0], 200)

    def test_cancel_needs_the_pages_token_and_then_goes_back_to_the_job(self):
        peer = self.server.start_long_pdf_job()
        try:
            job = {}

            def rendering():
                newest = self.jobs()[0]
                job.update(newest)
                return newest["format"] == "pdf" and newest["state"] == "printing"
            eventually(rendering, "the PDF job renders")
            number = job["id"]
            status, _, page = self.server.get("/jobs/%d" % number)
            self.assertEqual(status, 200)
            token = re.search(rb'name="token" value="([0-9a-f]{64})"', page)
            self.assertIsNotNone(token, "the job page carries its cancel token")
            token = token.group(1).decode()
            wrong_last = token[:-1] + ("1" if token[-1] == "0" else "0")
            for wrong in [None, "", token[:-1], token + "0", wrong_last]:
                self.assertEqual(self.server.cancel(number, wrong)[0], 403, wrong)
            state = json.loads(self.server.get("/api/jobs/%d" % number)[2])["state"]
            self.assertNotEqual(state, "canceled")
            self.assertEqual(self.server.cancel(number + 1000, token)[0], 404)
            status, headers, _ = self.server.cancel(number, token)
            self.assertEqual(status, 303)
            self.assertEqual(headers["location"], "/jobs/%d" % number)
            eventually(lambda: json.loads(self.server.get("/api/jobs/%d" % number)[2])["state"]
                       == "canceled", "the job is canceled")
            type(self).jobs_sent += 1  # ended, so the metrics count it
        finally:
            peer.wait(timeout=LIMIT)

    def test_script_and_style_are_files_of_their_own(self):
        status, headers, _ = self.server.get("/admin.js")
        self.assertEqual(status, 200)
        self.assertIn("javascript", headers["content-type"])
        status, headers, _ = self.server.get("/admin.css")
        self.assertEqual(status, 200)
        self.assertIn("text/css", headers["content-type"])


class OpenAddressWithPassword(unittest.TestCase):
    """Every address, a password asked: HTTP Basic of user admin."""

    @classmethod
    def setUpClass(cls):
        cls.server = Server(QUILLMESH_ADMIN="0.0.0.0:PORT",
                            QUILLMESH_ADMIN_PASSWORD="pa:ss word").start()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def basic(self, credential):
        return {"Authorization": "Basic " + base64.b64encode(credential.encode()).decode()}

    def test_only_the_right_credential_gets_in(self):
        status, headers, _ = self.server.get("/")
        self.assertEqual(status, 401)
        self.assertTrue(headers["www-authenticate"].startswith("Basic realm="))
        self.assertEqual(headers.get("content-security-policy"), CSP)
        for wrong in ["admin:pa:ss wor", "admin:pa:ss words", "root:pa:ss word", "admin:"]:
            self.assertEqual(self.server.get("/metrics", headers=self.basic(wrong))[0], 401,
                             wrong)
        self.assertEqual(self.server.get("/", headers=self.basic("admin:pa:ss word"))[0], 200)
        self.assertEqual(
            self.server.get("/metrics", headers=self.basic("admin:pa:ss word"))[0], 200)

    def test_the_clear_text_password_is_warned_about(self):
        self.assertIn("Error:the administrator's window on http://0.0.0.0:%d has no TLS"
                      % self.server.admin_port, self.server.log())
        self.assertNotIn("pa:ss word", self.server.log())


class RefusedStarts(unittest.TestCase):
    """Settings that would expose the window, or cannot work, stop the server at start."""

    def expect_refused(self, naming, **settings):
        server = Server(**settings)
        try:
            code, stderr = server.run_to_exit()
            self.assertEqual(code, 1, settings)
            self.assertIn("quillmesh: " + naming, stderr)
            self.assertIn("Error:" + naming, server.log())
        finally:
            server.stop()

    def test_an_open_address_without_password(self):
        self.expect_refused("QUILLMESH_ADMIN is not a loopback address",
                            QUILLMESH_ADMIN="0.0.0.0:PORT")

    def test_half_a_certificate_pair(self):
        self.expect_refused("QUILLMESH_ADMIN_CERT and QUILLMESH_ADMIN_KEY",
                            QUILLMESH_ADMIN_CERT="/nonexistent/cert.pem")
        self.expect_refused("QUILLMESH_ADMIN_CERT and QUILLMESH_ADMIN_KEY",
                            QUILLMESH_ADMIN_KEY="/nonexistent/key.pem")

    def test_the_peers_port(self):
        server = Server()
        server.environment["QUILLMESH_ADMIN"] = "127.0.0.1:%d" % server.port
        try:
            code, stderr = server.run_to_exit()
            self.assertEqual(code, 1)
            self.assertIn("must not use QUILLMESH_PORT", stderr)
        finally:
            server.stop()


class WindowUnavailable(unittest.TestCase):
    """A window that cannot be had leaves the print server serving."""

    def test_a_taken_port_logs_an_error_and_printing_goes_on(self):
        server = Server()
        occupant = socket.socket()
        occupant.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        occupant.bind(("127.0.0.1", server.admin_port))
        occupant.listen(1)
        try:
            server.start(wait_for_window=False)
            eventually(lambda: "Error:the administrator's window cannot listen" in server.log(),
                       "the Error line of the taken port")
            self.assertEqual(server.print_raw("Lab"), 0)
        finally:
            occupant.close()
            server.stop()

    def test_an_address_off_its_allow_list_is_forbidden(self):
        server = Server(QUILLMESH_ADMIN_ALLOW="10.0.0.0/8").start()
        try:
            status, headers, _ = server.get("/")
            self.assertEqual(status, 403)
            self.assertEqual(headers.get("content-security-policy"), CSP)
        finally:
            server.stop()

    def test_switched_off_there_is_no_window(self):
        server = Server(QUILLMESH_ADMIN="off").start(wait_for_window=False)
        try:
            self.assertEqual(server.print_raw("Lab"), 0)
            self.assertFalse(accepts(server.admin_port))
            self.assertNotIn("administrator's window on", server.log())
            self.assertIn("QUILLMESH_ADMIN=off", server.log())
        finally:
            server.stop()


@unittest.skipUnless(shutil.which("openssl"), "openssl makes the test certificate")
class WindowOverTls(unittest.TestCase):
    """A certificate and its key: the window speaks HTTPS, and HTTP gets nothing."""

    def test_https_with_a_certificate(self):
        server = Server(QUILLMESH_ADMIN="0.0.0.0:PORT", QUILLMESH_ADMIN_PASSWORD="pw")
        cert = os.path.join(server.root, "cert.pem")
        key = os.path.join(server.root, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=localhost", "-keyout", key, "-out", cert],
                       check=True, capture_output=True, timeout=LIMIT)
        server.environment.update(QUILLMESH_ADMIN_CERT=cert, QUILLMESH_ADMIN_KEY=key)
        try:
            server.start()
            credential = base64.b64encode(b"admin:pw").decode()
            status, headers, _ = server.get("/", tls=True,
                                            headers={"Authorization": "Basic " + credential})
            self.assertEqual(status, 200)
            self.assertEqual(headers.get("content-security-policy"), CSP)
            self.assertIn("administrator's window on https://0.0.0.0:%d" % server.admin_port,
                          server.log())
            self.assertNotIn("has no TLS", server.log())
        finally:
            server.stop()


if __name__ == "__main__":
    unittest.main(verbosity=2)
