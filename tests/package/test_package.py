"""The Debian packages qvncpu and qvncpu-avx512, built once with `make deb` and
judged on what they hold: lintian, the file list and control fields, the
maintainer scripts, the binary's hardening, the unit's security score, the
packaged program's self-test and man page. Then the processor check that
guards qvncpu-avx512, and an install under another prefix. (test_service_unit.py
checks the unit itself.)"""

import gzip
import os
import re
import shutil
import subprocess
import tempfile
import unittest

BUILD = os.environ.get("QVN_BUILD_DIR", "")
SOURCE = os.environ.get("QVN_SOURCE_DIR", "")
CMAKE = os.environ.get("CMAKE", "cmake")
CAN_RUN_AVX512 = os.path.join(SOURCE, "scripts/can-run-avx512")
UNIT = "lib/systemd/system/qvncpu.service"
MAN_PAGE = "usr/share/man/man1/qvncpu.1.gz"
PACKAGES = ("qvncpu", "qvncpu-avx512")


def run(*args, timeout=300, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=timeout, **kw)


def project_version():
    with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
        return re.search(r"project\(qvncpu VERSION (\S+)", f.read()).group(1)


def unit_setting(text, key):
    return re.search(r"^%s=(\S+)" % key, text, re.M).group(1)


def read(path):
    with open(path) as f:
        return f.read()


