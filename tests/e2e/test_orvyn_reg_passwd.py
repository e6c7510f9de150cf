"""End-to-end tests of `orvyn-reg passwd SERVER USER`.

Every test works on its own store in a temporary folder and runs the built
program from $ORVYN_BIN. The password comes through a pipe, or through a
pseudo-terminal for the interactive mode.
"""

import os
import re
import select
import termios
import time
import unittest
import warnings

from orvyntest import DONE, SERVERS_KEY as SERVERS, StoreToolCase

try:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        import crypt
except ImportError:  # pragma: no cover - the module is gone from newer interpreters
    crypt = None

HASH = re.compile(r"^[./0-9A-Za-z]{13}$")
VALUE_LINE = re.compile(r"^    Passwd    REG_SZ    (.*)$", re.M)


class PasswdCase(StoreToolCase):
    """A temporary store holding the server instance Demo."""

    def setUp(self):
        super().setUp()
        self.assertEqual(self.ok("add", SERVERS + r"\Demo"), DONE)

    def passwd(self, user, password, server="Demo"):
        self.assertEqual(self.ok("passwd", server, user, data=password), DONE)
        return self.stored(user, server)

    def stored(self, user, server="Demo"):
        """The Passwd value of a user, or None."""
        r = self.run_tool("query", rf"{SERVERS}\{server}\Users\{user}", "/v", "Passwd")
        if r.returncode != 0:
            return None
        found = VALUE_LINE.search(r.stdout)
        self.assertIsNotNone(found, r.stdout)
        return found.group(1)

    def assertHashOf(self, value, password):
        self.assertRegex(value, HASH)
        if crypt is not None and len(password) <= 8:
            # Up to 8 characters the stored hash is the plain crypt(3) one.
            self.assertEqual(crypt.crypt(password, value[:2]), value)


class PipeTest(PasswdCase):

    def test_stores_a_salted_hash(self):
        value = self.passwd("bob", b"secret\n")
        self.assertHashOf(value, "secret")
        # Salts come from the 64 characters of the salt alphabet.
        self.assertRegex(value[:2], r"^[a-zA-Z0-9./]{2}$")

    def test_every_run_draws_a_new_salt(self):
        values = {self.passwd("bob", b"secret\n") for _ in range(6)}
        # Six draws from 4096 salts: a repeat is rare, more than two are
        # practically impossible unless the salt is predictable.
        self.assertGreaterEqual(len(values), 4, values)
        for value in values:
            self.assertHashOf(value, "secret")

    def test_one_line_is_read_and_its_end_removed(self):
        for data in (b"secret", b"secret\n", b"secret\r\n", b"secret\nsecond line\n"):
            with self.subTest(data=data):
                self.assertHashOf(self.passwd("bob", data), "secret")
        if crypt is not None:
            # Blanks and tabs, leading and trailing too, belong to the password.
            value = self.passwd("bob", b" se\tcr \n")
            self.assertEqual(crypt.crypt(" se\tcr ", value[:2]), value)

    def test_long_passwords_are_folded_not_cut(self):
        first = self.passwd("bob", b"correct horse battery staple\n")
        self.assertRegex(first, HASH)
        if crypt is not None:
            self.assertNotEqual(crypt.crypt("correct ", first[:2]), first)
        longest = self.passwd("carol", b"x" * 1024 + b"\n")
        self.assertRegex(longest, HASH)

    def test_replaces_the_password_and_keeps_other_values(self):
        self.ok("add", rf"{SERVERS}\Demo\Users\bob", "/v", "Home", "/d", "/srv/ftp/bob")
        first = self.passwd("bob", b"first\n")
        second = self.passwd("bob", b"second\n")
        self.assertHashOf(second, "second")
        self.assertNotEqual(first, second)
        out = self.ok("query", rf"{SERVERS}\Demo\Users\bob", "/v", "Home")
        self.assertIn("/srv/ftp/bob", out)

    def test_server_and_user_names_ignore_case_of_existing_keys(self):
        self.ok("add", rf"{SERVERS}\Demo\Users\Bob")
        value = self.passwd("BOB", b"secret\n", server="DEMO")
        self.assertEqual(self.stored("Bob"), value)

    def test_domain_accounts_nest_one_level(self):
        value = self.passwd(r"CORP\alice", b"secret\n")
        self.assertHashOf(value, "secret")
        out = self.ok("query", rf"{SERVERS}\Demo\Users\CORP\alice", "/v", "Passwd")
        self.assertIn(value, out)

    def test_store_option(self):
        other = self.path("other.db")
        self.ok("--store", other, "add", SERVERS + r"\Other")
        self.assertEqual(self.ok("--store", other, "passwd", "Other", "bob", data=b"pw\n"), DONE)
        out = self.ok("--store", other, "query", SERVERS + r"\Other\Users\bob", "/v", "Passwd")
        self.assertRegex(VALUE_LINE.search(out).group(1), HASH)
        self.assertIsNone(self.stored("bob", server="Other"))


