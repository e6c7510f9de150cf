"""Shared fixtures of the end-to-end tests.

Every test works in a Sandbox: a temporary folder holding the configuration
store, the run folder and the certificate folder, with ORVYN_REGISTRY,
ORVYN_RUNDIR and ORVYN_CERTDIR pointing there. The store is written with the
real `orvyn-reg` program; the server runs as `orvyn s` (Service). Nothing
outside the temporary folder is touched; servers listen on free loopback
ports only.

    with Sandbox() as sb, sb.start_instance("Main") as svc, Control(svc.port) as c:
        self.assertTrue(c.greeting.startswith("220 "))
        self.assertEqual(c.cmd("NOOP"), "200 No operation completed successfully\\r\\n")
        print(sb.log_text())

ServerCase gives each test such a sandbox, starts the service and checks
that it ends cleanly; StoreToolCase runs `orvyn-reg` on a sandbox's store.
ftp_connect, ftp_url, curl and lftp drive real clients.

Programs come from $ORVYN_BIN (default: build/bin of the checkout).
"""

import ftplib
import os
import pty
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest
import urllib.parse

PRODUCT_KEY = r"HKLM\Software\Brandmoor\ORVYNPro"
SERVERS_KEY = PRODUCT_KEY + r"\Servers"

GIVE_PASSWORD = "331 Give me your password, please\r\n"
LOGGED_IN = "230 Logged in successfully\r\n"
NOT_LOGGED_IN = "530 Not logged in yet - need a USER and PASS command\r\n"
DONE = "The operation completed successfully.\n"

_HERE = os.path.dirname(os.path.abspath(__file__))
BIN = os.environ.get("ORVYN_BIN") or os.path.join(_HERE, "..", "..", "build", "bin")


def program(name):
    """Absolute path of a built program."""
    return os.path.abspath(os.path.join(BIN, name))


def require_programs(*names, wait=None):
    """Skips the calling test unless every named program exists in BIN.

    With wait > 0 the programs are polled for that many seconds first (for
    runs where another build is still producing them); by default as long as
    $ORVYN_WAIT_BUILD says (0 when unset).
    """
    if wait is None:
        wait = float(os.environ.get("ORVYN_WAIT_BUILD", "0"))
    deadline = time.monotonic() + wait
    while True:
        missing = [n for n in names if not os.access(program(n), os.X_OK)]
        if not missing:
            return
        if time.monotonic() >= deadline:
            raise unittest.SkipTest("not built yet: " + ", ".join(missing))
        time.sleep(1.0)


def free_port(host="127.0.0.1"):
    """A TCP port that is free on host right now (above 1024)."""
    while True:
        with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET) as s:
            s.bind((host, 0))
            port = s.getsockname()[1]
        if port > 1024:
            return port


def pasv_address(reply):
    """The address and port of a 227 reply."""
    m = re.search(r"\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)", reply)
    if not reply.startswith("227 ") or not m:
        raise AssertionError("bad PASV reply %r" % reply)
    n = [int(x) for x in m.groups()]
    return "%d.%d.%d.%d" % tuple(n[:4]), n[4] * 256 + n[5]


def recv_all(sock, timeout=30.0):
    """Everything a data connection sends until it closes (or is reset)."""
    sock.settimeout(timeout)
    chunks = []
    try:
        while True:
            chunk = sock.recv(1 << 20)
            if not chunk:
                break
            chunks.append(chunk)
    except ConnectionResetError:
        pass
    return b"".join(chunks)


def wait_listening(port, host="127.0.0.1", timeout=10.0):
    """Waits until something accepts connections on host:port."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection((host, port), timeout=1.0) as s:
                # Read the greeting so that the server sees an orderly client,
                # then wait for the server to close its side, so that the probe
                # holds none of its descriptors when this returns.
                s.settimeout(2.0)
                try:
                    s.recv(4096)
                    s.shutdown(socket.SHUT_WR)
                    while s.recv(4096):
                        pass
                except OSError:
                    pass
            return True
        except OSError:
            time.sleep(0.05)
    return False


def wait_closed(port, host="127.0.0.1", timeout=10.0):
    """Waits until connections to host:port are refused."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection((host, port), timeout=1.0):
                pass
        except ConnectionRefusedError:
            return True
        except OSError:
            pass
        time.sleep(0.05)
    return False


