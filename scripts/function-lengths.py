#!/usr/bin/env python3
"""Lists C and C++ functions longer than a limit: 30 lines in the driver, 60 elsewhere.

A function's length counts the lines from its signature's opening brace to the
closing one, lambdas and nested blocks included. Exit 1 when any function is
over its limit, 0 otherwise; --report prints the longest functions either way.
"""
import argparse
import pathlib
import re
import subprocess
import sys

DRIVER_FOLDERS = ("base", "pci", "callbacks", "pcie", "oprom", "platform", "driver", "include", "efi")
DRIVER_LIMIT = 30
OTHER_LIMIT = 60
CONTAINER = re.compile(r"\b(namespace|class|struct|union|enum|extern\s+\"C\")\b[^;()]*$")


def strip_code(text):
    """The text with comments, string and character literals blanked, lines kept."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append("\n" * text.count("\n", i, j))
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(c + c)
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def functions(path):
    """(name, first line, length) of every function body in the file."""
    code = strip_code(path.read_text(errors="replace"))
    stack, found, line, pending = [], [], 1, ""
    for c in code:
        if c == "\n":
            line += 1
        if c == "{":
            inside_function = any(kind == "function" for kind, _, _ in stack)
            head = pending.strip()
            if inside_function:
                kind = "block"
            elif CONTAINER.search(head) or head.endswith("=") or not head.endswith((")", "const", "override",
                                                                                        "noexcept", "final")) \
                    and ")" not in head.split("\n")[-1]:
                kind = "container"
            else:
                kind = "function"
            stack.append((kind, line, head))
            pending = ""
        elif c == "}":
            if stack:
                kind, start, head = stack.pop()
                if kind == "function":
                    name = re.findall(r"([~\w:<>]+)\s*\(", head)
                    found.append((name[-1] if name else "?", start, line - start + 1))
            pending = ""
        elif c == ";":
            pending = ""
        else:
            pending += c
    return found


def limit_of(path):
    return DRIVER_LIMIT if path.parts[0] in DRIVER_FOLDERS else OTHER_LIMIT


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--report", type=int, metavar="N", help="print the N longest functions")
    args = parser.parse_args()
    top = pathlib.Path(subprocess.check_output(["git", "rev-parse", "--show-toplevel"], text=True).strip())
    files = subprocess.check_output(["git", "ls-files", "*.c", "*.cpp", "*.h"], cwd=top, text=True).split()
    rows = []
    for name in files:
        path = pathlib.Path(name)
        for function, start, length in functions(top / path):
            rows.append((length, limit_of(path), f"{name}:{start}", function))
    over = [row for row in rows if row[0] > row[1]]
    for length, limit, where, function in sorted(over, reverse=True):
        print(f"function-lengths: error: {where}: {function} is {length} lines (limit {limit})", file=sys.stderr)
    if args.report:
        for length, limit, where, function in sorted(rows, reverse=True)[: args.report]:
            print(f"{length:4d} (limit {limit})  {where}  {function}")
    return 1 if over else 0


if __name__ == "__main__":
    sys.exit(main())
