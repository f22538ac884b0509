"""elamctl simulate: the demo, small boots that exercise each scenario key,
--reg-out, and the scenario errors; the same boots through the signed driver
image (--image), and the images it refuses."""
import json
import os
import unittest

from tool_support import BINARY_DIR, CONFIG_KEY, ToolTest, demo, elamctl, fixture, multi_sz, reg_file

DRIVERS = "\\SystemRoot\\System32\\drivers\\"
IMAGE = os.path.join(BINARY_DIR, "winbuild", "BootGuardElam.sys")


def report_hex(entries):
    """ElamBlockedDrivers bytes: per entry the marker 0xFF00 | reason, the path
    and a terminator, then one more zero code unit."""
    data = b""
    for reason, path in entries:
        data += (0xFF00 | reason).to_bytes(2, "little") + path.encode("utf-16-le") + b"\0\0"
    return (data + b"\0\0").hex()


class Demo(ToolTest):
    EXPECTED = [  # (image name, reason or None for unknown)
        (DRIVERS + "netcore.sys", None),
        (DRIVERS + "rootkit.sys", 0),
        (DRIVERS + "oldfw.sys", 10),
        (DRIVERS + "newfw.sys", None),
        (DRIVERS + "oem\\oldfw.sys", None),
        (DRIVERS + "cheat.sys", 2),
        (DRIVERS + "dropper.sys", 5),
        (DRIVERS + "tracer.sys", 3),
        (DRIVERS + "fsfilter.sys", None),
        (DRIVERS + "vendor.sys", 4),
        (DRIVERS + "patched.sys", 255),
    ]
    NAMES = {0: "file-name", 2: "pdb-name", 3: "pdb-guid", 4: "thumbprint", 5: "image-hash",
             10: "original-name-version", 255: "failed-code-integrity"}

    def test_json(self):
        self.require(demo("demo.json"), demo("demo-config.reg"))
        result = elamctl("simulate", "--json", demo("demo.json"))
        self.assertEqual((result.code, result.err), (0, ""), result)
        out = result.json()
        self.assertEqual(list(out), ["driver_entry_status", "images", "report", "leaked_pool_blocks"])
        self.assertEqual(out["driver_entry_status"], "0x00000000")
        self.assertEqual(out["leaked_pool_blocks"], 0)
        self.assertEqual(out["images"], [
            {"name": name, "classification": "unknown" if reason is None else "known_bad", "reason": reason,
             "reason_name": self.NAMES.get(reason)} for name, reason in self.EXPECTED])
        blocked = [(reason, name) for name, reason in self.EXPECTED if reason is not None]
        self.assertEqual(out["report"], {
            "hex": report_hex(blocked),
            "entries": [{"reason": reason, "path": name} for reason, name in blocked]})

    def test_table(self):
        self.require(demo("demo.json"), demo("demo-config.reg"))
        result = elamctl("simulate", demo("demo.json"))
        self.assertEqual((result.code, result.err), (0, ""), result)
        rows = [line.split() for line in result.out.splitlines() if line.startswith(DRIVERS)]
        table = rows[:len(self.EXPECTED)]
        report = [line.split() for line in result.out.splitlines() if line.startswith("  ")]
        for (name, reason), row in zip(self.EXPECTED, table):
            if reason is None:
                self.assertEqual(row, [name, "unknown"])
            else:
                self.assertEqual(row, [name, "known", "bad", str(reason), self.NAMES[reason]])
        self.assertEqual(report, [[str(r), self.NAMES[r], n] for n, r in self.EXPECTED if r is not None])
        self.assertIn("Pool blocks left after the boot: 0", result.out)


