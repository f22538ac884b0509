"""elamctl import: the LOLDrivers samples (CSV) and App Control block rules
(XML) turned into rules files, checked against Python's own csv and XML
readers on the shipped data and on small files; the errors of bad input; and
a configuration of both real lists that a simulated boot loads and that blocks
an image by each kind of rule the imports make."""
import csv
import json
import tempfile
import os
import re
import shutil
import subprocess
import time
import unittest
import xml.etree.ElementTree as ET
from collections import Counter

from ruleset_support import LOLDRIVERS_CSV, MS_XML, reg_values, rule_tuples, rules_of
from tool_support import CONFIG_KEY, FIXTURE_DIR, ToolTest, elamctl

DRIVERS = "\\SystemRoot\\System32\\drivers\\"
HIGHEST = "65535.65535.65535.65535"
HEADER = "id,category,filename,original_filename,file_version,machine,sha256,authentihash_sha1," \
         "authentihash_sha256,company,leaf_cert_tbs_sha1,leaf_cert_tbs_sha256"


def clean_version(text):
    """a.b.c.d with each part 0 to 65535, written without leading zeros; else None."""
    if not re.fullmatch(r"\d+\.\d+\.\d+\.\d+", text) or any(int(p) > 65535 for p in text.split(".")):
        return None
    return ".".join(str(int(p)) for p in text.split("."))


def dedupe(rules):
    seen, out = set(), []
    for rule in rules:
        key = (rule[0], rule[1].upper(), rule[2], rule[3])
        if key not in seen:
            seen.add(key)
            out.append(rule)
    return out


def expected_loldrivers(path):
    rules = []
    with open(path, newline="", encoding="utf-8") as f:
        for row in csv.DictReader(f):
            if re.fullmatch(r"[0-9a-fA-F]{64}", row["authentihash_sha256"]):
                rules.append(("image-hash", row["authentihash_sha256"].upper(), None, None, False))
            if row["original_filename"]:
                version = clean_version(row["file_version"])
                if version:
                    rules.append(("original-name-version", row["original_filename"], version, version, False))
                else:
                    rules.append(("original-name", row["original_filename"], None, None, False))
    return dedupe(rules)


def expected_ms(path):
    rules = []
    for rule in ET.parse(path).getroot().find("{*}FileRules"):
        tag, a = rule.tag.split("}")[-1], rule.attrib
        if tag == "Deny" and "Hash" in a:
            if a.get("FriendlyName", "").strip().lower().endswith("hash sha256"):
                rules.append(("image-hash", a["Hash"].upper(), None, None, False))
        elif tag in ("Deny", "FileAttrib") and a.get("FileName"):
            rules.append(("original-name-version", a["FileName"], clean_version(a.get("MinimumFileVersion", "0.0.0.0")),
                          clean_version(a.get("MaximumFileVersion", HIGHEST)), False))
    return dedupe(rules)


