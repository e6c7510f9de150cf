"""FTPS end to end: AUTH, PBSZ and PROT, implicit TLS, the certificate
stores and orvyn-reg cert, session resumption on data connections, and
large transfers under TLS, with curl, lftp and Python's FTP_TLS.

The certificates are made here with the openssl command line: a root, an
intermediate and a server certificate for 127.0.0.1. Clients trust only the
root, so a verified handshake shows the server sends its chain."""

import ftplib
import hashlib
import io
import os
import shutil
import socket
import ssl
import subprocess
import tempfile
import time
import unittest
import warnings

from orvyntest import (ServerCase, curl, free_port, lftp, pasv_address, wait_for)

MIB = 1024 * 1024
PASSWORD = "tls-secret"

CERTS = None  # the folder setUpModule fills


def openssl(*args, cwd):
    subprocess.run(["openssl"] + list(args), cwd=cwd, check=True, capture_output=True)


def setUpModule():
    global CERTS
    if shutil.which("openssl") is None:
        raise unittest.SkipTest("the openssl command is not installed")
    CERTS = tempfile.mkdtemp(prefix="orvyn-certs-")
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    with open(os.path.join(CERTS, "ca.ext"), "w") as f:
        f.write("basicConstraints=critical,CA:true\nkeyUsage=critical,keyCertSign,cRLSign\n")
    with open(os.path.join(CERTS, "server.ext"), "w") as f:
        f.write("basicConstraints=CA:false\nsubjectAltName=IP:127.0.0.1,DNS:localhost\n"
                "extendedKeyUsage=serverAuth\n")
    openssl("req", "-x509", *ec, "-keyout", "root.key", "-out", "root.pem", "-days", "2", "-subj",
            "/CN=ORVYN Test Root", "-addext", "basicConstraints=critical,CA:true", "-addext",
            "keyUsage=critical,keyCertSign,cRLSign", cwd=CERTS)
    for name, issuer, ext, subject in (("inter", "root", "ca.ext", "/CN=ORVYN Test Intermediate"),
                                       ("server", "inter", "server.ext", "/CN=127.0.0.1/O=ORVYN Tests"),
                                       ("other", "inter", "server.ext", "/CN=other")):
        openssl("req", *ec, "-keyout", name + ".key", "-out", name + ".csr", "-subj", subject, cwd=CERTS)
        openssl("x509", "-req", "-in", name + ".csr", "-CA", issuer + ".pem", "-CAkey", issuer + ".key",
                "-CAcreateserial", "-days", "2", "-extfile", ext, "-out", name + ".pem", cwd=CERTS)


def tearDownModule():
    shutil.rmtree(CERTS, ignore_errors=True)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def cert_hash(name):
    """SHA-1 of the certificate's DER encoding, as hex."""
    der = ssl.PEM_cert_to_DER_cert(read(os.path.join(CERTS, name + ".pem")).decode())
    return hashlib.sha1(der).hexdigest()


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(MIB), b""):
            h.update(chunk)
    return h.hexdigest()


def client_context(maximum=None):
    ctx = ssl.create_default_context(cafile=os.path.join(CERTS, "root.pem"))
    if maximum is not None:
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            ctx.minimum_version = maximum
            ctx.maximum_version = maximum
        ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
    return ctx


class ResumingFTP(ftplib.FTP_TLS):
    """FTP_TLS that resumes the control connection's session on its data
    connections, as careful clients do."""

    def ntransfercmd(self, cmd, rest=None):
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        if self._prot_p:
            conn = self.context.wrap_socket(conn, server_hostname=self.host, session=self.sock.session)
        return conn, size


def bio_handshake(ftp, sock, recv_size=65536):
    """A TLS handshake on sock through memory buffers, resuming ftp's
    session. The client's last flight stays in outgoing, for the caller to
    send with whatever it wants to go with it. Returns (tls, incoming,
    outgoing)."""
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = ftp.context.wrap_bio(incoming, outgoing, server_hostname="127.0.0.1", session=ftp.sock.session)
    while True:
        try:
            tls.do_handshake()
            return tls, incoming, outgoing
        except ssl.SSLWantReadError:
            sock.sendall(outgoing.read())
            incoming.write(sock.recv(recv_size))


