#!/usr/bin/env python3
"""Checks the built HexlornS.exe as a Windows loader and the Event Viewer see it.

usage: check_pe.py PATH/TO/HexlornS.exe

Reads the PE32+ file with its own small parser (standard library only) and
checks the image type, the import table, the export directory, the message
table in its three languages and the manifest. The expected catalog texts are
written out here on purpose: a change to the catalog source must show up as a
failure of this test. The last group corrupts copies of the exe one field at a
time and proves that each check notices.
"""
import struct
import sys
import unittest
import xml.etree.ElementTree as ElementTree

EXE_PATH = None  # set by main()

IMAGE_FILE_MACHINE_AMD64 = 0x8664
IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
IMAGE_FILE_DLL = 0x2000
PE32_PLUS_MAGIC = 0x20B
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3
DIR_EXPORT, DIR_IMPORT, DIR_RESOURCE, DIR_DELAY_IMPORT = 0, 1, 2, 13
RT_MESSAGETABLE = 11
RT_MANIFEST = 24
MESSAGE_RESOURCE_UNICODE = 0x0001

ALLOWED_DLLS = {"advapi32.dll", "kernel32.dll", "user32.dll", "shell32.dll", "setupapi.dll", "wtsapi32.dll",
                "msvcrt.dll"}
# Anything that loads or binds a library at run time.
FORBIDDEN_IMPORT_PREFIXES = ("LoadLibrary", "LoadPackagedLibrary", "GetProcAddress", "LdrLoadDll",
                             "LdrGetProcedureAddress")

ENGLISH, SIMPLIFIED_CHINESE, TRADITIONAL_CHINESE = 0x0409, 0x0004, 0x7C04
EXPECTED_BLOCKS = [(0x40000002, 0x40000006), (0xC0020001, 0xC0020001)]
EXPECTED_TEXTS = {
    ENGLISH: {
        0x40000002: "A device (%2) has arrival.\r\n",
        0x40000003: "Query remove device (%2).\r\n",
        0x40000004: "Query remove device (%2) failed.\r\n",
        0x40000005: "Remove device (%2) complete.\r\n",
        0x40000006: "Found device (%2).\r\n",
        0xC0020001: "An error has occurred (%2).\r\n",
    },
    SIMPLIFIED_CHINESE: {
        0x40000002: "设备 (%2) 已增加。\r\n",
        0x40000003: "准备删除设备 (%2)。\r\n",
        0x40000004: "准备删除设备 (%2) 失败。\r\n",
        0x40000005: "删除设备 (%2) 完成。\r\n",
        0x40000006: "发现设备 (%2)。\r\n",
        0xC0020001: "发生了一个错误 (%2)。\r\n",
    },
    TRADITIONAL_CHINESE: {
        0x40000002: "設備 (%2) 已添加。\r\n",
        0x40000003: "準備移除設備 (%2)。\r\n",
        0x40000004: "準備移除設備 (%2) 失敗。\r\n",
        0x40000005: "移除設備 (%2) 完成。\r\n",
        0x40000006: "發現設備 (%2)。\r\n",
        0xC0020001: "發生了一個錯誤 (%2)。\r\n",
    },
}


class PEError(Exception):
    """The file is not a well-formed PE32+ image."""


class Reader:
    """Bounds-checked little-endian reads from the file image."""

    def __init__(self, data):
        self.data = data

    def unpack(self, fmt, offset):
        size = struct.calcsize(fmt)
        if offset < 0 or offset + size > len(self.data):
            raise PEError(f"read of {size} bytes at 0x{offset:x} is outside the file")
        return struct.unpack_from("<" + fmt, self.data, offset)

    def cstring(self, offset, limit=512):
        end = self.data.find(b"\0", offset, offset + limit)
        if offset < 0 or end < 0:
            raise PEError(f"unterminated name at 0x{offset:x}")
        return self.data[offset:end].decode("ascii", "replace")

    def bytes(self, offset, size):
        if offset < 0 or size < 0 or offset + size > len(self.data):
            raise PEError(f"{size} bytes at 0x{offset:x} are outside the file")
        return self.data[offset:offset + size]


