#!/usr/bin/env python3
"""A small driver of Debian's chromium-headless-shell for the administrator's window's tests.

It speaks the DevTools protocol over --remote-debugging-pipe: the browser reads commands
from its fd 3 and writes replies and events to its fd 4, each message one JSON text ended
by a NUL byte. The browser runs headless, without sandbox or GPU, in a user-data folder of
its own, in a process group of its own that close() kills whole, on every path.

    from headless_browser import HeadlessBrowser, BrowserError

    with HeadlessBrowser() as browser:
        browser.open("http://127.0.0.1:9098/")              # waits for the load event
        rows = browser.evaluate("document.querySelectorAll('tr.job').length")
        browser.wait_for("document.querySelector('[data-job-id=\\"3\\"]')"
                         "?.dataset.state === '5'", timeout=60)
        assert not browser.errors, browser.errors

HeadlessBrowser(executable="chromium-headless-shell", timeout=60.0, extra_args=())
    Starts the browser and opens one page (about:blank). timeout is the default limit, in
    seconds, of every wait below; the machine may be busy, so keep it generous.
open(url, timeout=None)
    Navigates the page to url and waits for its load event; BrowserError when the
    navigation fails (a refused connection, say) or the limit passes.
evaluate(expression, timeout=None)
    Evaluates the JavaScript expression in the page (a promise is awaited) and returns its
    value as JSON gives it (None for undefined); BrowserError with the exception's text
    when it throws.
wait_for(expression, timeout=None)
    Evaluates the expression again and again until its value is truthy and returns that
    value; BrowserError when the limit passes first. An exception thrown by the expression
    counts as not yet (a page being replaced may not hold the element yet).
errors
    What went wrong in the page so far, in words, one string each: console.error and
    console.assert calls, uncaught exceptions, error entries of the browser's log (these
    include Content-Security-Policy violations: "Refused to execute inline script...").
    clear_errors() empties it.
set_extra_headers(headers)
    Sends the headers (a dict) with every request of the page from then on, e.g. an
    Authorization header for HTTP Basic.
set_viewport(width, height, mobile=False)
    Lays the page out on a screen of that size, e.g. a phone's (375, 667, mobile=True).
screenshot(path)
    Writes what the page shows now to path as PNG.
close()
    Asks the browser to close, then kills its process group and removes its folder.
    The context manager calls it; calling it twice does nothing.

Run it as a script with --self-check to try it on a page served by python3 -m http.server
that changes itself with a script and breaks its own Content-Security-Policy once.
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time


class BrowserError(Exception):
    """The browser failed, did not answer in time, or the page's script threw."""


