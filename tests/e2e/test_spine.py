"""The server core over real sockets: greeting, command lines, HELP, limits,
host rules, idle time-out, several instances, re-scan and stop."""

import signal
import socket
import time
import unittest

from orvyntest import (NOT_LOGGED_IN, Control, ServerCase, Service, free_port, require_programs, wait_closed,
                       wait_for, wait_listening)

GREETING = "220 ORVYN 1.0 service (by Brandmoor) ready for new user\r\n"
GOODBYE = "221 Windows FTP Server (ORVYN, by Brandmoor) says goodbye\r\n"
HELP_ALL = (
    "214-The following commands are recognized (* =>'s unimplemented).\r\n"
    "   USER    PORT    STOR    MSAM*   RNTO    NLST    MKD     CDUP \r\n"
    "   PASS    PASV    APPE    MRSQ*   ABOR    SITE    XMKD    XCUP \r\n"
    "   ACCT    TYPE    MLFL*   MRCP*   DELE    SYST    RMD     STOU \r\n"
    "   SMNT*   STRU    MAIL*   ALLO    CWD     STAT    XRMD    SIZE \r\n"
    "   REIN    MODE    MSND*   REST    XCWD    HELP    PWD     MDTM \r\n"
    "   QUIT    RETR    MSOM*   RNFR    LIST    NOOP    XPWD    FEAT \r\n"
    "   OPTS    MLST \r\n"
    "214 Direct comments about ORVYN to ftp-admin@localhost.\r\n")


