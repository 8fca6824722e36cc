#!/usr/bin/env python3
"""Writes the user's part of README.md as README.txt for the release zip:
plain text with CR LF line ends, readable in Notepad.

usage: tools/readme-txt.py README.md OUT.txt
"""
import re
import sys

# The sections a user needs, in the order they appear in the text file; the
# introduction before the first section always comes first. A section added
# to README.md for users joins the release by its title here.
USER_SECTIONS = [
    "Installing it into the host",
    "The settings file",
    "Checking your settings file",
]

# Notepad reads UTF-8 reliably only with a byte order mark.
BYTE_ORDER_MARK = "\ufeff"


def split_sections(lines):
    """The introduction's lines and a dict of level-2 section title -> lines."""
    intro, sections, current = [], {}, None
    for line in lines:
        match = re.match(r"^## (.+)$", line)
        if match:
            current = match.group(1).strip()
            sections[current] = [line]
        elif current is None:
            intro.append(line)
        else:
            sections[current].append(line)
    return intro, sections


def plain_inline(text):
    """Inline Markdown as plain text: emphasis dropped, code in double quotes."""
    text = re.sub(r"\*\*(.+?)\*\*", r"\1", text)
    text = re.sub(r"(?<![\w*])\*([^*\s][^*]*)\*(?![\w*])", r"\1", text)
    text = re.sub(r"`([^`]*)`", r'"\1"', text)
    return re.sub(r"\[([^\]]+)\]\(([^)]+)\)", r"\1 (\2)", text)


def table_lines(rows):
    """A Markdown table as aligned columns, its separator row dropped."""
    cells = [[plain_inline(c.strip()) for c in row.strip().strip("|").split("|")] for row in rows]
    cells = [row for row in cells if not all(re.fullmatch(r":?-+:?", c) for c in row)]
    widths = [max(len(row[i]) for row in cells if i < len(row)) for i in range(len(cells[0]))]
    out = []
    for index, row in enumerate(cells):
        out.append("  " + "  ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip())
        if index == 0:
            out.append("  " + "  ".join("-" * w for w in widths))
    return out


def to_plain(lines):
    """Markdown lines to plain-text lines."""
    out, index, in_code = [], 0, False
    while index < len(lines):
        line = lines[index]
        if line.startswith("```"):
            in_code = not in_code
        elif in_code:
            out.append("    " + line if line else "")
        elif line.startswith("|"):
            rows = []
            while index < len(lines) and lines[index].startswith("|"):
                rows.append(lines[index])
                index += 1
            out.extend(table_lines(rows))
            continue
        elif re.match(r"^#{1,3} ", line):
            level = len(line) - len(line.lstrip("#"))
            title = plain_inline(line[level:].strip())
            out.extend([title, ("=" if level == 1 else "-") * len(title)])
        else:
            out.append(plain_inline(line).rstrip())
        index += 1
    return out


def main(source, target):
    with open(source, encoding="utf-8") as file:
        lines = file.read().splitlines()
    intro, sections = split_sections(lines)
    picked = to_plain(intro)
    for title in USER_SECTIONS:
        if title not in sections:
            sys.exit(f"readme-txt: {source} has no section '## {title}'")
        picked += to_plain(sections[title])
    while picked and picked[-1] == "":
        picked.pop()
    text = BYTE_ORDER_MARK + "\r\n".join(picked) + "\r\n"
    with open(target, "w", encoding="utf-8", newline="") as file:
        file.write(text)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip())
    main(sys.argv[1], sys.argv[2])
