#!/usr/bin/env python3
"""Checks a built vetrona.sys for what Windows needs to load it as a minifilter.

The image must be an x64 native-subsystem executable (not a DLL) with the
force-integrity, NX, dynamic-base and control-flow-guard flags, relocations, a
valid checksum, no thread-local storage, no section that is both writable and
executable, and imports only from ntoskrnl.exe and FLTMGR.SYS, none of them a
compiler-runtime routine the kernel does not provide. Every exception handler
must be the kernel's __C_specific_handler. With --expect-guard, at least one
catch-all guarded scope (the guarded copy of client buffers) must be present.

Control-flow guard: the load-configuration record must be present and sized,
its guard flags must say instrumented with a function table, the check and
dispatch pointers must sit in read-only data and point into the image's code,
and the table of valid call targets must be sorted, point into code and hold
the entry point and every code address the image stores in its data (each one
a callback something may call indirectly).

Object files given with --objects are checked for static-constructor sections
(nothing in a driver runs them, so a global with a constructor would silently
stay unconstructed) and for the control-flow-guard feature bit.

With --inf the installation INF is checked against the image; with
--driver-version its DriverVer must carry that version.

Python 3 standard library only. Exit status 0 if every check passes.
"""

import argparse
import os
import struct
import sys

IMAGE_FILE_MACHINE_AMD64 = 0x8664
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
IMAGE_FILE_DLL = 0x2000
PE32_PLUS_MAGIC = 0x20B
IMAGE_SUBSYSTEM_NATIVE = 1

DLLCHAR_HIGH_ENTROPY_VA = 0x0020
DLLCHAR_DYNAMIC_BASE = 0x0040
DLLCHAR_FORCE_INTEGRITY = 0x0080
DLLCHAR_NX_COMPAT = 0x0100
DLLCHAR_GUARD_CF = 0x4000

SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000

DIR_IMPORT = 1
DIR_EXCEPTION = 3
DIR_BASERELOC = 5
DIR_TLS = 9
DIR_LOAD_CONFIG = 10

IMAGE_REL_BASED_DIR64 = 10

# IMAGE_LOAD_CONFIG_DIRECTORY64: offsets of the guard fields.
LOAD_CONFIG_GUARD_CHECK_POINTER = 112
LOAD_CONFIG_GUARD_DISPATCH_POINTER = 120
LOAD_CONFIG_GUARD_TABLE = 128
LOAD_CONFIG_GUARD_COUNT = 136
LOAD_CONFIG_GUARD_FLAGS = 144
LOAD_CONFIG_GUARD_END = 148
GUARD_CF_INSTRUMENTED = 0x100
GUARD_CF_FUNCTION_TABLE_PRESENT = 0x400
GUARD_CF_TABLE_STRIDE_SHIFT = 28
# COFF object feature bits (the @feat.00 symbol): compiled with control-flow guard.
OBJECT_FEATURE_GUARD_CF = 0x800

UNW_FLAG_EHANDLER = 0x1
UNW_FLAG_UHANDLER = 0x2
UNW_FLAG_CHAININFO = 0x4

ALLOWED_IMPORTS = ("ntoskrnl.exe", "fltmgr.sys")
REQUIRED_DLLCHARS = (
    (DLLCHAR_FORCE_INTEGRITY, "FORCE_INTEGRITY"),
    (DLLCHAR_NX_COMPAT, "NX_COMPAT"),
    (DLLCHAR_DYNAMIC_BASE, "DYNAMIC_BASE"),
    (DLLCHAR_GUARD_CF, "GUARD_CF"),
)
# Routines of a compiler's user-mode or MSVC runtime that no kernel module exports:
# stack-cookie and guard helpers come with the image (the guard pointers are its
# own, filled by the loader), C++ allocation and exit handlers have no place here.
FORBIDDEN_IMPORT_PREFIXES = ("__guard_", "_guard_", "__security_", "__stack_chk", "__cxa_", "_Znw", "_Zna",
                             "_Zdl", "_Zda", "atexit", "_onexit", "__chkstk_ms", "___chkstk")
CONSTRUCTOR_SECTION_PREFIXES = (".ctors", ".dtors", ".init_array", ".fini_array", ".CRT$XC", ".CRT$XI")


class ImageError(Exception):
    pass