class HeadlessBrowser:
    """One headless browser with one page, driven over the DevTools pipe."""

    def __init__(self, executable="chromium-headless-shell", timeout=60.0, extra_args=()):
        self.timeout = timeout
        self.errors = []
        self._lock = threading.Condition()
        self._replies = {}
        self._next_id = 0
        self._loads = 0
        self._gone = False
        self._session = None
        self._process = None
        self._to_browser = None
        self._from_browser = None
        self._reader = None
        self._folder = tempfile.mkdtemp(prefix="headless-browser-")
        try:
            self._start(executable, extra_args)
            self._open_page()
        except BaseException:
            self.close()
            raise

    # ---- the browser's process ----

    def _start(self, executable, extra_args):
        """Starts the browser with the pipe's ends as its fds 3 and 4."""
        commands_read, commands_write = os.pipe()
        events_read, events_write = os.pipe()
        # Above 10, so that putting them at 3 and 4 in the child cannot overwrite one
        # with the other; bash, since dash takes no fd number above 9.
        child_read = _move_above(commands_read, 10)
        child_write = _move_above(events_write, 10)
        arguments = ["--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
                     "--user-data-dir=" + os.path.join(self._folder, "profile"),
                     "--no-first-run", "--no-default-browser-check", "--disable-extensions",
                     "--disable-background-networking", "--mute-audio", *extra_args,
                     "about:blank"]
        script = 'exec "$@" 3<&%d 4>&%d %d<&- %d>&-' % (child_read, child_write, child_read,
                                                        child_write)
        log = open(os.path.join(self._folder, "browser.log"), "wb")
        try:
            self._process = subprocess.Popen(
                ["bash", "-c", script, "bash", executable, *arguments],
                stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                pass_fds=(child_read, child_write), start_new_session=True)
        finally:
            log.close()
            os.close(child_read)
            os.close(child_write)
        self._to_browser = commands_write
        self._from_browser = events_read
        self._reader = threading.Thread(target=self._read_messages, daemon=True)
        self._reader.start()

    def _open_page(self):
        """Opens the page every call drives and turns on the events the driver reads."""
        target = self._command("Target.createTarget", {"url": "about:blank"},
                               browser_level=True)
        attached = self._command("Target.attachToTarget",
                                 {"targetId": target["targetId"], "flatten": True},
                                 browser_level=True)
        self._session = attached["sessionId"]
        for domain in ("Page", "Runtime", "Log"):
            self._command(domain + ".enable")

    def close(self):
        """Closes the browser on every path: politely first, then its whole group killed."""
        process, self._process = self._process, None
        if process is not None:
            if process.poll() is None and not self._gone:
                try:
                    self._command("Browser.close", browser_level=True, timeout=5)
                except (BrowserError, OSError):
                    pass
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                pass
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
            process.wait()
        for name in ("_to_browser", "_from_browser"):
            fd = getattr(self, name)
            if fd is not None:
                setattr(self, name, None)
                os.close(fd)
        if self._reader is not None:
            self._reader.join(timeout=10)
            self._reader = None
        if self._folder is not None:
            shutil.rmtree(self._folder, ignore_errors=True)
            self._folder = None

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()
        return False

    # ---- the pipe ----

    def _read_messages(self):
        """Reads NUL-ended messages until the browser closes its end: replies are handed
        to the call that waits for them, events recorded."""
        pending = b""
        while True:
            try:
                chunk = os.read(self._from_browser, 65536)
            except OSError:
                chunk = b""
            if not chunk:
                break
            pending += chunk
            while b"\0" in pending:
                text, pending = pending.split(b"\0", 1)
                self._take(json.loads(text))
        with self._lock:
            self._gone = True
            self._lock.notify_all()

    def _take(self, message):
        """Hands a reply to its caller or records what an event tells."""
        with self._lock:
            if "id" in message:
                self._replies[message["id"]] = message
            else:
                self._record_event(message.get("method"), message.get("params", {}))
            self._lock.notify_all()

    def _record_event(self, method, params):
        """Counts loads and keeps what went wrong in the page."""
        if method == "Page.loadEventFired":
            self._loads += 1
        elif method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
            words = " ".join(str(arg.get("value", arg.get("description", "")))
                             for arg in params.get("args", []))
            self.errors.append("console.%s: %s" % (params["type"], words))
        elif method == "Runtime.exceptionThrown":
            details = params.get("exceptionDetails", {})
            described = details.get("exception", {}).get("description", details.get("text"))
            self.errors.append("exception: %s" % described)
        elif method == "Log.entryAdded" and params.get("entry", {}).get("level") == "error":
            entry = params["entry"]
            self.errors.append("%s: %s" % (entry.get("source"), entry.get("text")))
        elif method in ("Inspector.targetCrashed", "Target.targetCrashed"):
            self.errors.append("the page crashed")

    def _command(self, method, params=None, browser_level=False, timeout=None):
        """Sends one command and waits for its reply's result."""
        with self._lock:
            if self._gone:
                raise BrowserError("the browser is gone: " + self._log_tail())
            self._next_id += 1
            call = self._next_id
        message = {"id": call, "method": method, "params": params or {}}
        if not browser_level:
            message["sessionId"] = self._session
        data = json.dumps(message).encode() + b"\0"
        while data:
            data = data[os.write(self._to_browser, data):]
        deadline = time.monotonic() + (timeout or self.timeout)
        with self._lock:
            while call not in self._replies:
                left = deadline - time.monotonic()
                if self._gone or left <= 0:
                    raise BrowserError("%s: no reply (%s)" % (
                        method, "the browser is gone: " + self._log_tail() if self._gone
                        else "timed out"))
                self._lock.wait(left)
            reply = self._replies.pop(call)
        if "error" in reply:
            raise BrowserError("%s: %s" % (method, reply["error"].get("message")))
        return reply.get("result", {})

    def _log_tail(self):
        """The end of what the browser wrote on its stderr, for a failure's message."""
        try:
            with open(os.path.join(self._folder, "browser.log"), "rb") as log:
                return log.read()[-2000:].decode(errors="replace")
        except (OSError, TypeError):
            return ""

    # ---- the page ----

    def open(self, url, timeout=None):
        """Navigates to url and waits for the page's load event."""
        limit = timeout or self.timeout
        with self._lock:
            loads_before = self._loads
        navigated = self._command("Page.navigate", {"url": url}, timeout=limit)
        if navigated.get("errorText"):
            raise BrowserError("opening %s: %s" % (url, navigated["errorText"]))
        deadline = time.monotonic() + limit
        with self._lock:
            while self._loads == loads_before:
                left = deadline - time.monotonic()
                if self._gone or left <= 0:
                    raise BrowserError("opening %s: the page did not load" % url)
                self._lock.wait(left)

    def evaluate(self, expression, timeout=None):
        """The expression's value in the page, a promise awaited."""
        result = self._command("Runtime.evaluate",
                               {"expression": expression, "returnByValue": True,
                                "awaitPromise": True}, timeout=timeout)
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            raise BrowserError("%s threw: %s" % (expression, details.get("exception", {}).get(
                "description", details.get("text"))))
        return result.get("result", {}).get("value")

    def wait_for(self, expression, timeout=None):
        """Waits until the expression's value is truthy; returns that value."""
        deadline = time.monotonic() + (timeout or self.timeout)
        last_problem = "it stayed false"
        while True:
            try:
                value = self.evaluate(expression, timeout=max(1.0, deadline - time.monotonic()))
                if value:
                    return value
            except BrowserError as problem:
                if self._gone:
                    raise
                last_problem = str(problem)
            if time.monotonic() > deadline:
                raise BrowserError("waiting for %s: %s" % (expression, last_problem))
            time.sleep(0.05)

    def set_extra_headers(self, headers):
        """Sends the headers with every request of the page from now on."""
        self._command("Network.enable")
        self._command("Network.setExtraHTTPHeaders", {"headers": dict(headers)})

    def set_viewport(self, width, height, mobile=False):
        """Lays the page out on a screen of that size in CSS pixels (a phone's: 375 x 667,
        mobile=True)."""
        self._command("Emulation.setDeviceMetricsOverride",
                      {"width": width, "height": height, "deviceScaleFactor": 1,
                       "mobile": mobile})

    def screenshot(self, path):
        """Writes what the page shows now to path as PNG."""
        import base64
        shot = self._command("Page.captureScreenshot", {"format": "png"})
        with open(path, "wb") as picture:
            picture.write(base64.b64decode(shot["data"]))

    def clear_errors(self):
        """Forgets the errors seen so far."""
        with self._lock:
            self.errors.clear()


