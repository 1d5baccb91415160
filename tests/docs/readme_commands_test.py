"""README.md stays short, every command it shows stays runnable, and the
documentation's links lead somewhere.

Commands are read from README.md's fenced code blocks: every line of an
`sh` block, and the lines of any block that begin with `$ ` (a transcript).
Each must be one this test knows how to check:

- scripts of this repository (scripts/..., bench/..., the installed
  /usr/share/quorvelin/plot and merge): they exist, are executable, and
  every option given to them appears in the script;
- quorvelin: every option is one `quorvelin --help` lists, and the whole
  command line is handed to the binary with the device swapped for one no
  host has, so that it must get past the command line and the scenario
  files and stop only at the device;
- cmake, cpack and ctest lines: the source directory, build type, project
  options and test labels they name exist; a package file name carries the
  project's version.

A load on a real device (eth0, veth0) is allowed only in a block marked
`<!-- needs a real network -->` on the line before it; inside `scripts/lab`
the lab's device ("$LAB_CLIENT_IF") needs no mark.

Every relative link of README.md and docs/*.md must name an existing file,
and an existing heading where it gives an anchor; the docs pages, installed
together, link only among themselves.
"""
import glob
import os
import re
import shlex
import shutil
import subprocess
import tempfile
import unittest

SOURCE = os.path.abspath(os.environ.get("QUORVELIN_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", "..")))
BINARY = os.path.abspath(os.environ.get("QUORVELIN", os.path.join(SOURCE, "build", "quorvelin")))
MAX_README_LINES = 400
NETWORK_MARK = "<!-- needs a real network -->"
# Blocks whose every line is a command; in other blocks only "$ " lines are.
SHELL_BLOCKS = {"sh", "bash", "shell"}
# A device name no host has (at most 15 characters): the binary, given it,
# stops at the device lookup once the command line and scenario are accepted.
NO_DEVICE = "qv-no-such-if"
# The lab's client device, as a command run by scripts/lab names it.
LAB_DEVICES = {"$LAB_CLIENT_IF", "${LAB_CLIENT_IF}"}
# Where the package installs scripts of this repository.
INSTALLED_SCRIPTS = {"/usr/share/quorvelin/plot": "scripts/plot", "/usr/share/quorvelin/merge": "scripts/merge"}
QUORVELIN_NAMES = {"quorvelin", "build/quorvelin", "/usr/bin/quorvelin"}
# Top-level directories of the repository: a word that begins with one is a
# path into the checkout and must exist.
REPO_DIRS = ("bench/", "deploy/", "docs/", "examples/", "fuzz/", "scripts/", "tests/")
# Shell words that join simple commands.
SEPARATORS = {"&&", "||", ";", "|", "&", "(", ")"}


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


# --- Markdown ---------------------------------------------------------------

class Block:
    def __init__(self, info, first_line, marked):
        self.info = info
        self.first_line = first_line      # 1-based line of the first content line
        self.marked = marked
        self.lines = []


def code_blocks(text):
    """The fenced code blocks of a Markdown text, and the problems of its
    fences: one left open, or an indented block that would escape the check."""
    blocks, problems = [], []
    lines = text.split("\n")
    block, fence = None, None
    last_text, prior = "", ""       # the last line that is not blank; the line before
    for number, line in enumerate(lines, 1):
        if block is None:
            opening = re.match(r"^(`{3,}|~{3,})\s*([\w+-]*)", line)
            if opening:
                fence = opening.group(1)
                block = Block(opening.group(2).lower(), number + 1, last_text.strip() == NETWORK_MARK)
            elif re.match(r"^( {4}|\t)\S", line) and not prior.strip():
                problems.append(f"line {number}: an indented code block; fence it so that its commands are checked")
        elif line.startswith(fence[0] * len(fence)) and not line.strip(fence[0]).strip():
            blocks.append(block)
            block = None
        else:
            block.lines.append(line)
        if line.strip():
            last_text = line
        prior = line
    if block is not None:
        problems.append(f"line {block.first_line - 1}: a code block that is never closed")
    return blocks, problems


