#!/usr/bin/env python3
"""Checks the user guide: README.md and docs/*.md.

  docs_test.py links ROOT [--pending PAGE]...
      Every relative link and picture resolves to a file or folder of the
      tree, and a #fragment to a heading of the page it names; README.md
      links every page of docs/ (the guide's table of contents); a PAGE
      (docs/NAME.md) that is written elsewhere and not yet in the tree is
      named, not failed. Every fenced block says what it is: shell commands
      are either `sh` (run by the examples check) or `text` (shown only);
      `sh skip-test` and `sh service` are commands too (below).
  docs_test.py examples ROOT WORKDIR [--path DIR]... [--env NAME=VALUE]...
                        [--skip PAGE]...
      Runs the `sh` blocks of every page in order, in a fresh folder
      WORKDIR/<page> of their own, with `bash -e -o pipefail`, the DIRs first
      on PATH. A block that exits non-zero fails the check with its page,
      line and output.

      `sh skip-test`: a command for the reader that the check does not run
      (installing packages, systemctl); keep them few.
      `sh service`: a program that runs until stopped (the reader starts it
      in a terminal of its own). The check starts it in the background, in
      a session of its own, its output in WORKDIR/<page>/service-LINE.log;
      it must still run 1 s later and until the page's last block has run,
      and is then stopped (SIGTERM, SIGKILL after 5 s), also when a block
      failed.

      A page may say, in HTML comments of a line each (invisible on the
      page), what its commands need in place of the machine's own:
        <!-- docs_examples: root /etc/trklib /etc/mosquitto -->
            these folders (made empty by the check) lie under
            WORKDIR/<page>/root: every path in the page's blocks that starts
            with one of them is written with that prefix; and `sudo` runs
            its command as it stands, as the user of the check;
        <!-- docs_examples: ports 1883 9001 -->
            each number, where it stands alone in a block, is a free
            loopback port of the check's choosing, the same in every block
            of the page;
        <!-- docs_examples: line OLD => NEW -->
            a line of a block that reads OLD (spaces at its ends aside)
            reads NEW, before the ports are chosen: what the machine must
            not do that the reader's does (e.g. listen on every address).
"""

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
import unicodedata

FENCE = re.compile(r"^(\s*)```(.*)$")
# [text](target) and ![alt](target); the target ends at a space or ")".
LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")
INLINE_CODE = re.compile(r"`[^`]*`")
HEADING = re.compile(r"^#{1,6}\s+(.*?)\s*#*\s*$")
# Shell blocks must say whether they run; these names leave it open.
UNDECIDED = {"", "bash", "shell", "console", "shell-session", "zsh"}
BLOCK_TIMEOUT_S = 120
# Shell blocks that are not run as they stand: left out by the check, or
# started in the background and kept running for the page.
SKIPPED, SERVICE = "sh skip-test", "sh service"
SERVICE_SETTLE_S = 1.0  # a service still runs this long after its start
SERVICE_STOP_S = 5.0  # between SIGTERM and SIGKILL
SETTING = re.compile(r"^<!-- docs_examples: (root|ports|line) (.+?) -->$")
SUDO = """#!/bin/sh
# sudo for the guide's examples: the command as it stands, as this user.
case $1 in -*) echo "sudo (docs_examples): no options, please: $1" >&2; exit 1 ;; esac
exec "$@"
"""


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
            elif info in UNDECIDED or (info.startswith("sh ") and info not in (SKIPPED, SERVICE)):
                failures.append(f"{name}:{line_number}: a block marked '{info}': "
                                "mark commands sh (runnable), sh skip-test, sh service "
                                "or text (shown only)")
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


def free_port(taken):
    """A port free on 127.0.0.1 for TCP and UDP alike, not in taken."""
    while True:
        with socket.socket() as tcp, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
            tcp.bind(("127.0.0.1", 0))
            port = tcp.getsockname()[1]
            try:
                udp.bind(("127.0.0.1", port))
            except OSError:
                continue
        if port not in taken:
            taken.add(port)
            return port


