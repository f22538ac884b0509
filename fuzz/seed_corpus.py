#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into fuzz/corpus/<target>/.

    fuzz/seed_corpus.py BUILD_DIR [CORKAMI_DIR]

BUILD_DIR is a host build (for the fixture images of tests/fixtures and the
demo samples); CORKAMI_DIR defaults to ../shared/data/corkami-pe next to the
repository. Images are written in their mapped layout (headers at 0, sections
at their RVAs), as the image-reader targets take them, with trailing zero
bytes cut off. Needs python3-pefile. Run it again to refresh the seeds; the
fuzzers add what they find to their own working corpus, not to these folders.
"""
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
CORPUS = os.path.join(HERE, "corpus")
MAX_IMAGE = 16 * 1024  # mapped bytes kept per seed image


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def utf16(text):
    return text.encode("utf-16-le")


def mapped(path):
    """The image as the loader maps it, trailing zeros cut; None if pefile refuses."""
    try:
        pe = pefile.PE(path, fast_load=True)
        image = pe.get_memory_mapped_image()
    except Exception:
        return None
    return image.rstrip(b"\0") or None


def has_directory(path, index):
    try:
        pe = pefile.PE(path, fast_load=True)
        entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[index]
        return entry.VirtualAddress != 0
    except Exception:
        return False


def reg_multi_sz_values(reg_path):
    """(name, data bytes) of every hex(7) value of a .reg file."""
    text = open(reg_path, encoding="utf-8-sig").read().replace("\\\n", "")
    for name, body in re.findall(r'"([^"]+)"=hex\(7\):([0-9a-fA-F,\s]*)', text):
        yield name, bytes(int(b, 16) for b in body.replace(" ", "").split(",") if b)


def main():
    build = sys.argv[1]
    corkami = sys.argv[2] if len(sys.argv) > 2 else os.path.join(ROOT, "..", "shared", "data", "corkami-pe")
    fixtures = os.path.join(build, "tests", "fixtures")
    demo_reg = os.path.join(ROOT, "demo", "demo.reg")
    build_reg = os.path.join(HERE, "scenario", "demo-build.reg")

    # Images: the fixtures, the demo samples, and corkami files that carry a
    # resource (2) or debug (6) directory and stay small once mapped.
    images = [(name, os.path.join(fixtures, name)) for name in sorted(os.listdir(fixtures))
              if name.endswith((".sys", ".dll"))]
    images += [(name, os.path.join(HERE, "scenario", name)) for name in ("netcore.sys", "tracer.sys")]
    for name in sorted(os.listdir(corkami)):
        path = os.path.join(corkami, name)
        if name.endswith((".exe", ".dll", ".sys")) and (has_directory(path, 2) or has_directory(path, 6)):
            images.append(("corkami-" + name, path))
    for name, path in images:
        image = mapped(path)
        if image is None or len(image) > MAX_IMAGE:
            continue
        wants_resource = has_directory(path, 2)
        wants_debug = has_directory(path, 6)
        if wants_resource or not name.startswith("corkami-"):
            write("version_info", name, b"\x01" + image)  # ask for OriginalFilename
        if wants_debug or not name.startswith("corkami-"):
            write("debug_info", name, b"\x03" + image)  # GUID and name

    # Files as they are, for the Authenticode hash: two fixtures, each signed
    # too (with a throw-away certificate made here), a signed file with bytes
    # after its signature, and corkami files with odd certificate-table entries.
    for name in ("fx_version.sys", "fx_pe32.dll"):
        write("authenticode", name, open(os.path.join(fixtures, name), "rb").read())
    for name in ("maxvals.exe", "dllmaxvals.dll", "foldedhdr.exe", "tinygui.exe", "bigsec.exe"):
        write("authenticode", "corkami-" + name, open(os.path.join(corkami, name), "rb").read())
    if shutil.which("osslsigncode") and shutil.which("openssl"):
        with tempfile.TemporaryDirectory() as work:
            key, cert = os.path.join(work, "key.pem"), os.path.join(work, "cert.pem")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                            "-out", cert, "-days", "2", "-subj", "/CN=fuzz seed signer",
                            "-addext", "extendedKeyUsage=codeSigning"], check=True, capture_output=True)
            for name, source, digest in (("signed-sha256.sys", "fx_version.sys", "sha256"),
                                         ("signed-sha1.dll", "fx_pe32.dll", "sha1")):
                out = os.path.join(work, name)
                subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-h", digest,
                                "-in", os.path.join(fixtures, source), "-out", out],
                               check=True, capture_output=True)
                signed = open(out, "rb").read()
                write("authenticode", name, signed)
                if digest == "sha256":
                    write("authenticode", "signed-then-appended.sys", signed + b"appended")

    # Rule values, as the registry holds them.
    values = list(reg_multi_sz_values(demo_reg)) + list(reg_multi_sz_values(build_reg))
    for name, data in values:
        write("multistring", name.replace(":", "10"), b"\x00\x00\x00" + data)
        if name.startswith("DrvBlockType"):
            kind = name[len("DrvBlockType")]
            rule_type = ord(kind) - ord("0")
            write("load_rule", name.replace(":", "10"), bytes([rule_type, 0, 0, 1]) + data)
    write("multistring", "empty-strings", b"\x00\x00\x00" + utf16("A\0\0B\0\0"))
    write("multistring", "unterminated-odd", b"\x00\x00\x00" + utf16("x\0yz") + b"\x01")
    write("multistring", "reg-sz", b"\x08\x00\x00" + utf16("text\0"))
    write("multistring", "failed-allocation", b"\x00\x81\x00" + utf16("a\0b\0c\0\0"))
    write("load_rule", "ranged-failed-allocation",
          bytes([6, 0, 0x82, 1]) + utf16("a;41;00000000000001000000000005000200\0b;4142;"
                                         "0000000000000000FFFFFFFFFFFFFFFF\0\0"))
    write("load_rule", "malformed", bytes([4, 0, 0, 0]) + utf16(";\0x;\0y;4\0z;zz\0;41\0w; 41\0\0"))

    # Hex text.
    for name, text in [("bytes", "6200610064002E00730079007300"), ("mixed-case", "aBcDeF09"),
                       ("odd", "ABC"), ("not-hex", "0G"), ("range", "00000000000001000000000005000200")]:
        for sizing in (0, 1, 2 + 4 * 3):
            write("decode_hex", "%s-%d" % (name, sizing), bytes([sizing]) + utf16(text))

    # Module paths and image paths.
    for name, module, image in [
            ("same", "\\SystemRoot\\System32\\drivers\\x.sys", "\\SystemRoot\\System32\\drivers\\x.sys"),
            ("case", "\\SystemRoot\\System32\\drivers\\x.sys", "\\SystemRoot\\System32\\DRIVERS\\x.sys"),
            ("fixed", "", "\\SystemRoot\\System32\\drivers\\disk.sys"),
            ("kernel", "", "\\SystemRoot\\system32\\ntoskrnl.exe"),
            ("non-ascii", "\\drivers\\caf\u00e9.sys", "\\drivers\\caf\u00e9.sys"),
            ("long", "\\" + "a" * 260, "\\" + "a" * 254)]:
        write("find_module", name, module.encode("utf-8") + b"\xff" + utf16(image))

    # Registry text.
    write("reg_text", "demo.reg", open(demo_reg, "rb").read())
    write("reg_text", "demo-build.reg", open(build_reg, "rb").read())
    sample = ('Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n'
              '@="default"\r\n"Sz"="a \\"quoted\\" \\\\ text"\r\n"D"=dword:0000002a\r\n'
              '"Bin"=hex:01,02,\\\r\n  03\r\n"Q"=hex(b):01,00,00,00,00,00,00,00\r\n"Gone"=-\r\n'
              '\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\X\\Old]\r\n[HKU\\S-1-5-18\\Y]\r\n')
    write("reg_text", "every-kind-utf16", b"\xff\xfe" + utf16(sample))
    write("reg_text", "every-kind-utf8", sample.encode("utf-8"))
    write("reg_text", "regedit4", b'REGEDIT4\r\n\r\n[HKLM\\A]\r\n"M"=hex(7):61,00,62,00,00\r\n"N"="\xe9"\r\n')

    # Rule sets: rules files, and configuration keys in registry text.
    write("rules_file", "demo.reg", open(demo_reg, "rb").read())
    write("rules_file", "demo-build.reg", open(build_reg, "rb").read())
    write("rules_file", "every-type.toml", b"""service = "BootGuardElam"