def _move_above(fd, lowest):
    """The fd moved to a number at least lowest (the old one closed)."""
    import fcntl
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD, lowest)
    os.close(fd)
    return moved


# ---- the self-check ----

_CHECK_PAGE = """<!doctype html>
<html><head><meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="script-src 'self'">
<script src="/changes.js" defer></script>
<script>document.title = "inline script ran";</script>
<title>check</title></head>
<body><p id="status">waiting</p></body></html>
"""

_CHECK_SCRIPT = """"use strict";
let turns = 0;
const timer = setInterval(function () {
  turns += 1;
  document.getElementById("status").textContent = "changed " + turns;
  if (turns === 3) {
    clearInterval(timer);
    console.error("third change");
  }
}, 100);
"""


def _live_members(group):
    """The processes of the group that still run (a zombie has ended: nothing here reaps
    orphans)."""
    members = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[2]) == group and fields[0] != "Z":
            members.append(int(entry))
    return members


def _check_lost_browser():
    """A browser that dies under the driver makes calls fail at once, and close() still
    ends its group."""
    browser = HeadlessBrowser(timeout=30)
    group = browser._process.pid
    try:
        # The whole group: Debian's command is a shell script that starts the browser.
        os.killpg(group, signal.SIGKILL)
        try:
            browser.evaluate("1")
            browser.wait_for("1")
            raise AssertionError("a call to a dead browser succeeded")
        except BrowserError:
            pass
    finally:
        browser.close()
    browser.close()
    assert not _live_members(group), "a dead browser's children outlived close()"


def _self_check():
    """Serves a page that changes itself and breaks its own policy once, and reads it."""
    folder = tempfile.mkdtemp(prefix="headless-check-")
    server = None
    try:
        with open(os.path.join(folder, "index.html"), "w") as page:
            page.write(_CHECK_PAGE)
        with open(os.path.join(folder, "changes.js"), "w") as script:
            script.write(_CHECK_SCRIPT)
        server = subprocess.Popen(
            [sys.executable, "-u", "-m", "http.server", "--bind", "127.0.0.1", "0"],
            cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        banner = server.stdout.readline()  # "Serving HTTP on 127.0.0.1 port N (...) ..."
        port = int(banner.split(" port ")[1].split()[0])
        with HeadlessBrowser() as browser:
            group = browser._process.pid
            browser.open("http://127.0.0.1:%d/" % port)
            assert browser.wait_for(
                "document.getElementById('status').textContent === 'changed 3'"), "no change"
            assert browser.evaluate("document.title") == "check", "the inline script ran"
            assert browser.evaluate("Promise.resolve(6 * 7)") == 42
            assert browser.wait_for("1") == 1
            try:
                browser.evaluate("no_such_name")
                raise AssertionError("a throwing expression returned")
            except BrowserError:
                pass
            browser.wait_for("true")
            errors = list(browser.errors)
            assert any("third change" in error for error in errors), errors
            assert any("Content Security Policy" in error for error in errors), errors
            try:
                browser.open("http://127.0.0.1:1/", timeout=30)
                raise AssertionError("a refused connection opened")
            except BrowserError:
                pass
        assert not _live_members(group), "the browser's processes outlived close()"
        _check_lost_browser()
        print("self-check passed; the page's errors were:")
        for error in errors:
            print("  " + error)
    finally:
        if server is not None:
            server.kill()
            server.wait()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    if sys.argv[1:] == ["--self-check"]:
        _self_check()
    else:
        print(__doc__)
