"""Logins over real connections against `orvyn s`: the own password store,
anonymous users, the failed-login limit, homes that cannot be used, the
login gate, system accounts (fake ones, through pam_wrapper and nss_wrapper)
and an external authentication library, with ftplib and curl as clients."""

import ftplib
import glob
import io
import os
import shutil
import socket
import stat
import unittest

from orvyntest import (GIVE_PASSWORD, LOGGED_IN, NOT_LOGGED_IN, Control, Sandbox, ServerCase, curl, ftp_url, program,
                       require_programs, wait_for)

ANON_PROMPT = ("331-Anonymous user access allowed - please enter your email\r\n"
               "331-address as the password:\r\n" + GIVE_PASSWORD)
WRONG = "530 Not logged in - password incorrect\r\n"
NO_HOME = "530 Unable to access your home directory.\r\n"
TOO_MANY = "421 Too many incorrect attempts at user/password combination - disconnecting.\r\n"
ANON_REFUSED = "530 Sorry, anonymous access is not allowed\r\n"
MODE_STREAM = "200 Mode is Stream\r\n"

HERE = os.path.dirname(os.path.abspath(__file__))
PAM_SERVICE_FILE = os.path.join(HERE, "..", "..", "platform", "accounts", "pam", "orvyn")


def setUpModule():
    require_programs("orvyn", "orvyn-reg")


def first_existing(patterns):
    for pattern in patterns:
        found = sorted(glob.glob(pattern))
        if found:
            return found[0]
    return None


class LoginTest(ServerCase):
    """Each test has a sandbox; one_instance() runs the instance "Main" on it."""

    timer_ms = 100

    def folder(self, name, mode=0o755):
        path = os.path.join(self.sb.dir, name)
        os.makedirs(path, exist_ok=True)
        os.chmod(path, mode)
        return path


class OwnStoreTest(LoginTest):
    def test_login_with_ftplib_and_curl(self):
        home = self.folder("home/bob")
        self.sb.add_user("bob", "s3cret pass", home + "/")
        self.one_instance()
        ftp = self.ftp(timeout=5)
        self.assertEqual(ftp.login("bob", "s3cret pass"), LOGGED_IN.rstrip("\r\n"))
        self.assertEqual(ftp.sendcmd("MODE S"), MODE_STREAM.rstrip("\r\n"), "past the login gate")
        ftp.quit()
        self.assertTrue(self.wait_message("User bob logged in.", "L"))
        self.assertTrue(self.wait_message("QUIT or close - user bob logged out", "L"))
        self.assertLogged("PASSword accepted", "C")
        self.assertNotIn("s3cret", self.sb.log_text(), "passwords never reach the log")

        if shutil.which("curl") is None:
            self.skipTest("curl is not installed")
        r = curl("-v", "--ftp-method", "nocwd", "-Q", "NOOP", "-I", ftp_url(self.port, "", "bob", "s3cret pass"),
                 text=True)
        self.assertIn("< 230 Logged in successfully", r.stderr)
        self.assertIn("< 200 No operation completed successfully", r.stderr)
        r = curl("-v", "-I", ftp_url(self.port, "", "bob", "nope"), text=True)
        self.assertEqual(r.returncode, 67, r.stderr)
        self.assertIn("< 530 Not logged in - password incorrect", r.stderr)

    def test_wrong_password_reply_is_held_back(self):
        home = self.folder("home/bob")
        self.sb.add_user("bob", "secret", home)
        self.one_instance(timer_ms=1000)
        with Control(self.port) as c:
            self.assertEqual(c.cmd("USER bob"), GIVE_PASSWORD)
            c.send("PASS wrong")
            # Held for two ticks of the timer: at least one full second.
            c.sock.settimeout(0.6)
            with self.assertRaises(socket.timeout):
                c.sock.recv(1)
            c.sock.settimeout(10)
            self.assertEqual(c.read_reply(), WRONG)
            self.assertEqual(c.cmd("MODE S"), NOT_LOGGED_IN)
            self.assertEqual(self.login(c, "bob", "secret"), LOGGED_IN)
        self.assertLogged("PASSword not accepted", "C")
        self.assertLogged("User not logged in.", "L")

    def test_fifth_failure_closes_and_success_restarts_the_count(self):
        home = self.folder("home/bob")
        self.sb.add_user("bob", "secret", home)
        self.one_instance(values={"Security\\MaxHacks": 5})
        with Control(self.port) as c:
            for _ in range(4):
                self.assertEqual(self.login(c, "bob", "wrong"), WRONG)
            self.assertEqual(self.login(c, "bob", "secret"), LOGGED_IN)
            for _ in range(4):
                self.assertEqual(self.login(c, "bob", "wrong"), WRONG)
            # USER does not start the count again: the next failure is the fifth.
            self.assertEqual(c.cmd("USER bob"), GIVE_PASSWORD)
            c.send("PASS wrong")
            rest = c.read_until_closed()
            self.assertTrue(rest.startswith(TOO_MANY), rest)
        self.assertTrue(self.wait_message("*** Too many attempts at user/password from site 127.0.0.1 ***", "!"))
        # REIN does not reset the count either.
        with Control(self.port) as c:
            for _ in range(4):
                self.assertEqual(self.login(c, "bob", "wrong"), WRONG)
            self.assertTrue(c.cmd("REIN").startswith("220 "))
            self.assertEqual(c.cmd("USER bob"), GIVE_PASSWORD)
            c.send("PASS wrong")
            self.assertTrue(c.read_until_closed().startswith(TOO_MANY))

    def test_disabled_and_passwordless_users_and_pass_without_user(self):
        home = self.folder("home")
        self.sb.add_user("bob", "secret", home)
        self.sb.set_value(self.sb.user_key("bob"), "Disabled", 1)
        self.sb.add_user("nopass", None, home)
        self.sb.add_user("carol", "secret", home)
        self.one_instance()
        with Control(self.port) as c:
            self.assertEqual(c.cmd("PASS secret"), WRONG, "PASS without USER")
            self.assertEqual(self.login(c, "bob", "secret"), WRONG)
            self.assertEqual(self.login(c, "nopass", ""), WRONG)
            self.assertEqual(self.login(c, "nopass", "anything"), WRONG)
            self.assertEqual(self.login(c, "carol", "secret"), LOGGED_IN)
        self.assertLogged("User bob tried to log in while disabled", "!")


