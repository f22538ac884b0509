"""elamctl config build and config read: rules files (TOML) turned into the
configuration key as the registry editor writes it, the key read back through
the driver's loader, the round trips, merging, and the errors of bad input."""
import json
import os
import unittest

from ruleset_support import reg_text, reg_values, rule_tuples, rules_of
from tool_support import CONFIG_KEY, ToolTest, elamctl, multi_sz, reg_file

KEY = CONFIG_KEY
HASH = "0f" * 31 + "a1"

# One rule of (nearly) every type, the switches and two exclusions.
EVERY_TYPE = r"""
service = "BootGuardElam"
exclusions = ['\oem\oldfw.sys', "\\x.sys"]

[switches]
enabled = true
block_failed_code_integrity = true

[[rule]]
label = "Example"
type = "file-name"
value = "bad.sys"

[[rule]]
label = "Example"
type = "pdb-name"
value = "bad.pdb"

[[rule]]
type = "pdb-guid"
value = "{33221100-5544-7766-8899-AABBCCDDEEFF}"

[[rule]]
label = "vendor list"
type = "image-hash"
value = "%s"
vps = true

[[rule]]
label = "Example"
type = 6
value = "bad.sys"
min = "1.0.0.0"
max = "2.5.0.0"

[[rule]]
type = 9
value = "drv.sys"

[[rule]]
label = "fw"
type = "original-name-version"
value = "fw.sys"
min = "1.2.3.4"
max = "65535.65535.65535.65535"

[[rule]]
label = "odd"
type = "file-name"
hex = "41"
""" % HASH

EVERY_TYPE_VALUES = {
    "Enabled": ("dword", 1),
    "DriverBlocking": ("dword", 0x80000001),
    "DrvBlockType0": ("multi_sz", ["Example;6200610064002E00730079007300", "odd;41"]),
    "DrvBlockType2": ("multi_sz", ["Example;6261642E706462"]),
    "DrvBlockType3": ("multi_sz", [";00112233445566778899AABBCCDDEEFF"]),
    "DrvBlockType5Vps": ("multi_sz", ["vendor list;" + HASH.upper()]),
    "DrvBlockType6": ("multi_sz", ["Example;6200610064002E00730079007300;00000000000001000000000005000200"]),
    "DrvBlockType9": ("multi_sz", [";6400720076002E00730079007300"]),
    "DrvBlockType:": ("multi_sz", ["fw;660077002E00730079007300;0400030002000100FFFFFFFFFFFFFFFF"]),
    "ExcludedDrivers": ("multi_sz", ["\\oem\\oldfw.sys", "\\x.sys"]),
}


class Build(ToolTest):
    def build(self, *args):
        result = elamctl("config", "build", *args)
        self.assertEqual((result.code, result.err), (0, ""), result)
        return result

    def test_values_as_the_editor_writes_them(self):
        rules = self.write("rules.toml", EVERY_TYPE)
        result = self.build(rules, "-o", self.path("config.reg"))
        self.assertIn("8 rules in 10 values, 2 exclusions", result.out)
        with open(self.path("config.reg"), "rb") as f:
            raw = f.read()
        self.assertTrue(raw.startswith("\ufeffWindows Registry Editor Version 5.00\r\n".encode("utf-16-le")))
        self.assertEqual(reg_values(self.path("config.reg")), {KEY: EVERY_TYPE_VALUES})
        # The switches first, the rule values in loading order, the exclusions last.
        order = [line.split("=")[0].strip('"') for line in reg_text(self.path("config.reg")).splitlines()
                 if line.startswith('"')]
        self.assertEqual(order, list(EVERY_TYPE_VALUES))

        # --utf8 writes the same values; --service chooses the key.
        self.build(rules, "--utf8", "--service", "OtherElam", "-o", self.path("other.reg"))
        with open(self.path("other.reg"), "rb") as f:
            self.assertTrue(f.read().startswith(b"Windows Registry Editor Version 5.00\r\n"))
        self.assertEqual(reg_values(self.path("other.reg")),
                         {KEY.replace("BootGuardSP", "OtherSP"): EVERY_TYPE_VALUES})

    def test_switches(self):
        cases = [  # (lines under [switches], Enabled, DriverBlocking; None: not written)
            ([], None, None),
            (["enabled = false"], 0, None),
            (["enabled = 7"], 7, None),
            (["driver_blocking = true"], None, 1),
            (["block_failed_code_integrity = true"], None, 0x80000001),
            (["block_failed_code_integrity = false"], None, 1),
            (["driver_blocking = false", "block_failed_code_integrity = true"], None, 0x80000000),
            (["driver_blocking = 2147483653"], None, 0x80000005),
        ]
        for lines, enabled, blocking in cases:
            with self.subTest(lines=lines):
                rules = self.write("s.toml", "[switches]\n" + "\n".join(lines) + "\n")
                self.build(rules, "--service", "BootGuardElam", "-o", self.path("s.reg"))
                values = reg_values(self.path("s.reg"))[KEY]
                self.assertEqual(values.get("Enabled"), None if enabled is None else ("dword", enabled))
                self.assertEqual(values.get("DriverBlocking"), None if blocking is None else ("dword", blocking))

    def test_the_driver_loads_and_matches_them(self):
        rules = self.write("rules.toml", EVERY_TYPE)
        self.build(rules, "-o", self.path("config.reg"))
        drivers = [
            {"name": "\\SystemRoot\\System32\\drivers\\BAD.SYS"},
            {"name": "\\SystemRoot\\System32\\drivers\\x.sys", "image_hash": HASH},
            {"name": "\\SystemRoot\\System32\\drivers\\other.sys", "image_hash": HASH},
            {"name": "\\SystemRoot\\System32\\drivers\\y.sys", "failed_code_integrity": True},
        ]
        scenario = self.write("s.json", json.dumps({"registry": ["config.reg"], "code_integrity_options": 3,
                                                    "boot_drivers": drivers}))
        result = elamctl("simulate", "--json", scenario)
        self.assertEqual(result.code, 0, result)
        self.assertEqual([i["reason"] for i in result.json()["images"]], [0, None, 5, 255])