def page_settings(prose, folder):
    """The page's docs_examples settings as a function that rewrites a
    block, and the folders to put first on PATH. Sets up the page's root."""
    roots, ports, lines = [], {}, {}
    for _, line in prose:
        match = SETTING.match(line.strip())
        if not match:
            continue
        kind, value = match.group(1), match.group(2)
        if kind == "root":
            roots += value.split()
        elif kind == "ports":
            ports.update((word, None) for word in value.split())
        else:
            old, _, new = value.partition(" => ")
            lines[old.strip()] = new.strip()
    taken = set()
    for port in ports:
        ports[port] = str(free_port(taken))
    base = os.path.join(folder, "root")
    for path in roots:
        os.makedirs(base + path, exist_ok=True)
    path_dirs = []
    if roots:
        path_dirs.append(os.path.join(folder, "shims"))
        os.makedirs(path_dirs[0])
        with open(os.path.join(path_dirs[0], "sudo"), "w") as f:
            f.write(SUDO)
        os.chmod(os.path.join(path_dirs[0], "sudo"), 0o755)

    def rewrite(text):
        text = "".join(lines.get(line.strip(), line) + end
                       for line, end in re.findall(r"([^\n]*)(\n|$)", text) if line or end)
        for path in roots:
            text = re.sub(r"(?<![\w./-])" + re.escape(path) + r"(?![\w.-])", lambda m: base + m.group(0), text)
        for port, free in ports.items():
            text = re.sub(r"(?<![\w.])" + port + r"(?!\w)", free, text)
        return text

    return rewrite, path_dirs


def tail(path_or_bytes, lines=20):
    if isinstance(path_or_bytes, bytes):
        data = path_or_bytes
    else:
        with open(path_or_bytes, "rb") as f:
            data = f.read()
    return "".join(f"    {l}\n" for l in data.decode(errors="replace").splitlines()[-lines:])


def stop_services(services):
    """SIGTERM to every service's session, SIGKILL to what is left after
    SERVICE_STOP_S; the services that had ended by themselves."""
    ended = [s for s in services if s[1].poll() is not None]
    for _, process, _ in services:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGTERM)
    deadline = time.monotonic() + SERVICE_STOP_S
    for _, process, _ in services:
        try:
            process.wait(max(0.0, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
    return ended


def run_page(name, blocks, folder, env, rewrite):
    """Runs one page's blocks; the number run and whether all went well."""
    services = []  # (line, process, log)
    ran = 0
    failed = None  # (line, text, status, output)
    try:
        for line_number, info, text in blocks:
            text = rewrite(text)
            ran += 1
            if info == SERVICE:
                log = os.path.join(folder, f"service-{line_number}.log")
                with open(log, "wb") as out:
                    process = subprocess.Popen(["bash", "-e", "-o", "pipefail", "-c", text], cwd=folder,
                                               env=env, stdin=subprocess.DEVNULL, stdout=out,
                                               stderr=subprocess.STDOUT, start_new_session=True)
                services.append((line_number, process, log))
                time.sleep(SERVICE_SETTLE_S)
                if process.poll() is not None:
                    failed = (line_number, text, f"a service that ended at once ({process.returncode})",
                              tail(log))
                    break
                continue
            try:
                done = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", text], cwd=folder, env=env,
                                      stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT, timeout=BLOCK_TIMEOUT_S)
                status, output = done.returncode, done.stdout
            except subprocess.TimeoutExpired as expired:
                status, output = f"timeout after {BLOCK_TIMEOUT_S} s", expired.stdout or b""
            if status != 0:
                failed = (line_number, text, status, tail(output))
                break  # the page's later blocks build on this one
    finally:
        ended = stop_services(services)
    if failed is None and ended:
        line_number, process, log = ended[0]
        failed = (line_number, "", f"a service that ended before the page's end ({process.returncode})",
                  tail(log))
    if failed is not None:
        line_number, text, status, output = failed
        print(f"{name}:{line_number}: the example failed ({status}):")
        print("".join(f"    {l}\n" for l in text.splitlines()), end="")
        print("  output:")
        print(output, end="")
        for service_line, _, log in services:
            if service_line != line_number:
                print(f"  the service of line {service_line}:")
                print(tail(log, 10), end="")
    return ran, failed is None


def run_examples(root, workdir, path_dirs, env_settings, skipped):
    env = dict(os.environ)
    env["PATH"] = os.pathsep.join(path_dirs + [env.get("PATH", "/usr/bin:/bin")])
    env.update(env_settings)
    failures = 0
    ran = 0
    not_run = 0
    shutil.rmtree(workdir, ignore_errors=True)
    # SIGTERM (a test's timeout) stops the services too.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    for page in pages(root):
        name = os.path.relpath(page, root)
        prose, blocks = split(page)
        runnable = [(line, info, text) for line, info, text in blocks if info in ("sh", SERVICE)]
        not_run += sum(1 for _, info, _ in blocks if info == SKIPPED)
        if not runnable:
            continue
        if name in skipped:
            print(f"{name}: {len(runnable)} blocks skipped")
            continue
        folder = os.path.join(workdir, name.replace(os.sep, "_").removesuffix(".md"))
        os.makedirs(folder)
        rewrite, shims = page_settings(prose, folder)
        page_env = dict(env, PATH=os.pathsep.join(shims + [env["PATH"]]))
        count, good = run_page(name, runnable, folder, page_env, rewrite)
        ran += count
        failures += 0 if good else 1
    print(f"docs_examples: {ran} blocks run, {failures} failed, {not_run} marked skip-test")
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
