"""Hostile clients against the data side and the control line of `orvyn s`:
a third party stealing a passive data connection, PORT to a third party,
a client that never completes its line, STOU naming the root, a restart
marker far beyond the end before STOR, and client text that looks like reply
macros."""

import os
import socket
import time
import unittest

from orvyntest import ServerCase, pasv_address, recv_all, require_programs

THIEF = "127.0.0.2"
REPLY_226 = "226 Transfer finished successfully.\r\n"


def setUpModule():
    require_programs("orvyn", "orvyn-reg")




class OpenInstance(ServerCase):
    """Instances with Security\\Secure 0: paths are relative to the
    service's working directory, the sandbox folder."""

    timer_ms = 100

    def setUp(self):
        super().setUp()
        self.files = os.path.join(self.sb.dir, "files")
        os.makedirs(self.files)

    def start_open(self, **values):
        self.one_instance(values=dict({"Security\\Secure": 0, "Security\\Allow_Anon_Puts": 1},
                                      **{"Security\\" + k: v for k, v in values.items()}))
        return self.control()

    def path(self, name):
        return os.path.join(self.files, name)

    def content(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()


class DataPeerTest(OpenInstance):
    def thief_connects_first(self, c):
        """PASV, then a connection to the announced port from another
        address; returns the address, the port and the thief's socket."""
        host, port = pasv_address(c.cmd("PASV"))
        thief = socket.create_connection((host, port), timeout=5, source_address=(THIEF, 0))
        self.addCleanup(thief.close)
        return host, port, thief

    def test_foreign_peer_is_turned_away(self):
        with open(self.path("secret.txt"), "wb") as f:
            f.write(b"the secret")
        c = self.start_open()
        host, port, thief = self.thief_connects_first(c)
        with socket.create_connection((host, port), timeout=5) as d:
            self.assertTrue(c.cmd("RETR files/secret.txt").startswith("150 "))
            self.assertEqual(recv_all(d), b"the secret")
        self.assertEqual(c.read_reply(), REPLY_226)
        self.assertLogged("Refused data connection from %s - not the address of the client" % THIEF, "!")
        self.assertEqual(recv_all(thief), b"")

        # An upload takes the bytes of the client, not those of a thief.
        host, port, thief = self.thief_connects_first(c)
        try:
            thief.sendall(b"forged")
        except OSError:
            pass  # already turned away
        with socket.create_connection((host, port), timeout=5) as d:
            self.assertTrue(c.cmd("STOR files/upload.txt").startswith("150 "))
            d.sendall(b"genuine")
        self.assertEqual(c.read_reply(), REPLY_226)
        self.assertEqual(self.content("upload.txt"), b"genuine")

    def test_strangers_filling_the_backlog_do_not_keep_the_client_out(self):
        with open(self.path("secret.txt"), "wb") as f:
            f.write(b"the secret")
        c = self.start_open()
        host, port = pasv_address(c.cmd("PASV"))
        for _ in range(6):
            stranger = socket.socket()
            self.addCleanup(stranger.close)
            stranger.setblocking(False)
            stranger.bind((THIEF, 0))
            stranger.connect_ex((host, port))
        # Clients connect before they send the command: the service must make
        # room for the connection by itself.
        with socket.create_connection((host, port), timeout=15) as d:
            self.assertTrue(c.cmd("RETR files/secret.txt").startswith("150 "))
            self.assertEqual(recv_all(d), b"the secret")
        self.assertEqual(c.read_reply(), REPLY_226)
        self.assertLogged("Refused data connection from %s - not the address of the client" % THIEF, "!")

    def test_foreign_peer_allowed_by_setting(self):
        with open(self.path("shared.txt"), "wb") as f:
            f.write(b"for the other site")
        c = self.start_open(AllowForeignDataPeer=1)
        _, _, thief = self.thief_connects_first(c)
        self.assertTrue(c.cmd("RETR files/shared.txt").startswith("150 "))
        self.assertEqual(recv_all(thief), b"for the other site")
        self.assertEqual(c.read_reply(), REPLY_226)

    def test_port_to_a_third_party(self):
        refused = "501 Syntax error - illegal parameters to PORT command.\r\n"
        third_party = "PORT 127,0,0,2,200,10"
        c = self.start_open()
        self.assertReplies(c, (third_party, refused), ("EPRT |1|127.0.0.2|51210|", refused),
                           ("PORT 127,0,0,1,200,10", "200 PORT command okay\r\n"))
        c.close()
        self.sb.set_value(self.sb.instance_key("Main", "Security"), "RequireBackPort", 0)
        self.svc.refresh()
        c = self.control()
        self.assertTrue(wait_reply(c, third_party, "200 PORT command okay\r\n"))


def wait_reply(c, command, reply, timeout=5.0):
    """Sends command until it gets reply (a refreshed setting takes a moment)."""
    deadline = time.monotonic() + timeout
    while True:
        if c.cmd(command) == reply:
            return True
        if time.monotonic() > deadline:
            return False
        time.sleep(0.1)


class SlowClientTest(OpenInstance):
    def test_partial_line_times_out(self):
        c = self.start_open(TimeOut=2)
        c.sock.settimeout(1.0)
        received = b""
        for byte in b"NOOP NOOP":
            try:
                c.send_raw(bytes([byte]))
                chunk = c.sock.recv(4096)
            except socket.timeout:
                continue
            except (BrokenPipeError, ConnectionResetError):
                break
            received += chunk
            if not chunk:
                break
        self.assertEqual(received, b"421 Timeout (2 seconds): closing control connection.\r\n")


class AnsweredTransferTest(OpenInstance):
    def test_a_new_data_command_keeps_the_bytes_a_226_promised(self):
        body = os.urandom(400000)
        with open(self.path("big.bin"), "wb") as f:
            f.write(body)
        c = self.start_open()
        self.assertTrue(c.cmd("TYPE I").startswith("200 "))
        # Without a login, paths count from the service's folder for every command.
        self.assertTrue(c.cmd("MLST files/big.bin").startswith("250-"))
        self.assertTrue(c.cmd("HASH files/big.bin").startswith("213 SHA-256 0-400000 "))
        with socket.create_connection(pasv_address(c.cmd("PASV"))) as listing:
            self.assertTrue(c.cmd("NLST files").startswith("150 "))
            self.assertEqual(recv_all(listing, timeout=5), b"big.bin\r\n")
        self.assertEqual(c.read_reply(), REPLY_226)
        listener = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(listener.close)
        port = listener.getsockname()[1]
        # The client reads the data only after its next command: the 226 comes
        # while most of the file still waits in the server's socket.
        for following in ("EPSV", "PORT 127,0,0,1,%d,%d" % (port >> 8, port & 255)):
            data = socket.socket()
            self.addCleanup(data.close)
            data.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
            data.connect(pasv_address(c.cmd("PASV")))
            self.assertTrue(c.cmd("RETR files/big.bin").startswith("150 "))
            self.assertEqual(c.read_reply(), REPLY_226)
            self.assertTrue(c.cmd(following)[:3] in ("200", "229"), following)
            self.assertEqual(recv_all(data, timeout=5), body, following)
        self.assertEqual(sum("Got 400000 bytes of file" in m for m in self.messages("G")), 2)


    def test_a_transfer_still_needing_its_connection_ends_when_another_replaces_it(self):
        with open(self.path("a.txt"), "wb") as f:
            f.write(b"first\r\n")
        c = self.start_open()
        # PASV while a transfer waits for its connection, and while one runs.
        self.assertTrue(c.cmd("PASV").startswith("227 "))
        c.send_raw(b"RETR files/a.txt\r\nPASV\r\n")
        self.assertEqual(c.read_reply(), "426 Transfer aborted.\r\n")
        address = pasv_address(c.read_reply())
        with socket.create_connection(address) as data:
            self.assertTrue(c.cmd("STOR files/up.bin").startswith("150 "))
            data.sendall(b"x" * 1000)
            time.sleep(0.3)
            self.assertEqual(c.cmd("PASV"), "426 Transfer aborted.\r\n")
            self.assertTrue(c.read_reply().startswith("227 "))
        # So does a transfer command while a download runs, even one then
        # refused: the download's 150 gets its final reply first, and no other.
        # Larger than the kernel's send buffer can grow to (4 MiB here), so
        # that the download is still running when the command comes.
        with open(self.path("big.bin"), "wb") as f:
            f.write(b"b" * (16 << 20))
        for command, reply in (("LIST", "425 "), ("RETR files/missing.bin", "550 "), ("REIN", "220")):
            with socket.socket() as data:
                data.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
                data.connect(pasv_address(c.cmd("PASV")))
                self.assertTrue(c.cmd("RETR files/big.bin").startswith("150 "))
                data.recv(1000)
                self.assertEqual(c.cmd(command), "426 Transfer aborted.\r\n")
                self.assertTrue(c.read_reply().startswith(reply), command)
                recv_all(data, timeout=5)
            self.assertTrue(c.cmd("NOOP").startswith("200 "))
        self.assertTrue(c.cmd("QUIT").startswith("221 "))
        self.assertTrue(c.is_closed(timeout=5.0))
        self.assertTrue(any(m.startswith("Put ") and m.endswith("up.bin unsuccessfully") for m in self.messages("P")),
                        self.messages("P"))


class StoreTest(OpenInstance):
    def test_file_commands_work_without_a_login(self):
        # Nobody's rights apply without a login: the service's own access
        # decides for folders and names as it does for transfers.
        c = self.start_open()
        self.assertTrue(c.cmd("CWD files").startswith("250 "))
        self.assertTrue(c.cmd("MKD made").startswith("257 "))
        self.assertTrue(c.cmd("RNFR made").startswith("350 "))
        self.assertTrue(c.cmd("RNTO moved").startswith("250 "))
        self.assertIn("perm=cdelmp;", c.cmd("MLST moved"))
        self.assertTrue(c.cmd("RMD moved").startswith("250 "))
        self.assertEqual(os.listdir(self.files), [])

    def test_without_a_login_allow_puts_off_changes_nothing(self):
        with open(self.path("kept.txt"), "wb") as f:
            f.write(b"kept")
        c = self.start_open(Allow_Puts=0)
        self.assertTrue(c.cmd("CWD files").startswith("250 "))
        for command in ("MKD made", "DELE kept.txt", "RNFR kept.txt", "STOR new.txt"):
            self.assertTrue(c.cmd(command).startswith("550 "), command)
        self.assertIn("perm=r;", c.cmd("MLST kept.txt"))
        self.assertEqual(os.listdir(self.files), ["kept.txt"])

    def test_restart_marker_beyond_end_before_stor(self):
        with open(self.path("ten.bin"), "wb") as f:
            f.write(b"0123456789")
        c = self.start_open()
        for name in ("new.bin", "ten.bin"):
            self.assertEqual(c.cmd("REST 1099511627776"), "350 Restarting from 1099511627776 bytes.\r\n")
            self.assertEqual(c.cmd("STOR files/" + name),
                             "554 Error - restart marker (1099511627776 bytes) beyond end of file files/%s\r\n"
                             % name)
        self.assertEqual(self.content("ten.bin"), b"0123456789")
        self.assertFalse(os.path.exists(self.path("new.bin")))


class ConfinedUserTest(ServerCase):
    """The user bob, confined to his home folder home/bob."""

    timer_ms = 100
    user, password = "bob", "pa55 word"

    def setUp(self):
        super().setUp()
        self.parent = os.path.join(self.sb.dir, "home")
        self.root = os.path.join(self.parent, "bob")
        os.makedirs(self.root)
        self.sb.add_user("bob", self.password, self.root + "/", values={"Restricted": 1})
        self.sb.set_rights("bob", self.root + "/", "RWL")

    def test_client_text_is_not_expanded(self):
        self.sb.set_value(self.sb.instance_key("Main"), "Email", "admin@orvyn.test")
        self.sb.set_value(self.sb.instance_key("Main", "Messages"), "Greet", "Mail %E")
        self.one_instance()
        c = self.control()
        # The administrator's text is expanded, the client's never.
        self.assertEqual(c.greeting.splitlines()[0], "220-Mail admin@orvyn.test")
        macros = "%L|%E|%R|%T|%N|%C|%%U|%s%n"
        self.assertEqual(c.cmd("XYZ " + macros), "500 Unidentified command XYZ %s\r\n" % macros)
        self.login(c)
        self.assertEqual(c.cmd("MKD " + macros), '257 "%s" directory created\r\n' % macros)
        self.assertTrue(os.path.isdir(os.path.join(self.root, macros)))

    def test_stou_naming_the_root_stays_inside(self):
        parent = self.parent
        self.one_instance()
        c = self.logged_in()
        before = os.stat(parent).st_mtime_ns
        time.sleep(0.05)
        for name in ("/", ".", "/.."):
            self.assertTrue(c.cmd("STOU " + name).startswith("550 "), name)
        self.assertEqual(os.listdir(parent), ["bob"])
        self.assertEqual(os.stat(parent).st_mtime_ns, before)


if __name__ == "__main__":
    unittest.main()
