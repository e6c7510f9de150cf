"""End-to-end tests of orvyn-reg, the command-line editor of the store.

Every test works on its own store in a temporary folder (through
ORVYN_REGISTRY or --store) and runs the built program from $ORVYN_BIN.
"""

import os
import unittest

from orvyntest import DONE, StoreToolCase

try:
    import sqlite3
except ImportError:  # pragma: no cover - the interpreter may lack the module
    sqlite3 = None

ROOT = "HKEY_LOCAL_MACHINE"


class RegToolCase(StoreToolCase):
    """A store one folder down, which the tool has to create."""

    store_name = os.path.join("lib", "registry.db")

    def add(self, key, name, rtype, data=None):
        args = ["add", key, "/v", name, "/t", rtype]
        if data is not None:
            args += ["/d", data]
        self.assertEqual(self.ok(*args), DONE)


def every_type(tool, key):
    """Adds one value of every type to key; returns the expected query lines."""
    tool.add(key, "Name", "REG_SZ", "hello world")
    tool.add(key, "Path", "REG_EXPAND_SZ", "%HOME%/ftp")
    tool.add(key, "List", "REG_MULTI_SZ", r"first\0second item\0third")
    tool.add(key, "Port", "REG_DWORD", "21")
    tool.add(key, "Mask", "REG_DWORD", "0xFFFFFFFF")
    tool.add(key, "Order", "REG_DWORD_BIG_ENDIAN", "0x12345678")
    tool.add(key, "Huge", "REG_QWORD", "18446744073709551615")
    tool.add(key, "Small", "REG_QWORD", "0x10")
    tool.add(key, "Blob", "REG_BINARY", "00ab10FF")
    tool.add(key, "Nothing", "REG_NONE")
    tool.add(key, "Marker", "REG_NONE", "7f")
    tool.assertEqual(tool.ok("add", key, "/ve", "/d", "default text"), DONE)
    return [
        "    Name    REG_SZ    hello world",
        "    Path    REG_EXPAND_SZ    %HOME%/ftp",
        r"    List    REG_MULTI_SZ    first\0second item\0third",
        "    Port    REG_DWORD    0x15",
        "    Mask    REG_DWORD    0xffffffff",
        "    Order    REG_DWORD_BIG_ENDIAN    0x12345678",
        "    Huge    REG_QWORD    0xffffffffffffffff",
        "    Small    REG_QWORD    0x10",
        "    Blob    REG_BINARY    00AB10FF",
        "    Nothing    REG_NONE    ",
        "    Marker    REG_NONE    7F",
        "    (Default)    REG_SZ    default text",
    ]