def commands(block):
    """The command lines a block shows, with the line each starts on;
    continuation lines (a trailing backslash) are joined."""
    shown, pending, start = [], "", None
    for offset, line in enumerate(block.lines):
        if block.info not in SHELL_BLOCKS:
            if line.startswith("$ "):
                shown.append((block.first_line + offset, line[2:]))
            continue
        if start is None:
            start = block.first_line + offset
        if line.endswith("\\"):
            pending += line[:-1] + " "
            continue
        whole = (pending + line).strip()
        if whole and not whole.startswith("#"):
            shown.append((start, whole))
        pending, start = "", None
    return shown


def slug(heading):
    """The anchor a heading gets on the forge that renders these pages:
    lower case, punctuation dropped, blanks turned into hyphens."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def anchors(text):
    found, seen = set(), {}
    in_fence = False
    for line in text.split("\n"):
        if re.match(r"^(`{3,}|~{3,})", line):
            in_fence = not in_fence
            continue
        heading = re.match(r"^#{1,6}\s+(.*?)\s*#*\s*$", line)
        if heading and not in_fence:
            base = slug(heading.group(1))
            count = seen.get(base, 0)
            seen[base] = count + 1
            found.add(base if count == 0 else f"{base}-{count}")
    return found


def links(text):
    """The targets of the inline links and images outside code."""
    prose = re.sub(r"(?ms)^(`{3,}|~{3,}).*?^\1\s*$", "", text)
    prose = re.sub(r"`[^`]*`", "", prose)
    return re.findall(r"!?\[[^\]]*\]\(([^)\s]+)\)", prose)


def link_problems(path, text, stay_within=None):
    problems = []
    here = os.path.dirname(path)
    for target in links(text):
        if re.match(r"^[a-z][a-z0-9+.-]*:", target):
            continue                      # another site: not ours to check
        file_part, _, anchor = target.partition("#")
        linked = os.path.normpath(os.path.join(here, file_part)) if file_part else path
        if not os.path.exists(linked):
            problems.append(f"{os.path.basename(path)}: link to {target}: no such file")
            continue
        if stay_within and not linked.startswith(stay_within + os.sep):
            problems.append(f"{os.path.basename(path)}: link to {target} leaves {stay_within}, "
                            "which is installed on its own")
        if anchor and linked.endswith(".md") and anchor not in anchors(read(linked)):
            problems.append(f"{os.path.basename(path)}: link to {target}: no such heading")
    return problems


# --- Commands -----------------------------------------------------------------

def simple_commands(line):
    """The simple commands of a shell line, split at && || ; | & ( ), each as
    its words; redirections are dropped with their targets."""
    lexer = shlex.shlex(line, posix=True, punctuation_chars=True)
    lexer.whitespace_split = True
    lexer.commenters = "#"
    words = list(lexer)
    found, current, skip = [], [], False
    for word in words:
        if skip:
            skip = False
        elif word in SEPARATORS:
            if current:
                found.append(current)
            current = []
        elif word in {">", ">>", "<", "2>", "&>"}:
            skip = True
        else:
            current.append(word)
    if current:
        found.append(current)
    return found


def help_options(binary):
    """Every option `--help` lists, each mapped to whether it takes a value."""
    usage = subprocess.run([binary, "--help"], capture_output=True, text=True, check=True).stdout
    options = {}
    for line in usage.splitlines():
        if not line.startswith("  -"):
            continue
        takes_value = " arg " in line + " "
        for name in re.findall(r"(?:^  |\[ )(--?[A-Za-z][a-z-]*)", line):
            options[name] = takes_value
    return options


class Checker:
    """Checks the commands of one README text against this checkout."""

    def __init__(self, binary=BINARY, source=SOURCE):
        self.binary = binary
        self.source = source
        self.options = help_options(binary)
        cmake = read(os.path.join(source, "CMakeLists.txt"))
        self.version = re.search(r"project\(quorvelin VERSION ([\d.]+)", cmake).group(1)
        self.project_options = set(re.findall(r"^option\((\w+)", cmake, re.M))
        tests = read(os.path.join(source, "tests", "CMakeLists.txt"))
        self.labels = set(re.findall(r"LABELS (\w+)", tests))

    def problems(self, text):
        blocks, problems = code_blocks(text)
        for block in blocks:
            for line, command in commands(block):
                try:
                    words_list = simple_commands(command)
                except ValueError as error:
                    problems.append(f"line {line}: cannot read '{command}': {error}")
                    continue
                for words in words_list:
                    for problem in self.command(words, block.marked, in_lab=False):
                        problems.append(f"line {line}: {problem}")
        return problems

    def command(self, words, marked, in_lab):
        words = list(words)
        while words and (words[0] in {"sudo", "exec", "nice"} or re.match(r"^\w+=", words[0])):
            words.pop(0)
        if not words:
            return []
        name = words[0]
        problems = self.paths(words[1:])
        if name in QUORVELIN_NAMES:
            problems += self.quorvelin(words[1:], marked, in_lab)
        elif name in INSTALLED_SCRIPTS or name.startswith(REPO_DIRS):
            problems += self.script(INSTALLED_SCRIPTS.get(name, name), words[1:], marked)
        elif name in {"sh", "bash"} and len(words) == 3 and words[1] == "-c":
            for inner in simple_commands(words[2]):
                problems += self.command(inner, marked, in_lab)
        elif name in {"cmake", "cpack", "ctest"}:
            problems += self.build_tool(name, words[1:])
        elif name in {"dpkg", "apt", "man"}:
            problems += self.package_tool(name, words[1:])
        elif name == "cd":
            target = words[1] if len(words) > 1 else ""
            if not (target == "build" or target.startswith("build/")
                    or os.path.isdir(os.path.join(self.source, target))):
                problems.append(f"cd {target}: no such directory")
        else:
            problems.append(f"{name}: a command this test cannot check")
        return problems

    def paths(self, words):
        """Words that name a path into the checkout name existing files."""
        problems = []
        for word in words:
            if word.startswith(REPO_DIRS) and not glob.glob(os.path.join(self.source, word)):
                problems.append(f"{word}: no such file in the checkout")
        return problems

    def script(self, path, args, marked):
        full = os.path.join(self.source, path)
        if not os.path.isfile(full) or not os.access(full, os.X_OK):
            return [f"{path}: no such executable script"]
        text = read(full)
        problems = []
        for position, arg in enumerate(args):
            if arg == "--":
                if path == "scripts/lab":   # the rest runs in the lab's client namespace
                    problems += self.command(args[position + 1:], marked, in_lab=True)
                break
            if arg.startswith("-"):
                option = arg.split("=", 1)[0]
                if not re.search(r"(?<![\w-])" + re.escape(option) + r"(?![\w-])", text):
                    problems.append(f"{path} {option}: the script knows no such option")
        return problems

    def quorvelin(self, args, marked, in_lab):
        problems, options, positional = [], [], []
        words = iter(args)
        for word in words:
            if not word.startswith("-") or word == "-":
                positional.append(word)
                continue
            name, has_value, value = word.partition("=")
            if name not in self.options:
                problems.append(f"quorvelin {name}: not an option --help lists")
                continue
            options.append(name)
            if self.options[name]:
                value = value if has_value else next(words, None)
                if value is None:
                    problems.append(f"quorvelin {name}: its value is missing")
                    continue
                options.append(value)
        if problems:
            return problems
        if not positional:
            return ["quorvelin: no device"]
        device, scenario = positional[0], positional[1:]
        if device in LAB_DEVICES and in_lab:
            pass
        elif not marked:
            problems.append(f"quorvelin runs a load on {device}: mark its block '{NETWORK_MARK}'")
        files = []
        for pattern in scenario:
            matched = sorted(glob.glob(os.path.join(self.source, pattern)))
            if not matched:
                problems.append(f"quorvelin: no scenario file {pattern}")
            files += matched
        if any("$" in word for word in options + files):
            problems.append("quorvelin: a value taken from the shell cannot be checked")
        if problems:
            return problems
        return self.accepted(options, files)

    def accepted(self, options, files):
        """The binary takes the command line and loads the scenario: it stops
        at the device, which no host has, and prints no usage text."""
        with tempfile.TemporaryDirectory(prefix="quorvelin-readme.") as scratch:
            run = subprocess.run([self.binary, *options, NO_DEVICE, *files], cwd=scratch,
                                 capture_output=True, text=True, timeout=60)
        said = run.stderr.strip()
        if run.returncode != 1 or "if_nametoindex" not in said or "Command Synopics" in said:
            first = said.splitlines()[0] if said else f"status {run.returncode}"
            return [f"quorvelin {' '.join(options)}: refused: {first}"]
        return []

    def build_tool(self, name, args):
        problems = [] if shutil.which(name) else [f"{name}: not installed"]
        for flag, value in zip(args, args[1:] + [""]):
            if name == "cmake" and flag == "-S" and not os.path.isfile(
                    os.path.join(self.source, value, "CMakeLists.txt")):
                problems.append(f"cmake -S {value}: no CMakeLists.txt there")
            if name == "ctest" and flag == "-L" and value not in self.labels:
                problems.append(f"ctest -L {value}: no test carries that label")
            if name == "cpack" and flag == "-G" and value != "DEB":
                problems.append(f"cpack -G {value}: the package is built as DEB")
        for setting in (arg[2:] for arg in args if arg.startswith("-D")):
            variable, _, value = setting.partition("=")
            if variable == "CMAKE_BUILD_TYPE" and value not in {"Debug", "Release", "RelWithDebInfo", "MinSizeRel"}:
                problems.append(f"-D{setting}: no such build type")
            elif variable.startswith("QUORVELIN_") and variable not in self.project_options:
                problems.append(f"-D{setting}: the project has no such option")
        return problems

    def package_tool(self, name, args):
        problems = []
        for arg in args:
            package = re.match(r"^(?:\./)?build/quorvelin_([^_]+)_\w+\.deb$", arg)
            if package and package.group(1) != self.version:
                problems.append(f"{arg}: the package is quorvelin_{self.version}")
            if name == "man" and arg.endswith(".1") and not os.path.isfile(os.path.join(self.source, arg)):
                problems.append(f"man -l {arg}: no such page")
        return problems


# --- Tests --------------------------------------------------------------------

README = os.path.join(SOURCE, "README.md")
DOCS = os.path.join(SOURCE, "docs")


class ReadmeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.checker = Checker()

    def test_readme_is_short(self):
        lines = read(README).count("\n")
        self.assertLessEqual(lines, MAX_README_LINES, f"README.md has {lines} lines")

    def test_every_command_is_runnable(self):
        self.assertEqual(self.checker.problems(read(README)), [])

    def test_it_shows_commands_of_every_kind(self):
        # The check above would pass on a README that lost its code blocks.
        shown = [words[0] for block in code_blocks(read(README))[0]
                 for _, line in commands(block) for words in simple_commands(line)]
        for expected in ("scripts/demo", "scripts/test", "quorvelin", "cmake", "scripts/lab"):
            self.assertIn(expected, shown)

    def test_links_lead_somewhere(self):
        problems = link_problems(README, read(README))
        for page in sorted(glob.glob(os.path.join(DOCS, "*.md"))):
            problems += link_problems(page, read(page), stay_within=DOCS)
        self.assertEqual(problems, [])


# Faults each check must catch: README snippets and the problem they give.
BROKEN_COMMANDS = [
    ("a script that does not exist", "```sh\nscripts/nosuch\n```\n", "scripts/nosuch: no such executable script"),
    ("a script's unknown option", "```sh\nscripts/lab --sever kea -- true\n```\n",
     "scripts/lab --sever: the script knows no such option"),
    ("an option quorvelin lacks", f"{NETWORK_MARK}\n```sh\nquorvelin --no-such-option eth0\n```\n",
     "quorvelin --no-such-option: not an option --help lists"),
    ("a mode quorvelin refuses", f"{NETWORK_MARK}\n```sh\nquorvelin --test-mode sometimes eth0\n```\n",
     "quorvelin --test-mode sometimes: refused: Error: Invalid symbol name"),
    ("a value out of range", f"{NETWORK_MARK}\n```console\n$ quorvelin --timeout 0 eth0\n```\n",
     "quorvelin --timeout 0: refused: Error: the argument ('0') for option '--timeout' is out of range 1..86400"),
    ("a scenario file that is missing", f"{NETWORK_MARK}\n```sh\nquorvelin eth0 examples/nosuch/*.scn\n```\n",
     "examples/nosuch/*.scn: no such file in the checkout"),
    ("a load on a device without the mark", "```sh\nquorvelin -v eth0\n```\n",
     f"quorvelin runs a load on eth0: mark its block '{NETWORK_MARK}'"),
    ("the mark not right before the block", f"{NETWORK_MARK}\n\ntext\n\n```sh\nquorvelin eth0\n```\n",
     "quorvelin runs a load on eth0"),
    ("a command of the lab with an unknown option",
     "```sh\nscripts/lab -- sh -c 'exec build/quorvelin --nosuch \"$LAB_CLIENT_IF\"'\n```\n",
     "quorvelin --nosuch: not an option --help lists"),
    ("a command nobody checks", "```sh\ncurl http://example.org\n```\n", "curl: a command this test cannot check"),
    ("a package of another version", "```sh\nsudo dpkg -i build/quorvelin_0.0.1_amd64.deb\n```\n",
     "the package is quorvelin_"),
    ("a project option that does not exist", "```sh\ncmake -S . -B build -DQUORVELIN_NOSUCH=ON\n```\n",
     "-DQUORVELIN_NOSUCH=ON: the project has no such option"),
    ("a test label that does not exist", "```sh\nctest --test-dir build -L nosuch\n```\n",
     "ctest -L nosuch: no test carries that label"),
    ("a block left open", "```sh\nscripts/demo\n", "a code block that is never closed"),
    ("an indented block", "text\n\n    quorvelin eth0\n", "an indented code block"),
]

BROKEN_LINKS = [
    ("a file that does not exist", "[x](docs/nosuch.md)", "link to docs/nosuch.md: no such file"),
    ("a heading that does not exist", "[x](docs/results.md#nosuch)", "link to docs/results.md#nosuch: no such heading"),
    ("a heading of its own that does not exist", "# Title\n[x](#nosuch)", "link to #nosuch: no such heading"),
]


class CheckCatchesFaultsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.checker = Checker()

    def test_broken_commands_are_caught(self):
        for fault, text, expected in BROKEN_COMMANDS:
            with self.subTest(fault):
                problems = self.checker.problems(text)
                self.assertTrue(any(expected in problem for problem in problems), problems)

    def test_working_commands_pass(self):
        text = (f"{NETWORK_MARK}\n```sh\nquorvelin -v --test-mode Endlessly --clients 5 -t 30 eth0"
                " examples/default/*.scn\n```\n")
        self.assertEqual(self.checker.problems(text), [])

    def test_broken_links_are_caught(self):
        for fault, text, expected in BROKEN_LINKS:
            with self.subTest(fault):
                problems = link_problems(README, text)
                self.assertTrue(any(expected in problem for problem in problems), problems)

    def test_docs_pages_link_only_among_themselves(self):
        problems = link_problems(os.path.join(DOCS, "page.md"), "[x](../README.md)", stay_within=DOCS)
        self.assertTrue(any("leaves" in problem for problem in problems), problems)

    def test_anchors_follow_the_headings(self):
        text = ("# Live metrics (Prometheus)\n## Test lab: `scripts/lab`\n## Notes\n## Notes\n"
                "```\n# not a heading\n```\n")
        self.assertEqual(anchors(text), {"live-metrics-prometheus", "test-lab-scriptslab", "notes", "notes-1"})


if __name__ == "__main__":
    unittest.main()