class SmallFiles(ToolTest):
    def test_loldrivers(self):
        rows = [
            # a company with a comma, CRLF line ends, a clean version
            '1a2b3c4d-0000,malicious,a.sys,a.sys,1.00.02.0003,AMD64,,,%s,"Pinchins Co.,Ltd.",,' % ("aa" * 32),
            # the same sample again: two duplicates
            '1a2b3c4d-0001,malicious,a.sys,a.sys,1.0.2.3,AMD64,,,%s,,,' % ("AA" * 32),
            # free-text version, a trailing blank kept as it stands
            '22222222-0000,vulnerable driver,,"b.sys ",6.1.7600.16385 built by: WinDDK,,,,%s,,,' % ("bb" * 32),
            # a part above 65535, and no hash
            '33333333-0000,vulnerable driver,,c.sys,1.2.0.119230,,,,,,,',
            # nothing to make a rule from
            '44444444-0000,malicious,d.sys,,,,,,,,,',
            # a quoted field holding a line break and a quote
            '55555555-0000,malicious,"e\nf ""g"".sys",e.sys,,,,,%s,,,' % ("ee" * 32),
        ]
        path = self.write("l.csv", (HEADER + "\r\n" + "\r\n".join(rows) + "\r\n").encode())
        result = elamctl("import", "loldrivers", path, "--json", "-o", self.path("l.toml"))
        self.assertEqual((result.code, result.err), (0, ""), result)
        self.assertEqual(rule_tuples(self.path("l.toml")), [
            ("image-hash", "AA" * 32, None, None, False),
            ("original-name-version", "a.sys", "1.0.2.3", "1.0.2.3", False),
            ("image-hash", "BB" * 32, None, None, False),
            ("original-name", "b.sys ", None, None, False),
            ("original-name", "c.sys", None, None, False),
            ("image-hash", "EE" * 32, None, None, False),
            ("original-name", "e.sys", None, None, False),
        ])
        self.assertEqual([r["label"] for r in rules_of(self.path("l.toml"))["rule"]][:2], ["lol-1a2b3c4d"] * 2)
        self.assertEqual(result.json(), {
            "source": path, "format": "loldrivers", "rows": 6,
            "made": {"image-hash": 3, "original-name-version": 1, "original-name": 3}, "rules": 7,
            "duplicates": {"image-hash": 1, "original-name-version": 1},
            "skipped": {"no authentihash_sha256: no image-hash rule": 2,
                        "no original_filename: no original-name rule": 1},
            "notes": {"original-name without a range: file_version is not a clean a.b.c.d": 2,
                      "original-name without a range: no file_version": 1}})
        with open(self.path("l.toml")) as f:
            self.assertIn("# LOLDrivers 1a2b3c4d-0000, a.sys, malicious, Pinchins Co.,Ltd.\n", f.read())

    def test_ms_block_rules(self):
        xml = """<?xml version="1.0" encoding="utf-8"?>
<SiPolicy xmlns="urn:schemas-microsoft-com:sipolicy">
  <FileRules>
    <Allow ID="ID_ALLOW_ALL_1" FriendlyName="" FileName="*" />
    <Deny ID="ID_DENY_A_SHA1" FriendlyName="a.sys Hash Sha1" Hash="%s" />
    <Deny ID="ID_DENY_A_SHA256" FriendlyName="a.sys Hash Sha256 " Hash="%s" />
    <Deny ID="ID_DENY_A_SHA1_PAGE" FriendlyName="a.sys Hash Page Sha1" Hash="%s" />
    <Deny ID="ID_DENY_A_SHA256_PAGE" FriendlyName="a.sys Hash Page Sha256" Hash="%s" />
    <Deny ID="ID_DENY_B_1" FriendlyName="b.sys" Hash="%s" />
    <Deny ID="ID_DENY_A_AGAIN" FriendlyName="a.sys again Hash Sha256" Hash="%s" />
    <Deny ID="ID_DENY_C" FriendlyName="c" FileName="c.sys" MinimumFileVersion="0.0.0.0" MaximumFileVersion="3.1.65535.65535" />
    <FileAttrib ID="ID_FILEATTRIB_D" FriendlyName="d" FileName="d.sys" MinimumFileVersion="1.0.0.1" />
    <FileAttrib ID="ID_FILEATTRIB_E" FriendlyName="e" ProductName="E Product" MinimumFileVersion="0.0.0.0" />
    <FileAttrib ID="ID_FILEATTRIB_F" FriendlyName="f" FileName="f.sys" MaximumFileVersion="2.0.0.0" />
  </FileRules>
  <Signers>
    <Signer ID="ID_SIGNER_1" Name="x"><CertRoot Type="TBS" Value="00" /><FileAttribRef RuleID="ID_FILEATTRIB_D" /></Signer>
  </Signers>
</SiPolicy>
""" % ("11" * 20, "22" * 32, "33" * 20, "44" * 32, "55" * 32, "22" * 32)
        path = self.write("p.xml", xml)
        result = elamctl("import", "ms-block-rules", path, "--json", "-o", self.path("p.toml"))
        self.assertEqual((result.code, result.err), (0, ""), result)
        self.assertEqual(rule_tuples(self.path("p.toml")), [
            ("image-hash", "22" * 32, None, None, False),
            ("original-name-version", "c.sys", "0.0.0.0", "3.1.65535.65535", False),
            ("original-name-version", "d.sys", "1.0.0.1", HIGHEST, False),
            ("original-name-version", "f.sys", "0.0.0.0", "2.0.0.0", False),
        ])
        self.assertEqual(rules_of(self.path("p.toml"))["rule"][0]["label"], "ms-DENY_A_SHA256")
        summary = result.json()
        self.assertEqual((summary["rules"], summary["made"], summary["duplicates"]),
                         (4, {"image-hash": 1, "original-name-version": 3}, {"image-hash": 1}))
        self.assertEqual(list(summary["skipped"].values()), [1, 1, 1, 1, 1, 1, 1])
        self.assertEqual([k.split(":")[0] for k in summary["skipped"]], [
            "Allow rule", "Hash Sha1", "Hash Page Sha1", "Hash Page Sha256",
            "hash whose FriendlyName names no kind (Hash Sha256, Hash Sha1, Hash Page ...)", "by ProductName",
            "Signer (certificate TBS hash)"])
        self.assertEqual(len(summary["notes"]), 3)  # no minimum, no maximum, signer-scoped FileAttrib


