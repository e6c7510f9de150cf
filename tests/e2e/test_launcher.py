"""tamblet, the launcher: started from a copy in a folder of its own it looks
for ORVYN.CPL beside itself, says so when it cannot load it, and otherwise
calls the applet's entry once with the double-click message. On the
offscreen platform its message boxes go to standard error without waiting."""

import os
import shutil
import subprocess
import tempfile
import unittest

from orvyntest import BIN

# An applet that reports every call of its entry instead of opening a dialog.
FAKE_APPLET = r"""
#include <stdint.h>
#include <stdio.h>
long CPlApplet(void* parent, unsigned message, intptr_t a, intptr_t b) {
    fprintf(stderr, "CPlApplet %u %d %ld %ld\n", message, parent != 0, (long)a, (long)b);
    return 0;
}
"""


class LauncherTest(unittest.TestCase):
    def setUp(self):
        tamblet = os.path.join(BIN, "tamblet")
        if not os.path.exists(os.path.join(BIN, "ORVYN.CPL")):
            self.skipTest("built without the applet")
        self.folder = tempfile.mkdtemp(prefix="orvyn-tamblet-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.program = os.path.join(self.folder, "tamblet")
        shutil.copy(tamblet, self.program)

    def run_launcher(self):
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        return subprocess.run([self.program], capture_output=True, text=True, timeout=60, env=env,
                              cwd=os.path.dirname(BIN))

    def test_missing_or_broken_applet(self):
        r = self.run_launcher()
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("ORVYN Control Panel error: Unable to load ORVYN.CPL\n", r.stderr)
        # A file of that name that is not a library is no better.
        with open(os.path.join(self.folder, "ORVYN.CPL"), "w") as f:
            f.write("not a library\n")
        r = self.run_launcher()
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("ORVYN Control Panel error: Unable to load ORVYN.CPL\n", r.stderr)

    def test_entry_called_once_with_double_click(self):
        compiler = shutil.which("cc") or shutil.which("gcc")
        if not compiler:
            self.skipTest("no C compiler to build a stand-in applet")
        source = os.path.join(self.folder, "fake.c")
        with open(source, "w") as f:
            f.write(FAKE_APPLET)
        subprocess.run([compiler, "-shared", "-fPIC", "-o", os.path.join(self.folder, "ORVYN.CPL"), source],
                       check=True, timeout=60)
        r = self.run_launcher()
        self.assertEqual(r.returncode, 0, r.stderr)
        calls = [line for line in r.stderr.splitlines() if line.startswith("CPlApplet")]
        self.assertEqual(calls, ["CPlApplet 5 1 0 0"])
        self.assertNotIn("error", r.stderr)


if __name__ == "__main__":
    unittest.main()
