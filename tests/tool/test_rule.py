"""elamctl rule: the rule text of every type, the values it refuses, rules from
a file's facts, and rules that the driver itself loads and matches."""
import json
import os
import unittest

from tool_support import ToolTest, elamctl, fixture, multi_sz, reg_file

GUID_HEX = "00112233445566778899aabbccddeeff"
HASH_HEX = "0f" * 32


class RuleText(ToolTest):
    def test_each_type(self):
        cases = [  # (arguments, printed rule)
            (["file-name", "bad.sys", "--label", "Example"], "Example;6200610064002E00730079007300"),
            (["0", "bad.sys", "--label", "Example"], "Example;6200610064002E00730079007300"),
            (["digest32", HASH_HEX], ";" + HASH_HEX.upper()),
            (["pdb-name", "bad.pdb", "--label", "Example"], "Example;6261642E706462"),
            (["pdb-guid", GUID_HEX], ";00112233445566778899AABBCCDDEEFF"),
            (["3", "{33221100-5544-7766-8899-AABBCCDDEEFF}"], ";00112233445566778899AABBCCDDEEFF"),
            (["thumbprint", "aB"], ";AB"),
            (["image-hash", HASH_HEX, "--label", "x y"], "x y;" + HASH_HEX.upper()),
            (["file-name-version", "bad.sys", "--label", "Example", "--min", "1.0.0.0", "--max", "2.5.0.0"],
             "Example;6200610064002E00730079007300;00000000000001000000000005000200"),
            (["pdb-name-version", "x.pdb", "--min", "1.2.3.4", "--max", "1.2.3.4"],
             ";782E706462;04000300020001000400030002000100"),
            (["thumbprint-version", "aabb", "--min", "0.0.0.0", "--max", "65535.65535.65535.65535"],
             ";AABB;0000000000000000FFFFFFFFFFFFFFFF"),
            (["9", "drv.sys"], ";6400720076002E00730079007300"),
            (["original-name", "\u00e9\U0001D4B3.sys"], ";E90035D8B3DC2E00730079007300"),
            (["original-name-version", "a", "--min", "0.0.0.1", "--max", "0.0.1.0"],
             ";6100;01000000000000000000010000000000"),
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                result = elamctl("rule", *args)
                self.assertEqual((result.code, result.out, result.err), (0, expected + "\n", ""))

    def test_refused_values(self):
        cases = [  # (arguments, subject named in the error)
            (["11", "x"], "11"),
            (["file_name", "x"], "file_name"),
            (["file-name", ""], "file-name"),
            (["digest32", "00" * 31], "32 bytes"),
            (["pdb-guid", "00" * 15], "16 bytes"),
            (["pdb-guid", "00" * 17], "16 bytes"),
            (["thumbprint", "abc"], "odd number of hex digits"),
            (["thumbprint", "zz"], "not hex"),
            (["image-hash", "0xAB"], "not hex"),
            (["image-hash", "AB CD"], "not hex"),
            (["file-name", "x.sys", "--label", "a;b"], "a;b"),
            (["file-name", r"drivers\x.sys"], "never matches"),
            (["pdb-name", "out/x.pdb"], "never matches"),
            (["file-name-version", "x.sys"], "--min and --max"),
            (["file-name", "x.sys", "--min", "1.0.0.0", "--max", "2.0.0.0"], "no version range"),
            (["file-name-version", "x.sys", "--min", "1.0.0.0"], "--min"),
            (["file-name-version", "x.sys", "--min", "2.0.0.0", "--max", "1.9.9.9"], "above --max"),
            (["file-name-version", "x.sys", "--min", "1.2.3", "--max", "2.0.0.0"], "1.2.3"),
            (["file-name-version", "x.sys", "--min", "1.2.3.4.5", "--max", "2.0.0.0"], "1.2.3.4.5"),
            (["file-name-version", "x.sys", "--min", "1.2.3.65536", "--max", "2.0.0.0"], "65535"),
            (["file-name-version", "x.sys", "--min", "1..2.3", "--max", "2.0.0.0"], "1..2.3"),
            (["file-name-version", "x.sys", "--min", "a.b.c.d", "--max", "2.0.0.0"], "a.b.c.d"),
            ([], "TYPE"),
        ]
        for args, subject in cases:
            with self.subTest(args=args):
                result = elamctl("rule", *args)
                self.assertOneLineError(result, subject)
                self.assertEqual(result.out, "")


class RulesFromFacts(ToolTest):
    def rules_from(self, image, *extra):
        result = elamctl("rule", "--from", image, *extra)
        self.assertEqual(result.code, 0, result)
        return dict(line.split("\t") for line in result.out.splitlines())

    def test_every_type_the_facts_allow(self):
        self.require(fixture("fx_debug.sys"), fixture("fx_plain.sys"))
        facts = elamctl("facts", "--json", fixture("fx_debug.sys")).json()[0]
        rules = self.rules_from(fixture("fx_debug.sys"), "--label", "fx")
        version = ["--min", "4.0.0.1", "--max", "4.0.0.1"]
        expected = {
            "file-name": ["fx_debug.sys"],
            "pdb-name": ["fx_debug.pdb"],
            "pdb-guid": [facts["pdb_guid"]],
            "image-hash": [facts["authenticode_sha256"]],
            "file-name-version": ["fx_debug.sys"] + version,
            "pdb-name-version": ["fx_debug.pdb"] + version,
            "original-name": ["fxdebug.sys"],
            "original-name-version": ["fxdebug.sys"] + version,
        }
        self.assertEqual(sorted(rules), sorted(expected))
        for name, args in expected.items():
            self.assertEqual(rules[name], elamctl("rule", name, args[0], "--label", "fx", *args[1:]).out.strip())

        # A given range replaces the file's own version; the default label is the file name.
        ranged = self.rules_from(fixture("fx_debug.sys"), "--min", "1.0.0.0", "--max", "9.0.0.0")
        self.assertTrue(ranged["original-name-version"].startswith("fx_debug.sys;"))
        self.assertTrue(ranged["original-name-version"].endswith(";00000000000001000000000000000900"))

        # No version, no debug record: no range rules, no PDB rules.
        self.assertEqual(sorted(self.rules_from(fixture("fx_plain.sys"))), ["file-name", "image-hash"])

    def test_not_a_pe_image(self):
        bad = self.write("x.sys", "text")
        result = elamctl("rule", "--from", bad)
        self.assertOneLineError(result, bad)
        self.assertEqual(result.out, "")


class RulesTheDriverMatches(ToolTest):
    """Each rule that elamctl writes, loaded by the driver in a simulated boot
    over a real image, blocks it with its own type as the reason."""

    THUMBPRINT = "a1" * 20

    def boot(self, value_name, rule, thumbprint=None):
        reg = self.write("rules.reg", reg_file({value_name: multi_sz(rule)}))
        driver = {"image": fixture("fx_debug.sys"), "thumbprint": thumbprint}
        scenario = self.write("boot.json", json.dumps({"registry": [reg], "boot_drivers": [driver]}))
        result = elamctl("simulate", "--json", scenario)
        self.assertEqual(result.code, 0, result)
        return result.json()["images"][0]

    def test_rules_of_every_type(self):
        self.require(fixture("fx_debug.sys"))
        facts = elamctl("facts", "--json", fixture("fx_debug.sys")).json()[0]
        in_range = ["--min", "4.0.0.0", "--max", "4.0.0.1"]
        cases = [  # (type, value, extra arguments, expected reason)
            (0, "FX_DEBUG.SYS", [], 0),
            (1, facts["authenticode_sha256"], [], None),  # no step consults digest32
            (2, "fx_debug.pdb", [], 2),
            (3, facts["pdb_guid"], [], 3),
            (4, self.THUMBPRINT, [], 4),
            (5, facts["authenticode_sha256"], [], 5),
            (6, "fx_debug.sys", in_range, 6),
            (6, "fx_debug.sys", ["--min", "4.0.0.2", "--max", "5.0.0.0"], None),
            (7, "FX_debug.pdb", in_range, 7),
            (8, self.THUMBPRINT, in_range, 8),
            (9, "fxdebug.sys", [], 9),
            (10, "fxdebug.sys", in_range, 10),
            (10, "fxdebug.sys", ["--min", "0.0.0.0", "--max", "4.0.0.0"], None),
        ]
        for number, value, extra, reason in cases:
            with self.subTest(type=number, extra=extra):
                rule = elamctl("rule", str(number), value, "--label", "t", *extra)
                self.assertEqual(rule.code, 0, rule)
                value_name = "DrvBlockType" + chr(0x30 + number)
                image = self.boot(value_name, rule.out.strip(), self.THUMBPRINT)
                self.assertEqual(image["reason"], reason, rule.out)
                self.assertEqual(image["classification"], "unknown" if reason is None else "known_bad")


if __name__ == "__main__":
    unittest.main()
