"""The docs check (scripts/check_docs.py) passes README.md and docs/, and
each of its rules catches the fault it is for."""
import os
import sys
import unittest

SOURCE = os.path.abspath(os.environ.get("QUORVELIN_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", "..")))
sys.path.insert(0, os.path.join(SOURCE, "scripts"))
from check_docs import (DOCS, MAX_README_LINES, NETWORK_MARK, README, Checker, all_problems,  # noqa: E402
                        code_blocks, commands, link_problems, read, simple_commands)


class ReadmeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.checker = Checker()

    def test_readme_and_docs_have_no_problems_and_the_readme_shows_every_command(self):
        self.assertEqual(all_problems(self.checker), [])
        # Which would also hold of a README that lost its code blocks.
        shown = {words[0] for block in code_blocks(read(README))[0]
                 for _, line in commands(block) for words in simple_commands(line)}
        self.assertLessEqual({"scripts/demo", "scripts/test", "quorvelin", "cmake", "scripts/lab"}, shown)

    def test_docs_pages_link_only_among_themselves(self):
        problems = link_problems(os.path.join(DOCS, "page.md"), "[x](../README.md)", stay_within=DOCS)
        self.assertEqual(problems, [f"page.md: link to ../README.md leaves {DOCS}, which is installed on its own"])

    def test_each_rule_catches_its_fault(self):
        cases = [  # a README text, the one problem it has
            ("```sh\nscripts/nosuch\n```\n", "line 2: scripts/nosuch: no such executable script"),
            ("```sh\nscripts/lab --sever kea\n```\n", "line 2: scripts/lab --sever: the script knows no such option"),
            ("```sh\ncurl http://example.org\n```\n", "line 2: curl: a command this check does not know"),
            (f"{NETWORK_MARK}\n```sh\nquorvelin --no-such-option eth0\n```\n",
             "line 3: quorvelin --no-such-option: not an option --help lists"),
            (f"{NETWORK_MARK}\n```console\n$ quorvelin --test-mode sometimes eth0\n```\n",
             "line 3: quorvelin --test-mode sometimes: refused: Error: Invalid symbol name"),
            # Without the mark right before its block, a load on a device.
            (f"{NETWORK_MARK}\n\ntext\n\n```sh\nquorvelin eth0\n```\n",
             f"line 6: quorvelin runs a load on eth0: mark its block '{NETWORK_MARK}'"),
            ("text\n" * (MAX_README_LINES + 1), f"README.md has {MAX_README_LINES + 1} lines; at most {MAX_README_LINES}"),
            ("[x](docs/nosuch.md)", "README.md: link to docs/nosuch.md: no such file"),
            ("[x](docs/results.md#nosuch)", "README.md: link to docs/results.md#nosuch: no such heading"),
        ]
        for text, problem in cases:
            with self.subTest(problem):
                self.assertEqual(self.checker.problems(text), [problem])


if __name__ == "__main__":
    unittest.main()
