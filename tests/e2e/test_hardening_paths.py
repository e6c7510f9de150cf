"""Where a confined user's paths may lead: conversions run on files outside
the root or without rights, rights through symbolic links, listings of links
that lead out of the root, the order of SIZE's refusals, and the bounds of
concurrent and large listings."""

import io
import os
import shutil
import socket
import tempfile
import tarfile
import unittest

from orvyntest import Control, ServerCase, pasv_address, recv_all, require_programs, wait_for

PASSWORD = "pa55 word"
REPLY_226 = "226 Transfer finished successfully.\r\n"
NO_RIGHTS_TO_LIST = "550 You have no rights to list that directory!\r\n"


def setUpModule():
    require_programs("orvyn", "orvyn-reg")




class PathsTest(ServerCase):
    """bob is confined to his home; next to it lies a folder he must never
    reach."""

    timer_ms = 100
    user, password = "bob", PASSWORD

    def setUp(self):
        super().setUp()
        self.home = os.path.join(self.sb.dir, "home", "bob")
        self.outside = os.path.join(self.sb.dir, "outside")
        os.makedirs(self.home)
        os.makedirs(os.path.join(self.outside, "dir"))
        self.write(os.path.join(self.outside, "secret.txt"), b"outside secret")
        self.write(os.path.join(self.outside, "dir", "inner.txt"), b"outside inner")
        self.sb.add_user("bob", PASSWORD, self.home + "/", values={"Restricted": 1})

    def write(self, path, data):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def put(self, rel, data=b"abc"):
        self.write(os.path.join(self.home, rel), data)

    def rights(self, rel, letters):
        self.sb.set_rights("bob", os.path.join(self.home, rel) + "/", letters)

    def link(self, rel, target):
        os.symlink(target, os.path.join(self.home, rel))

    def retr(self, c, name):
        """RETR over a passive connection: (reply, data), data None when refused."""
        d = socket.create_connection(pasv_address(c.cmd("PASV")), timeout=10)
        try:
            reply = c.cmd("RETR " + name)
            if not reply.startswith("150 "):
                return reply, None
            data = recv_all(d)
        finally:
            d.close()
        self.assertEqual(c.read_reply(), REPLY_226)
        return reply, data

    def listing(self, c, command):
        d = socket.create_connection(pasv_address(c.cmd("PASV")), timeout=10)
        try:
            reply = c.cmd(command)
            self.assertTrue(reply.startswith("150 "), reply)
            data = recv_all(d)
        finally:
            d.close()
        self.assertEqual(c.read_reply(), REPLY_226)
        return data.decode()

    def assertRefused(self, c, name, reply):
        self.assertEqual(self.retr(c, name), (reply, None), name)


class ConversionTest(PathsTest):
    def test_conversions_pass_the_root_and_the_rights_of_a_plain_download(self):
        self.put("ok.txt", b"plain text")
        self.put("pub/a.txt", b"public")
        self.put("private/p.txt", b"private")
        self.put("listonly/denied.txt", b"denied")
        self.put("outer/inner/hidden.txt", b"hidden")
        self.put("readonly/names.txt", b"names")
        self.put("pub/open/b.txt", b"open")
        self.rights("private", "-")
        self.rights("listonly", "L")
        self.rights("outer/inner", "-")
        self.rights("readonly", "R")
        self.rights("pub/open", "RL")
        self.link("leak", os.path.join(self.outside, "secret.txt"))
        self.link("leakdir", os.path.join(self.outside, "dir"))
        self.one_instance(values={
            "Conversions\\cat": "|||.cat|cat %s|13",
            "Conversions\\tar": "|||.tar|tar -cf - %s|14",
        })
        c = self.logged_in()
        self.assertTrue(c.cmd("TYPE I").startswith("200"))
        # What a plain RETR refuses, its conversion refuses the same way.
        for name in ("leak", "leak.cat", "leakdir.tar"):
            self.assertRefused(c, name, "550 Error: File %s does not exist\r\n" % name)
        self.assertLogged("Directory %s/leakdir/ does not appear to be a subdirectory of the server restriction %s/"
                          % (self.home, self.home), "!")
        # A folder's conversion packs all of it: a folder inside with fewer
        # rights closes it.
        for name in ("private.tar", "outer.tar", "readonly.tar", "listonly/denied.txt", "listonly/denied.txt.cat"):
            self.assertRefused(c, name, "550 You do not have rights to read file %s\r\n" % name)
        self.assertNotIn("Conversion - file requested", self.sb.log_text())
        # Permitted conversions still run.
        self.assertEqual(self.retr(c, "ok.txt.cat")[1], b"plain text")
        with tarfile.open(fileobj=io.BytesIO(self.retr(c, "pub.tar")[1])) as tar:
            self.assertTrue(any(n.endswith("pub/open/b.txt") for n in tar.getnames()), tar.getnames())


