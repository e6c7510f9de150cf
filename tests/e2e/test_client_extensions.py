"""What clients send on their own: modification times kept on upload (MFMT,
MDTM with a time), CLNT, OPTS UTF8, FEAT."""

import calendar
import hashlib
import os
import shutil
import socket
import subprocess
import time
import unittest

from orvyntest import (LOGGED_IN, Control, ServerCase, curl, ftp_url, lftp, pasv_address, recv_all,
                       require_programs)

OLD = calendar.timegm((2001, 2, 3, 4, 5, 6))


def setUpModule():
    require_programs("orvyn", "orvyn-reg")


class ClientExtensionsTest(ServerCase):
    user, password = "bob", "secret"

    def setUp(self):
        super().setUp()
        self.home = os.path.join(self.sb.dir, "home")
        os.mkdir(self.home)
        self.sb.add_user("bob", "secret", self.home)

    def local_tree(self):
        src = os.path.join(self.sb.dir, "src")
        os.makedirs(os.path.join(src, "sub"))
        for i, name in enumerate(["a.txt", "sub/b.bin"]):
            path = os.path.join(src, name)
            with open(path, "wb") as f:
                f.write(os.urandom(1000 + i))
            os.utime(path, (OLD + i, OLD + i))
        return src

    def test_uploads_keep_their_modification_times(self):
        self.one_instance()
        src = self.local_tree()
        r = lftp(self.sb, self.port, "bob,secret", "mirror -R %s up" % src)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(int(os.stat(os.path.join(self.home, "up", "a.txt")).st_mtime), OLD)
        self.assertEqual(int(os.stat(os.path.join(self.home, "up", "sub", "b.bin")).st_mtime), OLD + 1)
        if shutil.which("ncftpput"):
            r = subprocess.run(["ncftpput", "-u", "bob", "-p", "secret", "-P", str(self.port), "127.0.0.1", ".",
                                os.path.join(src, "a.txt")], capture_output=True, text=True, timeout=60,
                               env=dict(os.environ, HOME=self.sb.dir))
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            self.assertEqual(int(os.stat(os.path.join(self.home, "a.txt")).st_mtime), OLD)
            # ncftp names itself with CLNT: no warning about an unknown command.
            self.assertFalse([m for m in self.messages("!") if "CLNT" in m], self.messages("!"))

    def test_time_setting_needs_the_right_and_a_well_formed_time(self):
        with open(os.path.join(self.home, "f.txt"), "w") as f:
            f.write("x")
        # A file whose name starts like a time is still only asked about.
        with open(os.path.join(self.home, "20010203040506 g.txt"), "w") as f:
            f.write("x")
        self.sb.set_rights("bob", self.home + "/", "RL")  # no O: times stay as they are
        self.one_instance()
        with Control(self.port) as c:
            self.assertEqual(self.login(c), LOGGED_IN)
            self.assertReplies(
                c,
                ("OPTS UTF8 ON", "200 UTF8 set to on\r\n"),
                ("CLNT some client 1.0", "200 Noted.\r\n"),
                ("MFMT 20010203040506 f.txt", "550 You do not have rights to change the time of f.txt\r\n"),
                ("MDTM 20010203040506 f.txt", "550 You do not have rights to change the time of f.txt\r\n"),
                ("MFMT 2001020304 f.txt", "501 Syntax error: MFMT YYYYMMDDHHMMSS path\r\n"),
                ("MFMT 20010231040506 f.txt", "501 Syntax error: MFMT YYYYMMDDHHMMSS path\r\n"))
            self.assertTrue(c.cmd("MDTM 20010203040506 g.txt").startswith("213 2"))
            # A time past what the file system holds is reported as it was stored.
            self.sb.set_rights("bob", self.home + "/", "RLO")
            stored = c.cmd("MFMT 99991231235959 f.txt")
            self.assertRegex(stored, r"^213 Modify=\d{14}; f\.txt\r\n$")
            self.assertEqual(stored[11:25], c.cmd("MDTM f.txt")[4:18])
            # Times before 1970 and fractions of any length are times too.
            self.assertEqual(c.cmd("MFMT 19691231235959.12345 f.txt"), "213 Modify=19691231235959; f.txt\r\n")
            self.assertEqual(c.cmd("MDTM f.txt"), "213 19691231235959\r\n")
        self.assertNotEqual(int(os.stat(os.path.join(self.home, "f.txt")).st_mtime), OLD)

    def test_hash_of_a_file_and_abor_of_a_running_one(self):
        data = os.urandom(1 << 20) * 100
        with open(os.path.join(self.home, "big.bin"), "wb") as f:
            f.write(data)
        with open(os.path.join(self.home, "huge.bin"), "wb") as f:
            f.truncate(64 << 30)  # sparse: long to digest, nothing on disk
        self.one_instance(values={"Security\\TimeOut": 2}, timer_ms=100)
        with Control(self.port) as c:
            self.assertEqual(self.login(c), LOGGED_IN)
            self.assertIn(" HASH SHA-256*;SHA-1;MD5\r\n", c.cmd("FEAT"))
            self.assertEqual(c.cmd("HASH big.bin"),
                             "213 SHA-256 0-%d %s big.bin\r\n" % (len(data), hashlib.sha256(data).hexdigest()))
            self.assertReplies(c, ("OPTS HASH md5", "200 MD5\r\n"), ("OPTS HASH CRC32",
                               "501 Unknown algorithm, current selection not changed\r\n"))
            self.assertEqual(c.cmd("HASH big.bin").split()[3], hashlib.md5(data).hexdigest())
            self.assertIn(" HASH SHA-256;SHA-1;MD5*\r\n", c.cmd("FEAT"))
            # Commands sent behind a HASH are answered after it, in order.
            c.send_raw(b"HASH big.bin\r\nNOOP\r\nPWD\r\n")
            self.assertTrue(c.read_reply().startswith("213 MD5 0-"))
            self.assertEqual(c.read_reply(), "200 No operation completed successfully\r\n")
            self.assertTrue(c.read_reply().startswith("257 "))
            # A running hash is stopped by ABOR, and the session goes on; one
            # that outlasts the idle time-out does not end the session.
            c.send("HASH huge.bin")
            time.sleep(3)
            self.assertEqual(c.cmd("ABOR"), "426 Hash computation aborted.\r\n")
            self.assertTrue(c.read_reply().startswith("2"))
            self.assertEqual(c.cmd("HASH nothing.bin"),
                             "550 Error: File nothing.bin either does not exist, or is not a normal file\r\n")
            self.assertEqual(c.cmd("NOOP"), "200 No operation completed successfully\r\n")


    def test_text_line_ends_converted_when_asked(self):
        self.one_instance(values={"TextLineEnds": 1, "Conversions\\cat": "|||.cat|cat %s|13"})
        text = b"first line\nsecond line\n\nlast, without an end"
        local = os.path.join(self.sb.dir, "notes.txt")
        with open(local, "wb") as f:
            f.write(text)
        with open(os.path.join(self.home, "unix.txt"), "wb") as f:
            f.write(text + b"\r\nalready CR LF\r\n")
        back = os.path.join(self.sb.dir, "back.txt")
        r = lftp(self.sb, self.port, "bob,secret", "put -a %s -o notes.txt; get -a unix.txt -o %s" % (local, back))
        self.assertEqual(r.returncode, 0, r.stderr)
        # lftp sends CR LF in TYPE A; the file keeps the local convention.
        with open(os.path.join(self.home, "notes.txt"), "rb") as f:
            self.assertEqual(f.read(), text)
        # Bare LFs went out as CR LF (lftp turned them back), CR LF as it was.
        with open(back, "rb") as f:
            self.assertEqual(f.read(), text + b"\nalready CR LF\n")
        # A CR that ends the upload starts no CR LF: it is stored.
        with open(local, "wb") as f:
            f.write(b"a\rb\r")
        r = curl("-B", "-T", local, ftp_url(self.port, "cr.txt", "bob", "secret"))
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(os.path.join(self.home, "cr.txt"), "rb") as f:
            self.assertEqual(f.read(), b"a\rb\r")
        with Control(self.port) as c:
            self.assertEqual(self.login(c), LOGGED_IN)
            self.assertEqual(c.cmd("REST 10"),
                             "504 Restart markers are not supported for text transfers while line ends are "
                             "converted.\r\n")
            # The start is a place in the file all the same; a marker that is
            # no number is a syntax error first.
            self.assertTrue(c.cmd("REST 0").startswith("350 "))
            self.assertTrue(c.cmd("REST abc").startswith("501 "))
            # Nor is the size of converted text known before it is sent.
            self.assertEqual(c.cmd("SIZE cr.txt"),
                             "550 The size of a text transfer is not known while line ends are converted.\r\n")
            # A command's output is text too.
            d = socket.create_connection(pasv_address(c.cmd("PASV")), timeout=10)
            self.assertTrue(c.cmd("RETR unix.txt.cat").startswith("150 "))
            self.assertEqual(recv_all(d), text.replace(b"\n", b"\r\n") + b"\r\nalready CR LF\r\n")
            d.close()
            self.assertTrue(c.read_reply().startswith("226 "))
            self.assertEqual(c.cmd("TYPE I"), "200 Type is Image (Binary)\r\n")
            self.assertTrue(c.cmd("REST 10").startswith("350 "))
            self.assertEqual(c.cmd("SIZE cr.txt"), "213 4\r\n")


    def test_site_chmod_utime_and_help(self):
        for name in ("f.txt", "locked/g.txt"):
            os.makedirs(os.path.dirname(os.path.join(self.home, name)), exist_ok=True)
            with open(os.path.join(self.home, name), "w") as f:
                f.write("x")
        os.chmod(os.path.join(self.home, "f.txt"), 0o644)
        os.chmod(os.path.join(self.home, "locked", "g.txt"), 0o644)
        self.sb.set_rights("bob", os.path.join(self.home, "locked") + "/", "RL")
        self.one_instance()
        r = lftp(self.sb, self.port, "bob,secret", "chmod 600 f.txt")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(os.stat(os.path.join(self.home, "f.txt")).st_mode & 0o7777, 0o600)
        with Control(self.port) as c:
            self.assertEqual(self.login(c), LOGGED_IN)
            self.assertReplies(
                c,
                ("SITE CHMOD 640 locked/g.txt", "550 You do not have rights to change the mode of locked/g.txt\r\n"),
                ("SITE CHMOD 640 ../../etc/passwd", "550 Error: File ../../etc/passwd does not exist\r\n"),
                ("SITE CHMOD 4755 f.txt", "550 SITE CHMOD: set-user-ID and set-group-ID bits are not allowed here.\r\n"),
                ("SITE CHMOD 9 f.txt", "501 SITE CHMOD <octal mode, at most 4 digits> <path>\r\n"),
                ("SITE UTIME 20010203040506 f.txt", "200 SITE UTIME command successful.\r\n"),
                ("SITE UTIME f.txt 20010203040507 20010203040507 20010203040507 UTC", "200 Date/time changed okay.\r\n"))
            self.assertEqual(int(os.stat(os.path.join(self.home, "f.txt")).st_mtime), OLD + 1)
            self.assertEqual(c.cmd("MDTM 20010203040508 f.txt"), "213 Modify=20010203040508; f.txt\r\n")
            self.assertEqual(c.cmd("MDTM f.txt"), "213 20010203040508\r\n")
            self.assertEqual(os.stat(os.path.join(self.home, "locked", "g.txt")).st_mode & 0o7777, 0o644)
            help_text = c.cmd("SITE HELP")
            for name in ("ADMN", "CHMOD", "CHPW", "HELP", "UTIME"):
                self.assertIn(" " + name, help_text)
            self.assertNotIn("LINK", help_text)


if __name__ == "__main__":
    unittest.main()
