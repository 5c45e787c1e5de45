#!/usr/bin/env python3
"""Runs the command examples of README.md and docs/*.md.

A fenced block opened with ```console is an example that runs; any other
fence is only shown. In such a block a line starting with "$ " is a
command (a line ending with a backslash goes on in the next one); the lines
under it, up to the next command, are output the command must print: each
of them must be a whole line of what it prints (stdout and stderr), in the order shown
(lines left out of the example may come between them). Each block runs in
an empty directory of its own, its commands one after another in bash, with
the build's programs first on PATH, the run log and serial state in that
directory and the journal off; every command must exit 0.

Usage: run_doc_examples.py --root SOURCE_DIR --path DIR [--path DIR ...]
"""

import argparse
import glob
import os
import subprocess
import sys
import tempfile

FENCE = "```"


class Example:
    def __init__(self, file, line):
        self.file = file
        self.line = line  # of the opening fence
        self.commands = []  # [line, command, [shown output lines]]


def examples_in(path, shown_name):
    """The runnable blocks of one Markdown file."""
    found = []
    block = None
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    continued = False
    for number, line in enumerate(lines, 1):
        stripped = line.strip()
        if block is None:
            if stripped == FENCE + "console":
                block = Example(shown_name, number)
            continue
        if stripped == FENCE:
            found.append(block)
            block = None
            continued = False
            continue
        if continued:
            block.commands[-1][1] += "\n" + line  # bash takes the backslash and line end as a space
        elif line.startswith("$ "):
            block.commands.append([number, line[2:], []])
        elif block.commands:
            block.commands[-1][2].append(line.rstrip())
        elif stripped:
            block.commands.append([number, None, [line]])  # output before any command: reported when run
        continued = line.endswith("\\") and (continued or line.startswith("$ "))
    if block is not None:
        block.commands.append([block.line, None, ["the block has no closing fence"]])
        found.append(block)
    return found


def shown_in(shown, printed):
    """The first shown line not found, in order, among the printed ones."""
    position = 0
    for want in shown:
        if not want:
            continue
        while position < len(printed) and printed[position] != want:
            position += 1
        if position == len(printed):
            return want
        position += 1
    return None


def run(example, paths):
    if not example.commands:
        return [f"{example.file}:{example.line}: a console block without a command"]
    problems = []
    with tempfile.TemporaryDirectory(prefix="vexu-example-") as directory:
        env = dict(os.environ, PATH=os.pathsep.join(paths + [os.environ.get("PATH", "")]),
                   XDG_STATE_HOME=os.path.join(directory, "state"), VEXU_JOURNAL="off")
        for line, command, shown in example.commands:
            where = f"{example.file}:{line}"
            if command is None:
                problems.append(f"{where}: {shown[0].strip()}: not a command (\"$ \") in a console block")
                break
            try:
                # One stream, as a terminal shows the two.
                done = subprocess.run(["bash", "-o", "pipefail", "-c", command], cwd=directory, env=env,
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
            except subprocess.TimeoutExpired:
                problems.append(f"{where}: {command}\n  still running after 120 s")
                break
            out = done.stdout.decode("utf-8", errors="replace")
            printed = [l.rstrip() for l in out.replace("\r", "").split("\n")]
            if done.returncode != 0:
                problems.append(f"{where}: {command}\n  exited {done.returncode}\n  {out.strip()[-2000:]}")
                break
            missing = shown_in(shown, printed)
            if missing is not None:
                problems.append(f"{where}: {command}\n  does not print the line shown: {missing}\n"
                                f"  it printed:\n    " + "\n    ".join(printed[:40]))
                break
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True)
    parser.add_argument("--path", action="append", default=[])
    options = parser.parse_args()
    files = [os.path.join(options.root, "README.md")]
    files += sorted(glob.glob(os.path.join(options.root, "docs", "**", "*.md"), recursive=True))
    examples = []
    for path in files:
        examples += examples_in(path, os.path.relpath(path, options.root))
    if not examples:
        print("FAIL no ```console block found in README.md or docs/*.md")
        return 1
    paths = [os.path.abspath(p) for p in options.path]
    failed = 0
    for example in examples:
        problems = run(example, paths)
        print(f"{'FAIL' if problems else 'ok  '} {example.file}:{example.line} ({len(example.commands)} commands)")
        for problem in problems:
            print("  " + problem)
        failed += bool(problems)
    print(f"{len(examples) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
