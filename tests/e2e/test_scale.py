"""Settings read afresh by every command, what idle logged-in sessions cost
the process, and a process that runs out of descriptors."""

import os
import resource
import socket
import subprocess
import time
import unittest

from orvyntest import (LOGGED_IN, Control, ServerCase, Service, free_port, pasv_address, program, require_programs,
                       wait_for)

SERVICE_NOT_AVAILABLE = "421 Service not available, closing TELNET connection\r\n"


def setUpModule():
    require_programs("orvyn", "orvyn-reg")


def open_descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def lowest_free_descriptor(pid):
    """The number the process's next descriptor gets. A limit of this number
    plus k leaves exactly k descriptors, whatever holes the table has above."""
    used = {int(n) for n in os.listdir("/proc/%d/fd" % pid)}
    n = 0
    while n in used:
        n += 1
    return n


def holds_file(pid, path):
    fds = "/proc/%d/fd" % pid
    for n in os.listdir(fds):
        try:
            if os.readlink(os.path.join(fds, n)) == path:
                return True
        except FileNotFoundError:
            pass  # closed meanwhile
    return False


def sanitizer_build():
    """The sanitizers' runtimes need descriptors of their own (to check
    memory, to report): a process out of descriptors makes them report
    faults that are not there."""
    out = subprocess.run(["ldd", program("orvyn")], capture_output=True, text=True).stdout
    return "libasan" in out or "libubsan" in out


class StoreChangesTest(ServerCase):
    user, password = "bob", "secret"

    def setUp(self):
        super().setUp()
        self.home = os.path.join(self.sb.dir, "home")
        os.mkdir(self.home)
        with open(os.path.join(self.home, "a.txt"), "w") as f:
            f.write("twelve bytes")
        self.sb.add_user("bob", "secret", home=self.home)
        self.sb.set_rights("bob", self.home + "/", "RL")

    def test_a_value_changed_between_two_commands_is_used_by_the_second(self):
        self.one_instance()
        c = self.logged_in()
        key = self.sb.instance_key("Main")
        # An instance setting.
        self.assertTrue(c.cmd("MLST a.txt").startswith("250-"))
        self.sb.set_value(key, "MLST", 0)
        self.assertTrue(c.cmd("MLST a.txt").startswith("502 "))
        # The letters of the user's rights entry.
        self.assertEqual(c.cmd("SIZE a.txt"), "213 12\r\n")
        self.sb.set_rights("bob", self.home + "/", "-")
        self.assertEqual(c.cmd("SIZE a.txt"), "550 You have no rights to list that directory!\r\n")
        # The log switches.
        self.sb.set_value(self.sb.instance_key("Main", "Logging"), "Commands", 0)
        c.cmd("NOOP")
        self.sb.set_value(self.sb.instance_key("Main", "Logging"), "Commands", 1)
        c.cmd("SYST")
        self.assertLogged('Command "SYST" received')
        self.assertNotIn('Command "NOOP" received', self.messages("C"))
        # The log file's name.
        moved = os.path.join(self.sb.dir, "moved.log")
        self.sb.set_value(self.sb.instance_key("Main", "Logging"), "LogFile", moved)
        c.cmd("NOOP")
        with open(moved, "rb") as f:
            self.assertIn(b'Command "NOOP" received', f.read())
        # And a line written between commands, at the client's close.
        closed = os.path.join(self.sb.dir, "closed.log")
        self.sb.set_value(self.sb.instance_key("Main", "Logging"), "LogFile", closed)
        c.close()

        def logged_at_close():
            try:
                with open(closed, "rb") as f:
                    return b"QUIT or close - user bob logged out" in f.read()
            except FileNotFoundError:
                return False
        self.assertTrue(wait_for(logged_at_close))


