#!/usr/bin/env python3
"""Checks the built HexlornS.exe as the Windows loader, Explorer and the Event
Viewer see it.

usage: check_pe.py PATH/TO/HexlornS.exe VERSION

pefile (Debian's python3-pefile) reads the image. Checked here: the image
type, the import table, the export directory, the message table in its three
languages, the manifest, the version resource (VERSION is the project
version), and the footprint: the size budget, and none of the C++ runtime's
exception machinery, which the service's own allocation operators keep out.
The expected catalog and version texts are written out here on purpose: a
change to their source must show up as a failure of this test. The last group
corrupts copies of the exe one field at a time and proves that each check
notices.
"""
import struct
import sys
import unittest
import xml.etree.ElementTree as ElementTree

try:
    import pefile
except ImportError:
    # Debian's python3-pefile sits in the system Python's packages, where
    # another Python 3 on the PATH (a pyenv one, say) does not look.
    sys.path.append("/usr/lib/python3/dist-packages")
    import pefile

EXE_PATH = None  # set by main()
VERSION = None  # set by main(): major.minor.patch

IMAGE_FILE_MACHINE_AMD64 = 0x8664
IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
IMAGE_FILE_DLL = 0x2000
PE32_PLUS_MAGIC = 0x20B
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3
DIR_DELAY_IMPORT = 13
RT_VERSION = 16
RT_MESSAGETABLE = 11
RT_MANIFEST = 24
MESSAGE_RESOURCE_UNICODE = 0x0001

ALLOWED_DLLS = {"advapi32.dll", "kernel32.dll", "user32.dll", "shell32.dll", "setupapi.dll", "wtsapi32.dll",
                "msvcrt.dll"}
# Anything that loads or binds a library at run time.
FORBIDDEN_IMPORT_PREFIXES = ("LoadLibrary", "LoadPackagedLibrary", "GetProcAddress", "LdrLoadDll",
                             "LdrGetProcedureAddress")

# The whole executable, resources included, fits in this; the service's own
# code is a few KiB and the static C runtime start-up about as much again.
SIZE_BUDGET = 32 * 1024
# Type names and messages that come with the C++ runtime's throwing allocation
# operators and its terminate handler.
EXCEPTION_MACHINERY = (b"St9bad_alloc", b"St9exception", b"__cxxabiv1", b"terminate called", b"__gnu_cxx")

MAKER = "TALVORIN"
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD
VOS_NT_WINDOWS32 = 0x00040004
VFT_APP = 1
UNICODE_CODE_PAGE = 1200


def expected_version_strings(version):
    return {
        "CompanyName": MAKER,
        "FileDescription": "HexlornS audio card service",
        "FileVersion": version,
        "InternalName": "HexlornS",
        "LegalCopyright": f"Copyright (C) {MAKER}",
        "OriginalFilename": "HexlornS.exe",
        "ProductName": "HexlornS",
        "ProductVersion": version,
    }


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


def unpack(fmt, data, offset):
    """Bounds-checked little-endian read."""
    size = struct.calcsize(fmt)
    if offset < 0 or offset + size > len(data):
        raise PEError(f"read of {size} bytes at 0x{offset:x} is outside the data")
    return struct.unpack_from("<" + fmt, data, offset)


class ResourceLeaf:
    def __init__(self, type_id, name, language, data, entry_offset):
        self.type_id, self.name, self.language, self.data = type_id, name, language, data
        self.entry_offset = entry_offset  # file offset of the language directory entry


class Image:
    """The parts of a PE32+ image this test looks at, read by pefile."""

    def __init__(self, data):
        self.size = len(data)
        self.data = data
        try:
            self.pe = pefile.PE(data=data)
        except pefile.PEFormatError as error:
            raise PEError(str(error)) from None

    def resources(self):
        """Every leaf of the resource tree (type / name / language)."""

        def below(entry):
            if not hasattr(entry, "directory"):
                raise PEError("resource leaf where a directory belongs")
            return entry.directory.entries

        leaves = []
        root = getattr(self.pe, "DIRECTORY_ENTRY_RESOURCE", None)
        for type_entry in root.entries if root else []:
            for name_entry in below(type_entry):
                name = str(name_entry.name) if name_entry.name is not None else name_entry.id
                for language in below(name_entry):
                    if not hasattr(language, "data"):
                        raise PEError("resource directory below the language level")
                    leaf = language.data.struct
                    data = self.pe.get_data(leaf.OffsetToData, leaf.Size)
                    if len(data) != leaf.Size:
                        raise PEError(f"resource data at RVA 0x{leaf.OffsetToData:x} is cut short")
                    leaves.append(ResourceLeaf(type_entry.id, name, language.id, data,
                                               language.struct.get_file_offset()))
        return leaves