class Scenarios(ToolTest):
    def setUp(self):
        super().setUp()
        self.require(fixture("fx_version.sys"))
        self.image = fixture("fx_version.sys")
        self.facts = elamctl("facts", "--json", self.image).json()[0]

    def simulate(self, scenario, registry=None, *extra):
        files = []
        if registry is not None:
            files.append(self.write("config.reg", reg_file(registry)))
        scenario = dict(scenario)
        scenario.setdefault("registry", files)
        path = self.write("scenario.json", json.dumps(scenario))
        result = elamctl("simulate", "--json", path, *extra)
        self.assertEqual((result.code, result.err), (0, ""), result)
        return result.json()

    def verdicts(self, out):
        return [(i["name"], i["classification"], i["reason"]) for i in out["images"]]

    def test_image_defaults_and_hash(self):
        rules = {"DrvBlockType5": multi_sz(";" + self.facts["authenticode_sha256"])}
        name = DRIVERS + "fx_version.sys"
        cases = [  # (boot driver, verdict)
            ({"image": self.image}, (name, "known_bad", 5)),
            ({"image": self.image, "image_hash": "auto"}, (name, "known_bad", 5)),
            ({"image": self.image, "image_hash": self.facts["authenticode_sha256"].upper()}, (name, "known_bad", 5)),
            ({"image": self.image, "image_hash": None}, (name, "unknown", None)),
            ({"image": self.image, "image_hash": "00"}, (name, "unknown", None)),
            ({"name": name}, (name, "unknown", None)),  # "auto" without an image: no hash
            ({"image": self.image, "name": "x.sys"}, ("x.sys", "known_bad", 5)),
            # An empty name is still classified, but nothing is recorded or reported.
            ({"image": self.image, "name": ""}, ("", "known_bad", None)),
        ]
        for driver, verdict in cases:
            with self.subTest(driver=driver):
                out = self.simulate({"boot_drivers": [driver]}, rules)
                self.assertEqual(self.verdicts(out), [verdict])
                self.assertEqual(out["report"] is None, verdict[2] is None)
                self.assertEqual(out["leaked_pool_blocks"], 0)

    def test_module_list(self):
        # The OriginalFilename rule needs the image's facts: found only when the
        # image is in the module list under the boot driver's name.
        rules = {"DrvBlockType9": multi_sz(";" + "fxversion.sys".encode("utf-16-le").hex())}
        driver = {"image": self.image}
        name = DRIVERS + "fx_version.sys"
        cases = [  # (module_list or None for the default, reason)
            (None, 9),
            ([], None),
            ([{"image": self.image, "path": DRIVERS + "other.sys"}], None),
            ([{"image": fixture("fx_plain.sys"), "path": name}], None),
            ([{"image": fixture("fx_plain.sys"), "path": DRIVERS + "a.sys"}, {"image": self.image, "path": name}], 9),
        ]
        for modules, reason in cases:
            with self.subTest(modules=modules):
                scenario = {"boot_drivers": [driver]}
                if modules is not None:
                    scenario["module_list"] = modules
                self.assertEqual(self.verdicts(self.simulate(scenario, rules))[0][2], reason)

    def test_events(self):
        rules = {"DrvBlockType0": multi_sz(";" + "a.sys".encode("utf-16-le").hex())}
        drivers = [{"name": DRIVERS + "a.sys"}, {"name": DRIVERS + "b.sys"}]
        # The same image twice gives two records; without the unload status nothing is reported.
        out = self.simulate({"boot_drivers": drivers, "events": [
            {"status": 0}, {"boot_driver": 1}, {"boot_driver": 0}, {"boot_driver": 0}, {"status": 2}]}, rules)
        self.assertEqual(self.verdicts(out), [(DRIVERS + "b.sys", "unknown", None),
                                              (DRIVERS + "a.sys", "known_bad", 0),
                                              (DRIVERS + "a.sys", "known_bad", 0)])
        self.assertEqual([e["path"] for e in out["report"]["entries"]], [DRIVERS + "a.sys"] * 2)
        out = self.simulate({"boot_drivers": drivers, "events": [{"status": 0}, {"boot_driver": 0}]}, rules)
        self.assertEqual(self.verdicts(out), [(DRIVERS + "a.sys", "known_bad", 0)])
        self.assertIsNone(out["report"])
        self.assertGreater(out["leaked_pool_blocks"], 0)  # the state is freed only at unload

    def test_kernel_settings(self):
        config = {"DriverBlocking": "dword:80000001"}
        driver = {"name": DRIVERS + "x.sys", "failed_code_integrity": True}
        cases = [  # (kernel keys, driver entry status, verdict of x.sys or None when not called)
            ({"code_integrity_options": 3}, "0x00000000", ("known_bad", 255)),
            ({}, "0x00000000", ("unknown", None)),  # the options query fails: the switch is off
            ({"code_integrity_options": 1}, "0x00000000", ("unknown", None)),
            ({"code_integrity_options": 3, "kernel_debugger": {"enabled": True, "present": True}},
             "0x00000000", ("unknown", None)),
            ({"code_integrity_options": 3, "kernel_debugger": {"enabled": True}}, "0x00000000", ("known_bad", 255)),
            ({"code_integrity_options": 3, "query_registry_values_ex": False}, "0x00000000", ("known_bad", 255)),
            ({"code_integrity_options": 3, "safe_mode": True}, None, None),
        ]
        for kernel, status, verdict in cases:
            with self.subTest(kernel=kernel):
                out = self.simulate(dict(kernel, boot_drivers=[driver]), config)
                if status is None:
                    self.assertNotEqual(out["driver_entry_status"], "0x00000000")
                    self.assertEqual(out["images"], [])
                else:
                    self.assertEqual(out["driver_entry_status"], status)
                    self.assertEqual([(i["classification"], i["reason"]) for i in out["images"]], [verdict])

    def test_service_key_and_reg_out(self):
        service = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\OtherElam"
        other_key = CONFIG_KEY.replace("BootGuardSP", "OtherSP")
        reg = self.write("other.reg", reg_file({"DrvBlockType0": multi_sz(";" + "a.sys".encode("utf-16-le").hex())},
                                               key=other_key))
        scenario = self.write("s.json", json.dumps({
            "registry": [reg], "service": service, "boot_drivers": [{"name": DRIVERS + "a.sys"}]}))
        after = self.path("after.reg")
        result = elamctl("simulate", "--json", "--reg-out", after, scenario)
        self.assertEqual(result.code, 0, result)
        self.assertEqual(result.json()["images"][0]["reason"], 0)
        with open(after, "rb") as f:
            self.assertTrue(f.read().startswith(b"\xff\xfeW\0i\0n\0d\0o\0w\0s\0"))  # the editor's UTF-16LE
        report = elamctl("report", "--json", after)
        self.assertEqual(report.code, 0, report)
        self.assertEqual(report.json()["entries"], [{"reason": 0, "reason_name": "file-name", "path": DRIVERS + "a.sys"}])
        self.assertTrue(report.json()["key"].endswith("\\OtherSP\\Parameters"))
        self.assertEqual(report.json()["hex"], result.json()["report"]["hex"])
        self.assertEqual(os.listdir(self.dir).count("after.reg"), 1)
        self.assertFalse([n for n in os.listdir(self.dir) if n.startswith(".after.reg")], "temporary file left")

        # The configuration key of the default service does not exist here.
        scenario = self.write("s2.json", json.dumps({"registry": [reg], "boot_drivers": []}))
        result = elamctl("simulate", "--reg-out", self.path("none.reg"), scenario)
        self.assertOneLineError(result, self.path("none.reg"))
        self.assertEqual(result.out, "")
        self.assertFalse(os.path.exists(self.path("none.reg")))