class LinkRightsTest(PathsTest):
    def test_rights_of_the_real_folder_apply_through_a_link(self):
        self.put("secretdir/secret.txt", b"secret")
        self.put("pub/a.txt", b"public")
        self.rights("secretdir", "-")
        self.link("alias", "secretdir")
        self.link("publink", "pub")
        self.one_instance()
        c = self.logged_in()
        self.assertRefused(c, "alias/secret.txt", "550 You do not have rights to read file alias/secret.txt\r\n")
        self.assertEqual(c.cmd("SIZE alias/secret.txt"), NO_RIGHTS_TO_LIST)
        self.assertEqual(self.retr(c, "publink/a.txt")[1], b"public")

    def test_a_shortcut_does_not_lend_its_folder_s_rights(self):
        # Through the shortcut pay (pay.lnk) in an open folder, every command
        # finds the closed folder's rights, as a plain link does; MLST shows
        # nothing where listing is not allowed.
        self.put("closed/payroll.xls", b"12345")
        self.rights("closed", "-")
        os.makedirs(os.path.join(self.home, "drop"))
        self.rights("drop", "C")
        self.link("pay.lnk", os.path.join(self.home, "closed", "payroll.xls"))
        self.one_instance()
        c = self.logged_in()
        self.assertRefused(c, "pay", "550 You do not have rights to read file pay\r\n")
        self.assertEqual(c.cmd("SIZE pay"), NO_RIGHTS_TO_LIST)
        self.assertEqual(c.cmd("MDTM pay"), NO_RIGHTS_TO_LIST)
        self.assertEqual(c.cmd("MFMT 20010203040506 pay"), "550 You do not have rights to change the time of pay\r\n")
        self.assertEqual(c.cmd("SITE CHMOD 600 pay"), "550 You do not have rights to change the mode of pay\r\n")
        bad_path = c.cmd("MLST closed/nothere.xls")
        self.assertTrue(bad_path.startswith("501 "), bad_path)
        self.assertEqual(c.cmd("MLST pay"), bad_path.replace("closed/nothere.xls", "pay"))
        self.assertEqual(c.cmd("MLST closed/payroll.xls"), bad_path.replace("nothere", "payroll"))
        self.assertEqual(c.cmd("MLSD closed"), NO_RIGHTS_TO_LIST)
        # An upload-only folder is there for MLST as in its parent's listing.
        self.assertTrue(c.cmd("MLST drop").startswith("250-"))
        st = os.stat(os.path.join(self.home, "closed", "payroll.xls"))
        self.assertEqual((st.st_mode & 0o777, int(st.st_mtime) > 1000000000), (0o644, True))

    def test_an_entry_written_with_backslashes_applies(self):
        self.put("closed/secret.txt", b"secret")
        self.sb.set_rights("bob", os.path.join(self.home, "closed").replace("/", "\\") + "\\", "-")
        self.one_instance()
        c = self.logged_in()
        self.assertRefused(c, "closed/secret.txt", "550 You do not have rights to read file closed/secret.txt\r\n")


class VirtualDirectoryTest(PathsTest):
    def test_the_folder_behind_a_virtual_directory_is_neither_removed_nor_moved(self):
        os.makedirs(os.path.join(self.outside, "empty"))
        self.one_instance(values={
            "Virtual Directories\\" + os.path.join(self.home, "shared"): os.path.join(self.outside, "dir"),
            "Virtual Directories\\" + os.path.join(self.home, "empty"): os.path.join(self.outside, "empty"),
        })
        c = self.logged_in()
        self.assertEqual(c.cmd("RMD empty"), "550 You do not have the rights to remove that subdirectory.\r\n")
        self.assertEqual(c.cmd("RNFR shared"), "550 You do not have sufficient rights to rename that file.\r\n")
        # Nor changed through its place.
        self.assertEqual(c.cmd("SITE CHMOD 777 shared"), "550 You do not have rights to change the mode of shared\r\n")
        self.assertEqual(c.cmd("MFMT 20010203040506 shared"),
                         "550 You do not have rights to change the time of shared\r\n")
        self.assertEqual(os.stat(os.path.join(self.outside, "dir")).st_mode & 0o777, 0o755)
        self.assertTrue(os.path.isdir(os.path.join(self.outside, "empty")))
        self.assertTrue(os.path.isfile(os.path.join(self.outside, "dir", "inner.txt")))
        # Asked for as one entry, it is listed where it is shown.
        self.assertEqual([line.split()[-1] for line in self.listing(c, "LIST -d shared").splitlines()], ["shared"])
        # Inside, the rights of the place apply as before.
        self.assertTrue(c.cmd("RNFR shared/inner.txt").startswith("350 "))
        self.assertTrue(c.cmd("RNTO shared/moved.txt").startswith("250 "))
        self.assertTrue(os.path.isfile(os.path.join(self.outside, "dir", "moved.txt")))


