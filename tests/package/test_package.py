"""The Debian packages and the install rules, checked on what they produce:
lintian, the file lists, fields, scripts and hardening, the packaged program's self-test,
the packaged man page against the program's own --help, and an install under
another prefix. (test_service_unit.py checks the unit itself.)"""

import glob
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
ARCH = subprocess.run(["dpkg", "--print-architecture"], capture_output=True,
                      text=True).stdout.strip()
PACKAGES = ("qvncpu", "qvncpu-avx512") if ARCH == "amd64" else ("qvncpu",)


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
        # On both cores, though DEB_BUILD_OPTIONS came on make's command line.
        assert "cd obj && make -j2 " in out.stdout, out.stdout[-4000:]
        cls.debs = {p: glob.glob(os.path.join(cls.tmp.name, "%s_%s+git*_%s.deb" % (
            p, project_version(), ARCH)))[0] for p in PACKAGES}
        cls.version = run("dpkg-deb", "-f", cls.debs["qvncpu"], "Version").stdout.strip()
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

    def test_files_fields_scripts_hardening_and_unit(self):
        scripts = [  # script, text, whether it is there
            ("postinst", "deb-systemd-helper debian-installed 'qvncpu.service'", True),  # no enable
            ("postinst", "deb-systemd-invoke start", False),  # not started at install
            ("postinst", "deb-systemd-invoke try-restart 'qvncpu.service'", True),  # if running
            ("postinst", "systemctl --system daemon-reload", True),
            ("prerm", '"$1" = remove ] && [ -d /run/systemd/system ]; then\n'
                      "    deb-systemd-invoke stop qvncpu.service", True),
            ("postrm", "systemctl --system daemon-reload", True),
        ]
        for package, deb in self.debs.items():
            with self.subTest(package):
                modes = {line.split()[-1][2:]: line.split()[0] for line in
                         run("dpkg-deb", "-c", deb).stdout.splitlines() if not line.startswith("d")}
                files = set(modes)
                # It may hold the node's password.
                self.assertEqual(modes["etc/default/qvncpu"], "-rw-------")
                doc = "usr/share/doc/%s/" % package
                self.assertEqual(files, {"usr/bin/qvncpu", MAN_PAGE, UNIT, "etc/default/qvncpu",
                                         doc + "copyright", doc + "changelog.gz",
                                         "usr/share/lintian/overrides/" + package})
                # The AVX-512 build takes the default one's place.
                fields = run("dpkg-deb", "-f", deb, "Provides", "Conflicts", "Replaces").stdout
                self.assertEqual(fields, "" if package == "qvncpu" else "Provides: qvncpu (= %s)\n"
                                 "Conflicts: qvncpu\nReplaces: qvncpu\n" % self.version)
                # Computed by dpkg-shlibdeps, so apt brings libcurl along.
                self.assertRegex(run("dpkg-deb", "-f", deb, "Depends").stdout, r"\blibcurl4\b")
                # An upgrade keeps the administrator's edits to the options file.
                self.assertEqual(read(self.path(package, "DEBIAN/conffiles")),
                                 "/etc/default/qvncpu\n")
                for script, text, present in scripts:
                    self.assertEqual(text in read(self.path(package, "DEBIAN/" + script)),
                                     present, (script, text))
                hardening = run("hardening-check", self.path(package, "usr/bin/qvncpu")).stdout
                for fact in ("Position Independent Executable", "Stack protected", "Fortify Source"
                             " functions", "Read-only relocations", "Immediate binding"):
                    self.assertIn("\n %s: yes" % fact, hardening)
                # The unit passes each installation's own extranonce on (InstallRules
                # checks the paths the install writes into it).
                unit = read(self.path(package, UNIT))
                self.assertIn("EnvironmentFile=-/etc/default/qvncpu-extranonce\n", unit)
                # Ready once mining has begun, restarted when hung; a [stat] line a minute.
                options = read(self.path(package, "etc/default/qvncpu"))
                self.assertEqual((unit_setting(unit, "Type"), unit_setting(unit, "WatchdogSec"),
                                  re.search(r"--status-sec (\d+)", options)[1]),
                                 ("notify", "3min", "60"))
                if shutil.which("systemd-analyze"):
                    out = run("systemd-analyze", "security", "--offline=true", "--threshold=20",
                              self.path(package, UNIT))
                    self.assertEqual(out.returncode, 0, out.stdout[-300:] + out.stderr)

    @unittest.skipUnless(ARCH == "amd64", "qvncpu-avx512 is built on amd64 only")
    def test_avx512_build_installs_only_where_it_runs(self):
        verdict, out = run(CAN_RUN_AVX512), run(self.path("qvncpu-avx512", "DEBIAN/preinst"), "install")
        self.assertEqual(out.returncode, verdict.returncode, out.stderr)
        self.assertIn(verdict.stdout.strip() + (verdict.returncode and ".\nInstall the package "
                                                "qvncpu instead" or ""), out.stderr)

    def test_packaged_program_passes_its_selftest(self):
        # The AVX-512 build's only where this processor can run it.
        for package in PACKAGES[:1 + (run(CAN_RUN_AVX512).returncode == 0)]:
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

    def test_extranonce_is_drawn_once_kept_and_purged(self):
        with tempfile.TemporaryDirectory(prefix="qvn-root-") as root:
            os.makedirs(os.path.join(root, "etc/default"))
            drawn = os.path.join(root, "etc/default/qvncpu-extranonce")
            script = lambda *args: run("sh", os.path.join(SOURCE, "debian/qvncpu." + args[0]),
                                       *args[1:], env=dict(os.environ, DPKG_ROOT=root))
            script("postinst", "configure", "").check_returncode()
            first = read(drawn)
            self.assertLess(int(re.search(r"^QVNCPU_EXTRANONCE=(\d+)$", first, re.M)[1]), 2**64)
            script("postinst", "configure", project_version())  # an upgrade
            self.assertEqual(read(drawn), first)
            script("postrm", "purge")
            self.assertFalse(os.path.exists(drawn))


