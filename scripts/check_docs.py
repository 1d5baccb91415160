#!/usr/bin/env python3
"""Checks that README.md stays short, that every command it shows stays
runnable, and that the documentation's links lead somewhere.

  scripts/check_docs.py [--binary PATH]

Prints one line per problem and exits 1 if there is any, 0 if there is none.
PATH is the quorvelin binary whose --help and command line the README's
commands are checked against (default: $QUORVELIN, else build/quorvelin).

Commands are every line of README.md's `sh` blocks and the `$ ` lines of its
other blocks; each must be one the Checker knows how to check. A load on a
real device is allowed only in a block marked `<!-- needs a real network -->`
on the line before it; inside `scripts/lab`, on the lab's device, without.
Every relative link of README.md and docs/*.md must lead to an existing file
and heading; the docs pages, installed together, link only among themselves.
"""
import argparse
import glob
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
from types import SimpleNamespace


SOURCE = os.path.abspath(os.environ.get("QUORVELIN_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..")))
BINARY = os.path.abspath(os.environ.get("QUORVELIN", os.path.join(SOURCE, "build", "quorvelin")))
README = os.path.join(SOURCE, "README.md")
DOCS = os.path.join(SOURCE, "docs")
MAX_README_LINES = 430
NETWORK_MARK = "<!-- needs a real network -->"
# Blocks whose every line is a command; in other blocks only "$ " lines are.
SHELL_BLOCKS = {"sh", "bash", "shell"}
# A device name no host has (at most 15 characters): the binary, given it,
# stops at the device lookup once the command line and scenario are accepted.
NO_DEVICE = "qv-no-such-if"
# The lab's client device, as a command run by scripts/lab names it.
LAB_DEVICES = {"$LAB_CLIENT_IF", "${LAB_CLIENT_IF}"}
# Where the package installs scripts of this repository.
INSTALLED_SCRIPTS = {"/usr/share/quorvelin/plot": "scripts/plot", "/usr/share/quorvelin/merge": "scripts/merge",
                     "/usr/share/quorvelin/compare": "scripts/compare"}
QUORVELIN_NAMES = {"quorvelin", "build/quorvelin", "/usr/bin/quorvelin"}
# Top-level directories of the repository: a word that begins with one is a
# path into the checkout and must exist.
REPO_DIRS = ("bench/", "deploy/", "docs/", "examples/", "fuzz/", "scripts/", "tests/")
# Shell words that join simple commands, and those that redirect (their target dropped).
SEPARATORS = {"&&", "||", ";", "|", "&", "(", ")"}
REDIRECTIONS = {">", ">>", "<", "2>", "&>"}


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


# --- Markdown ---------------------------------------------------------------

def code_blocks(text):
    """The fenced code blocks of a Markdown text (info, first_line: the
    1-based line of the first content line, marked, lines), and the problems
    of its fences: one left open, or an indented block that would escape the check."""
    blocks, problems = [], []
    block, fence = None, None
    last_text, prior = "", ""       # the last line that is not blank; the line before
    for number, line in enumerate(text.split("\n"), 1):
        if block is None:
            opening = re.match(r"^(`{3,}|~{3,})\s*([\w+-]*)", line)
            if opening:
                fence = opening.group(1)
                block = SimpleNamespace(info=opening.group(2).lower(), first_line=number + 1,
                                        marked=last_text.strip() == NETWORK_MARK, lines=[])
            elif re.match(r"^( {4}|\t)\S", line) and not prior.strip():
                problems.append(f"line {number}: an indented code block; fence it so that its commands are checked")
        elif line.startswith(fence[0] * len(fence)) and not line.strip(fence[0]).strip():
            blocks.append(block)
            block = None
        else:
            block.lines.append(line)
        last_text = line if line.strip() else last_text
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
        start = block.first_line + offset if start is None else start
        if line.endswith("\\"):
            pending += line[:-1] + " "
            continue
        whole = (pending + line).strip()
        if whole and not whole.startswith("#"):
            shown.append((start, whole))
        pending, start = "", None
    return shown


def anchors(text):
    """The anchors of a text's headings on the forge that renders these pages:
    lower case, punctuation dropped, blanks turned into hyphens, a repeated
    heading numbered from -1."""
    found, seen, in_fence = set(), {}, False
    for line in text.split("\n"):
        if re.match(r"^(`{3,}|~{3,})", line):
            in_fence = not in_fence
            continue
        heading = re.match(r"^#{1,6}\s+(.*?)\s*#*\s*$", line)
        if heading and not in_fence:
            base = re.sub(r"[^\w\- ]", "", heading.group(1).strip().lower()).replace(" ", "-")
            count = seen.get(base, 0)
            seen[base] = count + 1
            found.add(base if count == 0 else f"{base}-{count}")
    return found


def link_problems(path, text, stay_within=None):
    """The inline links and images outside code that lead nowhere."""
    prose = re.sub(r"`[^`]*`", "", re.sub(r"(?ms)^(`{3,}|~{3,}).*?^\1\s*$", "", text))
    problems, name = [], os.path.basename(path)
    for target in re.findall(r"!?\[[^\]]*\]\(([^)\s]+)\)", prose):
        if re.match(r"^[a-z][a-z0-9+.-]*:", target):
            continue                      # another site: not ours to check
        file_part, _, anchor = target.partition("#")
        linked = os.path.normpath(os.path.join(os.path.dirname(path), file_part)) if file_part else path
        if not os.path.exists(linked):
            problems.append(f"{name}: link to {target}: no such file")
            continue
        if stay_within and not linked.startswith(stay_within + os.sep):
            problems.append(f"{name}: link to {target} leaves {stay_within}, which is installed on its own")
        if anchor and linked.endswith(".md") and anchor not in anchors(read(linked)):
            problems.append(f"{name}: link to {target}: no such heading")
    return problems