class AnonymousTest(LoginTest):
    def test_anonymous_spellings(self):
        pub = self.folder("pub")
        private = self.folder("pub/private")
        with open(os.path.join(private, "s.txt"), "w") as f:
            f.write("secret")
        self.sb.set_rights("anonymous", private + "/", "-")
        self.one_instance(values={"Security\\Allow_Anon": 1, "Users\\default\\Home": pub})
        denied = "550 You have no rights to list that directory!\r\n"
        with Control(self.port) as c:
            self.assertEqual(c.cmd("USER anonymous"), ANON_PROMPT)
            self.assertEqual(c.cmd("PASS me@example.org"), LOGGED_IN)
            self.assertEqual(c.cmd("SIZE private/s.txt"), denied)
            self.assertEqual(c.cmd("USER ftp"), ANON_PROMPT)
            self.assertEqual(c.cmd("PASS"), LOGGED_IN)
            self.assertEqual(c.cmd("SIZE private/s.txt"), denied)
            # Other spellings get no e-mail prompt but log in as anonymous,
            # with the anonymous user's rights.
            for spelling in ("Anonymous", "FTP"):
                self.assertEqual(c.cmd("USER " + spelling), GIVE_PASSWORD)
                self.assertEqual(c.cmd("PASS you@example.org"), LOGGED_IN)
                self.assertEqual(c.cmd("SIZE private/s.txt"), denied, spelling)
            self.assertEqual(c.cmd("MODE S"), MODE_STREAM)
        self.assertEqual([m for m in self.messages("A") if m.startswith("Anonymous user logged in")],
                         ["Anonymous user logged in - pass=me@example.org",
                          "Anonymous user logged in - pass={none}",
                          "Anonymous user logged in - pass=you@example.org",
                          "Anonymous user logged in - pass=you@example.org"])
        self.assertEqual(self.messages("L").count("User anonymous logged in."), 4)
        # ftplib's own anonymous login.
        ftp = self.ftp(timeout=5)
        self.assertEqual(ftp.login(), LOGGED_IN.rstrip("\r\n"))
        ftp.quit()

    def test_anonymous_refused_when_not_allowed(self):
        pub = self.folder("pub")
        self.one_instance(values={"Security\\Allow_Anon": 0, "Users\\default\\Home": pub})
        with Control(self.port) as c:
            self.assertEqual(c.cmd("USER anonymous"), ANON_REFUSED)
            self.assertEqual(c.cmd("USER ftp"), ANON_REFUSED)
            self.assertEqual(c.cmd("PASS me@example.org"), WRONG)
            # Passes USER, but PASS treats it as anonymous, and it has no password.
            self.assertEqual(c.cmd("USER Anonymous"), GIVE_PASSWORD)
            self.assertEqual(c.cmd("PASS me@example.org"), WRONG)
        self.assertEqual(self.messages("A").count("Anonymous access disabled - attempt denied"), 2)

    def test_anonymous_refused_where_system_accounts_log_in(self):
        # Without a guest account such a session would act as the service itself.
        self.one_instance(values={"Security\\Allow_Anon": 0, "Security\\ServerType": "NTSAM",
                                  "Security\\AnonUser": "", "Users\\default\\Home": self.folder("pub")})
        with Control(self.port) as c:
            self.assertEqual(c.cmd("USER Ftp"), GIVE_PASSWORD)
            self.assertEqual(c.cmd("PASS me@example.org"), WRONG)