class AddQueryDeleteTest(RegToolCase):

    def test_every_type_is_shown_exactly(self):
        lines = every_type(self, r"HKLM\Software\Test")
        out = self.ok("query", r"HKLM\Software\Test")
        self.assertEqual(out, "\n".join([ROOT + r"\Software\Test", *lines, "", ""]))

    def test_single_values_and_the_unnamed_value(self):
        every_type(self, r"HKLM\Software\Test")
        key = ROOT + r"\Software\Test"
        self.assertEqual(self.ok("query", r"HKLM\Software\Test", "/v", "Port"),
                         f"{key}\n    Port    REG_DWORD    0x15\n\n")
        self.assertEqual(self.ok("query", r"HKEY_LOCAL_MACHINE\Software\Test", "/v", "List"),
                         f"{key}\n    List    REG_MULTI_SZ    first\\0second item\\0third\n\n")
        self.assertEqual(self.ok("query", r"HKLM\Software\Test", "/ve"),
                         f"{key}\n    (Default)    REG_SZ    default text\n\n")

    @unittest.skipIf(sqlite3 is None, "no sqlite3 module")
    def test_stored_bytes(self):
        every_type(self, r"HKLM\Software\Test")
        self.add(r"HKLM\Software\Test", "Empty", "REG_SZ")
        self.add(r"HKLM\Software\Test", "NoItems", "REG_MULTI_SZ")
        expected = {
            "Name": (1, b"hello world\0"),
            "Path": (2, b"%HOME%/ftp\0"),
            "List": (7, b"first\0second item\0third\0\0"),
            "Port": (4, b"\x15\0\0\0"),
            "Order": (5, b"\x12\x34\x56\x78"),
            "Huge": (11, b"\xff" * 8),
            "Small": (11, b"\x10" + b"\0" * 7),
            "Blob": (3, b"\x00\xab\x10\xff"),
            "Nothing": (0, b""),
            "": (1, b"default text\0"),
            "Empty": (1, b"\0"),
            "NoItems": (7, b"\0"),
        }
        db = sqlite3.connect(f"file:{self.store}?mode=ro", uri=True)
        self.addCleanup(db.close)
        for name, (rtype, data) in expected.items():
            row = db.execute("SELECT type, data FROM vals WHERE name = ?", (name,)).fetchone()
            self.assertIsNotNone(row, name)
            self.assertEqual((row[0], bytes(row[1] or b"")), (rtype, data), name)

    def test_delete_values_of_every_type(self):
        lines = every_type(self, r"HKLM\Software\Test")
        names = ["Name", "Path", "List", "Port", "Mask", "Order", "Huge", "Small", "Blob",
                 "Nothing", "Marker"]
        for i, name in enumerate(names):
            self.assertEqual(self.ok("delete", r"HKLM\Software\Test", "/v", name, "/f"), DONE)
            self.fails("query", r"HKLM\Software\Test", "/v", name)
            out = self.ok("query", r"HKLM\Software\Test")
            self.assertEqual(out, "\n".join([ROOT + r"\Software\Test", *lines[i + 1:], "", ""]))
        self.assertEqual(self.ok("delete", r"HKLM\Software\Test", "/ve", "/f"), DONE)
        self.assertEqual(self.ok("query", r"HKLM\Software\Test"), ROOT + "\\Software\\Test\n\n")
        self.assertEqual(self.ok("delete", r"HKLM\Software\Test", "/f"), DONE)
        self.fails("query", r"HKLM\Software\Test")
        self.assertEqual(self.ok("query", r"HKLM\Software"), ROOT + "\\Software\n\n")

    def test_names_compare_without_case_and_keep_it(self):
        self.add(r"HKLM\Software\MyKey", "Port", "REG_DWORD", "21")
        self.assertEqual(self.ok("query", r"hklm\SOFTWARE\mykey", "/v", "PORT"),
                         ROOT + "\\SOFTWARE\\mykey\n    Port    REG_DWORD    0x15\n\n")
        self.assertEqual(self.ok("query", r"HKLM\software"),
                         ROOT + "\\software\n\n" + ROOT + "\\software\\MyKey\n")
        error = self.assertRefusedUnchanged("add", r"HKLM\SOFTWARE\MYKEY", "/v", "port",
                                            "/t", "REG_DWORD", "/d", "22")
        self.assertIn("/f", error)
        self.assertEqual(self.ok("add", r"HKLM\SOFTWARE\MYKEY", "/v", "port", "/t", "REG_DWORD",
                                 "/d", "22", "/f"), DONE)
        out = self.ok("query", r"HKLM\Software\MyKey")
        self.assertEqual(out.count("REG_DWORD    0x16"), 1, out)
        self.assertNotIn("0x15", out)
        self.assertEqual(self.ok("delete", r"hklm\software\MYKEY", "/V", "PORT", "-F"), DONE)
        self.assertEqual(self.ok("query", r"HKLM\Software\MyKey"), ROOT + "\\Software\\MyKey\n\n")

    def test_overwrite_needs_f_and_keeps_the_order(self):
        self.add(r"HKLM\K", "a", "REG_SZ", "1")
        self.add(r"HKLM\K", "b", "REG_SZ", "2")
        self.assertRefusedUnchanged("add", r"HKLM\K", "/v", "a", "/d", "changed")
        self.assertRefusedUnchanged("add", r"HKLM\K", "/v", "a", "/t", "REG_DWORD", "/d", "1")
        self.assertEqual(self.ok("add", r"HKLM\K", "/v", "a", "/t", "REG_DWORD", "/d", "1", "/f"),
                         DONE)
        self.assertEqual(self.ok("query", r"HKLM\K"),
                         ROOT + "\\K\n    a    REG_DWORD    0x1\n    b    REG_SZ    2\n\n")

    def test_add_without_value_creates_the_key_and_its_parents(self):
        self.assertEqual(self.ok("add", r"HKLM\A\B\C"), DONE)
        self.assertEqual(self.ok("add", r"HKLM\A\B\C"), DONE)  # already there: fine
        self.assertEqual(self.ok("query", r"HKLM\A"), f"{ROOT}\\A\n\n{ROOT}\\A\\B\n")
        self.assertEqual(self.ok("query", r"HKLM\A\B\C"), f"{ROOT}\\A\\B\\C\n\n")

    def test_options_with_dash_and_any_case(self):
        self.assertEqual(self.ok("ADD", r"HKLM\K", "-V", "n", "-T", "reg_dword", "-D", "0x0a"), DONE)
        self.assertEqual(self.ok("Query", r"HKLM\K", "/V", "n"),
                         f"{ROOT}\\K\n    n    REG_DWORD    0xa\n\n")

    def test_data_starting_with_a_slash_is_data(self):
        self.add(r"HKLM\K", "LogFile", "REG_SZ", "/var/log/orvyn.log")
        self.assertEqual(self.ok("query", r"HKLM\K", "/v", "logfile"),
                         f"{ROOT}\\K\n    LogFile    REG_SZ    /var/log/orvyn.log\n\n")

    def test_query_root_and_empty_store(self):
        self.assertEqual(self.ok("query", "HKLM"), ROOT + "\n\n")
        self.assertFalse(os.path.exists(self.store), "a query must not create the store")
        self.add(r"HKLM\Software", "x", "REG_SZ", "y")
        self.add(r"HKLM\System", "x", "REG_SZ", "y")
        self.assertEqual(self.ok("query", "hkey_local_machine"),
                         f"{ROOT}\n\n{ROOT}\\Software\n{ROOT}\\System\n")


