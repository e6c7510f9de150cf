"""The file and directory commands and the listings over real connections
against `orvyn s`: PWD, CWD, CDUP, MKD, RMD, DELE, RNFR, RNTO with their
rights and shortcut rules, the login message, FEAT, OPTS MLST, MLST and STAT
(the status block, and a listing inside the 213 reply)."""

import ftplib
import os
import unittest

from orvyntest import LOGGED_IN, NOT_LOGGED_IN, ServerCase, curl, ftp_url, lftp, require_programs

PASSWORD = "pa55 word"


def setUpModule():
    require_programs("orvyn", "orvyn-reg")


class ListingsTest(ServerCase):
    """Each test has the instance "Main" and the confined user bob, whose
    home is the restriction root."""

    timer_ms = 100
    user, password = "bob", PASSWORD

    def setUp(self):
        super().setUp()
        self.home = os.path.join(self.sb.dir, "home", "bob")
        os.makedirs(self.home)
        self.sb.add_user("bob", PASSWORD, self.home + "/", values={"Restricted": 1})

    def rights(self, rel, letters):
        """A rights entry of bob for a folder below his home."""
        self.sb.set_rights("bob", os.path.join(self.home, rel) + "/" if rel else self.home + "/", letters)

    def put(self, rel, data=b"abc"):
        path = os.path.join(self.home, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def mkdir(self, rel):
        path = os.path.join(self.home, rel)
        os.makedirs(path, exist_ok=True)
        return path


class DirectoryTest(ListingsTest):
    def test_pwd_cwd_cdup(self):
        self.mkdir("sub/deeper")
        self.mkdir("locked")
        self.rights("locked", "-")
        self.one_instance()
        c = self.logged_in()
        self.assertEqual(c.cmd("PWD"), '257 "/" is current directory\r\n')
        self.assertEqual(c.cmd("CWD sub"), '250 "/sub" is current directory\r\n')
        self.assertLogged("CWD %s/sub/ successful" % self.home)
        self.assertEqual(c.cmd("XCWD deeper"), '250 "/sub/deeper" is current directory\r\n')
        self.assertEqual(c.cmd("XPWD"), '257 "/sub/deeper" is current directory\r\n')
        self.assertEqual(c.cmd("CDUP"), '250 "/sub" is current directory\r\n')
        self.assertEqual(c.cmd("XCUP"), '250 "/" is current directory\r\n')
        # The parent of the root lies outside it.
        self.assertEqual(c.cmd("CDUP"), "501 User is not allowed to change to .. - returning to /.\r\n")
        self.assertEqual(c.cmd("CWD /../.."), "501 User is not allowed to change to /../.. - returning to /.\r\n")
        # A folder without rights, then one that does not exist.
        self.assertEqual(c.cmd("CWD sub"), '250 "/sub" is current directory\r\n')
        self.assertEqual(c.cmd("CWD /locked"),
                         "501 User is not allowed to change to /locked - returning to /sub.\r\n")
        self.assertLogged("Path %s/locked is defined as having no rights" % self.home)
        self.assertLogged("CWD /locked failed - no rights to path %s/locked" % self.home)
        self.assertEqual(c.cmd("CWD nowhere"), "550 Unknown directory / drive not ready: nowhere\r\n")
        self.assertLogged("CWD nowhere failed - path does not exist")
        self.assertEqual(c.cmd("PWD"), '257 "/sub" is current directory\r\n')
        # A file is no directory.
        self.put("sub/file.txt")
        self.assertEqual(c.cmd("CWD file.txt"), "550 Unknown directory / drive not ready: file.txt\r\n")

    def test_commands_need_a_login(self):
        self.one_instance()
        c = self.control()
        for command in ("PWD", "CWD /", "CDUP", "MKD x", "RMD x", "DELE x", "RNFR x", "RNTO y", "MLST", "STAT"):
            self.assertEqual(c.cmd(command), NOT_LOGGED_IN, command)
        self.assertFalse(os.path.exists(os.path.join(self.home, "x")))

    def test_mkd_and_rmd(self):
        self.mkdir("ro")
        self.mkdir("ro/old")
        self.rights("ro", "RL")
        self.one_instance()
        c = self.logged_in()
        self.assertEqual(c.cmd("MKD new dir"), '257 "new dir" directory created\r\n')
        self.assertTrue(os.path.isdir(os.path.join(self.home, "new dir")))
        self.assertLogged("Created directory %s/new dir" % self.home)
        self.assertEqual(c.cmd("XMKD new dir"), "550 Directory new dir could not be created\r\n")
        self.assertEqual(c.cmd("MKD ro/x"), "550 You do not have rights to create that subdirectory.\r\n")
        self.assertFalse(os.path.exists(os.path.join(self.home, "ro", "x")))
        self.assertEqual(c.cmd("MKD ../outside"), "550 You do not have rights to create that subdirectory.\r\n")
        self.assertFalse(os.path.exists(os.path.join(self.sb.dir, "home", "outside")))

        self.assertEqual(c.cmd("RMD ro/old"), "550 You do not have the rights to remove that subdirectory.\r\n")
        self.assertTrue(os.path.isdir(os.path.join(self.home, "ro", "old")))
        self.assertEqual(c.cmd("RMD new dir"), "250 Directory new dir removed\r\n")
        self.assertFalse(os.path.exists(os.path.join(self.home, "new dir")))
        self.assertLogged("Removed directory %s/new dir" % self.home)
        self.assertEqual(c.cmd("XRMD new dir"), "550 Directory new dir could not be removed\r\n")
        self.put("full/f")
        self.assertEqual(c.cmd("RMD full"), "550 Directory full could not be removed\r\n")
        self.assertTrue(os.path.exists(os.path.join(self.home, "full", "f")))

    def test_docutech_folders(self):
        self.sb.set_value(self.sb.user_key("bob"), "XeroxDocutech", 1)
        self.one_instance()
        c = self.logged_in()
        self.assertEqual(c.cmd("MKD job"), '257 "job" directory created\r\n')
        self.assertTrue(os.path.isdir(os.path.join(self.home, "job.djo")))
        self.assertFalse(os.path.exists(os.path.join(self.home, "job")))


class FileTest(ListingsTest):
    def test_dele(self):
        self.put("a.txt")
        self.put("ro/b.txt")
        self.rights("ro", "RL")
        self.one_instance()
        c = self.logged_in()
        self.assertEqual(c.cmd("DELE a.txt"), "250 DELE command successful.\r\n")
        self.assertFalse(os.path.exists(os.path.join(self.home, "a.txt")))
        self.assertLogged("DELEte file %s/a.txt successful" % self.home)
        self.assertEqual(c.cmd("DELE a.txt"), "550 Error deleting file a.txt: The file could not be located.\r\n")
        self.assertLogged("DELEte file %s/a.txt failed" % self.home)
        self.assertEqual(c.cmd("DELE ro/b.txt"), "550 You do not have rights to delete that file.\r\n")
        self.assertTrue(os.path.exists(os.path.join(self.home, "ro", "b.txt")))
        self.assertLogged("DELEte file %s/ro/b.txt failed - no rights" % self.home)

    def test_rename(self):
        self.put("a.txt", b"A")
        self.put("taken.txt", b"T")
        self.mkdir("folder")
        self.put("ro/c.txt")
        self.rights("ro", "RL")
        self.one_instance()
        c = self.logged_in()
        self.assertEqual(c.cmd("RNTO x"),
                         "501 Illegal command sequence - RNTO requires that you issue RNFR first.\r\n")
        self.assertLogged("RNTO failed - no preceding RNFR")
        self.assertEqual(c.cmd("RNFR missing"), "550 Source file does not exist.\r\n")
        self.assertEqual(c.cmd("RNTO x"),
                         "501 Illegal command sequence - RNTO requires that you issue RNFR first.\r\n")
        # Missing in a place without O: the rights answer.
        self.assertEqual(c.cmd("RNFR ro/missing"), "550 You do not have sufficient rights to rename that file.\r\n")
        self.assertEqual(c.cmd("RNFR ro/c.txt"), "550 You do not have sufficient rights to rename that file.\r\n")

        self.assertEqual(c.cmd("RNFR a.txt"), "350 Enter the name to rename it to...\r\n")
        self.assertEqual(c.cmd("NOOP"), "200 No operation completed successfully\r\n")
        self.assertEqual(c.cmd("RNTO b.txt"), "250 File renamed successfully\r\n")
        self.assertLogged("RNTO %s/b.txt (from %s/a.txt) successful" % (self.home, self.home))
        with open(os.path.join(self.home, "b.txt"), "rb") as f:
            self.assertEqual(f.read(), b"A")
        self.assertEqual(c.cmd("RNTO again.txt"),
                         "501 Illegal command sequence - RNTO requires that you issue RNFR first.\r\n")

        # The target must not exist: nothing is overwritten.
        self.assertEqual(c.cmd("RNFR b.txt"), "350 Enter the name to rename it to...\r\n")
        reply = c.cmd("RNTO taken.txt")
        self.assertTrue(reply.startswith("553 Error renaming file to taken.txt: "), reply)
        with open(os.path.join(self.home, "taken.txt"), "rb") as f:
            self.assertEqual(f.read(), b"T")
        self.assertTrue(os.path.exists(os.path.join(self.home, "b.txt")))

        # Into a place without C.
        self.assertEqual(c.cmd("RNFR b.txt"), "350 Enter the name to rename it to...\r\n")
        self.assertEqual(c.cmd("RNTO ro/b.txt"), "550 You do not have sufficient rights to rename that file.\r\n")
        self.assertEqual(c.cmd("RNFR b.txt"), "350 Enter the name to rename it to...\r\n")
        self.assertEqual(c.cmd("RNTO ../../escaped.txt"),
                         "550 You do not have sufficient rights to rename that file.\r\n")
        self.assertFalse(os.path.exists(os.path.join(self.sb.dir, "escaped.txt")))

        # Folders move too.
        self.assertEqual(c.cmd("RNFR folder"), "350 Enter the name to rename it to...\r\n")
        self.assertEqual(c.cmd("RNTO moved"), "250 File renamed successfully\r\n")
        self.assertTrue(os.path.isdir(os.path.join(self.home, "moved")))

    def test_shortcuts(self):
        target_dir = self.mkdir("real")
        self.put("real/inside.txt")
        target_file = self.put("data.txt", b"D")
        os.symlink(target_dir, os.path.join(self.home, "docs.lnk"))
        os.symlink(target_file, os.path.join(self.home, "file.lnk"))
        self.put("plain.txt")
        self.one_instance()
        c = self.logged_in()
        # Renaming a shortcut by its shown name keeps the ".lnk".
        self.assertEqual(c.cmd("RNFR file"), "350 Enter the name to rename it to...\r\n")
        self.assertEqual(c.cmd("RNTO other"), "250 File renamed successfully\r\n")
        self.assertTrue(os.path.islink(os.path.join(self.home, "other.lnk")))
        self.assertFalse(os.path.lexists(os.path.join(self.home, "file.lnk")))
        # A file that is no shortcut may not become one.
        self.assertEqual(c.cmd("RNFR plain.txt"), "350 Enter the name to rename it to...\r\n")
        self.assertEqual(c.cmd("RNTO sneaky.lnk"), "553 Not allowed to rename file to .LNK extension.\r\n")
        self.assertLogged("RNTO failed - cannot rename non-LNK file to LNK (security)")
        # Nor by a name that only resolves to one.
        for name in ("sneaky.lnk.", "sneaky.LNK::$DATA"):
            self.assertEqual(c.cmd("RNFR plain.txt"), "350 Enter the name to rename it to...\r\n")
            self.assertEqual(c.cmd("RNTO " + name), "553 Not allowed to rename file to .LNK extension.\r\n")
        self.assertEqual(sorted(n for n in os.listdir(self.home) if n.lower().startswith("sneaky")), [])
        self.assertTrue(os.path.exists(os.path.join(self.home, "plain.txt")))
        # DELE and RMD of a shortcut remove the link, never what it leads to.
        self.assertEqual(c.cmd("DELE other"), "250 DELE command successful.\r\n")
        self.assertFalse(os.path.lexists(os.path.join(self.home, "other.lnk")))
        with open(target_file, "rb") as f:
            self.assertEqual(f.read(), b"D")
        self.assertEqual(c.cmd("RMD docs"), "250 Directory docs removed\r\n")
        self.assertFalse(os.path.lexists(os.path.join(self.home, "docs.lnk")))
        self.assertTrue(os.path.exists(os.path.join(target_dir, "inside.txt")))


class MessageTest(ListingsTest):
    def test_login_message_and_cwd(self):
        long_line = "".join(chr(ord("a") + i % 26) for i in range(100))
        with open(os.path.join(self.home, "message.ftp"), "w") as f:
            f.write("Welcome\n" + long_line + "\n\nlast\n")
        self.mkdir("sub")
        with open(os.path.join(self.home, "sub", "message.ftp"), "w") as f:
            f.write("In sub\n")
        self.mkdir("quiet")
        self.one_instance(values={"Messages\\MESSAGE.FTP": 1})
        c = self.control()
        self.assertEqual(self.login(c), "230-Welcome\r\n230-" + long_line[:74] + "\r\n230-" + long_line[74:]
                         + "\r\n230-\r\n230-last\r\n" + LOGGED_IN)
        self.assertEqual(c.cmd("CWD sub"), '250-In sub\r\n250 "/sub" is current directory\r\n')
        # The same folder again: no message.
        self.assertEqual(c.cmd("CWD ."), '250 "/sub" is current directory\r\n')
        self.assertEqual(c.cmd("CWD /sub"), '250 "/sub" is current directory\r\n')
        self.assertEqual(c.cmd("CWD /quiet"), '250 "/quiet" is current directory\r\n')

    def test_no_message_on_cwd_unless_switched_on(self):
        self.mkdir("sub")
        with open(os.path.join(self.home, "sub", "message.ftp"), "w") as f:
            f.write("In sub\n")
        self.one_instance()
        c = self.logged_in()
        self.assertEqual(c.cmd("CWD sub"), '250 "/sub" is current directory\r\n')


class FeatMlstStatTest(ListingsTest):
    FEAT = ("211-Extensions supported:\r\n AUTH TLS\r\n PBSZ\r\n PROT\r\n MDTM\r\n MFMT\r\n SIZE\r\n"
            " REST STREAM\r\n TVFS\r\n UTF8\r\n HASH SHA-256*;SHA-1;MD5\r\n MLST %s\r\n211 END\r\n")

    def test_feat_before_login_and_opts(self):
        self.put("f.txt", b"xyz")
        self.one_instance()
        c = self.control()
        self.assertEqual(c.cmd("FEAT"), self.FEAT % "type*;modify*;perm*;size*;")
        self.assertLogged("FEAT completed successfully")
        self.login(c)
        self.assertEqual(c.cmd("OPTS MLST size;type;"), "200 MLST OPTS type;size;\r\n")
        self.assertEqual(c.cmd("FEAT"), self.FEAT % "type*;modify;perm;size*;")
        self.assertEqual(c.cmd("MLST f.txt"), "250-Listing f.txt\r\n type=file;size=3; /f.txt\r\n250 End\r\n")
        not_a_path = "501 MLST command requires any argument given to be a valid path name.\r\n"
        self.assertReplies(c, ("OPTS UTF8 ON", "200 UTF8 set to on\r\n"),
                           ("OPTS MLST perm", "200 MLST OPTS perm;\r\n"),
                           ("MLST", "250-Listing .\r\n perm=cdelmp; /\r\n250 End\r\n"),
                           ("MLST nothing", not_a_path), ("MLST ../..", not_a_path))

    def test_mlst_off(self):
        self.one_instance(values={"MLST": 0})
        c = self.control()
        self.assertEqual(c.cmd("FEAT"), self.FEAT.replace(" MLST %s\r\n", ""))
        self.login(c)
        self.assertEqual(c.cmd("MLST"), "502 Command MLST not implemented yet on this server\r\n")

    def test_stat(self):
        self.put("sub/one.txt", b"1" * 700)
        self.put("sub/two.txt")
        self.mkdir("sub/inner")
        self.one_instance()
        c = self.logged_in()
        block = c.cmd("STAT")
        self.assertTrue(block.startswith("211-") and block.endswith("211 End of status\r\n"), block)
        self.assertIn("\r\n Logged in as bob\r\n", block)
        self.assertIn("\r\n Server type: ORVYN by Brandmoor\r\n", block)
        self.assertIn("\r\n TYPE: ASCII, FORM: Nonprint; STRUcture: File; transfer MODE: Stream\r\n", block)

        listing = c.cmd("STAT sub")
        lines = listing.split("\r\n")
        self.assertEqual(lines[0], "213-status of sub:")
        self.assertEqual(lines[-2], "213 End of status")
        sizes = [os.stat(os.path.join(self.home, "sub", n)).st_size for n in ("inner", "one.txt", "two.txt")]
        self.assertEqual(lines[1], "total %d" % sum(size // 512 + 1 for size in sizes))
        names = [line.split(" ")[-1] for line in lines[2:-2]]
        self.assertEqual(names, ["inner", "one.txt", "two.txt"])
        self.assertTrue(lines[2].startswith("drwxrwxrwx  1 noone    nogroup "), lines[2])
        self.assertLogged("Stat listing started for path/wildcard sub")
        # The session goes on normally.
        self.assertEqual(c.cmd("NOOP"), "200 No operation completed successfully\r\n")
        self.assertEqual(c.cmd("STAT -1 sub/*.txt"), "213-status of -1 sub/*.txt:\r\none.txt\r\ntwo.txt\r\n"
                         "213 End of status\r\n")
        self.assertEqual(c.cmd("STAT sub/../sub"), "213-status of sub/../sub:\r\n"
                         "213-Illegal path component detected.\r\n213 End of status\r\n")

    def test_large_stat_listing_and_close_while_listing(self):
        folder = self.mkdir("many")
        for i in range(3000):
            open(os.path.join(folder, "file-%05d.dat" % i), "wb").close()
        self.one_instance()
        c = self.logged_in()
        listing = c.cmd("STAT -1 many")
        lines = listing.split("\r\n")
        self.assertEqual(len(lines), 3000 + 3)
        self.assertEqual(lines[1], "file-00000.dat")
        self.assertEqual(lines[-3], "file-02999.dat")
        # A command sent before the listing is over ends the 213 reply at a
        # line end first; REIN then starts afresh.
        c.send("STAT -lR /")
        c.send("REIN")
        cut = c.read_reply()
        self.assertTrue(cut.startswith("213-status of -lR /:\r\n"), cut[:200])
        self.assertTrue(cut.endswith("\r\n213 End of status\r\n"), cut[-200:])
        self.assertTrue(all(line.startswith((" ", "d", "-", "total", "/")) or line == "" or line.endswith(":")
                            for line in cut.split("\r\n")[1:-2]), "only whole listing lines")
        self.assertTrue(c.read_reply().startswith("220 "))
        self.assertTrue(self.login(c).endswith(LOGGED_IN))
        # A client that leaves during a listing takes nothing down.
        c2 = self.logged_in()
        c2.send("STAT many")
        c2.close()
        self.assertEqual(c.cmd("NOOP"), "200 No operation completed successfully\r\n")


class DataListingTest(ListingsTest):
    def lines(self, ftp, command):
        out = []
        ftp.retrlines(command, out.append)
        return out

    def tree(self):
        self.put("sub/a.txt", b"a" * 10)
        self.put("sub/B.txt", b"b" * 1000)
        self.put("sub/inner/deep.txt", b"d")
        self.put("sub/inner/more/deepest.txt", b"e")
        self.put("sub/zz/last.txt", b"z")

    def test_list_forms(self):
        self.tree()
        self.one_instance()
        ftp = self.ftp(login=True)
        long = self.lines(ftp, "LIST -la sub")
        self.assertTrue(long[0].startswith("total "), long)
        self.assertEqual([line.split(" ")[-1] for line in long[1:]], ["a.txt", "B.txt", "inner", "zz"])
        self.assertTrue(long[1].startswith("-rwxrwxrwx  1 noone    nogroup "), long[1])
        self.assertRegex(long[2], r" 1000 \w{3} [ \d]\d [ \d]\d:\d\d B\.txt$")
        self.assertTrue(long[3].startswith("d"), long[3])
        self.assertEqual(self.lines(ftp, "LIST -1 sub"), ["a.txt", "B.txt", "inner", "zz"])
        single = self.lines(ftp, "LIST -d sub")
        self.assertEqual(len(single), 1)
        self.assertTrue(single[0].startswith("d") and single[0].endswith(" sub"), single)
        self.assertEqual(self.lines(ftp, "LIST -1R sub"),
                         ["a.txt", "B.txt", "inner", "zz",
                          "", "sub/inner:", "deep.txt", "more",
                          "", "sub/inner/more:", "deepest.txt",
                          "", "sub/zz:", "last.txt"])
        self.assertEqual(self.lines(ftp, "LIST -1 sub/*.txt"), ["a.txt", "B.txt"])
        self.assertLogged("LIST started successfully for path/wildcard -1 sub/*.txt")
        ftp.cwd("sub/inner")
        self.assertEqual(self.lines(ftp, "LIST -1 ../zz"), ["last.txt"])
        with self.assertRaises(ftplib.error_perm) as refused:
            self.lines(ftp, "LIST more/../../zz")
        self.assertEqual(str(refused.exception), '501 NLST / LIST parameters are not allowed to include "/.."')
        self.assertLogged("LIST failed - bad parameters more/../../zz")
        # Above the root nothing is listed.
        ftp.cwd("/")
        self.assertEqual(self.lines(ftp, "LIST -1 .."), [])

    def test_nlst_and_mlsd(self):
        self.tree()
        self.rights("sub/inner", "RL")
        self.rights("sub/zz", "-")
        self.one_instance()
        ftp = self.ftp(login=True)
        ftp.cwd("sub")
        self.assertEqual(ftp.nlst(), ["a.txt", "B.txt", "inner", "zz"])
        facts = dict(ftp.mlsd())
        self.assertEqual(set(facts), {"/sub", "/", "a.txt", "B.txt", "inner", "zz"})
        self.assertEqual(facts["/sub"]["type"], "cdir")
        self.assertEqual(facts["/"]["type"], "pdir")
        self.assertEqual(facts["inner"]["type"], "dir")
        # Rights entries shape the perm letters; a folder without L lists nothing.
        self.assertEqual(facts["inner"]["perm"], "el")
        self.assertEqual(facts["zz"]["perm"], "")
        self.assertEqual(facts["/sub"]["perm"], "cdelmp")
        self.assertEqual(self.lines(ftp, "LIST zz"), [])
        self.assertEqual(self.lines(ftp, "NLST inner"), ["deep.txt", "more"])
        self.assertEqual(facts["B.txt"], {"type": "file", "size": "1000", "perm": "adfrw",
                                          "modify": facts["B.txt"]["modify"]})
        self.assertRegex(facts["B.txt"]["modify"], r"^\d{14}$")
        with self.assertRaises(ftplib.error_perm) as refused:
            list(ftp.mlsd("a.txt"))
        self.assertEqual(str(refused.exception), "501 MLSD requires that any argument given be a directory.")
        # Listed through a link, the folder shows its own rights as cdir.
        os.symlink("inner", os.path.join(self.home, "sub", "to-inner"))
        self.assertEqual(dict(ftp.mlsd("to-inner"))["/sub/to-inner"]["perm"], "el")

    def test_curl_listing(self):
        self.tree()
        self.one_instance()
        url = ftp_url(self.port, "sub/", "bob", PASSWORD)
        r = curl(url)
        self.assertEqual(r.returncode, 0, r.stderr)
        names = [line.split(b" ")[-1] for line in r.stdout.splitlines() if not line.startswith(b"total")]
        self.assertEqual(names, [b"a.txt", b"B.txt", b"inner", b"zz"])
        r = curl("-l", url)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.splitlines(), [b"a.txt", b"B.txt", b"inner", b"zz"])

    def test_lftp_mirror(self):
        files = {
            "top file.txt": b"top",
            "caf\u00e9 d\u00e9j\u00e0/na\u00efve \u00fcber.txt": "\u00fc".encode() * 50,
            "caf\u00e9 d\u00e9j\u00e0/level two/deep file.bin": bytes(range(256)) * 40,
            "caf\u00e9 d\u00e9j\u00e0/level two/level three/\u65e5\u672c.txt": b"nihon",
            "empty dir/.keep-not-listed": b"",
        }
        for rel, data in files.items():
            self.put(os.path.join("tree", rel), data)
        # A Latin-1 name with the byte 0xFF, which lftp sends doubled.
        latin1 = os.fsdecode(b"\xff\xe9t\xe9.txt")
        files[latin1] = b"latin"
        with open(os.path.join(self.home, "tree", latin1), "wb") as f:
            f.write(b"latin")
        self.one_instance()
        local = os.path.join(self.sb.dir, "mirror")
        r = lftp(self.sb, self.port, "bob," + PASSWORD,
                 "set ftp:ssl-allow no; set net:max-retries 1; set net:timeout 10; mirror tree '%s'" % local,
                 timeout=120)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        for rel, data in files.items():
            path = os.path.join(local, rel)
            if os.path.basename(rel).startswith("."):
                self.assertFalse(os.path.exists(path), rel)
                self.assertTrue(os.path.isdir(os.path.dirname(path)), rel)
                continue
            with open(path, "rb") as f:
                self.assertEqual(f.read(), data, rel)


if __name__ == "__main__":
    unittest.main()