class RefusalTest(PasswdCase):

    def assertRefusedUnchanged(self, *args, data=b"secret\n"):
        return super().assertRefusedUnchanged(*args, data=data)

    def test_unknown_server(self):
        err = self.assertRefusedUnchanged("passwd", "Nope", "bob")
        self.assertIn("The server Nope does not exist.", err)
        err = self.assertRefusedUnchanged("passwd", r"Demo\Users", "bob")
        self.assertIn("Invalid server name", err)

    def test_unusable_passwords(self):
        self.assertIn("Empty password", self.assertRefusedUnchanged("passwd", "Demo", "bob", data=b"\n"))
        self.assertIn("Empty password", self.assertRefusedUnchanged("passwd", "Demo", "bob", data=b"\r\n"))
        self.assertIn("No password", self.assertRefusedUnchanged("passwd", "Demo", "bob", data=b""))
        err = self.assertRefusedUnchanged("passwd", "Demo", "bob", data=b"x" * 1025 + b"\n")
        self.assertIn("longer than 1024", err)
        err = self.assertRefusedUnchanged("passwd", "Demo", "bob", data=b"x" * 1024 + b"\r\r\n")
        self.assertIn("longer than 1024", err)
        err = self.assertRefusedUnchanged("passwd", "Demo", "bob", data=b"x" * 5000)
        self.assertIn("longer than 1024", err)
        err = self.assertRefusedUnchanged("passwd", "Demo", "bob", data=b"se\0cret\n")
        self.assertIn("NUL, CR or LF", err)
        err = self.assertRefusedUnchanged("passwd", "Demo", "bob", data=b"se\rcret\n")
        self.assertIn("NUL, CR or LF", err)

    def test_unusable_user_names(self):
        for user in (r"a\b\c", r"\bob", "bob\\", "DefaultRights", r"bob\Rights",
                     r"bob\Virtual Directories"):
            with self.subTest(user=user):
                self.assertIn("Invalid user name", self.assertRefusedUnchanged("passwd", "Demo", user))
        for user in ("default", "Default"):
            with self.subTest(user=user):
                self.assertIn("cannot log in", self.assertRefusedUnchanged("passwd", "Demo", user))

    def test_command_line(self):
        self.assertIn("No server given", self.assertRefusedUnchanged("passwd"))
        self.assertIn("No user given", self.assertRefusedUnchanged("passwd", "Demo"))
        self.assertIn("Too many arguments", self.assertRefusedUnchanged("passwd", "Demo", "bob", "extra"))
        self.assertIn("not valid with passwd", self.assertRefusedUnchanged("passwd", "Demo", "bob", "/f"))

    def test_names_are_checked_before_the_password_is_read(self):
        # No input at all: the name error is reported, not the missing password.
        err = self.assertRefusedUnchanged("passwd", "Nope", "bob", data=b"")
        self.assertIn("does not exist", err)


class TerminalTest(PasswdCase):
    """Standard input is a pseudo-terminal: the password is asked twice."""

    def read_until(self, fd, text, timeout=20.0):
        """Reads fd until text has appeared; returns all that was read."""
        seen = b""
        deadline = time.monotonic() + timeout
        while text not in seen:
            left = deadline - time.monotonic()
            self.assertGreater(left, 0, f"waiting for {text!r}, got {seen!r}")
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 4096)
                self.assertTrue(chunk, f"end of output waiting for {text!r}, got {seen!r}")
                seen += chunk
        return seen

    def echoed(self, master):
        """What the terminal showed (its echo of the typed text)."""
        out = b""
        while select.select([master], [], [], 0.2)[0]:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the other side is closed
                break
            if not chunk:
                break
            out += chunk
        return out

    def type_twice(self, user, first, second):
        proc, master = self.start_on_terminal("passwd", "Demo", user)
        err = proc.stderr.fileno()
        seen = self.read_until(err, b"New password: ")
        os.write(master, first + b"\n")
        seen += self.read_until(err, b"Retype new password: ")
        os.write(master, second + b"\n")
        out, rest = proc.communicate(timeout=30)
        return proc.returncode, out.decode(), (seen + rest).decode(), self.echoed(master)

    def test_matching_entries_store_the_hash_without_echo(self):
        code, out, err, echo = self.type_twice("bob", b"s3cret", b"s3cret")
        self.assertEqual(code, 0, err)
        self.assertEqual(out, DONE)
        self.assertNotIn("ERROR", err)
        self.assertNotIn(b"s3cret", echo)
        self.assertHashOf(self.stored("bob"), "s3cret")

    def test_different_entries_change_nothing(self):
        before = self.snapshot()
        code, out, err, echo = self.type_twice("bob", b"s3cret", b"s3creT")
        self.assertEqual(code, 1)
        self.assertEqual(out, "")
        self.assertIn("ERROR: The passwords do not match.", err)
        self.assertNotIn(b"s3cre", echo)
        self.assertEqual(self.snapshot(), before)

    def test_echo_is_restored_afterwards(self):
        proc, master = self.start_on_terminal("passwd", "Demo", "bob")
        self.read_until(proc.stderr.fileno(), b"New password: ")
        # While the tool waits the terminal does not echo ...
        self.assertFalse(termios.tcgetattr(master)[3] & termios.ECHO)
        os.write(master, b"\n")
        proc.communicate(timeout=30)
        self.assertEqual(proc.returncode, 1)
        # ... and once it has ended the terminal echoes again.
        self.assertTrue(termios.tcgetattr(master)[3] & termios.ECHO)


if __name__ == "__main__":
    unittest.main()