def parse_message_table(data):
    """Returns ([(low, high)], {id: (length, flags, raw text bytes)}, problems)."""
    problems = []
    (block_count,) = unpack("I", data, 0)
    if block_count > 64:
        raise PEError(f"implausible block count {block_count}")
    blocks = [unpack("III", data, 4 + 12 * i) for i in range(block_count)]
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
                length, flags = unpack("HH", data, offset)
                if length < 4:
                    raise PEError(f"entry 0x{ident:08X} has length {length}")
                if offset + length > len(data):
                    raise PEError(f"entry 0x{ident:08X} runs past the end of the table")
                entries[ident] = (length, flags, data[offset + 4:offset + length])
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
    machine = image.pe.FILE_HEADER.Machine
    characteristics = image.pe.FILE_HEADER.Characteristics
    magic = image.pe.OPTIONAL_HEADER.Magic
    if machine != IMAGE_FILE_MACHINE_AMD64:
        problems.append(f"machine 0x{machine:04X}, not x86-64")
    if magic != PE32_PLUS_MAGIC:
        problems.append(f"optional header magic 0x{magic:X}, not PE32+")
    if image.pe.OPTIONAL_HEADER.Subsystem != IMAGE_SUBSYSTEM_WINDOWS_CUI:
        problems.append(f"subsystem {image.pe.OPTIONAL_HEADER.Subsystem}, not the console subsystem")
    if not characteristics & IMAGE_FILE_EXECUTABLE_IMAGE or characteristics & IMAGE_FILE_DLL:
        problems.append(f"characteristics 0x{characteristics:04X}: not an executable image")
    return problems


def check_imports(image):
    problems = []
    imports = getattr(image.pe, "DIRECTORY_ENTRY_IMPORT", [])
    if not imports:
        problems.append("no import table")
    for library in imports:
        dll = library.dll.decode("ascii", "replace")
        if dll.lower() not in ALLOWED_DLLS:
            problems.append(f"imports {dll}")
        for function in library.imports:
            name = function.name.decode("ascii", "replace") if function.name else f"#{function.ordinal}"
            if name.startswith(FORBIDDEN_IMPORT_PREFIXES):
                problems.append(f"imports {name} from {dll}: the program must bind no library at run time")
    if image.pe.OPTIONAL_HEADER.DATA_DIRECTORY[DIR_DELAY_IMPORT].VirtualAddress:
        problems.append("has a delay-load import table")
    return problems


def check_exports(image):
    exports = getattr(image.pe, "DIRECTORY_ENTRY_EXPORT", None)
    if exports and (exports.struct.NumberOfFunctions or exports.struct.NumberOfNames):
        return [f"exports {exports.struct.NumberOfFunctions} functions and {exports.struct.NumberOfNames} names"]
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