def other_file_system(near):
    """A new folder on another file system than near (None when none is at hand)."""
    for base in ("/dev/shm", "/run", "/tmp"):
        try:
            if os.stat(base).st_dev != os.stat(near).st_dev and os.access(base, os.W_OK):
                return tempfile.mkdtemp(prefix="orvyn-xdev-", dir=base)
        except OSError:
            continue
    return None


class CrossDeviceMoveTest(PathsTest):
    def test_a_file_moves_to_another_file_system_and_back_a_folder_does_not(self):
        other = other_file_system(self.sb.dir)
        if other is None:
            self.skipTest("no second file system to move to")
        self.addCleanup(shutil.rmtree, other, True)
        data = os.urandom(3 << 20)
        self.put("move.bin", data)
        os.utime(os.path.join(self.home, "move.bin"), (1009843200, 1009843200))
        os.makedirs(os.path.join(self.home, "folder"))
        self.rights("", "RWDLCO")
        self.one_instance(values={"Virtual Directories\\" + os.path.join(self.home, "other"): other})
        c = self.logged_in()
        self.assertTrue(c.cmd("RNFR move.bin").startswith("350 "))
        # The command after it waits for the copy.
        c.send_raw(b"RNTO other/moved.bin\r\nNOOP\r\n")
        self.assertEqual(c.read_reply(), "250 File renamed successfully\r\n")
        self.assertEqual(c.read_reply(), "200 No operation completed successfully\r\n")
        moved = os.path.join(other, "moved.bin")
        with open(moved, "rb") as f:
            self.assertEqual(f.read(), data)
        self.assertEqual(int(os.stat(moved).st_mtime), 1009843200)
        self.assertFalse(os.path.exists(os.path.join(self.home, "move.bin")))
        self.assertTrue(c.cmd("RNFR other/moved.bin").startswith("350 "))
        self.assertTrue(c.cmd("RNTO back.bin").startswith("250 "))
        self.assertEqual(os.path.getsize(os.path.join(self.home, "back.bin")), len(data))
        self.assertEqual(os.listdir(other), [])
        self.assertTrue(c.cmd("RNFR folder").startswith("350 "))
        self.assertEqual(c.cmd("RNTO other/folder"), "553 Error renaming file to other/folder: "
                         "The system cannot move the file to a different disk drive.\r\n")


class LinkRemovalTest(PathsTest):
    def test_links_that_lead_nowhere_are_deleted_and_renamed_themselves(self):
        self.link("dangle", "missing.txt")
        self.link("self", "self")
        self.link("gone", "missing.txt")
        self.link("out", os.path.join(self.outside, "secret.txt"))
        self.one_instance()
        c = self.logged_in()
        for name in ("dangle", "self"):
            self.assertTrue(c.cmd("DELE " + name).startswith("250 "), name)
            self.assertFalse(os.path.lexists(os.path.join(self.home, name)), name)
        self.assertTrue(c.cmd("RNFR gone").startswith("350 "))
        self.assertTrue(c.cmd("RNTO renamed").startswith("250 "))
        self.assertEqual(os.readlink(os.path.join(self.home, "renamed")), "missing.txt")
        # A link leading out of the root lends no rights, not even to itself.
        self.assertEqual(c.cmd("DELE out"), "550 You do not have rights to delete that file.\r\n")
        self.assertTrue(os.path.islink(os.path.join(self.home, "out")))


