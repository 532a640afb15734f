#!/usr/bin/env python3
"""Tests of check-image.py: small driver images built with the cross toolchain,
each with one thing wrong, must be refused for that reason; a correct one must pass.

Run: python3 windows/test_check_image.py   (needs the mingw-w64 toolchain, clang 16 and lld 16)
"""

import importlib.util
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
CHECKER = os.path.join(HERE, "check-image.py")
INF = os.path.join(HERE, "vetrona.inf")
PREFIX = os.environ.get("MINGW_PREFIX", "x86_64-w64-mingw32")
CLANGXX = os.environ.get("CLANGXX", "clang++-16")
LLD = os.environ.get("VETRONA_LLD", "lld-16")
LOAD_CONFIG = os.path.join(HERE, "load_config.s")

DRIVER_SOURCE = r"""
#include "platform/kernel.h"
namespace { UCHAR Buffer[16]; }
extern "C" NTSTATUS FLTAPI TestUnload(FLT_FILTER_UNLOAD_FLAGS) { return STATUS_SUCCESS; }
extern const FLT_REGISTRATION TestRegistration = {sizeof(FLT_REGISTRATION), FLT_REGISTRATION_VERSION_0200, 0,
    nullptr, nullptr, TestUnload, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(DriverObject);
    return PlatformCopyFromClient(Buffer, RegistryPath, sizeof(Buffer));
}
"""

KERNEL_FLAGS = [
    "--target=" + PREFIX, "-mguard=cf", "-fms-extensions", "-funwind-tables", "-std=c++17", "-DVETRONA_TARGET_WINDOWS", "-I" + ROOT, "-O2", "-ffreestanding", "-fno-exceptions", "-fno-rtti",
    "-fno-threadsafe-statics", "-fno-stack-protector", "-mno-red-zone", "-mno-stack-arg-probe", "-Wno-multichar",
]

GOOD_LINK_FLAGS = [
    "--target=" + PREFIX, "-fuse-ld=" + LLD, "-nostdlib", "-s", "-Wl,--subsystem,native:10.0",
    "-Wl,--entry,DriverEntry", "-Wl,--image-base,0x140000000", "-Wl,--dynamicbase", "-Wl,--nxcompat",
    "-Wl,--high-entropy-va", "-Wl,-Xlink=-integritycheck", "-Wl,--disable-tsaware", "-Wl,-Xlink=-release",
    "-Wl,--guard-cf",
]


def have_toolchain():
    return all(shutil.which(tool) for tool in (PREFIX + "-gcc", PREFIX + "-dlltool", CLANGXX, LLD))


def load_checker():
    loader_spec = importlib.util.spec_from_file_location("check_image", CHECKER)
    module = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(module)
    return module


checker = load_checker()


