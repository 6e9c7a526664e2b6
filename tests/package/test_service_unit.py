"""The systemd unit as the install rules write it for the package (prefix
/usr), checked by systemd-analyze verify where that command exists. Without
it the test is reported as skipped."""

import os
import shutil
import subprocess
import tempfile
import unittest

BUILD = os.environ.get("QVN_BUILD_DIR", "")
CMAKE = os.environ.get("CMAKE", "cmake")


class ServiceUnit(unittest.TestCase):
    def test_unit_verifies(self):
        if shutil.which("systemd-analyze") is None:
            self.skipTest("systemd-analyze is not installed; the service unit was not verified")
        with tempfile.TemporaryDirectory(prefix="qvn-unit-") as destdir:
            out = subprocess.run([CMAKE, "--install", BUILD, "--prefix", "/usr"],
                                 env=dict(os.environ, DESTDIR=destdir), capture_output=True,
                                 text=True, timeout=120)
            self.assertEqual(out.returncode, 0, out.stderr)
            # Pointed at the staged program and man page, which are not installed here.
            unit_path = os.path.join(destdir, "usr/lib/systemd/system/qvncpu.service")
            with open(unit_path) as f:
                unit = f.read()
            self.assertIn("ExecStart=/usr/bin/qvncpu ", unit)
            with open(unit_path, "w") as f:
                f.write(unit.replace("ExecStart=/usr/bin/", "ExecStart=%s/usr/bin/" % destdir))
            out = subprocess.run(["systemd-analyze", "verify", unit_path], capture_output=True,
                                 text=True, timeout=120,
                                 env=dict(os.environ, MANPATH=os.path.join(destdir, "usr/share/man")))
            # systemd-analyze reports unknown or malformed settings but still exits with 0.
            self.assertEqual((out.returncode, out.stderr), (0, ""))


if __name__ == "__main__":
    unittest.main()