# --- Commands -----------------------------------------------------------------

def simple_commands(line):
    """The simple commands of a shell line, split at && || ; | & ( ), each as
    its words; redirections are dropped with their targets."""
    lexer = shlex.shlex(line, posix=True, punctuation_chars=True)
    lexer.whitespace_split = True
    lexer.commenters = "#"
    found, current, skip = [], [], False
    for word in lexer:
        if skip:
            skip = False
        elif word in SEPARATORS:
            found += [current] if current else []
            current = []
        elif word in REDIRECTIONS:
            skip = True
        else:
            current.append(word)
    return found + [current] if current else found


def help_options(binary):
    """Every option `--help` lists, each mapped to whether it takes a value."""
    usage = subprocess.run([binary, "--help"], capture_output=True, text=True, check=True).stdout
    return {name: " arg " in line + " " for line in usage.splitlines() if line.startswith("  -")
            for name in re.findall(r"(?:^  |\[ )(--?[A-Za-z][a-z-]*)", line)}


class Checker:
    """Checks the commands of one README text against this checkout: a script
    of it exists, is executable and names every option given to it; every
    option of quorvelin is one `--help` lists, and the binary, given the
    command line with the device swapped for one no host has, gets past the
    command line and scenario files to stop at the device; cmake, cpack,
    ctest, dpkg and man name directories, build types, project options, test
    labels, the package version and pages that exist."""

    def __init__(self, binary=BINARY, source=SOURCE):
        self.binary, self.source = binary, source
        self.options = help_options(binary)
        cmake = read(os.path.join(source, "CMakeLists.txt"))
        self.version = re.search(r"project\(quorvelin VERSION ([\d.]+)", cmake).group(1)
        self.project_options = set(re.findall(r"^option\((\w+)", cmake, re.M))
        self.labels = set(re.findall(r"LABELS (\w+)", read(os.path.join(source, "tests", "CMakeLists.txt"))))

    def problems(self, text):
        """Every problem of a README text: its length, fences, commands and links."""
        lines = text.count("\n")
        blocks, problems = code_blocks(text)
        if lines > MAX_README_LINES:
            problems.append(f"README.md has {lines} lines; at most {MAX_README_LINES}")
        for block in blocks:
            for line, command in commands(block):
                try:
                    words_list = simple_commands(command)
                except ValueError as error:
                    problems.append(f"line {line}: cannot read '{command}': {error}")
                    continue
                for words in words_list:
                    problems += [f"line {line}: {problem}" for problem in self.command(words, block.marked, False)]
        return problems + link_problems(README, text)

    def command(self, words, marked, in_lab):
        words = list(words)
        while words and (words[0] in {"sudo", "exec", "nice"} or re.match(r"^\w+=", words[0])):
            words.pop(0)
        if not words:
            return []
        name, args = words[0], words[1:]
        problems = [f"{word}: no such file in the checkout" for word in args
                    if word.startswith(REPO_DIRS) and not glob.glob(os.path.join(self.source, word))]
        if name in QUORVELIN_NAMES:
            problems += self.quorvelin(args, marked, in_lab)
        elif name in INSTALLED_SCRIPTS or name.startswith(REPO_DIRS):
            problems += self.script(INSTALLED_SCRIPTS.get(name, name), args, marked)
        elif name in {"sh", "bash"} and len(args) == 2 and args[0] == "-c":
            for inner in simple_commands(args[1]):
                problems += self.command(inner, marked, in_lab)
        elif name in {"cmake", "cpack", "ctest"}:
            problems += self.build_tool(name, args)
        elif name in {"dpkg", "apt", "man"}:
            problems += self.package_tool(name, args)
        elif name == "cd":
            target = args[0] if args else ""
            if not (target == "build" or target.startswith("build/")
                    or os.path.isdir(os.path.join(self.source, target))):
                problems.append(f"cd {target}: no such directory")
        else:
            problems.append(f"{name}: a command this check does not know")
        return problems

    def script(self, path, args, marked):
        full = os.path.join(self.source, path)
        if not os.path.isfile(full) or not os.access(full, os.X_OK):
            return [f"{path}: no such executable script"]
        text, problems = read(full), []
        for position, arg in enumerate(args):
            if arg == "--":
                if path == "scripts/lab":   # the rest runs in the lab's client namespace
                    problems += self.command(args[position + 1:], marked, in_lab=True)
                break
            option = arg.split("=", 1)[0]
            if arg.startswith("-") and not re.search(r"(?<![\w-])" + re.escape(option) + r"(?![\w-])", text):
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
        if not marked and not (device in LAB_DEVICES and in_lab):
            problems.append(f"quorvelin runs a load on {device}: mark its block '{NETWORK_MARK}'")
        files = []
        for pattern in scenario:
            matched = sorted(glob.glob(os.path.join(self.source, pattern)))
            if not matched:
                problems.append(f"quorvelin: no scenario file {pattern}")
            files += matched
        if any("$" in word for word in options + files):
            problems.append("quorvelin: a value taken from the shell cannot be checked")
        return problems or self.accepted(options, files)

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



def all_problems(checker):
    """The problems of README.md and of every docs page."""
    problems = checker.problems(read(README))
    for page in sorted(glob.glob(os.path.join(DOCS, "*.md"))):
        problems += link_problems(page, read(page), stay_within=DOCS)
    return problems


def main():
    parser = argparse.ArgumentParser(description="Checks README.md's commands and the docs' links.")
    parser.add_argument("--binary", default=BINARY, help="the quorvelin binary (default %(default)s)")
    problems = all_problems(Checker(binary=os.path.abspath(parser.parse_args().binary)))
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