class RoundTrip(ToolTest):
    def test_reg_to_rules_and_back(self):
        values = {
            "Enabled": "dword:00000001",
            "DriverBlocking": "dword:80000003",
            "DrvBlockType0": multi_sz("Ünïcode label;610062002E00730079007300", "x;41", ";4100"),
            "DrvBlockType0Vps": multi_sz("second value;6300"),
            "DrvBlockType3": multi_sz("short guid;00112233445566778899AABBCCDDEE"),
            "DrvBlockType2": multi_sz("ansi;FF0041"),
            "DrvBlockType6": multi_sz("empty range;6100;00000000000002000000000000000100"),
            "DrvBlockType:": multi_sz("a;6100;0000000000000100FFFFFFFFFFFF0100", "b;6100;0000000000000000FFFFFFFFFFFFFFFF"),
            "DrvBlockType:Vps": multi_sz("c;6200;0000000000000000FFFFFFFFFFFFFFFF"),
            "ExcludedDrivers": multi_sz("\\a.sys", "b c.sys"),
        }
        original = self.write("original.reg", reg_file(values))
        result = elamctl("config", "read", original, "-o", self.path("rules.toml"))
        self.assertEqual((result.code, result.err), (0, ""), result)
        self.assertEqual(rule_tuples(self.path("rules.toml")), [
            ("file-name", "ab.sys", None, None, False),
            ("file-name", "41", None, None, False),  # odd UTF-16: kept as hex
            ("file-name", "A", None, None, False),
            ("file-name", "c", None, None, True),
            ("pdb-name", "FF0041", None, None, False),
            ("pdb-guid", "00112233445566778899AABBCCDDEE", None, None, False),
            ("file-name-version", "a", "2.0.0.0", "1.0.0.0", False),
            ("original-name-version", "a", "1.0.0.0", "1.65535.65535.65535", False),
            ("original-name-version", "a", "0.0.0.0", "65535.65535.65535.65535", False),
            ("original-name-version", "b", "0.0.0.0", "65535.65535.65535.65535", True),
        ])
        parsed = rules_of(self.path("rules.toml"))
        self.assertEqual(parsed["rule"][0]["label"], "Ünïcode label")
        self.assertEqual(parsed["rule"][1]["hex"], "41")
        self.assertEqual(parsed["switches"], {"enabled": True, "driver_blocking": 3, "block_failed_code_integrity": True})
        self.assertEqual(parsed["exclusions"], ["\\a.sys", "b c.sys"])
        self.assertEqual(parsed["service"], "BootGuardElam")

        result = elamctl("config", "build", self.path("rules.toml"), "-o", self.path("again.reg"))
        self.assertEqual(result.code, 0, result)
        expected = reg_values(original)[KEY]
        self.assertEqual(reg_values(self.path("again.reg"))[KEY], {n: expected[n] for n in expected})

    def test_rules_to_reg_and_back(self):
        rules = self.write("rules.toml", EVERY_TYPE)
        self.assertEqual(elamctl("config", "build", rules, "-o", self.path("c.reg")).code, 0)
        result = elamctl("config", "read", self.path("c.reg"), "-o", self.path("back.toml"))
        self.assertEqual((result.code, result.err), (0, ""), result)
        names = {"file-name": 0, "pdb-name": 2, "pdb-guid": 3, "image-hash": 5, "file-name-version": 6,
                 "original-name": 9, "original-name-version": 10}

        def normal(rule):  # type numbers to names, and the GUID as its stored bytes
            rule = dict(rule)
            if isinstance(rule["type"], int):
                rule["type"] = [n for n, t in names.items() if t == rule["type"]][0]
            if rule["type"] == "pdb-guid":
                rule["value"] = "00112233445566778899AABBCCDDEEFF"
            if rule["type"] == "image-hash":
                rule["value"] = rule["value"].upper()
            return rule

        written = [normal(r) for r in rules_of(rules)["rule"]]
        # Every rule comes back, in the driver's loading order: by type, first value before second.
        loading_order = sorted(written, key=lambda r: (names[r["type"]], r.get("vps", False)))
        self.assertEqual(rules_of(self.path("back.toml"))["rule"], loading_order)