def block_stream(data, size=65535):
    out = bytearray()
    for i in range(0, len(data), size):
        piece = data[i:i + size]
        out += bytes([0, len(piece) >> 8, len(piece) & 255]) + piece
    return bytes(out + bytes([64, 0, 0]))


def read_blocks(conn):
    """The payload of block-mode frames up to the end-of-file block."""
    out = bytearray()
    buf = bytearray()
    while True:
        chunk = conn.recv(MIB)
        if not chunk:
            raise AssertionError("connection ended inside the block stream")
        buf += chunk
        while len(buf) >= 3:
            desc, count = buf[0], (buf[1] << 8) | buf[2]
            if len(buf) < 3 + count:
                break
            out += buf[3:3 + count]
            del buf[:3 + count]
            if desc & 64:
                return bytes(out)


class Ftps(ServerCase):
    user = "alice"
    password = PASSWORD

    def setUp(self):
        super().setUp()
        self.home = os.path.join(self.sb.dir, "home")
        os.makedirs(self.home)
        self.store = os.path.join(self.sb.certdir, "service")
        os.makedirs(self.store)
        self.install("server", "server.pem")
        self.install("other", "other.pem")
        self.tls_port = free_port()

    def install(self, name, file_name, mode=0o600):
        """A store file: the certificate, its intermediate, its key."""
        path = os.path.join(self.store, file_name)
        with open(path, "wb") as f:
            for part in (name + ".pem", "inter.pem", name + ".key"):
                f.write(read(os.path.join(CERTS, part)))
        os.chmod(path, mode)
        return path

    def serve(self, values=None, use=True):
        """The instance with explicit and implicit FTPS; its certificate set
        with orvyn-reg cert use when use is set."""
        settings = {"TLS\\FTPSPort": str(self.tls_port)}
        settings.update(values or {})
        self.sb.add_instance("Main", None, log=True, values=settings)
        if use:
            self.sb.reg("cert", "use", "Main", cert_hash("server"))
        self.sb.add_user(self.user, PASSWORD, self.home + "/")
        self.sb.set_rights(self.user, self.home + "/", "RWLDM")
        self.one_instance()
        self.svc.wait_listening(self.tls_port)

    def ftps(self, cls=ftplib.FTP_TLS, prot_p=True, context=None):
        ftp = cls(context=context or client_context(), timeout=20)
        self.addCleanup(ftp.close)
        ftp.connect("127.0.0.1", self.port)
        ftp.auth()
        ftp.login(self.user, PASSWORD)
        if prot_p:
            ftp.prot_p()
        return ftp

    def write(self, name, data):
        with open(os.path.join(self.home, name), "wb") as f:
            f.write(data)

    def curl_url(self, path="", implicit=False):
        scheme, port = ("ftps", self.tls_port) if implicit else ("ftp", self.port)
        return "%s://%s:%s@127.0.0.1:%d/%s" % (scheme, self.user, PASSWORD, port, path)

    def curl_args(self):
        return ["--cacert", os.path.join(CERTS, "root.pem"), "--ssl-reqd"]

    # ---- commands and certificates ---------------------------------------------------

    def test_commands_certificates_and_the_store_tool(self):
        self.serve(use=False)
        with self.control() as c:
            self.assertReplies(
                c,
                ("AUTH TLS", "502 Command AUTH not implemented yet on this server\r\n"),
                ("PBSZ 0", '200 "PBSZ 0" supported here.\r\n'),
                ("PBSZ 1", '501 "PBSZ 1" is not supported - PBSZ 0 only, please.\r\n'),
                ("PBSZ 0x", '501 "PBSZ 0x" is not supported - PBSZ 0 only, please.\r\n'),
                ("PROT P", '504 Bad/unrecognised PROT parameter "P"\r\n'))
        # Without a certificate the implicit port greets nobody.
        with socket.create_connection(("127.0.0.1", self.tls_port), timeout=5) as s:
            self.assertEqual(s.recv(100), b"")

        # A key alone in the folder is named as not used.
        stray = os.path.join(self.store, "stray.key")
        with open(stray, "wb") as f:
            f.write(read(os.path.join(CERTS, "server.key")))
        listing = self.sb.reg("cert", "list").stdout
        self.assertIn(cert_hash("server"), listing)
        self.assertIn("CN = 127.0.0.1, O = ORVYN Tests", listing)
        self.assertNotIn("refused", listing)
        self.assertIn("not used: %s  [no PEM certificate in it, or not a regular file]" % stray, listing)
        os.remove(stray)
        self.assertEqual(self.sb.reg("cert", "use", "Main", "00" * 20, check=False).returncode, 1)
        # A hash the stores do not hold, written by hand: credentials fail.
        self.sb.set_value(self.sb.instance_key("Main", "TLS"), "CertificateHash", "11" * 20, "REG_BINARY")
        with self.control() as c:
            self.assertReplies(c, ("AUTH TLS", "535 Unable to create server credentials.\r\n"))
        self.assertLogged("Error 8009030e trying to get credentials", "!")

        # A key others may read is refused by the tool and by the server.
        exposed = self.install("server", "server.pem", mode=0o644)
        self.assertIn("refused", self.sb.reg("cert", "list").stdout)
        self.assertEqual(self.sb.reg("cert", "use", "Main", cert_hash("server"), check=False).returncode, 1)
        self.sb.set_value(self.sb.instance_key("Main", "TLS"), "CertificateHash", cert_hash("server"), "REG_BINARY")
        with self.control() as c:
            self.assertReplies(c, ("AUTH TLS", "535 Unable to create server credentials.\r\n"))
        self.assertLogged("Certificate file %s not used - its private key is readable by others" % exposed, "!")
        os.chmod(exposed, 0o600)

        with self.control() as c:
            self.assertReplies(c, ("AUTH XYZ", '504 Unknown AUTH parameter "XYZ"\r\n'),
                               ("AUTH tls", "234 AUTH command acccepted.  Establishing 'secured' session.\r\n"))
            tls = client_context().wrap_socket(c.sock, server_hostname="127.0.0.1")
            self.assertEqual(tls.getpeercert()["subject"][0][0], ("commonName", "127.0.0.1"))
            self.assertEqual(tls.version() in ("TLSv1.2", "TLSv1.3"), True)
            cipher = tls.cipher()[0]
            self.assertTrue("GCM" in cipher or "CHACHA20" in cipher, cipher)
            for command, reply in (("PROT p", '504 Bad/unrecognised PROT parameter "p"\r\n'),
                                   ("PROT S", '504 Bad/unrecognised PROT parameter "S"\r\n'),
                                   ("PROT P", "200 Protection now TLS-P (control and data encrypted)\r\n"),
                                   ("PROT C", "200 Protection now TLS-C (control encrypted, data clear)\r\n")):
                tls.sendall(command.encode() + b"\r\n")
                self.assertEqual(tls.recv(200).decode(), reply, command)
            # A repeated AUTH drops the layer: its 234 comes in the clear,
            # and a new handshake follows; REIN drops it as well.
            tls.sendall(b"AUTH TLS\r\n")
            raw = socket.socket(fileno=os.dup(tls.fileno()))
            raw.settimeout(5)
            self.assertTrue(raw.recv(200).startswith(b"234 "))
            again = client_context().wrap_socket(raw, server_hostname="127.0.0.1")
            again.sendall(b"PROT P\r\n")
            self.assertEqual(again.recv(200), b"200 Protection now TLS-P (control and data encrypted)\r\n")
            again.sendall(b"REIN\r\n")
            plain = socket.socket(fileno=os.dup(again.fileno()))
            plain.settimeout(5)
            self.assertTrue(plain.recv(200).startswith(b"220 "))
            plain.sendall(b"PROT P\r\n")
            self.assertEqual(plain.recv(200), b'504 Bad/unrecognised PROT parameter "P"\r\n')
            for s in (plain, again, tls):
                s.close()

        # TLS 1.1 is never offered.
        with socket.create_connection(("127.0.0.1", self.tls_port), timeout=5) as s:
            with self.assertRaises((ssl.SSLError, OSError)):
                client_context(ssl.TLSVersion.TLSv1_1).wrap_socket(s).recv(10)
        self.assertLogged("SSL / TLS negotiation failed - error is 0x80090331", "!")
        # The file is looked at again after any change, its mode too.
        os.chmod(exposed, 0o644)
        with self.control() as c:
            self.assertReplies(c, ("AUTH TLS", "535 Unable to create server credentials.\r\n"))

    def test_lines_behind_a_waiting_command_in_one_record_are_answered(self):
        self.serve()
        with socket.create_connection(("127.0.0.1", self.tls_port), timeout=20) as raw:
            tls = client_context().wrap_socket(raw, server_hostname="127.0.0.1")
            got = b""
            while not got.endswith(b"\r\n"):
                got += tls.recv(4096)
            tls.sendall(b"USER alice\r\nPASS " + PASSWORD.encode() + b"\r\n")
            got = b""
            while b"\r\n230 " not in got:
                got += tls.recv(4096)
            # One record: HASH makes the session wait, and what follows it is
            # more than the first read takes.
            self.write("h.txt", b"data")
            tls.sendall(b"HASH h.txt\r\nSITE " + b"A" * 600 + b"\r\nSYST\r\nNOOP\r\n")
            got = b""
            while b"\r\n200 " not in got:
                block = tls.recv(4096)
                self.assertTrue(block, got)
                got += block
            self.assertIn(b"\r\n215 ", got)
            # A batch longer than one read, then the client's close: the
            # lines still inside the TLS layer run too.
            tls.sendall(b"NOOP\r\n" * 100 + b"MKD batch\r\n")
            tls.shutdown(socket.SHUT_WR)
            deadline = time.monotonic() + 10
            while not os.path.isdir(os.path.join(self.home, "batch")) and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertTrue(os.path.isdir(os.path.join(self.home, "batch")))
            tls.close()

    def test_forbid_clear_user_and_data(self):
        self.serve({"TLS\\ForbidClearUser": 1, "TLS\\ForbidClearData": 1})
        with self.control() as c:
            self.assertReplies(c, ("USER alice", "530 USER and PASS command must be encrypted.\r\n"))
        ftp = self.ftps(prot_p=False)  # AUTH TLS: control only
        with self.assertRaises(ftplib.error_perm) as e:
            ftp.nlst()
        self.assertEqual(str(e.exception), "530 All data transfers and file listings must be encrypted.")
        self.assertLogged("Data transfer attempted without encrypting data channel", "!")
        ftp.prot_p()
        self.write("seen.txt", b"x")
        self.assertIn("seen.txt", ftp.nlst())

    # ---- clients ---------------------------------------------------------------------

    def test_clients_list_and_transfer(self):
        self.serve()
        payload = os.urandom(3 * MIB + 17)
        self.write("down.bin", payload)
        # curl: explicit (the data handshake begins before RETR) and implicit.
        r = curl(*self.curl_args(), self.curl_url())
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b"down.bin", r.stdout)
        r = curl(*self.curl_args(), self.curl_url("down.bin"))
        self.assertEqual((r.returncode, r.stdout == payload), (0, True), r.stderr)
        r = curl(*self.curl_args(), "-T", "-", self.curl_url("curl-up.bin"), input=payload)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(read(os.path.join(self.home, "curl-up.bin")), payload)
        # An upload that ends before the client reads anything on the data
        # connection: nothing may be waiting there for it when it closes.
        self.write("mib.bin", payload[:MIB])
        for i in range(6):
            r = curl(*self.curl_args(), "-T", os.path.join(self.home, "mib.bin"), self.curl_url("again.bin"))
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(read(os.path.join(self.home, "again.bin")), payload[:MIB])
        r = curl("--cacert", os.path.join(CERTS, "root.pem"), self.curl_url("down.bin", implicit=True))
        self.assertEqual((r.returncode, r.stdout == payload), (0, True), r.stderr)

        # lftp with TLS forced on both connections.
        r = lftp(self.sb, self.port, "%s,%s" % (self.user, PASSWORD),
                 "set ftp:ssl-force true; set ftp:ssl-protect-data true; "
                 "set ssl:ca-file %s; ls; get down.bin -o %s; put %s -o lftp-up.bin" % (
                     os.path.join(CERTS, "root.pem"), os.path.join(self.sb.dir, "lftp-down.bin"),
                     os.path.join(self.home, "down.bin")))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b"down.bin", r.stdout)
        self.assertEqual(read(os.path.join(self.sb.dir, "lftp-down.bin")), payload)
        self.assertEqual(read(os.path.join(self.home, "lftp-up.bin")), payload)

        # Python: listing, download, upload.
        ftp = self.ftps()
        self.assertIn("down.bin", ftp.nlst())
        got = bytearray()
        ftp.retrbinary("RETR down.bin", got.extend)
        self.assertEqual(bytes(got), payload)
        ftp.storbinary("STOR py-up.bin", io.BytesIO(payload))
        self.assertEqual(read(os.path.join(self.home, "py-up.bin")), payload)
        # Nothing to send still waits for the handshake and the closure notice.
        self.write("empty.bin", b"")
        os.makedirs(os.path.join(self.home, "void"))
        got = bytearray()
        ftp.retrbinary("RETR empty.bin", got.extend)
        self.assertEqual(bytes(got), b"")
        self.assertEqual(ftp.nlst("void"), [])

    def test_stat_and_abor_during_a_tls_download_and_a_dropped_upload(self):
        self.timer_ms = 100
        self.serve({"TLS\\RequireSessionReuse": 1})
        self.write("big.bin", os.urandom(64 * MIB))
        self.write("small.bin", b"s" * 100)
        # TLS 1.2 without tickets: sessions resume from the server's cache,
        # which an aborted connection must not empty.
        ctx = client_context()
        ctx.maximum_version = ssl.TLSVersion.TLSv1_2
        ctx.options |= ssl.OP_NO_TICKET
        ftp = self.ftps(ResumingFTP, context=ctx)
        conn = ftp.transfercmd("RETR big.bin")
        self.assertTrue(conn.recv(65536))
        ftp.putcmd("STAT")
        status = ftp.getmultiline()
        self.assertIn(" Transfer in progress:", status)
        self.assertTrue(status.endswith("211 End of status"), status)
        ftp.putcmd("ABOR")
        self.assertEqual(ftp.getline(), "426 Transfer aborted.")
        self.assertEqual(ftp.getline(), "226 Abort Successful.")
        conn.close()
        # The session survives the aborted connection: the next one resumes it.
        self.assertIn("big.bin", ftp.nlst())

        # An upload whose client drops TCP without the closure notice.
        conn = ftp.transfercmd("STOR cut.bin")
        conn.sendall(b"y" * 200000)
        conn.shutdown(socket.SHUT_WR)  # TCP's end, without the closure notice
        with self.assertRaises(ftplib.error_temp) as e:
            ftp.getresp()
        self.assertEqual(str(e.exception), "451 Error 10054 in network on receive")
        conn.close()
        self.assertLogged("Secure Transport error - TCP stream closed without accompanying closure message.", "!")

        # A download whose client leaves before the handshake ends too.
        conn, _ = ftplib.FTP.ntransfercmd(ftp, "RETR big.bin")
        conn.close()
        with self.assertRaises(ftplib.error_temp) as e:
            ftp.getresp()
        self.assertEqual(str(e.exception), "451 Connection reset by client - transfer aborted.")

        # A small file read whole while it waits for its handshake is still
        # being sent: ABOR aborts it, and a time-out gets its reply.
        conn, _ = ftplib.FTP.ntransfercmd(ftp, "RETR small.bin")
        ftp.putcmd("ABOR")
        self.assertEqual(ftp.getline(), "426 Transfer aborted.")
        self.assertEqual(ftp.getline(), "226 Abort Successful.")
        conn.close()
        self.assertEqual(ftp.sendcmd("SITE ADMN IDLE 1"), "215 ADMN IDLE 1")
        conn, _ = ftplib.FTP.ntransfercmd(ftp, "RETR small.bin")
        with self.assertRaises(ftplib.error_temp) as e:
            ftp.getresp()
        self.assertEqual(str(e.exception), "425 Timeout on network transaction - closing connection.")
        conn.close()

    def test_closure_notice_in_the_flight_that_ends_the_handshake(self):
        # TLS 1.3 lets a client end its handshake and close in one flight;
        # the download of an empty file must still get its 226.
        self.serve()
        self.write("empty.bin", b"")
        ftp = self.ftps()
        ftp.voidcmd("TYPE I")
        raw = socket.create_connection(ftp.makepasv(), timeout=10)
        self.addCleanup(raw.close)
        ftp.putcmd("RETR empty.bin")
        self.assertTrue(ftp.getresp().startswith("150"))
        tls, _, outgoing = bio_handshake(ftp, raw)
        try:
            tls.unwrap()
        except ssl.SSLWantReadError:
            pass
        raw.sendall(outgoing.read())  # Finished and the closure notice together
        raw.shutdown(socket.SHUT_WR)
        self.assertEqual(ftp.getresp(), "226 Transfer finished successfully.")

    def test_auth_during_a_protected_download_answers_it_first(self):
        self.serve()
        self.write("big.bin", b"b" * (16 << 20))
        ftp = self.ftps()
        ftp.voidcmd("TYPE I")
        conn = ftp.transfercmd("RETR big.bin")  # never read: the download stays busy
        self.addCleanup(conn.close)
        time.sleep(0.2)
        ftp.putcmd("AUTH TLS")
        # Over the old layer, before the 234 in the clear, as with REIN.
        self.assertEqual(ftp.getline(), "426 Transfer aborted.")

    def test_resumption_required(self):
        self.serve({"TLS\\RequireSessionReuse": 1})
        self.write("file.txt", b"resumed")
        ftp = self.ftps(ResumingFTP)
        got = bytearray()
        ftp.retrbinary("RETR file.txt", got.extend)
        self.assertEqual(bytes(got), b"resumed")
        # A second control connection that resumes the first one's session
        # is the same client: its data connections resume that session.
        again = ResumingFTP(context=ftp.context, timeout=20)
        self.addCleanup(again.close)
        again.connect("127.0.0.1", self.port)
        again.voidcmd("AUTH TLS")
        again.sock = ftp.context.wrap_socket(again.sock, server_hostname="127.0.0.1", session=ftp.sock.session)
        again.file = again.sock.makefile(mode="r", encoding=again.encoding)
        self.assertTrue(again.sock.session_reused)
        again.login(self.user, PASSWORD)
        again.prot_p()
        got = bytearray()
        again.retrbinary("RETR file.txt", got.extend)
        self.assertEqual(bytes(got), b"resumed")
        # A renewed certificate does not cut off sessions in progress.
        self.sb.reg("cert", "use", "Main", cert_hash("other"))
        got = bytearray()
        ftp.retrbinary("RETR file.txt", got.extend)
        self.assertEqual(bytes(got), b"resumed")
        r = lftp(self.sb, self.port, "%s,%s" % (self.user, PASSWORD),
                 "set ftp:ssl-force true; set ftp:ssl-protect-data true; set ssl:verify-certificate no; "
                 "cat file.txt")
        self.assertEqual((r.returncode, r.stdout), (0, b"resumed"), r.stderr)
        r = curl(*self.curl_args(), self.curl_url("file.txt"))
        self.assertEqual((r.returncode, r.stdout), (0, b"resumed"), r.stderr)
        # A fresh session on the data connection is turned away.
        plain = self.ftps()
        with self.assertRaises((ftplib.Error, OSError)):
            plain.retrbinary("RETR file.txt", lambda b: None)
        self.assertLogged("Data connection refused - its TLS session is not a resumption of the control "
                          "connection's session", "!")

    # ---- large transfers -------------------------------------------------------------

    def test_100_mib_in_stream_and_block_mode(self):
        self.serve()
        source = os.path.join(self.home, "big.bin")
        with open(source, "wb") as f:
            f.write(os.urandom(100 * MIB))
        digest = sha256_file(source)
        down = os.path.join(self.sb.dir, "down.bin")
        r = curl(*self.curl_args(), self.curl_url("big.bin"), "-o", down, max_time=120)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(sha256_file(down), digest)
        r = curl(*self.curl_args(), "-T", source, self.curl_url("up.bin"), max_time=120)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(sha256_file(os.path.join(self.home, "up.bin")), digest)

        ftp = self.ftps(ResumingFTP)
        ftp.voidcmd("TYPE I")
        ftp.voidcmd("MODE B")
        conn = ftp.transfercmd("RETR big.bin")
        data = read_blocks(conn)
        ftp.voidresp()
        self.assertEqual(hashlib.sha256(data).hexdigest(), digest)
        conn.close()
        conn = ftp.transfercmd("STOR block.bin")
        conn.sendall(block_stream(data))
        self.assertEqual(ftp.getresp(), "226 Transfer finished successfully.")
        conn.close()
        self.assertEqual(sha256_file(os.path.join(self.home, "block.bin")), digest)

    def test_block_mode_download_read_slowly_arrives_whole(self):
        # A reader slower than the server keeps the connection full, so the
        # file's last records wait in the TLS layer when the file has been
        # read: they must still leave, and before the 226.
        self.serve()
        data = os.urandom(4 * MIB)
        self.write("mid.bin", data)
        ftp = self.ftps(ResumingFTP)
        ftp.voidcmd("TYPE I")
        ftp.voidcmd("MODE B")
        for _ in range(2):
            conn = ftp.transfercmd("RETR mid.bin")
            conn.settimeout(10)

            class Slow:
                @staticmethod
                def recv(_):
                    time.sleep(0.002)
                    return conn.recv(16384)

            self.assertEqual(read_blocks(Slow()), data)
            self.assertEqual(ftp.getresp(), "226 Transfer finished successfully.")
            conn.close()


    def test_download_read_slowly_is_no_idle_session(self):
        # A slow link takes the records already made a little at a time:
        # that is activity, though no new record is made for a while.
        self.timer_ms = 100
        self.serve({"Security\\TimeOut": 1})
        with open(os.path.join(self.home, "slow.bin"), "wb") as f:
            f.truncate(32 * MIB)
        ftp = self.ftps()
        ftp.voidcmd("TYPE I")
        d = socket.socket()
        self.addCleanup(d.close)
        d.setsockopt(socket.IPPROTO_TCP, socket.TCP_MAXSEG, 1000)
        d.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        d.connect(pasv_address(ftp.sendcmd("PASV")))
        self.assertTrue(ftp.sendcmd("RETR slow.bin").startswith("150 "))
        tls, _, outgoing = bio_handshake(ftp, d, 4096)
        d.sendall(outgoing.read())
        until = time.monotonic() + 4
        while time.monotonic() < until:  # about 10 KB/s of records
            self.assertTrue(d.recv(1000))
            time.sleep(0.1)
        ftp.putcmd("ABOR")
        self.assertEqual(ftp.getmultiline(), "426 Transfer aborted.")
        self.assertEqual(ftp.getmultiline(), "226 Abort Successful.")

if __name__ == "__main__":
    unittest.main()
