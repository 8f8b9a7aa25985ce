#!/usr/bin/env python3
"""Counts the lines of code under src/ and tests/ and the ratio of the two.

A line counts when something other than whitespace is left on it once C++
comments (// and /* */) and Python comments are taken out; docstrings count.
Usage: scripts/line-counts.py [root]   (root defaults to the repository)
"""

import io
import sys
import tokenize
from pathlib import Path

CPP_SUFFIXES = {".hpp", ".cpp", ".h", ".cc"}
PY_SUFFIXES = {".py", ".pyi"}


def cpp_lines(text: str) -> int:
    """Blanks out comments with a small lexer that knows string and char
    literals, so that "//" inside a string is not taken for a comment."""
    kept = set()
    line, i, n = 0, 0, len(text)
    while i < n:
        c = text[i]
        if c == "\n":
            line += 1
            i += 1
        elif text.startswith("//", i):
            while i < n and text[i] != "\n":
                i += 1
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            line += text.count("\n", i, end)
            i = end
        elif text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            open_paren = text.find("(", i)
            closing = ")" + text[i + 2 : open_paren] + '"'
            end = text.find(closing, open_paren)
            end = n if end < 0 else end + len(closing)
            for k in range(line, line + text.count("\n", i, end) + 1):
                kept.add(k)
            line += text.count("\n", i, end)
            i = end
        elif c in "\"'":
            # A digit separator (1'000'000) is not a char literal.
            if c == "'" and i > 0 and text[i - 1].isalnum() and not text[i - 1].isalpha():
                i += 1
                continue
            kept.add(line)
            i += 1
            while i < n and text[i] != c and text[i] != "\n":
                i += 2 if text[i] == "\\" else 1
            i += 1
        else:
            if not c.isspace():
                kept.add(line)
            i += 1
    return len(kept)


def py_lines(text: str) -> int:
    kept = set()
    skip = {tokenize.COMMENT, tokenize.NL, tokenize.NEWLINE, tokenize.INDENT, tokenize.DEDENT, tokenize.ENCODING,
            tokenize.ENDMARKER}
    for tok in tokenize.generate_tokens(io.StringIO(text).readline):
        if tok.type not in skip:
            kept.update(range(tok.start[0], tok.end[0] + 1))
    return len(kept)


def count(path: Path) -> int:
    text = path.read_text(encoding="utf-8")
    if path.suffix in CPP_SUFFIXES:
        return cpp_lines(text)
    if path.suffix in PY_SUFFIXES:
        return py_lines(text)
    return 0


def tally(top: Path) -> dict[str, int]:
    per_dir: dict[str, int] = {}
    for path in sorted(top.rglob("*")):
        if not path.is_file() or "__pycache__" in path.parts:
            continue
        n = count(path)
        if n:
            rel = path.parent.relative_to(top.parent)
            # Group by the first level below src/ or tests/.
            key = "/".join(rel.parts[:2])
            per_dir[key] = per_dir.get(key, 0) + n
    return per_dir


def main() -> None:
    root = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent)
    totals = {}
    for top in ("src", "tests"):
        per_dir = tally(root / top)
        for name, n in sorted(per_dir.items()):
            print(f"  {name:<16}{n:>7}")
        totals[top] = sum(per_dir.values())
        print(f"{top + '/':<18}{totals[top]:>7}")
    print(f"{'tests/src':<18}{totals['tests'] / totals['src']:>7.3f}")


if __name__ == "__main__":
    main()