class ReadKey(ToolTest):
    def test_skipped_strings_are_named(self):
        reg = self.write("c.reg", reg_file({"DrvBlockType0": multi_sz("good;6100", "no separator", "x;4G", "y;6200")}))
        result = elamctl("config", "read", reg, "-o", self.path("r.toml"))
        self.assertEqual(result.code, 0, result)
        self.assertEqual(result.err.splitlines(), [
            "elamctl: warning: %s: DrvBlockType0[1]: the driver skips \"no separator\": no ';' between label and data" % reg,
            "elamctl: warning: %s: DrvBlockType0[2]: the driver skips \"x;4G\": 'G' in the data is no hex digit" % reg,
        ])
        self.assertEqual([r["label"] for r in rules_of(self.path("r.toml"))["rule"]], ["good", "y"])

    def test_which_key(self):
        one = reg_file({"DrvBlockType0": multi_sz("a;6100")})
        other = reg_file({"DrvBlockType0": multi_sz("b;6200")}, key=KEY.replace("BootGuardSP", "OtherSP"))
        both = self.write("both.reg", one + other.split("\r\n", 1)[1])
        cases = [  # (file, extra arguments, label read or error subject)
            (self.write("one.reg", one), [], "a"),
            (both, [], "several configuration keys"),
            (both, ["--service", "OtherElam"], "b"),
            (both, ["--service", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\OtherELAM"], "b"),
            (both, ["--service", "ThirdElam"], "ThirdSP"),
            (both, ["--service", "Other"], "must end in \"Elam\""),
            (self.write("none.reg", reg_file({}, key="HKEY_LOCAL_MACHINE\\SOFTWARE\\X")), [], "no configuration key"),
        ]
        for path, extra, expected in cases:
            with self.subTest(path=path, extra=extra):
                out = self.path("r.toml")
                if os.path.exists(out):
                    os.remove(out)
                result = elamctl("config", "read", path, *extra, "-o", out)
                if len(expected) == 1:
                    self.assertEqual(result.code, 0, result)
                    self.assertEqual(rules_of(out)["rule"][0]["label"], expected)
                else:
                    self.assertOneLineError(result, expected)
                    self.assertFalse(os.path.exists(out))


class Merge(ToolTest):
    def test_several_files(self):
        a = self.write("a.toml", 'service = "BootGuardElam"\nexclusions = ["\\\\a.sys"]\n[switches]\nenabled = true\n'
                                 '[[rule]]\ntype = "file-name"\nvalue = "x.sys"\n')
        b = self.write("b.toml", 'exclusions = ["\\\\b.sys"]\n[switches]\nenabled = 1\n'
                                 '[[rule]]\ntype = "file-name"\nvalue = "X.SYS"\n[[rule]]\ntype = "file-name"\nvalue = "y.sys"\n')
        reg = self.write("c.reg", reg_file({"DrvBlockType0": multi_sz("z;7A00")}))
        result = elamctl("config", "build", a, b, reg, "-o", self.path("m.reg"))
        self.assertEqual(result.code, 0, result)
        values = reg_values(self.path("m.reg"))[KEY]
        self.assertEqual(values["DrvBlockType0"][1], [";78002E00730079007300", ";58002E00530059005300",
                                                      ";79002E00730079007300", "z;7A00"])
        self.assertEqual(values["ExcludedDrivers"][1], ["\\a.sys", "\\b.sys"])

        # --dedupe drops the rule that is the same for the driver (text ignoring case).
        result = elamctl("config", "build", a, b, "--dedupe", "-o", self.path("d.reg"))
        self.assertEqual(result.code, 0, result)
        self.assertIn("1 duplicate rules dropped", result.out)
        self.assertEqual(len(reg_values(self.path("d.reg"))[KEY]["DrvBlockType0"][1]), 2)

    def test_conflicts(self):
        a = self.write("a.toml", 'service = "BootGuardElam"\n[switches]\nenabled = true\n')
        cases = [  # (second file, subject in the error)
            ('[switches]\nenabled = false\n', "Enabled"),
            ('[switches]\ndriver_blocking = 5\n', None),
            ('service = "OtherElam"\n', "two services"),
        ]
        for text, subject in cases:
            with self.subTest(text=text):
                result = elamctl("config", "build", a, self.write("b.toml", text), "-o", self.path("m.reg"))
                if subject is None:
                    self.assertEqual(result.code, 0, result)
                else:
                    self.assertOneLineError(result, subject)


class Errors(ToolTest):
    def test_bad_rules_files(self):
        rule = '[[rule]]\ntype = "file-name"\nvalue = "x.sys"\n'
        cases = [  # (rules file, place, words of the problem)
            ("a = [\n", "f.toml:", "not TOML"),
            ('service = "X"\n', "f.toml:1", "end in \"Elam\""),
            ("colour = 1\n", "f.toml:1", 'unknown key "colour"'),
            (rule + "colour = 1\n", "f.toml:4", 'unknown key "colour"'),
            ('[[rule]]\ntype = "bogus"\nvalue = "x"\n', "f.toml:2", "unknown rule type"),
            ('[[rule]]\ntype = 11\nvalue = "x"\n', "f.toml:2", "unknown rule type"),
            ('[[rule]]\nvalue = "x"\n', "f.toml:1", "needs a type"),
            ('[[rule]]\ntype = "file-name"\n', "f.toml:1", "one of value and hex"),
            (rule + 'hex = "41"\n', "f.toml:1", "one of value and hex"),
            ('[[rule]]\ntype = "image-hash"\nvalue = "0xAB"\n', "f.toml:3", "not hex"),
            ('[[rule]]\ntype = "image-hash"\nvalue = "ABC"\n', "f.toml:3", "odd number of hex digits"),
            ('[[rule]]\ntype = "file-name"\nhex = "4G"\n', "f.toml:3", "hex digits"),
            ('[[rule]]\ntype = "file-name-version"\nvalue = "x.sys"\nmin = "1.0.0.0"\n', "f.toml:1", "min and max"),
            ('[[rule]]\ntype = 10\nvalue = "x.sys"\nmin = "1.2.3"\nmax = "2.0.0.0"\n', "f.toml:4", "four parts"),
            ('[[rule]]\ntype = 10\nvalue = "x.sys"\nmin = "1.0.0.0"\nmax = "1.0.0.65536"\n', "f.toml:5", "65535"),
            (rule + 'min = "1.0.0.0"\n', "f.toml:4", "no version range"),
            (rule + 'label = "a;b"\n', "f.toml:4", "';'"),
            (rule + 'vps = "yes"\n', "f.toml:4", "true or false"),
            ('exclusions = [""]\n', "f.toml:1", "empty exclusion"),
            ('[switches]\nenabled = -1\n', "f.toml:2", "whole number"),
            ('[switches]\ndriver_blocking = 2147483648\nblock_failed_code_integrity = false\n', "f.toml:3", "bit 31"),
        ]
        for text, place, problem in cases:
            with self.subTest(text=text):
                rules = self.write("f.toml", text)
                out = self.write("out.reg", "old")
                result = elamctl("config", "build", rules, "--service", "BootGuardElam", "-o", out)
                self.assertOneLineError(result, os.path.join(self.dir, place))
                self.assertIn(problem, result.err)
                with open(out) as f:
                    self.assertEqual(f.read(), "old")
                self.assertEqual(sorted(os.listdir(self.dir)), ["f.toml", "out.reg"])

    def test_bad_files_and_arguments(self):
        rules = self.write("r.toml", '[[rule]]\ntype = "file-name"\nvalue = "x.sys"\n')
        cases = [  # (arguments, subject)
            (["config", "build", self.path("missing.toml"), "--service", "XElam", "-o", self.path("o.reg")],
             "missing.toml: cannot read"),
            (["config", "build", self.dir, "--service", "XElam", "-o", self.path("o.reg")], "is a directory"),
            (["config", "build", rules, "-o", self.path("o.reg")], "--service"),
            (["config", "build", rules, "--service", "X", "-o", self.path("o.reg")], "Elam"),
            (["config", "build", rules, "--service", "XElam", "-o", self.path("no/such/dir/o.reg")], "cannot write"),
            (["config", "read", self.path("missing.reg"), "-o", self.path("o.toml")], "missing.reg: cannot read"),
            (["config", "read", rules, "-o", self.path("o.toml")], "bad header"),
        ]
        for args, subject in cases:
            with self.subTest(args=args):
                self.assertOneLineError(elamctl(*args), subject)
        self.assertEqual(sorted(os.listdir(self.dir)), ["r.toml"])


if __name__ == "__main__":
    unittest.main()