class IdleSessionsTest(ServerCase):
    def test_logged_in_sessions_hold_no_store_connection(self):
        pub = os.path.join(self.sb.dir, "pub")
        os.mkdir(pub)
        self.one_instance(values={"Security\\Allow_Anon": 1, "Users\\default\\Home": pub})
        pid = self.svc.proc.pid
        sessions = []
        for _ in range(5):
            c = self.control()
            c.cmd("USER anonymous")
            self.assertEqual(c.cmd("PASS me@example.org"), LOGGED_IN)
            sessions.append(c)
        before = open_descriptors(pid)
        for _ in range(60):
            c = self.control()
            c.cmd("USER anonymous")
            self.assertEqual(c.cmd("PASS me@example.org"), LOGGED_IN)
            sessions.append(c)
        # One descriptor per session, its control socket, and nothing of the
        # store (a connection of its own cost each session three); a few to
        # spare for the store's shared pool.
        self.assertLessEqual(open_descriptors(pid) - before, 60 + 8)
        for c in sessions:
            c.cmd("QUIT")
            c.close()
        # And what they used goes with them.
        self.assertTrue(wait_for(lambda: open_descriptors(pid) <= before - 5 + 8, timeout=10.0),
                        open_descriptors(pid))


class ManyInstancesTest(ServerCase):
    def test_soft_limit_raised_and_one_reserve_for_all_instances(self):
        ports = [free_port() for _ in range(8)]
        for i, port in enumerate(ports):
            self.sb.add_instance("I%d" % i, port, log=False)
        svc = Service(self.sb)
        # Started with the soft limit a service manager usually gives.
        svc.args = ["sh", "-c", 'ulimit -Sn 256 && exec "$0" "$@"'] + svc.args
        svc.start()
        self.addCleanup(self.stop_cleanly, svc)
        for port in ports:
            svc.wait_listening(port)
        soft, hard = resource.prlimit(svc.proc.pid, resource.RLIMIT_NOFILE)
        self.assertEqual(soft, hard)
        fds = "/proc/%d/fd" % svc.proc.pid
        reserves = [n for n in os.listdir(fds) if int(n) > 2 and os.readlink(os.path.join(fds, n)) == "/dev/null"]
        self.assertEqual(len(reserves), 1, "one descriptor in reserve for the process, not one per instance")


