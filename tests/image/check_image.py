#!/usr/bin/env python3
"""Checks of the signed Windows driver image, read with pefile.

    check_image.py --image BootGuardElam.sys --def ntoskrnl.def \
        --signer signer.pem --ca ca.pem --osslsigncode PATH --version 1.0.0.0 \
        [Headers|Imports|LoadConfig|Resources|Signature ...]

Registered with ctest by winbuild/CMakeLists.txt, one test per group.
"""

import argparse
import base64
import hashlib
import os
import re
import struct
import subprocess
import sys
import unittest

try:
    import pefile
except ImportError:
    sys.exit("check_image.py needs pefile: apt-get install python3-pefile "
             "(and run it with /usr/bin/python3)")

ARGS = None
_PE = None

IMAGE_FILE_MACHINE_AMD64 = 0x8664
PE32_PLUS = 0x20B
IMAGE_SUBSYSTEM_NATIVE = 1
REQUIRED_DLL_CHARACTERISTICS = {
    "HIGH_ENTROPY_VA": 0x0020,
    "DYNAMIC_BASE": 0x0040,
    "FORCE_INTEGRITY": 0x0080,
    "NX_COMPAT": 0x0100,
    "GUARD_CF": 0x4000,
}
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000
IMAGE_GUARD_CF_INSTRUMENTED = 0x100
IMAGE_GUARD_CF_FUNCTION_TABLE_PRESENT = 0x400
DEFAULT_SECURITY_COOKIE = 0x00002B992DDFA232

CALG_SHA_256 = 0x800C
CALG_SHA_384 = 0x800D
ELAM_EKU = "1.3.6.1.4.1.311.61.4.1"
# What winbuild/CMakeLists.txt lists in the certificate information: the
# signing certificate's SHA-256 thumbprint for any use, its SHA-384 one for
# the early-launch EKU.
CERTINFO_ENTRIES = [("sha256", ""), ("sha384", ELAM_EKU)]

VERSION_STRINGS = ["CompanyName", "FileDescription", "FileVersion", "InternalName",
                   "LegalCopyright", "OriginalFilename", "ProductId", "ProductName",
                   "ProductVersion"]

# DER encodings of the digest algorithm identifiers in a signature.
OID_SHA256 = bytes.fromhex("0609608648016503040201")
OID_SHA1 = bytes.fromhex("06052b0e03021a")


def pe():
    global _PE
    if _PE is None:
        _PE = pefile.PE(ARGS.image)
    return _PE


def image_bytes():
    with open(ARGS.image, "rb") as f:
        return f.read()


def section_at(rva):
    for section in pe().sections:
        if section.VirtualAddress <= rva < section.VirtualAddress + max(
                section.Misc_VirtualSize, section.SizeOfRawData):
            return section
    return None


def is_executable(rva):
    section = section_at(rva)
    return section is not None and bool(section.Characteristics & IMAGE_SCN_MEM_EXECUTE)


def va_to_rva(va):
    return va - pe().OPTIONAL_HEADER.ImageBase


def relocated_rvas():
    return {entry.rva for block in getattr(pe(), "DIRECTORY_ENTRY_BASERELOC", [])
            for entry in block.entries if entry.type != 0}


def signer_der():
    with open(ARGS.signer, "rb") as f:
        data = f.read()
    match = re.search(rb"-----BEGIN CERTIFICATE-----(.*?)-----END CERTIFICATE-----", data, re.S)
    return base64.b64decode(b"".join(match.group(1).split())) if match else data


def def_exports():
    """The export names of ntoskrnl.def, and those marked DATA."""
    names, data = set(), set()
    in_exports = False
    with open(ARGS.def_file) as f:
        for line in f:
            line = line.split(";", 1)[0].strip()
            if not line:
                continue
            if line.upper() == "EXPORTS":
                in_exports = True
                continue
            if in_exports:
                words = line.split()
                names.add(words[0])
                if "DATA" in (w.upper() for w in words[1:]):
                    data.add(words[0])
    return names, data


