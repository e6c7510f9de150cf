"""Data connections and file transfers against `orvyn s`: real clients (curl,
lftp, ftplib) in passive and active mode, raw clients for ABOR, block mode,
dropped connections, restart markers, refusals, conversions, the passive
port search and IPv6.

The instances run with Security\\Secure 0 (no login needed); paths are
relative to the service's working directory, which is the sandbox folder.
"""

import fcntl
import gzip
import hashlib
import io
import os
import re
import socket
import struct
import subprocess
import termios
import time
import unittest

from orvyntest import (Control, ReplyCase, Sandbox, curl, free_port, ftp_connect, ftp_url, lftp, pasv_address, recv_all,
                       require_programs, wait_for)

MIB = 1024 * 1024
REPLY_226 = "226 Transfer finished successfully.\r\n"


def setUpModule():
    require_programs("orvyn", "orvyn-reg", wait=60)



def epsv_port(reply):
    m = re.match(r"^229 Entering Extended Passive Mode \(\|\|\|(\d+)\|\)\r\n$", reply)
    if not m:
        raise AssertionError("bad EPSV reply %r" % reply)
    return int(m.group(1))



def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def make_file(path, size, seed=0):
    """A file of size bytes: a random mebibyte repeated, each copy starting
    with its own number, so a shifted or repeated piece shows."""
    block = os.urandom(MIB)
    with open(path, "wb") as f:
        n = 0
        while n * MIB < size:
            piece = (struct.pack(">QQ", seed, n) + block[16:])[:min(MIB, size - n * MIB)]
            f.write(piece)
            n += 1


def block_frames(data):
    """Splits a block-mode stream into (descriptor, payload) pairs."""
    frames = []
    i = 0
    while i < len(data):
        if i + 3 > len(data):
            raise AssertionError("truncated block header at %d" % i)
        desc, count = data[i], (data[i + 1] << 8) | data[i + 2]
        payload = data[i + 3:i + 3 + count]
        if len(payload) != count:
            raise AssertionError("truncated block payload at %d" % i)
        frames.append((desc, payload))
        i += 3 + count
    return frames


def block_frames_end(data):
    """Whether data holds whole blocks up to an end-of-file block."""
    try:
        frames = block_frames(data)
    except AssertionError:
        return False
    return bool(frames) and frames[-1][0] == 64


def ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