class RecursiveQueryTest(RegToolCase):

    def build_tree(self):
        self.add(r"HKLM\Tree", "top", "REG_SZ", "t")
        self.add(r"HKLM\Tree\beta", "b", "REG_DWORD", "2")
        self.add(r"HKLM\Tree\Alpha", "a", "REG_DWORD", "1")
        self.add(r"HKLM\Tree\Alpha\Deep\Deeper", "d", "REG_BINARY", "0102")
        self.add(r"HKLM\Tree\gamma", "a", "REG_SZ", "g")
        self.ok("add", r"HKLM\Tree\Alpha\Empty")

    def test_recursive_listing_in_name_order(self):
        self.build_tree()
        expected = "\n".join([
            ROOT + r"\Tree",
            "    top    REG_SZ    t",
            "",
            ROOT + r"\Tree\Alpha",
            "    a    REG_DWORD    0x1",
            "",
            ROOT + r"\Tree\Alpha\Deep",
            "",
            ROOT + r"\Tree\Alpha\Deep\Deeper",
            "    d    REG_BINARY    0102",
            "",
            ROOT + r"\Tree\Alpha\Empty",
            "",
            ROOT + r"\Tree\beta",
            "    b    REG_DWORD    0x2",
            "",
            ROOT + r"\Tree\gamma",
            "    a    REG_SZ    g",
            "",
            "",
        ])
        self.assertEqual(self.ok("query", r"HKLM\Tree", "/s"), expected)
        self.assertEqual(self.ok("query", r"HKLM\Tree"),
                         f"{ROOT}\\Tree\n    top    REG_SZ    t\n\n"
                         f"{ROOT}\\Tree\\Alpha\n{ROOT}\\Tree\\beta\n{ROOT}\\Tree\\gamma\n")

    def test_value_search_below_a_key(self):
        self.build_tree()
        self.assertEqual(self.ok("query", r"HKLM\Tree", "/v", "A", "/s"),
                         f"{ROOT}\\Tree\\Alpha\n    a    REG_DWORD    0x1\n\n"
                         f"{ROOT}\\Tree\\gamma\n    a    REG_SZ    g\n\n")
        self.fails("query", r"HKLM\Tree", "/v", "missing", "/s")
        self.fails("query", r"HKLM\Tree", "/ve", "/s")

    def test_delete_all_values_keeps_subkeys(self):
        self.build_tree()
        self.add(r"HKLM\Tree", "second", "REG_DWORD", "5")
        self.assertEqual(self.ok("delete", r"HKLM\Tree", "/va", "/f"), DONE)
        self.assertEqual(self.ok("query", r"HKLM\Tree"),
                         f"{ROOT}\\Tree\n\n"
                         f"{ROOT}\\Tree\\Alpha\n{ROOT}\\Tree\\beta\n{ROOT}\\Tree\\gamma\n")
        self.assertIn("    a    REG_DWORD    0x1", self.ok("query", r"HKLM\Tree\Alpha"))

    def test_delete_key_removes_its_subtree_only(self):
        self.build_tree()
        self.assertEqual(self.ok("delete", r"HKLM\Tree\ALPHA", "/f"), DONE)
        for gone in (r"HKLM\Tree\Alpha", r"HKLM\Tree\Alpha\Deep", r"HKLM\Tree\Alpha\Deep\Deeper"):
            self.fails("query", gone)
        self.assertEqual(self.ok("query", r"HKLM\Tree"),
                         f"{ROOT}\\Tree\n    top    REG_SZ    t\n\n"
                         f"{ROOT}\\Tree\\beta\n{ROOT}\\Tree\\gamma\n")