class BadInput(ToolTest):
    def test_errors(self):
        cases = [  # (format, file name, content, subject, problem)
            ("loldrivers", "a.csv", HEADER + '\n1,m,"a.sys,,,,,,,,,\n', "a.csv:2", "not closed"),
            ("loldrivers", "b.csv", HEADER + '\n1,m,a"b.sys,,,,,,,,,\n', "b.csv:2", "malformed CSV"),
            ("loldrivers", "c.csv", HEADER + '\n1,m,a.sys,,,,,,,,,\n2,m,b.sys\n', "c.csv:3", "3 fields"),
            ("loldrivers", "d.csv", "id,original_filename,file_version\n", "d.csv:1", "authentihash_sha256"),
            ("loldrivers", "e.csv", "", "e.csv", "empty"),
            ("ms-block-rules", "a.xml", "<SiPolicy><FileRules><Deny></FileRules></SiPolicy>", "a.xml:1", "malformed XML"),
            ("ms-block-rules", "b.xml", "<?xml version='1.0'?>\n<Policy/>", "b.xml", "<SiPolicy>"),
            ("ms-block-rules", "c.xml", "<SiPolicy/>", "c.xml", "FileRules"),
            ("ms-block-rules", "d.xml", "", "d.xml", "malformed XML"),
            ("loldrivers", "missing.csv", None, "missing.csv", "cannot read"),
        ]
        for fmt, name, content, subject, problem in cases:
            with self.subTest(name=name):
                path = self.path(name) if content is None else self.write(name, content)
                out = self.write("out.toml", "old")
                result = elamctl("import", fmt, path, "-o", out)
                self.assertOneLineError(result, os.path.join(self.dir, subject))
                self.assertIn(problem, result.err)
                self.assertEqual(result.out, "")
                with open(out) as f:
                    self.assertEqual(f.read(), "old")
                if content is not None:
                    os.remove(path)
                self.assertEqual(os.listdir(self.dir), ["out.toml"])