class HomeAndGateTest(LoginTest):
    def test_missing_home_and_home_without_rights(self):
        missing = os.path.join(self.sb.dir, "missing") + "/"
        self.sb.add_user("bob", "secret", missing)
        home = self.folder("home/carol")
        self.sb.add_user("carol", "secret", home + "/")
        self.sb.set_rights("carol", home + "/", "-")
        self.one_instance()
        with Control(self.port) as c:
            self.assertEqual(self.login(c, "bob", "secret"), NO_HOME)
            self.assertEqual(self.login(c, "carol", "secret"), NO_HOME)
            self.assertEqual(c.cmd("MODE S"), NOT_LOGGED_IN)
        self.assertLogged("Home directory %s for user bob not accessible - Directory not found, User has no rights"
                          % missing, "!")
        self.assertLogged("Home directory %s/ for user carol not accessible - User has no rights" % home, "!")

    def test_a_home_written_with_dots_and_doubled_slashes_is_the_folder_they_name(self):
        home = self.folder("srv/dave")
        self.folder("srv/dave/sub")
        self.sb.add_user("dave", "secret", os.path.join(self.sb.dir, "srv") + "//./dave/sub/..")
        self.one_instance()
        with Control(self.port) as c:
            self.assertEqual(self.login(c, "dave", "secret"), LOGGED_IN)
            self.assertEqual(c.cmd("PWD"), '257 "%s" is current directory\r\n' % home)
            self.assertTrue(c.cmd("CWD sub").startswith("250 "))
        self.assertTrue(os.path.isdir(home))

    def test_home_outside_the_server_restriction(self):
        root = self.folder("srv")
        outside = self.folder("elsewhere")
        self.sb.add_user("bob", "secret", outside)
        self.sb.add_user("carol", "secret", self.folder("srv/carol"))
        # However many closing separators the restriction has.
        self.one_instance(values={"Security\\RestrictToDirectory": root + "///"})
        with Control(self.port) as c:
            self.assertEqual(self.login(c, "bob", "secret"), NO_HOME)
            self.assertEqual(self.login(c, "carol", "secret"), LOGGED_IN)
            self.assertEqual(c.cmd("PWD"), '257 "/carol" is current directory\r\n')
        self.assertLogged("Directory %s/ does not appear to be a subdirectory of the server restriction %s/"
                          % (outside, root), "!")
        self.assertLogged("Home directory %s/ for user bob not accessible - Restriction failed, User has no rights"
                          % outside, "!")

    def test_gate_logs_out_when_home_and_directory_are_gone(self):
        home = self.folder("home/bob")
        self.sb.add_user("bob", "secret", home)
        self.one_instance()
        with Control(self.port) as c:
            self.assertEqual(self.login(c, "bob", "secret"), LOGGED_IN)
            self.assertEqual(c.cmd("MODE S"), MODE_STREAM)
            os.rmdir(home)
            self.assertEqual(c.cmd("MODE S"), "530 Your current directory, and your home directory, have been "
                                              "deleted.  You are logged out.\r\n")
            self.assertEqual(c.cmd("MODE S"), NOT_LOGGED_IN)
        self.assertLogged("User logged out - path _and_ home directory no longer exist.", "L")

    def test_secure_zero_logs_in_with_user_alone(self):
        home = self.folder("home/bob")
        self.one_instance(values={"Security\\Secure": 0, "Users\\bob\\Home": home})
        with Control(self.port) as c:
            self.assertEqual(c.cmd("USER bob"), LOGGED_IN)
            self.assertEqual(c.cmd("MODE S"), MODE_STREAM)
            self.assertEqual(c.cmd("QUIT")[:4], "221 ")
        self.assertTrue(self.wait_message("QUIT or close - user bob logged out", "L"))
        # A name without a Home starts in the service's own folder.
        with Control(self.port) as c:
            self.assertEqual(c.cmd("USER someone"), LOGGED_IN)
        self.assertTrue(self.wait_message("User someone logged in.", "L"))

    def test_clear_text_logins_can_be_forbidden(self):
        self.sb.add_user("bob", "secret", self.folder("home"))
        self.one_instance(values={"TLS\\ForbidClearUser": 1})
        refused = "530 USER and PASS command must be encrypted.\r\n"
        with Control(self.port) as c:
            self.assertEqual(c.cmd("USER bob"), refused)
            self.assertEqual(c.cmd("PASS secret"), refused)
            self.assertEqual(c.cmd("MODE S"), NOT_LOGGED_IN)


