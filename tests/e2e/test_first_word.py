"""The first command-line word as the C runtime's start-up builds it under
Wine: argv[0] of the wide entry, from msvcrt's __wgetmainargs. The service's
mode depends on it (a word beginning "PCI" makes the force-close helper).
tests/winprogs/hxargs.cpp is built with the service's start-up and prints what
it was given; hxlaunch starts it with exact command lines."""

import re
import shutil
import unittest

from e2e_base import FIRST_ARGUMENT_SOURCE, PrefixTestCase, WineTestCase, windows_build_dir
from wineprefix import from_hex_arg

# A module path with a blank, as an installed service's under C:\Program Files.
ARGS_EXE = r"C:\hx\with blank\hxargs.exe"

# (what, command line, argv[0])
FIRST_WORDS = [
    ("quoted first word, further words", '"PCI\\VEN_1412 x" more words', "PCI\\VEN_1412 x"),
    ("quotes inside the word", 'pc"i x"y z', "pci xy"),
    ("quote never closed", '"PCI x', "PCI x"),
    ("empty quotes", '"" PCI', ""),
    ("leading blank", " PCI", ""),
    ("leading tab", "\tPCI", ""),
    ("a tab ends the word", "PCI\\VEN_1412\tx", "PCI\\VEN_1412"),
    ("backslashes not before a quote", "PCI\\\\X\\ y", "PCI\\\\X\\"),
    ("two letters", "PC", "PC"),
    ("one letter", "P", "P"),
    ("exactly PCI", "PCI", "PCI"),
    ("exactly pci", "pci", "pci"),
]

# Wine's runtime reads backslashes before a quote in the first word as it
# does in every other word; Windows' start-up takes the first word as a path,
# where quotes only group and backslashes are plain characters.
# (what, command line, argv[0] on Windows, argv[0] under Wine)
WINE_DIFFERENCES = [
    ("a backslash before the closing quote", '"C:\\dir\\" next', "C:\\dir\\", 'C:\\dir" next'),
    ("a backslash before a quote inside the word", 'PCI\\X\\"a b" c', "PCI\\X\\a b", 'PCI\\X"a'),
    ("two backslashes before a quote", 'a\\\\"b c"', "a\\\\b c", "a\\b c"),
]


class TheProbe(WineTestCase):
    def test_the_probe_has_the_service_start_up(self):
        # Both take their arguments from msvcrt's wide start-up.
        for exe in (windows_build_dir() / "HexlornS.exe", windows_build_dir() / "winprogs" / "hxargs.exe"):
            image = exe.read_bytes()
            self.assertIn(b"__wgetmainargs\0", image, exe)
            self.assertIn(b"msvcrt.dll\0", image.lower(), exe)


class RuntimeFirstWord(PrefixTestCase):
    def setUp(self):
        super().setUp()
        target = self.wp.c_path(ARGS_EXE)
        target.parent.mkdir(parents=True)
        shutil.copy2(windows_build_dir() / "winprogs" / "hxargs.exe", target)

    def arguments(self, command_line):
        """(command line the process saw, its argument vector)."""
        run = self.wp.run_launcher(command_line, application=ARGS_EXE)
        self.assertEqual((run.exit_code, run.timed_out), (0, False), run.stdout)
        fields = dict(re.findall(r"^(\w+)=(\S*)\r?$", run.stdout, re.M))
        argv = [from_hex_arg(fields[f"argv{i}"]) for i in range(int(fields["argc"]))]
        return from_hex_arg(fields["cmdline"]), argv

    def test_first_words(self):
        for what, command_line, first_word in FIRST_WORDS:
            with self.subTest(what):
                seen, argv = self.arguments(command_line)
                self.assertEqual(seen, command_line, "the command line reaches the process unchanged")
                self.assertEqual(argv[0], first_word, argv)

    def test_empty_and_null_command_lines_give_the_full_path(self):
        # Wine's CreateProcessW gives a program started with an empty or null
        # command line its quoted application name as its command line, so
        # the first word is the whole path, blank included.
        for command_line in ("", None):
            with self.subTest(repr(command_line)):
                seen, argv = self.arguments(command_line)
                self.assertEqual(seen, f'"{ARGS_EXE}"')
                self.assertEqual(argv, [ARGS_EXE])

    def test_backslashes_before_a_quote(self):
        for what, command_line, windows, wine in WINE_DIFFERENCES:
            with self.subTest(what):
                _, argv = self.arguments(command_line)
                self.expect_wine_difference(argv[0], windows=windows, wine=wine, reason=f"argv[0] of {what}",
                                            source=FIRST_ARGUMENT_SOURCE)


if __name__ == "__main__":
    unittest.main(verbosity=2)
