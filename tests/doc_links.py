#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Every relative link of README.md, NEWS.md and doc/*.md leads to a file or folder that exists, and
every anchor (#...) to a heading of the page it names, by GitHub's rule for heading anchors.

Usage: doc_links.py SOURCE_DIR
"""
import glob, os, re, sys

LINK = re.compile(r"!?\[(?:[^\[\]]|\[[^\]]*\])*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")


def prose_lines(path):
    """The lines of a Markdown file outside fenced code blocks, with inline code removed."""
    fenced = False
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if re.match(r"\s*(```|~~~)", line):
                fenced = not fenced
                continue
            if not fenced:
                yield number, re.sub(r"(`+).*?\1", "", line)


def anchors(path):
    """GitHub's anchors for the headings of a Markdown file: lower case, the link texts of links kept,
    every character but letters, digits, '_', '-' and ' ' dropped, spaces made '-'; a repeated anchor
    gets -1, -2, ..."""
    seen, found = {}, set()
    fenced = False
    with open(path, encoding="utf-8") as f:
        for line in f:
            if re.match(r"\s*(```|~~~)", line):
                fenced = not fenced
            heading = None if fenced else re.match(r"#{1,6}\s+(.*?)\s*#*\s*$", line)
            if not heading:
                continue
            text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", heading[1])
            slug = re.sub(r"[^\w\- ]", "", text.lower()).replace(" ", "-")
            count = seen.get(slug, 0)
            seen[slug] = count + 1
            found.add(slug if count == 0 else f"{slug}-{count}")
    return found


def problems(source_dir):
    pages = [os.path.join(source_dir, name) for name in ("README.md", "NEWS.md")]
    pages += sorted(glob.glob(os.path.join(source_dir, "doc", "*.md")))
    found = []
    for page in pages:
        if not os.path.exists(page):
            found.append(f"{os.path.relpath(page, source_dir)} is missing")
            continue
        for number, line in prose_lines(page):
            for target in LINK.findall(line):
                if re.match(r"[a-z][a-z0-9+.-]*:", target, re.IGNORECASE):
                    continue  # a URL or mailto: not checked here
                where = f"{os.path.relpath(page, source_dir)}:{number}: {target}"
                path, _, anchor = target.partition("#")
                linked = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
                if not os.path.exists(linked):
                    found.append(f"{where}: no such file or folder")
                elif anchor and not linked.endswith(".md"):
                    found.append(f"{where}: an anchor into a page that is not Markdown")
                elif anchor and anchor not in anchors(linked):
                    found.append(f"{where}: no heading with anchor #{anchor} in {os.path.relpath(linked, source_dir)}")
    return found


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    found = problems(sys.argv[1])
    for problem in found:
        print(f"FAIL {problem}")
    if not found:
        print("every relative link and anchor resolves")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
