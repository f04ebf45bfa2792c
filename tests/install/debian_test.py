#!/usr/bin/python3
"""The Debian package, unpacked with dpkg-deb into a temporary directory only:
its layout and links, lintian, the service unit (verified, its exposure
score), and the server it holds, started from a copy with the samples beside
it, plain and as the unit confines it.

    debian_test.py <build-dir>
"""

import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from install_test import ATTEMPTS, free_port

# systemd-analyze security's exposure, in tenths, that the unit may not pass.
EXPOSURE_LIMIT = 13
UNIT = "usr/lib/systemd/system/pelmar.service"
# Where systemd takes the users of DynamicUser= from.
DYNAMIC_UIDS = range(61184, 65520)


def run(command, **options):
    return subprocess.run(command, capture_output=True, text=True, **options)


class DebianPackage(unittest.TestCase):
    build = None

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="pelmar-deb-")
        packages = os.path.join(cls.scratch, "packages")
        made = run(["cpack", "--config", os.path.join(cls.build, "CPackConfig.cmake"),
                    "-G", "DEB", "-B", packages])
        if made.returncode != 0:
            raise RuntimeError("cpack -G DEB failed:\n" + made.stdout + made.stderr)
        names = [name for name in os.listdir(packages) if name.endswith(".deb")]
        if len(names) != 1 or not re.fullmatch(r"pelmar_\d+\.\d+\.\d+_amd64\.deb", names[0]):
            raise RuntimeError(f"expected one pelmar_<version>_amd64.deb, found {names}")
        cls.deb = os.path.join(packages, names[0])
        cls.root = os.path.join(cls.scratch, "root")
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def in_root(self, path):
        return os.path.join(self.root, path)

    def test_layout_and_links(self):
        links = {
            "usr/bin/pelmar": "../lib/pelmar/pelmar",
            "usr/lib/pelmar/wwwroot": "/var/lib/pelmar/wwwroot",
            "usr/lib/pelmar/ftproot": "/var/lib/pelmar/ftproot",
        }
        for link, target in links.items():
            self.assertEqual(os.readlink(self.in_root(link)), target, link)
        self.assertTrue(os.access(self.in_root("usr/lib/pelmar/pelmar"), os.X_OK))
        for path in ("usr/share/pelmar/wwwroot/index.html", "usr/share/pelmar/ftproot/pub/hello.txt",
                     "usr/share/man/man1/pelmar.1.gz", "usr/share/doc/pelmar/copyright",
                     "usr/share/doc/pelmar/changelog.gz", UNIT):
            self.assertTrue(os.path.isfile(self.in_root(path)), path)
        # The operator's trees are made by the first install, never shipped.
        self.assertFalse(os.path.lexists(self.in_root("var")))
        self.assertFalse(os.path.lexists(self.in_root("opt")))
        fields = run(["dpkg-deb", "-f", self.deb]).stdout
        for field in ("Maintainer", "Section", "Priority", "Description"):
            self.assertRegex(fields, rf"(?m)^{field}: \S", field)
        self.assertRegex(fields, r"(?m)^Depends: libc6 \(>= [\d.]+\)$")
        version = run(["dpkg-deb", "-f", self.deb, "Version"]).stdout.strip()
        with gzip.open(self.in_root("usr/share/doc/pelmar/changelog.gz"), "rt") as changelog:
            self.assertTrue(changelog.readline().startswith(f"pelmar ({version}) "),
                            "the changelog's newest entry is for another version")

    def test_lintian_finds_no_error_or_warning(self):
        checked = run(["lintian", "--fail-on", "error,warning", self.deb])
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)

    def test_unit_verifies_and_keeps_its_exposure(self):
        # verify needs the targets the unit is ordered after, and man to find
        # the page its Documentation= names: the host's, in the scratch root.
        units = self.in_root(os.path.dirname(UNIT))
        for name in os.listdir("/usr/lib/systemd/system"):
            if name.endswith(".target"):
                shutil.copy("/usr/lib/systemd/system/" + name, units)
        environment = dict(os.environ, MANPATH=self.in_root("usr/share/man"))
        verified = run(["systemd-analyze", "verify", "--root=" + self.root, "pelmar.service"],
                       env=environment)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        self.assertEqual(verified.stdout + verified.stderr, "")
        scored = run(["systemd-analyze", "security", "--offline=true", "--root=" + self.root,
                      f"--threshold={EXPOSURE_LIMIT}", "pelmar.service"])
        self.assertEqual(scored.returncode, 0, scored.stdout[-400:] + scored.stderr)

    def copy_to_serve(self):
        """The unpacked executable with the shipped samples beside it."""
        home = tempfile.mkdtemp(prefix="pelmar-deb-run-")
        self.addCleanup(shutil.rmtree, home, ignore_errors=True)
        shutil.copy(self.in_root("usr/lib/pelmar/pelmar"), home)
        for tree in ("wwwroot", "ftproot"):
            shutil.copytree(self.in_root("usr/share/pelmar/" + tree), os.path.join(home, tree))
        return home

    def start(self, command, console):
        server = subprocess.Popen(command, stdout=console, stderr=subprocess.STDOUT, cwd="/")
        self.addCleanup(server.wait, timeout=10)
        self.addCleanup(server.kill)
        return server

    def wait_for_console(self, console, text):
        for _ in range(2 * ATTEMPTS):
            with open(console, "rb") as log:
                shown = log.read().decode("utf-8", "replace")
            if text in shown:
                return shown
            time.sleep(0.05)
        self.fail(f"no {text!r} on the console:\n{shown}")

    def fetch_both(self, www, ftp, enter=()):
        """A sample file by HTTP and the FTP sample listing, by curl."""
        page = run([*enter, "curl", "-sS", "--noproxy", "*", f"http://127.0.0.1:{www}/docs/notes.txt"])
        self.assertEqual(page.stdout, "A plain text file.\n", page.stderr)
        listing = run([*enter, "curl", "-sS", "-P", "127.0.0.1", "--disable-eprt",
                       f"ftp://127.0.0.1:{ftp}/pub/"])
        self.assertRegex(listing.stdout, r"(?m) hello\.txt\r?$", listing.stderr)

    def test_unpacked_server_serves(self):
        home = self.copy_to_serve()
        www, ftp = free_port(), free_port()
        console = os.path.join(home, "console.log")
        with open(console, "wb") as log:
            self.start([os.path.join(home, "pelmar"), "/wwwport", str(www), "/ftpport", str(ftp)], log)
        self.wait_for_console(console, f"FTPport : {ftp}")
        self.assertIn(f"Basepath: {os.path.realpath(home)}/\n", self.wait_for_console(console, "Basepath"))
        self.fetch_both(www, ftp)

    def system_call_group(self, name):
        """The calls that systemd-analyze lists in a group, nested ones too."""
        if not name.startswith("@"):
            return {name}
        listed = run(["systemd-analyze", "syscall-filter", name]).stdout.splitlines()[1:]
        members = [line.strip() for line in listed if line.strip()[:1] not in ("", "#")]
        return set().union(*(self.system_call_group(member) for member in members))

    def test_system_calls_stay_within_the_units_filter(self):
        with open(self.in_root(UNIT)) as unit:
            filters = re.findall(r"(?m)^SystemCallFilter=(.*)$", unit.read())
        allowed = set()
        for line in filters:
            named = set().union(*(self.system_call_group(n) for n in line.lstrip("~").split()))
            allowed = allowed - named if line.startswith("~") else allowed | named
        home = self.copy_to_serve()
        with open(os.path.join(home, "wwwroot", "large.bin"), "wb") as large:
            large.truncate(8 << 20)  # sent by the kernel's file-to-socket copy
        www, ftp = free_port(), free_port()
        console, trace = os.path.join(home, "console.log"), os.path.join(home, "trace")
        with open(console, "wb") as log:
            tracer = self.start(["strace", "-f", "-qq", "-o", trace, os.path.join(home, "pelmar"),
                                 "/wwwport", str(www), "/ftpport", str(ftp)], log)
        self.wait_for_console(console, f"FTPport : {ftp}")
        # A traced server would outlive strace's kill: it is ended itself,
        # while strace, which lives as long as it does, still runs.
        with open(f"/proc/{tracer.pid}/task/{tracer.pid}/children") as children:
            traced = int(children.read().split()[0])
        self.addCleanup(lambda: tracer.poll() is None and os.kill(traced, 9))
        self.fetch_both(www, ftp)
        for path in ("/", "/missing", "/large.bin"):
            run(["curl", "-sS", "-o", "/dev/null", "--noproxy", "*", f"http://127.0.0.1:{www}{path}"])
        run(["curl", "-sS", "-o", "/dev/null", "-P", "127.0.0.1", "--disable-eprt",
             f"ftp://127.0.0.1:{ftp}/pub/hello.txt"])
        # A stop, as systemctl's, ends the traced server and with it strace.
        os.kill(traced, 15)
        tracer.wait(timeout=10)
        with open(trace) as traced:
            used = set(re.findall(r"(?m)^\d+\s+([a-z0-9_]+)\(", traced.read()))
        self.assertIn("sendfile", used)
        self.assertEqual(used - allowed, set(), "calls the unit's filter would refuse")

    def confinement(self):
        """setpriv's switches for the user, the capabilities and the limits
        that the unit sets, and its ExecStart."""
        with open(self.in_root(UNIT)) as unit:
            settings = dict(re.findall(r"(?m)^(\w+)=(.*)$", unit.read()))
        self.assertEqual(settings["DynamicUser"], "yes")
        uid = next(uid for uid in DYNAMIC_UIDS if not run(["getent", "passwd", str(uid)]).stdout)
        switches = [f"--reuid={uid}", f"--regid={uid}", "--clear-groups"]
        capabilities = ",".join("+" + name.lower()[4:] for name in settings["AmbientCapabilities"].split())
        self.assertEqual(settings["CapabilityBoundingSet"], settings["AmbientCapabilities"])
        switches += [f"--inh-caps=-all,{capabilities}", f"--ambient-caps=-all,{capabilities}",
                     f"--bounding-set=-all,{capabilities}"]
        self.assertEqual(settings["NoNewPrivileges"], "yes")
        switches.append("--no-new-privs")
        self.assertEqual(settings["SecureBits"], "noroot-locked")
        switches.append("--securebits=+noroot,+noroot_locked")
        return switches, settings["ExecStart"].split()

    @unittest.skipUnless(os.geteuid() == 0, "needs root for a network namespace of its own")
    def test_confined_as_the_unit_says_it_binds_80_and_21_and_serves(self):
        switches, command = self.confinement()
        self.assertEqual(command, ["/usr/lib/pelmar/pelmar"], "the unit serves on the defaults")
        home = self.copy_to_serve()
        # The dynamic user reads the trees as others do.
        run(["chmod", "-R", "a+rX", home])
        os.chmod(home, 0o755)
        console = os.path.join(home, "console.log")
        inside = f"ip link set lo up && exec setpriv {' '.join(switches)} {home}/pelmar"
        with open(console, "wb") as log:
            server = self.start(["unshare", "-n", "sh", "-c", inside], log)
        self.wait_for_console(console, "FTPport : 21")
        with open(f"/proc/{server.pid}/status") as status:
            shown = status.read()
        self.assertRegex(shown, rf"(?m)^Uid:\t{switches[0][8:]}\t")
        self.assertRegex(shown, r"(?m)^CapEff:\t0*400$")  # CAP_NET_BIND_SERVICE alone
        self.assertRegex(shown, r"(?m)^NoNewPrivs:\t1$")
        self.assertIn("WWWport : 80\n", self.wait_for_console(console, "WWWport"))
        self.fetch_both(80, 21, enter=["nsenter", f"--net=/proc/{server.pid}/ns/net"])


def main():
    if len(sys.argv) != 2:
        sys.exit(f"usage: {sys.argv[0]} <build-dir>")
    DebianPackage.build = sys.argv[1]
    unittest.main(argv=[sys.argv[0]], verbosity=2)


if __name__ == "__main__":
    main()
