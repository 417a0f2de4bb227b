#!/usr/bin/env python3
"""docs_test.py on a small guide of its own with one fault of each kind:
each is reported, and nothing sound is.

  docs_checker_test.py DOCS_TEST
"""

import os
import subprocess
import sys
import tempfile

README = """# Guide

[sound](docs/a.md) [b](docs/b.md) [c](docs/c.md) [d](docs/d.md) [sound anchor](docs/a.md#twice-1) [own anchor](#guide)
[missing](docs/missing.md) [bad anchor](docs/a.md#absent)
`[in code](docs/nowhere.md)` [web](https://example.invalid/x.md)

```bash
echo undecided
```
"""

PAGES = {
    "a.md": "# Twice\n\n## Twice\n\n```sh\ntouch made\nfalse\ntouch never\n```\n\n```sh\ntouch after\n```\n",
    # A folder of its own: a's file is not there.
    "b.md": "# B\n\n```sh\ntest ! -e made\n```\n",
    "c.md": "# C\n\n```sh\nprintf x | false | cat\n```\n",
    # Blocks of one page share their folder, in order; PATH has the tool.
    # Not linked from the README.
    "e.md": "# E\n",
    "d.md": "# D\n\n```sh\necho hi >f\n```\n\n```text\nfalse\n```\n\n```sh\ntest -f f\nfaketool\n```\n",
}


def run(*args):
    done = subprocess.run([sys.executable, *args], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return done.returncode, done.stdout


def main(docs_test):
    failures = []

    def expect(condition, what, output):
        if not condition:
            failures.append(f"{what}\n{output}")

    with tempfile.TemporaryDirectory() as root:
        os.makedirs(os.path.join(root, "docs"))
        with open(os.path.join(root, "README.md"), "w") as f:
            f.write(README)
        for name, text in PAGES.items():
            with open(os.path.join(root, "docs", name), "w") as f:
                f.write(text)
        bin_dir = os.path.join(root, "bin")
        os.makedirs(bin_dir)
        with open(os.path.join(bin_dir, "faketool"), "w") as f:
            f.write("#!/bin/sh\nexit 0\n")
        os.chmod(os.path.join(bin_dir, "faketool"), 0o755)

        status, out = run(docs_test, "links", root)
        expect(status == 1, "links: exit status 1", out)
        expect("README.md:4: docs/missing.md: no such file" in out, "links: a missing file", out)
        expect("README.md:4: docs/a.md#absent: no heading" in out, "links: a missing anchor", out)
        expect("README.md:7: a block marked 'bash'" in out, "links: an unmarked block", out)
        expect("README.md: no link to docs/e.md" in out, "links: a page the README does not link", out)
        expect("4 broken" in out, "links: nothing sound reported", out)

        status, out = run(docs_test, "links", root, "--pending", "docs/missing.md")
        expect("3 broken" in out and "not in the tree yet" in out, "links: a pending page named, not failed", out)

        work = os.path.join(root, "work")
        status, out = run(docs_test, "examples", root, work, "--path", bin_dir)
        expect(status == 1, "examples: exit status 1", out)
        expect("docs/a.md:5: the example failed" in out, "examples: a failing command mid-block", out)
        expect(not os.path.exists(os.path.join(work, "docs_a", "never")), "examples: the block stops there", out)
        expect(not os.path.exists(os.path.join(work, "docs_a", "after")), "examples: the page stops there", out)
        expect("docs/c.md:3: the example failed" in out, "examples: a failing pipe", out)
        expect("docs/b.md" not in out, "examples: each page in a folder of its own", out)
        expect("docs/d.md" not in out, "examples: pages of sound blocks", out)
        expect("5 blocks run, 2 failed" in out, "examples: the count", out)

    for failure in failures:
        print(f"FAILED: {failure}")
    print(f"docs_checker: {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