class Section:
    def __init__(self, name, virtual_size, virtual_address, raw_size, raw_pointer, characteristics):
        self.name = name
        self.virtual_size = virtual_size
        self.virtual_address = virtual_address
        self.raw_size = raw_size
        self.raw_pointer = raw_pointer
        self.characteristics = characteristics

    def contains_rva(self, rva):
        size = max(self.virtual_size, self.raw_size)
        return self.virtual_address <= rva < self.virtual_address + size


class Image:
    """The parts of a PE32+ image the checks read. Every read is bounds-checked."""

    def __init__(self, data):
        self.data = data
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise ImageError("not a PE image (no MZ header)")
        self.pe_offset = self.u32(0x3C)
        if self.read(self.pe_offset, 4) != b"PE\0\0":
            raise ImageError("not a PE image (no PE signature)")
        coff = self.pe_offset + 4
        (self.machine, section_count, _, _, _, optional_size, self.characteristics) = struct.unpack_from(
            "<HHIIIHH", self.read(coff, 20))
        self.optional_offset = coff + 20
        optional = self.read(self.optional_offset, optional_size)
        if optional_size < 112 or struct.unpack_from("<H", optional, 0)[0] != PE32_PLUS_MAGIC:
            raise ImageError("not a PE32+ (64-bit) image")
        self.entry_point = struct.unpack_from("<I", optional, 16)[0]
        self.image_base = struct.unpack_from("<Q", optional, 24)[0]
        self.checksum_offset = self.optional_offset + 64
        self.checksum = struct.unpack_from("<I", optional, 64)[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", optional, 68)
        directory_count = struct.unpack_from("<I", optional, 108)[0]
        self.directories = []
        for index in range(min(directory_count, (optional_size - 112) // 8)):
            self.directories.append(struct.unpack_from("<II", optional, 112 + 8 * index))
        self.sections = []
        table = self.optional_offset + optional_size
        for index in range(section_count):
            raw = self.read(table + 40 * index, 40)
            name = raw[:8].rstrip(b"\0").decode("latin-1")
            vsize, vaddr, rsize, rptr = struct.unpack_from("<IIII", raw, 8)
            flags = struct.unpack_from("<I", raw, 36)[0]
            self.sections.append(Section(name, vsize, vaddr, rsize, rptr, flags))

    def read(self, offset, length):
        if offset < 0 or length < 0 or offset + length > len(self.data):
            raise ImageError("truncated image: %d bytes at 0x%x" % (length, offset))
        return self.data[offset:offset + length]

    def u32(self, offset):
        return struct.unpack_from("<I", self.read(offset, 4))[0]

    def directory(self, index):
        if index < len(self.directories):
            return self.directories[index]
        return (0, 0)

    def section_of(self, rva):
        for section in self.sections:
            if section.contains_rva(rva):
                return section
        return None

    def rva_to_offset(self, rva):
        section = self.section_of(rva)
        if section is None or rva - section.virtual_address >= section.raw_size:
            raise ImageError("RVA 0x%x is not backed by the file" % rva)
        return section.raw_pointer + (rva - section.virtual_address)

    def read_rva(self, rva, length):
        return self.read(self.rva_to_offset(rva), length)

    def u32_rva(self, rva):
        return struct.unpack_from("<I", self.read_rva(rva, 4))[0]

    def u64_rva(self, rva):
        return struct.unpack_from("<Q", self.read_rva(rva, 8))[0]

    def rva_of_va(self, va):
        """The RVA of an address inside the image, or None."""
        rva = va - self.image_base
        if va < self.image_base or self.section_of(rva) is None:
            return None
        return rva

    def base_relocations(self):
        """RVAs of the 64-bit slots the loader relocates."""
        rva, size = self.directory(DIR_BASERELOC)
        slots = []
        offset = 0
        while offset + 8 <= size:
            page, block_size = struct.unpack("<II", self.read_rva(rva + offset, 8))
            if block_size < 8 or offset + block_size > size:
                raise ImageError("malformed base relocation block at 0x%x" % (rva + offset))
            entries = self.read_rva(rva + offset + 8, block_size - 8)
            for (entry,) in struct.iter_unpack("<H", entries[:len(entries) // 2 * 2]):
                if entry >> 12 == IMAGE_REL_BASED_DIR64:
                    slots.append(page + (entry & 0xFFF))
            offset += block_size
        return slots

    def cstring_rva(self, rva, limit=512):
        offset = self.rva_to_offset(rva)
        end = self.data.find(b"\0", offset, offset + limit)
        if end < 0:
            raise ImageError("unterminated string at RVA 0x%x" % rva)
        return self.data[offset:end].decode("latin-1")

    def imports(self):
        """[(dll, [(name, iat_slot_rva)])] from the import directory."""
        rva, size = self.directory(DIR_IMPORT)
        result = []
        if rva == 0 or size == 0:
            return result
        for index in range(4096):
            descriptor = self.read_rva(rva + 20 * index, 20)
            lookup, _, _, name_rva, first_thunk = struct.unpack("<IIIII", descriptor)
            if name_rva == 0 and first_thunk == 0:
                return result
            dll = self.cstring_rva(name_rva)
            names = []
            table = lookup if lookup != 0 else first_thunk
            for slot in range(65536):
                entry = struct.unpack("<Q", self.read_rva(table + 8 * slot, 8))[0]
                if entry == 0:
                    break
                if entry & (1 << 63):
                    name = "#%d" % (entry & 0xFFFF)
                else:
                    name = self.cstring_rva((entry & 0x7FFFFFFF) + 2)
                names.append((name, first_thunk + 8 * slot))
            result.append((dll, names))
        raise ImageError("import directory has no terminating entry")

    def runtime_functions(self):
        rva, size = self.directory(DIR_EXCEPTION)
        functions = []
        for index in range(size // 12):
            functions.append(struct.unpack("<III", self.read_rva(rva + 12 * index, 12)))
        return functions

    def pe_checksum(self):
        """The checksum as the image loader computes it (the stored one counted as 0)."""
        data = bytearray(self.data)
        data[self.checksum_offset:self.checksum_offset + 4] = b"\0\0\0\0"
        if len(data) % 2:
            data.append(0)
        total = 0
        for (word,) in struct.iter_unpack("<H", bytes(data)):
            total += word
            total = (total & 0xFFFF) + (total >> 16)
        total = (total & 0xFFFF) + (total >> 16)
        return (total + len(self.data)) & 0xFFFFFFFF


def unwind_handlers(image):
    """[(function_begin, handler_rva, scope_records)] for each function with a handler."""
    handlers = []
    for begin, _end, unwind_rva in image.runtime_functions():
        header = image.read_rva(unwind_rva, 4)
        flags = header[0] >> 3
        code_count = header[2]
        if not flags & (UNW_FLAG_EHANDLER | UNW_FLAG_UHANDLER) or flags & UNW_FLAG_CHAININFO:
            continue
        after_codes = unwind_rva + 4 + 2 * ((code_count + 1) & ~1)
        handler_rva = image.u32_rva(after_codes)
        records = []
        count = image.u32_rva(after_codes + 4)
        if count < 1024:
            for index in range(count):
                records.append(struct.unpack("<IIII", image.read_rva(after_codes + 8 + 16 * index, 16)))
        handlers.append((begin, handler_rva, records))
    return handlers


def is_code(image, rva):
    section = image.section_of(rva) if rva is not None else None
    return section is not None and bool(section.characteristics & SCN_MEM_EXECUTE)


def check_guard_cf(image, require):
    """Checks the control-flow-guard data; returns a line describing it."""
    rva, size = image.directory(DIR_LOAD_CONFIG)
    if rva == 0 or size == 0:
        require(False, "no load-configuration directory: the control-flow-guard table has nowhere to be")
        return "control-flow guard: no load configuration"
    record_size = image.u32_rva(rva)
    require(record_size == size, "load-configuration directory is %d bytes but its record says %d" % (size, record_size))
    if min(record_size, size) < LOAD_CONFIG_GUARD_END:
        require(False, "load-configuration record of %d bytes ends before its guard fields (%d bytes)"
                % (min(record_size, size), LOAD_CONFIG_GUARD_END))
        return "control-flow guard: load configuration too short"
    record = image.read_rva(rva, LOAD_CONFIG_GUARD_END)
    check_va, dispatch_va, table_va, count = struct.unpack_from("<QQQQ", record, LOAD_CONFIG_GUARD_CHECK_POINTER)
    flags = struct.unpack_from("<I", record, LOAD_CONFIG_GUARD_FLAGS)[0]
    require(flags & GUARD_CF_INSTRUMENTED, "guard flags 0x%x lack CF_INSTRUMENTED (0x%x)" % (flags, GUARD_CF_INSTRUMENTED))
    require(flags & GUARD_CF_FUNCTION_TABLE_PRESENT,
            "guard flags 0x%x lack CF_FUNCTION_TABLE_PRESENT (0x%x)" % (flags, GUARD_CF_FUNCTION_TABLE_PRESENT))

    pointer_slots = set()
    for name, va in (("check", check_va), ("dispatch", dispatch_va)):
        slot = image.rva_of_va(va)
        if slot is None:
            require(False, "guard %s pointer 0x%x is not inside the image" % (name, va))
            continue
        pointer_slots.add(slot)
        section = image.section_of(slot)
        require(not section.characteristics & (SCN_MEM_WRITE | SCN_MEM_EXECUTE),
                "guard %s pointer is in section %s (%s), not read-only data"
                % (name, section.name, section_access(section.characteristics)))
        try:
            value = image.u64_rva(slot)
        except ImageError:
            value = 0  # past the section's file data: the loader fills it with zeros
        require(is_code(image, image.rva_of_va(value)), "guard %s pointer does not point into the image's code" % name)

    targets = []
    table = image.rva_of_va(table_va)
    if table is None or count == 0:
        require(False, "no table of valid call targets (table 0x%x, %d entries)" % (table_va, count))
    else:
        stride = 4 + ((flags >> GUARD_CF_TABLE_STRIDE_SHIFT) & 0xF)
        data = image.read_rva(table, stride * count)
        targets = [struct.unpack_from("<I", data, stride * index)[0] for index in range(count)]
        require(all(a < b for a, b in zip(targets, targets[1:])), "the table of valid call targets is not sorted")
        outside = [t for t in targets if not is_code(image, t)]
        require(not outside, "valid call targets outside the code: %s" % " ".join("0x%x" % t for t in outside[:8]))
    valid = set(targets)
    require(image.entry_point in valid, "the entry point 0x%x is not a valid call target" % image.entry_point)

    # A code address stored in data is a callback handed to someone who calls it
    # indirectly; under an enforcing kernel a target missing from the table stops
    # the machine. The guard pointers' own targets are called only through them.
    stored = set()
    for slot in image.base_relocations():
        if slot in pointer_slots:
            continue
        target = image.rva_of_va(image.u64_rva(slot))
        if is_code(image, target):
            stored.add(target)
    missing = sorted(stored - valid)
    require(not missing, "code addresses stored in the image but not valid call targets: %s"
            % " ".join("0x%x" % t for t in missing[:8]))
    return ("control-flow guard: load configuration %d bytes, guard flags 0x%x, %d valid call targets, "
            "%d code addresses in data, check and dispatch pointers at 0x%x and 0x%x"
            % (size, flags, len(targets), len(stored), check_va, dispatch_va))


def thunk_target(image, rva, iat_names):
    """The import a `jmp [rip+disp32]` thunk at rva goes through, or None."""
    try:
        code = image.read_rva(rva, 6)
    except ImageError:
        return None
    if code[:2] != b"\xff\x25":
        return None
    slot = rva + 6 + struct.unpack("<i", code[2:])[0]
    return iat_names.get(slot)


def check_image(path, expect_guard, verbose):
    failures = []
    with open(path, "rb") as handle:
        image = Image(handle.read())

    def require(condition, message):
        if not condition:
            failures.append(message)

    require(image.machine == IMAGE_FILE_MACHINE_AMD64, "machine 0x%x is not x64" % image.machine)
    require(image.characteristics & IMAGE_FILE_EXECUTABLE_IMAGE, "not marked executable")
    require(not image.characteristics & IMAGE_FILE_DLL, "marked as a DLL (linked with -shared?)")
    require(not image.characteristics & IMAGE_FILE_RELOCS_STRIPPED, "relocations stripped: the kernel must relocate it")
    require(image.subsystem == IMAGE_SUBSYSTEM_NATIVE, "subsystem %d is not 1 (native)" % image.subsystem)
    for bit, name in REQUIRED_DLLCHARS:
        require(image.dll_characteristics & bit, "DllCharacteristics 0x%04x lacks %s (0x%x)"
                % (image.dll_characteristics, name, bit))
    entry_section = image.section_of(image.entry_point)
    require(entry_section is not None and entry_section.characteristics & SCN_MEM_EXECUTE,
            "entry point 0x%x is not in an executable section" % image.entry_point)
    require(image.directory(DIR_BASERELOC)[1] > 0, "no base relocations")
    require(image.directory(DIR_TLS)[1] == 0, "thread-local storage is not supported in a driver")
    computed = image.pe_checksum()
    require(image.checksum == computed, "checksum 0x%08x, expected 0x%08x" % (image.checksum, computed))

    for section in image.sections:
        flags = section.characteristics
        require(not (flags & SCN_MEM_WRITE and flags & SCN_MEM_EXECUTE),
                "section %s is both writable and executable" % section.name)
        require(not section.name.startswith(CONSTRUCTOR_SECTION_PREFIXES),
                "section %s holds static constructors or destructors" % section.name)

    imports = image.imports()
    iat_names = {}
    for dll, names in imports:
        require(dll.lower() in ALLOWED_IMPORTS, "imports from %s (only ntoskrnl.exe and FLTMGR.SYS are allowed)" % dll)
        for name, slot in names:
            iat_names[slot] = (dll, name)
            require(not name.startswith(FORBIDDEN_IMPORT_PREFIXES),
                    "imports %s from %s: a compiler-runtime routine the kernel does not provide" % (name, dll))
    dll_names = [dll.lower() for dll, _ in imports]
    require(len(dll_names) == len(set(dll_names)), "a DLL has more than one import entry: %s" % ", ".join(dll_names))

    guarded_scopes = 0
    for begin, handler, records in unwind_handlers(image):
        target = thunk_target(image, handler, iat_names)
        if target is None or target[1] != "__C_specific_handler":
            failures.append("function at 0x%x has exception handler 0x%x, not __C_specific_handler" % (begin, handler))
            continue
        for scope_begin, scope_end, filter_rva, jump_target in records:
            if filter_rva == 1 and jump_target != 0 and scope_begin < scope_end:
                guarded_scopes += 1
    if expect_guard:
        require(guarded_scopes > 0, "no catch-all guarded scope: client buffer copies would be unguarded")
    guard_cf_line = check_guard_cf(image, require)

    print("%s: %d bytes, image base 0x%x, subsystem %d, DllCharacteristics 0x%04x, checksum 0x%08x"
          % (path, len(image.data), image.image_base, image.subsystem, image.dll_characteristics, image.checksum))
    print("sections: " + ", ".join("%s(%s)" % (s.name, section_access(s.characteristics)) for s in image.sections))
    for dll, names in imports:
        listed = sorted(name for name, _ in names)
        print("imports from %s (%d): %s" % (dll, len(listed), " ".join(listed)))
    print("guarded scopes: %d; functions with unwind data: %d" % (guarded_scopes, len(image.runtime_functions())))
    print(guard_cf_line)
    if verbose:
        for section in image.sections:
            print("  %-8s va 0x%06x size 0x%06x flags 0x%08x"
                  % (section.name, section.virtual_address, section.virtual_size, section.characteristics))
    return failures


def section_access(flags):
    return ("r" if flags & 0x40000000 else "-") + ("w" if flags & SCN_MEM_WRITE else "-") + (
        "x" if flags & SCN_MEM_EXECUTE else "-")


def object_sections(path):
    """Names and raw sizes of the sections of a COFF object file."""
    with open(path, "rb") as handle:
        data = handle.read()
    if len(data) < 20:
        raise ImageError("%s: not a COFF object" % path)
    machine, count, _, symbol_table, symbol_count, optional_size, _ = struct.unpack_from("<HHIIIHH", data, 0)
    if machine != IMAGE_FILE_MACHINE_AMD64:
        raise ImageError("%s: machine 0x%x is not x64" % (path, machine))
    strings = symbol_table + 18 * symbol_count
    result = []
    for index in range(count):
        offset = 20 + optional_size + 40 * index
        if offset + 40 > len(data):
            raise ImageError("%s: truncated section table" % path)
        raw_name = data[offset:offset + 8].rstrip(b"\0")
        if raw_name.startswith(b"/") and raw_name[1:].isdigit():
            start = strings + int(raw_name[1:])
            end = data.find(b"\0", start)
            if start >= len(data) or end < 0:
                raise ImageError("%s: bad long section name" % path)
            raw_name = data[start:end]
        size = struct.unpack_from("<I", data, offset + 16)[0]
        result.append((raw_name.decode("latin-1"), size))
    return result


def object_features(path):
    """The value of a COFF object's @feat.00 symbol (its feature bits), 0 if it has none."""
    with open(path, "rb") as handle:
        data = handle.read()
    symbol_table, symbol_count = struct.unpack_from("<II", data, 8)
    index = 0
    while index < symbol_count:
        offset = symbol_table + 18 * index
        if offset + 18 > len(data):
            raise ImageError("%s: truncated symbol table" % path)
        if data[offset:offset + 8] == b"@feat.00":
            return struct.unpack_from("<I", data, offset + 8)[0]
        index += 1 + data[offset + 17]
    return 0


def check_objects(paths):
    failures = []
    for path in paths:
        for name, size in object_sections(path):
            if size > 0 and name.startswith(CONSTRUCTOR_SECTION_PREFIXES):
                failures.append("%s: section %s (%d bytes): a global with a constructor or destructor, "
                                "which nothing runs in a driver" % (path, name, size))
        if not object_features(path) & OBJECT_FEATURE_GUARD_CF:
            failures.append("%s: compiled without control-flow guard (-mguard=cf): its indirect calls are unchecked"
                            % path)
    return failures


ACTIVITY_MONITOR_CLASS_GUID = "{b86dff51-a31e-4bac-b3cf-e8cfe75c9fc2}"
ACTIVITY_MONITOR_ALTITUDES = (360000, 389999)
INSTANCE_KEYS = ("Instances", "Parameters\\Instances")


def parse_inf(path):
    """{section name (lower case): [(key or None, [values])]} with strings substituted."""
    sections = {}
    current = None
    with open(path, encoding="utf-8-sig") as handle:
        for raw in handle:
            line = strip_inf_comment(raw).strip()
            if not line:
                continue
            if line.startswith("[") and line.endswith("]"):
                current = sections.setdefault(line[1:-1].strip().lower(), [])
                continue
            if current is None:
                raise ImageError("%s: text before the first section" % path)
            key = None
            if "=" in line and not line.lstrip().startswith("HKR"):
                key, line = (part.strip() for part in line.split("=", 1))
            current.append((key, [value.strip() for value in line.split(",")]))
    strings = {key.lower(): unquote(values[0]) for key, values in sections.get("strings", []) if key}

    def substitute(text):
        parts = text.split("%")
        for index in range(1, len(parts), 2):
            if index + 1 < len(parts) and parts[index].lower() in strings:
                parts[index] = strings[parts[index].lower()]
            elif index + 1 < len(parts) and not parts[index].isdigit():
                raise ImageError("%s: undefined string %%%s%%" % (path, parts[index]))
            else:
                parts[index] = "%" + parts[index] + ("%" if index + 1 < len(parts) else "")
        return "".join(parts)

    return {name: [(key, [unquote(substitute(v)) for v in values]) for key, values in entries]
            for name, entries in sections.items()}


def strip_inf_comment(line):
    quoted = False
    for index, char in enumerate(line):
        if char == '"':
            quoted = not quoted
        elif char == ";" and not quoted:
            return line[:index]
    return line


def unquote(text):
    # Quoted pieces are concatenated with what follows them: "Instances\"%Name%.
    return text.strip().replace('"', "")


def inf_value(entries, key):
    for entry_key, values in entries:
        if entry_key is not None and entry_key.lower() == key.lower():
            return values[0]
    return None


def check_driver_ver(path, version_section, expected):
    """DriverVer = mm/dd/yyyy,w.x.y.z with the version the driver reports."""
    for key, values in version_section:
        if key is not None and key.lower() == "driverver":
            break
    else:
        return ["%s: no DriverVer" % path]
    date = values[0].split("/")
    if len(date) != 3 or not all(part.isdigit() for part in date) or len(date[2]) != 4:
        return ["%s: DriverVer date %r is not mm/dd/yyyy" % (path, values[0])]
    found = values[1] if len(values) > 1 else ""
    parts = found.split(".")
    if not 1 <= len(parts) <= 4 or not all(part.isdigit() and int(part) <= 65535 for part in parts):
        return ["%s: DriverVer version %r is not w.x.y.z" % (path, found)]
    if found != expected:
        return ["%s: DriverVer version %s is not the driver's version %s" % (path, found, expected)]
    print("%s: DriverVer %s,%s matches the driver's version" % (path, values[0], found))
    return []


def check_inf(path, image_name, driver_version=None):
    """The minifilter installation: service, load order group, class, instances and altitude,
    and with driver_version, the version DriverVer gives."""
    failures = []
    sections = parse_inf(path)
    version = sections.get("version", [])
    if driver_version is not None:
        failures += check_driver_ver(path, version, driver_version)
    if (inf_value(version, "Class") or "").lower() != "activitymonitor":
        failures.append("%s: Class is not ActivityMonitor" % path)
    if (inf_value(version, "ClassGuid") or "").lower() != ACTIVITY_MONITOR_CLASS_GUID:
        failures.append("%s: ClassGuid is not the Activity Monitor class" % path)
    for name in sections:
        if name.startswith("defaultuninstall"):
            failures.append("%s: [%s] is not allowed in a new INF" % (path, name))
    services = sections.get("defaultinstall.ntamd64.services", [])
    service_entries = [values for key, values in services if key and key.lower() == "addservice"]
    if len(service_entries) != 1 or len(service_entries[0]) < 3:
        return failures + ["%s: [DefaultInstall.NTamd64.Services] needs one AddService" % path]
    service = sections.get(service_entries[0][2].lower())
    if service is None:
        return failures + ["%s: service section [%s] is missing" % (path, service_entries[0][2])]
    expected = {"ServiceType": "2", "LoadOrderGroup": "FSFilter Activity Monitor", "Dependencies": "FltMgr"}
    for key, value in expected.items():
        if inf_value(service, key) != value:
            failures.append("%s: service %s is %r, expected %r" % (path, key, inf_value(service, key), value))
    binary = inf_value(service, "ServiceBinary") or ""
    if not binary.lower().endswith("\\" + image_name.lower()):
        failures.append("%s: ServiceBinary %r does not name %s" % (path, binary, image_name))
    registry = sections.get((inf_value(service, "AddReg") or "").lower(), [])
    values = {}
    for _key, fields in registry:
        if len(fields) >= 5 and fields[0].upper() == "HKR":
            values[(fields[1].lower(), fields[2].lower())] = (fields[3], fields[4])
    for instances in INSTANCE_KEYS:
        default = values.get((instances.lower(), "defaultinstance"))
        if default is None:
            failures.append("%s: no %s DefaultInstance" % (path, instances))
            continue
        instance_key = (instances + "\\" + default[1]).lower()
        altitude = values.get((instance_key, "altitude"))
        flags = values.get((instance_key, "flags"))
        if altitude is None or flags is None:
            failures.append("%s: instance %r has no Altitude and Flags under %s" % (path, default[1], instances))
            continue
        if altitude[0] != "0x00000000":
            failures.append("%s: %s Altitude must be a string (REG_SZ)" % (path, instances))
        if flags[0] != "0x00010001":
            failures.append("%s: %s Flags must be a REG_DWORD" % (path, instances))
        try:
            number = float(altitude[1])
        except ValueError:
            number = -1.0
        low, high = ACTIVITY_MONITOR_ALTITUDES
        if not low <= number <= high + 0.999999:
            failures.append("%s: altitude %r is outside the FSFilter Activity Monitor range %d-%d"
                            % (path, altitude[1], low, high))
        print("%s: service %s, %s instance %r at altitude %s, flags %s"
              % (path, service_entries[0][0], instances, default[1], altitude[1], flags[1]))
    return failures


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("image", help="the built driver image")
    parser.add_argument("--objects", nargs="*", default=[], help="object files linked into the image")
    parser.add_argument("--expect-guard", action="store_true", help="require a catch-all guarded scope")
    parser.add_argument("--inf", help="the installation INF to check against the image")
    parser.add_argument("--driver-version", help="the version the INF's DriverVer must give (w.x.y.z)")
    parser.add_argument("-v", "--verbose", action="store_true")
    args = parser.parse_args(argv)
    try:
        failures = check_image(args.image, args.expect_guard, args.verbose)
        failures += check_objects(args.objects)
        if args.inf:
            failures += check_inf(args.inf, os.path.basename(args.image), args.driver_version)
    except (OSError, ImageError) as error:
        print("check-image: %s" % error, file=sys.stderr)
        return 2
    for failure in failures:
        print("FAIL: " + failure, file=sys.stderr)
    if failures:
        print("check-image: %d check(s) failed" % len(failures), file=sys.stderr)
        return 1
    print("check-image: all checks passed (%d objects checked for static constructors and control-flow guard)"
          % len(args.objects))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
