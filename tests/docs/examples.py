#!/usr/bin/env python3
"""Runs the examples of one Markdown document and compares their output.

Every fenced block (```) of a checked document carries a marker, an HTML
comment on the line right before it (blank lines between are allowed):

  <!-- file: NAME -->      The block is a file the examples use (a script, a
                           registry file): it is written to NAME.
  <!-- run -->             The block is a terminal session. A line starting
                           with `$ ` is a command; the lines up to the next
                           command are what it prints (standard output and
                           standard error together).
  <!-- run: COMMAND -->    The block is what COMMAND prints (for a script
                           followed by "prints" and its output).
  <!-- excerpt -->         The block is not run: a synopsis, code for
                           Windows, or output abridged beyond `...`. Say so
                           in the text as well.

A block without a marker fails the test, so a new example is either run or
plainly an excerpt.

The commands run with bash, one document's examples in one scratch folder,
in the order they stand, so a later example may use a file an earlier one
wrote. The scratch folder holds links to the repository's own folders
(`tests/`, `firmware/`, ...), so a command names repository files as it
would at the top of the repository; `tvrx-sim` is the built simulator. The
scratch folder is removed at the end.

Comparison is line by line, after blanks at line ends are dropped and
these differences are made equal on both sides:
  - handle values: `handle=0x...`, `event=0x...`, 16-digit object addresses;
  - paths: the repository's (or the scratch folder's) full path is `<repo>`;
  - times: trace time stamps (`0.1067169`), `N ms`, and the `slowest:`
    evaluation of `check`'s timing line.
A line `...` in the expected output stands for any number of lines.

Usage: examples.py DOCUMENT --sim PATH/TO/tvrx-sim [--keep]
Exit status 0 when every example printed what the document shows, 1 when
one did not (a diff says where), 2 on a malformed marker.
"""

import argparse
import difflib
import os
import re
import shutil
import subprocess
import sys
import tempfile

MARKER = re.compile(r"^<!--\s*(file|run|excerpt)\s*(?::\s*(.*?))?\s*-->\s*$")
FENCE = re.compile(r"^(```+|~~~+)")


class Block:
    def __init__(self, line, kind, argument, lines):
        self.line = line  # the line of the opening fence, 1-based
        self.kind = kind
        self.argument = argument
        self.lines = lines


def parse(path):
    """The document's fenced blocks with their markers; errors for blocks without one."""
    with open(path, encoding="utf-8") as handle:
        text = handle.read().split("\n")
    blocks, errors = [], []
    marker = None
    i = 0
    while i < len(text):
        line = text[i]
        found = MARKER.match(line.strip())
        fence = FENCE.match(line)
        if found:
            marker = (found.group(1), found.group(2) or "", i + 1)
        elif fence:
            closing = fence.group(1)
            start = i
            i += 1
            body = []
            while i < len(text) and not text[i].startswith(closing):
                body.append(text[i])
                i += 1
            if marker is None:
                errors.append(f"{path}:{start + 1}: a block without a marker (file, run or excerpt)")
            else:
                kind, argument, _ = marker
                if kind == "file" and not argument:
                    errors.append(f"{path}:{marker[2]}: file: needs a name")
                if kind == "excerpt" and argument:
                    errors.append(f"{path}:{marker[2]}: excerpt takes nothing after it")
                blocks.append(Block(start + 1, kind, argument, body))
            marker = None
        elif line.strip() and marker is not None:
            errors.append(f"{path}:{marker[2]}: the marker is not followed by a block")
            marker = None
        i += 1
    return blocks, errors


def normalise(lines, roots):
    out = []
    for line in lines:
        for root in roots:
            line = line.replace(root, "<repo>")
        line = re.sub(r"\b(handle|event)=0x[0-9A-Fa-f]+", r"\1=0x?", line)
        line = re.sub(r"\b[0-9A-F]{16}\b", "<address>", line)
        line = re.sub(r"slowest: .*?\d+(\.\d+)? ms", "slowest: <time>", line)
        line = re.sub(r"\b\d+(\.\d+)? ms\b", "<N> ms", line)
        line = re.sub(r"\b\d+\.\d{7}\b", "<time>", line)
        out.append(line.rstrip())
    return out