@unittest.skipUnless(have_toolchain(), "the mingw-w64 toolchain, clang 16 and lld 16 are needed")
class CheckImageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="vetrona-check-image-")
        ntoskrnl = subprocess.run([PREFIX + "-gcc", "-print-file-name=libntoskrnl.a"], check=True,
                                  capture_output=True, text=True).stdout.strip()
        cls.lib = os.path.dirname(ntoskrnl)
        cls.include = os.path.join(cls.lib, "..", "include")
        cls.driver_object = cls.compile_source("driver.cpp", DRIVER_SOURCE)
        cls.guard_object = cls.compile_clang(os.path.join(ROOT, "platform", "guarded_copy_windows.cpp"), "guard.o")
        cls.load_config_object = os.path.join(cls.work, "load_config.o")
        subprocess.run([CLANGXX, "--target=" + PREFIX, "-c", LOAD_CONFIG, "-o", cls.load_config_object], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    @classmethod
    def compile_source(cls, name, source, flags=KERNEL_FLAGS):
        path = os.path.join(cls.work, name)
        with open(path, "w") as handle:
            handle.write(source)
        return cls.compile_clang(path, name + ".o", flags)

    @classmethod
    def compile_clang(cls, path, name, flags=KERNEL_FLAGS):
        obj = os.path.join(cls.work, name)
        subprocess.run([CLANGXX, "-isystem", cls.include, "-isystem", os.path.join(cls.include, "ddk"), *flags,
                        "-c", path, "-o", obj], check=True)
        return obj

    def link(self, name, objects, flags=None, libraries=("-lntoskrnl",)):
        image = os.path.join(self.work, name)
        command = [CLANGXX, *(GOOD_LINK_FLAGS if flags is None else flags), "-o", image, *objects,
                   self.load_config_object, "-L" + self.work, "-L" + self.lib, *libraries]
        subprocess.run(command, check=True)
        return image

    def check(self, image, *extra):
        result = subprocess.run([sys.executable, CHECKER, image, *extra], capture_output=True, text=True)
        return result.returncode, result.stdout + result.stderr

    def assert_refused(self, image, reason, *extra):
        status, output = self.check(image, *extra)
        self.assertEqual(status, 1, output)
        self.assertIn(reason, output)

    def good_image(self):
        # Named as the installation names it; linked once (tests that change it work on copies).
        cls = type(self)
        if getattr(cls, "good_path", None) is None:
            cls.good_path = self.link("vetrona.sys", [self.driver_object, self.guard_object])
        return cls.good_path

    def test_correct_image_passes_and_lists_its_imports(self):
        status, output = self.check(self.good_image(), "--expect-guard", "--inf", INF,
                                    "--objects", self.driver_object, self.guard_object)
        self.assertEqual(status, 0, output)
        self.assertIn("imports from ntoskrnl.exe", output)
        self.assertIn("MmUserProbeAddress", output)
        self.assertIn("__C_specific_handler", output)
        self.assertIn("DllCharacteristics 0x41e0", output)
        self.assertIn("guard flags 0x10500", output)

    def test_link_mistakes_are_refused(self):
        # (flag of the correct link, what replaces it, the reason given)
        cases = [
            ("-nostdlib", "-shared", "marked as a DLL"),
            ("-Wl,-Xlink=-integritycheck", None, "FORCE_INTEGRITY"),
            ("-Wl,--guard-cf", None, "GUARD_CF"),
            ("-Wl,--nxcompat", "-Wl,--disable-nxcompat", "NX_COMPAT"),
            ("-Wl,--dynamicbase", "-Wl,--disable-dynamicbase", "DYNAMIC_BASE"),
            ("-Wl,--subsystem,native:10.0", "-Wl,--subsystem,windows", "is not 1 (native)"),
        ]
        for index, (flag, replacement, reason) in enumerate(cases):
            with self.subTest(flag=flag, replacement=replacement):
                flags = list(GOOD_LINK_FLAGS)
                if flag == "-nostdlib":
                    flags.append(replacement)
                elif replacement is None:
                    flags.remove(flag)
                else:
                    flags[flags.index(flag)] = replacement
                if replacement == "-Wl,--disable-dynamicbase":
                    # high-entropy VA implies a dynamic base: the linker sets it back otherwise.
                    flags = [f for f in flags if f not in ("-Wl,--dynamicbase", "-Wl,--high-entropy-va")]
                    flags += ["-Wl,--disable-high-entropy-va", replacement]
                image = self.link("bad%d.sys" % index, [self.driver_object, self.guard_object], flags)
                self.assert_refused(image, reason)

    def test_image_without_relocations_is_refused(self):
        image = self.link("noreloc.sys", [self.driver_object, self.guard_object],
                          GOOD_LINK_FLAGS + ["-Wl,--disable-reloc-section"])
        self.assert_refused(image, "no base relocations")

    def test_global_with_constructor_is_found_in_its_object(self):
        obj = self.compile_source("ctor.cpp", DRIVER_SOURCE.replace(
            "namespace { UCHAR Buffer[16]; }",
            "ULONG Seed(); namespace { UCHAR Buffer[16]; ULONG Counter = Seed(); }\n"
            "volatile ULONG SeedSource = 7; ULONG Seed() { return SeedSource; } ULONG ReadCounter() { return Counter; }"))
        image = self.link("ctor.sys", [obj, self.guard_object])
        self.assert_refused(image, "section .ctors", "--objects", obj, self.guard_object)

    def test_writable_executable_section_is_refused(self):
        obj = self.compile_source("wx.cpp", DRIVER_SOURCE + '\n__asm__(".section .patch,\\"wx\\"\\n.byte 0xc3\\n.text\\n");\n')
        image = self.link("wx.sys", [obj, self.guard_object])
        self.assert_refused(image, "both writable and executable")

    def test_import_from_another_module_is_refused(self):
        definition = os.path.join(self.work, "other.def")
        with open(definition, "w") as handle:
            handle.write("LIBRARY HAL.dll\nEXPORTS\nHalOtherRoutine\n")
        subprocess.run([PREFIX + "-dlltool", "-m", "i386:x86-64", "-d", definition, "-D", "HAL.dll", "-l",
                        os.path.join(self.work, "libother.a")], check=True)
        obj = self.compile_source("other.cpp", DRIVER_SOURCE + 'extern "C" __declspec(dllimport) ULONG HalOtherRoutine();\n'
                               'extern "C" ULONG CallOther() { return HalOtherRoutine(); }\n')
        image = self.link("other.sys", [obj, self.guard_object], libraries=("-lntoskrnl", "-lother"))
        self.assert_refused(image, "imports from HAL.dll")

    def test_image_without_guarded_copy_is_refused_when_a_guard_is_expected(self):
        obj = self.compile_source("noguard.cpp", DRIVER_SOURCE.replace(
            "return PlatformCopyFromClient(Buffer, RegistryPath, sizeof(Buffer));",
            "UNREFERENCED_PARAMETER(RegistryPath); return Buffer[0];"))
        image = self.link("noguard.sys", [obj])
        status, output = self.check(image)
        self.assertEqual(status, 0, output)
        self.assert_refused(image, "no catch-all guarded scope", "--expect-guard")

    def test_altered_image_fails_its_checksum(self):
        with open(self.good_image(), "rb") as handle:
            data = bytearray(handle.read())
        data[-1] ^= 0x5A
        altered = os.path.join(self.work, "altered.sys")
        with open(altered, "wb") as handle:
            handle.write(data)
        self.assert_refused(altered, "checksum")

    def test_truncated_or_foreign_file_is_reported_without_a_crash(self):
        with open(self.good_image(), "rb") as handle:
            data = handle.read()
        for name, content in (("short.sys", data[:600]), ("text.sys", b"MZ" + b"\0" * 100), ("empty.sys", b"")):
            with self.subTest(name=name):
                path = os.path.join(self.work, name)
                with open(path, "wb") as handle:
                    handle.write(content)
                status, output = self.check(path)
                self.assertEqual(status, 2, output)
                self.assertIn("check-image:", output)
                self.assertNotIn("Traceback", output)

    def test_installation_mistakes_are_refused(self):
        with open(INF) as handle:
            text = handle.read()
        image = self.good_image()
        cases = [
            ('"380010"', '"320000"', "outside the FSFilter Activity Monitor range"),
            ('"380010"', '"high"', "outside the FSFilter Activity Monitor range"),
            ('LoadOrderGroup = "FSFilter Activity Monitor"', 'LoadOrderGroup = "FSFilter Anti-Virus"', "LoadOrderGroup"),
            ('HKR,"Parameters\\Instances","DefaultInstance"', 'HKR,"Parameters\\Other","DefaultInstance"',
             "no Parameters\\Instances DefaultInstance"),
            ('"Flags",0x00010001', '"Flags",0x00000000', "Flags must be a REG_DWORD"),
            ("[Strings]", "[DefaultUninstall.NTamd64]\n[Strings]", "is not allowed"),
            ("ServiceBinary  = %13%\\vetrona.sys", "ServiceBinary  = %13%\\other.sys", "does not name"),
        ]
        for old, new, reason in cases:
            with self.subTest(change=new):
                self.assertIn(old, text)
                path = os.path.join(self.work, "bad.inf")
                with open(path, "w") as handle:
                    handle.write(text.replace(old, new))
                self.assert_refused(image, reason, "--inf", path)


    def test_installation_version_must_be_the_drivers(self):
        with open(INF) as handle:
            text = handle.read()
        image = self.good_image()
        version = checker.parse_inf(INF)["version"]
        shipped = checker.inf_value(version, "DriverVer").split(",")[0]
        shipped_version = [values for key, values in version if key == "DriverVer"][0][1]
        status, output = self.check(image, "--inf", INF, "--driver-version", shipped_version)
        self.assertEqual(status, 0, output)
        self.assertIn("matches the driver's version", output)
        self.assert_refused(image, "is not the driver's version 9.9.9.9", "--inf", INF, "--driver-version", "9.9.9.9")
        cases = [
            (shipped + "," + shipped_version, shipped, "is not w.x.y.z"),
            (shipped + "," + shipped_version, "2026-01-01," + shipped_version, "is not mm/dd/yyyy"),
            (shipped + "," + shipped_version, shipped + ",1.2.3.4.5", "is not w.x.y.z"),
            ("DriverVer   =", "DriverVersion =", "no DriverVer"),
        ]
        for old, new, reason in cases:
            with self.subTest(change=new):
                self.assertIn(old, text)
                path = os.path.join(self.work, "version.inf")
                with open(path, "w") as handle:
                    handle.write(text.replace(old, new, 1))
                self.assert_refused(image, reason, "--inf", path, "--driver-version", shipped_version)

    def test_object_without_control_flow_guard_is_found(self):
        flags = [flag for flag in KERNEL_FLAGS if flag != "-mguard=cf"]
        obj = self.compile_source("unguarded.cpp", DRIVER_SOURCE, flags)
        image = self.link("unguarded.sys", [obj, self.guard_object])
        self.assert_refused(image, "unguarded.cpp.o: compiled without control-flow guard",
                            "--objects", obj, self.guard_object)
        status, output = self.check(image, "--objects", self.driver_object, self.guard_object)
        self.assertEqual(status, 0, output)

    def test_compiler_runtime_import_is_refused(self):
        definition = os.path.join(self.work, "runtime.def")
        with open(definition, "w") as handle:
            handle.write("LIBRARY ntoskrnl.exe\nEXPORTS\n__security_check_cookie\n")
        subprocess.run([PREFIX + "-dlltool", "-m", "i386:x86-64", "-d", definition, "-D", "ntoskrnl.exe", "-l",
                        os.path.join(self.work, "libruntime.a")], check=True)
        obj = self.compile_source("cookie.cpp", DRIVER_SOURCE + 'extern "C" __declspec(dllimport) void '
                                  "__security_check_cookie(ULONG_PTR);\n"
                                  'extern "C" void CheckCookie(ULONG_PTR c) { __security_check_cookie(c); }\n')
        image = self.link("cookie.sys", [obj, self.guard_object], libraries=("-lntoskrnl", "-lruntime"))
        self.assert_refused(image, "imports __security_check_cookie from ntoskrnl.exe: a compiler-runtime routine")

    def mutate(self, name, change):
        """A copy of the good image changed by change(data, image), its checksum made right again,
        so that only the change itself is wrong."""
        with open(self.good_image(), "rb") as handle:
            data = bytearray(handle.read())
        image = checker.Image(bytes(data))
        change(data, image)
        fixed = checker.Image(bytes(data))
        data[fixed.checksum_offset:fixed.checksum_offset + 4] = struct.pack("<I", fixed.pe_checksum())
        path = os.path.join(self.work, name)
        with open(path, "wb") as handle:
            handle.write(data)
        return path

    def test_control_flow_guard_faults_are_refused(self):
        directory = lambda image: image.optional_offset + 112 + 8 * checker.DIR_LOAD_CONFIG
        record = lambda image: image.rva_to_offset(image.directory(checker.DIR_LOAD_CONFIG)[0])

        def put(data, offset, fmt, value):
            struct.pack_into(fmt, data, offset, value)

        def field(image, offset, fmt):
            return struct.unpack_from(fmt, image.data, record(image) + offset)[0]

        def table(image):
            """(file offset of the table, its entries) of the valid call targets."""
            offset = image.rva_to_offset(field(image, checker.LOAD_CONFIG_GUARD_TABLE, "<Q") - image.image_base)
            count = field(image, checker.LOAD_CONFIG_GUARD_COUNT, "<Q")
            return offset, list(struct.unpack_from("<%dI" % count, image.data, offset))

        def replace_target(data, image, target, value):
            offset, entries = table(image)
            put(data, offset + 4 * entries.index(target), "<I", value)

        def stored_callback(image):
            """A code address the image keeps in its data (the unload callback), not the entry point."""
            for slot in image.base_relocations():
                target = image.u64_rva(slot) - image.image_base
                if checker.is_code(image, target) and target != image.entry_point and \
                        image.section_of(slot).name != ".00cfg":
                    return target
            self.fail("the test image stores no callback")

        def section(image, name):
            return [s for s in image.sections if s.name == name][0]

        def swap_first_targets(data, image):
            offset, entries = table(image)
            struct.pack_into("<II", data, offset, entries[1], entries[0])

        cases = [
            ("flag", lambda d, i: put(d, i.optional_offset + 70, "<H", i.dll_characteristics & ~0x4000),
             "lacks GUARD_CF"),
            ("no load configuration", lambda d, i: put(d, directory(i), "<Q", 0), "no load-configuration directory"),
            ("directory size", lambda d, i: put(d, directory(i) + 4, "<I", 148), "is 148 bytes but its record says 192"),
            ("short record", lambda d, i: (put(d, directory(i) + 4, "<I", 128), put(d, record(i), "<I", 128)),
             "ends before its guard fields"),
            ("not instrumented", lambda d, i: put(d, record(i) + checker.LOAD_CONFIG_GUARD_FLAGS, "<I",
                                                  field(i, checker.LOAD_CONFIG_GUARD_FLAGS, "<I") & ~0x100),
             "lack CF_INSTRUMENTED"),
            ("no table flag", lambda d, i: put(d, record(i) + checker.LOAD_CONFIG_GUARD_FLAGS, "<I",
                                               field(i, checker.LOAD_CONFIG_GUARD_FLAGS, "<I") & ~0x400),
             "lack CF_FUNCTION_TABLE_PRESENT"),
            ("empty table", lambda d, i: put(d, record(i) + checker.LOAD_CONFIG_GUARD_COUNT, "<Q", 0),
             "no table of valid call targets"),
            ("unsorted table", swap_first_targets, "not sorted"),
            ("entry point", lambda d, i: replace_target(d, i, i.entry_point, i.entry_point + 1),
             "the entry point 0x%x is not a valid call target"),
            ("callback", lambda d, i: replace_target(d, i, stored_callback(i), stored_callback(i) + 1),
             "stored in the image but not valid call targets: 0x%x"),
            ("target in data", lambda d, i: put(d, table(i)[0] + 4 * (len(table(i)[1]) - 1), "<I",
                                                section(i, ".reloc").virtual_address),
             "valid call targets outside the code"),
            ("dispatch pointer in writable data",
             lambda d, i: put(d, record(i) + checker.LOAD_CONFIG_GUARD_DISPATCH_POINTER, "<Q",
                              i.image_base + section(i, ".data").virtual_address),
             "guard dispatch pointer is in section .data (rw-)"),
            ("check routine in data",
             lambda d, i: put(d, i.rva_to_offset(field(i, checker.LOAD_CONFIG_GUARD_CHECK_POINTER, "<Q") -
                                                 i.image_base), "<Q", i.image_base + section(i, ".rdata").virtual_address),
             "guard check pointer does not point into the image's code"),
        ]
        with open(self.good_image(), "rb") as handle:
            good = checker.Image(handle.read())
        for index, (name, change, reason) in enumerate(cases):
            with self.subTest(fault=name):
                if "%x" in reason:
                    reason = reason % (good.entry_point if name == "entry point" else stored_callback(good))
                self.assert_refused(self.mutate("cfg%d.sys" % index, change), reason)


if __name__ == "__main__":
    unittest.main()
