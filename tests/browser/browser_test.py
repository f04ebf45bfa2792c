#!/usr/bin/python3
"""Pelmar's web side as a real browser sees it: headless Chromium through
Selenium, plus curl and urllib, against a private copy of the built server.

    /usr/bin/python3 tests/browser/browser_test.py <path-to-built-pelmar> \
        [--launcher <program>] [unittest arguments]

With a launcher (tests/windows/wine-run for pelmar.exe) the copy is started
as `<launcher> <copy> <arguments>`, and its sockets are found by port number,
since they belong to the launcher's world rather than to the process.

Needs Debian's chromium, chromium-driver and python3-selenium; a missing one
fails the run with its package name, since CI is meant to have them all.
"""

import ctypes
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import urllib.request
import zlib

try:
    from selenium import webdriver
    from selenium.common.exceptions import StaleElementReferenceException, TimeoutException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError as error:
    webdriver = None
    SELENIUM_MISSING = str(error)

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
# Without these Chromium waits on the network this machine lacks.
CHROMIUM_FLAGS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
]  # fmt: skip
WAIT_SECONDS = 10

# Plain ASCII contents, so that what the browser shows compares byte for byte.
TEXT_FILES = {
    "my file.txt": "contents of my file\n",
    "čeština.txt": "contents of the Czech file\n",
    "a&b<i>.txt": "contents of the ampersand file\n",
    "x #?%'y.txt": "contents of the punctuation file\n",
}
# How the page shows the name with markup characters.
MARKUP_NAME_SHOWN = ">a&amp;b&lt;i&gt;.txt</A>"
# Windows allows no '<', '>' or '?' in a name: for pelmar.exe the names keep
# the marks that it does allow, to be escaped and encoded all the same.
WINDOWS_TEXT_FILES = {
    "my file.txt": "contents of my file\n",
    "čeština.txt": "contents of the Czech file\n",
    "a&b'c.txt": "contents of the ampersand file\n",
    "x #%'y.txt": "contents of the punctuation file\n",
}
WINDOWS_MARKUP_NAME_SHOWN = ">a&amp;b'c.txt</A>"


def root_entries():
    return sorted([".", "..", *TEXT_FILES, "docs", "pixel.png", "page.html"])


server = None  # the one Server of this run, shared by every test


def tiny_png(width=2, height=2):
    """A valid RGB PNG made here, so that the test ships no binary file."""

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    rows = b"".join(b"\x00" + b"\xff\x00\x00" * width for _ in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    chunks = chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")
    return b"\x89PNG\r\n\x1a\n" + chunks


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def die_with_parent():
    """Runs in the child: a test killed on its time-out leaves no server behind."""
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def wait_for(condition, seconds=WAIT_SECONDS):
    """Polls a condition a bounded number of times; True once it holds."""
    for _ in range(int(seconds * 20)):
        if condition():
            return True
        time.sleep(0.05)
    return condition()


class Server:
    """A copy of the binary in a temporary directory with its own trees."""

    def __init__(self, binary, launcher=None):
        self.temp = tempfile.mkdtemp(prefix="pelmar-browser-")
        self.base = os.path.join(self.temp, "server")
        self.launcher = launcher
        www = os.path.join(self.base, "wwwroot")
        os.makedirs(os.path.join(www, "docs"))
        os.makedirs(os.path.join(self.base, "ftproot"))
        # Under its own name: "pelmar", or "pelmar.exe" for a launcher.
        self.executable = os.path.join(self.base, os.path.basename(binary))
        shutil.copy2(binary, self.executable)
        files = {name: text.encode("ascii") for name, text in TEXT_FILES.items()}
        files["docs/inner.txt"] = b"contents of the inner file\n"
        files["pixel.png"] = tiny_png()
        files["page.html"] = b'<html><body><img id="p" src="pixel.png"></body></html>\n'
        for name, content in files.items():
            # A bytes path keeps the UTF-8 name whatever the locale says.
            with open(os.path.join(www, name).encode("utf-8"), "wb") as out:
                out.write(content)
        self.log_path = os.path.join(self.temp, "console.log")
        self.process = None
        self.port = None

    def start(self):
        for _ in range(3):
            # Another program may take a probed port before the server binds it.
            www, ftp = free_port(), free_port()
            if www != ftp and self._start_on(www, ftp):
                self.port = www
                return
        raise RuntimeError("the server did not come up on free ports")

    def _start_on(self, www, ftp):
        self.stop()
        with open(self.log_path, "ab") as log:
            command = [self.executable, "/wwwport", str(www), "/ftpport", str(ftp)]
            self.process = subprocess.Popen(
                [self.launcher, *command] if self.launcher else command,
                stdin=subprocess.DEVNULL,
                stdout=log,
                stderr=subprocess.STDOUT,
                cwd="/",  # the base directory must come from the executable
                # Under sudo the server would give root up and lose its trees.
                env={k: v for k, v in os.environ.items() if k not in ("SUDO_UID", "SUDO_GID")},
                preexec_fn=die_with_parent,
            )
        # Starting Wine may take seconds where a native server takes milliseconds.
        seconds = 3 * WAIT_SECONDS if self.launcher else WAIT_SECONDS
        ports = {www, ftp}
        wait_for(lambda: self.process.poll() is not None or self._listens_on(ports), seconds)
        return self.process.poll() is None and self._listens_on(ports)

    def _listens_on(self, ports):
        """True when the server listens on the ports, read from /proc so that
        no probing connection reaches the server or its log: sockets this
        very process owns, or under a launcher (whose sockets belong to
        Wine's server) any listening on those ports while it runs."""
        owned = None
        if not self.launcher:
            fds = f"/proc/{self.process.pid}/fd"
            try:
                links = [os.readlink(f"{fds}/{fd}") for fd in os.listdir(fds)]
            except OSError:
                return False
            owned = {link[8:-1] for link in links if link.startswith("socket:[")}
        found = set()
        for table in ("/proc/net/tcp", "/proc/net/tcp6"):
            with open(table) as lines:
                for fields in (line.split() for line in list(lines)[1:]):
                    if fields[3] == "0A" and (owned is None or fields[9] in owned):  # 0A: LISTEN
                        found.add(int(fields[1].rsplit(":", 1)[1], 16))
        return ports <= found

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            if self.launcher:
                self.process.kill()  # Wine ends a program at once only on SIGKILL
            else:
                self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)
        self.process = None

    def log(self):
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as log:
                return log.read()
        except OSError:
            return "(no console log)"

    def url(self, path="/"):
        return f"http://127.0.0.1:{self.port}{path}"

    def remove(self):
        self.stop()
        shutil.rmtree(self.temp, ignore_errors=True)


