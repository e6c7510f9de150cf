"""SITE commands and remote administration against `orvyn s` with raw
control connections: the ADMN access rule (a client bound to 127.0.0.2 is a
foreign address for a server on 127.0.0.1), the monitor with its MODI and DELE
lines, every subcommand with the value it leaves in the store (read back with
orvyn-reg), stop and resume, disconnecting and disabling users, and the
password changes."""

import os
import re
import socket
import sqlite3
import subprocess
import sys
import threading
import time
import unittest

from orvyntest import GIVE_PASSWORD, LOGGED_IN, Control, ServerCase, pasv_address, require_programs, wait_for

REFUSED = "425 Remote administration through SITE ADMN requires administrative login rights.\r\n"
WRONG = "530 Not logged in - password incorrect\r\n"
CLOSING = "421 Service not available, closing TELNET connection\r\n"


def setUpModule():
    require_programs("orvyn", "orvyn-reg")


def syntax(arg):
    return "501 Syntax error in command: %s.\r\n" % arg


def modi_fields(line):
    """(separator, name, id, address, status, last command) of a MODI line."""
    m = re.match(r"^300([ -])MODI (\S*) (\d+) (\S+) (\S*) (.*)\r\n$", line)
    if m is None:
        raise AssertionError("not a MODI line: %r" % line)
    return m.group(1), m.group(2), int(m.group(3)), m.group(4), m.group(5), m.group(6)


