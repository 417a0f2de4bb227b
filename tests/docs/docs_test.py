#!/usr/bin/env python3
"""Checks the user guide: README.md and docs/*.md.

  docs_test.py links ROOT [--pending PAGE]...
      Every relative link and picture resolves to a file or folder of the
      tree, and a #fragment to a heading of the page it names; README.md
      links every page of docs/ (the guide's table of contents); a PAGE
      (docs/NAME.md) that is written elsewhere and not yet in the tree is
      named, not failed. Every fenced block says what it is: shell commands
      are either `sh` (run by the examples check) or `text` (shown only).
  docs_test.py examples ROOT WORKDIR [--path DIR]... [--env NAME=VALUE]...
                        [--skip PAGE]...
      Runs the `sh` blocks of every page in order, in a fresh folder
      WORKDIR/<page> of their own, with `bash -e -o pipefail`, the DIRs first
      on PATH. A block that exits non-zero fails the check with its page,
      line and output.
"""

import os
import re
import shutil
import subprocess
import sys
import unicodedata

FENCE = re.compile(r"^(\s*)```(.*)$")
# [text](target) and ![alt](target); the target ends at a space or ")".
LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")
INLINE_CODE = re.compile(r"`[^`]*`")
HEADING = re.compile(r"^#{1,6}\s+(.*?)\s*#*\s*$")
# Shell blocks must say whether they run; these names leave it open.
UNDECIDED = {"", "bash", "shell", "console", "shell-session", "zsh"}
BLOCK_TIMEOUT_S = 120


def pages(root):
    docs = os.path.join(root, "docs")
    found = [os.path.join(root, "README.md")]
    found += sorted(os.path.join(docs, name) for name in os.listdir(docs) if name.endswith(".md"))
    return [os.path.normpath(page) for page in found]


def split(path):
    """The page as prose lines (line number, text) and fenced blocks
    (line number of the fence, info string, text)."""
    prose, blocks = [], []
    block = None
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            match = FENCE.match(line)
            if block is None and match:
                block = (number, match.group(2).strip(), [])
            elif block is not None and match and not match.group(2).strip():
                blocks.append((block[0], block[1], "\n".join(block[2]) + "\n"))
                block = None
            elif block is not None:
                block[2].append(line)
            else:
                prose.append((number, line))
    if block is not None:
        blocks.append((block[0], None, ""))
    return prose, blocks


def slug(heading):
    """The anchor a heading gets on the forge: lower case, punctuation
    dropped, spaces to hyphens."""
    text = INLINE_CODE.sub(lambda m: m.group(0)[1:-1], heading).lower()
    kept = "".join(c for c in text if c in " -_" or unicodedata.category(c)[0] in "LN")
    return kept.replace(" ", "-")


def anchors(path):
    prose, _ = split(path)
    seen = {}
    for _, line in prose:
        match = HEADING.match(line)
        if match:
            base = slug(match.group(1))
            count = seen.get(base, 0)
            seen[base] = count + 1
            yield base if count == 0 else f"{base}-{count}"


def check_links(root, pending):
    failures = []
    anchor_cache = {}
    readme = os.path.normpath(os.path.join(root, "README.md"))
    linked_from_readme = set()
    for page in pages(root):
        name = os.path.relpath(page, root)
        prose, blocks = split(page)
        for line_number, info, _ in blocks:
            if info is None:
                failures.append(f"{name}:{line_number}: a fenced block that is never closed")
            elif info in UNDECIDED:
                failures.append(f"{name}:{line_number}: a block marked '{info}': "
                                "mark commands sh (runnable) or text (shown only)")
        for line_number, line in prose:
            for target in LINK.findall(INLINE_CODE.sub("", line)):
                if re.match(r"^[a-z][a-z0-9+.-]*:", target):
                    continue  # http:, https:, mailto:
                path, _, fragment = target.partition("#")
                resolved = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
                if page == readme:
                    linked_from_readme.add(resolved)
                if not os.path.exists(resolved):
                    if os.path.relpath(resolved, root) in pending:
                        print(f"{name}:{line_number}: {target}: not in the tree yet")
                        continue
                    failures.append(f"{name}:{line_number}: {target}: no such file")
                    continue
                if fragment and resolved.endswith(".md"):
                    if resolved not in anchor_cache:
                        anchor_cache[resolved] = set(anchors(resolved))
                    if fragment not in anchor_cache[resolved]:
                        failures.append(f"{name}:{line_number}: {target}: no heading "
                                        f"'#{fragment}' in {os.path.relpath(resolved, root)}")
    for page in pages(root)[1:]:
        if page not in linked_from_readme:
            failures.append(f"README.md: no link to {os.path.relpath(page, root)}")
    for failure in failures:
        print(failure)
    print(f"docs_links: {len(pages(root))} pages, {len(failures)} broken")
    return 1 if failures else 0


def run_examples(root, workdir, path_dirs, env_settings, skipped):
    env = dict(os.environ)
    env["PATH"] = os.pathsep.join(path_dirs + [env.get("PATH", "/usr/bin:/bin")])
    env.update(env_settings)
    failures = 0
    ran = 0
    shutil.rmtree(workdir, ignore_errors=True)
    for page in pages(root):
        name = os.path.relpath(page, root)
        _, blocks = split(page)
        runnable = [(line, text) for line, info, text in blocks if info == "sh"]
        if not runnable:
            continue
        if name in skipped:
            print(f"{name}: {len(runnable)} blocks skipped")
            continue
        folder = os.path.join(workdir, name.replace(os.sep, "_").removesuffix(".md"))
        os.makedirs(folder)
        for line_number, text in runnable:
            try:
                done = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", text], cwd=folder, env=env,
                                      stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT, timeout=BLOCK_TIMEOUT_S)
                status, output = done.returncode, done.stdout
            except subprocess.TimeoutExpired as expired:
                status, output = f"timeout after {BLOCK_TIMEOUT_S} s", expired.stdout or b""
            ran += 1
            if status != 0:
                failures += 1
                tail = output.decode(errors="replace").splitlines()[-20:]
                print(f"{name}:{line_number}: the example failed ({status}):")
                print("".join(f"    {l}\n" for l in text.splitlines()), end="")
                print("  output:")
                print("".join(f"    {l}\n" for l in tail), end="")
                break  # the page's later blocks build on this one
    print(f"docs_examples: {ran} blocks run, {failures} failed")
    return 1 if failures else 0


def main(argv):
    if len(argv) >= 2 and argv[0] == "links":
        options = argv[2:]
        if len(options) % 2 == 0 and all(o == "--pending" for o in options[::2]):
            return check_links(argv[1], set(options[1::2]))
    if len(argv) >= 3 and argv[0] == "examples":
        path_dirs, env_settings, skipped = [], {}, set()
        rest = argv[3:]
        while rest:
            if len(rest) < 2 or rest[0] not in ("--path", "--env", "--skip"):
                break
            option, value, rest = rest[0], rest[1], rest[2:]
            if option == "--path":
                path_dirs.append(value)
            elif option == "--skip":
                skipped.add(value)
            else:
                key, _, setting = value.partition("=")
                env_settings[key] = setting
        else:
            return run_examples(argv[1], argv[2], path_dirs, env_settings, skipped)
    print(__doc__.strip(), file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
