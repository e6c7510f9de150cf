"""Guessing passwords: pipelined guesses wait for each held refusal, and
failed logins across sessions ban the client's address for a while."""

import os
import time
import unittest

from orvyntest import GIVE_PASSWORD, LOGGED_IN, Control, ServerCase, require_programs, wait_for

WRONG = "530 Not logged in - password incorrect\r\n"
TOO_MANY = "421 Too many incorrect attempts at user/password combination - disconnecting.\r\n"
BANNED = "421 Too many failed logins from your address - try again later.\r\n"
TICK_MS = 250


def setUpModule():
    require_programs("orvyn", "orvyn-reg")


class GuessingTest(ServerCase):
    timer_ms = TICK_MS

    def setUp(self):
        super().setUp()
        home = os.path.join(self.sb.dir, "home")
        os.mkdir(home)
        self.sb.add_user("bob", "secret", home)

    def fail_once(self, source=None):
        with Control(self.port, source=source) as c:
            self.assertEqual(c.cmd("USER bob"), GIVE_PASSWORD)
            self.assertEqual(c.cmd("PASS wrong"), WRONG)

    def test_pipelined_guesses_are_answered_one_hold_at_a_time(self):
        self.one_instance(values={"Security\\MaxHacks": 5})
        with Control(self.port) as c:
            start = time.monotonic()
            c.send_raw(b"".join(b"USER bob\r\nPASS guess%d\r\n" % i for i in range(5)))
            self.assertEqual(c.read_reply(), GIVE_PASSWORD)
            # The first refusal is held, and the next guess is not even read.
            c.sock.settimeout(TICK_MS / 2000)
            with self.assertRaises(TimeoutError):
                c.read_reply()
            c.sock.settimeout(10)
            for _ in range(3):
                self.assertEqual(c.read_reply(), WRONG)
                self.assertEqual(c.read_reply(), GIVE_PASSWORD)
            self.assertEqual(c.read_reply(), WRONG)
            self.assertEqual(c.read_reply(), GIVE_PASSWORD)
            rest = c.read_until_closed()
            self.assertTrue(rest.startswith(TOO_MANY), rest)
            # Four holds of two ticks each, a tick at the least apiece.
            self.assertGreaterEqual(time.monotonic() - start, 4 * TICK_MS / 1000)

    def test_failures_across_sessions_ban_the_address_for_a_while(self):
        self.one_instance(values={"Security\\BanFailures": 3, "Security\\BanSeconds": 2,
                                  "Security\\BanLoopback": 1, "Security\\MaxHacks": 0})
        # A connection opened before the ban may not go on guessing.
        early = self.control()
        for _ in range(3):
            self.fail_once()
        self.assertEqual(early.cmd("USER bob"), "331 Give me your password, please\r\n")
        self.assertEqual(early.cmd("PASS secret"), BANNED)
        with Control(self.port, greet=False) as c:
            self.assertEqual(c.read_until_closed(), BANNED)
        # Once, whatever the banned client tries meanwhile.
        with Control(self.port, greet=False) as c:
            self.assertEqual(c.read_until_closed(), BANNED)
        self.assertEqual(sum("banned" in m for m in self.messages("!")), 1, self.messages("!"))
        self.assertLogged("*** Address 127.0.0.1 banned for 2 seconds after 3 failed logins ***", "!")
        # Another address is not affected.
        with Control(self.port, source="127.0.0.2") as c:
            self.assertTrue(c.greeting.startswith("220 "), c.greeting)
        # The ban ends, and the right password works again.
        def greeted():
            with Control(self.port, greet=False) as c:
                reply = c.read_reply()
                if reply.startswith("220 "):
                    self.assertEqual(self.login(c, "bob", "secret"), LOGGED_IN)
                    return True
            return False
        self.assertTrue(wait_for(greeted, timeout=10, interval=0.5))

    def test_loopback_is_not_banned_unless_asked(self):
        self.one_instance(values={"Security\\BanFailures": 2, "Security\\MaxHacks": 0})
        for _ in range(3):
            self.fail_once()
        with Control(self.port) as c:
            self.assertTrue(c.greeting.startswith("220 "), c.greeting)
        self.assertFalse(any("banned" in m for m in self.messages("!")))


if __name__ == "__main__":
    unittest.main()