def check_version(image):
    """One English version resource: fixed file and product version = VERSION.0, an application
    for Windows NT; the string table with the product's texts; the translation English/Unicode."""
    leaves = [(str(leaf.name), leaf.language) for leaf in image.resources() if leaf.type_id == RT_VERSION]
    if leaves != [("1", ENGLISH)]:
        return [f"version resources {leaves}, expected one with ID 1 in English (0x0409)"]
    problems = []
    fixed = getattr(image.pe, "VS_FIXEDFILEINFO", [None])[0]
    if fixed is None:
        return ["the version resource has no fixed file information"]
    major, minor, patch = (int(part) for part in VERSION.split("."))
    wanted = ((major << 16) | minor, patch << 16)
    if fixed.Signature != VS_FIXEDFILEINFO_SIGNATURE:
        problems.append(f"fixed file information signature 0x{fixed.Signature:08X}")
    for what, found in (("file", (fixed.FileVersionMS, fixed.FileVersionLS)),
                        ("product", (fixed.ProductVersionMS, fixed.ProductVersionLS))):
        if found != wanted:
            problems.append(f"fixed {what} version {found[0] >> 16}.{found[0] & 0xFFFF}.{found[1] >> 16}."
                            f"{found[1] & 0xFFFF}, expected {VERSION}.0")
    if (fixed.FileOS, fixed.FileType, fixed.FileFlags & fixed.FileFlagsMask) != (VOS_NT_WINDOWS32, VFT_APP, 0):
        problems.append(f"file OS 0x{fixed.FileOS:X}, type {fixed.FileType}, flags 0x{fixed.FileFlags:X}: "
                        "expected an application for Windows NT, no debug, pre-release or patched flag")
    tables, translations = {}, []
    for info in getattr(image.pe, "FileInfo", [[]])[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                tables[table.LangID.decode("ascii", "replace").upper()] = {
                    key.decode("utf-8", "replace"): value.decode("utf-8", "replace")
                    for key, value in table.entries.items()}
        elif info.Key == b"VarFileInfo":
            translations += [var.entry.get(b"Translation") for var in info.Var]
    if list(tables) != ["040904B0"]:
        problems.append(f"string tables {list(tables)}, expected one for 040904B0 (English, Unicode)")
    strings = next(iter(tables.values()), {})
    expected = expected_version_strings(VERSION)
    for key in sorted(set(strings) | set(expected)):
        if strings.get(key) != expected.get(key):
            problems.append(f"{key} reads {strings.get(key)!r}, expected {expected.get(key)!r}")
    if translations != [f"0x{ENGLISH:04x} 0x{UNICODE_CODE_PAGE:04x}"]:
        problems.append(f"translations {translations}, expected English with the Unicode code page")
    return problems


def check_footprint(image):
    problems = []
    if image.size > SIZE_BUDGET:
        problems.append(f"{image.size} bytes, over the budget of {SIZE_BUDGET}")
    found = [marker.decode() for marker in EXCEPTION_MACHINERY if marker in image.data]
    if found:
        problems.append(f"carries the C++ runtime's exception machinery ({', '.join(found)}): "
                        "an allocation operator of the runtime was linked instead of the service's own")
    return problems


CHECKS = {"image": check_image, "imports": check_imports, "exports": check_exports,
          "message tables": check_message_tables, "manifest": check_manifest, "version": check_version,
          "footprint": check_footprint}


def problems_of(data):
    """{check name: problems} for a file image; a malformed file is a problem of every check."""
    try:
        image = Image(data)
    except PEError as error:
        return {name: [f"unreadable image: {error}"] for name in CHECKS}
    result = {}
    for name, check in CHECKS.items():
        try:
            result[name] = check(image)
        except (PEError, pefile.PEFormatError) as error:
            result[name] = [f"unreadable: {error}"]
    return result


class ExecutableTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(EXE_PATH, "rb") as exe:
            cls.data = exe.read()
        cls.problems = problems_of(cls.data)
        print(f"{EXE_PATH}: {len(cls.data)} bytes (budget {SIZE_BUDGET})", file=sys.stderr)

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

    def test_version_resource_names_the_product_its_maker_and_the_project_version(self):
        self.assertClean("version")

    def test_fits_the_size_budget_without_the_exception_machinery(self):
        self.assertClean("footprint")


class CorruptedCopyTest(unittest.TestCase):
    """Each change to a copy of the exe is caught by the check it concerns."""

    @classmethod
    def setUpClass(cls):
        with open(EXE_PATH, "rb") as exe:
            cls.data = exe.read()
        cls.image = Image(cls.data)

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

    def test_a_changed_version_text_or_number_is_caught(self):
        for key, value in (("CompanyName", MAKER), ("ProductVersion", VERSION)):
            with self.subTest(key=key):
                # The value follows its key in the string table.
                at = self.data.find(value.encode("utf-16-le"), self.data.find(key.encode("utf-16-le")))
                self.assertGreater(at, 0)
                self.assertCaught(self.corrupted(at, bytes([self.data[at] ^ 0x01])), "version", key)
        fixed = self.image.pe.VS_FIXEDFILEINFO[0]
        self.assertCaught(self.corrupted(fixed.get_file_offset() + 8, struct.pack("<I", fixed.FileVersionMS + 1)),
                          "version", "fixed file version")

    def test_a_grown_image_or_the_runtime_exception_machinery_is_caught(self):
        self.assertCaught(self.data + b"\0" * (SIZE_BUDGET + 1 - len(self.data)), "footprint", "over the budget")
        self.assertCaught(self.data + b"St9bad_alloc\0", "footprint", "St9bad_alloc")

    def test_a_32_bit_or_windowed_image_is_caught(self):
        (pe_offset,) = struct.unpack_from("<I", self.data, 0x3C)
        self.assertCaught(self.corrupted(pe_offset + 4, struct.pack("<H", 0x014C)), "image", "machine")
        self.assertCaught(self.corrupted(pe_offset + 24 + 68, struct.pack("<H", 2)), "image", "subsystem")

    def test_a_truncated_file_is_reported_not_crashed_on(self):
        problems = problems_of(self.data[:len(self.data) // 2])
        self.assertTrue(problems["message tables"] or problems["imports"])


def main():
    global EXE_PATH, VERSION
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    EXE_PATH, VERSION = sys.argv[1], sys.argv[2]
    try:
        open(EXE_PATH, "rb").close()
    except OSError as error:
        raise SystemExit(f"check_pe.py: {error} (build the windows preset first)")
    unittest.main(argv=[sys.argv[0], "-v"])


if __name__ == "__main__":
    main()