def fetch(path):
    """The status, content type and text of a page, read by urllib. No proxy
    from the environment may stand between the test and loopback."""
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    with opener.open(server.url(path), timeout=WAIT_SECONDS) as response:
        body = response.read().decode("utf-8")
        return response.status, response.headers["Content-Type"], body


class PlainClientTest(unittest.TestCase):
    """A directory page must be a proper HTTP response to ordinary clients."""

    def test_curl_reads_the_root_page(self):
        if shutil.which("curl") is None:
            self.fail("curl is missing: install the Debian package curl")
        done = subprocess.run(
            ["curl", "-sS", "--noproxy", "*", "--max-time", str(WAIT_SECONDS), server.url()],
            capture_output=True,
            timeout=WAIT_SECONDS + 10,
        )
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertTrue(done.stdout.startswith(b"<HTML><TABLE>"), done.stdout[:200])
        self.assertTrue(done.stdout.endswith(b"</TABLE></HTML>"), done.stdout[-200:])

    def test_urllib_reads_the_root_page(self):
        status, content_type, body = fetch("/")
        self.assertEqual(status, 200)
        self.assertEqual(content_type, "text/html; charset=utf-8")
        row = '<TR><TD align=right>20</TD><TD><A href="\\my%20file.txt">my file.txt</A></TD></TR>\n'
        self.assertIn(row, body)
        self.assertRegex(body, r'<TD align=right>Adresar</TD><TD><A href="\\docs\\?">docs</A>')
        self.assertIn(MARKUP_NAME_SHOWN, body)

    def test_urllib_reads_a_subdirectory_page(self):
        body = fetch("/docs/")[2]
        self.assertIn('<A href="\\docs\\inner.txt">inner.txt</A>', body)
        self.assertIn('<A href="\\">..</A>', body)


class ChromiumTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for path, package in ((CHROMIUM, "chromium"), (CHROMEDRIVER, "chromium-driver")):
            if not os.access(path, os.X_OK):
                raise RuntimeError(f"{path} is missing: install the Debian package {package}")
        if webdriver is None:
            raise RuntimeError(
                f"selenium cannot be imported ({SELENIUM_MISSING}): install the Debian package "
                "python3-selenium and run this with /usr/bin/python3"
            )
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in CHROMIUM_FLAGS:
            options.add_argument(flag)
        profile = tempfile.mkdtemp(prefix="chromium-profile-", dir=server.temp)
        options.add_argument(f"--user-data-dir={profile}")
        service = Service(
            executable_path=CHROMEDRIVER,
            service_args=["--log-level=WARNING"],
            log_path=os.path.join(server.temp, "chromedriver.log"),
        )
        cls.driver = webdriver.Chrome(service=service, options=options)
        cls.addClassCleanup(cls.driver.quit)
        cls.driver.set_page_load_timeout(3 * WAIT_SECONDS)

    def wait(self, condition, message):
        # A page that is being replaced may drop the elements a check reads.
        waiting = WebDriverWait(
            self.driver, WAIT_SECONDS, ignored_exceptions=[StaleElementReferenceException]
        )
        try:
            return waiting.until(condition)
        except TimeoutException:
            # Chromium's own error page names the cause, such as a bad response.
            shown = self.driver.execute_script("return document.body.innerText")
            self.fail(f"{message} at {self.driver.current_url}; the browser shows: {shown[:400]!r}")

    def path(self):
        return urllib.parse.urlsplit(self.driver.current_url).path

    def link_texts(self):
        return [link.text for link in self.driver.find_elements(By.CSS_SELECTOR, "table a")]

    def open_listing(self, path, entry):
        self.driver.get(server.url(path))
        self.wait(lambda d: entry in self.link_texts(), f"the listing of {path} did not show")

    def test_root_lists_every_entry(self):
        self.open_listing("/", "docs")
        self.assertEqual(sorted(self.link_texts()), root_entries())
        self.assertEqual(self.driver.find_elements(By.TAG_NAME, "i"), [])

    def test_each_file_link_fetches_that_file(self):
        self.open_listing("/", "docs")  # fails once here, not once for every file
        for name, text in TEXT_FILES.items():
            with self.subTest(name=name):
                if self.path() != "/":
                    self.open_listing("/", "docs")
                self.driver.find_element(By.LINK_TEXT, name).click()
                self.wait(lambda d: self.path() != "/", f"clicking {name!r} did not navigate")
                self.assertEqual(urllib.parse.unquote(self.path()), "/" + name)
                # A text/plain document is shown as one <pre> holding the text.
                shown = self.driver.execute_script(
                    "const pre = document.querySelector('body > pre');"
                    "return pre ? pre.textContent : document.body.textContent;"
                )
                self.assertEqual(shown, text)

    def test_parent_link_of_a_subdirectory_leads_to_the_root(self):
        self.open_listing("/docs/", "inner.txt")
        self.driver.find_element(By.LINK_TEXT, "..").click()
        self.wait(lambda d: self.path() == "/", "clicking '..' did not lead to /")
        self.wait(lambda d: "docs" in self.link_texts(), "the root listing did not show")
        self.assertEqual(sorted(self.link_texts()), root_entries())

    def test_page_shows_its_image(self):
        self.driver.get(server.url("/page.html"))
        image = "document.getElementById('p')"
        self.wait(lambda d: d.execute_script(f"return {image}.complete"), "no image loaded")
        self.assertEqual(self.driver.execute_script(f"return {image}.naturalWidth"), 2)


def main():
    global server, TEXT_FILES, MARKUP_NAME_SHOWN
    if len(sys.argv) < 2:
        sys.exit(
            f"usage: {sys.argv[0]} <path-to-built-pelmar> [--launcher <program>] "
            "[unittest arguments]"
        )
    binary, rest, launcher = sys.argv[1], sys.argv[2:], None
    if rest[:1] == ["--launcher"] and len(rest) >= 2:
        launcher, rest = rest[1], rest[2:]
    if binary.lower().endswith(".exe"):
        TEXT_FILES, MARKUP_NAME_SHOWN = WINDOWS_TEXT_FILES, WINDOWS_MARKUP_NAME_SHOWN
    # A polite stop (ctest, Ctrl+C) still runs the clean-up below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    server = Server(binary, launcher)
    passed = False
    try:
        server.start()
        program = unittest.main(argv=[sys.argv[0], *rest], exit=False, verbosity=2)
        passed = program.result.wasSuccessful()
    finally:
        server.stop()
        if not passed:
            print("---- server console log ----\n" + server.log(), file=sys.stderr)
            driver_log = os.path.join(server.temp, "chromedriver.log")
            if os.path.exists(driver_log):
                with open(driver_log, errors="replace") as log:
                    print("---- chromedriver warnings ----\n" + log.read(), file=sys.stderr)
        server.remove()
    sys.exit(0 if passed else 1)


if __name__ == "__main__":
    main()