class ConfirmationTest(RegToolCase):

    def test_delete_without_f_refuses_when_nobody_can_answer(self):
        self.add(r"HKLM\K\Sub", "v", "REG_SZ", "x")
        for args in ([r"HKLM\K"], [r"HKLM\K\Sub", "/v", "v"], [r"HKLM\K\Sub", "/va"]):
            error = self.assertRefusedUnchanged("delete", *args)
            self.assertIn("use /f", error)

    def run_on_terminal(self, answer, *args):
        proc, master = self.start_on_terminal(*args)
        os.write(master, answer.encode() + b"\n")
        out, err = proc.communicate(timeout=60)
        return proc.returncode, out.decode(), err.decode()

    def test_delete_asks_on_a_terminal(self):
        self.add(r"HKLM\K", "v", "REG_SZ", "x")
        before = self.snapshot()
        rc, out, err = self.run_on_terminal("no", "delete", r"HKLM\K", "/v", "v")
        self.assertEqual(rc, 1, err)
        self.assertIn("Delete the registry value v (Yes/No)?", out)
        self.assertTrue(err.startswith("ERROR: "), err)
        self.assertEqual(self.snapshot(), before)

        rc, out, err = self.run_on_terminal("YES", "delete", r"HKLM\K", "/v", "v")
        self.assertEqual((rc, err), (0, ""))
        self.assertTrue(out.endswith(DONE), out)
        self.fails("query", r"HKLM\K", "/v", "v")

        rc, out, err = self.run_on_terminal("y", "delete", r"HKLM\K")
        self.assertEqual((rc, err), (0, ""))
        self.assertIn("Permanently delete the registry key " + ROOT + r"\K (Yes/No)?", out)
        self.fails("query", r"HKLM\K")