def read_file(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return ""


def setUpModule():
    require_programs("orvyn", "orvyn-reg")


class CommandLineTest(ServerCase):
    def test_greeting_and_quit(self):
        port = self.one_instance()
        with Control(port) as c:
            self.assertEqual(c.greeting, GREETING)
            self.assertEqual(c.cmd("QUIT"), GOODBYE)
            self.assertTrue(c.is_closed())
        self.assertTrue(self.sb.wait_log("Accepted connection from 127.0.0.1"))
        self.assertTrue(self.sb.wait_log("QUIT or close - no user name given."))

    def test_greeting_and_farewell_lines_from_messages(self):
        port = self.one_instance(values={"Messages\\Greet": "Welcome\r\nto the test", "Messages\\Bye": "So long"})
        with Control(port) as c:
            self.assertEqual(c.greeting, "220-Welcome\r\n220-to the test\r\n" + GREETING)
            self.assertEqual(c.cmd("QUIT"), "221-So long\r\n" + GOODBYE)

    def test_help_grid_byte_for_byte(self):
        port = self.one_instance()
        with Control(port) as c:
            self.assertEqual(c.cmd("HELP"), HELP_ALL)
            self.assertEqual(c.cmd("HELP RETR"), "214 RETR <path> - Start file download\r\n")
            self.assertEqual(c.cmd("help retrieve"), "214 RETR <path> - Start file download\r\n")
            self.assertEqual(c.cmd("HELP XYZZY"), "214 No such command\r\n")
        self.assertIn("HELP completed successfully", self.messages("C"))

    def test_unknown_command_and_empty_line(self):
        port = self.one_instance()
        with Control(port) as c:
            self.assertEqual(c.cmd("FOO bar"), "500 Unidentified command FOO bar\r\n")
            self.assertEqual(c.cmd(""), "500 Unidentified command \r\n")
            self.assertEqual(c.cmd("CWD"), "501 Command CWD requires at least one parameter\r\n")
            self.assertEqual(c.cmd("PWD x"), "501 Command PWD does not take parameters!\r\n")
            self.assertEqual(c.cmd("SMNT disk"), "502 Command SMNT disk not implemented yet on this server\r\n")
            # A reply cut to its longest length still ends its line, and the
            # next reply is the next command's.
            long = c.cmd("X" * 1500)
            self.assertTrue(long.startswith("500 Unidentified command XXX") and long.endswith("X\r\n"), long)
            self.assertEqual(len(long), 1023)
            self.assertEqual(c.cmd("NOOP"), "200 No operation completed successfully\r\n")
        self.assertIn("Unidentified command FOO bar", self.messages("!"))
        self.assertIn('Format string "500 Unidentified command %s" too long!', self.messages(">"))

    def test_pipelined_and_split_commands(self):
        port = self.one_instance(values={"Security\\Secure": 0})
        with Control(port) as c:
            c.send_raw(b"TYPE A T\r\nSYST\r\nNOOP\nMODE B\r\n")
            self.assertEqual(c.read_reply(), "200 Type is ASCII\r\n")
            self.assertEqual(c.read_reply(), "215 WIN32 A T (ORVYN by Brandmoor)\r\n")
            self.assertEqual(c.read_reply(), "200 No operation completed successfully\r\n")
            self.assertEqual(c.read_reply(), "200 Mode is 'Block'.\r\n")
            c.send_raw(b"TY")
            time.sleep(0.2)
            c.send_raw(b"PE I\r")
            time.sleep(0.2)
            c.send_raw(b"\n")
            self.assertEqual(c.read_reply(), "200 Type is Image (Binary)\r\n")
            self.assertEqual(c.cmd("SYST"), "215 WIN32 L 8 (ORVYN by Brandmoor)\r\n")

    def test_telnet_abort_prefix(self):
        port = self.one_instance()
        with Control(port) as c:
            # At the start of a read, and behind another command in the same
            # read; a line ends at a NUL.
            c.send_raw(b"\xff\xf4\xff\xf2ABOR\r\nNOOP\x00 junk\r\n\xff\xf4\xff\xf2ABOR\r\n")
            self.assertEqual(c.read_reply(), "225 ABOR command successful (nothing to abort!)\r\n")
            self.assertEqual(c.read_reply(), "200 No operation completed successfully\r\n")
            self.assertEqual(c.read_reply(), "225 ABOR command successful (nothing to abort!)\r\n")
            # The same with the Telnet mark sent urgent, and the whole line
            # sent urgent: the session must go on reading commands.
            for urgent, rest in ((b"\xf2", b"ABOR\r\n"), (b"ABOR\r\n", b"")):
                c.send_raw(b"\xff\xf4\xff" if rest else b"")
                time.sleep(0.05)
                c.sock.send(urgent, socket.MSG_OOB)
                time.sleep(0.05)
                c.send_raw(rest + b"NOOP\r\n")
                self.assertEqual(c.read_reply(), "225 ABOR command successful (nothing to abort!)\r\n")
                self.assertEqual(c.read_reply(), "200 No operation completed successfully\r\n")

    def test_lines_after_quit_are_ignored(self):
        port = self.one_instance()
        with Control(port) as c:
            c.send_raw(b"QUIT\r\nNOOP\r\nHELP\r\n")
            self.assertEqual(c.read_until_closed(), GOODBYE)

    def test_quit_behind_unread_replies_waits_for_them(self):
        port = self.one_instance(values={"Security\\Secure": 0})
        # Also when the client shuts down its sending side after the batch,
        # as batch clients do, and reads on.
        for half_close in (False, True):
            with Control(port) as c:
                c.send_raw(b"HELP\r\n" * 300 + b"QUIT\r\nNOOP\r\n")
                time.sleep(1)  # the replies pile up unread
                if half_close:
                    c.sock.shutdown(socket.SHUT_WR)
                    time.sleep(0.5)
                rest = c.read_until_closed()
                self.assertEqual(rest.count("214 Direct comments"), 300, half_close)
                self.assertTrue(rest.endswith("ftp-admin@localhost.\r\n" + GOODBYE), half_close)

    def test_unterminated_line_closes_session(self):
        port = self.one_instance()
        with Control(port) as c:
            c.send_raw(b"X" * 2047)
            self.assertFalse(c.is_closed(timeout=0.5))
            c.send_raw(b"X")
            self.assertEqual(c.read_until_closed(), "")

    def test_smaller_line_limit_follows_setting(self):
        port = self.one_instance(values={"MaxCmdLine": 100})
        with Control(port) as c:
            self.assertEqual(c.cmd("NOOP " + "a" * 60), "501 Command NOOP does not take parameters!\r\n")
            c.send_raw(b"N" * 100)
            self.assertEqual(c.read_until_closed(), "")
        # A new limit holds from the next client, without a refresh.
        self.sb.set_value(self.sb.instance_key("Main"), "MaxCmdLine", 40)
        with Control(port) as c:
            c.send_raw(b"N" * 40)
            self.assertEqual(c.read_until_closed(), "")

    def test_login_gate_with_secure_default(self):
        port = self.one_instance()
        with Control(port) as c:
            self.assertEqual(c.cmd("MODE S"), NOT_LOGGED_IN)
            self.assertEqual(c.cmd("TYPE E"), "504 Only Image (Binary) and ASCII are supported\r\n")
            self.assertEqual(c.cmd("REIN"), GREETING)
        self.assertIn("Command not accepted - user must be logged in", self.messages("C"))


class LimitsAndRulesTest(ServerCase):
    def test_max_users_refuses_the_third(self):
        port = self.one_instance(values={"Security\\MaxUsers": 2})
        # The start-up probe connection must be gone before counting.
        self.assertTrue(self.sb.wait_log("QUIT or close - no user name given."))
        first, second = Control(port), Control(port)
        self.addCleanup(first.close)
        self.addCleanup(second.close)
        self.assertEqual(first.greeting, GREETING)
        self.assertEqual(second.greeting, GREETING)
        with Control(port, greet=False) as third:
            self.assertEqual(third.read_until_closed(),
                             "421 Too many users logged in already.\r\n" + GOODBYE)
        self.assertTrue(self.sb.wait_log("Too many users connected - 3 / 2"))
        # The refused session no longer counts: a new one fits once one leaves.
        self.assertEqual(first.cmd("QUIT"), GOODBYE)
        self.assertTrue(first.is_closed())
        time.sleep(0.2)
        with Control(port) as fourth:
            self.assertEqual(fourth.greeting, GREETING)

    def test_allow_mode_by_cidr(self):
        port = self.one_instance(values={"Hosts\\AllowAll": 0, "Hosts\\AllowThese\\127.0.0.2/32": 1})
        with Control(port, source="127.0.0.2") as c:
            self.assertEqual(c.greeting, GREETING)
        self.assertTrue(self.sb.wait_log('Host {unnamed} [127.0.0.2] allowed because it matched "127.0.0.2/32"'))
        with Control(port, source="127.0.0.1", greet=False) as c:
            self.assertEqual(c.read_until_closed(),
                             "421 Service not available, closing TELNET connection\r\n" + GOODBYE)
        self.assertTrue(self.sb.wait_log(
            "User's host {unnamed} [127.0.0.1] not allowed to connect because it matched no rule."))

    def test_deny_mode_by_cidr(self):
        port = self.one_instance(values={"Hosts\\DenyThese\\127.0.0.0/30": 1})
        with Control(port, source="127.0.0.2", greet=False) as c:
            self.assertEqual(c.read_until_closed(),
                             "421 Service not available, closing TELNET connection\r\n" + GOODBYE)
        self.assertTrue(self.sb.wait_log(
            "User's host {unnamed} [127.0.0.2] not allowed to connect because of rule 127.0.0.0/30."))
        with Control(port, source="127.0.0.9") as c:
            self.assertEqual(c.greeting, GREETING)

    def test_idle_session_times_out(self):
        port = self.one_instance(values={"Security\\TimeOut": 1}, timer_ms=100)
        with Control(port) as c:
            self.assertEqual(c.read_until_closed(timeout=5),
                             "421 Timeout (1 seconds): closing control connection.\r\n")
        self.assertTrue(self.sb.wait_log("Connection timed out."))
        # Longer than 32-bit milliseconds hold: long, not wrapped round.
        with Control(port) as admin:
            self.assertEqual(admin.cmd("SITE ADMN IDLE 4294968"), "215 ADMN IDLE 4294968\r\n")
        with Control(port) as c:
            time.sleep(1.0)
            self.assertEqual(c.cmd("NOOP"), "200 No operation completed successfully\r\n")

    def test_allow_logins_zero_refuses_commands(self):
        port = self.one_instance(values={"AllowLogins": 0})
        with Control(port, greet=False) as c:
            self.assertEqual(c.read_reply(), "421 Service not available, closing TELNET connection\r\n")
            # A command without gates still runs; the closing gate after it ends the session.
            c.send("NOOP")
            self.assertEqual(c.read_until_closed(), "200 No operation completed successfully\r\n"
                             "421 Service not available, closing TELNET connection\r\n")
        self.assertTrue(self.sb.wait_log("Connection terminated - closing connection"))


class InstancesTest(ServerCase):
    def test_two_instances_keep_separate_sessions_and_logs(self):
        p1, p2 = free_port(), free_port()
        self.sb.add_instance("Alpha", p1)
        self.sb.add_instance("Beta", p2)
        self.start(p1, p2)
        with Control(p1) as a1, Control(p1) as a2, Control(p2) as b1:
            self.assertEqual(a1.greeting, GREETING)
            self.assertEqual(a2.greeting, GREETING)
            self.assertEqual(b1.greeting, GREETING)
            a1.cmd("NOOP alpha")
            b1.cmd("NOOP beta")
        self.assertTrue(self.sb.wait_log('"Beta" [C'))
        self.assertIn('Command "NOOP alpha" received', self.messages("C", "Alpha"))
        self.assertNotIn('Command "NOOP alpha" received', self.messages("C", "Beta"))
        self.assertIn('Command "NOOP beta" received', self.messages("C", "Beta"))

    def test_enabled_and_port_forms(self):
        cases = {
            "DwordPort": ({"Port": ("REG_DWORD", None)}, True),
            "StringPort": ({"Port": ("REG_SZ", None)}, True),
            "BigEndianPort": ({"Port": ("REG_DWORD_BIG_ENDIAN", None)}, True),
            "ExpandPort": ({"Port": ("REG_EXPAND_SZ", "%ORVYN_TEST_PORT%")}, True),
            "EnabledYes": ({"Enabled": ("REG_SZ", "yes")}, True),
            "EnabledFive": ({"Enabled": ("REG_DWORD", "5")}, True),
            "EnabledNo": ({"Enabled": ("REG_SZ", "No")}, False),
            "EnabledZeroText": ({"Enabled": ("REG_SZ", "0")}, False),
            "EnabledZero": ({"Enabled": ("REG_DWORD", "0")}, False),
        }
        ports = {}
        expand_port = None
        for name, (values, _) in cases.items():
            port = free_port()
            ports[name] = port
            key = self.sb.add_instance(name, None, log=False)
            for vname, (vtype, data) in values.items():
                if vname == "Port" and data and "%" in data:
                    expand_port = port
                self.sb.set_value(key, vname, data if data is not None else str(port), vtype)
            if "Port" not in values:
                self.sb.set_value(key, "Port", port)
        self.start(env={"ORVYN_TEST_PORT": str(expand_port)})
        for name, (_, enabled) in cases.items():
            if enabled:
                self.assertTrue(wait_listening(ports[name]), name)
        for name, (_, enabled) in cases.items():
            key = self.sb.instance_key(name)
            if enabled:
                # Started is written just after the listener opens.
                wait_for(lambda: self.sb.query_value(key, "Started") == "0x1", timeout=5)
                self.assertEqual(self.sb.query_value(key, "Started"), "0x1", name)
                self.assertEqual(self.sb.query_value(key, "NumPort"), hex(ports[name]), name)
            else:
                self.assertIsNone(self.sb.query_value(key, "Started"), name)
                self.assertTrue(wait_closed(ports[name], timeout=0.5), name)

    def test_port_in_use_is_a_fatal_error_for_that_instance_only(self):
        busy = socket.socket()
        busy.bind(("127.0.0.1", 0))
        busy.listen(1)
        self.addCleanup(busy.close)
        taken = busy.getsockname()[1]
        good = free_port()
        self.sb.add_instance("Busy", taken)
        self.sb.add_instance("Big", 70000)
        self.sb.add_instance("Good", good)
        self.start(good)
        with Control(good) as c:
            self.assertEqual(c.greeting, GREETING)
        key = self.sb.instance_key("Busy")
        self.assertEqual(self.sb.query_value(key, "Started"), "0x0")
        self.assertEqual(self.sb.query_value(key, "Fatal Error"),
                         "Fatal error binding listening socket: WSAEADDRINUSE - Address already in use")
        self.assertIn("ORVYN - Fatal (bind to ftp)", self.messages("!", "Busy"))
        # A port out of range fails the same way, each line once.
        fatal = "Fatal error binding listening socket: port 70000 is out of range"
        self.assertEqual(self.sb.query_value(self.sb.instance_key("Big"), "Fatal Error"), fatal)
        big = self.messages("!", "Big")
        self.assertEqual((big.count("ORVYN - Fatal (bind to ftp)"), big.count(fatal)), (1, 1), big)

    def test_refresh_starts_enabled_and_stops_disabled(self):
        p1, p2 = free_port(), free_port()
        self.sb.add_instance("Running", p1)
        self.sb.add_instance("Later", p2, enabled=0)
        svc = self.start(p1)
        self.assertTrue(wait_closed(p2, timeout=0.5))
        pid_file = svc.pid_file()
        self.assertTrue(wait_for(lambda: read_file(pid_file).strip() == str(svc.proc.pid)))
        self.sb.set_value(self.sb.instance_key("Later"), "Enabled", 1)
        self.sb.set_value(self.sb.instance_key("Running"), "Enabled", "no")
        svc.refresh()
        self.assertTrue(wait_listening(p2), "newly enabled instance does not listen")
        self.assertTrue(wait_closed(p1), "disabled instance still listens")
        # With nothing running, nothing else reads the store: the next
        # refresh must still see what changed.
        with Control(p2) as c:
            self.assertEqual(c.greeting, GREETING)
        time.sleep(0.3)
        self.sb.set_value(self.sb.instance_key("Later"), "Enabled", 0)
        svc.refresh()
        self.assertTrue(wait_closed(p2), "disabled instance still listens")
        self.sb.set_value(self.sb.instance_key("Running"), "Enabled", 1)
        svc.refresh()
        self.assertTrue(wait_listening(p1), "instance enabled again does not listen")

    def test_refresh_rereads_settings_of_running_instance(self):
        port = self.one_instance()
        with Control(port) as c:
            self.assertEqual(c.cmd("MODE S"), NOT_LOGGED_IN)
        self.sb.set_value(self.sb.instance_key("Main", "Security"), "Secure", 0)
        self.svc.refresh()

        def mode_works():
            with Control(port) as c:
                return c.cmd("MODE S") == "200 Mode is Stream\r\n"
        self.assertTrue(wait_for(mode_works, timeout=5))

    def test_deleted_instance_key_is_not_brought_back(self):
        # The instance goes on running; its own writes (the connection count
        # at every tick and at the stop) must not make the key again, or the
        # next start would find an instance on the default port of every
        # address.
        port = self.one_instance(timer_ms=100)
        key = self.sb.instance_key("Main")
        self.sb.reg("delete", key, "/f")
        for _ in range(3):
            with Control(port) as c:
                self.assertEqual(c.cmd("NOOP"), "200 No operation completed successfully\r\n")
        time.sleep(0.5)
        self.assertEqual(self.svc.stop(), 0)
        self.assertNotEqual(self.sb.reg("query", key, check=False).returncode, 0, "the deleted key came back")

    def test_sigterm_closes_sessions_and_exits_zero(self):
        port = self.one_instance()
        with Control(port) as c1, Control(port) as c2:
            self.assertEqual(c1.cmd("NOOP"), "200 No operation completed successfully\r\n")
            self.svc.signal(signal.SIGTERM)
            self.assertEqual(c1.read_until_closed(), "421 Sorry, but the server has disconnected you.\r\n")
            self.assertEqual(c2.read_until_closed(), "421 Sorry, but the server has disconnected you.\r\n")
            self.assertEqual(self.svc.wait(), 0)
        self.assertTrue(self.sb.wait_log("Disconnected user "))

    def test_missing_product_key_exits_with_message(self):
        svc = Service(self.sb).start()
        code = svc.wait(timeout=10)
        self.assertNotEqual(code, 0)
        self.assertTrue(svc.stderr.strip(), "no message on standard error")


if __name__ == "__main__":
    unittest.main()