class ScenarioErrors(ToolTest):
    def test_bad_scenarios(self):
        self.require(fixture("fx_version.sys"))
        good_reg = self.write("good.reg", reg_file({"Enabled": "dword:00000001"}))
        bad_reg = self.write("bad.reg", "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\X]\r\n"
                                        "\"v\"=hex:zz\r\n")
        text = self.write("text.sys", "not an image")
        image = fixture("fx_version.sys")
        one = [{"image": image}]
        cases = [  # (scenario text or object, file named, words of the problem)
            ("{", "scenario", "not JSON"),
            ([], "scenario", "expected an object"),
            ({"boot_driver": one}, "scenario", "boot_driver: unknown key"),
            ({"safe_mode": "yes"}, "scenario", "safe_mode: expected true or false"),
            ({"code_integrity_options": -1}, "scenario", "code_integrity_options"),
            ({"code_integrity_options": 1.5}, "scenario", "code_integrity_options"),
            ({"code_integrity_options": 4294967296}, "scenario", "code_integrity_options"),
            ({"kernel_debugger": {"attached": True}}, "scenario", "kernel_debugger.attached: unknown key"),
            ({"kernel_debugger": True}, "scenario", "kernel_debugger: expected an object"),
            ({"registry": "good.reg"}, "scenario", "registry: expected a list"),
            ({"boot_drivers": [{"image": image, "hash": None}]}, "scenario", "boot_drivers[0].hash: unknown key"),
            ({"boot_drivers": [{}]}, "scenario", "boot_drivers[0]: needs"),
            ({"boot_drivers": [{"name": 5}]}, "scenario", "boot_drivers[0].name: expected a string"),
            ({"boot_drivers": [{"image": image, "image_hash": "xyz"}]}, "scenario", "boot_drivers[0].image_hash"),
            ({"boot_drivers": [{"image": image, "image_hash": 5}]}, "scenario", "boot_drivers[0].image_hash"),
            ({"boot_drivers": [{"image": image, "thumbprint": 12}]}, "scenario", "boot_drivers[0].thumbprint"),
            ({"boot_drivers": [{"image": image, "failed_code_integrity": 1}]}, "scenario", "failed_code_integrity"),
            ({"boot_drivers": one, "events": [{"boot_driver": 1}]}, "scenario", "events[0].boot_driver: index 1 out of range"),
            ({"boot_drivers": one, "events": [{"status": 3}]}, "scenario", "events[0].status"),
            ({"boot_drivers": one, "events": [{}]}, "scenario", "events[0]"),
            ({"boot_drivers": one, "events": [{"status": 0, "boot_driver": 0}]}, "scenario", "events[0]"),
            ({"boot_drivers": one, "events": []}, "scenario", "events: an empty list"),
            ({"module_list": [{"image": image}]}, "scenario", "module_list[0]: needs a \"path\""),
            ({"registry": ["good.reg", "missing.reg"]}, self.path("missing.reg"), "cannot read"),
            ({"registry": ["good.reg", "bad.reg"]}, bad_reg, "line 4"),
            ({"boot_drivers": [{"image": "missing.sys"}]}, self.path("missing.sys"), "cannot read"),
            ({"boot_drivers": [{"image": "text.sys"}]}, text, "not a PE image"),
            ({"module_list": [{"image": "text.sys", "path": "x"}]}, text, "not a PE image"),
        ]
        for i, (scenario, named, problem) in enumerate(cases):
            with self.subTest(scenario=scenario):
                body = scenario if isinstance(scenario, str) else json.dumps(scenario)
                path = self.write("scenario%d.json" % i, body)
                out = self.path("out%d.reg" % i)
                result = elamctl("simulate", "--json", "--reg-out", out, path)
                self.assertOneLineError(result, path if named == "scenario" else named)
                self.assertIn(problem, result.err)
                self.assertEqual(result.out, "")
                self.assertFalse(os.path.exists(out))
        result = elamctl("simulate", self.path("absent.json"))
        self.assertOneLineError(result, self.path("absent.json"))


