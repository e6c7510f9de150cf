"""make install's layout, installed under a temporary prefix: the programs,
the PAM file, the systemd unit, the desktop entry and its icon, and an
installed applet host that finds its applet."""

import configparser
import ctypes
import os
import shutil
import subprocess
import tempfile
import unittest

from orvyntest import BIN


class InstallTest(unittest.TestCase):
    def test_install_under_a_prefix(self):
        build = os.path.abspath(os.path.join(BIN, ".."))
        if not os.path.exists(os.path.join(build, "cmake_install.cmake")):
            self.skipTest("not a CMake build folder: %s" % build)
        prefix = tempfile.mkdtemp(prefix="orvyn-install-")
        self.addCleanup(shutil.rmtree, prefix, True)
        r = subprocess.run(["cmake", "--install", build, "--prefix", prefix], capture_output=True, text=True,
                           timeout=120)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        for path in ("sbin/orvyn", "sbin/orvyn-svc", "bin/orvyn-reg", "etc/pam.d/orvyn",
                     "share/orvyn/sounds/hello.wav"):
            self.assertTrue(os.path.isfile(os.path.join(prefix, path)), path)
        units = [os.path.join(d, "orvyn-pro.service") for d, _, files in os.walk(prefix) if "orvyn-pro.service" in files]
        self.assertEqual(len(units), 1, units)
        unit = configparser.ConfigParser(interpolation=None)
        unit.read(units[0])
        self.assertEqual(unit["Service"]["ExecStart"], os.path.join(prefix, "sbin", "orvyn"))
        self.assertEqual(unit["Service"]["Type"], "notify")
        if not os.path.exists(os.path.join(BIN, "ORVYN.CPL")):
            return  # built without the applet
        entry = configparser.ConfigParser(interpolation=None)
        entry.optionxform = str
        entry.read(os.path.join(prefix, "share", "applications", "orvyn-applet.desktop"))
        desktop = entry["Desktop Entry"]
        self.assertEqual(desktop["Categories"], "Settings;System;")
        self.assertTrue(os.path.isfile(os.path.join(prefix, "share", "icons", "hicolor", "scalable", "apps",
                                                    desktop["Icon"] + ".svg")))
        host = desktop["Exec"]
        self.assertTrue(os.access(host, os.X_OK), host)
        if shutil.which("desktop-file-validate"):
            v = subprocess.run(["desktop-file-validate",
                                os.path.join(prefix, "share", "applications", "orvyn-applet.desktop")],
                               capture_output=True, text=True)
            self.assertEqual(v.returncode, 0, v.stdout + v.stderr)
        # The host, reached through its link in bin, loads the applet from its
        # own folder: the installed applet is there and loads.
        applet = os.path.join(os.path.dirname(os.path.realpath(host)), "ORVYN.CPL")
        self.assertTrue(os.path.isfile(applet), applet)
        libraries = subprocess.run(["ldd", applet], capture_output=True, text=True).stdout
        if "libasan" not in libraries:  # a sanitizer build loads only into sanitized programs
            self.assertTrue(ctypes.CDLL(applet).CPlApplet)

if __name__ == "__main__":
    unittest.main()
