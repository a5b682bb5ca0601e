#!/usr/bin/env python3
"""Keeps README.md's example outputs what the board runner prints.

A marked example is an HTML comment naming the command, then a fenced block:

    <!-- example: pciplat-sim --numeric | sections Hierarchy,I/O APICs | cut 100 -->
    ```
    ...
    ```

The command runs from the source folder with the built runner in place of
`pciplat-sim`; its standard output goes through the abridging steps after `|`,
in order:

    sections A,B   the report sections (blank-line separated) whose heading
                   starts with A or B, "..." where others were left out
    match REGEX    the lines that match REGEX, "..." where others were left out
    head N         the first N lines, then "..." when there were more
    cut N          each line cut to N characters, ending in "..." when cut

By default the blocks are checked: exit status 1 with a diff when one differs.
With --update they are rewritten. Exit status 2 for a bad marker or a runner
that could not run.
"""

import argparse
import difflib
import pathlib
import re
import shlex
import subprocess
import sys

MARKER = re.compile(r"^<!-- example: (.*?) -->$")
FENCE = "```"
ELISION = "..."


class ExampleError(Exception):
    pass


def report_sections(lines):
    sections, current = [], []
    for line in lines:
        if line.strip():
            current.append(line)
        elif current:
            sections.append(current)
            current = []
    if current:
        sections.append(current)
    return sections


def keep_sections(lines, names):
    wanted = [name.strip() for name in names.split(",") if name.strip()]
    kept, skipped = [], False
    for section in report_sections(lines):
        if any(section[0].startswith(name) for name in wanted):
            if kept:
                kept.append(ELISION if skipped else "")
            kept.extend(section)
            skipped = False
        else:
            skipped = True
    return kept


def keep_matching(lines, pattern):
    expression = re.compile(pattern)
    kept = []
    for line in lines:
        if expression.search(line):
            kept.append(line)
        elif not kept or kept[-1] != ELISION:
            kept.append(ELISION)
    return kept


def keep_head(lines, count):
    return lines[:count] + ([ELISION] if len(lines) > count else [])


def cut_lines(lines, width):
    return [line if len(line) <= width else line[:width].rstrip() + ELISION for line in lines]


STEPS = {
    "sections": keep_sections,
    "match": keep_matching,
    "head": lambda lines, argument: keep_head(lines, int(argument)),
    "cut": lambda lines, argument: cut_lines(lines, int(argument)),
}


def run_example(marker, runner, source_dir):
    command, *steps = [part.strip() for part in marker.split(" | ")]
    words = shlex.split(command)
    if not words or words[0] != "pciplat-sim":
        raise ExampleError(f"the command must start with pciplat-sim: {command!r}")
    result = subprocess.run([runner] + words[1:], cwd=source_dir, capture_output=True, text=True, check=False)
    if result.returncode not in (0, 1):
        raise ExampleError(f"{command!r} exited {result.returncode}: {result.stderr.strip()}")
    lines = result.stdout.splitlines()
    for step in steps:
        name, _, argument = step.partition(" ")
        if name not in STEPS or not argument:
            raise ExampleError(f"unknown abridging step {step!r} (known: {', '.join(STEPS)})")
        try:
            lines = STEPS[name](lines, argument.strip())
        except (ValueError, re.error) as error:
            raise ExampleError(f"step {step!r}: {error}") from error
    return lines


def regenerate(text, runner, source_dir):
    lines = text.split("\n")
    out, index, count = [], 0, 0
    while index < len(lines):
        line = lines[index]
        out.append(line)
        index += 1
        marker = MARKER.match(line.strip())
        if not marker:
            continue
        if index >= len(lines) or lines[index].strip() != FENCE:
            raise ExampleError(f"README line {index}: an example marker must be followed by a ``` line")
        end = next((at for at in range(index + 1, len(lines)) if lines[at].strip() == FENCE), None)
        if end is None:
            raise ExampleError(f"README line {index + 1}: the example's block is not closed")
        out.append(FENCE)
        out.extend(run_example(marker.group(1), runner, source_dir))
        out.append(FENCE)
        index = end + 1
        count += 1
    return "\n".join(out), count


def main():
    parser = argparse.ArgumentParser(description="Check or rewrite README.md's runner examples.")
    parser.add_argument("--runner", required=True, help="the built pciplat-sim")
    parser.add_argument("--readme", default=None, help="default: README.md beside scripts/")
    parser.add_argument("--update", action="store_true", help="rewrite the examples instead of checking them")
    args = parser.parse_args()
    source_dir = pathlib.Path(__file__).resolve().parent.parent
    readme = pathlib.Path(args.readme) if args.readme else source_dir / "README.md"
    text = readme.read_text(encoding="utf-8")
    try:
        fresh, count = regenerate(text, str(pathlib.Path(args.runner).resolve()), source_dir)
    except (ExampleError, OSError) as error:
        print(f"readme-examples: {error}", file=sys.stderr)
        return 2
    if args.update:
        if fresh != text:
            readme.write_text(fresh, encoding="utf-8")
        print(f"readme-examples: {count} examples written to {readme}")
        return 0
    if fresh == text:
        return 0
    diff = difflib.unified_diff(text.splitlines(), fresh.splitlines(), "README.md", "README.md (runner)", lineterm="")
    print("\n".join(diff))
    print(f"readme-examples: examples in {readme} differ from the runner's output; "
          f"run scripts/readme-examples.py --runner PATH --update", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
