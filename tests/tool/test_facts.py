"""elamctl facts: the driver's readers against pefile, the Authenticode hash
and signer against osslsigncode and openssl, and the errors of bad files."""
import glob
import hashlib
import os
import re
import shutil
import struct
import subprocess
import unittest

from tool_support import BINARY_DIR, ToolTest, demo, elamctl, fixture

try:
    import pefile
except ImportError:  # the comparison with pefile is skipped then
    pefile = None

FIXTURES = ["fx_plain.sys", "fx_version.sys", "fx_twolang.sys", "fx_named.sys", "fx_debug.sys", "fx_pe32.dll"]
SAMPLES = ["netcore.sys", "oldfw.sys", "cheat.sys", "tracer.sys"]


def pefile_facts(path):
    """What the driver's readers read, as pefile reads it: the first version
    resource's file version, OriginalFilename of the first string table of the
    first StringFileInfo, and the first debug entry when it is CodeView RSDS."""
    pe = pefile.PE(path)
    facts = {"file_version": None, "original_filename": None, "pdb_name": None, "pdb_guid": None}
    fixed = getattr(pe, "VS_FIXEDFILEINFO", None)
    if fixed:
        ms, ls = fixed[0].FileVersionMS, fixed[0].FileVersionLS
        facts["file_version"] = "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
        for child in getattr(pe, "FileInfo", [[]])[0]:
            if child.Key == b"StringFileInfo":
                tables = getattr(child, "StringTable", [])
                if tables and b"OriginalFilename" in tables[0].entries:
                    facts["original_filename"] = tables[0].entries[b"OriginalFilename"].decode()
                break
    entries = getattr(pe, "DIRECTORY_ENTRY_DEBUG", [])
    if entries and entries[0].struct.Type == 2 and entries[0].entry is not None \
            and entries[0].entry.CvSignature == b"RSDS":
        cv = entries[0].entry
        facts["pdb_guid"] = (struct.pack("<IHHBB", cv.Signature_Data1, cv.Signature_Data2, cv.Signature_Data3,
                                         cv.Signature_Data4, cv.Signature_Data5) + cv.Signature_Data6).hex()
        path_field = cv.PdbFileName.rstrip(b"\0")
        facts["pdb_name"] = re.split(rb"[\\/]", path_field)[-1].decode() if path_field else None
    return facts


class FactsAgreeWithPefile(ToolTest):
    def test_versions_names_and_debug_records(self):
        if pefile is None:
            self.skipTest("python3-pefile is not installed")
        images = [fixture(f) for f in FIXTURES] + [demo(s) for s in SAMPLES]
        self.require(*images)
        result = elamctl("facts", "--json", *images)
        self.assertEqual(result.code, 0, result)
        reported = result.json()
        self.assertEqual([r["file"] for r in reported], images)
        for image, facts in zip(images, reported):
            with self.subTest(image=os.path.basename(image)):
                expected = pefile_facts(image)
                for key, value in expected.items():
                    self.assertEqual(facts[key], value, key)
        # The fixtures cover absence and presence of every fact.
        by_name = {os.path.basename(r["file"]): r for r in reported}
        self.assertIsNone(by_name["fx_plain.sys"]["file_version"])
        self.assertIsNone(by_name["fx_plain.sys"]["pdb_guid"])
        self.assertEqual(by_name["fx_debug.sys"]["pdb_name"], "fx_debug.pdb")


def openssl(*args):
    return subprocess.run(["openssl", *args], capture_output=True, check=True).stdout


def tbs_of(der):
    """The to-be-signed part of a DER certificate: its first element."""
    assert der[0] == 0x30 and der[4] == 0x30 and der[1] == 0x82 and der[5] == 0x82
    length = struct.unpack(">H", der[6:8])[0]
    return der[4:8 + length]