class RenameSwapTest(PathsTest):
    def test_rnto_renames_only_what_rnfr_judged(self):
        self.put("sub/secret.txt", b"bob's own")
        self.one_instance()
        c = self.logged_in()
        self.assertTrue(c.cmd("RNFR sub/secret.txt").startswith("350 "))
        # Between the two, the folder is replaced by a link to one outside.
        os.rename(os.path.join(self.home, "sub"), os.path.join(self.home, "kept"))
        self.link("sub", self.outside)
        self.assertEqual(c.cmd("RNTO stolen.txt"), "550 You do not have sufficient rights to rename that file.\r\n")
        self.assertFalse(os.path.lexists(os.path.join(self.home, "stolen.txt")))
        with open(os.path.join(self.outside, "secret.txt"), "rb") as f:
            self.assertEqual(f.read(), b"outside secret")
        # An unchanged source is renamed as before.
        self.assertTrue(c.cmd("RNFR kept/secret.txt").startswith("350 "))
        self.assertTrue(c.cmd("RNTO mine.txt").startswith("250 "))
        self.assertTrue(os.path.exists(os.path.join(self.home, "mine.txt")))
        # The root itself is never removed or renamed, and asking is no alarm.
        for line in ("RMD /", "DELE /"):
            self.assertTrue(c.cmd(line).startswith("5"), line)
        if c.cmd("RNFR /").startswith("350 "):
            self.assertTrue(c.cmd("RNTO elsewhere").startswith("5"))
        self.assertTrue(os.path.isdir(self.home))
        self.assertFalse([m for m in self.messages("!") if "reached outside" in m])


class LinkListingTest(PathsTest):
    def test_a_link_leading_out_of_the_root_is_listed_by_its_own_status(self):
        self.write(os.path.join(self.outside, "secret.txt"), b"x" * 54321)
        os.utime(os.path.join(self.outside, "secret.txt"), (978307200, 978307200))  # 2001-01-01
        self.put("pub/a.txt", b"y" * 4321)
        os.utime(os.path.join(self.home, "pub", "a.txt"), (1009843200, 1009843200))  # 2002-01-01
        os.makedirs(os.path.join(self.home, "links"))
        out_target = os.path.join(self.outside, "secret.txt")
        self.link("links/out", out_target)
        self.link("links/outdir", os.path.join(self.outside, "dir"))
        self.link("links/in", "../pub/a.txt")
        self.one_instance()
        c = self.logged_in()

        lines = {line.split()[-1]: line for line in self.listing(c, "LIST links").splitlines()
                 if not line.startswith("total ")}
        self.assertEqual(set(lines), {"out", "outdir", "in"})
        self.assertNotIn("54321", lines["out"])
        self.assertNotRegex(lines["out"], r"\b2001\b")
        self.assertFalse(lines["outdir"].startswith("d"), lines["outdir"])
        self.assertIn(" 4321 ", lines["in"])

        facts = {}
        for line in self.listing(c, "MLSD links").splitlines():
            text, _, name = line.partition(" ")
            facts[name] = dict(f.split("=", 1) for f in text.split(";") if "=" in f)
        self.assertEqual(facts["out"]["size"], str(len(out_target)))
        self.assertFalse(facts["out"]["modify"].startswith("2001"), facts["out"])
        self.assertEqual(facts["outdir"]["type"], "file")
        self.assertEqual((facts["in"]["size"], facts["in"]["modify"][:8]), ("4321", "20020101"))


class SizeTest(PathsTest):
    def test_size_refuses_outside_paths_and_paths_without_rights_alike(self):
        self.put("locked/f.txt", b"locked")
        self.rights("locked", "-")
        self.link("leak", os.path.join(self.outside, "secret.txt"))
        self.one_instance()
        c = self.logged_in()
        self.assertReplies(
            c,
            ("SIZE ../../outside/secret.txt", NO_RIGHTS_TO_LIST),
            ("SIZE leak", NO_RIGHTS_TO_LIST),
            ("SIZE locked/f.txt", NO_RIGHTS_TO_LIST),
            ("SIZE missing", "550 Error: File missing either does not exist, or is not a normal file\r\n"))


def folded_order(names, reverse=False):
    """Names in the order of a sorted listing: letter case ignored first, then the bytes."""
    return sorted(names, key=lambda n: (n.lower(), n), reverse=reverse)