class RealLists(ToolTest):
    """Both shipped lists: imported as Python reads them, built into one
    configuration that round-trips, lints clean and blocks in a boot."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="elamctl-lists-")
        cls.lol, cls.ms = os.path.join(cls.work, "lol.toml"), os.path.join(cls.work, "ms.toml")
        cls.config = os.path.join(cls.work, "both.reg")
        cls.seconds, cls.summaries = {}, {}
        for name, args in [("import loldrivers", ["import", "loldrivers", LOLDRIVERS_CSV, "--json", "-o", cls.lol]),
                           ("import ms-block-rules", ["import", "ms-block-rules", MS_XML, "--json", "-o", cls.ms]),
                           ("config build", ["config", "build", cls.lol, cls.ms, "--dedupe", "--service",
                                             "BootGuardElam", "-o", cls.config])]:
            start = time.monotonic()
            result = elamctl(*args)
            cls.seconds[name] = time.monotonic() - start
            if result.code != 0:
                raise AssertionError(result)
            if name.startswith("import"):
                cls.summaries[name.split()[1]] = json.loads(result.out)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, True)

    def test_loldrivers_as_python_reads_it(self):
        self.assertEqual(rule_tuples(self.lol), expected_loldrivers(LOLDRIVERS_CSV))
        summary = self.summaries["loldrivers"]
        with open(LOLDRIVERS_CSV, newline="", encoding="utf-8") as f:
            rows = list(csv.DictReader(f))
        self.assertEqual(summary["rows"], len(rows))
        self.assertEqual(summary["made"]["image-hash"], len({r["authentihash_sha256"] for r in rows} - {""}))
        self.assertEqual(summary["skipped"], {
            "no original_filename: no original-name rule": sum(1 for r in rows if not r["original_filename"]),
            "no authentihash_sha256: no image-hash rule": sum(1 for r in rows if not r["authentihash_sha256"])})
        self.assertEqual(summary["rules"] + sum(summary["duplicates"].values()),
                         sum(bool(r["authentihash_sha256"]) + bool(r["original_filename"]) for r in rows))

    def test_ms_block_rules_as_python_reads_it(self):
        self.assertEqual(rule_tuples(self.ms), expected_ms(MS_XML))
        skipped = self.summaries["ms-block-rules"]["skipped"]

        def kind(friendly_name):
            for k in ("Hash Page Sha256", "Hash Page Sha1", "Hash Sha256", "Hash Sha1"):
                if friendly_name.strip().lower().endswith(k.lower()):
                    return k
            return "no kind"

        counts = Counter(kind(e.get("FriendlyName", "")) for e in ET.parse(MS_XML).getroot().iter()
                         if e.tag.endswith("}Deny") and "Hash" in e.attrib)
        self.assertEqual({k.split(":")[0]: v for k, v in skipped.items() if k.startswith("Hash")},
                         {k: counts[k] for k in ("Hash Sha1", "Hash Page Sha1", "Hash Page Sha256")})
        self.assertEqual([v for k, v in skipped.items() if "names no kind" in k], [counts["no kind"]])

    def test_round_trip_and_lint(self):
        back = os.path.join(self.work, "back.toml")
        again = os.path.join(self.work, "again.reg")
        start = time.monotonic()
        read = elamctl("config", "read", self.config, "-o", back)
        self.seconds["config read"] = time.monotonic() - start
        self.assertEqual((read.code, read.err), (0, ""), read)
        self.assertEqual(elamctl("config", "build", back, "-o", again).code, 0)
        self.assertEqual(reg_values(again), reg_values(self.config))
        # Dedupe across the lists leaves the union, in order.
        lists = rule_tuples(self.lol) + rule_tuples(self.ms)
        self.assertEqual(sorted(rule_tuples(back)), sorted(dedupe(lists)))

        start = time.monotonic()
        lint = elamctl("lint", "--json", self.config)
        self.seconds["lint"] = time.monotonic() - start
        self.assertEqual(lint.code, 0, lint)
        self.assertEqual(lint.json()["findings"], [])
        self.assertEqual(lint.json()["rules"], len(dedupe(lists)))
        # The configuration of a few thousand rules is handled in seconds.
        self.assertLess(max(self.seconds.values()), 20, self.seconds)

    def build_sample(self, stem, version, original):
        """A driver image with the version resource given, made by llvm-rc and lld-link."""
        rc_tool = shutil.which("llvm-rc-16") or shutil.which("llvm-rc")
        linker = shutil.which("lld-link-16") or shutil.which("lld-link")
        obj = os.path.join(FIXTURE_DIR, "driver_x64.obj")
        if not rc_tool or not linker or not os.path.exists(obj):
            self.skipTest("llvm-rc, lld-link or the fixture object missing")
        commas = version.replace(".", ",")
        rc = self.write(stem + ".rc", """1 VERSIONINFO