class AuthenticodeAgreesWithOsslsigncode(ToolTest):
    @classmethod
    def setUpClass(cls):
        if not shutil.which("osslsigncode") or not shutil.which("openssl"):
            raise unittest.SkipTest("osslsigncode or openssl missing")

    def make_certificate(self):
        key, cert = self.path("key.pem"), self.path("cert.pem")
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert, "-days", "2",
                "-subj", "/C=DE/O=Throwaway Tests/CN=elamctl test signer",
                "-addext", "extendedKeyUsage=codeSigning")
        return key, cert

    def osslsigncode_digests(self, signed, cert):
        out = subprocess.run(["osslsigncode", "verify", "-in", signed, "-CAfile", cert],
                             capture_output=True, text=True).stdout
        current = re.search(r"Current message digest\s*:\s*([0-9A-Fa-f]+)", out)
        calculated = re.search(r"Calculated message digest\s*:\s*([0-9A-Fa-f]+)", out)
        self.assertTrue(current and calculated, out)
        return current.group(1).lower(), calculated.group(1).lower()

    def test_image_hash_and_signer(self):
        # (image, digest, bytes appended after the image): PE32+ and PE32, both
        # digests, and a file whose length is no multiple of 8, which signing pads.
        cases = [
            ("fx_version.sys", "sha256", b""),
            ("fx_debug.sys", "sha1", b""),
            ("fx_pe32.dll", "sha256", b""),
            ("fx_version.sys", "sha256", b"odd"),
            ("fx_pe32.dll", "sha1", b"overlay data!"),
        ]
        self.require(*[fixture(c[0]) for c in cases])
        key, cert = self.make_certificate()
        der = openssl("x509", "-in", cert, "-outform", "DER")
        subject = openssl("x509", "-in", cert, "-noout", "-subject", "-nameopt", "RFC2253").decode()
        subject = subject.strip().split("=", 1)[1]
        for i, (image, digest, extra) in enumerate(cases):
            with self.subTest(image=image, digest=digest, extra=extra):
                with open(fixture(image), "rb") as f:
                    unsigned = self.write("unsigned%d.bin" % i, f.read() + extra)
                signed = self.path("signed%d.bin" % i)
                subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-h", digest,
                                "-in", unsigned, "-out", signed], capture_output=True, check=True)
                current, calculated = self.osslsigncode_digests(signed, cert)
                self.assertEqual(current, calculated)

                result = elamctl("facts", "--json", unsigned, signed)
                self.assertEqual(result.code, 0, result)
                before, after = result.json()
                key_name = "authenticode_" + digest
                self.assertEqual(before[key_name], current, "hash of the unsigned file")
                self.assertEqual(after[key_name], current, "hash of the signed file")
                self.assertEqual(before["authenticode_sha256"], after["authenticode_sha256"])
                self.assertEqual(before["authenticode_sha1"], after["authenticode_sha1"])
                self.assertIsNone(before["signer"])
                self.assertEqual(after["signer"], {
                    "subject": subject,
                    "thumbprint_sha1": hashlib.sha1(der).hexdigest(),
                    "thumbprint_sha256": hashlib.sha256(der).hexdigest(),
                    "tbs_sha1": hashlib.sha1(tbs_of(der)).hexdigest(),
                    "tbs_sha256": hashlib.sha256(tbs_of(der)).hexdigest(),
                })

    def test_signed_driver_image_if_built(self):
        images = glob.glob(os.path.join(BINARY_DIR, "winbuild", "**", "*.sys"), recursive=True)
        signed = [i for i in images if "signed" in os.path.basename(i).lower() or "Elam" in os.path.basename(i)]
        if not signed:
            self.skipTest("no signed driver image in this build")
        for image in signed:
            out = subprocess.run(["osslsigncode", "verify", "-in", image], capture_output=True, text=True).stdout
            found = re.search(r"Current message digest\s*:\s*([0-9A-Fa-f]+)", out)
            algorithm = re.search(r"Message digest algorithm\s*:\s*(SHA\d+)", out)
            if not found or not algorithm:
                continue
            facts = elamctl("facts", "--json", image).json()[0]
            self.assertEqual(facts["authenticode_" + algorithm.group(1).lower()], found.group(1).lower(), image)
            self.assertIsNotNone(facts["signer"], image)


class FactsErrors(ToolTest):
    def with_certificate_entry(self, pe, offset, size):
        """A copy of a PE with its certificate-table entry set to offset and size."""
        data = bytearray(pe)
        nt = struct.unpack_from("<I", data, 0x3C)[0]
        magic = struct.unpack_from("<H", data, nt + 24)[0]
        entry = nt + 24 + (112 if magic == 0x20B else 96) + 4 * 8
        struct.pack_into("<II", data, entry, offset, size)
        return bytes(data)

    def with_size_of_image(self, pe, size):
        data = bytearray(pe)
        nt = struct.unpack_from("<I", data, 0x3C)[0]
        struct.pack_into("<I", data, nt + 24 + 56, size)
        return bytes(data)

    def test_bad_files_are_named_and_the_others_still_reported(self):
        self.require(fixture("fx_version.sys"))
        good = fixture("fx_version.sys")
        with open(good, "rb") as f:
            pe = f.read()
        cases = [  # (file, what the error says)
            (self.write("notes.txt", "not a PE image\n"), "not a PE image"),
            (self.path("missing.sys"), "cannot read"),
            (self.dir, "is a directory"),
            (self.write("empty.sys", b""), "not a PE image"),
            (self.write("headers.sys", pe[:0x40]), "not a PE image"),
            (self.write("overlap.sys", self.with_certificate_entry(pe, 0x40, len(pe) - 0x40)),
             "overlaps the headers"),
            (self.write("huge.sys", self.with_size_of_image(pe, 0x40000000)), "cannot be mapped"),
            (self.write("badcert.sys", self.with_certificate_entry(pe, len(pe) - 8, 64)), "certificate table"),
        ]
        for as_json in (False, True):
            args = ["facts"] + (["--json"] if as_json else []) + [good] + [c[0] for c in cases]
            result = elamctl(*args)
            self.assertEqual(result.code, 1, result)
            lines = result.err.splitlines()
            self.assertEqual(len(lines), len(cases), result)
            for line, (path, problem) in zip(lines, cases):
                self.assertTrue(line.startswith("elamctl: %s: " % path), line)
                self.assertIn(problem, line)
            if as_json:
                reported = result.json()
                self.assertEqual([r["file"] for r in reported], [good] + [c[0] for c in cases])
                self.assertEqual(reported[0]["file_version"], "1.2.3.4")
                self.assertNotIn("error", reported[0])
                for r in reported[1:]:
                    self.assertIn("error", r)
                for r in reported[1:-2]:
                    self.assertIsNone(r["authenticode_sha256"])
                # A PE too large to map still has its hash, and none of the
                # facts read from the mapped image.
                self.assertRegex(reported[-2]["authenticode_sha256"], "^[0-9a-f]{64}$")
                self.assertIsNone(reported[-2]["file_version"])
                # The PE whose certificate-table entry points nowhere keeps the
                # driver's facts, and is hashed as unsigned: as the original,
                # since the entry itself is left out of the hash.
                self.assertEqual(reported[-1]["file_version"], "1.2.3.4")
                self.assertEqual(reported[-1]["authenticode_sha256"], reported[0]["authenticode_sha256"])
                self.assertFalse(reported[-1]["signed"])
            else:
                self.assertIn("1.2.3.4", result.out)


if __name__ == "__main__":
    unittest.main()