@unittest.skipIf(sanitizer_build(), "the sanitizers' runtimes cannot run out of descriptors")
class DescriptorExhaustionTest(ServerCase):
    def test_extra_clients_get_421_and_service_resumes(self):
        self.one_instance()
        pid = self.svc.proc.pid
        first = self.control()
        self.assertEqual(first.cmd("NOOP"), "200 No operation completed successfully\r\n")
        # Room for a few more sessions only.
        limit = open_descriptors(pid) + 4
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (limit, limit))
        greeted, refused = [], 0
        for _ in range(12):
            s = socket.create_connection(("127.0.0.1", self.port), timeout=5)
            self.addCleanup(s.close)
            reply = s.recv(4096).decode()
            if reply == SERVICE_NOT_AVAILABLE:
                refused += 1
                self.assertEqual(s.recv(10), b"")  # and closed
            else:
                self.assertTrue(reply.startswith("220 "), reply)
                greeted.append(s)
        self.assertGreater(len(greeted), 0)
        self.assertGreater(refused, 0)
        # The sessions that are in still work.
        self.assertEqual(first.cmd("NOOP"), "200 No operation completed successfully\r\n")
        # One descriptor free again: a new client is greeted with it, without
        # a second client having to knock first, and the episode's end is
        # logged although that client took the last descriptor.
        greeted.pop().close()
        time.sleep(0.2)
        with Control(self.port) as c:
            self.assertTrue(c.greeting.startswith("220 "), c.greeting)
            self.assertLogged("Descriptors are free again - accepting connections", "!")
        for s in greeted:
            s.close()
        warnings = self.messages("!")
        self.assertEqual(sum("Out of descriptors" in m for m in warnings), 1, warnings)

    def bob_logged_in(self):
        """bob, with a file a.txt, logged in; the service's pid and the session."""
        home = os.path.join(self.sb.dir, "home")
        os.mkdir(home)
        with open(os.path.join(home, "a.txt"), "w") as f:
            f.write("x")
        self.sb.add_user("bob", "secret", home=home)
        self.one_instance()
        pid = self.svc.proc.pid
        c = self.control()
        self.assertEqual(self.login(c, "bob", "secret"), LOGGED_IN)
        return pid, c

    def test_data_side_out_of_descriptors_answers_4xx_and_goes_on(self):
        pid, c = self.bob_logged_in()
        reply = c.cmd("PASV")
        numbers = [int(n) for n in reply[reply.index("(") + 1:reply.index(")")].split(",")]
        # One descriptor left: RETR opens its file with it, then the data
        # connection finds none.
        # The server writes its log line after the reply and holds the log
        # open meanwhile: measure once it is done.
        self.assertLogged("Entering Passive Mode " + reply[reply.index("("):reply.index(")") + 1])
        self.assertTrue(wait_for(lambda: not holds_file(pid, self.sb.logfile)))
        limit = lowest_free_descriptor(pid) + 1
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (limit, limit))
        c.send("RETR a.txt")
        try:
            data = socket.create_connection(("127.0.0.1", numbers[4] * 256 + numbers[5]), timeout=5)
            self.addCleanup(data.close)
        except (ConnectionResetError, ConnectionRefusedError):
            pass  # the server gave up the listener before the connect was reported, or before it came
        self.assertEqual(c.read_reply(), "425 Unable to open data connection - error=[10024] Too many open files\r\n")
        # None left at all: a listing says that it failed.
        self.assertTrue(wait_for(lambda: not holds_file(pid, self.sb.logfile)))
        limit = lowest_free_descriptor(pid)
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (limit, limit))
        status = c.cmd("STAT .")
        self.assertTrue(status.startswith("213-status of .:\r\n"), status)
        self.assertIn("213-Listing failed", status)
        self.assertTrue(status.endswith("213 End of status\r\n"), status)
        self.assertEqual(c.cmd("NOOP"), "200 No operation completed successfully\r\n")

    def test_an_upload_past_the_file_size_limit_fails_and_the_service_goes_on(self):
        pid, c = self.bob_logged_in()
        self.sb.set_rights("bob", os.path.join(self.sb.dir, "home") + "/", "RWL")
        resource.prlimit(pid, resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
        host, port = pasv_address(c.cmd("PASV"))
        with socket.create_connection((host, port), timeout=5) as data:
            self.assertTrue(c.cmd("STOR big.bin").startswith("150 "))
            try:
                data.sendall(b"b" * (2 << 20))
            except OSError:
                pass  # reset once the upload has failed
        self.assertTrue(c.read_reply().startswith("451 "))
        self.assertEqual(c.cmd("NOOP"), "200 No operation completed successfully\r\n")
        with self.control() as other:
            self.assertEqual(self.login(other, "bob", "secret"), LOGGED_IN)

    def test_a_failed_passive_accept_fails_the_transfer_and_connects_nowhere(self):
        pid, c = self.bob_logged_in()
        # An earlier PORT leaves an address behind that the transfer must not use.
        old_target = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(old_target.close)
        port = old_target.getsockname()[1]
        self.assertTrue(c.cmd("PORT 127,0,0,1,%d,%d" % (port >> 8, port & 255)).startswith("200 "))
        reply = c.cmd("PASV")
        numbers = [int(n) for n in reply[reply.index("(") + 1:reply.index(")")].split(",")]
        self.assertLogged("Entering Passive Mode " + reply[reply.index("("):reply.index(")") + 1])
        self.assertTrue(wait_for(lambda: not holds_file(pid, self.sb.logfile)))
        # The client's connection waits for the transfer command, which has
        # its file but no descriptor left for the connection: the accept
        # fails, and the listener goes, which resets the client.
        data = socket.create_connection(("127.0.0.1", numbers[4] * 256 + numbers[5]), timeout=5)
        self.addCleanup(data.close)
        limit = lowest_free_descriptor(pid) + 1
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (limit, limit))
        self.assertEqual(c.cmd("RETR a.txt"),
                         "425 Unable to open data connection - error=[10024] Too many open files\r\n")
        with self.assertRaises((ConnectionResetError, ConnectionRefusedError)):
            data.recv(1)
        old_target.settimeout(0.5)
        with self.assertRaises(socket.timeout):
            old_target.accept()
        self.assertEqual(c.cmd("NOOP"), "200 No operation completed successfully\r\n")