class Headers(unittest.TestCase):
    def test_native_amd64_driver(self):
        self.assertEqual(pe().FILE_HEADER.Machine, IMAGE_FILE_MACHINE_AMD64)
        self.assertEqual(pe().OPTIONAL_HEADER.Magic, PE32_PLUS)
        self.assertEqual(pe().OPTIONAL_HEADER.Subsystem, IMAGE_SUBSYSTEM_NATIVE)
        self.assertTrue(is_executable(pe().OPTIONAL_HEADER.AddressOfEntryPoint),
                        "entry point outside the code")

    def test_dll_characteristics(self):
        value = pe().OPTIONAL_HEADER.DllCharacteristics
        missing = [name for name, bit in REQUIRED_DLL_CHARACTERISTICS.items()
                   if not value & bit]
        self.assertEqual(missing, [], f"DllCharacteristics 0x{value:04X}")

    def test_relocatable_and_no_writable_code(self):
        self.assertTrue(relocated_rvas(), "no base relocations for a DYNAMIC_BASE image")
        for section in pe().sections:
            flags = section.Characteristics
            self.assertFalse(flags & IMAGE_SCN_MEM_WRITE and flags & IMAGE_SCN_MEM_EXECUTE,
                             f"section {section.Name!r} is writable and executable")

    def test_checksum_and_size(self):
        self.assertEqual(pe().OPTIONAL_HEADER.CheckSum, pe().generate_checksum())
        # An early-launch driver and its configuration stay under 128 KB.
        self.assertLess(pe().OPTIONAL_HEADER.SizeOfImage, 128 * 1024)


class Imports(unittest.TestCase):
    def test_ntoskrnl_only_and_exactly_the_def(self):
        imports = getattr(pe(), "DIRECTORY_ENTRY_IMPORT", [])
        self.assertEqual([entry.dll.decode().lower() for entry in imports], ["ntoskrnl.exe"])
        self.assertFalse(hasattr(pe(), "DIRECTORY_ENTRY_DELAY_IMPORT"))
        symbols = imports[0].imports
        self.assertTrue(all(symbol.name for symbol in symbols), "import by ordinal")
        imported = {symbol.name.decode() for symbol in symbols}
        expected, data = def_exports()
        self.assertEqual(sorted(imported - expected), [], "imported but not in ntoskrnl.def")
        self.assertEqual(sorted(expected - imported), [], "in ntoskrnl.def but not imported")
        self.assertTrue({"InitSafeBootMode", "KdDebuggerEnabled", "KdDebuggerNotPresent"} <= data,
                        "kernel variables must be DATA exports")


class LoadConfig(unittest.TestCase):
    def setUp(self):
        self.assertTrue(hasattr(pe(), "DIRECTORY_ENTRY_LOAD_CONFIG"), "no load configuration")
        self.config = pe().DIRECTORY_ENTRY_LOAD_CONFIG.struct
        self.relocated = relocated_rvas()

    def read_pointer(self, va):
        rva = va_to_rva(va)
        self.assertIn(rva, self.relocated, f"pointer at 0x{va:X} has no base relocation")
        return pe().get_qword_at_rva(rva)

    def fids(self):
        # Each entry: a 32-bit RVA, then as many extra bytes as the flags say.
        stride = 4 + ((self.config.GuardFlags >> 28) & 0xF)
        base = va_to_rva(self.config.GuardCFFunctionTable)
        return [pe().get_dword_at_rva(base + i * stride)
                for i in range(self.config.GuardCFFunctionCount)]

    def test_size_matches_directory(self):
        directory = pe().OPTIONAL_HEADER.DATA_DIRECTORY[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]]
        self.assertEqual(self.config.Size, directory.Size)
        self.assertGreaterEqual(self.config.Size, 0x94, "too small to hold GuardFlags")

    def test_guard_flags_and_function_table(self):
        flags = self.config.GuardFlags
        self.assertTrue(flags & IMAGE_GUARD_CF_INSTRUMENTED, f"GuardFlags 0x{flags:X}")
        self.assertTrue(flags & IMAGE_GUARD_CF_FUNCTION_TABLE_PRESENT, f"GuardFlags 0x{flags:X}")
        self.assertGreater(self.config.GuardCFFunctionCount, 0)
        fids = self.fids()
        self.assertEqual(fids, sorted(set(fids)), "function table not sorted and unique")
        outside = [hex(rva) for rva in fids if not is_executable(rva)]
        self.assertEqual(outside, [], "function table entries outside the code")

    def test_check_and_dispatch_routines(self):
        check = va_to_rva(self.read_pointer(self.config.GuardCFCheckFunctionPointer))
        dispatch = va_to_rva(self.read_pointer(self.config.GuardCFDispatchFunctionPointer))
        self.assertTrue(is_executable(check) and is_executable(dispatch))
        self.assertEqual(pe().get_data(check, 1), b"\xc3", "check routine is not a plain ret")
        self.assertEqual(pe().get_data(dispatch, 2), b"\xff\xe0", "dispatch is not jmp rax")
        # A "jmp rax" that any indirect call may reach would defeat the guard.
        self.assertNotIn(dispatch, self.fids())
        self.assertNotIn(check, self.fids())

    def test_security_cookie(self):
        # The loader replaces the cookie when it still holds the default.
        rva = va_to_rva(self.config.SecurityCookie)
        section = section_at(rva)
        self.assertTrue(section and section.Characteristics & IMAGE_SCN_MEM_WRITE,
                        "security cookie not in writable data")
        self.assertEqual(pe().get_qword_at_rva(rva), DEFAULT_SECURITY_COOKIE)
        config_rva = pe().OPTIONAL_HEADER.DATA_DIRECTORY[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]].VirtualAddress
        self.assertIn(config_rva + 0x58, self.relocated, "SecurityCookie field not relocated")

    def test_unwind_data_for_functions_with_frames(self):
        # x64 exception dispatch unwinds every frame between a fault in an
        # image reader and its handler: each function that sets up a frame
        # needs a RUNTIME_FUNCTION.
        covered = [(f.struct.BeginAddress, f.struct.EndAddress)
                   for f in getattr(pe(), "DIRECTORY_ENTRY_EXCEPTION", [])]

        def sets_up_frame(rva):
            code = pe().get_data(rva, 4)
            return (0x50 <= code[0] <= 0x57 or
                    (code[0] == 0x41 and 0x50 <= code[1] <= 0x57) or
                    code[:3] in (b"\x48\x83\xec", b"\x48\x81\xec"))

        functions = set(self.fids()) | {pe().OPTIONAL_HEADER.AddressOfEntryPoint}
        bare = [hex(rva) for rva in sorted(functions)
                if sets_up_frame(rva) and not any(b <= rva < e for b, e in covered)]
        self.assertEqual(bare, [], "functions with a frame but no unwind data")


