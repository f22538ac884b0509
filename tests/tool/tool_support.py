"""Shared helpers of the elamctl tests: where the tool and the built images
are, running the tool, and writing scratch files.

The CTest registration passes the locations in the environment:
ELAMCTL, ELAM_FIXTURE_DIR, ELAM_DEMO_DIR, ELAM_BINARY_DIR.
"""
import json
import os
import shutil
import subprocess
import tempfile
import unittest

ELAMCTL = os.environ.get("ELAMCTL", "")
FIXTURE_DIR = os.environ.get("ELAM_FIXTURE_DIR", "")
DEMO_DIR = os.environ.get("ELAM_DEMO_DIR", "")
BINARY_DIR = os.environ.get("ELAM_BINARY_DIR", "")

CONFIG_KEY = r"HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\BootGuardSP\Parameters"


class Result:
    def __init__(self, completed):
        self.code = completed.returncode
        self.out = completed.stdout
        self.err = completed.stderr

    def json(self):
        return json.loads(self.out)

    def __repr__(self):
        return "exit %d\nstdout: %s\nstderr: %s" % (self.code, self.out, self.err)


def elamctl(*args):
    completed = subprocess.run([ELAMCTL, *map(str, args)], capture_output=True, text=True, timeout=60)
    return Result(completed)


def fixture(name):
    return os.path.join(FIXTURE_DIR, name)


def demo(name):
    return os.path.join(DEMO_DIR, name)


def multi_sz(*strings):
    """hex(7) data of a REG_MULTI_SZ as the registry editor writes it."""
    data = b"".join(s.encode("utf-16-le") + b"\0\0" for s in strings) + b"\0\0"
    return "hex(7):" + ",".join("%02x" % b for b in data)


def reg_file(values, key=CONFIG_KEY):
    """A .reg text (UTF-8) of one key; values maps names to data text."""
    lines = ["Windows Registry Editor Version 5.00", "", "[%s]" % key]
    lines += ['"%s"=%s' % (name, data) for name, data in values.items()]
    return "\r\n".join(lines) + "\r\n"


class ToolTest(unittest.TestCase):
    """A test with a scratch folder and the tool's location checked."""

    def setUp(self):
        if not ELAMCTL or not os.path.exists(ELAMCTL):
            self.fail("ELAMCTL does not name the built tool")
        self.dir = tempfile.mkdtemp(prefix="elamctl-test-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, content):
        path = self.path(name)
        mode = "wb" if isinstance(content, bytes) else "w"
        with open(path, mode) as f:
            f.write(content)
        return path

    def require(self, *paths):
        for p in paths:
            if not os.path.exists(p):
                self.skipTest("not built: %s" % p)

    def assertOneLineError(self, result, subject):
        """Non-zero exit and exactly one line on stderr naming the subject."""
        self.assertNotEqual(result.code, 0, result)
        lines = result.err.splitlines()
        self.assertEqual(len(lines), 1, result)
        self.assertTrue(lines[0].startswith("elamctl: "), result)
        self.assertIn(subject, lines[0], result)
