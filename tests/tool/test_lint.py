"""elamctl lint: every kind of problem in a rules file and in a .reg (where the
driver's own loader decides which strings it skips), nothing in clean ones,
the JSON form and the exit status."""
import os
import unittest

from tool_support import ToolTest, demo, elamctl, multi_sz, reg_file

# (rule lines, kind of the finding or None); each becomes one [[rule]].
RULES = [
    ('type = "pdb-guid"\nvalue = "00112233445566778899AABBCCDDEE"', "never-matches"),
    ('type = "digest32"\nvalue = "%s"' % ("00" * 31), "never-matches"),
    ('type = "digest32"\nvalue = "%s"' % ("00" * 32), "never-matches"),  # no step consults them
    ('type = "file-name"\nhex = "410042"', "never-matches"),  # UTF-16 of odd length
    ('type = "file-name"\nvalue = \'drivers\\x.sys\'', "never-matches"),
    ('type = "pdb-name-version"\nvalue = "out/x.pdb"\nmin = "0.0.0.0"\nmax = "1.0.0.0"', "never-matches"),
    ('type = "image-hash"\nvalue = "%s"' % ("ab" * 31), "never-matches"),
    ('type = "file-name-version"\nvalue = "a.sys"\nmin = "2.0.0.0"\nmax = "1.0.0.0"', "empty-range"),
    ('type = "original-name"\nvalue = "evil.sys"', None),
    ('type = "original-name"\nvalue = "EVIL.SYS"\nvps = true', "duplicate"),
    ('type = "original-name-version"\nvalue = "evil.sys"\nmin = "1.0.0.0"\nmax = "1.0.0.0"', None),
    ('type = "file-name"\nvalue = "NTFS.sys"', "boot-critical"),
    ('type = "original-name-version"\nvalue = "disk.sys"\nmin = "1.0.0.0"\nmax = "2.0.0.0"', "boot-critical"),
    ('type = "pdb-name"\nvalue = "storport.pdb"', "boot-critical"),
    ('type = "pdb-guid"\nvalue = "%s"' % ("00" * 16), "all-zero-guid"),
    ('type = "image-hash"\nvalue = "%s"' % ("ab" * 32), None),
    ('type = "thumbprint"\nvalue = "%s"' % ("cd" * 20), None),
]


def rules_file(rules, head):
    """The text and the line of each [[rule]]."""
    text, lines = head, []
    for body, _ in rules:
        text += "\n"
        lines.append(text.count("\n") + 1)
        text += "[[rule]]\n" + body + "\n"
    return text, lines


class LintRulesFile(ToolTest):
    HEAD = ('exclusions = [".sys", \'\\oem\\ok.sys\', "a.sys", "sys", "vendor.sys"]\n'
            '[switches]\nenabled = false\n')

    def test_every_kind(self):
        text, lines = rules_file(RULES, self.HEAD)
        path = self.write("dirty.toml", text)
        result = elamctl("lint", "--json", path)
        self.assertEqual(result.code, 3, result)
        out = result.json()
        found = sorted((f["line"], f["kind"]) for f in out["findings"])
        expected = [(line, kind) for line, (_, kind) in zip(lines, RULES) if kind]
        expected += [(1, "broad-exclusion")] * 3 + [(3, "switched-off")]
        self.assertEqual(found, sorted(expected))
        self.assertEqual(out["rules"], len(RULES))
        self.assertTrue(all(f["place"] == "%s:%d" % (path, f["line"]) for f in out["findings"]))
        messages = {f["line"]: f["message"] for f in out["findings"]}
        self.assertIn("the same rule as %s:%d" % (path, lines[8]), messages[lines[9]])
        self.assertIn("ntfs.sys", messages[lines[11]])
        self.assertIn("16 bytes", messages[lines[0]])

        # The text form: one line a finding, then the count.
        text_result = elamctl("lint", path)
        self.assertEqual(text_result.code, 3)
        self.assertEqual(len(text_result.out.splitlines()), len(expected) + 1)
        self.assertTrue(text_result.out.splitlines()[-1].startswith("%d findings in %d rules" % (len(expected), len(RULES))))

    def test_another_boot_critical_list(self):
        text, lines = rules_file([RULES[8], RULES[11]], "")
        path = self.write("r.toml", text)
        listing = self.write("list.txt", "# drivers this test needs\nEvil.sys  # trailing comment\n")
        result = elamctl("lint", "--json", "--boot-critical", listing, path)
        self.assertEqual(result.code, 3, result)
        self.assertEqual([(f["line"], f["kind"]) for f in result.json()["findings"]], [(lines[0], "boot-critical")])
        self.assertOneLineError(elamctl("lint", "--boot-critical", self.write("empty.txt", "# none\n"), path), "empty.txt")

    def test_clean(self):
        text, _ = rules_file([r for r in RULES if r[1] is None], 'exclusions = ["\\\\oem\\\\a.sys"]\n[switches]\n'
                                                                   'enabled = true\ndriver_blocking = 1\n')
        result = elamctl("lint", self.write("clean.toml", text))
        self.assertEqual((result.code, result.err), (0, ""), result)
        self.assertTrue(result.out.startswith("0 findings in 4 rules and 1 exclusions"), result)

    def test_findings_across_files(self):
        a = self.write("a.toml", '[[rule]]\ntype = "file-name"\nvalue = "x.sys"\n')
        b = self.write("b.toml", '\n[[rule]]\ntype = "file-name"\nvalue = "X.sys"\n')
        result = elamctl("lint", "--json", a, b)
        self.assertEqual(result.code, 3, result)
        self.assertEqual([(f["place"], f["kind"]) for f in result.json()["findings"]], [(b + ":2", "duplicate")])