class Upgrades(unittest.TestCase):
    def test_later_commits_build_later_versions(self):
        with tempfile.TemporaryDirectory(prefix="qvn-versions-") as repo:
            os.makedirs(os.path.join(repo, "scripts"))
            shutil.copy(os.path.join(SOURCE, "scripts/deb-version"), os.path.join(repo, "scripts"))
            git = lambda *args, date="": run("git", "-C", repo, *args, env=dict(
                os.environ, GIT_COMMITTER_DATE=date, GIT_AUTHOR_DATE=date, GIT_AUTHOR_NAME="t",
                GIT_AUTHOR_EMAIL="t@t", GIT_COMMITTER_NAME="t", GIT_COMMITTER_EMAIL="t@t"))
            git("init", "-q").check_returncode()
            versions = []
            for date in ("2026-12-09T09:00:00+05:00", "2026-12-09T05:00:01Z"):
                git("commit", "-q", "--allow-empty", "-m", date, date=date).check_returncode()
                copy = os.path.join(repo, date, "debian")
                os.makedirs(copy)
                shutil.copy(os.path.join(SOURCE, "debian/changelog"), copy)
                run(os.path.join(repo, "scripts/deb-version"), os.path.dirname(copy)).check_returncode()
                versions.append(run("dpkg-parsechangelog", "-l", os.path.join(copy, "changelog"),
                                    "-S", "Version").stdout.strip())
            self.assertRegex(versions[0], r"^%s\+git20261209040000\.[0-9a-f]{7}$" % project_version())
            self.assertEqual(run("dpkg", "--compare-versions", versions[1], "gt", versions[0]).returncode, 0,
                             versions)

    def test_options_file_becomes_private_on_upgrade_from_before(self):
        with tempfile.TemporaryDirectory(prefix="qvn-root-") as root:
            options = os.path.join(root, "etc/default/qvncpu")
            os.makedirs(os.path.dirname(options))
            for previous, mode in (("0.2.0", 0o600), (project_version(), 0o644), ("", 0o644)):
                with self.subTest(previous):
                    with open(options, "w") as f:
                        f.write("QVNCPU_OPTS=\"--rpc-pass secret\"\n")
                    os.chmod(options, 0o644)  # an edited file dpkg kept as it was
                    run("sh", os.path.join(SOURCE, "debian/qvncpu.postinst"), "configure",
                        previous, env=dict(os.environ, DPKG_ROOT=root)).check_returncode()
                    self.assertEqual(os.stat(options).st_mode & 0o777, mode)


class CpuCheck(unittest.TestCase):
    def test_can_run_avx512_names_what_is_missing(self):
        rows = [  # flags (None: no cpuinfo file), exit status, output
            ("fpu avx avx2 bmi1 bmi2 avx512f avx512dq avx512vl", 0, ""),
            ("fpu avx avx2 bmi1 bmi2 fma", 1, "this processor lacks avx512f avx512vl"),
            # Whole words only, and only the first processor's line counts.
            ("avx avx512f avx512vlx\nflags\t: avx2 bmi1 bmi2 avx512vl", 1,
             "this processor lacks avx2 bmi1 bmi2 avx512vl"),
            (None, 1, "this processor lacks avx2 bmi1 bmi2 avx512f avx512vl"),
        ]
        with tempfile.NamedTemporaryFile("w", prefix="qvn-cpuinfo-") as f:
            for flags, status, output in rows:
                with self.subTest(flags):
                    f.seek(0), f.truncate(), f.write("processor\t: 0\nflags\t\t: %s\n" % flags)
                    f.flush()
                    out = run(CAN_RUN_AVX512, f.name if flags else "/nonexistent/cpuinfo")
                    self.assertEqual((out.returncode, out.stdout.strip()), (status, output))


class InstallRules(unittest.TestCase):
    def test_install_follows_the_prefix_and_keeps_the_options_file(self):
        with tempfile.TemporaryDirectory(prefix="qvn-install-") as destdir:
            install = lambda: run(CMAKE, "--install", BUILD, "--prefix", "/opt/qvn",
                                  env=dict(os.environ, DESTDIR=destdir))
            out = install()
            self.assertEqual(out.returncode, 0, out.stderr)
            options = os.path.join(destdir, "opt/qvn/etc/default/qvncpu")
            self.assertEqual(os.stat(options).st_mode & 0o777, 0o600)
            with open(options, "a") as f:
                f.write('QVNCPU_OPTS="--payout mine"\n')
            edited = read(options)
            out = install()
            self.assertEqual((out.returncode, read(options)), (0, edited), out.stderr)
            self.assertIn("Kept your %s" % options, out.stderr)
            self.assertEqual(os.stat(options + ".dist").st_mode & 0o777, 0o600)
            os.remove(options + ".dist")
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