class SaveRestoreTest(RegToolCase):

    def tree(self, key):
        lines = every_type(self, key)
        big = "ab" * 10000  # 20000 hex digits, 10000 bytes
        self.add(key + r"\Level1\Level2", "Big", "REG_BINARY", big)
        self.add(key + r"\Level1", "Text", "REG_SZ", "x" * 9000)
        self.ok("add", key + r"\Other")
        return lines

    def test_round_trip_into_another_key(self):
        self.tree(r"HKLM\Src")
        saved = self.path("src.hiv")
        self.assertEqual(self.ok("save", r"HKLM\Src", saved), DONE)
        self.assertTrue(os.path.isfile(saved))
        self.assertEqual(self.ok("restore", r"HKLM\Dst", saved), DONE)
        src = self.ok("query", r"HKLM\Src", "/s")
        dst = self.ok("query", r"HKLM\Dst", "/s")
        self.assertEqual(dst, src.replace(ROOT + r"\Src", ROOT + r"\Dst"))
        self.assertIn("    Big    REG_BINARY    " + "AB" * 10000 + "\n", dst)

    def test_restore_replaces_the_whole_content(self):
        self.add(r"HKLM\Cfg", "keep", "REG_SZ", "saved")
        self.add(r"HKLM\Cfg\Sub", "inner", "REG_DWORD", "1")
        saved = self.path("cfg.hiv")
        self.ok("save", r"HKLM\Cfg", saved)
        expected = self.ok("query", r"HKLM\Cfg", "/s")

        self.ok("add", r"HKLM\Cfg", "/v", "keep", "/d", "changed", "/f")
        self.add(r"HKLM\Cfg", "extra", "REG_SZ", "later")
        self.add(r"HKLM\Cfg\New", "x", "REG_SZ", "y")
        self.ok("delete", r"HKLM\Cfg\Sub", "/f")
        self.add(r"HKLM\Neighbour", "n", "REG_SZ", "untouched")

        self.assertEqual(self.ok("restore", r"hklm\cfg", saved), DONE)
        self.assertEqual(self.ok("query", r"HKLM\Cfg", "/s"), expected)
        self.assertEqual(self.ok("query", r"HKLM\Neighbour"),
                         f"{ROOT}\\Neighbour\n    n    REG_SZ    untouched\n\n")

    def test_save_refuses_an_existing_file_without_y(self):
        self.add(r"HKLM\K", "v", "REG_SZ", "one")
        saved = self.path("k.hiv")
        with open(saved, "wb") as f:
            f.write(b"precious")
        error = self.fails("save", r"HKLM\K", saved)
        self.assertIn("/y", error)
        with open(saved, "rb") as f:
            self.assertEqual(f.read(), b"precious")
        self.assertEqual(self.ok("save", r"HKLM\K", saved, "/y"), DONE)
        self.ok("add", r"HKLM\K", "/v", "v", "/d", "two", "/f")
        self.ok("restore", r"HKLM\K", saved)
        self.assertIn("    v    REG_SZ    one\n", self.ok("query", r"HKLM\K"))

    def test_save_of_a_missing_key(self):
        saved = self.path("none.hiv")
        self.assertRefusedUnchanged("save", r"HKLM\Missing", saved)
        self.assertFalse(os.path.exists(saved))

    def test_restore_of_something_that_is_not_a_saved_key(self):
        self.add(r"HKLM\K", "v", "REG_SZ", "kept")
        self.add(r"HKLM\K\Sub", "w", "REG_DWORD", "3")
        garbage = self.path("garbage.hiv")
        with open(garbage, "wb") as f:
            f.write(b"this is not a saved key\n" * 100)
        empty = self.path("empty.hiv")
        open(empty, "wb").close()
        folder = self.path("folder")
        os.mkdir(folder)
        for source in (garbage, empty, folder, self.path("missing.hiv")):
            self.assertRefusedUnchanged("restore", r"HKLM\K", source)
            self.assertRefusedUnchanged("restore", r"HKLM\New", source)