def resource_root():
    return pe().DIRECTORY_ENTRY_RESOURCE.entries


def single_leaf(type_entry):
    names = type_entry.directory.entries
    assert len(names) == 1, f"{len(names)} names under one resource type"
    languages = names[0].directory.entries
    assert len(languages) == 1, f"{len(languages)} languages under one resource"
    return names[0], languages[0]


def resource_data(language_entry):
    data = language_entry.data.struct
    return pe().get_data(data.OffsetToData, data.Size)


def expected_certinfo():
    der = signer_der()
    out = struct.pack("<H", len(CERTINFO_ENTRIES))
    for algorithm, eku in CERTINFO_ENTRIES:
        digest = hashlib.new(algorithm, der).hexdigest().upper()
        calg = {"sha256": CALG_SHA_256, "sha384": CALG_SHA_384}[algorithm]
        out += (digest + "\0").encode("utf-16-le") + struct.pack("<H", calg)
        out += (eku + "\0").encode("utf-16-le")
    return out


def version_nodes(data, offset, end):
    """The version-resource nodes laid from offset to end: (offset, wLength,
    wValueLength, wType, key, value offset)."""
    nodes = []
    while offset + 6 <= end:
        length, value_length, kind = struct.unpack_from("<HHH", data, offset)
        if length == 0:
            break
        key_end = offset + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = data[offset + 6:key_end].decode("utf-16-le")
        value = (key_end + 2 + 3) & ~3
        nodes.append((offset, length, value_length, kind, key, value))
        offset = (offset + length + 3) & ~3
    return nodes