class Packages(unittest.TestCase):
    """Both packages, built into a temporary folder and unpacked there."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="qvn-package-")
        out = run("make", "-C", SOURCE, "deb", "BUILD=" + cls.tmp.name, "JOBS=2",
                  "DEB_BUILD_OPTIONS=noautodbgsym", timeout=800)
        if out.returncode != 0:
            raise AssertionError("make deb failed:\n" + out.stdout[-4000:] + out.stderr[-4000:])
        cls.debs = {p: os.path.join(cls.tmp.name, "%s_%s_amd64.deb" % (p, project_version()))
                    for p in PACKAGES}
        for package, deb in cls.debs.items():
            run("dpkg-deb", "-R", deb, cls.path(package)).check_returncode()

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    @classmethod
    def path(cls, package, name=""):
        return os.path.join(cls.tmp.name, "root-" + package, name)

    def test_lintian_is_clean(self):
        out = run("lintian", "--fail-on", "error,warning", *self.debs.values())
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)

    def test_files_control_fields_and_unit(self):
        version = project_version()
        for package, deb in self.debs.items():
            with self.subTest(package):
                listing = run("dpkg-deb", "-c", deb).stdout.splitlines()
                files = {line.split()[-1][2:] for line in listing if not line.startswith("d")}
                doc = "usr/share/doc/%s/" % package
                self.assertEqual(files, {"usr/bin/qvncpu", MAN_PAGE, UNIT, "etc/default/qvncpu",
                                         doc + "copyright", doc + "changelog.gz",
                                         "usr/share/lintian/overrides/" + package})
                fields = {f: run("dpkg-deb", "-f", deb, f).stdout.strip()
                          for f in ("Provides", "Conflicts", "Replaces", "Depends")}
                # Computed by dpkg-shlibdeps, so apt brings libcurl along.
                self.assertRegex(fields.pop("Depends"), r"\blibcurl4\b")
                takes_over = package != "qvncpu"
                self.assertEqual(fields, {
                    "Provides": "qvncpu (= %s)" % version if takes_over else "",
                    "Conflicts": "qvncpu" if takes_over else "",
                    "Replaces": "qvncpu" if takes_over else ""})
                self.assertEqual(read(self.path(package, "DEBIAN/conffiles")).split(),
                                 ["/etc/default/qvncpu"])
                unit = read(self.path(package, UNIT))
                self.assertEqual(unit_setting(unit, "ExecStart"), "/usr/bin/qvncpu")
                self.assertEqual(unit_setting(unit, "EnvironmentFile"), "/etc/default/qvncpu")
                self.assertIn("EnvironmentFile=-/etc/default/qvncpu-extranonce\n", unit)
                self.assertNotRegex(unit, "@[A-Z_]+@")

    def test_maintainer_scripts_handle_the_service(self):
        unit = "'qvncpu.service'"
        rows = [  # script, text, whether it is there
            ("postinst", "deb-systemd-helper debian-installed " + unit, True),  # never enabled here
            ("postinst", "deb-systemd-invoke start", False),  # not started at install
            ("postinst", "deb-systemd-invoke restart", False),
            ("postinst", "deb-systemd-invoke try-restart " + unit, True),  # only if running
            ("postinst", "systemctl --system daemon-reload", True),
            ("prerm", 'if [ -z "${DPKG_ROOT:-}" ] && [ "$1" = remove ] && '
                      '[ -d /run/systemd/system ]; then\n'
                      "    deb-systemd-invoke stop qvncpu.service", True),
            ("postrm", "systemctl --system daemon-reload", True),
            ("postrm", "deb-systemd-helper purge " + unit, True),
        ]
        for package in PACKAGES:
            for script, text, present in rows:
                with self.subTest(package=package, script=script, text=text):
                    body = read(self.path(package, "DEBIAN/" + script))
                    self.assertEqual(text in body, present)

    def test_avx512_build_installs_only_where_it_runs(self):
        verdict = run(CAN_RUN_AVX512)
        out = run("sh", self.path("qvncpu-avx512", "DEBIAN/preinst"), "install")
        self.assertEqual(out.returncode, verdict.returncode, out.stderr)
        if verdict.returncode != 0:
            self.assertEqual(out.stderr, "qvncpu-avx512 cannot run here: %s.\nInstall the package "
                             "qvncpu instead, the build for every processor with AVX2.\n"
                             % verdict.stdout.strip())

    def test_binary_is_hardened(self):
        for package in PACKAGES:
            with self.subTest(package):
                out = run("hardening-check", self.path(package, "usr/bin/qvncpu")).stdout
                for fact in ("Position Independent Executable", "Stack protected",
                             "Fortify Source functions", "Read-only relocations",
                             "Immediate binding"):
                    self.assertRegex(out, r"\n %s: yes" % fact)

    def test_unit_security_score(self):
        if shutil.which("systemd-analyze") is None:
            self.skipTest("systemd-analyze is not installed")
        for package in PACKAGES:
            with self.subTest(package):
                out = run("systemd-analyze", "security", "--offline=true", "--threshold=20",
                          self.path(package, UNIT))
                self.assertEqual(out.returncode, 0, out.stdout[-300:] + out.stderr)

    def test_packaged_program_passes_its_selftest(self):
        for package in PACKAGES:
            with self.subTest(package):
                if package == "qvncpu-avx512" and run(CAN_RUN_AVX512).returncode != 0:
                    self.skipTest("this processor cannot run the AVX-512 build")
                out = run(self.path(package, "usr/bin/qvncpu"), "--selftest")
                self.assertEqual(out.returncode, 0, out.stderr)
                self.assertTrue(out.stdout.startswith("selftest ok ("), out.stdout)

    def test_man_page_holds_every_option_line_of_the_usage_text(self):
        usage = run(self.path("qvncpu", "usr/bin/qvncpu"), "--help").stdout
        # Option and description; the page may break the line between them.
        options = [line for line in usage.splitlines() if line.startswith("  -")]
        self.assertGreater(len(options), 20)
        page = run("man", "-l", self.path("qvncpu", MAN_PAGE),
                   env=dict(os.environ, LC_ALL="C", MANWIDTH="250"))
        self.assertEqual(page.returncode, 0, page.stderr)
        text = " ".join(page.stdout.split())
        for line in options:
            with self.subTest(line):
                self.assertIn(" ".join(line.split()), text)
        # The AVX-512 build's help text is the same, and so is its page.
        pages = [gzip.open(self.path(p, MAN_PAGE)).read() for p in PACKAGES]
        self.assertEqual(pages[0], pages[1])

    def test_extranonce_is_drawn_once_kept_and_purged(self):
        with tempfile.TemporaryDirectory(prefix="qvn-root-") as root:
            # The systemd helpers the scripts call do nothing here.
            stubs = os.path.join(root, "stubs")
            os.makedirs(stubs)
            os.makedirs(os.path.join(root, "etc/default"))
            for tool in ("deb-systemd-helper", "deb-systemd-invoke", "systemctl"):
                with open(os.path.join(stubs, tool), "w") as f:
                    f.write("#!/bin/sh\n")
                os.chmod(os.path.join(stubs, tool), 0o755)
            env = dict(os.environ, DPKG_ROOT=root, PATH=stubs + ":" + os.environ["PATH"])
            drawn = os.path.join(root, "etc/default/qvncpu-extranonce")

            def script(name, *args):
                run("sh", self.path("qvncpu", "DEBIAN/" + name), *args, env=env).check_returncode()

            script("postinst", "configure", "")
            first = read(drawn)
            value = int(re.search(r"^QVNCPU_EXTRANONCE=(\d+)$", first, re.M).group(1))
            self.assertLess(value, 2**64)
            script("postinst", "configure", project_version())  # an upgrade
            self.assertEqual(read(drawn), first)
            script("postrm", "purge")
            self.assertFalse(os.path.exists(drawn))


class CpuCheck(unittest.TestCase):
    def test_can_run_avx512_names_what_is_missing(self):
        zen4 = "fpu sse4_2 avx avx2 bmi1 bmi2 avx512f avx512dq avx512vl avx512bw"
        rows = [  # flags line of the first processor, exit status, output
            (zen4, 0, ""),
            (zen4.replace(" avx512vl", ""), 1, "this processor lacks avx512vl"),
            ("fpu sse4_2 avx avx2 bmi1 bmi2 fma", 1, "this processor lacks avx512f avx512vl"),
            ("fpu avx avx512f avx512vl", 1, "this processor lacks avx2 bmi1 bmi2"),
            # avx512vlx is not avx512vl; only the first processor's line counts.
            (zen4.replace("avx512vl", "avx512vlx") + "\nflags\t\t: avx512vl", 1,
             "this processor lacks avx512vl"),
            (None, 1, "this processor lacks avx2 bmi1 bmi2 avx512f avx512vl"),
        ]
        with tempfile.TemporaryDirectory(prefix="qvn-cpuinfo-") as tmp:
            cpuinfo = os.path.join(tmp, "cpuinfo")
            for flags, status, output in rows:
                with self.subTest(flags):
                    if flags is None:
                        cpuinfo = os.path.join(tmp, "missing")
                    else:
                        with open(cpuinfo, "w") as f:
                            f.write("processor\t: 0\nflags\t\t: %s\n" % flags)
                    out = run(CAN_RUN_AVX512, cpuinfo)
                    self.assertEqual((out.returncode, out.stdout.strip()), (status, output))


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
            unit = read(os.path.join(destdir, "opt/qvn/lib/systemd/system/qvncpu.service"))
            self.assertEqual(unit_setting(unit, "ExecStart"), "/opt/qvn/bin/qvncpu")
            self.assertEqual(unit_setting(unit, "EnvironmentFile"), "/opt/qvn/etc/default/qvncpu")


if __name__ == "__main__":
    unittest.main()