class BadInputTest(RegToolCase):

    def setUp(self):
        super().setUp()
        self.add(r"HKLM\Software\Test", "Port", "REG_DWORD", "21")
        self.add(r"HKLM\Software\Test\Sub", "Name", "REG_SZ", "n")

    def test_unknown_type(self):
        error = self.assertRefusedUnchanged("add", r"HKLM\Software\Test", "/v", "X",
                                            "/t", "REG_WORD", "/d", "1")
        self.assertIn("REG_WORD", error)
        self.assertRefusedUnchanged("add", r"HKLM\Software\Test", "/v", "Port",
                                    "/t", "REG_LINK", "/d", "1", "/f")

    def test_malformed_data(self):
        # Port exists: a refused overwrite must keep it as it was.
        cases = [
            ("REG_DWORD", "12a"), ("REG_DWORD", "0x"), ("REG_DWORD", "4294967296"),
            ("REG_DWORD", "-1"), ("REG_DWORD_BIG_ENDIAN", "0x100000000"),
            ("REG_QWORD", "18446744073709551616"), ("REG_QWORD", "-1"),
            ("REG_BINARY", "abc"), ("REG_BINARY", "zz"), ("REG_NONE", "1"),
            ("REG_MULTI_SZ", r"a\0\0b"),
        ]
        for rtype, data in cases:
            error = self.assertRefusedUnchanged("add", r"HKLM\Software\Test", "/v", "Port",
                                                "/t", rtype, "/d", data, "/f")
            self.assertIn(rtype, error)
            self.assertIn(f'"{data}"', error)
        self.assertRefusedUnchanged("add", r"HKLM\Software\Test\New", "/v", "n",
                                    "/t", "REG_DWORD", "/d", "12a")
        self.fails("query", r"HKLM\Software\Test\New")
        self.assertRefusedUnchanged("add", r"HKLM\Software\Test", "/v", "New", "/t", "REG_QWORD")

    def test_missing_key_or_value(self):
        self.assertRefusedUnchanged("query", r"HKLM\Software\Nothing")
        self.assertRefusedUnchanged("query", r"HKLM\Software\Test", "/v", "Nothing")
        self.assertRefusedUnchanged("query", r"HKLM\Software\Test", "/ve")
        self.assertRefusedUnchanged("query", r"HKLM\Software\Nothing", "/v", "Port")
        self.assertRefusedUnchanged("delete", r"HKLM\Software\Nothing", "/f")
        self.assertRefusedUnchanged("delete", r"HKLM\Software\Test", "/v", "Nothing", "/f")
        self.assertRefusedUnchanged("delete", r"HKLM\Software\Test", "/ve", "/f")
        self.assertRefusedUnchanged("delete", r"HKLM\Software\Nothing", "/va", "/f")

    def test_bad_key_roots(self):
        for key in (r"HKEY_CURRENT_USER\Software", r"Software\Test", r"HKLMSoftware\Test",
                    r"\\host\HKLM\Software"):
            self.assertIn("key", self.assertRefusedUnchanged("query", key))
        key = r"HKCU\Software\Test"
        for args in (["query", key], ["add", key, "/v", "x", "/d", "y"], ["delete", key, "/f"],
                     ["save", key, self.path("x.hiv")], ["restore", key, self.path("x.hiv")]):
            self.assertIn("key", self.assertRefusedUnchanged(*args))

    def test_bad_command_lines(self):
        for args in (["frob", "HKLM"], ["query"], ["query", "HKLM", "/x"],
                     ["add", r"HKLM\Software\Test", "/v"],
                     ["add", r"HKLM\Software\Test", "/v", "a", "/ve", "/d", "1"],
                     ["add", r"HKLM\Software\Test", "/v", "", "/d", "1"],
                     ["add", r"HKLM\Software\Test", "/d", "1"],
                     ["add", r"HKLM\Software\Test", "/t", "REG_SZ"],
                     ["delete", "HKLM", "/f"],
                     ["delete", r"HKLM\Software\Test", "/s", "/f"],
                     ["save", r"HKLM\Software\Test"]):
            self.assertRefusedUnchanged(*args)

    def test_a_store_that_cannot_be_written(self):
        blocker = self.path("file")
        with open(blocker, "w") as f:
            f.write("a file where a folder would have to be\n")
        self.env["ORVYN_REGISTRY"] = os.path.join(blocker, "sub", "registry.db")
        self.fails("add", r"HKLM\K", "/v", "x", "/d", "y")
        self.fails("add", r"HKLM\K")
        with open(blocker) as f:
            self.assertEqual(f.read(), "a file where a folder would have to be\n")

    def test_a_corrupt_store(self):
        corrupt = self.path("corrupt.db")
        content = b"\x00garbage that is not a store\xff" * 200
        with open(corrupt, "wb") as f:
            f.write(content)
        for args in (["query", "HKLM"], ["query", "HKLM", "/s"], ["add", r"HKLM\K", "/v", "x"],
                     ["delete", r"HKLM\K", "/f"], ["save", "HKLM", self.path("c.hiv")]):
            error = self.fails("--store", corrupt, *args)
            self.assertIn("corrupt.db", error)
        with open(corrupt, "rb") as f:
            self.assertEqual(f.read(), content)


class StoreLocationAndUsageTest(RegToolCase):

    def test_store_option_overrides_the_environment(self):
        other = self.path("other.db")
        self.assertEqual(self.ok("add", r"HKLM\K", "/v", "x", "/d", "y", "--store", other), DONE)
        self.assertTrue(os.path.exists(other))
        self.assertFalse(os.path.exists(self.store))
        self.assertEqual(self.ok("--store", other, "query", r"HKLM\K", "/v", "x"),
                         f"{ROOT}\\K\n    x    REG_SZ    y\n\n")
        self.fails("query", r"HKLM\K")

    def test_store_follows_the_environment(self):
        self.add(r"HKLM\K", "x", "REG_SZ", "y")
        self.assertTrue(os.path.exists(self.store))

    def test_help_and_usage(self):
        r = self.run_tool("--help")
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        for word in ("query", "add", "delete", "save", "restore", "/f", "--store"):
            self.assertIn(word, r.stdout)
        self.assertEqual(self.run_tool("/?").stdout, r.stdout)
        r = self.run_tool()
        self.assertEqual((r.returncode, r.stdout), (1, ""))
        self.assertIn("orvyn-reg query", r.stderr)


if __name__ == "__main__":
    unittest.main()
