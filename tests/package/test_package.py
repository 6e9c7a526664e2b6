"""The Debian package and the install rules, checked on what they produce:
the package's file list and dependencies, the packaged program's self-test,
the packaged man page against the program's own --help, and an install under
another prefix. (test_service_unit.py checks the unit itself.)"""

import os
import re
import subprocess
import tempfile
import unittest

BUILD = os.environ.get("QVN_BUILD_DIR", "")
SOURCE = os.environ.get("QVN_SOURCE_DIR", "")
CMAKE = os.environ.get("CMAKE", "cmake")
CPACK = os.environ.get("CPACK", "cpack")
UNIT = "usr/lib/systemd/system/qvncpu.service"
PACKAGED_FILES = {"usr/bin/qvncpu", "usr/share/man/man1/qvncpu.1.gz", UNIT, "etc/default/qvncpu"}


def run(*args, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=300, **kw)


def project_version():
    with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
        return re.search(r"project\(qvncpu VERSION (\S+)", f.read()).group(1)


def unit_setting(text, key):
    return re.search(r"^%s=(\S+)" % key, text, re.M).group(1)


class Package(unittest.TestCase):
    """One package, built once into a temporary folder and extracted there."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="qvn-package-")
        out = run(CPACK, "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"),
                  "-B", cls.tmp.name)
        if out.returncode != 0:
            raise AssertionError("cpack failed:\n" + out.stdout + out.stderr)
        cls.debs = [n for n in os.listdir(cls.tmp.name) if n.endswith(".deb")]
        cls.deb = os.path.join(cls.tmp.name, cls.debs[0]) if cls.debs else ""
        cls.root = os.path.join(cls.tmp.name, "root")
        run("dpkg-deb", "-x", cls.deb, cls.root).check_returncode()

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.root, name)

    def test_name_contents_and_dependencies(self):
        self.assertEqual(self.debs, ["qvncpu_%s_amd64.deb" % project_version()])
        listing = run("dpkg-deb", "-c", self.deb).stdout.splitlines()
        files = {line.split()[-1].lstrip("./") for line in listing if not line.startswith("d")}
        self.assertEqual(files, PACKAGED_FILES)
        # Computed by dpkg-shlibdeps, so apt brings libcurl along.
        depends = run("dpkg-deb", "-f", self.deb, "Depends").stdout
        self.assertRegex(depends, r"\blibcurl4\b")
        # An upgrade keeps the administrator's edits to the options file.
        self.assertEqual(run("dpkg-deb", "-I", self.deb, "conffiles").stdout.split(),
                         ["/etc/default/qvncpu"])
        # The unit starts the packaged program with the packaged options file.
        with open(self.path(UNIT)) as f:
            unit = f.read()
        self.assertEqual(unit_setting(unit, "ExecStart"), "/usr/bin/qvncpu")
        self.assertEqual(unit_setting(unit, "EnvironmentFile"), "/etc/default/qvncpu")
        self.assertNotIn("@", unit)

    def test_packaged_program_passes_its_selftest(self):
        out = run(self.path("usr/bin/qvncpu"), "--selftest")
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertTrue(out.stdout.startswith("selftest ok ("), out.stdout)

    def test_man_page_holds_every_option_line_of_the_usage_text(self):
        usage = run(self.path("usr/bin/qvncpu"), "--help").stdout
        # Option and description; the page may break the line between them.
        options = [line for line in usage.splitlines() if line.startswith("  -")]
        self.assertGreater(len(options), 20)
        page = run("man", "-l", self.path("usr/share/man/man1/qvncpu.1.gz"),
                   env=dict(os.environ, LC_ALL="C", MANWIDTH="250"))
        self.assertEqual(page.returncode, 0, page.stderr)
        text = " ".join(page.stdout.split())
        for line in options:
            with self.subTest(line):
                self.assertIn(" ".join(line.split()), text)


class InstallRules(unittest.TestCase):
    def test_install_follows_the_prefix(self):
        with tempfile.TemporaryDirectory(prefix="qvn-install-") as destdir:
            out = run(CMAKE, "--install", BUILD, "--prefix", "/opt/qvn",
                      env=dict(os.environ, DESTDIR=destdir))
            self.assertEqual(out.returncode, 0, out.stderr)
            files = {os.path.relpath(os.path.join(d, n), destdir)
                     for d, _, names in os.walk(destdir) for n in names}
            self.assertEqual(files, {"opt/qvn/bin/qvncpu", "opt/qvn/share/man/man1/qvncpu.1.gz",
                                     "opt/qvn/lib/systemd/system/qvncpu.service",
                                     "opt/qvn/etc/default/qvncpu"})
            with open(os.path.join(destdir, "opt/qvn/lib/systemd/system/qvncpu.service")) as f:
                unit = f.read()
            self.assertEqual(unit_setting(unit, "ExecStart"), "/opt/qvn/bin/qvncpu")
            self.assertEqual(unit_setting(unit, "EnvironmentFile"), "/opt/qvn/etc/default/qvncpu")


if __name__ == "__main__":
    unittest.main()