FILEVERSION %s
PRODUCTVERSION %s
FILEOS 0x40004
FILETYPE 3
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "040904b0"
    BEGIN
      VALUE "FileVersion", "%s"
      VALUE "OriginalFilename", "%s"
    END
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x0409, 1200
  END
END
""" % (commas, commas, version, original))
        res, image = self.path(stem + ".res"), self.path(stem + ".sys")
        subprocess.run([rc_tool, "/fo", res, "--", rc], check=True, capture_output=True)
        subprocess.run([linker, "/nologo", "/nodefaultlib", "/machine:x64", "/driver", "/subsystem:native",
                        "/entry:DriverEntry", "/out:" + image, obj, res], check=True, capture_output=True)
        return image

    def test_boot_blocks_by_each_kind(self):
        lol = rules_of(self.lol)["rule"]
        ms = rules_of(self.ms)["rule"]
        names = [r for r in lol + ms if r["type"].startswith("original-name")]

        def covered(name, version):
            v = tuple(int(p) for p in version.split("."))
            for r in names:
                if r["value"].lower() != name.lower():
                    continue
                if r["type"] == "original-name":
                    return True
                low, high = (tuple(int(p) for p in r[k].split(".")) for k in ("min", "max"))
                if low <= v <= high:
                    return True
            return False

        def plain(r):
            return r["value"].isascii() and r["value"].strip() == r["value"] and '"' not in r["value"]

        # A FileAttrib range with room above it, and a version just above it that nothing covers.
        fileattrib = next(r for r in ms if r["type"] == "original-name-version" and plain(r)
                          and r["min"] != "0.0.0.0" and r["max"] != HIGHEST
                          and int(r["max"].split(".")[3]) < 65535
                          and not covered(r["value"], r["max"].rsplit(".", 1)[0] + ".%d" % (int(r["max"].split(".")[3]) + 1)))
        above = fileattrib["max"].rsplit(".", 1)[0] + ".%d" % (int(fileattrib["max"].split(".")[3]) + 1)
        exact = next(r for r in lol if r["type"] == "original-name-version" and plain(r)
                     and not any(n["type"] == "original-name" and n["value"].lower() == r["value"].lower() for n in names))
        anyversion = next(r for r in lol if r["type"] == "original-name" and plain(r))
        lol_hash = next(r for r in lol if r["type"] == "image-hash")
        ms_hash = next(r for r in ms if r["type"] == "image-hash"
                       and r["value"] not in {x["value"] for x in lol if x["type"] == "image-hash"})

        drivers = [
            ({"name": DRIVERS + "lolhash.sys", "image_hash": lol_hash["value"]}, 5),
            ({"name": DRIVERS + "mshash.sys", "image_hash": ms_hash["value"]}, 5),
            ({"image": self.build_sample("attrib_in", fileattrib["min"], fileattrib["value"])}, 10),
            ({"image": self.build_sample("attrib_out", above, fileattrib["value"])}, None),
            ({"image": self.build_sample("exact", exact["min"], exact["value"])}, 10),
            ({"image": self.build_sample("anyversion", "1.2.3.4", anyversion["value"])}, 9),
            ({"name": DRIVERS + "clean.sys", "image_hash": "00" * 32}, None),
        ]
        scenario = self.write("boot.json", json.dumps({
            "registry": [self.config], "boot_drivers": [d for d, _ in drivers]}))
        start = time.monotonic()
        result = elamctl("simulate", "--json", scenario)
        elapsed = time.monotonic() - start
        self.assertEqual(result.code, 0, result)
        out = result.json()
        self.assertEqual([i["reason"] for i in out["images"]], [reason for _, reason in drivers],
                         (fileattrib, exact, anyversion))
        self.assertEqual(out["leaked_pool_blocks"], 0)
        self.assertLess(elapsed, 20)


if __name__ == "__main__":
    unittest.main()
