#!/usr/bin/env python3
"""Puts bench/compare.sh's section into a Markdown file, between its markers.

Only the text between the two marker lines is replaced; everything else in
the file stays as it is. A file without the markers gets the section right
after its first "# " title (or at the top), a missing file a new one.

    section.py FILE SECTION_FILE
"""
import os
import sys

BEGIN = "<!-- bench/compare.sh: begin (generated; edit outside the markers) -->"
END = "<!-- bench/compare.sh: end -->"


def place(text, section):
    """`text` with the marked section holding `section`; raises ValueError on
    markers that are not one begin followed by one end."""
    block = f"{BEGIN}\n{section.rstrip()}\n{END}\n"
    lines = text.splitlines(keepends=True)
    begins = [i for i, l in enumerate(lines) if l.rstrip("\n") == BEGIN]
    ends = [i for i, l in enumerate(lines) if l.rstrip("\n") == END]
    if begins or ends:
        if len(begins) != 1 or len(ends) != 1 or ends[0] < begins[0]:
            raise ValueError("the section's markers are broken: fix them by hand")
        return "".join(lines[: begins[0]]) + block + "".join(lines[ends[0] + 1 :])
    for i, l in enumerate(lines):
        if l.startswith("# "):
            return "".join(lines[: i + 1]) + "\n" + block + "\n" + "".join(lines[i + 1 :]).lstrip("\n")
    return block + ("\n" + text if text else "")


def main():
    path, section_path = sys.argv[1], sys.argv[2]
    with open(section_path) as f:
        section = f.read()
    text = "# Benchmarks\n"
    if os.path.exists(path):
        with open(path) as f:
            text = f.read()
    try:
        out = place(text, section)
    except ValueError as e:
        sys.exit(f"{path}: {e}")
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.write(out)
    os.replace(tmp, path)


if __name__ == "__main__":
    main()