def matches(expected, actual):
    """Whether actual fits expected, where a `...` line stands for any number of lines."""
    memo = {}

    def fit(e, a):
        key = (e, a)
        if key not in memo:
            if e == len(expected):
                result = a == len(actual)
            elif expected[e].strip() in ("...", "...,"):
                result = any(fit(e + 1, k) for k in range(a, len(actual) + 1))
            else:
                result = a < len(actual) and expected[e] == actual[a] and fit(e + 1, a + 1)
            memo[key] = result
        return memo[key]

    return fit(0, 0)


def run_commands(commands, folder, environment):
    """Runs the commands in one bash, each seeing the status of the one before; their outputs."""
    separator = "@@tvrx-docs-example@@"
    script = ["exec 2>&1", "__status=0"]
    for index, command in enumerate(commands):
        script.append(f"echo '{separator}{index}'")
        script.append(f"(exit $__status); {command}")
        script.append("__status=$?")
    result = subprocess.run(["bash", "-c", "\n".join(script)], cwd=folder, env=environment,
                            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, timeout=300)
    outputs = [[] for _ in commands]
    current = None
    for line in result.stdout.decode("utf-8", "replace").split("\n"):
        if line.startswith(separator):
            current = int(line[len(separator):])
            continue
        if current is not None:
            outputs[current].append(line)
    for output in outputs:
        while output and not output[-1].strip():
            output.pop()
    return outputs


def session(block):
    """A terminal session's commands and, for each, the output the document shows."""
    commands, expected = [], []
    for line in block.lines:
        if line.startswith("$ "):
            commands.append(line[2:])
            expected.append([])
        elif commands:
            expected[-1].append(line)
    return commands, expected


def main():
    parser = argparse.ArgumentParser(description="Run a document's examples and compare their output.")
    parser.add_argument("document")
    parser.add_argument("--sim", required=True, help="the built tvrx-sim")
    parser.add_argument("--keep", action="store_true", help="keep the scratch folder")
    args = parser.parse_args()

    document = os.path.abspath(args.document)
    repo = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    blocks, errors = parse(document)
    for error in errors:
        print(error)
    if errors:
        return 2

    scratch = tempfile.mkdtemp(prefix="tvrx-docs-")
    bin_folder = os.path.join(scratch, ".bin")
    os.mkdir(bin_folder)
    os.symlink(os.path.abspath(args.sim), os.path.join(bin_folder, "tvrx-sim"))
    for entry in os.listdir(repo):
        if entry not in (".git", "build"):
            os.symlink(os.path.join(repo, entry), os.path.join(scratch, entry))
    environment = dict(os.environ)
    environment["PATH"] = bin_folder + os.pathsep + environment.get("PATH", "")
    roots = sorted({scratch, os.path.realpath(scratch), repo, os.path.realpath(repo)}, key=len, reverse=True)

    name = os.path.relpath(document, repo)
    failures = ran = 0
    try:
        for block in blocks:
            if block.kind == "file":
                target = os.path.join(scratch, block.argument)
                os.makedirs(os.path.dirname(target), exist_ok=True)
                with open(target, "w", encoding="utf-8") as handle:
                    handle.write("\n".join(block.lines) + "\n")
                continue
            if block.kind == "excerpt":
                continue
            if block.kind == "run" and block.argument:
                commands, expected = [block.argument], [block.lines]
            else:
                commands, expected = session(block)
                if not commands:
                    print(f"{name}:{block.line}: a run block without a `$ ` command")
                    failures += 1
                    continue
            outputs = run_commands(commands, scratch, environment)
            for command, want, got in zip(commands, expected, outputs):
                ran += 1
                want_n, got_n = normalise(want, roots), normalise(got, roots)
                if not matches(want_n, got_n):
                    failures += 1
                    print(f"{name}:{block.line}: `{command}` printed something else:")
                    for line in difflib.unified_diff(want_n, got_n, "the document", "the program", lineterm=""):
                        print("    " + line)
    finally:
        if args.keep:
            print(f"scratch folder kept: {scratch}")
        else:
            shutil.rmtree(scratch, ignore_errors=True)
    print(f"{name}: {ran} example command(s) run, {failures} difference(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