class SiteAdminTest(ServerCase):
    timer_ms = 100
    user, password = "bob", "pw1"

    def setUp(self):
        super().setUp()
        self.home = os.path.join(self.sb.dir, "home")
        os.makedirs(os.path.join(self.home, "pub"))
        self.sb.add_user("bob", "pw1", self.home + "/")

    def value(self, key, name):
        return self.sb.query_value(key, name)

    def security(self, name):
        return self.value(self.sb.instance_key("Main", "Security"), name)

    def own_id(self, c):
        """The connection id of c, as the server's session list shows it."""
        reply = c.cmd("SITE ADMN")
        fields = [modi_fields(line) for line in reply.splitlines(True)]
        c.read_reply()  # the monitor's own MODI after its command
        c.send("SITE ADMN")  # monitoring off again (no reply)
        port = c.sock.getsockname()[1]
        return next(f[2] for f in fields if f[3].endswith(":%d" % port))

    def test_monitor_lines_and_access(self):
        self.one_instance(values={"Security\\Allow_Anon": 1, "Users\\default\\Home": self.home})
        mon = self.control()
        # Alone: one line, with a blank after 300; then its own command's MODI.
        first = modi_fields(mon.cmd("SITE ADMN"))
        self.assertEqual(first[0], " ")
        self.assertEqual((first[1], first[5]), ("", "SITE ADMN"))
        self.assertEqual(modi_fields(mon.read_reply())[4:], ("Success", "SITE ADMN"))
        port = mon.sock.getsockname()[1]
        self.assertEqual(first[3], "127.0.0.1:%d" % port)

        # Another session's commands arrive as MODI lines, PASS and the
        # passwords of SITE lines masked; its end as DELE.
        other = self.control()
        accepted = modi_fields(mon.read_reply())
        self.assertEqual(accepted[5], "<<None>>")
        for command, status, shown in (("USER bob", "Success", "USER bob"), ("PASS pw1", "Success", "PASS xxxx"),
                                       ("SITE CHPW wrong pw2", "Fail", "SITE CHPW xxxx xxxx"),
                                       ("MDTM nothing here", "Fail", "MDTM nothing here"),
                                       ("NOOP\r300 DELE 99", "Fail", "NOOP?300 DELE 99")):
            other.cmd(command)
            sep, name, ident, _, st, last = modi_fields(mon.read_reply())
            self.assertEqual((sep, name, ident, st, last), (" ", "bob", accepted[2], status, shown))

        # A second monitor sees both sessions: hyphens before the last line.
        mon2 = self.control()
        modi_fields(mon.read_reply())
        listing = mon2.cmd("SITE ADMN").splitlines(True)
        self.assertEqual([modi_fields(l)[0] for l in listing], ["-", "-", " "])
        modi_fields(mon2.read_reply())
        modi_fields(mon.read_reply())
        # The second toggle turns monitoring off silently.
        mon2.send("SITE ADMN")
        modi_fields(mon.read_reply())
        self.assertEqual(mon2.cmd("NOOP"), "200 No operation completed successfully\r\n")
        modi_fields(mon.read_reply())
        # So does REIN: no line about its own or later commands.
        self.assertEqual(len(mon2.cmd("SITE ADMN").splitlines()), 3)
        modi_fields(mon2.read_reply())
        modi_fields(mon.read_reply())
        self.assertTrue(mon2.cmd("REIN").startswith("220"))
        modi_fields(mon.read_reply())
        self.assertEqual(mon2.cmd("NOOP"), "200 No operation completed successfully\r\n")
        modi_fields(mon.read_reply())

        other.cmd("QUIT")
        self.assertEqual(mon.read_reply(), "300 DELE %d\r\n" % accepted[2])
        # An anonymous login shows its e-mail, quoted, blanks closed up.
        anon = self.control()
        modi_fields(mon.read_reply())
        anon.cmd("USER anonymous")
        modi_fields(mon.read_reply())
        self.assertEqual(anon.cmd("PASS me at example.org"), LOGGED_IN)
        self.assertEqual(modi_fields(mon.read_reply())[1], '"me_at_example.org"')

        # A foreign address gets 425 for everything but ADMN USER, which
        # logs in administrators only.
        self.sb.add_user("root", "adminpw", self.home + "/", values={"RemoteAdmin": 1})
        far = Control(self.port, source="127.0.0.2")
        self.addCleanup(far.close)
        self.assertReplies(far, ("SITE ADMN", REFUSED), ("SITE ADMN SECU", REFUSED),
                           ("SITE ADMN USER bob pw1", WRONG), ("SITE ADMN USER root wrong", WRONG))
        self.assertEqual(far.cmd("SITE ADMN USER root adminpw"), LOGGED_IN)
        self.assertEqual(far.cmd("SITE ADMN SECU"), "215 ADMN SECU Y\r\n")
        self.assertLogged("Non admin user bob tried to log in as admin.")
        # On this machine, too, only the service's own account (and root)
        # administers without a login: another account is a stranger.
        if os.geteuid() == 0:
            script = ("import encodings.idna, os, socket, sys; os.setgid(65534); os.setuid(65534)\n"
                      "s = socket.create_connection(('127.0.0.1', %d), timeout=5); f = s.makefile('rb')\n"
                      "f.readline(); s.sendall(b'SITE ADMN FLOG /tmp/x\\r\\n'); sys.stdout.write(f.readline()[:4].decode())"
                      % self.port)
            r = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=20)
            self.assertEqual(r.stdout, REFUSED[:4], r.stderr)
        log = self.sb.log_text()
        self.assertNotIn("adminpw", log)
        self.assertNotIn("wrong pw2", log)

    def test_a_data_connection_aimed_at_the_own_listener_carries_no_commands(self):
        # Without RequireBackPort any target is allowed, the server's own
        # control port too; a session there would see this very machine.
        self.one_instance(values={"Security\\RequireBackPort": 0})
        with open(os.path.join(self.home, "cmds.txt"), "w") as f:
            f.write("SITE ADMN ADDU evil\r\nQUIT\r\n")
        far = Control(self.port, source="127.0.0.2")
        self.addCleanup(far.close)
        self.assertEqual(self.login(far), LOGGED_IN)
        self.assertEqual(far.cmd("SITE ADMN ADDU evil"), REFUSED)
        self.assertTrue(far.cmd("PORT 127,0,0,1,%d,%d" % (self.port >> 8, self.port & 255)).startswith("200 "))
        reply = far.cmd("RETR cmds.txt")
        while reply.startswith("1"):
            reply = far.read_reply()
        self.assertLogged("Connection from this service's own data connection refused", "!")
        self.assertEqual(far.cmd("NOOP"), "200 No operation completed successfully\r\n")
        self.assertIsNone(self.value(self.sb.user_key("evil"), "Passwd"))
        self.assertNotIn("ADDU evil - by user", self.sb.log_text())

    def test_instance_settings(self):
        self.one_instance()
        c = self.control()
        logfile = os.path.join(self.sb.dir, "other.log")
        self.assertReplies(
            c,
            ("SITE ADMN SECU n", "215 ADMN SECU N\r\n"), ("site admn secu", "215 ADMN SECU N\r\n"),
            ("SITE ADMN SECU maybe", syntax("ADMN SECU maybe")),
            ("SITE ADMN ALOW STOR n", "215 ADMN ALOW STOR N\r\n"),
            ("SITE ADMN ALOW anon y", "215 ADMN ALOW ANON Y\r\n"),
            ("SITE ADMN ALOW ANST Y", "215 ADMN ALOW ANST Y\r\n"),
            ("SITE ADMN ALOW", syntax("ADMN ALOW")), ("SITE ADMN ALOW PUTS y", syntax("ADMN ALOW PUTS y")),
            ("SITE ADMN PRXY y", "215 ADMN PRXY Y\r\n"), ("SITE ADMN LOPT n", "215 ADMN LOPT N\r\n"),
            ("SITE ADMN MAXU 1", "215 ADMN MAXU 1\r\n"), ("SITE ADMN MAXU many", syntax("ADMN MAXU many")),
            ("SITE ADMN IDLE 120", "215 ADMN IDLE 120\r\n"),
            ("SITE ADMN ELOG n", "215 ADMN ELOG N\r\n"), ("SITE ADMN ELOG warn n", "215 ADMN ELOG WARN N\r\n"),
            ("SITE ADMN ELOG Comm", "215 ADMN ELOG COMM Y\r\n"), ("SITE ADMN ELOG BEEP y", syntax("ADMN ELOG BEEP y")),
            ("SITE ADMN ELOG y", "215 ADMN ELOG Y\r\n"),
            ("SITE ADMN FLOG " + logfile, "215 ADMN FLOG %s\r\n" % logfile),
            ("SITE ADMN MESS MCWD y", "215 ADMN MESS MCWD Y\r\n"), ("SITE ADMN MESS", syntax("ADMN MESS")),
            ("SITE ADMN MESS BBYE", "221 Windows FTP Server (ORVYN, by Brandmoor) says goodbye\r\n"),
            ("SITE ADMN IPPT", "502 Command SITE ADMN IPPT not implemented yet on this server\r\n"),
            ("SITE ADMN BOGUS 1", "500 Unidentified command SITE ADMN BOGUS 1\r\n"),
            ("SITE ADMN ", "500 Unidentified command SITE ADMN \r\n"),
            ("SITE WHATEVER", "500 Unidentified command SITE WHATEVER\r\n"),
        )
        self.assertTrue(c.cmd("SITE ADMN MESS HELO").startswith("220 ORVYN"))
        sec = {name: self.security(name) for name in ("Secure", "Allow_Puts", "Allow_Anon", "Allow_Anon_Puts",
                                                      "RequireBackPort", "DisableLowPorts", "MaxUsers", "TimeOut")}
        self.assertEqual(sec, {"Secure": "0x0", "Allow_Puts": "0x0", "Allow_Anon": "0x1", "Allow_Anon_Puts": "0x1",
                               "RequireBackPort": "0x0", "DisableLowPorts": "0x1", "MaxUsers": "0x1",
                               "TimeOut": "0x78"})
        logging = self.sb.instance_key("Main", "Logging")
        self.assertEqual([self.value(logging, n) for n in ("Enable", "Warnings", "LogFile")], ["0x1", "0x0", logfile])
        self.assertEqual(self.value(self.sb.instance_key("Main", "Messages"), "MESSAGE.FTP"), "0x1")
        # In force at once: with MaxUsers 1 a second client is turned away,
        # and with Secure 0 the first works without a login.
        turned_away = Control(self.port, greet=False)
        self.addCleanup(turned_away.close)
        self.assertEqual(turned_away.read_reply(), "421 Too many users logged in already.\r\n")
        self.assertEqual(c.cmd("MODE S"), "200 Mode is Stream\r\n")
        # Every change leaves a warning naming who made it and from where.
        self.assertLogged("Remote administration: ADMN MAXU 1 - by user {not-logged-in} from 127.0.0.1", "!")

    def test_a_program_holding_the_store_stops_no_session(self):
        self.one_instance()
        c = self.control()
        self.assertEqual(c.cmd("SITE ADMN MAXU 7"), "215 ADMN MAXU 7\r\n")
        # Another program takes the store's write lock and keeps it; new
        # clients move the connection counter, which the ticks try to store.
        holder = sqlite3.connect(self.sb.store, timeout=0, isolation_level=None, check_same_thread=False)
        self.addCleanup(holder.close)
        holder.execute("BEGIN IMMEDIATE")
        for _ in range(3):
            Control(self.port).close()
        started = time.monotonic()
        while time.monotonic() - started < 1.5:
            self.assertEqual(c.cmd("NOOP"), "200 No operation completed successfully\r\n")
        self.assertLess(time.monotonic() - started, 5, "the sessions waited for the store")
        for cmd in ("SITE ADMN MAXU 33", "SITE ADMN DISA bob", "SITE ADMN STRT bob /pub RL", "SITE ADMN ELOG n",
                    "SITE ADMN DELU bob"):
            word = cmd.split()[2]
            self.assertEqual(c.cmd(cmd), "451 ADMN %s failed - the change could not be stored.\r\n" % word)
        holder.execute("ROLLBACK")
        self.assertEqual(self.security("MaxUsers"), "0x7")
        self.assertIsNone(self.value(self.sb.instance_key("Main", "Users\\bob"), "Disabled"))
        self.assertEqual(c.cmd("SITE ADMN MAXU 33"), "215 ADMN MAXU 33\r\n")
        self.assertLogged("Remote administration: ADMN MAXU 33 - by user {not-logged-in} from 127.0.0.1", "!")
        audits = [m.split(" - by")[0] for m in self.sb.log_lines(category="!") if m.startswith("Remote administration")]
        self.assertEqual(audits, ["Remote administration: ADMN MAXU 7", "Remote administration: ADMN MAXU 33"])
        # Two more connections, and the service stops while the store is
        # held: the count is stored once it is free.
        counter = self.sb.instance_key("Main", "Logging")
        time.sleep(0.3)
        count = int(self.value(counter, "ConnectNum"), 16)
        holder.execute("BEGIN IMMEDIATE")
        for _ in range(2):
            Control(self.port).close()
        threading.Timer(1.0, holder.execute, ("ROLLBACK",)).start()
        self.stop_cleanly(self.svc)
        self.assertEqual(int(self.value(counter, "ConnectNum"), 16), count + 2)

    def test_users_and_rights(self):
        # Logged-in users, administrators too, are confined to the home tree.
        self.one_instance(values={"Security\\RestrictToDirectory": self.home})
        c = self.control()
        pub = os.path.join(self.home, "pub")
        carol = self.sb.user_key("carol")
        self.assertReplies(
            c,
            ("SITE ADMN ADDU carol", "215 ADMN ADDU carol\r\n"), ("SITE ADMN ADDU Carol", syntax("ADMN ADDU Carol")),
            ("SITE ADMN ADDU default", syntax("ADMN ADDU default")),
            ("SITE ADMN ADDU anonymous", syntax("ADMN ADDU anonymous")),
            ("SITE ADMN ADDU " + "n" * 51, syntax("ADMN ADDU " + "n" * 51)),
            ("SITE ADMN CHPW carol new pass", "215 ADMN CHPW carol <!ssh!>\r\n"),
            ("SITE ADMN CHPW nobody x", syntax("ADMN CHPW nobody x")),
            ("SITE ADMN SETU carol CHRT y", "215 ADMN SETU carol CHRT Y\r\n"),
            ("SITE ADMN SETU carol CHRT", "215 ADMN SETU carol CHRT \r\n"),
            ("SITE ADMN SETU carol XXXX y", syntax("ADMN SETU carol XXXX y")),
            ("SITE ADMN STHM carol " + self.home, "215 ADMN STHM carol %s \r\n" % self.home),
            ("SITE ADMN STRT carol %s RL" % pub, "215 ADMN STRT carol %s RL\r\n" % pub),
            ("SITE ADMN STRT carol * R", "215 ADMN STRT carol * R\r\n"),
            ("SITE ADMN LSRT carol", "215-ADMN STRT carol %s/ RL\r\n215 ADMN STRT carol * R\r\n" % pub),
            ("SITE ADMN RMRT carol " + pub, "215 ADMN RMRT carol %s\r\n" % pub),
            ("SITE ADMN LSRT bob", "215 ADMN STRT <none>\r\n"),
            ("SITE ADMN USRS", "215-ADMN CHPW bob\r\n215 ADMN CHPW carol\r\n"),
        )
        # A confined administrator names paths below its root; a path
        # outside it stores nothing.
        self.sb.add_user("root", "adminpw", self.home + "/", values={"RemoteAdmin": 1})
        far = Control(self.port, source="127.0.0.2")
        self.addCleanup(far.close)
        self.assertEqual(far.cmd("SITE ADMN USER root adminpw"), LOGGED_IN)
        self.assertReplies(
            far,
            ("SITE ADMN STRT carol ../.. RW", syntax("ADMN STRT carol ../.. RW")),
            ("SITE ADMN STRT carol /pub/new RW", "215 ADMN STRT carol /pub/new RW\r\n"),
            ("SITE ADMN STRT carol / L", "215 ADMN STRT carol / L\r\n"),
            ("SITE ADMN LSRT carol", "215-ADMN STRT carol * R\r\n215-ADMN STRT carol /pub/new/ RW\r\n"
                                     "215 ADMN STRT carol / L\r\n"))
        self.assertEqual(self.value(carol + "\\Rights", pub + "/new/"), "RW")
        self.assertNotEqual(self.value(carol, "Passwd"), "qz73019465")
        self.assertIsNone(self.value(carol, "Restricted"))
        self.assertEqual(self.value(carol, "Home"), self.home + "/")
        self.assertEqual(self.sb.reg("query", carol + "\\Rights").stdout.count("REG_SZ"), 3)
        self.assertEqual(self.value(carol + "\\Rights", "*"), "R")
        # Paths compare with case, stored names without: an entry for /Pub/new
        # would land on /pub/new's, so it is refused, and so is its removal.
        clash = "550 ADMN %s refused - /Pub/new differs only in case from the entry /pub/new; nothing changed.\r\n"
        self.assertReplies(far, ("SITE ADMN STRT carol /Pub/new -", clash % "STRT"),
                           ("SITE ADMN RMRT carol /Pub/new", clash % "RMRT"))
        self.assertEqual(self.value(carol + "\\Rights", pub + "/new/"), "RW")
        # The new password logs carol in; the store of rights went with it.
        self.assertEqual(self.login(self.control(), "carol", "new pass"), LOGGED_IN)
        self.assertReplies(c, ("SITE ADMN DELU carol", "215 ADMN DELU carol\r\n"),
                           ("SITE ADMN DELU carol", "515 ADMN DELU carol failed - user does not exist!\r\n"))
        self.assertIsNone(self.value(carol, "Passwd"))

    def test_password_change(self):
        self.one_instance()
        c = self.control()
        self.assertEqual(c.cmd("SITE CHPW pw1 pw2"), "530 Not logged in yet - need a USER and PASS command\r\n")
        self.assertEqual(c.cmd("SITE LINK x"), "530 Not logged in yet - need a USER and PASS command\r\n")
        self.assertEqual(self.login(c), LOGGED_IN)
        self.assertReplies(
            c,
            ("SITE LINK x", "500 Unidentified command SITE LINK x\r\n"),
            ("SITE CHPW pw1", "501 SITE CHPW needs 2 parameters - your old password, and the new one.\r\n"),
            ("SITE CHPW nope pw2", "504 SITE CHPW requires your old password to change to a new one.\r\n"),
            ("SITE CHPW pw1 pw2", "200 CHPW succeeded - your password has changed.\r\n"))
        self.assertEqual(self.login(self.control(), "bob", "pw1"), WRONG)
        self.assertEqual(self.login(self.control(), "bob", "pw2"), LOGGED_IN)

    def test_stop_resume_disconnect_disable(self):
        self.one_instance()
        c = self.control()
        bob = self.logged_in()
        bob_id = self.own_id(bob)
        self.assertEqual(c.cmd("SITE ADMN DISC %d" % self.own_id(c)),
                         "425 Could not disconnect selected ID - either not found, or this connection.\r\n")
        self.assertEqual(c.cmd("SITE ADMN DISC x1"), syntax("ADMN DISC x1"))
        self.assertEqual(c.cmd("SITE ADMN DISC %d" % bob_id), "200 User disconnected.\r\n")
        self.assertIn("421", bob.read_until_closed())

        # DISA stores Disabled, closes the user's sessions (one in the middle
        # of a download too) and refuses logins.
        with open(os.path.join(self.home, "big.bin"), "wb") as f:
            f.truncate(64 << 20)
        bob2 = self.logged_in()
        busy = self.logged_in()
        data = socket.create_connection(pasv_address(busy.cmd("PASV")))
        self.addCleanup(data.close)
        self.assertTrue(busy.cmd("RETR big.bin").startswith("150 "))  # and never read
        self.assertEqual(c.cmd("SITE ADMN DISA BOB"), "200 User disconnected.\r\n")
        self.assertEqual(bob2.read_until_closed(), CLOSING)
        self.assertIn("421 ", busy.read_until_closed())
        self.assertEqual(self.value(self.sb.user_key("bob"), "Disabled"), "0x1")
        self.assertEqual(self.login(self.control()), WRONG)
        self.assertEqual(c.cmd("SITE ADMN DISA bob y"), "200 User disconnected.\r\n")
        self.assertEqual(self.value(self.sb.user_key("bob"), "Disabled"), "0x0")

        # STOP: a stop weeks ahead has not come yet; once it has, new
        # connections hear 120, USER 530; RESU opens up again.
        self.assertTrue(c.cmd("SITE ADMN STOP 40000").startswith("215 ADMN STOP 40000 -1 Stop in 40000 minutes"))
        self.assertTrue(self.control().greeting.startswith("220 "))
        self.assertEqual(c.cmd("SITE ADMN STOP 0 40000"),
                         "215 ADMN STOP 0 40000 Stop immediately, expected restart in 40000 minutes.\r\n")
        late = self.control()
        self.assertRegex(late.greeting, r"^120 This server has stopped\.  We expect it to be back up in (39999|40000) minutes")
        self.assertTrue(late.cmd("USER bob").startswith("530 "))
        again = self.control()
        self.assertEqual(again.cmd("SITE ADMN RESU"), "215 ADMN RESU\r\n")
        self.assertTrue(self.control().greeting.startswith("220 "))
        self.assertEqual(self.login(self.control()), LOGGED_IN)

    def test_monitor_that_stops_reading(self):
        # The kernel takes megabytes before the server has to keep lines:
        # enough commands to go well past both, without logging each.
        self.one_instance(values={"Logging\\Commands": 0, "Logging\\Winsock": 0})
        mon = socket.socket()
        mon.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        mon.connect(("127.0.0.1", self.port))
        self.addCleanup(mon.close)
        mon.sendall(b"SITE ADMN\r\n")  # and never read again
        busy = self.control()
        line = b"NOOP " + b"x" * 900 + b"\r\n"
        count = 20000
        got = []

        def reader():
            f = busy.sock.makefile("rb")
            for _ in range(count):
                got.append(f.readline())

        t = threading.Thread(target=reader)
        t.start()
        for _ in range(count // 100):
            busy.send_raw(line * 100)
        t.join(60)
        self.assertEqual(len(got), count, "the busy session was served to the end")
        self.assertIn("[! ", self.sb.wait_log("does not read its lines - MODI lines dropped") or "")
        self.assertEqual(self.control().cmd("NOOP"), "200 No operation completed successfully\r\n")
        # The end of the busy session still reaches the monitor once it reads
        # again: it would show a session that is gone for ever otherwise.
        busy.send("QUIT")
        busy.close()
        mon.settimeout(10)
        seen = b""
        while b"300 DELE " not in seen:
            chunk = mon.recv(1 << 20)
            self.assertTrue(chunk, "the monitor's lines ended without the session's end")
            seen = seen[-64:] + chunk


if __name__ == "__main__":
    unittest.main()