def wait_for(predicate, timeout=10.0, interval=0.05):
    """Polls predicate until it returns a true value; returns that value or None."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            return None
        time.sleep(interval)


class Sandbox:
    """A temporary folder with a configuration store and the run folders."""

    def __init__(self, prefix="orvyn-e2e-", store="registry.db"):
        self.dir = tempfile.mkdtemp(prefix=prefix)
        self.store = os.path.join(self.dir, store)
        self.rundir = os.path.join(self.dir, "run")
        self.certdir = os.path.join(self.dir, "certs")
        self.logfile = os.path.join(self.dir, "activity.log")
        os.makedirs(self.rundir)
        os.makedirs(self.certdir)
        self.env = dict(os.environ)
        self.env.update(ORVYN_REGISTRY=self.store, ORVYN_RUNDIR=self.rundir, ORVYN_CERTDIR=self.certdir)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cleanup()

    def cleanup(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def run(self, *args, name="orvyn", timeout=20):
        """Runs a built program in the sandbox with its environment; returns the CompletedProcess."""
        return subprocess.run([program(name)] + list(args), env=self.env, capture_output=True, text=True,
                              timeout=timeout, cwd=self.dir)

    # ---- the store ------------------------------------------------------------

    def reg(self, *args, check=True, input=None):
        """Runs orvyn-reg on this sandbox's store; returns the CompletedProcess."""
        r = subprocess.run([program("orvyn-reg"), "--store", self.store] + list(args), env=self.env,
                           capture_output=True, text=True, timeout=30, input=input)
        if check and r.returncode != 0:
            raise AssertionError("orvyn-reg %s failed: %s%s" % (" ".join(args), r.stdout, r.stderr))
        return r

    def set_value(self, key, name, value, type=None):
        """Writes one value (replacing it). key is a full HKLM path. int values
        default to REG_DWORD, str values to REG_SZ."""
        if type is None:
            type = "REG_DWORD" if isinstance(value, int) else "REG_SZ"
        self.reg("add", key, "/v", name, "/t", type, "/d", str(value), "/f")

    def query_value(self, key, name):
        """The data text orvyn-reg shows for a value, or None when it is missing."""
        r = self.reg("query", key, "/v", name, check=False)
        if r.returncode != 0:
            return None
        for line in r.stdout.splitlines():
            parts = re.split(r" {4}", line.strip(), maxsplit=2)
            if len(parts) >= 2 and parts[0].lower() == name.lower():
                return parts[2] if len(parts) == 3 else ""
        return None

    def instance_key(self, name, section=None):
        key = SERVERS_KEY + "\\" + name
        return key + "\\" + section if section else key

    def add_instance(self, name, port, address="127.0.0.1", enabled=None, log=True, values=None):
        """Creates an instance key listening on address:port.

        log: the instance logs to self.logfile with every category on.
        values: {"Section\\Name" or "Name": value} written under the instance key.
        """
        key = self.instance_key(name)
        if port is not None:
            self.set_value(key, "Port", port)
        if address is not None:
            self.set_value(key, "Address", address)
        if enabled is not None:
            self.set_value(key, "Enabled", enabled)
        if log:
            logging = self.instance_key(name, "Logging")
            self.set_value(logging, "LogFile", self.logfile)
            for switch in ("Enable", "Warnings", "Winsock", "Anonymous", "Commands", "Gets", "Logins", "Puts"):
                self.set_value(logging, switch, 1)
        for path, value in (values or {}).items():
            section, _, vname = path.rpartition("\\")
            self.set_value(self.instance_key(name, section) if section else key, vname, value)
        return key

    def start_instance(self, name="Main", values=None, host="127.0.0.1", log=True, timer_ms=None, env=None):
        """Adds the instance name on a free port of host and runs `orvyn s`
        until it listens there. Returns the running Service (its port in
        .port); a with statement on it stops it."""
        port = free_port(host)
        self.add_instance(name, port, address=host, log=log, values=values)
        svc = Service(self, timer_ms=timer_ms, env=env).start()
        svc.port = port
        try:
            svc.wait_listening(port, host)
        except BaseException:
            svc.stop()
            raise
        return svc

    def user_key(self, user, section=None, instance="Main"):
        key = self.instance_key(instance, "Users\\" + user)
        return key + "\\" + section if section else key

    def add_user(self, user, password=None, home=None, values=None, instance="Main"):
        """A user of the instance's own password store: its Home, other
        values, and the hash of password written by `orvyn-reg passwd`."""
        key = self.user_key(user, instance=instance)
        if home is not None:
            self.set_value(key, "Home", home)
        for name, value in (values or {}).items():
            self.set_value(key, name, value)
        if password is not None:
            self.reg("passwd", instance, user, input=password + "\n")

    def set_rights(self, user, folder, letters, instance="Main"):
        """The rights entry of a user for a folder (a path ending in "/")."""
        self.set_value(self.user_key(user, "Rights", instance), folder, letters)

    # ---- the activity log -------------------------------------------------------

    def log_text(self):
        try:
            with open(self.logfile, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    def log_lines(self, instance=None, category=None):
        """Messages of the log lines (text after the time), optionally only
        those of one instance and one category."""
        out = []
        for line in self.log_text().split("\r\n"):
            m = re.match(r'^"(.*?)" \[(.) (-?\d+)\] \S+ \d\d:\d\d:\d\d (.*)$', line)
            if not m:
                continue
            if instance is not None and m.group(1) != instance:
                continue
            if category is not None and m.group(2) != category:
                continue
            out.append(m.group(4))
        return out

    def wait_log(self, text, timeout=10.0):
        """Waits until a log line contains text; returns the line or None."""
        def find():
            for line in self.log_text().split("\r\n"):
                if text in line:
                    return line
            return None
        return wait_for(find, timeout)


class Service:
    """`orvyn s` running in the foreground on a sandbox."""

    def __init__(self, sandbox, args=("s",), env=None, timer_ms=None, program_name="orvyn"):
        self.sandbox = sandbox
        self.env = dict(sandbox.env)
        if timer_ms is not None:
            self.env["ORVYN_TIMER_MS"] = str(timer_ms)
        self.env.update(env or {})
        self.args = [program(program_name)] + list(args)
        self.proc = None
        self.stdout = ""
        self.stderr = ""

    def __enter__(self):
        if self.proc is None:
            self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        self.proc = subprocess.Popen(self.args, env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True, cwd=self.sandbox.dir)
        return self

    def wait_listening(self, port, host="127.0.0.1", timeout=10.0):
        ok = wait_listening(port, host, timeout)
        if not ok:
            raise AssertionError("nothing listens on %s:%d (service %s)" % (host, port, self.describe()))

    def describe(self):
        if self.proc is None:
            return "not started"
        code = self.proc.poll()
        return "running" if code is None else "exited with %d" % code

    def signal(self, signo):
        self.proc.send_signal(signo)

    def refresh(self):
        """Asks the service to re-read its configuration (SIGHUP)."""
        self.signal(signal.SIGHUP)

    def pid_file(self):
        return os.path.join(self.sandbox.rundir, "ORVYN Service Control.pid")

    def wait(self, timeout=10.0):
        """Waits for the process to end; returns its exit status."""
        try:
            out, err = self.proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, err = self.proc.communicate()
            raise AssertionError("service did not exit within %.1f s" % timeout)
        self.stdout += out or ""
        self.stderr += err or ""
        return self.proc.returncode

    def stop(self, timeout=10.0):
        """SIGTERM, then waits; returns the exit status (None when never started)."""
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.wait(timeout)
        finally:
            for stream in (self.proc.stdout, self.proc.stderr):
                if stream:
                    stream.close()


class Control:
    """A raw control connection that reads whole replies."""

    def __init__(self, port, host="127.0.0.1", timeout=5.0, source=None, greet=True):
        self.sock = socket.create_connection((host, port), timeout=timeout,
                                             source_address=(source, 0) if source else None)
        self.buf = b""
        self.greeting = self.read_reply() if greet else None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def send_raw(self, data):
        self.sock.sendall(data)

    def send(self, line):
        self.sock.sendall(line.encode("latin-1") + b"\r\n")

    def _fill(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise EOFError("connection closed")
        self.buf += chunk

    def read_line(self):
        while b"\n" not in self.buf:
            self._fill()
        line, _, self.buf = self.buf.partition(b"\n")
        return (line + b"\n").decode("latin-1")

    def read_reply(self):
        """One complete reply (all its lines), as text with the line ends."""
        first = self.read_line()
        text = first
        if re.match(r"^\d{3}-", first):
            code = first[:3]
            while True:
                line = self.read_line()
                text += line
                if line.startswith(code + " "):
                    break
        return text

    def cmd(self, line):
        self.send(line)
        return self.read_reply()

    def read_until_closed(self, timeout=5.0):
        """Everything the server sends until it closes the connection."""
        self.sock.settimeout(timeout)
        data = self.buf
        self.buf = b""
        while True:
            try:
                chunk = self.sock.recv(65536)
            except ConnectionResetError:
                break
            if not chunk:
                break
            data += chunk
        return data.decode("latin-1")

    def is_closed(self, timeout=5.0):
        """True when the server closes the connection within timeout (data
        still arriving is read and dropped)."""
        self.sock.settimeout(timeout)
        try:
            while True:
                chunk = self.sock.recv(65536)
                if not chunk:
                    return True
        except ConnectionResetError:
            return True
        except socket.timeout:
            return False


# ---- clients ---------------------------------------------------------------------

def ftp_connect(port, host="127.0.0.1", timeout=10):
    """An ftplib client connected to host:port, not logged in (its greeting in .welcome)."""
    ftp = ftplib.FTP()
    ftp.connect(host, port, timeout=timeout)
    return ftp


def ftp_url(port, path="", user=None, password=None, host="127.0.0.1"):
    """ftp://[user:password@]host:port/path, the user and password escaped."""
    login = "" if user is None else "%s:%s@" % (urllib.parse.quote(user, safe=""),
                                                urllib.parse.quote(password, safe=""))
    return "ftp://%s%s:%d/%s" % (login, host, port, path)


def curl(*args, max_time=20, text=False, input=None):
    """Runs curl (silent but for errors, for at most max_time seconds); returns the CompletedProcess."""
    return subprocess.run(["curl", "-sS", "--max-time", str(max_time)] + list(args), capture_output=True,
                          text=text, timeout=max_time * 3 // 2, input=input)


def lftp(sandbox, port, login, commands, timeout=60):
    """Runs lftp commands against 127.0.0.1:port, logged in as login
    ("user,password"), with HOME in the sandbox; returns the CompletedProcess.
    Skips the calling test where lftp is not installed."""
    if shutil.which("lftp") is None:
        raise unittest.SkipTest("lftp is not installed")
    return subprocess.run(["lftp", "-u", login, "-p", str(port), "-e", commands + "; bye", "127.0.0.1"],
                          capture_output=True, timeout=timeout,
                          env=dict(os.environ, HOME=sandbox.dir, LC_ALL="C.UTF-8"))


# ---- test cases ------------------------------------------------------------------

class ReplyCase(unittest.TestCase):
    """Checks of whole dialogues on a control connection."""

    def assertReplies(self, c, *exchanges):
        """Sends each command of the (command, reply) pairs on c in turn and checks its reply."""
        for command, reply in exchanges:
            self.assertEqual(c.cmd(command), reply, command)


class ServerCase(ReplyCase):
    """Each test gets a sandbox; one_instance() or start() runs `orvyn s` on
    it, and the service must end cleanly when the test is over. login()
    defaults to the class's user and password."""

    timer_ms = None
    user = password = None

    def setUp(self):
        self.sb = Sandbox()
        self.addCleanup(self.sb.cleanup)
        self.svc = None

    def start(self, *ports, timer_ms=None, env=None):
        """Runs the service on what the sandbox holds; waits until it listens on ports."""
        self.svc = Service(self.sb, timer_ms=timer_ms or self.timer_ms, env=env).start()
        self.addCleanup(self.stop_cleanly, self.svc)
        for port in ports:
            self.svc.wait_listening(port)
        return self.svc

    def one_instance(self, values=None, name="Main", timer_ms=None, env=None):
        """The instance name on a free port (self.port, returned) with its own service."""
        self.svc = self.sb.start_instance(name, values=values, timer_ms=timer_ms or self.timer_ms, env=env)
        self.addCleanup(self.stop_cleanly, self.svc)
        self.port = self.svc.port
        return self.port

    def stop_cleanly(self, svc):
        """Stops the service and checks that it ended well."""
        already = svc.proc.poll()
        code = svc.stop()
        if already is None:
            self.assertEqual(code, 0, svc.stderr)
        self.assertNotIn("Sanitizer", svc.stderr)
        self.assertNotIn("runtime error", svc.stderr)

    def control(self):
        c = Control(self.port)
        self.addCleanup(c.close)
        return c

    def login(self, c, user=None, password=None):
        """USER and PASS; returns the PASS reply."""
        self.assertEqual(c.cmd("USER " + (user or self.user)), GIVE_PASSWORD)
        return c.cmd("PASS " + (self.password if password is None else password))

    def logged_in(self):
        c = self.control()
        self.assertTrue(self.login(c).endswith(LOGGED_IN))
        return c

    def ftp(self, login=False, timeout=10):
        """An ftplib client of the instance, logged in as the class's user when
        login is set; closed when the test ends."""
        ftp = ftp_connect(self.port, timeout=timeout)
        self.addCleanup(ftp.close)
        if login:
            ftp.login(self.user, self.password)
        return ftp

    def messages(self, category=None, instance="Main"):
        return self.sb.log_lines(instance, category)

    def wait_message(self, text, category=None):
        return wait_for(lambda: text in self.messages(category), timeout=5.0)

    def assertLogged(self, text, category="C"):
        """The log gets the line (the server may write it just after its reply)."""
        if not self.wait_message(text, category):
            self.fail("no log line [%s] %r in:\n%s" % (category, text, self.sb.log_text()))


class StoreToolCase(unittest.TestCase):
    """A sandbox for each test (its store at store_name inside) and helpers
    to run orvyn-reg, which finds the store through ORVYN_REGISTRY."""

    store_name = "registry.db"

    def setUp(self):
        if not os.access(program("orvyn-reg"), os.X_OK):
            self.fail("orvyn-reg not found; set ORVYN_BIN to the build's bin folder")
        self.sb = Sandbox(prefix="orvyn-reg-test-", store=self.store_name)
        self.addCleanup(self.sb.cleanup)
        self.store = self.sb.store
        self.env = self.sb.env

    def path(self, name):
        return os.path.join(self.sb.dir, name)

    def run_tool(self, *args, data=None):
        """Runs orvyn-reg with data (bytes) as its input, else none; the
        outputs come back as text."""
        r = subprocess.run([program("orvyn-reg"), *args], env=self.env, input=data,
                           stdin=None if data is not None else subprocess.DEVNULL, capture_output=True, timeout=60)
        r.stdout, r.stderr = r.stdout.decode(errors="replace"), r.stderr.decode(errors="replace")
        return r

    def ok(self, *args, data=None):
        r = self.run_tool(*args, data=data)
        self.assertEqual(r.returncode, 0, f"{args}: {r.stderr!r}")
        self.assertEqual(r.stderr, "", args)
        return r.stdout

    def fails(self, *args, data=None):
        r = self.run_tool(*args, data=data)
        self.assertEqual(r.returncode, 1, f"{args}: {r.stdout!r} {r.stderr!r}")
        self.assertTrue(r.stderr.startswith("ERROR: "), f"{args}: {r.stderr!r}")
        self.assertEqual(r.stdout, "", args)
        return r.stderr

    def snapshot(self):
        """Everything the store holds, as the tool shows it."""
        return self.ok("query", "HKLM", "/s")

    def assertRefusedUnchanged(self, *args, data=None):
        before = self.snapshot()
        error = self.fails(*args, data=data)
        self.assertEqual(self.snapshot(), before, args)
        return error

    def start_on_terminal(self, *args):
        """Runs orvyn-reg with a pseudo-terminal as its standard input; returns
        the process and the terminal's master side."""
        master, slave = pty.openpty()
        proc = subprocess.Popen([program("orvyn-reg"), *args], env=self.env, stdin=slave,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        os.close(slave)
        self.addCleanup(os.close, master)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        return proc, master