class Transfers(ReplyCase):
    """One service with a plain instance, shared by the cases of this class."""

    @classmethod
    def setUpClass(cls):
        cls.sb = Sandbox()
        cls.files = os.path.join(cls.sb.dir, "files")
        os.makedirs(cls.files)
        cls.svc = cls.sb.start_instance(values={
            "Security\\Secure": 0,
            "Security\\DisableLowPorts": 1,
            "Security\\Allow_Anon_Puts": 1,
            "Conversions\\gz": "|||.gz|gzip -c %s|5",
            "Conversions\\upper": "|||.up|tr a-z A-Z|9",
            "Conversions\\cat": "|||.cat|cat %s|13",
            "Conversions\\bg": "|||.bg|sh -c 'cat \"$0\"; sleep 60 &' %s|13",
        }, timer_ms=200)
        cls.port = cls.svc.port
        make_file(os.path.join(cls.files, "big.bin"), 100 * MIB, seed=100)

    @classmethod
    def tearDownClass(cls):
        cls.svc.stop()
        cls.sb.cleanup()

    # ---- helpers -----------------------------------------------------------------

    def control(self):
        c = Control(self.port)
        self.assertTrue(c.greeting.startswith("220 "), c.greeting)
        return c

    def path(self, name):
        return os.path.join(self.files, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def passive(self, c):
        host, port = pasv_address(c.cmd("PASV"))
        self.assertEqual(host, "127.0.0.1")
        return socket.create_connection((host, port), timeout=10)

    def raw_retr(self, c, name, rest=None):
        d = self.passive(c)
        if rest is not None:
            self.assertEqual(c.cmd("REST %d" % rest), "350 Restarting from %d bytes.\r\n" % rest)
        reply = c.cmd("RETR " + name)
        self.assertTrue(reply.startswith("150 "), reply)
        data = recv_all(d)
        d.close()
        self.assertEqual(c.read_reply(), REPLY_226)
        return reply, data

    def raw_stor(self, c, verb, data):
        d = self.passive(c)
        reply = c.cmd(verb)
        self.assertTrue(reply.startswith("150 "), reply)
        d.sendall(data)
        d.close()
        self.assertEqual(c.read_reply(), REPLY_226)
        return reply

    def curl(self, *args):
        r = curl("--ftp-method", "nocwd", *args, max_time=60)
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        return r

    def url(self, name):
        return ftp_url(self.port, "files/" + name)

    # ---- real clients ---------------------------------------------------------------

    def test_curl_download_and_upload_in_every_mode(self):
        modes = {
            "EPSV": [],
            "PASV": ["--disable-epsv"],
            "EPRT": ["--ftp-port", "127.0.0.1"],
            "PORT": ["--ftp-port", "127.0.0.1", "--disable-eprt"],
        }
        for size in (0, 1, MIB):
            src = "c%d.bin" % size
            make_file(self.path(src), size, seed=size)
            for mode, opts in modes.items():
                with self.subTest(size=size, mode=mode):
                    out = os.path.join(self.sb.dir, "down-%s-%d" % (mode, size))
                    self.curl(*opts, "-o", out, self.url(src))
                    self.assertEqual(digest(out), digest(self.path(src)))
                    up = "up-%s-%d.bin" % (mode, size)
                    self.curl(*opts, "-T", self.path(src), self.url(up))
                    self.assertEqual(digest(self.path(up)), digest(self.path(src)))
        self.assertIsNotNone(self.sb.wait_log("Got 1048576 bytes of file %s successfully" % self.path("c1048576.bin")))
        self.assertIsNotNone(self.sb.wait_log("Put 1048576 bytes of file %s successfully"
                                              % self.path("up-PORT-1048576.bin")))
        # Each download's start is logged before its end, however fast it went.
        got = "Got 1 bytes of file %s successfully" % self.path("c1.bin")
        started = "RETRieve started on file files/c1.bin"
        self.assertEqual([m for m in self.sb.log_lines() if m in (got, started)], [started, got] * len(modes))

    def test_ftplib_large_files_append_unique_and_resume(self):
        with ftp_connect(self.port, timeout=30) as f:
            # 100 MiB down and up again, byte-identical.
            h = hashlib.sha256()
            f.retrbinary("RETR files/big.bin", h.update, blocksize=1 << 20)
            self.assertEqual(h.hexdigest(), digest(self.path("big.bin")))
            with open(self.path("big.bin"), "rb") as src:
                f.storbinary("STOR files/big-up.bin", src, blocksize=1 << 20)
            self.assertEqual(digest(self.path("big-up.bin")), digest(self.path("big.bin")))
            os.remove(self.path("big-up.bin"))

            # APPE onto a missing name creates it, then appends.
            f.storbinary("APPE files/log.txt", io.BytesIO(b"one\n"))
            f.storbinary("APPE files/log.txt", io.BytesIO(b"two\n"))
            self.assertEqual(self.read("log.txt"), b"one\ntwo\n")
            # Two sessions appending at once both land, neither over the other.
            with self.control() as a, self.control() as b:
                da = self.passive(a)
                self.assertTrue(a.cmd("APPE files/log.txt").startswith("150 "))
                da.sendall(b"A" * 1000)
                time.sleep(0.2)
                self.raw_stor(b, "APPE files/log.txt", b"B" * 500)
                da.sendall(b"a" * 1000)
                da.close()
                self.assertEqual(a.read_reply(), REPLY_226)
            got = self.read("log.txt")
            self.assertEqual((len(got), got.count(b"A"), got.count(b"B"), got.count(b"a")), (2508, 1000, 500, 1000))
            # An upload that overwrites is alone with its file.
            with self.control() as a, self.control() as b:
                da = self.passive(a)
                self.assertTrue(a.cmd("STOR files/log.txt").startswith("150 "))
                da.sendall(b"first")
                for verb in ("STOR", "APPE"):
                    self.assertEqual(b.cmd(verb + " files/log.txt"),
                                     "450 File files/log.txt is busy: another upload is writing it.\r\n")
                da.close()
                self.assertEqual(a.read_reply(), REPLY_226)
                self.raw_stor(b, "APPE files/log.txt", b" second")
            self.assertEqual(self.read("log.txt"), b"first second")
            # STOR replaces the old contents.
            f.storbinary("STOR files/log.txt", io.BytesIO(b"new"))
            self.assertEqual(self.read("log.txt"), b"new")

            # STOU without a name: a fresh name in the current directory,
            # announced by the 150 reply.
            with self.control() as c:
                reply = self.raw_stor(c, "STOU", b"unique")
            m = re.match(r"^150 FILE: (/.*/STO[0-9A-F]+\.TMP)\r\n$", reply)
            self.assertIsNotNone(m, reply)
            self.assertEqual(os.path.dirname(m.group(1)), os.path.realpath(self.sb.dir))
            with open(m.group(1), "rb") as fh:
                self.assertEqual(fh.read(), b"unique")
            os.remove(m.group(1))
            # STOU with a name that does not exist stores under that name.
            f.storbinary("STOU files/fresh.txt", io.BytesIO(b"fresh"))
            self.assertEqual(self.read("fresh.txt"), b"fresh")

            # Resume a partial download with REST.
            make_file(self.path("resume.bin"), 300000, seed=7)
            whole = self.read("resume.bin")
            part = bytearray()
            f.retrbinary("RETR files/resume.bin", part.extend, rest=123456)
            self.assertEqual(bytes(part), whole[123456:])
            # And a partial upload.
            self.write("partial.bin", whole[:1000])
            f.storbinary("STOR files/partial.bin", io.BytesIO(whole[1000:]), rest=1000)
            self.assertEqual(self.read("partial.bin"), whole)

            self.assertEqual(f.sendcmd("SIZE files/resume.bin"), "213 300000")
            mtime = os.stat(self.path("resume.bin")).st_mtime
            self.assertEqual(f.sendcmd("MDTM files/resume.bin"),
                             "213 " + time.strftime("%Y%m%d%H%M%S", time.gmtime(mtime)))
            self.assertTrue(f.sendcmd("NOOP").startswith("200"))

    def test_lftp_get_and_put(self):
        make_file(self.path("lftp-src.bin"), 2 * MIB + 17, seed=3)
        work = os.path.join(self.sb.dir, "lftp-work")
        os.makedirs(work, exist_ok=True)
        for passive in ("true", "false"):
            with self.subTest(passive=passive):
                r = lftp(self.sb, self.port, "anonymous,me@example.org",
                         "set ftp:passive-mode %s; set xfer:clobber on; set net:max-retries 1; set net:timeout 20; "
                         "set ftp:use-feat false; set ftp:use-site-utime false; set ftp:use-mdtm false; "
                         "get files/lftp-src.bin -o %s/got.bin; put %s/got.bin -o files/lftp-put-%s.bin"
                         % (passive, work, work, passive))
                self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
                self.assertEqual(digest(os.path.join(work, "got.bin")), digest(self.path("lftp-src.bin")))
                self.assertEqual(digest(self.path("lftp-put-%s.bin" % passive)), digest(self.path("lftp-src.bin")))

    def test_listing_goes_through_the_send_loop(self):
        os.makedirs(self.path("listed"), exist_ok=True)
        with open(os.path.join(self.path("listed"), "seen-in-listing.txt"), "wb") as f:
            f.write(b"x")
        with self.control() as c:
            # Listings show what the logged-in user may see.
            if c.cmd("USER anonymous").startswith("331"):
                self.assertTrue(c.cmd("PASS me@example.org").startswith("230"))
            d = self.passive(c)
            reply = c.cmd("NLST files/listed")
            if reply.startswith("502"):
                d.close()
                self.skipTest("NLST not built yet")
            self.assertEqual(reply, "150 File Listing Follows in ASCII mode.\r\n")
            data = recv_all(d)
            d.close()
            self.assertEqual(c.read_reply(), REPLY_226)
        self.assertIn(b"seen-in-listing.txt", data)
        self.assertIsNotNone(self.sb.wait_log("Got file listing successfully"))

    # ---- aborts and dropped connections ------------------------------------------------

    def test_a_file_cut_short_while_it_is_sent_fails_the_download(self):
        # Sent as it is, in blocks, and as text with converted line ends
        # (where the bytes sent are not the file's and no size was announced).
        self.sb.set_value(self.sb.instance_key("Main"), "TextLineEnds", 1)
        self.addCleanup(self.sb.set_value, self.sb.instance_key("Main"), "TextLineEnds", 0)
        for setup in (("TYPE I",), ("TYPE I", "MODE B"), ("TYPE A",)):
            with self.subTest(setup=setup), self.control() as c:
                make_file(self.path("shrink.bin"), 32 * MIB, seed=7)
                for line in setup:
                    self.assertTrue(c.cmd(line).startswith("200"))
                d = socket.socket()
                d.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
                d.connect(pasv_address(c.cmd("PASV")))
                self.assertTrue(c.cmd("RETR files/shrink.bin").startswith('150 "'))
                got = d.recv(65536)
                self.assertTrue(got)
                os.truncate(self.path("shrink.bin"), 10)
                try:
                    got += recv_all(d, timeout=10)
                except ConnectionResetError:
                    pass
                d.close()
                self.assertLess(len(got), 32 * MIB)
                if "MODE B" in setup:
                    self.assertFalse(block_frames_end(got))
                self.assertEqual(c.read_reply(), "451 The file could not be read to its end - transfer aborted.\r\n"
                                 if "TYPE A" in setup else
                                 "451 The file ended before its announced size - transfer aborted.\r\n")
            self.assertIsNotNone(self.sb.wait_log("File ended after"))
        # A file that cannot be read at all fails alike (where the machine has one).
        unreadable = "/sys/class/net/lo/speed"
        try:
            with open(unreadable, "rb") as f:
                f.read()
        except OSError:
            os.symlink(unreadable, self.path("unreadable"))
            self.addCleanup(os.remove, self.path("unreadable"))
            for setup in (("TYPE I", "MODE B"), ("TYPE A",)):
                with self.subTest(setup=setup), self.control() as c:
                    for line in setup:
                        self.assertTrue(c.cmd(line).startswith("200"))
                    d = socket.create_connection(pasv_address(c.cmd("PASV")), timeout=10)
                    self.assertTrue(c.cmd("RETR files/unreadable").startswith('150 "'))
                    got = recv_all(d, timeout=10)
                    d.close()
                    self.assertFalse(block_frames_end(got))
                    self.assertTrue(c.read_reply().startswith("451 "))

    def test_abort_in_the_middle_of_a_large_download(self):
        with self.control() as c:
            d = self.passive(c)
            self.assertTrue(c.cmd("RETR files/big.bin").startswith('150 "'))
            got = d.recv(65536)
            self.assertTrue(got)
            c.send("ABOR")
            self.assertEqual(c.read_reply(), "426 Transfer aborted.\r\n")
            self.assertEqual(c.read_reply(), "226 Abort Successful.\r\n")
            # The data connection is gone (reset or closed before the end).
            try:
                rest = recv_all(d, timeout=10)
            except ConnectionResetError:
                rest = b""
            self.assertLess(len(got) + len(rest), 100 * MIB)
            d.close()
            self.assertEqual(c.cmd("ABOR"), "225 ABOR command successful (nothing to abort!)\r\n")
            self.write("after-abort.txt", b"still here")
            _, data = self.raw_retr(c, "files/after-abort.txt")
            self.assertEqual(data, b"still here")
        self.assertIsNotNone(self.sb.wait_log("ABORt command successful"))
        self.assertIsNotNone(self.sb.wait_log("bytes of file %s unsuccessfully" % self.path("big.bin")))

    def test_an_upload_that_ends_early_keeps_what_arrived(self):
        # ABOR, a reset and a RETR of the same file alike: a resumed upload
        # goes on from the size on disk, and the RETR sends all that arrived.
        listener = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(listener.close)
        port = listener.getsockname()[1]
        for end in ("ABOR", "reset", "RETR"):
            name = "files/early-%s.bin" % end
            with self.subTest(end=end), self.control() as c:
                if end == "RETR":
                    self.assertTrue(c.cmd("PORT 127,0,0,1,%d,%d" % (port >> 8, port & 255)).startswith("200"))
                    self.assertTrue(c.cmd("STOR " + name).startswith("150 "))
                    d = listener.accept()[0]
                else:
                    d = self.passive(c)
                    self.assertTrue(c.cmd("STOR " + name).startswith("150 "))
                d.sendall(b"u" * 100000)
                while struct.unpack("i", fcntl.ioctl(d, termios.TIOCOUTQ, b"\0" * 4))[0]:
                    time.sleep(0.01)
                self.assertTrue(c.cmd("NOOP").startswith("200"))
                if end == "ABOR":
                    # STAT counts what arrived, written or not yet.
                    deadline = time.monotonic() + 10
                    while " 100000 bytes into a 100000 byte file\r\n" not in c.cmd("STAT"):
                        self.assertLess(time.monotonic(), deadline)
                        time.sleep(0.05)
                    self.assertEqual(c.cmd("ABOR"), "426 Transfer aborted.\r\n")
                    self.assertEqual(c.read_reply(), "226 Abort Successful.\r\n")
                elif end == "reset":
                    d.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    d.close()
                    self.assertEqual(c.read_reply(), "451 Connection reset by client - transfer aborted.\r\n")
                else:
                    self.assertEqual(c.cmd("RETR " + name), "426 Transfer aborted.\r\n")
                    self.assertIn("(100000 bytes)", c.read_reply())
                    with listener.accept()[0] as back:
                        self.assertEqual(len(recv_all(back, timeout=10)), 100000)
                    self.assertEqual(c.read_reply(), REPLY_226)
                d.close()
                self.assertEqual(c.cmd("SIZE " + name), "213 100000\r\n")

    def test_the_file_of_an_upload_is_not_taken_away_unnoticed(self):
        # Another session may not delete or rename it; when something outside
        # the service deletes it, the upload ends with an error, not 226.
        sharing = "SHARE.EXE was not loaded, or a shared region was locked.\r\n"
        with self.control() as a, self.control() as b:
            d = self.passive(a)
            self.assertTrue(a.cmd("STOR files/taken.bin").startswith("150 "))
            d.sendall(b"t" * 1000)
            self.assertEqual(b.cmd("DELE files/taken.bin"), "550 Error deleting file files/taken.bin: " + sharing)
            self.assertTrue(b.cmd("RNFR files/taken.bin").startswith("350 "))
            self.assertEqual(b.cmd("RNTO files/moved.bin"), "553 Error renaming file to files/moved.bin: " + sharing)
            os.unlink(self.path("taken.bin"))
            d.close()
            self.assertEqual(a.read_reply(), "451 Local write error on file %s: The file could not be located.\r\n"
                             % self.path("taken.bin"))
            # The same with line ends converted on the way in.
            self.sb.set_value(self.sb.instance_key("Main"), "TextLineEnds", 1)
            self.addCleanup(self.sb.set_value, self.sb.instance_key("Main"), "TextLineEnds", 0)
            self.assertTrue(a.cmd("TYPE A").startswith("200 "))
            d = self.passive(a)
            self.assertTrue(a.cmd("STOR files/taken.txt").startswith("150 "))
            d.sendall(b"t\r\n" * 1000)
            self.assertTrue(wait_for(lambda: os.path.exists(self.path("taken.txt"))))
            os.unlink(self.path("taken.txt"))
            d.close()
            self.assertEqual(a.read_reply(), "451 Local write error on file %s: The file could not be located.\r\n"
                             % self.path("taken.txt"))
            # Cut shorter than what was written: not stored with a hole.
            self.assertTrue(a.cmd("TYPE I").startswith("200 "))
            d = self.passive(a)
            self.assertTrue(a.cmd("STOR files/cut.bin").startswith("150 "))
            d.sendall(b"c" * MIB)
            self.assertTrue(wait_for(lambda: os.path.getsize(self.path("cut.bin")) > 0))
            os.truncate(self.path("cut.bin"), 0)
            d.close()
            self.assertEqual(a.read_reply(), "451 Local write error on file %s: %s" % (self.path("cut.bin"), sharing))
        self.assertIsNotNone(self.sb.wait_log("Put 1000 bytes of file %s unsuccessfully" % self.path("taken.bin")))

    def test_stat_during_a_large_download(self):
        # After a restart marker the place is still one in the whole file.
        with self.control() as c:
            d = self.passive(c)
            self.assertTrue(c.cmd("REST %d" % (50 * MIB)).startswith("350 "))
            self.assertTrue(c.cmd("RETR files/big.bin").startswith('150 "'))
            got = len(d.recv(65536))
            self.assertGreater(got, 0)
            c.send("STAT")
            status = c.read_reply()
            lines = status.split("\r\n")
            self.assertTrue(lines[0].startswith("211-") and lines[0].endswith(" FTP server status:"), status)
            self.assertIn(" Transfer in progress:", lines)
            m = re.search(r"^ (\d+) bytes into a (\d+) byte file\r$", status, re.M)
            self.assertIsNotNone(m, status)
            self.assertGreater(int(m.group(1)), 50 * MIB)
            self.assertEqual(int(m.group(2)), 100 * MIB)
            self.assertTrue(any("big.bin" in line for line in lines), status)
            self.assertTrue(status.endswith("211 End of status\r\n"), status)
            # The transfer goes on to the end after the status reply.
            got += len(recv_all(d, timeout=60))
            d.close()
            self.assertEqual(got, 50 * MIB)
        # A listing made and waiting for its connection shows as one, without
        # a byte count.
        with self.control() as c:
            address = pasv_address(c.cmd("PASV"))
            c.send("LIST files")
            time.sleep(0.3)
            status = c.cmd("STAT")
            self.assertIn('\r\n File Listing "files"\r\n', status)
            self.assertNotIn("byte file", status)
            with socket.create_connection(address) as d:
                self.assertTrue(c.read_reply().startswith("150 "))
                self.assertIn(b"big.bin", recv_all(d, timeout=10))
            self.assertEqual(c.read_reply(), REPLY_226)

    def test_client_drops_the_data_connection_mid_upload(self):
        with self.control() as c:
            d = self.passive(c)
            self.assertTrue(c.cmd("STOR files/dropped.bin").startswith('150 "'))
            d.sendall(b"x" * 300000)
            time.sleep(0.2)
            d.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            d.close()  # reset
            self.assertEqual(c.read_reply(), "451 Connection reset by client - transfer aborted.\r\n")
            self.assertTrue(c.cmd("NOOP").startswith("200"))
            self.raw_stor(c, "STOR files/after.bin", b"after")
        self.assertEqual(self.read("after.bin"), b"after")
        self.assertIsNotNone(self.sb.wait_log("of file %s unsuccessfully" % self.path("dropped.bin")))
        self.assertIsNotNone(self.sb.wait_log("Transfer terminated by client closing connection"))

    def test_an_urgent_byte_from_the_client_costs_a_download_nothing(self):
        payload = os.urandom(3 * MIB)
        self.write("urgent.bin", payload)
        with self.control() as c:
            d = self.passive(c)
            d.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
            d.send(b"Q", socket.MSG_OOB)
            time.sleep(0.1)
            self.assertTrue(c.cmd("RETR files/urgent.bin").startswith('150 "'))
            # Unread, the urgent byte would make the server's close a reset
            # that throws away what the client has not read yet.
            self.assertEqual(c.read_reply(), REPLY_226)
            self.assertEqual(recv_all(d), payload)
            d.close()

    def test_quit_during_an_upload_lets_it_finish(self):
        payload = os.urandom(2 * MIB)
        with self.control() as c:
            d = self.passive(c)
            self.assertTrue(c.cmd("STOR files/quit.bin").startswith('150 "'))
            d.sendall(payload[:MIB])
            self.assertTrue(c.cmd("QUIT").startswith("221"))
            d.sendall(payload[MIB:])
            d.close()
            rest = c.read_until_closed()
            self.assertTrue(rest.startswith(REPLY_226), rest)
        self.assertEqual(self.read("quit.bin"), payload)

    # ---- block mode --------------------------------------------------------------------

    def test_block_mode_upload_and_download_on_one_connection(self):
        payload = os.urandom(150000)
        with self.control() as c:
            self.assertTrue(c.cmd("TYPE I").startswith("200"))
            self.assertTrue(c.cmd("MODE B").startswith("200"))
            d = self.passive(c)
            self.assertTrue(c.cmd("STOR files/block.bin").startswith('150 "'))
            # Blocks of 50000 bytes; the first header arrives in two pieces.
            stream = b""
            for start in range(0, len(payload), 50000):
                piece = payload[start:start + 50000]
                stream += bytes([0, len(piece) >> 8, len(piece) & 255]) + piece
            stream += bytes([64, 0, 0])
            d.sendall(stream[:2])
            time.sleep(0.05)
            d.sendall(stream[2:])
            self.assertEqual(c.read_reply(), REPLY_226)
            self.assertEqual(self.read("block.bin"), payload)

            # Second transfer on the same connection: no new PASV.
            reply = c.cmd("RETR files/block.bin")
            self.assertTrue(reply.startswith('150 "'), reply)
            self.assertIn("(150000 bytes) in IMAGE / Binary mode", reply)
            data = b""
            d.settimeout(10)
            while True:
                data += d.recv(65536)
                try:
                    frames = block_frames(data)
                except AssertionError:
                    continue
                if frames and frames[-1][0] == 64:
                    break
            self.assertEqual(c.read_reply(), REPLY_226)
            self.assertEqual(frames[-1], (64, b""))
            self.assertTrue(all(desc == 0 and 0 < len(p) <= 65535 for desc, p in frames[:-1]), len(frames))
            self.assertEqual(b"".join(p for _, p in frames), payload)
            d.close()

            # The client closed that connection and names an address of its
            # own: the next transfer connects there.
            with socket.create_server(("127.0.0.1", 0)) as listener:
                port = listener.getsockname()[1]
                self.assertTrue(c.cmd("PORT 127,0,0,1,%d,%d" % (port >> 8, port & 255)).startswith("200"))
                self.assertTrue(c.cmd("RETR files/block.bin").startswith('150 "'))
                listener.settimeout(10)
                a, _ = listener.accept()
                data = b""
                with a:
                    a.settimeout(10)
                    while not (data and block_frames_end(data)):
                        data += a.recv(65536)
                self.assertEqual(c.read_reply(), REPLY_226)
                self.assertEqual(b"".join(p for _, p in block_frames(data)), payload)

    # ---- restart markers and refusals -----------------------------------------------------

    def test_restart_marker_rules(self):
        self.write("hundred.bin", bytes(range(100)))
        with self.control() as c:
            self.assertEqual(c.cmd("REST 100"), "350 Restarting from 100 bytes.\r\n")
            self.assertEqual(c.cmd("RETR files/hundred.bin"),
                             "553 Error - restart marker (100 bytes) beyond end of file files/hundred.bin\r\n")
            self.assertEqual(c.cmd("REST 12a"), '501 Restart marker "12a" not strictly a positive number\r\n')
            self.assertEqual(c.cmd("REST 10"), "350 Restarting from 10 bytes.\r\n")
            self.assertTrue(c.cmd("NOOP").startswith("200"))
            reply, data = self.raw_retr(c, "files/hundred.bin")
            self.assertIn("(100 bytes)", reply)
            self.assertEqual(data, bytes(range(100)))
            reply, data = self.raw_retr(c, "files/hundred.bin", rest=99)
            self.assertIn("(1 bytes)", reply)
            self.assertEqual(data, bytes([99]))
            self.assertEqual(c.cmd("REST 101"), "350 Restarting from 101 bytes.\r\n")
            self.assertEqual(c.cmd("STOR files/hundred.bin"),
                             "554 Error - restart marker (101 bytes) beyond end of file files/hundred.bin\r\n")
            self.assertEqual(self.read("hundred.bin"), bytes(range(100)))

    def test_refusals(self):
        self.write("x.lnk.txt", b"fine")
        os.mkfifo(self.path("pipe"))
        os.makedirs(self.path("adir"), exist_ok=True)
        with self.control() as c:
            self.assertEqual(c.cmd("RETR files/x.lnk"), "553 Not allowed to download .LNK files.\r\n")
            self.assertEqual(c.cmd("STOR files/x.LNK"), "553 Not allowed to upload .LNK files.\r\n")
            _, data = self.raw_retr(c, "files/x.lnk.txt")
            self.assertEqual(data, b"fine")
            bad_port = "501 Syntax error - illegal parameters to PORT command.\r\n"
            self.assertReplies(
                c,
                ("STOR files/pipe", "550 Error on file files/pipe: The file could not be accessed.\r\n"),
                ("RETR files/adir", "550 Error: files/adir is a volume or a directory.\r\n"),
                ("RETR files/missing", "550 Error: File files/missing does not exist\r\n"),
                ("SIZE files/adir", "550 Error: File files/adir either does not exist, or is not a normal file\r\n"),
                ("SIZE files/pipe", "550 Error: File files/pipe either does not exist, or is not a normal file\r\n"),
                ("PORT 127,0,0,1,0,21", bad_port), ("PORT 127,0,0,1,300,1", bad_port),
                ("EPRT |3|::1|5282|", "522 Network protocol not supported, use (1,2)\r\n"))
            # Active connect to a port nobody listens on.
            dead = free_port()
            self.assertEqual(c.cmd("PORT 127,0,0,1,%d,%d" % (dead >> 8, dead & 255)), "200 PORT command okay\r\n")
            self.assertTrue(c.cmd("RETR files/x.lnk.txt").startswith(
                "425 Unable to open data connection - error=[10061] Connection refused"))
            self.assertTrue(c.cmd("NOOP").startswith("200"))
        self.assertIsNotNone(self.sb.wait_log("Client attempted transfer to different IP address, with command PORT"
                                              " 127,0,0,1,0,21"))
        self.assertTrue(os.path.exists(self.path("pipe")))

    # ---- conversions -------------------------------------------------------------------

    def test_conversions(self):
        text = b"line one\nline two\n" * 1000
        self.write("report.txt", text)
        self.write("existing.txt", b"plain")
        self.write("existing.txt.gz", b"the real gz file")
        evil = "a;touch PWNED;b $(touch PWNED2) `touch PWNED3`.txt"
        self.write(evil, b"evil name\n")
        with self.control() as c:
            self.assertTrue(c.cmd("TYPE I").startswith("200"))
            reply, data = self.raw_retr(c, "files/report.txt.gz")
            self.assertIn("file ready to send (unknown size) in IMAGE / Binary mode", reply)
            self.assertEqual(gzip.decompress(data), text)
            _, data = self.raw_retr(c, "files/existing.txt.gz")
            self.assertEqual(data, b"the real gz file")
            _, data = self.raw_retr(c, "files/" + evil + ".cat")
            self.assertEqual(data, b"evil name\n")
            # A command that leaves a helper behind holding the pipe ends
            # with its own exit.
            _, data = self.raw_retr(c, "files/report.txt.bg")
            self.assertEqual(data, text)
            # A command without "%s" is refused outright (it would read the
            # service's own input).
            self.assertEqual(c.cmd("RETR files/report.txt.up"), "550 Error: File files/report.txt.up does not exist\r\n")
            self.assertTrue(c.cmd("TYPE A").startswith("200"))
            self.assertEqual(c.cmd("RETR files/report.txt.gz"), "550 Error: File files/report.txt.gz does not exist\r\n")
            # The ASCII conversion still works.
            _, data = self.raw_retr(c, "files/" + evil + ".cat")
            self.assertEqual(data, b"evil name\n")
        for name in ("PWNED", "PWNED2", "PWNED3"):
            self.assertFalse(os.path.exists(os.path.join(self.sb.dir, name)))
            self.assertFalse(os.path.exists(self.path(name)))
        self.assertIsNotNone(self.sb.wait_log('Conversion - file requested "%s" maps to "gzip -c %s"'
                                              % (self.path("report.txt.gz"), self.path("report.txt"))))
        # No conversion child is left behind.
        self.assertTrue(wait_for(lambda: not self.children_named("gzip"), timeout=5))

    def children_named(self, name):
        out = subprocess.run(["ps", "-o", "pid=,stat=,comm=", "--ppid", str(self.svc.proc.pid)],
                             capture_output=True, text=True).stdout
        return [line for line in out.splitlines() if name in line]


class TimeOuts(unittest.TestCase):
    def test_stalled_upload_times_out_and_the_session_goes_on(self):
        with Sandbox() as sb:
            os.makedirs(os.path.join(sb.dir, "files"))
            with sb.start_instance("Slow", values={"Security\\Secure": 0, "Security\\TimeOut": 1}, timer_ms=100) as svc:
                with Control(svc.port, timeout=10) as c:
                    host, dport = pasv_address(c.cmd("PASV"))
                    d = socket.create_connection((host, dport), timeout=10)
                    self.assertTrue(c.cmd("STOR files/stalled.bin").startswith('150 "'))
                    d.sendall(b"partial")
                    # Nothing more comes: the transfer ends, not the session.
                    self.assertEqual(c.read_reply(), "425 Timeout on network transaction - closing connection.\r\n")
                    self.assertTrue(c.cmd("NOOP").startswith("200"))
                    d.close()
                    # With no data socket left, the next silence ends the session.
                    self.assertEqual(c.read_reply(), "421 Timeout (1 seconds): closing control connection.\r\n")
            self.assertIn("Timeout while transferring data", sb.log_text())
            self.assertIn("Put 7 bytes of file %s unsuccessfully" % os.path.join(sb.dir, "files", "stalled.bin"),
                          sb.log_text())


    def test_stalled_download_times_out_and_a_slow_one_does_not(self):
        with Sandbox() as sb:
            os.makedirs(os.path.join(sb.dir, "files"))
            with open(os.path.join(sb.dir, "files", "big.bin"), "wb") as f:
                f.truncate(64 * MIB)
            with sb.start_instance("Slow", values={"Security\\Secure": 0, "Security\\TimeOut": 1}, timer_ms=100) as svc:
                with Control(svc.port, timeout=10) as c:
                    # A client reading steadily but slowly, for three times
                    # the time-out, keeps its download.
                    d = socket.create_connection(pasv_address(c.cmd("PASV")), timeout=10)
                    self.assertTrue(c.cmd("RETR files/big.bin").startswith('150 "'))
                    until = time.monotonic() + 3
                    while time.monotonic() < until:
                        self.assertTrue(d.recv(16384))
                        time.sleep(0.02)
                    self.assertEqual(c.cmd("ABOR"), "426 Transfer aborted.\r\n")
                    self.assertEqual(c.read_reply(), "226 Abort Successful.\r\n")
                    d.close()
                    d = socket.socket()
                    d.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                    d.connect(pasv_address(c.cmd("PASV")))
                    self.assertTrue(c.cmd("RETR files/big.bin").startswith('150 "'))
                    # The client reads nothing: the send stalls, and the
                    # timer's retries of it are no activity of the client's.
                    self.assertEqual(c.read_reply(), "425 Timeout on network transaction - closing connection.\r\n")
                    self.assertTrue(c.cmd("NOOP").startswith("200"))
                    d.close()
                    # After QUIT the session ends with its stalled transfer.
                    d = socket.socket()
                    d.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                    d.connect(pasv_address(c.cmd("PASV")))
                    self.assertTrue(c.cmd("RETR files/big.bin").startswith('150 "'))
                    self.assertTrue(c.cmd("QUIT").startswith("221 "))
                    self.assertEqual(c.read_until_closed(),
                                     "425 Timeout on network transaction - closing connection.\r\n"
                                     "421 Service not available, closing TELNET connection\r\n")
                    d.close()
            self.assertIn("Timeout while transferring data", sb.log_text())


class PassivePorts(unittest.TestCase):
    def test_sequential_search_offers_two_above_the_cursor(self):
        low = 5000
        if not all(self.port_free(p) for p in range(low, low + 11)):
            low = next(b for b in range(30000, 60000, 37) if all(self.port_free(p) for p in range(b, b + 11)))
        with Sandbox() as sb:
            values = {"Security\\Secure": 0, "Security\\LowPort": low, "Security\\HighPort": low + 10}
            with sb.start_instance("Ports", values=values) as svc:
                with Control(svc.port) as c:
                    self.assertEqual(pasv_address(c.cmd("PASV")), ("127.0.0.1", low + 2))
                    self.assertEqual(pasv_address(c.cmd("PASV")), ("127.0.0.1", low + 4))
                    self.assertEqual(epsv_port(c.cmd("EPSV")), low + 6)
                    self.assertEqual(c.cmd("EPSV 2"), "522 Network protocol not supported, use (1)\r\n")
                    self.assertEqual(c.cmd("EPSV ALL"), "200 EPSV ALL command successful.\r\n")
                    # From now on only EPSV sets up data connections.
                    for command in ("PASV", "PORT 127,0,0,1,200,10", "EPRT |1|127.0.0.1|51210|"):
                        self.assertEqual(c.cmd(command), "503 Only EPSV is accepted after EPSV ALL.\r\n")
                    self.assertEqual(epsv_port(c.cmd("EPSV")), low + 8)
                    # REIN starts the session afresh, PASV included.
                    self.assertTrue(c.cmd("REIN").startswith("220 "))
                    self.assertEqual(pasv_address(c.cmd("PASV")), ("127.0.0.1", low + 10))
            self.assertIn("Entering Passive Mode (127,0,0,1,%d,%d)" % ((low + 2) >> 8, (low + 2) & 255),
                          sb.log_text())

    @staticmethod
    def port_free(p):
        try:
            with socket.socket() as s:
                s.bind(("127.0.0.1", p))
            return True
        except OSError:
            return False


@unittest.skipUnless(ipv6_loopback(), "no IPv6 loopback")
class IPv6(unittest.TestCase):
    def test_epsv_and_eprt_on_ipv6(self):
        with Sandbox() as sb:
            files = os.path.join(sb.dir, "files")
            os.makedirs(files)
            with open(os.path.join(files, "six.bin"), "wb") as f:
                f.write(b"six" * 1000)
            with sb.start_instance("Six", values={"Security\\Secure": 0}, host="::1") as svc:
                with Control(svc.port, host="::1") as c:
                    dport = epsv_port(c.cmd("EPSV"))
                    d = socket.create_connection(("::1", dport), timeout=10)
                    self.assertTrue(c.cmd("RETR files/six.bin").startswith("150 "))
                    self.assertEqual(recv_all(d), b"six" * 1000)
                    d.close()
                    self.assertEqual(c.read_reply(), REPLY_226)

                    with socket.socket(socket.AF_INET6) as lsn:
                        lsn.bind(("::1", 0))
                        lsn.listen(1)
                        lsn.settimeout(10)
                        self.assertEqual(c.cmd("EPRT |2|::1|%d|" % lsn.getsockname()[1]), "200 PORT command okay\r\n")
                        c.send("STOR files/six-up.bin")
                        d, _ = lsn.accept()
                        self.assertTrue(c.read_reply().startswith("150 "))
                        d.sendall(b"up over six")
                        d.close()
                        self.assertEqual(c.read_reply(), REPLY_226)
            with open(os.path.join(files, "six-up.bin"), "rb") as f:
                self.assertEqual(f.read(), b"up over six")


if __name__ == "__main__":
    unittest.main()