class SoundTest(LoginTest):
    def test_hello_and_goodbye_sounds(self):
        fakebin = self.folder("fakebin")
        played = os.path.join(self.sb.dir, "played.txt")
        player = os.path.join(fakebin, "aplay")
        with open(player, "w") as f:
            f.write('#!/bin/sh\nprintf "%%s\\n" "$*" >> "%s"\n' % played)
        os.chmod(player, 0o755)
        hello = os.path.join(self.sb.dir, "my hello.wav")
        with open(hello, "wb") as f:
            f.write(b"RIFF\x24\x00\x00\x00WAVEfmt " + b"\x00" * 28)
        self.sb.add_user("bob", "secret", self.folder("home"))
        self.one_instance(values={"Messages\\PlayHelloSound": 1, "Messages\\HelloSound": hello,
                           "Messages\\PlayGoodbyeSound": 1},
                   env={"PATH": fakebin + ":" + os.environ.get("PATH", "/usr/bin:/bin")})
        hello_line = "-q " + hello

        def played_lines():
            try:
                with open(played) as f:
                    return f.read().splitlines()
            except FileNotFoundError:
                return []

        with Control(self.port) as c:
            self.assertEqual(self.login(c, "bob", "wrong"), WRONG)
            self.assertEqual(self.login(c, "bob", "secret"), LOGGED_IN)
            self.assertTrue(wait_for(lambda: hello_line in played_lines(), timeout=5.0), played_lines())
            c.cmd("QUIT")

        def goodbye_after_hello():
            lines = played_lines()
            after = lines[lines.index(hello_line) + 1:]
            return [l for l in after if l.startswith("-q /") and l.endswith("/sounds/goodbye.wav")]

        self.assertTrue(wait_for(goodbye_after_hello, timeout=5.0), played_lines())
        self.assertEqual(played_lines().count(hello_line), 1, "only the successful login plays the hello sound")


class ExternalLibraryTest(LoginTest):
    def test_library_decides_logins(self):
        library = program("libtestauth.so")
        if not os.path.exists(library):
            self.skipTest("the test authentication library is not built")
        home = self.folder("ext")
        self.sb.add_user("bob", "secret", home)
        self.one_instance(values={"ExternalDLL": library}, env={"ORVYN_TESTAUTH_HOME": home + "/"})
        with Control(self.port) as c:
            self.assertEqual(self.login(c, "extuser", "extpass"), LOGGED_IN)
            self.assertEqual(c.cmd("MODE S"), MODE_STREAM)
            self.assertEqual(self.login(c, "extuser", "wrong"), WRONG)
            # The library, not the password store, decides.
            self.assertEqual(self.login(c, "bob", "secret"), WRONG)
        self.assertLogged("User extuser logged in.", "L")

    def test_a_slow_library_holds_up_only_its_own_session(self):
        library = program("libtestauth.so")
        if not os.path.exists(library):
            self.skipTest("the test authentication library is not built")
        home = self.folder("ext")
        gate = os.path.join(self.sb.dir, "gate")
        self.one_instance(values={"ExternalDLL": library},
                          env={"ORVYN_TESTAUTH_HOME": home + "/", "ORVYN_TESTAUTH_GATE": gate})
        with Control(self.port) as slow, Control(self.port) as other, Control(self.port) as monitor:
            monitor.cmd("SITE ADMN")  # the list of sessions: monitoring from now on
            self.assertTrue(slow.cmd("USER gated").startswith("331 "))
            # Sent at once: the PWD waits for the login's answer.
            slow.send_raw(b"PASS gatepass\r\nPWD\r\n")
            self.assertEqual(self.login(other, "extuser", "extpass"), LOGGED_IN)
            self.assertEqual(other.cmd("MODE S"), MODE_STREAM)
            open(gate, "w").close()
            self.assertEqual(slow.read_reply(), LOGGED_IN)
            self.assertTrue(slow.read_reply().startswith('257 "/'))
            # The monitor sees the login once, as it ended.
            line = monitor.read_reply()
            while " gated " not in line or "PASS xxxx" not in line:
                line = monitor.read_reply()
            self.assertIn(" Success PASS xxxx", line)
        self.assertLogged("User gated logged in.", "L")

    def test_unloadable_library_falls_back_to_the_store(self):
        home = self.folder("home")
        self.sb.add_user("bob", "secret", home)
        self.one_instance(values={"ExternalDLL": os.path.join(self.sb.dir, "no-such-library.so")})
        with Control(self.port) as c:
            self.assertEqual(self.login(c, "bob", "secret"), LOGGED_IN)


