#!/usr/bin/env python3
"""Checks that what README.md, docs/*.md and packaging/README.txt name exists.

It reads code spans, code blocks and links (all of packaging/README.txt,
which is plain text). A name is taken for a repository file when it starts
with a top-level folder or file of the repository, or is a bare file name
of a source kind (main.cpp, test.sh); other paths (C:\\..., bin/, build/)
are the user's or a build's. Names with placeholders (<version>, ...) are
skipped. Besides files it checks: each option given after a repository
script appears in that script's text (its parser or its usage comment);
each --preset is a preset; each -DNAME is named by a CMake file of the tree;
a repository file that starts a code block's command line has its run bit;
each link's file and #section exist. Prints each missing thing; exits 1.
"""
import json
import os
import re
import subprocess
import sys
from fnmatch import fnmatch

os.chdir(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DOCS = ["README.md", "packaging/README.txt"] + sorted(
    os.path.join("docs", f) for f in os.listdir("docs") if f.endswith(".md"))
# The files a commit would take: tracked or new, but not ignored (build/).
FILES = {f for f in subprocess.run(
    ["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
    capture_output=True, text=True, check=True).stdout.split("\0") if os.path.isfile(f)}
DIRS = {f[:i + 1] for f in FILES for i, c in enumerate(f) if c == "/"}
TOPS = {f.split("/")[0] for f in FILES}
NAMES = {os.path.basename(f) for f in FILES}
SOURCE_NAME = re.compile(r"[\w.+-]+\.(py|sh|cpp|h|nsi|cmake|md)$")
PLACEHOLDER = re.compile(r"[<>…${}%]|\.\.\.")
OPTION = re.compile(r"\[?(--?[A-Za-z][\w-]*)")
SEPARATORS = {"|", "||", "&&", ";", "&"}
PRESETS = {p["name"] for kind, presets in json.load(open("CMakePresets.json")).items()
           if kind.endswith("Presets") for p in presets}
CMAKE_TEXT = "".join(open(f).read() for f in FILES
                     if f.endswith(("CMakeLists.txt", ".cmake", "CMakePresets.json")))
problems = []


def exists(path):
    if "*" in path:
        return any(fnmatch(f, path) for f in FILES)
    return path in FILES or path.rstrip("/") + "/" in DIRS


def is_script(path):
    return path in FILES and (path.endswith((".py", ".sh")) or os.access(path, os.X_OK))


def check_words(where, text, block=False):
    script, command = None, block
    words = text.split()
    for i, raw in enumerate(words):
        word = raw.strip("\"'()[],;:`").rstrip(".")
        if raw in SEPARATORS or raw.startswith("#") or raw == "--":
            # What follows is another command's, or a comment.
            script, command = None, block and raw in SEPARATORS
            continue
        if PLACEHOLDER.search(raw) or not word:
            continue
        if command and re.match(r"\w+=", word):
            continue  # an environment variable for the command
        top = word.split("/")[0]
        if ("/" in word and top in TOPS) or SOURCE_NAME.match(word):
            if not exists(word) and not ("/" not in word and word in NAMES):
                problems.append(f"{where}: {word}: no such file or folder")
            elif command and word in FILES and not os.access(word, os.X_OK):
                problems.append(f"{where}: {word}: given as a command, but not executable")
            if is_script(word):
                script = word
        elif script and OPTION.match(raw):
            option = OPTION.match(raw).group(1)
            if not re.search(r"(?<![\w-])" + re.escape(option) + r"(?![\w-])", open(script).read()):
                problems.append(f"{where}: {script} {option}: the script has no such option")
        preset = words[i + 1].strip("`\"'") if raw == "--preset" and i + 1 < len(words) else None
        if preset and not PLACEHOLDER.search(preset) and preset not in PRESETS:
            problems.append(f"{where}: --preset {words[i + 1]}: no such preset")
        define = re.match(r"-D(\w+)=", word)
        if define and not re.search(r"\b" + define.group(1) + r"\b", CMAKE_TEXT):
            problems.append(f"{where}: -D{define.group(1)}: no such CMake variable")
        command = False


def anchors(path):
    """The GitHub anchors of a Markdown file's headings."""
    heads = re.findall(r"^#+\s+(.*)$", open(path).read(), re.M)
    return {re.sub(r"[^\w\- ]", "", h.strip().lower()).replace(" ", "-") for h in heads}


def check_link(where, doc, target):
    if re.match(r"\w+:", target):
        return  # a web address
    path, _, section = target.partition("#")
    path = os.path.normpath(os.path.join(os.path.dirname(doc), path)) if path else doc
    if not exists(path):
        problems.append(f"{where}: {target}: no such file")
    elif section and path.endswith(".md") and section not in anchors(path):
        problems.append(f"{where}: {target}: no such section")


for doc in DOCS:
    text = open(doc).read()
    if not doc.endswith(".md"):
        for number, line in enumerate(text.splitlines(), 1):
            check_words(f"{doc}:{number}", line)
        continue
    # Code blocks, their continued lines joined; then the prose without them.
    prose = []
    fence = None
    for number, line in enumerate(text.splitlines(), 1):
        if line.lstrip().startswith("```"):
            fence = None if fence else [number + 1, ""]
            prose.append("")
        elif fence:
            prose.append("")
            fence[1] += line
            if fence[1].endswith("\\"):
                fence[1] = fence[1][:-1]
            else:
                check_words(f"{doc}:{fence[0]}", fence[1], block=True)
                fence = [number + 1, ""]
        else:
            prose.append(line)
    prose = "\n".join(prose)
    for match in re.finditer(r"`([^`]+)`", prose):
        check_words(f"{doc}:{prose.count(chr(10), 0, match.start()) + 1}", match.group(1))
    for match in re.finditer(r"\]\(([^)\s]+)\)", prose):
        check_link(f"{doc}:{prose.count(chr(10), 0, match.start()) + 1}", doc, match.group(1))

print("\n".join(problems) or f"check_docs: every name in {len(DOCS)} documents exists")
sys.exit(1 if problems else 0)
