"""What the suite promises a user who is not root, checked in root's run too, in seconds: the unit
tables run by a second user (nobody, through setpriv) after root's run of them, and rows that make
network namespaces run by that user in namespaces of its own (harness.run_in_own_namespaces), all
passing with no row skipped. Run by anyone but root, the namespace rows run as that user."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import SOURCE_DIR, main, skip_or_fail  # noqa: E402

AS_NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"]
# Debian's Python, which any user may run (the one running this may live in root's home).
PYTHON = "/usr/bin/python3" if os.access("/usr/bin/python3", os.X_OK) else sys.executable


def run(argv, as_nobody, env=None):
    result = subprocess.run((AS_NOBODY if as_nobody else []) + argv, capture_output=True, text=True,
                            cwd="/", env=dict(os.environ, **(env or {})), timeout=300)
    return result.returncode, result.stdout + result.stderr


class AsAnotherUserTest(unittest.TestCase):
    def test_a_second_user_runs_what_root_ran(self):
        root = os.geteuid() == 0
        scratch = tempfile.mkdtemp(prefix="brackenreach-unprivileged-")
        self.addCleanup(shutil.rmtree, scratch, True)
        os.chmod(scratch, 0o777)  # nobody's screenshots, were there any
        suite = os.path.join(SOURCE_DIR, "tests", "e2e", "test_%s.py")
        rows = [  # what, the command, whether root runs it first, what it prints when it passes
            ("the unit tables", [os.environ.get("BRACKENREACH_UNIT_TESTS", "")], True, "[  PASSED  ]"),
            ("the proxy recipes", [PYTHON, suite % "proxies"], False, "\nOK\n"),
            # A suite that makes its page's folder as it loads, and a namespace for its server.
            ("the server's addresses", [PYTHON, suite % "server",
                                        "Web.test_a_server_on_every_address_names_one_a_browser_opens"], False, "\nOK\n"),
        ]
        probe = ["unshare", "--user", "--map-root-user", "true"]
        for what, argv, root_first, passed in rows:
            with self.subTest(what):
                if not argv[0]:
                    skip_or_fail("no unit tables in this build (GoogleTest is missing: tools/setup.sh test)")
                if root_first and not root:
                    self.skipTest("a second user after the first needs root to become nobody: run it as root")
                if root_first:
                    status, out = run(argv, False)
                    self.assertEqual(0, status, out[-3000:])
                elif run(probe, root)[0] != 0:
                    if root and run(probe, False)[0] != 0:  # a chroot, say: CI's Debian 13 pass
                        self.skipTest("no user namespace for anyone here, root included")
                    skip_or_fail("no user namespace for a user other than root here")
                status, out = run(argv, root, {"BRACKENREACH_ARTIFACTS": scratch})
                self.assertEqual(0, status, out[-3000:])
                self.assertIn(passed, out)
                self.assertNotIn("skipped", out.lower())


if __name__ == "__main__":
    main()
