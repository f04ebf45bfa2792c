#!/usr/bin/python3
"""An installed or unpacked Pelmar serves its sample trees.

    install_test.py install <build-dir>   cmake --install into a temporary prefix
    install_test.py archive <build-dir>   cpack the tar.gz and unpack it

Either way the copy is started on free loopback ports, a sample file is
fetched over HTTP and the sample FTP root is listed in active mode.
"""

import ftplib
import glob
import os
import shutil
import socket
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest
import urllib.request

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ATTEMPTS = 100  # of 0.05 s each, for the server to come up


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def lay_out(mode, build, scratch):
    """The directory that holds the installed or unpacked pelmar."""
    if mode == "install":
        prefix = os.path.join(scratch, "prefix")
        subprocess.run(["cmake", "--install", build, "--prefix", prefix], check=True,
                       stdout=subprocess.DEVNULL)
        return prefix
    packages = os.path.join(scratch, "packages")
    subprocess.run(["cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-G", "TGZ",
                    "-B", packages],
                   check=True, stdout=subprocess.DEVNULL)
    archives = glob.glob(os.path.join(packages, "pelmar-*-Linux-x86_64.tar.gz"))
    if len(archives) != 1:
        raise RuntimeError(f"expected one pelmar-<version>-Linux-x86_64.tar.gz, found {archives}")
    with tarfile.open(archives[0]) as archive:
        archive.extractall(os.path.join(scratch, "unpacked"))
    name = os.path.basename(archives[0])[: -len(".tar.gz")]
    return os.path.join(scratch, "unpacked", name)


class ServedCopy(unittest.TestCase):
    mode = None
    build = None

    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="pelmar-install-")
        self.addCleanup(shutil.rmtree, self.scratch, ignore_errors=True)
        self.home = lay_out(self.mode, self.build, self.scratch)
        self.www, self.ftp = free_port(), free_port()
        # Under sudo the copy would give root up; it runs as the test does.
        environment = {k: v for k, v in os.environ.items() if k not in ("SUDO_UID", "SUDO_GID")}
        self.console = open(os.path.join(self.scratch, "console.log"), "wb")
        self.addCleanup(self.console.close)
        self.server = subprocess.Popen(
            [os.path.join(self.home, "pelmar"), "/wwwport", str(self.www), "/ftpport", str(self.ftp)],
            stdout=self.console, stderr=subprocess.STDOUT, cwd="/", env=environment)
        self.addCleanup(self.stop)

    def stop(self):
        self.server.kill()
        self.server.wait(timeout=10)

    def console_log(self):
        with open(self.console.name, "rb") as log:
            return log.read().decode("utf-8", "replace")

    def fetch(self, path):
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        for _ in range(ATTEMPTS):
            try:
                with opener.open(f"http://127.0.0.1:{self.www}{path}", timeout=10) as response:
                    return response.read()
            except ConnectionRefusedError:
                time.sleep(0.05)
            except urllib.error.URLError as error:
                if not isinstance(error.reason, ConnectionRefusedError):
                    raise
                time.sleep(0.05)
        self.fail("the server never answered; its console:\n" + self.console_log())

    def test_serves_the_sample_trees(self):
        with open(os.path.join(SOURCE, "sample", "wwwroot", "docs", "notes.txt"), "rb") as sample:
            self.assertEqual(self.fetch("/docs/notes.txt"), sample.read())
        self.assertIn(b"docs", self.fetch("/"))
        client = ftplib.FTP()
        client.connect("127.0.0.1", self.ftp, timeout=10)
        client.login()
        client.set_pasv(False)
        lines = []
        client.retrlines("LIST /pub", lines.append)
        client.close()  # the goodbye line has no reply code, which ftplib's quit() rejects
        self.assertTrue(any(line.endswith(" hello.txt") for line in lines), lines)

    def test_readme_and_manual_are_in_place(self):
        for name in ("README.md", "LICENSE"):
            self.assertTrue(os.path.isfile(os.path.join(self.home, name)), name)
        self.assertTrue(os.path.isfile(os.path.join(self.home, "share/man/man1/pelmar.1")))


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("install", "archive"):
        sys.exit(f"usage: {sys.argv[0]} install|archive <build-dir>")
    ServedCopy.mode, ServedCopy.build = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]], verbosity=2)


if __name__ == "__main__":
    main()