PAM_WRAPPER = first_existing(["/usr/lib/*/libpam_wrapper.so", "/usr/lib/libpam_wrapper.so",
                              "/usr/lib64/libpam_wrapper.so"])
NSS_WRAPPER = first_existing(["/usr/lib/*/libnss_wrapper.so", "/usr/lib/libnss_wrapper.so",
                              "/usr/lib64/libnss_wrapper.so"])
PAM_MATRIX = first_existing(["/usr/lib/*/pam_wrapper/pam_matrix.so", "/usr/lib/pam_wrapper/pam_matrix.so",
                             "/usr/lib64/pam_wrapper/pam_matrix.so"])


@unittest.skipUnless(hasattr(os, "geteuid") and os.geteuid() == 0, "system-account logins need root")
@unittest.skipUnless(PAM_WRAPPER and NSS_WRAPPER and PAM_MATRIX, "pam_wrapper and nss_wrapper are not installed")
class SystemAccountTest(LoginTest):
    """ServerType NTSAM against fake accounts: pam_matrix checks the passwords,
    nss_wrapper supplies the password and group databases. No real account is
    used; the fake uids are far above any real one."""

    def setUp(self):
        super().setUp()
        # The fake accounts must reach their homes below the sandbox.
        os.chmod(self.sb.dir, 0o755)
        d = self.sb.dir
        self.alice_home = self.folder("home/alice")
        os.chown(self.alice_home, 64501, 64501)
        self.bob_home = self.folder("home/bob", mode=0o700)   # root's, closed
        self.dave_home = self.folder("home/dave")
        passdb = os.path.join(d, "passdb")
        with open(passdb, "w") as f:
            f.write("ftpalice:secret:orvyn\nftpbob:bobpw:orvyn\nCORP\\ftpdave:davepw:orvyn\n")
        with open(os.path.join(d, "passwd"), "w") as f:
            f.write("ftpalice:x:64501:64501:Alice:%s:/bin/false\n" % self.alice_home)
            f.write("ftpbob:x:64502:64502:Bob:%s:/bin/false\n" % self.bob_home)
            f.write("CORP\\ftpdave:x:64504:64501:Dave:/nonexistent:/bin/false\n")
        with open(os.path.join(d, "group"), "w") as f:
            f.write("ftpalice:x:64501:\nftpbob:x:64502:\n")
        services = self.folder("pam-services")
        with open(os.path.join(services, "orvyn"), "w") as f:
            f.write("auth required %s passdb=%s\naccount required %s passdb=%s\n"
                    % (PAM_MATRIX, passdb, PAM_MATRIX, passdb))
        self.env = {
            "LD_PRELOAD": PAM_WRAPPER + ":" + NSS_WRAPPER,
            "PAM_WRAPPER": "1",
            "PAM_WRAPPER_SERVICE_DIR": services,
            "PAM_WRAPPER_DISABLE_DEEPBIND": "1",
            "UID_WRAPPER_DISABLE_DEEPBIND": "1",
            "NSS_WRAPPER_DISABLE_DEEPBIND": "1",
            "NSS_WRAPPER_PASSWD": os.path.join(d, "passwd"),
            "NSS_WRAPPER_GROUP": os.path.join(d, "group"),
            "ASAN_OPTIONS": "verify_asan_link_order=0:detect_leaks=0",
        }

    def test_fake_accounts_log_in_as_themselves(self):
        self.sb.set_value(self.sb.user_key("CORP\\ftpdave"), "Home", self.dave_home)
        self.sb.set_value(self.sb.user_key("ftpalice"), "Restricted", 1, type="REG_DWORD")
        self.one_instance(values={"Security\\ServerType": "NTSAM", "Conversions\\ids": "|||.ids|/usr/bin/id -G|13",
                                  "Conversions\\tar": "|||.tar|tar -cf - %s|14"}, env=self.env)
        with Control(self.port) as c:
            self.assertEqual(self.login(c, "ftpalice", "secret"), LOGGED_IN)
            self.assertEqual(c.cmd("MODE S"), MODE_STREAM)
        # Confined to her home, the account stores and reads there as itself.
        ftp = self.ftp(timeout=10)
        ftp.login("ftpalice", "secret")
        ftp.storbinary("STOR up.txt", io.BytesIO(b"from alice"))
        self.assertEqual(os.stat(os.path.join(self.alice_home, "up.txt")).st_uid, 64501)
        got = []
        ftp.retrbinary("RETR up.txt", got.append)
        self.assertEqual(b"".join(got), b"from alice")
        # A conversion command runs as the service, without the account's groups.
        got = []
        ftp.retrbinary("RETR up.txt.ids", got.append)
        self.assertEqual(b"".join(got).split(), [str(os.getegid()).encode()])
        # So a folder's command, which would read past the account's file
        # permissions, is not run for it.
        ftp.mkd("pub")
        with self.assertRaisesRegex(ftplib.error_perm, "^550 You do not have rights to read file pub.tar"):
            ftp.retrbinary("RETR pub.tar", got.append)
        ftp.quit()
        with Control(self.port) as c:
            self.assertEqual(self.login(c, "ftpalice", "wrong"), WRONG)
            self.assertEqual(self.login(c, "nosuchuser", "secret"), WRONG)
            # Home owned by root and closed to the account: checked as the account.
            self.assertEqual(self.login(c, "ftpbob", "bobpw"), NO_HOME)
            # A domain account's settings live one key deeper.
            self.assertEqual(self.login(c, "CORP\\ftpdave", "davepw"), LOGGED_IN)
        self.assertLogged("User ftpalice logged in.", "L")
        self.assertLogged("User CORP\\ftpdave logged in.", "L")
        self.assertLogged("Home directory %s/ for user ftpbob not accessible - User has no rights" % self.bob_home,
                          "!")
        # Wrong name or password is refused without a LogonUser line.
        self.assertFalse([m for m in self.messages("!") if m.startswith("LogonUser(")])

    def test_anonymous_as_the_guest_account(self):
        self.one_instance(values={"Security\\ServerType": "NTSAM", "Security\\Allow_Anon": 1,
                           "Security\\AnonUser": "ftpalice", "Security\\AnonPass": "secret"}, env=self.env)
        with Control(self.port) as c:
            self.assertEqual(c.cmd("USER anonymous"), ANON_PROMPT)
            self.assertEqual(c.cmd("PASS guest@example.org"), LOGGED_IN)
        self.assertLogged("Anonymous user logged in - pass=guest@example.org", "A")


class InstallTest(unittest.TestCase):
    def test_install_puts_the_pam_service_file_in_place_once(self):
        with Sandbox() as sb:
            pamdir = os.path.join(sb.dir, "pam.d")
            os.makedirs(pamdir)
            sb.env["ORVYN_PAM_DIR"] = pamdir
            r = sb.run("-installq")
            self.assertEqual(r.returncode, 0, r.stderr)
            target = os.path.join(pamdir, "orvyn")
            with open(target) as f, open(PAM_SERVICE_FILE) as g:
                self.assertEqual(f.read(), g.read())
            self.assertEqual(stat.S_IMODE(os.stat(target).st_mode), 0o644)
            with open(target, "w") as f:
                f.write("# adapted here\n")
            self.assertEqual(sb.run("-removeq").returncode, 0)
            self.assertEqual(sb.run("-installq").returncode, 0)
            with open(target) as f:
                self.assertEqual(f.read(), "# adapted here\n")
            sb.run("-removeq")


if __name__ == "__main__":
    unittest.main()