class ResourceLeaf:
    def __init__(self, type_id, name, language, data, entry_offset):
        self.type_id, self.name, self.language, self.data = type_id, name, language, data
        self.entry_offset = entry_offset  # file offset of the language directory entry


class PEImage:
    """The parts of a PE32+ image this test looks at."""

    def __init__(self, data):
        self.read = Reader(data)
        if self.read.bytes(0, 2) != b"MZ":
            raise PEError("no MZ signature")
        (pe_offset,) = self.read.unpack("I", 0x3C)
        if self.read.bytes(pe_offset, 4) != b"PE\0\0":
            raise PEError("no PE signature")
        coff = pe_offset + 4
        (self.machine, section_count, _, _, _, optional_size, self.characteristics) = self.read.unpack(
            "HHIIIHH", coff)
        optional = coff + 20
        (self.magic,) = self.read.unpack("H", optional)
        if self.magic != PE32_PLUS_MAGIC:
            self.subsystem, self.directories, self.sections = None, [], []
            return
        (self.subsystem,) = self.read.unpack("H", optional + 68)
        (directory_count,) = self.read.unpack("I", optional + 108)
        self.directories = [self.read.unpack("II", optional + 112 + 8 * i) for i in range(min(directory_count, 16))]
        self.sections = []
        table = optional + optional_size
        for i in range(section_count):
            name, virtual_size, address, raw_size, raw_offset = self.read.unpack("8sIIII", table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode("ascii", "replace"), address,
                                  max(virtual_size, raw_size), raw_offset, raw_size))

    def offset_of(self, rva):
        for _, address, size, raw_offset, raw_size in self.sections:
            if address <= rva < address + size:
                if rva - address >= raw_size:
                    raise PEError(f"RVA 0x{rva:x} lies in uninitialised data")
                return raw_offset + rva - address
        raise PEError(f"RVA 0x{rva:x} is in no section")

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def imports(self):
        """{dll name as written: [imported function names or '#ordinal']}"""
        rva, size = self.directory(DIR_IMPORT)
        result = {}
        if not rva:
            return result
        descriptor = self.offset_of(rva)
        while True:
            lookup, _, _, name_rva, address_table = self.read.unpack("IIIII", descriptor)
            if not (lookup or name_rva or address_table):
                return result
            dll = self.read.cstring(self.offset_of(name_rva))
            thunk = self.offset_of(lookup or address_table)
            names = result.setdefault(dll, [])
            while True:
                (value,) = self.read.unpack("Q", thunk)
                if value == 0:
                    break
                if value & (1 << 63):
                    names.append(f"#{value & 0xFFFF}")
                else:
                    names.append(self.read.cstring(self.offset_of(value & 0x7FFFFFFF) + 2))
                thunk += 8
            descriptor += 20

    def export_counts(self):
        """(number of functions, number of names), or None with no export directory."""
        rva, size = self.directory(DIR_EXPORT)
        if not rva or not size:
            return None
        fields = self.read.unpack("IIHHIIIIIII", self.offset_of(rva))
        return fields[6], fields[7]

    def resources(self):
        """Every leaf of the resource tree (type / name / language)."""
        rva, _ = self.directory(DIR_RESOURCE)
        if not rva:
            return []
        root = self.offset_of(rva)
        leaves = []

        def entries(directory):
            _, _, _, _, named, numbered = self.read.unpack("IIHHHH", directory)
            if named + numbered > 4096:
                raise PEError("implausible resource directory")
            for i in range(named + numbered):
                entry = directory + 16 + 8 * i
                name, target = self.read.unpack("II", entry)
                if name & 0x80000000:
                    (length,) = self.read.unpack("H", root + (name & 0x7FFFFFFF))
                    name = self.read.bytes(root + (name & 0x7FFFFFFF) + 2, 2 * length).decode("utf-16-le")
                yield entry, name, target

        def subdirectory(target):
            if not target & 0x80000000:
                raise PEError("resource leaf where a directory belongs")
            return root + (target & 0x7FFFFFFF)

        for _, type_id, type_target in entries(root):
            for _, name, name_target in entries(subdirectory(type_target)):
                for entry, language, leaf in entries(subdirectory(name_target)):
                    if leaf & 0x80000000:
                        raise PEError("resource directory below the language level")
                    data_rva, data_size, _, _ = self.read.unpack("IIII", root + leaf)
                    data = self.read.bytes(self.offset_of(data_rva), data_size)
                    leaves.append(ResourceLeaf(type_id, name, language, data, entry))
        return leaves


