#!/usr/bin/env python3
"""Writes user text from Markdown as a plain text file for the release zip:
UTF-8 with a byte order mark, CR LF line ends, no line longer than 78
characters, so Notepad shows it, tables included, without wrapping.

usage: tools/readme-txt.py README.md OUT.txt          the user part of README.md
       tools/readme-txt.py --whole SOURCE.md OUT.txt  all of SOURCE.md
       tools/readme-txt.py --section TITLE SOURCE.md OUT.txt
                                                      one section of SOURCE.md
"""
import re
import sys
import textwrap

# The sections of README.md a user needs, in the order they appear in the text
# file; the introduction before the first section always comes first. A
# section added to README.md for users joins the release by its title here.
USER_SECTIONS = [
    "Installing it into the host",
    "The settings file",
    "Checking your settings file",
    "When the error box appears",
    "Uninstalling, upgrades and other cases",
    "Checking on your own Windows",
]

# Notepad reads UTF-8 reliably only with a byte order mark.
BYTE_ORDER_MARK = "\ufeff"
WIDTH = 78
CODE_INDENT = "  "
# Holds the blanks of inline code while a paragraph is filled: it stays on one line.
KEPT_BLANK = "\0"
# A table's last column narrower than this is no longer readable.
NARROWEST_LAST_COLUMN = 24


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
    """Inline Markdown as plain text: emphasis dropped, code in double quotes.
    Code that holds a double quote would stand in nested quotes, which nobody
    can read: such code belongs in a code block."""
    for code in re.finditer(r"`[^`]*`", text):
        if '"' in code.group(0):
            sys.exit(f"readme-txt: {code.group(0)} would stand in nested quotes: put it in a code block")
    text = re.sub(r"\*\*(.+?)\*\*", r"\1", text)
    text = re.sub(r"(?<![\w*])\*([^*\s][^*]*)\*(?![\w*])", r"\1", text)
    text = re.sub(r"`([^`]*)`", lambda code: '"' + code.group(1).replace(" ", KEPT_BLANK) + '"', text)
    return re.sub(r"\[([^\]]+)\]\(([^)]+)\)", r"\1 (\2)", text)


def wrapped(text, first_indent, rest_indent):
    """Text filled to WIDTH; words are never broken, paths stay whole."""
    lines = textwrap.wrap(text, WIDTH, initial_indent=first_indent, subsequent_indent=rest_indent,
                          break_long_words=False, break_on_hyphens=False)
    return [line.replace(KEPT_BLANK, " ") for line in lines]


def table_lines(rows):
    """A Markdown table as aligned columns, its separator row dropped and its
    last column wrapped to fit the width."""
    cells = [[plain_inline(c.strip()).replace(KEPT_BLANK, " ") for c in row.strip().strip("|").split("|")]
             for row in rows]
    cells = [row for row in cells if not all(re.fullmatch(r":?-+:?", c) for c in row)]
    widths = [max(len(row[i]) for row in cells if i < len(row)) for i in range(len(cells[0]))]
    lead = 2 + sum(w + 2 for w in widths[:-1])
    last = min(widths[-1], WIDTH - lead)
    if last < NARROWEST_LAST_COLUMN:
        sys.exit(f"readme-txt: a table's first columns leave {last} characters for its last one")
    out = []
    for index, row in enumerate(cells):
        head = "  " + "".join(c.ljust(w + 2) for c, w in zip(row[:-1], widths))
        tail = textwrap.wrap(row[-1], last, break_long_words=False) or [""]
        out.append((head + tail[0]).rstrip())
        out.extend(" " * lead + more for more in tail[1:])
        if index == 0:
            out.append("  " + "  ".join("-" * w for w in widths[:-1] + [last]))
    return out


def list_marker(line):
    """The marker of a list item ("- ", "1. "), or None."""
    match = re.match(r"^(- |\d+\. )", line)
    return match.group(1) if match else None


def paragraph_end(lines, index):
    """Where the paragraph or list item starting at `index` ends."""
    end = index + 1
    while end < len(lines):
        line = lines[end]
        if not line.strip() or line.startswith(("```", "|", "#")) or list_marker(line):
            break
        end += 1
    return end


def to_plain(lines):
    """Markdown lines to plain-text lines of at most WIDTH characters."""
    out, index, in_code = [], 0, False
    while index < len(lines):
        line = lines[index]
        if line.startswith("```"):
            in_code = not in_code
        elif in_code:
            out.append(CODE_INDENT + line if line else "")
        elif line.startswith("|"):
            rows = []
            while index < len(lines) and lines[index].startswith("|"):
                rows.append(lines[index])
                index += 1
            out.extend(table_lines(rows))
            continue
        elif re.match(r"^#{1,3} ", line):
            level = len(line) - len(line.lstrip("#"))
            title = plain_inline(line[level:].strip()).replace(KEPT_BLANK, " ")
            out.extend([title, ("=" if level == 1 else "-") * len(title)])
        elif not line.strip():
            out.append("")
        else:
            end = paragraph_end(lines, index)
            text = plain_inline(" ".join(part.strip() for part in lines[index:end]))
            marker = list_marker(line) or ""
            out.extend(wrapped(text[len(marker):], marker, " " * len(marker)))
            index = end
            continue
        index += 1
    return out


def check_widths(source, lines):
    for number, line in enumerate(lines, 1):
        if len(line) > WIDTH:
            sys.exit(f"readme-txt: line {number} from {source} is {len(line)} characters, over {WIDTH}: {line}")


def main(arguments):
    whole = arguments[:1] == ["--whole"]
    if whole:
        arguments = arguments[1:]
    only = None
    if arguments[:1] == ["--section"] and len(arguments) > 1:
        only, arguments = arguments[1], arguments[2:]
    if len(arguments) != 2:
        sys.exit(__doc__.strip())
    source, target = arguments
    with open(source, encoding="utf-8") as file:
        lines = file.read().splitlines()
    if whole:
        picked = to_plain(lines)
    else:
        intro, sections = split_sections(lines)
        picked = [] if only else to_plain(intro)
        for title in [only] if only else USER_SECTIONS:
            if title not in sections:
                sys.exit(f"readme-txt: {source} has no section '## {title}'")
            picked += to_plain(sections[title])
    while picked and picked[-1] == "":
        picked.pop()
    check_widths(source, picked)
    text = BYTE_ORDER_MARK + "\r\n".join(picked) + "\r\n"
    with open(target, "w", encoding="utf-8", newline="") as file:
        file.write(text)


if __name__ == "__main__":
    main(sys.argv[1:])
