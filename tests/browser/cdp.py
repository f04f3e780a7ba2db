"""A headless Chromium driven over its DevTools pipe, with Python's standard library alone.

Chromium reads commands from file descriptor 3 and writes replies and events to 4, one JSON
message each, ended by a NUL byte. Nothing is downloaded: the browser is Debian's `chromium`.
Every wait has a deadline; the browser and its profile folder go away on close().
"""
import base64
import fcntl
import json
import os
import queue
import shutil
import subprocess
import tempfile
import threading
import time

FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
         "--disable-component-update", "--disable-sync", "--no-first-run", "--disable-extensions",
         "--disable-dev-shm-usage", "--remote-debugging-pipe"]


class CdpError(Exception):
    pass


def find_chromium():
    return shutil.which("chromium") or shutil.which("chromium-browser")


class Browser:
    def __init__(self, chromium, timeout=60):
        self.timeout = timeout
        self.profile = tempfile.mkdtemp(prefix="orvane-chromium-")
        to_browser = os.pipe()
        from_browser = os.pipe()
        # Numbers above 4, so that moving them onto 3 and 4 in the child clobbers neither; dup2
        # leaves the copies inheritable, and Python's own descriptors close on exec.
        to_read = fcntl.fcntl(to_browser[0], fcntl.F_DUPFD_CLOEXEC, 10)
        from_write = fcntl.fcntl(from_browser[1], fcntl.F_DUPFD_CLOEXEC, 10)

        def onto_3_and_4():
            os.dup2(to_read, 3)
            os.dup2(from_write, 4)

        self.process = subprocess.Popen(
            [chromium] + FLAGS + ["--user-data-dir=" + self.profile, "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=onto_3_and_4, close_fds=False)
        for fd in (to_browser[0], from_browser[1], to_read, from_write):
            os.close(fd)
        self.writer = os.fdopen(to_browser[1], "wb", buffering=0)
        self.reader = os.fdopen(from_browser[0], "rb", buffering=0)
        self.messages = queue.Queue()
        self.events = []
        self.next_id = 0
        threading.Thread(target=self._read, daemon=True).start()
        target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        self.page("Page.enable")
        self.page("Runtime.enable")

    def _read(self):
        pending = b""
        while True:
            chunk = self.reader.read(65536)
            if not chunk:
                self.messages.put(None)
                return
            pending += chunk
            while b"\0" in pending:
                message, pending = pending.split(b"\0", 1)
                self.messages.put(json.loads(message))

    def _next(self, deadline):
        left = deadline - time.monotonic()
        if left <= 0:
            raise CdpError("the browser did not answer in time")
        try:
            message = self.messages.get(timeout=left)
        except queue.Empty:
            raise CdpError("the browser did not answer in time")
        if message is None:
            raise CdpError("the browser closed its pipe")
        return message

    def call(self, method, params=None, session=None):
        self.next_id += 1
        request = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            request["sessionId"] = session
        self.writer.write(json.dumps(request).encode() + b"\0")
        deadline = time.monotonic() + self.timeout
        while True:
            message = self._next(deadline)
            if message.get("id") == self.next_id:
                if "error" in message:
                    raise CdpError(f"{method}: {message['error']}")
                return message.get("result", {})
            if "method" in message:
                self.events.append(message)

    def page(self, method, params=None):
        return self.call(method, params, self.session)

    def wait_for_event(self, method, since=0):
        deadline = time.monotonic() + self.timeout
        while True:
            for event in self.events[since:]:
                if event["method"] == method:
                    return event
            since = len(self.events)
            message = self._next(deadline)
            if "method" in message:
                self.events.append(message)

    def open(self, url):
        mark = len(self.events)
        self.page("Page.navigate", {"url": url})
        self.wait_for_event("Page.loadEventFired", mark)

    def evaluate(self, expression):
        """The value of a JavaScript expression (a promise is awaited), as JSON gives it back."""
        result = self.page("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True})
        if "exceptionDetails" in result:
            raise CdpError(f"{expression[:80]}...: {result['exceptionDetails']}")
        return result["result"].get("value")

    def screenshot(self, path, width=1280, height=900):
        self.page("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})
        data = self.page("Page.captureScreenshot", {"format": "png"})["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def close(self):
        try:
            self.call("Browser.close")
        except (CdpError, OSError):
            pass
        try:
            self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(timeout=20)
        for f in (self.writer, self.reader):
            try:
                f.close()
            except OSError:
                pass
        shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