def parse_message_table(data):
    """Returns ([(low, high)], {id: (length, flags, raw text bytes)}, problems)."""
    read = Reader(data)
    problems = []
    (block_count,) = read.unpack("I", 0)
    if block_count > 64:
        raise PEError(f"implausible block count {block_count}")
    blocks = [read.unpack("III", 4 + 12 * i) for i in range(block_count)]
    entries = {}
    expected_offset = 4 + 12 * block_count
    try:
        for i, (low, high, offset) in enumerate(blocks):
            if offset != expected_offset:
                problems.append(f"block {i} starts at {offset}, not right after what precedes it ({expected_offset})")
            if high < low or high - low > 4096:
                problems.append(f"block {i} has the range 0x{low:08X}..0x{high:08X}")
                continue
            for ident in range(low, high + 1):
                length, flags = read.unpack("HH", offset)
                if length < 4:
                    raise PEError(f"entry 0x{ident:08X} has length {length}")
                entries[ident] = (length, flags, read.bytes(offset + 4, length - 4))
                offset += length
            expected_offset = offset
        if expected_offset != len(data):
            problems.append(f"the table is {len(data)} bytes but its entries end at {expected_offset}")
    except PEError as error:
        problems.append(f"unreadable entries: {error}")
    return [(low, high) for low, high, _ in blocks], entries, problems


def text_of_entry(ident, length, flags, raw):
    """Decodes one Unicode entry; returns (text, problems)."""
    problems = []
    where = f"0x{ident:08X}"
    if flags != MESSAGE_RESOURCE_UNICODE:
        problems.append(f"{where}: flags {flags}, not MESSAGE_RESOURCE_UNICODE")
    if length % 4:
        problems.append(f"{where}: length {length} is not a multiple of 4")
    if len(raw) % 2:
        return None, problems + [f"{where}: odd number of text bytes"]
    units = raw.decode("utf-16-le", "surrogatepass")
    text = units.rstrip("\0")
    padding = len(units) - len(text)
    # One NUL always; a second one only when the first leaves the entry off a 4-byte boundary.
    wanted = 1 if (4 + 2 * len(text) + 2) % 4 == 0 else 2
    if padding != wanted:
        problems.append(f"{where}: {padding} NUL characters after the text, expected exactly {wanted}")
    if "\0" in text:
        problems.append(f"{where}: NUL inside the text")
    return text, problems


# ---- the checks: each returns a list of problems, empty when all is well ----

def check_image(image):
    problems = []
    if image.machine != IMAGE_FILE_MACHINE_AMD64:
        problems.append(f"machine 0x{image.machine:04X}, not x86-64")
    if image.magic != PE32_PLUS_MAGIC:
        problems.append(f"optional header magic 0x{image.magic:X}, not PE32+")
    if image.subsystem != IMAGE_SUBSYSTEM_WINDOWS_CUI:
        problems.append(f"subsystem {image.subsystem}, not the console subsystem")
    if not image.characteristics & IMAGE_FILE_EXECUTABLE_IMAGE or image.characteristics & IMAGE_FILE_DLL:
        problems.append(f"characteristics 0x{image.characteristics:04X}: not an executable image")
    return problems


def check_imports(image):
    problems = []
    imports = image.imports()
    if not imports:
        problems.append("no import table")
    for dll, names in imports.items():
        if dll.lower() not in ALLOWED_DLLS:
            problems.append(f"imports {dll}")
        for name in names:
            if name.startswith(FORBIDDEN_IMPORT_PREFIXES):
                problems.append(f"imports {name} from {dll}: the program must bind no library at run time")
    if image.directory(DIR_DELAY_IMPORT)[0]:
        problems.append("has a delay-load import table")
    return problems


def check_exports(image):
    counts = image.export_counts()
    if counts and counts != (0, 0):
        return [f"exports {counts[0]} functions and {counts[1]} names"]
    return []