class ListingBoundsTest(PathsTest):
    def test_listings_beyond_the_bounds_are_refused_while_the_others_complete(self):
        for i in range(30):
            self.put("pub/f%02d.txt" % i)
        self.one_instance(values={"Security\\MaxListings": 3, "Security\\MaxListingsPerAddress": 2})
        started = []

        def begin(source):
            """Logs in from source and starts LIST pub without taking its data: the listing holds its place."""
            c = self.control_from(source)
            self.assertTrue(self.login(c).startswith("230"))
            d = socket.socket()
            self.addCleanup(d.close)
            d.bind((source, 0))
            address = pasv_address(c.cmd("PASV"))
            c.send("LIST pub")
            started.append(c)
            self.assertTrue(wait_for(lambda: self.messages("C").count(
                "LIST started successfully for path/wildcard pub") == len(started), timeout=5))
            return c, d, address

        held = [begin("127.0.0.1"), begin("127.0.0.1")]
        c = self.control_from("127.0.0.1")
        self.assertTrue(self.login(c).startswith("230"))
        self.assertEqual(c.cmd("LIST pub"),
                         "450 Too many listings in progress from your address - try again later.\r\n")
        self.assertEqual(c.cmd("MLSD pub"),
                         "450 Too many listings in progress from your address - try again later.\r\n")
        self.assertEqual(c.cmd("STAT pub"),
                         "450 Too many listings in progress from your address - try again later.\r\n")
        held.append(begin("127.0.0.2"))
        other = self.control_from("127.0.0.3")
        self.assertTrue(self.login(other).startswith("230"))
        self.assertEqual(other.cmd("NLST pub"), "450 Too many listings in progress - try again later.\r\n")
        self.assertLogged("LIST refused - 2 listings from 127.0.0.1 in progress already", "!")

        # The listings that got their places complete in full.
        for conn, d, address in held:
            d.connect(address)
            self.assertTrue(conn.read_reply().startswith("150 "))
            self.assertEqual(len(recv_all(d).decode().splitlines()), 31)  # the total and 30 files
            self.assertEqual(conn.read_reply(), REPLY_226)
        # Their places are given back.
        self.assertTrue(self.listing(c, "NLST pub").startswith("f00.txt"))

    def control_from(self, source):
        c = Control(self.port, source=source)
        self.addCleanup(c.close)
        return c

    def test_a_large_folder_lists_completely_and_in_order(self):
        folder = os.path.join(self.home, "big")
        os.makedirs(folder)
        names = []
        for i in range(20000):
            name = "%s%05d" % ("F" if i % 3 == 0 else "f", (i * 7919) % 20000)
            if i % 7 == 0:
                name += "x"
            names.append(name)
            with open(os.path.join(folder, name), "wb") as f:
                if i % 1000 == 0:
                    f.write(b"z" * i)
        self.one_instance()
        c = self.logged_in()
        for command, reverse in (("LIST big", False), ("LIST -r big", True), ("LIST big/*", False)):
            lines = self.listing(c, command).splitlines()
            # A wildcard's matches form a block without a total.
            wildcard = "*" in command
            self.assertEqual(lines[0].startswith("total "), not wildcard, lines[0])
            fields = [line.split(None, 8) for line in (lines if wildcard else lines[1:])]
            self.assertEqual([f[8] for f in fields], folded_order(names, reverse), command)
            sizes = {f[8]: int(f[4]) for f in fields}
            self.assertEqual(sizes[names[5000]], 5000)
            self.assertEqual(sum(sizes.values()), sum(range(0, 20000, 1000)))
        # A command sent behind STAT waits for the whole listing.
        c.send_raw(b"STAT big\r\nNOOP\r\n")
        status = c.read_reply().splitlines()
        self.assertEqual((status[0], status[-1]), ("213-status of big:", "213 End of status"))
        self.assertEqual(sum(1 for line in status if line.split()[-1] in names), 20000)
        self.assertEqual(c.read_reply(), "200 No operation completed successfully\r\n")
        # ABOR while the listing is still being built aborts it: nothing is sent.
        d = socket.create_connection(pasv_address(c.cmd("PASV")), timeout=10)
        c.send_raw(b"LIST big\r\nABOR\r\n")
        self.assertEqual(c.read_reply(), "426 Transfer aborted.\r\n")
        self.assertEqual(c.read_reply(), "226 Abort Successful.\r\n")
        self.assertEqual(recv_all(d), b"")
        d.close()
        self.assertEqual(c.cmd("NOOP"), "200 No operation completed successfully\r\n")


if __name__ == "__main__":
    unittest.main()
