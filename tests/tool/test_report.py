"""elamctl report: ElamBlockedDrivers decoded from .reg files as the registry
editor writes them, and the files it refuses."""
import unittest

from tool_support import CONFIG_KEY, ToolTest, elamctl, reg_file

A = "\\SystemRoot\\System32\\drivers\\a.sys"
B = "\\SystemRoot\\System32\\drivers\\b.sys"


def report_data(*entries):
    data = b""
    for reason, path in entries:
        data += (0xFF00 | reason).to_bytes(2, "little") + path.encode("utf-16-le") + b"\0\0"
    return data + b"\0\0"


def hex7(data):
    return "hex(7):" + ",".join("%02x" % b for b in data)


class Report(ToolTest):
    def test_decoding(self):
        data = report_data((0, A), (255, B), (5, A))
        text = reg_file({"Enabled": "dword:00000001", "ElamBlockedDrivers": hex7(data)})
        files = [self.write("utf8.reg", text),
                 self.write("utf16.reg", b"\xff\xfe" + text.encode("utf-16-le"))]  # the editor's default
        for path in files:
            with self.subTest(path=path):
                result = elamctl("report", "--json", path)
                self.assertEqual((result.code, result.err), (0, ""), result)
                self.assertEqual(result.json(), {
                    "key": "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\BootGuardSP\\Parameters",
                    "hex": data.hex(),
                    "entries": [{"reason": 0, "reason_name": "file-name", "path": A},
                                {"reason": 255, "reason_name": "failed-code-integrity", "path": B},
                                {"reason": 5, "reason_name": "image-hash", "path": A}]})
                result = elamctl("report", path)
                self.assertEqual(result.code, 0, result)
                self.assertEqual([line.split() for line in result.out.splitlines()[2:]],
                                 [["0", "file-name", A], ["255", "failed-code-integrity", B], ["5", "image-hash", A]])

    def test_no_report_means_nothing_blocked(self):
        path = self.write("none.reg", reg_file({"Enabled": "dword:00000001"}))
        result = elamctl("report", "--json", path)
        self.assertEqual(result.code, 0, result)
        self.assertEqual(result.json(), {"key": None, "hex": None, "entries": []})
        self.assertIn("no driver was blocked", elamctl("report", path).out)

    def test_refused_files(self):
        good = hex7(report_data((0, A)))
        two_keys = reg_file({"ElamBlockedDrivers": good}) + "\r\n[%s]\r\n\"ElamBlockedDrivers\"=%s\r\n" % (
            CONFIG_KEY.replace("BootGuard", "Other"), good)
        cases = [  # (file content or None for a missing file, words of the problem)
            (None, "cannot read"),
            ("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\X]\r\n\"v\"=hex:zz\r\n", "line 4"),
            ("not a registry file\r\n", "line 1"),
            (reg_file({"ElamBlockedDrivers": '"a.sys"'}), "not REG_MULTI_SZ"),
            (reg_file({"ElamBlockedDrivers": hex7(b"a\0b\0\0\0\0\0")}), "not a blocked-driver report"),
            (reg_file({"ElamBlockedDrivers": hex7(report_data((0, A))[:-2])}), "not a blocked-driver report"),
            (two_keys, "2 keys"),
        ]
        for i, (content, problem) in enumerate(cases):
            with self.subTest(problem=problem):
                path = self.path("r%d.reg" % i) if content is None else self.write("r%d.reg" % i, content)
                result = elamctl("report", "--json", path)
                self.assertOneLineError(result, path)
                self.assertIn(problem, result.err)
                self.assertEqual(result.out, "")


if __name__ == "__main__":
    unittest.main()