class LintReg(ToolTest):
    RANGE = "00000000000001000000000005000200"
    VALUES = {  # value name: (data, {string index: kind})
        "Enabled": ('"1"', {None: "wrong-type"}),
        "DrvBlockType0": (multi_sz("ok;6100", "no separator", "x;", "x;4", "x;4G", "x;41 2", "x;0x41",
                                   "x;41;0000000000000100", "x;41", ";aB00"),
                          {1: "skipped", 2: "skipped", 3: "skipped", 4: "skipped", 5: "skipped", 6: "skipped",
                           7: "skipped", 8: "never-matches"}),
        "DrvBlockType6": (multi_sz("x;6100", "x;6100;", "x;;" + RANGE, "x;6100;" + RANGE[:30],
                                   "x;6100;" + RANGE + "00", "x;6100;" + RANGE[:31] + "G", "ok;6100;" + RANGE,
                                   "down;6100;00000000000002000000000000000100"),
                          {0: "skipped", 1: "skipped", 2: "skipped", 3: "skipped", 4: "skipped", 5: "skipped",
                           7: "empty-range"}),
        "DrvBlockType5": ('"%s"' % ("ab" * 32), {None: "wrong-type"}),
        "DrvBlockType11": (multi_sz("x;" + "ab" * 32), {None: "unknown-value"}),
        "ExcludedDrivers": (multi_sz("\\oem\\a.sys", ".sys"), {1: "broad-exclusion"}),
    }

    def test_every_kind(self):
        path = self.write("dirty.reg", reg_file({name: data for name, (data, _) in self.VALUES.items()}))
        result = elamctl("lint", "--json", path)
        self.assertEqual(result.code, 3, result)
        found = sorted((f["value"], -1 if f["index"] is None else f["index"], f["kind"])
                       for f in result.json()["findings"])
        expected = sorted((name, -1 if i is None else i, kind)
                          for name, (_, kinds) in self.VALUES.items() for i, kind in kinds.items())
        self.assertEqual(found, expected)
        messages = {(f["value"], f["index"]): f["message"] for f in result.json()["findings"]}
        self.assertIn("a further ';'", messages[("DrvBlockType0", 7)])
        self.assertIn("no second ';'", messages[("DrvBlockType6", 0)])
        self.assertIn("30 characters", messages[("DrvBlockType6", 3)])
        # What loaded: the good strings, the odd-length one and the empty range (the driver checks neither).
        self.assertEqual(result.json()["rules"], 5)

    def test_clean(self):
        for path in [demo("demo.reg"), demo("demo-build.reg")]:
            self.require(path)
            with self.subTest(path=path):
                result = elamctl("lint", path)
                self.assertEqual((result.code, result.err), (0, ""), result)
                self.assertTrue(result.out.startswith("0 findings"), result)

    def test_bad_input(self):
        self.assertOneLineError(elamctl("lint", self.path("missing.reg")), "missing.reg: cannot read")
        self.assertOneLineError(elamctl("lint", self.write("bad.reg", "Windows Registry Editor Version 5.00\r\n"
                                                                       "[HKEY_LOCAL_MACHINE\\X\r\n")), "bad.reg")
        self.assertOneLineError(elamctl("lint", self.write("bad.toml", "[[rule]\n")), "bad.toml:1")


if __name__ == "__main__":
    unittest.main()
