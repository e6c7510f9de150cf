"""End-to-end tests of the orvyn program's host: the command line, install
and remove, the application mode, the service under the built-in manager,
single-session mode and the demo of `make run`.

Everything runs in a temporary sandbox: its own store, run folder, event-log
file, loopback ports; systemd is never involved (ORVYN_SYSTEMD=0)."""

import os
import re
import signal
import subprocess
import time
import unittest

from orvyntest import (BIN, PRODUCT_KEY, Control, Sandbox, Service, free_port, ftp_connect, program,
                       require_programs, wait_closed, wait_for, wait_listening)

SERVICE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\ORVYN Pro"
EVENT_SOURCE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\ORVYN Pro"
I_SWITCH_ERROR = "The 'i' command line switch must be followed by the \npath to where you want your INI file\n"
STATUS_RE = re.compile(r"state (\d+) \(.*\).*pid (\d+)")


def process_alive(pid):
    """True while the process exists and has not ended (zombies have ended)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rpartition(")")[2].split()[0] not in ("Z", "X")
    except (FileNotFoundError, IndexError):
        return False


class HostSandbox(Sandbox):
    """A sandbox whose programs also log events to a file and leave systemd alone."""

    def __init__(self):
        super().__init__(prefix="orvyn-host-")
        self.events = os.path.join(self.dir, "events.log")
        self.env.update(ORVYN_EVENTLOG_FILE=self.events, ORVYN_SYSTEMD="0")
        self.env.pop("ORVYN_SERVICE_MANAGER", None)
        self.env.pop("NOTIFY_SOCKET", None)

    def event_lines(self):
        try:
            with open(self.events, encoding="utf-8") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []


class HostTestCase(unittest.TestCase):
    def setUp(self):
        require_programs("orvyn", "orvyn-reg", "orvyn-svc", wait=60)
        self.sb = HostSandbox()
        self.addCleanup(self.sb.cleanup)


class InstallAndRemove(HostTestCase):
    def test_install_twice_then_remove_twice(self):
        sb = self.sb
        r = sb.run("-install")
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "ORVYN Pro installed\n", ""))
        r = sb.run("-install")
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "ORVYN Pro is already installed\n", ""))

        image = os.path.realpath(program("orvyn"))
        self.assertEqual(sb.query_value(SERVICE_KEY, "ImagePath"), image)
        self.assertEqual(sb.query_value(SERVICE_KEY, "DisplayName"), "ORVYN Pro")
        self.assertEqual(sb.query_value(SERVICE_KEY, "ObjectName"), "LocalSystem")
        self.assertEqual(int(sb.query_value(SERVICE_KEY, "Type"), 0), 0x10)
        self.assertEqual(int(sb.query_value(SERVICE_KEY, "Start"), 0), 3)
        self.assertEqual(int(sb.query_value(SERVICE_KEY, "ErrorControl"), 0), 1)
        self.assertEqual(sb.query_value(EVENT_SOURCE_KEY, "EventMessageFile"), image)
        self.assertEqual(int(sb.query_value(EVENT_SOURCE_KEY, "TypesSupported"), 0), 7)
        self.assertIn("REG_EXPAND_SZ", sb.reg("query", EVENT_SOURCE_KEY, "/v", "EventMessageFile").stdout)

        r = sb.run("-remove")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout, "ORVYN Pro removed. (You must delete the file (%s) yourself.)\n" % image)
        self.assertIsNone(sb.query_value(SERVICE_KEY, "ImagePath"))
        self.assertIsNotNone(sb.query_value(EVENT_SOURCE_KEY, "TypesSupported"), "the event source stays")

        r = sb.run("-remove")
        self.assertEqual((r.returncode, r.stdout), (1, ""))
        self.assertEqual(r.stderr, "ORVYN Pro is not installed in the services table.\n")

        self.assertEqual(sb.event_lines(), [
            "ORVYN Pro: information 100: The ORVYN Pro service was installed.",
            "ORVYN Pro: information 101: The ORVYN Pro service was removed.",
        ])

    def test_quiet_and_prefix_forms(self):
        sb = self.sb
        r = sb.run("-installq")
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "", ""))
        self.assertIsNotNone(sb.query_value(SERVICE_KEY, "ImagePath"))
        r = sb.run("-REMOVEQ")
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "", ""))
        self.assertIsNone(sb.query_value(SERVICE_KEY, "ImagePath"))
        # Only the first 8 (install) or 7 (remove) characters are compared.
        r = sb.run("-INSTALLATION", "s")
        self.assertEqual((r.returncode, r.stdout), (0, "ORVYN Pro installed\n"))
        r = sb.run("-removeService")
        self.assertEqual(r.returncode, 0)
        self.assertTrue(r.stdout.startswith("ORVYN Pro removed."))

    def test_remove_when_absent_is_a_failure_even_when_quiet(self):
        r = self.sb.run("-removeq")
        self.assertEqual((r.returncode, r.stdout), (1, ""))
        self.assertEqual(r.stderr, "ORVYN Pro is not installed in the services table.\n")
        self.assertEqual(self.sb.event_lines(), [])


class CommandLine(HostTestCase):
    def test_plain_start_exits_at_once_without_instances(self):
        sb = self.sb
        port = free_port()
        sb.add_instance("Main", port, log=False)
        for args in ([], ["h"], ["-v"], ["unknown", "tokens"]):
            start = time.monotonic()
            r = sb.run(*args, timeout=10)
            self.assertEqual(r.returncode, 1, args)
            self.assertLess(time.monotonic() - start, 5.0)
            self.assertIn("not started by a service manager", r.stderr)
            self.assertEqual(r.stdout, "")
        self.assertIsNone(sb.query_value(sb.instance_key("Main"), "Started"), "no instance was started")
        self.assertIsNone(sb.query_value(sb.instance_key("Main"), "NumPort"))
        self.assertEqual(os.listdir(sb.rundir), [])

    def test_i_switch_creates_but_never_truncates(self):
        sb = self.sb
        path = os.path.join(sb.dir, "orvyn.ini")
        r = sb.run("i", path)
        self.assertTrue(os.path.isfile(path))
        self.assertEqual(os.path.getsize(path), 0)
        self.assertNotIn("INI file", r.stderr)

        with open(path, "w") as f:
            f.write("[keep]\nthis=1\n")
        sb.run("i", path)
        with open(path) as f:
            self.assertEqual(f.read(), "[keep]\nthis=1\n")

        # A relative path, and a quoted path with blanks given as one argument.
        sb.run("i", "relative.ini")
        self.assertTrue(os.path.isfile(os.path.join(sb.dir, "relative.ini")))
        blank = os.path.join(sb.dir, "with  blanks.ini")
        sb.run('i "%s" h' % blank)
        self.assertTrue(os.path.isfile(blank))
        sb.run("i", os.path.join(sb.dir, "two words.ini"))
        self.assertTrue(os.path.isfile(os.path.join(sb.dir, "two words.ini")))

    def test_i_switch_errors(self):
        sb = self.sb
        for args in (["i"], ["s", "i"], ["i", os.path.join(sb.dir, "no", "such", "dir.ini")], ["i", sb.dir]):
            r = sb.run(*args)
            self.assertEqual(r.returncode, 1, args)
            self.assertEqual(r.stderr, I_SWITCH_ERROR, args)
            self.assertEqual(r.stdout, "")
        self.assertFalse(os.path.exists(os.path.join(sb.dir, "no")))


class ApplicationMode(HostTestCase):
    def test_sigterm_closes_sessions_and_exits_0(self):
        sb = self.sb
        # What was left at the pid file's names is neither waited on nor
        # written through.
        victim = os.path.join(sb.dir, "victim.txt")
        with open(victim, "w") as f:
            f.write("kept")
        os.mkfifo(os.path.join(sb.rundir, "ORVYN Service Control.pid"))
        os.symlink(victim, os.path.join(sb.rundir, "ORVYN Service Control.pid.tmp"))
        with sb.start_instance(env={"ORVYN_EVENTLOG_FILE": sb.events}) as svc:
            port = svc.port
            self.assertTrue(wait_for(lambda: os.path.exists(svc.pid_file())))
            with open(svc.pid_file()) as f:
                self.assertEqual(int(f.read().strip()), svc.proc.pid)
            sessions = [Control(port) for _ in range(2)]
            for c in sessions:
                self.assertTrue(c.greeting.startswith("220 "))
            svc.signal(signal.SIGTERM)
            for c in sessions:
                self.assertTrue(c.is_closed(timeout=5.0))
                c.close()
            self.assertEqual(svc.wait(), 0)
        self.assertTrue(wait_closed(port, timeout=2.0))
        self.assertFalse(os.path.exists(os.path.join(sb.rundir, "ORVYN Service Control.pid")))
        self.assertEqual(sb.event_lines(), [], "application mode is no service: no service events")
        with open(victim) as f:
            self.assertEqual(f.read(), "kept")

    def test_sigint_stops_too(self):
        with self.sb.start_instance(log=False) as svc:
            svc.signal(signal.SIGINT)
            self.assertEqual(svc.wait(), 0)

    def test_missing_product_key(self):
        r = self.sb.run("s", timeout=10)
        self.assertEqual(r.returncode, 1)
        self.assertIn(r"Software\Brandmoor\ORVYNPro", r.stderr)
        self.assertIn("does not exist", r.stderr)


class BuiltInManager(HostTestCase):
    """The service path: installed, started detached through the client,
    controlled through its control socket."""

    def setUp(self):
        super().setUp()
        self.addCleanup(self.kill_leftover)

    def svc(self, *args):
        return self.sb.run(*args, name="orvyn-svc", timeout=30)

    def status(self):
        r = self.svc("query")
        self.assertEqual(r.returncode, 0, r.stderr)
        m = STATUS_RE.search(r.stdout)
        self.assertIsNotNone(m, r.stdout)
        return int(m.group(1)), int(m.group(2))

    def kill_leftover(self):
        """Never leave a detached service behind, whatever failed."""
        socket_path = os.path.join(self.sb.rundir, "ORVYN Pro.ctl")
        if not os.path.exists(socket_path):
            return
        r = self.svc("query")
        m = STATUS_RE.search(r.stdout)
        if m and int(m.group(2)) > 0:
            try:
                os.kill(int(m.group(2)), signal.SIGKILL)
            except ProcessLookupError:
                pass

    def test_arguments_are_checked_before_the_service_is_looked_for(self):
        for args in (("bogus",), ("control", "abc"), ("query", "extra")):
            r = self.svc(*args)
            self.assertEqual(r.returncode, 2, args)
            self.assertIn("usage: orvyn-svc", r.stderr)
        r = self.svc("--help")
        self.assertEqual((r.returncode, r.stdout.startswith("usage: orvyn-svc")), (0, True))
        r = self.svc("query")
        self.assertEqual(r.returncode, 1)
        self.assertIn("error 1060 (the service is not installed; orvyn -install installs it)", r.stderr)
        r = self.svc("refresh")
        self.assertEqual(r.returncode, 1)
        self.assertIn("error 2 (no server is running: it has no pid file)", r.stderr)

    def test_start_query_control_stop(self):
        sb = self.sb
        port1, port2 = free_port(), free_port()
        sb.add_instance("First", port1, log=False)
        self.assertEqual(sb.run("-installq").returncode, 0)
        self.assertEqual(self.status()[0], 1, "installed, not started: stopped")

        # Started four times at once: the service runs once, and one start says so.
        starts = [subprocess.Popen([program("orvyn-svc"), "start"], env=sb.env, cwd=sb.dir, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True) for _ in range(4)]
        outcomes = [(p.communicate(timeout=30), p.returncode) for p in starts]
        self.assertEqual(sorted(code for _, code in outcomes), [0, 1, 1, 1], outcomes)
        self.assertTrue(wait_for(lambda: self.status()[0] == 4))
        state, pid = self.status()
        self.assertGreater(pid, 0)
        self.assertTrue(wait_listening(port1))
        with open(os.path.join(sb.rundir, "ORVYN Service Control.pid")) as f:
            self.assertEqual(int(f.read().strip()), pid)
        self.assertEqual(self.svc("start").returncode, 1, "a second start is refused")

        # 131 re-scans the configuration: a new enabled instance starts, a disabled one stops.
        sb.add_instance("Second", port2, log=False)
        sb.set_value(sb.instance_key("First"), "Enabled", 0)
        r = self.svc("control", "131")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("state 4 (running)", r.stdout)
        self.assertTrue(wait_listening(port2))
        self.assertTrue(wait_closed(port1))

        # 130 is no code of this service: event 106, status unchanged.
        before = sb.event_lines()
        r = self.svc("control", "130")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("state 4 (running)", r.stdout)
        self.assertEqual(sb.event_lines()[len(before):],
                         ["ORVYN Pro: error 106: The service received an unsupported request."])
        self.assertEqual(self.status(), (4, pid))
        self.assertTrue(wait_listening(port2))
        # Pause is no control this service accepts: refused, not delivered.
        r = self.svc("control", "2")
        self.assertEqual(r.returncode, 1)
        self.assertIn("error 1052 (the service does not accept that control)", r.stderr)

        # Connected sessions are closed by the stop (the service's name found
        # in any case).
        session = Control(port2)
        r = self.svc("--name", "orvyn PRO", "stop")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("state 1 (stopped)", r.stdout)
        self.assertTrue(session.is_closed(timeout=5.0))
        session.close()
        self.assertTrue(wait_for(lambda: not process_alive(pid)))
        self.assertTrue(wait_closed(port2))
        self.assertEqual(self.status()[0], 1)
        self.assertFalse(os.path.exists(os.path.join(sb.rundir, "ORVYN Pro.ctl")))
        self.assertEqual(self.svc("stop").returncode, 1, "stopping a stopped service fails")

        events = sb.event_lines()
        self.assertIn("ORVYN Pro: information 105: The service was started.", events)

    def test_refresh_through_the_pid_file_matches_131(self):
        sb = self.sb
        port1, port2 = free_port(), free_port()
        sb.add_instance("First", port1, log=False)
        sb.run("-installq")
        self.assertEqual(self.svc("start").returncode, 0)
        self.assertTrue(wait_listening(port1))
        # A second copy started by hand cannot have First's port: it stops at
        # once, without taking the refresh target away from the service or
        # marking its instances as failed.
        with Service(sb) as second:
            self.assertEqual(second.wait(), 1)
        self.assertIn("ORVYN Pro is already running as process", second.stderr)
        # So does one that keeps its pid file elsewhere: the store is taken.
        with Service(sb, env={"ORVYN_RUNDIR": os.path.join(sb.dir, "elsewhere")}) as third:
            self.assertEqual(third.wait(), 1)
        self.assertIn("ORVYN Pro is already running on the configuration store", third.stderr)
        self.assertIsNone(sb.query_value(sb.instance_key("First"), "Fatal Error"))
        sb.add_instance("Second", port2, log=False)
        r = self.svc("refresh")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(wait_listening(port2))
        self.assertEqual(self.status()[0], 4)
        self.assertEqual(self.svc("stop").returncode, 0)

    def test_service_start_beside_a_running_copy_is_refused(self):
        sb = self.sb
        port = free_port()
        sb.add_instance("First", port, log=False)
        sb.run("-installq")
        with Service(sb) as first:
            self.assertTrue(wait_listening(port))
            r = self.svc("start")
            self.assertEqual(r.returncode, 1, r.stdout)
            self.assertIn("error 1067", r.stderr, "the start ended before the service ran")
            self.assertEqual(self.status()[0], 1)
            self.assertEqual(sb.query_value(sb.instance_key("First"), "Started"), "0x1")
            self.assertIsNone(sb.query_value(sb.instance_key("First"), "Fatal Error"))
            self.assertIsNone(first.proc.poll())
            self.assertTrue(wait_listening(port))

    def test_a_service_removed_while_it_runs_stays_until_it_stops(self):
        sb = self.sb
        sb.add_instance("First", free_port(), log=False)
        sb.run("-installq")
        self.assertEqual(self.svc("start").returncode, 0)
        self.assertEqual(sb.run("-removeq").returncode, 0)
        r = sb.run("-removeq")
        self.assertEqual((r.returncode, r.stderr), (1, "Unable to remove - already marked for deletion.\n"))
        self.assertEqual(sb.run("-installq").returncode, 1)
        # Still there to be queried and stopped; gone once stopped.
        self.assertEqual(self.status()[0], 4)
        self.assertEqual(self.svc("stop").returncode, 0)
        self.assertTrue(wait_for(lambda: sb.query_value(SERVICE_KEY, "ImagePath") is None))
        self.assertIn("error 1060", self.svc("query").stderr)
        # A service that dies while marked takes its entry with it all the same.
        sb.run("-installq")
        self.assertEqual(self.svc("start").returncode, 0)
        state, pid = self.status()
        self.assertEqual(sb.run("-removeq").returncode, 0)
        os.kill(pid, signal.SIGKILL)
        self.assertTrue(wait_for(lambda: not process_alive(pid)))
        r = sb.run("-remove")
        self.assertEqual((r.returncode, r.stderr), (1, "ORVYN Pro is not installed in the services table.\n"))
        self.assertEqual(sb.run("-installq").returncode, 0)

    def test_start_without_product_key_fails_with_event_104(self):
        sb = self.sb
        sb.run("-installq")
        r = self.svc("start")
        self.assertEqual(r.returncode, 1)
        self.assertIn("error 1067", r.stderr, "the start ended before the service ran")
        self.assertTrue(wait_for(lambda: "ORVYN Pro: error 104: The initialization process failed."
                                 in sb.event_lines()))
        self.assertEqual(self.status()[0], 1)


class SingleSessionMode(HostTestCase):
    def start(self):
        """Runs the program under the single-session name on a new instance; returns the process and the port."""
        port = free_port()
        self.sb.add_instance("Main", port, log=False)
        link = os.path.join(self.sb.dir, "VuReRiR")
        os.symlink(os.path.realpath(program("orvyn")), link)
        proc = subprocess.Popen([link, "s"], env=self.sb.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                cwd=self.sb.dir)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        self.addCleanup(proc.wait)
        self.addCleanup(proc.stdout.close)
        self.addCleanup(proc.stderr.close)
        self.assertTrue(wait_for(lambda: os.path.exists(os.path.join(self.sb.rundir, "ORVYN Service Control.pid"))))
        return proc, port

    def test_quit_ends_the_process_with_0(self):
        proc, port = self.start()
        with Control(port) as c:
            self.assertTrue(c.greeting.startswith("220 "))
            self.assertTrue(c.cmd("QUIT").startswith("221"))
        self.assertEqual(proc.wait(timeout=10), 0)

    def test_closing_the_session_ends_the_process_with_255(self):
        proc, port = self.start()
        with Control(port) as c:
            self.assertTrue(c.greeting.startswith("220 "))
        self.assertEqual(proc.wait(timeout=10), 255)


class RunDemo(HostTestCase):
    def test_demo_is_reachable_with_ftplib(self):
        sb = self.sb
        build = os.path.dirname(os.path.abspath(BIN))
        script = os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "run-demo")
        demo = os.path.join(sb.dir, "demo-run")
        env = dict(sb.env, ORVYN_DEMO_DIR=demo, ORVYN_DEMO_TLS_PORT=str(free_port()))
        for name in ("ORVYN_REGISTRY", "ORVYN_RUNDIR", "ORVYN_CERTDIR"):
            env.pop(name, None)
        bad = subprocess.run(["sh", script, build], env=dict(env, ORVYN_DEMO_PORT="99999"), capture_output=True,
                             text=True, cwd=sb.dir, timeout=30)
        self.assertEqual((bad.returncode, bad.stderr),
                         (1, "run-demo: ORVYN_DEMO_PORT must be a port number from 1 to 65535, not '99999'\n"))
        # The second run is told another port: the demo moves there.
        for port in (free_port(), free_port()):
            proc = subprocess.Popen(["sh", script, build], env=dict(env, ORVYN_DEMO_PORT=str(port)),
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=sb.dir)
            self.addCleanup(lambda: proc.poll() is None and proc.kill())
            try:
                line = proc.stdout.readline()
                self.assertEqual(line,
                                 "ORVYN Pro demo: connect to ftp://127.0.0.1:%d/ — stop with Ctrl+C\n" % port)
                self.assertTrue(wait_listening(port), proc.stderr.read() if proc.poll() is not None else "")
                ftp = ftp_connect(port)
                self.assertTrue(ftp.welcome.startswith("220 "))
                ftp.close()
                proc.send_signal(signal.SIGINT)
                self.assertEqual(proc.wait(timeout=10), 0)
            finally:
                proc.stdout.close()
                proc.stderr.close()
        for part in ("registry.db", "ftproot/README.txt", "ftproot/pub/hello.txt", "ftproot/upload"):
            self.assertTrue(os.path.exists(os.path.join(demo, part)), part)
        self.assertEqual(os.path.getsize(os.path.join(demo, "ftproot/pub/images/bytes.bin")), 4096)
        # The demo instance logs to ./run/orvyn.log (its absolute path is in the store).
        log = os.path.join(demo, "orvyn.log")
        self.assertTrue(wait_for(lambda: os.path.exists(log)))
        with open(log, "rb") as f:
            self.assertIn(b'"Demo" [', f.read())
        r = subprocess.run([program("orvyn-reg"), "--store", os.path.join(demo, "registry.db"), "query",
                            PRODUCT_KEY + r"\Servers\Demo\Logging", "/v", "LogFile"],
                           capture_output=True, text=True, timeout=30)
        self.assertIn(log, r.stdout)


if __name__ == "__main__":
    unittest.main()
