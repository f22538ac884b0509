"""Helpers of the rule-set tests: .reg text read independently of elamctl,
rules files read with tomllib, and the shipped data."""
import os
import re
import tomllib

DATA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "data")
LOLDRIVERS_CSV = os.path.join(DATA_DIR, "loldrivers-samples.csv")
MS_XML = os.path.join(DATA_DIR, "ms-driver-block-rules.xml")


def reg_text(path):
    """The text of a .reg file, UTF-16LE with a byte-order mark or UTF-8."""
    with open(path, "rb") as f:
        data = f.read()
    if data.startswith(b"\xff\xfe"):
        return data[2:].decode("utf-16-le")
    return data.decode("utf-8-sig")


def reg_values(path):
    """{key: {value name: (kind, data)}} of a .reg file: kind "dword" with an
    int, or "multi_sz" with the list of strings."""
    text = reg_text(path).replace("\\\r\n", "").replace("\\\n", "")
    keys, key = {}, None
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("[") and line.endswith("]"):
            key = keys.setdefault(line[1:-1], {})
            continue
        match = re.fullmatch(r'"((?:[^"\\]|\\.)*)"=(dword:|hex\(7\):)(.*)', line)
        if not match:
            continue
        name = match.group(1).replace('\\"', '"').replace("\\\\", "\\")
        if match.group(2) == "dword:":
            key[name] = ("dword", int(match.group(3), 16))
        else:
            raw = bytes(int(b, 16) for b in match.group(3).replace(" ", "").split(",") if b)
            strings = raw.decode("utf-16-le").split("\0")
            while strings and strings[-1] == "":
                strings.pop()
            key[name] = ("multi_sz", strings)
    return keys


def rules_of(path):
    """The parsed rules file."""
    with open(path, "rb") as f:
        return tomllib.load(f)


def rule_tuples(path):
    """(type, value or hex, min, max, vps) of each rule of a rules file, in order."""
    return [(r["type"], r.get("value", r.get("hex")), r.get("min"), r.get("max"), r.get("vps", False))
            for r in rules_of(path).get("rule", [])]