def check_message_tables(image):
    problems = []
    tables = [leaf for leaf in image.resources() if leaf.type_id == RT_MESSAGETABLE]
    names = sorted({str(leaf.name) for leaf in tables})
    if names != ["1"]:
        problems.append(f"message-table resources named {names}, expected exactly one named 1")
    languages = sorted(leaf.language for leaf in tables)
    if languages != sorted(EXPECTED_TEXTS):
        problems.append("message-table languages " + ", ".join(f"0x{lang:04X}" for lang in languages))
    for leaf in tables:
        language = f"language 0x{leaf.language:04X}"
        blocks, entries, table_problems = parse_message_table(leaf.data)
        problems += [f"{language}: {problem}" for problem in table_problems]
        if blocks != EXPECTED_BLOCKS:
            problems.append(f"{language}: blocks " + ", ".join(f"0x{lo:08X}-0x{hi:08X}" for lo, hi in blocks))
        expected = EXPECTED_TEXTS.get(leaf.language, {})
        for ident, (length, flags, raw) in sorted(entries.items()):
            text, entry_problems = text_of_entry(ident, length, flags, raw)
            problems += [f"{language}: {problem}" for problem in entry_problems]
            if text is not None and text != expected.get(ident):
                problems.append(f"{language}: 0x{ident:08X} reads {text!r}, expected {expected.get(ident)!r}")
    return problems


def check_manifest(image):
    manifests = [leaf for leaf in image.resources() if leaf.type_id == RT_MANIFEST]
    if [str(leaf.name) for leaf in manifests] != ["1"]:
        return [f"manifest resources {[(leaf.name, leaf.language) for leaf in manifests]}, expected one with ID 1"]
    try:
        root = ElementTree.fromstring(manifests[0].data)
    except ElementTree.ParseError as error:
        return [f"manifest is not well-formed XML: {error}"]
    levels = [element for element in root.iter() if element.tag.rsplit("}", 1)[-1] == "requestedExecutionLevel"]
    if len(levels) != 1:
        return [f"{len(levels)} requestedExecutionLevel elements, expected one"]
    level = levels[0]
    problems = []
    if level.get("level") != "asInvoker":
        problems.append(f"requested execution level {level.get('level')!r}, expected 'asInvoker'")
    if level.get("uiAccess") != "false":
        problems.append(f"uiAccess {level.get('uiAccess')!r}, expected 'false'")
    return problems


CHECKS = {"image": check_image, "imports": check_imports, "exports": check_exports,
          "message tables": check_message_tables, "manifest": check_manifest}


def problems_of(data):
    """{check name: problems} for a file image; a malformed file is a problem of every check."""
    try:
        image = PEImage(data)
    except PEError as error:
        return {name: [f"unreadable image: {error}"] for name in CHECKS}
    result = {}
    for name, check in CHECKS.items():
        try:
            result[name] = check(image)
        except PEError as error:
            result[name] = [f"unreadable: {error}"]
    return result


class ExecutableTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(EXE_PATH, "rb") as exe:
            cls.data = exe.read()
        cls.problems = problems_of(cls.data)

    def assertClean(self, check):
        self.assertEqual(self.problems[check], [], f"{EXE_PATH}: {check}")

    def test_is_a_64_bit_console_program(self):
        self.assertClean("image")

    def test_imports_only_the_system_libraries_and_binds_nothing_at_run_time(self):
        self.assertClean("imports")

    def test_exports_nothing(self):
        self.assertClean("exports")

    def test_message_table_holds_the_catalog_in_three_languages(self):
        self.assertClean("message tables")

    def test_manifest_asks_for_no_elevation_and_no_ui_access(self):
        self.assertClean("manifest")


