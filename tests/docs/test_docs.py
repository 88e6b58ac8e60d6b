"""docs/cli.md against the code: its stage table must list the enumerators of
`enum class Stage` (src/core/progress.hpp) with their numbers, in order, and
every option it names must be one the program compares its arguments with."""

import os
import re
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))


def read(*parts):
    with open(os.path.join(ROOT, *parts), encoding="utf-8") as src:
        return src.read()


def code_stages(header):
    """(number, name) of each enumerator of `enum class Stage`, in order."""
    body = re.search(r"enum class Stage\b[^{]*\{(.*?)\};", header, re.S).group(1)
    body = re.sub(r"//[^\n]*", "", body)
    return [(int(number), name) for name, number in re.findall(r"(\w+)\s*=\s*(\d+)", body)]


def table_stages(markdown):
    """(number, name) of each row of the table in the section "## Stages"."""
    section = re.search(r"^## Stages\n(.*?)(?=^## |\Z)", markdown, re.S | re.M).group(1)
    return [(int(number), name) for number, name in
            re.findall(r"^\|\s*(\d+)\s*\|\s*`(\w+)`\s*\|", section, re.M)]


class CliDocument(unittest.TestCase):
    def test_stage_table_matches_the_enumeration(self):
        expected = code_stages(read("src", "core", "progress.hpp"))
        self.assertIn((9, "ready"), expected)  # the parser found the enumeration
        self.assertEqual(table_stages(read("docs", "cli.md")), expected)

    def test_every_option_named_is_compared_in_the_code(self):
        sources = "".join(read(folder, name) for folder, _, names in os.walk(os.path.join(ROOT, "src"))
                          for name in names if name.endswith(".cpp"))
        options = set(re.findall(r"(?<![\w-])--[a-z][a-z-]*", read("docs", "cli.md")))
        self.assertGreaterEqual(len(options), 9)
        for option in sorted(options):
            self.assertTrue('L"%s"' % option in sources, option + " is compared nowhere in src/")


if __name__ == "__main__":
    unittest.main()