class DriverImage(ToolTest):
    """simulate --image: the boot runs the signed image loaded into the host kernel."""

    def test_demo_is_the_same_on_the_image(self):
        self.require(demo("demo.json"), demo("demo-build.reg"), IMAGE)
        for form in (["--json"], []):
            with self.subTest(form=form):
                host = elamctl("simulate", *form, demo("demo.json"))
                image = elamctl("simulate", *form, "--image", IMAGE, demo("demo.json"))
                self.assertEqual((host.code, host.err), (0, ""), host)
                self.assertEqual((image.code, image.err), (0, ""), image)
                self.assertEqual(image.out, host.out)

    def test_refused_images(self):
        self.require(demo("demo.json"), IMAGE)
        with open(IMAGE, "rb") as f:
            data = f.read()
        self.assertEqual(data.count(b"\0memset\0"), 1)
        cases = [  # (file, words of the problem)
            (self.write("unknown.sys", data.replace(b"\0memset\0", b"\0memsex\0")),
             "cannot load the driver image: imports what the host kernel does not provide: ntoskrnl.exe!memsex"),
            (self.write("truncated.sys", data[:0x500]), "section .text is truncated"),
            (self.write("text.sys", "not an image"), "no MZ signature"),
            (self.path("missing.sys"), "cannot read"),
        ]
        for path, problem in cases:
            with self.subTest(path=path):
                result = elamctl("simulate", "--image", path, demo("demo.json"))
                self.assertOneLineError(result, path)
                self.assertIn(problem, result.err)
                self.assertEqual(result.out, "")


class ScenariosOnTheImage(Scenarios):
    """Every boot of Scenarios a second time, on the driver image: the same output."""

    def setUp(self):
        super().setUp()
        self.require(IMAGE)

    def simulate(self, scenario, registry=None, *extra):
        host = super().simulate(scenario, registry, *extra)
        self.assertEqual(super().simulate(scenario, registry, *extra, "--image", IMAGE), host)
        return host

    # Boots the tool directly, not through simulate(): run once, in Scenarios.
    test_service_key_and_reg_out = None


if __name__ == "__main__":
    unittest.main()