exclusions = ['\\oem\\oldfw.sys', 'x.sys']

[switches]
enabled = true
driver_blocking = 1
block_failed_code_integrity = true

[[rule]]
label = "by name"
type = "file-name"
value = "rootkit.sys"

[[rule]]
type = 2
value = "cheatcore.pdb"
vps = true

[[rule]]
type = "pdb-guid"
value = "{01234567-89ab-cdef-0123-456789abcdef}"

[[rule]]
type = "image-hash"
hex = "6D028D29551B2FC61BFC3C387548DCCA391C591A456189981086DE8E4375F9BF"

[[rule]]
label = "fw 1.x"
type = "original-name-version"
value = "fwfilter.sys"
min = "1.0.0.0"
max = "1.65535.65535.65535"

[[rule]]
type = "thumbprint-version"
value = "00112233445566778899aabbccddeeff01234567"
min = "0.0.0.0"
max = "65535.65535.65535.65535"
""")
    write("rules_file", "switches-only.toml", b'[switches]\nenabled = 0\ndriver_blocking = 2147483649\n')

    # Block lists: the head of each real list.
    data = os.path.join(ROOT, "data")
    with open(os.path.join(data, "loldrivers-samples.csv"), "rb") as f:
        write("import_loldrivers", "loldrivers-head.csv", b"".join(f.readlines()[:40]))
    write("import_loldrivers", "quoted.csv",
          b'id,category,filename,original_filename,file_version,authentihash_sha256,company\n'
          b'1,x,"a,b.sys","a,b.sys","1.2.3.4",' + b"AB" * 32 + b',"Co, ""Ltd"""\n2,x,,,,,\n')
    lines = open(os.path.join(data, "ms-driver-block-rules.xml"), "rb").read().splitlines(keepends=True)
    head = [l for l in lines[:25]]
    deny = [l for l in lines if l.lstrip().startswith(b"<Deny ")][:12]
    attrib = [l for l in lines if l.lstrip().startswith(b"<FileAttrib ")][:8]
    ref = attrib[0].split(b'ID="')[1].split(b'"')[0]
    xml = b"".join(head[:head.index(next(l for l in head if b"<FileRules>" in l)) + 1] + deny + attrib)
    xml += (b'  </FileRules>\n  <Signers>\n    <Signer ID="ID_SIGNER_X" Name="x">\n'
            b'      <FileAttribRef RuleID="' + ref + b'" />\n    </Signer>\n  </Signers>\n</SiPolicy>\n')
    write("import_block_rules", "block-rules-head.xml", xml)

    # Scenarios over the demo.
    # The demo's scenario, over the configuration files kept in fuzz/scenario/.
    demo = json.load(open(os.path.join(ROOT, "demo", "demo.json")))
    demo["registry"] = ["demo.reg", "demo-build.reg"]
    write("scenario", "demo.json", json.dumps(demo, indent=2).encode() + b"\n")
    write("scenario", "events.json", b'''{"registry": ["demo.reg", "demo-build.reg"],
 "code_integrity_options": 3,
 "kernel_debugger": {"enabled": true, "present": true},
 "boot_drivers": [{"image": "rootkit.sys"}, {"name": "", "failed_code_integrity": true},
                  {"image": "dropper.sys", "image_hash": "00", "thumbprint": "aa"}],
 "module_list": [{"image": "tracer.sys", "path": "\\\\SystemRoot\\\\System32\\\\drivers\\\\rootkit.sys"}],
 "events": [{"status": 0}, {"boot_driver": 0}, {"status": 2}, {"boot_driver": 1}, {"boot_driver": 0},
            {"status": 1}, {"status": 2}]}
''')
    write("scenario", "safe-mode.json", b'{"registry": ["demo.reg"], "safe_mode": true, '
          b'"service": "\\\\Registry\\\\Machine\\\\System\\\\CurrentControlSet\\\\Services\\\\BootGuardELAM",'
          b' "query_registry_values_ex": false, "boot_drivers": [{"image": "cheat.sys"}]}')


if __name__ == "__main__":
    main()