class Resources(unittest.TestCase):
    def test_root_named_certificate_type_then_version(self):
        root = resource_root()
        self.assertEqual([(str(e.name) if e.name else None, e.id) for e in root],
                         [("MSELAMCERTINFOID", None), (None, 16)])
        name, language = single_leaf(root[0])
        self.assertEqual(str(name.name), "MICROSOFTELAMCERTIFICATEINFO")
        self.assertEqual(language.id, 1033)
        name, language = single_leaf(root[1])
        self.assertEqual((name.id, language.id), (1, 1033))

    def test_certificate_information_bytes(self):
        data = resource_data(single_leaf(resource_root()[0])[1])
        self.assertEqual(data.hex(), expected_certinfo().hex())
        # 134 bytes per SHA-256 entry with an empty EKU; 64 more for a
        # SHA-384 hash; two per EKU character; nothing after the last entry.
        size = 2 + sum(134 + (64 if algorithm == "sha384" else 0) + 2 * len(eku)
                       for algorithm, eku in CERTINFO_ENTRIES)
        self.assertEqual(len(data), size)
        self.assertEqual(size, 2 + 134 + 134 + 64 + 2 * 22)

    def test_fixed_file_info(self):
        fixed = pe().VS_FIXEDFILEINFO[0]
        major, minor, build, revision = (int(part) for part in ARGS.version.split("."))
        ms, ls = (major << 16) | minor, (build << 16) | revision
        self.assertEqual(
            (fixed.Signature, fixed.StrucVersion, fixed.FileFlagsMask, fixed.FileFlags,
             fixed.FileOS, fixed.FileType, fixed.FileSubtype, fixed.FileDateMS, fixed.FileDateLS),
            (0xFEEF04BD, 0x00010000, 0x3F, 0, 0x00040004, 3, 0, 0, 0))
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), (ms, ls))
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), (ms, ls))

    def test_version_strings(self):
        string_file_info = [info for info in pe().FileInfo[0] if info.Key == b"StringFileInfo"]
        self.assertEqual(len(string_file_info), 1)
        tables = string_file_info[0].StringTable
        self.assertEqual([table.LangID for table in tables], [b"040904b0"])
        strings = {k.decode(): v.decode() for k, v in tables[0].entries.items()}
        self.assertEqual(list(strings), VERSION_STRINGS)
        image_name = os.path.basename(ARGS.image)
        self.assertEqual(strings["OriginalFilename"], image_name)
        self.assertEqual(strings["InternalName"], os.path.splitext(image_name)[0])
        self.assertEqual(strings["FileVersion"], ARGS.version)
        self.assertEqual(strings["ProductVersion"], ARGS.version)
        variables = [var.entry for info in pe().FileInfo[0] if info.Key == b"VarFileInfo"
                     for var in info.Var]
        self.assertEqual(variables, [{b"Translation": "0x0409 0x04b0"}])

    def test_version_block_layout(self):
        # The layout the driver's own version reader walks: the fixed block
        # at byte 40, the children from byte 92, and every string value
        # ending in a NUL that its wValueLength counts.
        block = resource_data(single_leaf(resource_root()[1])[1])
        (top,) = version_nodes(block, 0, len(block))
        _, length, value_length, _, key, value = top
        self.assertEqual((key, value, value_length), ("VS_VERSION_INFO", 40, 52))
        self.assertEqual(struct.unpack_from("<I", block, 40)[0], 0xFEEF04BD)
        children = version_nodes(block, 92, length)
        self.assertEqual([child[4] for child in children], ["StringFileInfo", "VarFileInfo"])
        sfi_offset, sfi_length = children[0][0], children[0][1]
        (table,) = version_nodes(block, children[0][5], sfi_offset + sfi_length)
        strings = version_nodes(block, table[5], table[0] + table[1])
        self.assertEqual([s[4] for s in strings], VERSION_STRINGS)
        for offset, _, count, kind, key, value in strings:
            text = block[value:value + 2 * count].decode("utf-16-le")
            self.assertEqual(kind, 1, key)
            self.assertTrue(count > 1 and text.endswith("\0") and "\0" not in text[:-1],
                            f"{key}: wValueLength {count} does not end at its NUL")


class Signature(unittest.TestCase):
    def certificate_table(self):
        directory = pe().OPTIONAL_HEADER.DATA_DIRECTORY[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
        self.assertTrue(directory.VirtualAddress and directory.Size, "image not signed")
        # The security directory holds a file offset, not an RVA.
        return image_bytes()[directory.VirtualAddress:directory.VirtualAddress + directory.Size]

    def test_authenticode_signature_by_the_signer(self):
        table = self.certificate_table()
        length, revision, kind = struct.unpack_from("<IHH", table)
        self.assertEqual((revision, kind), (0x0200, 0x0002), "not a PKCS#7 WIN_CERTIFICATE")
        self.assertLessEqual(length, len(table))
        blob = table[8:length]
        self.assertIn(signer_der(), blob, "signed by another certificate than --signer")
        self.assertIn(OID_SHA256, blob)
        self.assertNotIn(OID_SHA1, blob)

    def test_osslsigncode_verifies_against_the_test_root(self):
        result = subprocess.run(
            [ARGS.osslsigncode, "verify", "-CAfile", ARGS.ca, "-in", ARGS.image],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.assertEqual(result.returncode, 0, result.stdout[-2000:])


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--image", required=True)
    parser.add_argument("--def", dest="def_file", required=True)
    parser.add_argument("--signer", required=True, help="signing certificate, PEM or DER")
    parser.add_argument("--ca", required=True, help="test root, PEM")
    parser.add_argument("--osslsigncode", default="osslsigncode")
    parser.add_argument("--version", required=True, help="expected version, a.b.c.d")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