class CorruptedCopyTest(unittest.TestCase):
    """Each change to a copy of the exe is caught by the check it concerns."""

    @classmethod
    def setUpClass(cls):
        with open(EXE_PATH, "rb") as exe:
            cls.data = exe.read()
        cls.image = PEImage(cls.data)

    def corrupted(self, offset, new_bytes):
        data = bytearray(self.data)
        data[offset:offset + len(new_bytes)] = new_bytes
        return bytes(data)

    def assertCaught(self, data, check, fragment):
        problems = problems_of(data)[check]
        self.assertTrue(any(fragment in problem for problem in problems),
                        f"{check} missed the corruption; it reported {problems}")

    def table(self, language):
        (leaf,) = [leaf for leaf in self.image.resources()
                   if leaf.type_id == RT_MESSAGETABLE and leaf.language == language]
        return self.data.find(leaf.data), leaf

    def test_one_changed_text_character_is_caught(self):
        for language, word in ((ENGLISH, "device"), (TRADITIONAL_CHINESE, "設備")):
            with self.subTest(language=hex(language)):
                start, leaf = self.table(language)
                at = start + leaf.data.find(word.encode("utf-16-le"))
                self.assertCaught(self.corrupted(at, bytes([self.data[at] ^ 0x01])), "message tables", "expected")

    def test_entry_flags_are_caught(self):
        start, _ = self.table(SIMPLIFIED_CHINESE)
        first_entry = start + 4 + 12 * 2
        self.assertCaught(self.corrupted(first_entry + 2, b"\0\0"), "message tables", "flags 0")

    def test_padding_other_than_the_minimal_is_caught(self):
        def problems(text, nuls):
            raw = text.encode("utf-16-le") + b"\0\0" * nuls
            return text_of_entry(1, 4 + len(raw), MESSAGE_RESOURCE_UNICODE, raw)[1]

        self.assertEqual(problems("odd", 1), [])
        self.assertEqual(problems("even", 2), [])
        self.assertTrue(any("exactly 1" in problem for problem in problems("odd", 3)))
        self.assertTrue(any("exactly 2" in problem for problem in problems("even", 4)))
        self.assertTrue(any("multiple of 4" in problem for problem in problems("even", 1)))
        self.assertTrue(any("multiple of 4" in problem for problem in problems("odd", 0)))

    def test_a_wrong_language_is_caught(self):
        _, leaf = self.table(TRADITIONAL_CHINESE)
        self.assertCaught(self.corrupted(leaf.entry_offset, struct.pack("<I", 0x0404)), "message tables",
                          "languages")

    def test_a_wrong_block_range_is_caught(self):
        start, _ = self.table(ENGLISH)
        for field, value in ((4 + 4, 0x40000005), (4 + 12, 0xC0020000)):
            with self.subTest(value=hex(value)):
                self.assertCaught(self.corrupted(start + field, struct.pack("<I", value)), "message tables", "blocks")

    def test_foreign_library_and_run_time_binding_are_caught(self):
        for old, new, fragment in ((b"GetModuleFileNameW\0", b"LoadLibraryW\0", "LoadLibraryW"),
                                   (b"WTSAPI32.dll\0", b"WS2_32.dll\0", "WS2_32.dll")):
            with self.subTest(new=new):
                at = self.data.find(old)
                if at < 0:
                    at = self.data.lower().find(old.lower())
                self.assertGreaterEqual(at, 0, f"{old} not in the exe")
                self.assertCaught(self.corrupted(at, new), "imports", fragment)

    def test_elevation_in_the_manifest_is_caught(self):
        for old, new in ((b'"asInvoker"', b'"asAdmin__"'), (b'uiAccess="false"', b'uiAccess="true" ')):
            with self.subTest(new=new):
                at = self.data.find(old)
                self.assertGreaterEqual(at, 0)
                self.assertCaught(self.corrupted(at, new), "manifest", "expected")

    def test_a_32_bit_or_windowed_image_is_caught(self):
        (pe_offset,) = struct.unpack_from("<I", self.data, 0x3C)
        self.assertCaught(self.corrupted(pe_offset + 4, struct.pack("<H", 0x014C)), "image", "machine")
        self.assertCaught(self.corrupted(pe_offset + 24 + 68, struct.pack("<H", 2)), "image", "subsystem")

    def test_a_truncated_file_is_reported_not_crashed_on(self):
        problems = problems_of(self.data[:len(self.data) // 2])
        self.assertTrue(problems["message tables"] or problems["imports"])


def main():
    global EXE_PATH
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    EXE_PATH = sys.argv[1]
    try:
        open(EXE_PATH, "rb").close()
    except OSError as error:
        raise SystemExit(f"check_pe.py: {error} (build the windows preset first)")
    unittest.main(argv=[sys.argv[0], "-v"])


if __name__ == "__main__":
    main()
